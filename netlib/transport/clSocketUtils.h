// The transport's error type, the texts of platform socket codes and the library's own codes,
// and starting and stopping the socket library.
#pragma once

#include <cstdint>

#include "rtl/Exception.h"
#include "rtl/SysUtils.h"

namespace netlib {

class EclSocketError : public rtl::Exception {
 public:
  EclSocketError(rtl::String AMessage, int AErrorCode) : rtl::Exception(std::move(AMessage)), FErrorCode(AErrorCode) {}
  const char* ClassName() const noexcept override { return "EclSocketError"; }
  int ErrorCode() const noexcept { return FErrorCode; }

 private:
  int FErrorCode;
};

// The library's own codes and their messages.
constexpr int TimeoutOccuredCode = -1;
constexpr int InvalidAddressCode = -2;
constexpr int InvalidPortCode = -3;
constexpr int InvalidBatchSizeCode = -4;
constexpr int NetworkStreamRequiredCode = -5;
constexpr int ConnectionNotActiveCode = -6;
constexpr int InvalidAddressFamilyCode = -7;
// A transfer or an open ended by the connection's Abort: the platform's code of an interrupted
// blocking call, with its system text.
constexpr int AbortedCode = 10004;

extern const char16_t* const TimeoutOccured;            // "Timeout error occured"
extern const char16_t* const InvalidAddress;            // "Invalid host address"
extern const char16_t* const InvalidPort;               // "Invalid port number"
extern const char16_t* const InvalidBatchSize;          // "Invalid Batch Size"
extern const char16_t* const NetworkStreamRequired;     // "NetworkStream is required"
extern const char16_t* const ConnectionNotActive;       // "The connection to the server is not active"
extern const char16_t* const InvalidAddressFamily;      // "Invalid address family"

// The system text of a platform error code, trimmed, at most 256 characters.
rtl::String SocketErrorText(int AErrorCode);
// EclSocketError with the system text and the code.
[[noreturn]] void RaiseSocketError(int AErrorCode);
// EclSocketError with a given message (one of the texts above) and code.
[[noreturn]] void RaiseSocketError(const rtl::String& AMessage, int AErrorCode);
// The message of one of the library's negative codes ("" for others).
rtl::String LibraryErrorMessage(int AErrorCode);

// Checks the binding (LoadWinSock2) and asks for the socket library version 2.2; a failure of
// the start raises EclSocketError.
void StartSocketLibrary();
// Releases one start; the result is ignored.
void StopSocketLibrary();

}  // namespace netlib

#include "netlib/transport/clSocketUtils.h"

#include "netlib/transport/clWinSock2.h"
#include "platform/Sockets.h"

namespace netlib {

const char16_t* const TimeoutOccured = u"Timeout error occured";
const char16_t* const InvalidAddress = u"Invalid host address";
const char16_t* const InvalidPort = u"Invalid port number";
const char16_t* const InvalidBatchSize = u"Invalid Batch Size";
const char16_t* const NetworkStreamRequired = u"NetworkStream is required";
const char16_t* const ConnectionNotActive = u"The connection to the server is not active";
const char16_t* const InvalidAddressFamily = u"Invalid address family";

rtl::String SocketErrorText(int AErrorCode) {
  rtl::String text = rtl::Trim(platform::SocketErrorMessage(AErrorCode));
  if (text.size() > 256) text = rtl::Trim(text.substr(0, 256));
  return text;
}

void RaiseSocketError(int AErrorCode) { throw EclSocketError(SocketErrorText(AErrorCode), AErrorCode); }

void RaiseSocketError(const rtl::String& AMessage, int AErrorCode) { throw EclSocketError(AMessage, AErrorCode); }

rtl::String LibraryErrorMessage(int AErrorCode) {
  switch (AErrorCode) {
    case TimeoutOccuredCode: return TimeoutOccured;
    case InvalidAddressCode: return InvalidAddress;
    case InvalidPortCode: return InvalidPort;
    case InvalidBatchSizeCode: return InvalidBatchSize;
    case NetworkStreamRequiredCode: return NetworkStreamRequired;
    case ConnectionNotActiveCode: return ConnectionNotActive;
    case InvalidAddressFamilyCode: return InvalidAddressFamily;
    default: return rtl::String();
  }
}

void StartSocketLibrary() {
  LoadWinSock2();
  if (platform::WsaStartup(0x0202) != 0) RaiseSocketError(platform::WsaGetLastError());
}

void StopSocketLibrary() { platform::WsaCleanup(); }

}  // namespace netlib

// SOCKS 4 (with 4A host names) and SOCKS 5 (with user name and password) streams: the handshake
// runs over the connection through the stream's next actions, then every operation goes to the
// wrapped stream.
#pragma once

#include <cstdint>
#include <memory>

#include "netlib/transport/clSocket.h"
#include "netlib/transport/clSocketUtils.h"
#include "rtl/Classes.h"

namespace netlib {

enum TclSocksConnectionState { csHello, csAuthenticate, csCommand, csOpenSession, csData };

// A refusal or a bad reply of the SOCKS server; ErrorCode is the reply byte.
class EclSocksFirewallError : public EclSocketError {
 public:
  EclSocksFirewallError(rtl::String AMessage, int AErrorCode) : EclSocketError(std::move(AMessage), AErrorCode) {}
  const char* ClassName() const noexcept override { return "EclSocksFirewallError"; }
};

extern const char16_t* const Socks4RequestGranted;       // 90
extern const char16_t* const Socks4RequestRejected;      // 91
extern const char16_t* const Socks4IdentdUnreachable;    // 92
extern const char16_t* const Socks4IdentdMismatch;       // 93
extern const char16_t* const Socks5Succeeded;            // 0
extern const char16_t* const Socks5GeneralFailure;       // 1
extern const char16_t* const Socks5NotAllowed;           // 2
extern const char16_t* const Socks5NetworkUnreachable;   // 3
extern const char16_t* const Socks5HostUnreachable;      // 4
extern const char16_t* const Socks5ConnectionRefused;    // 5
extern const char16_t* const Socks5TtlExpired;           // 6
extern const char16_t* const Socks5CommandNotSupported;  // 7
extern const char16_t* const Socks5AddressNotSupported;  // 8
extern const char16_t* const SocksUnknownError;          // any other code
extern const char16_t* const Socks5NoAcceptableMethods;
extern const char16_t* const Socks5AuthenticationFailed;
// Our own: a reply that breaks the protocol (wrong version byte, unknown address type).
extern const char16_t* const SocksInvalidReply;
// Our own: settings or a target the request cannot carry (ErrorCode SocksInvalidRequestCode).
extern const char16_t* const SocksValueTooLong;
extern const char16_t* const SocksInvalidCharacter;
extern const char16_t* const Socks4NoIPv6;
constexpr int SocksInvalidRequestCode = -8;

rtl::String Socks4ErrorMessage(int ACode);
rtl::String Socks5ErrorMessage(int ACode);

class TclSocksNetworkStream : public TclNetworkStream {
 public:
  // Takes ownership of the wrapped stream; asks for a write.
  explicit TclSocksNetworkStream(std::unique_ptr<TclNetworkStream> ABaseStream);
  ~TclSocksNetworkStream() override;

  int TargetPort() const { return FTargetPort; }
  void SetTargetPort(int AValue) { FTargetPort = AValue; }
  // A host name, or an address literal.
  const rtl::String& TargetServer() const { return FTargetServer; }
  void SetTargetServer(const rtl::String& AValue) { FTargetServer = AValue; }
  const rtl::String& UserName() const { return FUserName; }
  void SetUserName(const rtl::String& AValue) { FUserName = AValue; }
  const rtl::String& Password() const { return FPassword; }
  void SetPassword(const rtl::String& AValue) { FPassword = AValue; }
  TclNetworkStream* BaseStream() const { return FBaseStream.get(); }
  TclSocksConnectionState State() const { return FState; }

  bool IsTls() const override { return FBaseStream->IsTls(); }
  void SetConnection(TclConnection* AConnection) override;
  void Assign(const TclNetworkStream& ASource) override;
  bool Connect(TclIPAddress& Addr_, int APort) override;
  void ConnectEnd() override;
  void Close(bool ANotifyPeer) override;
  void StreamReady() override;
  bool Read(rtl::TStream* AData) override;
  bool Write(rtl::TStream* AData) override;
  int GetReadBatchSize() override;
  int GetWriteBatchSize() override;
  void InitProgress() override;
  void UpdateProgress(int64_t ABytesProceed) override;
  bool IsProceedLimit() override;
  bool NeedClose() const override;
  void MarkPeerClosed() override;
  void OpenClientSession() override;

  // Server-side and datagram operations are not supported.
  void Broadcast() override;
  void Listen() override;
  void Accept() override;
  void OpenServerSession() override;
  bool ReadFrom(rtl::TStream* AData) override;
  bool WriteTo(rtl::TStream* AData, TclIPAddress& Addr_, int APort) override;

  // The parse step of a handshake read without a socket: takes at most the missing bytes of the
  // awaited reply from AData, then parses what was collected. Answers the bytes taken.
  int TakeReply(const uint8_t* AData, int ASize);

 protected:
  // The handshake reads batch by batch; afterwards the wrapped stream reads for itself.
  int GetReceiveSize(int ABatch) override { return ABatch; }
  // The bytes of the next request (at least one).
  virtual rtl::Bytes BuildRequest() = 0;
  // True when the reply was complete and accepted; false (and a read asked for) when short.
  virtual bool ParseReply(const uint8_t* AData, int ASize) = 0;
  virtual int ReplyLength() = 0;

  void SetState(TclSocksConnectionState AValue) { FState = AValue; }
  // The reply was accepted: the tunnel is open.
  void TunnelOpened();
  // AText in the system code page, one byte per character; raises SocksInvalidRequestCode when
  // a character has no byte there (or is a zero where AAllowZero is false).
  static rtl::Bytes TextBytes(const rtl::String& AText, bool AAllowZero);
  // Every text of the requests, refused before the first request goes out.
  virtual void CheckTexts() = 0;

 private:
  void ParseCollected();
  // In the data state: the wrapped stream's read or write, its next action becoming ours.
  bool PassThrough(bool (TclNetworkStream::*AOperation)(rtl::TStream*), rtl::TStream* AData);

  int FTargetPort = 0;
  rtl::String FTargetServer;
  rtl::TMemoryStream FReadBuffer;
  rtl::TMemoryStream FRequest;  // a request the socket did not take at once
  rtl::String FUserName;
  rtl::String FPassword;
  TclSocksConnectionState FState = csHello;
  std::unique_ptr<TclNetworkStream> FBaseStream;
  int64_t FHandshakeBytes = 0;  // the progress counter while the handshake runs
};

class TclSocks4NetworkStream : public TclSocksNetworkStream {
 public:
  using TclSocksNetworkStream::TclSocksNetworkStream;

 protected:
  void CheckTexts() override;
  rtl::Bytes BuildRequest() override;
  bool ParseReply(const uint8_t* AData, int ASize) override;
  int ReplyLength() override { return 8; }
};

class TclSocks5NetworkStream : public TclSocksNetworkStream {
 public:
  using TclSocksNetworkStream::TclSocksNetworkStream;
  bool Connect(TclIPAddress& Addr_, int APort) override;

 protected:
  void CheckTexts() override;
  rtl::Bytes BuildRequest() override;
  bool ParseReply(const uint8_t* AData, int ASize) override;
  int ReplyLength() override { return FBytesToRead; }

 private:
  int FBytesToRead = 0;
};

}  // namespace netlib

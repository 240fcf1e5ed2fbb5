// The TLS network stream: TLS 1.2 and 1.3 between the connection's socket and the caller's data,
// its handshake and closing message run through the connection's next actions. The TLS engine
// (OpenSSL) lives in a module opened on first need.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <set>
#include <vector>

#include "netlib/transport/clSocket.h"
#include "netlib/transport/clSocketUtils.h"
#include "rtl/Classes.h"

struct krv_tls_api;
struct krv_tls_session;

namespace netlib {

// Certificate checks the TLS stream may be told to skip.
enum TclCertificateVerifyFlag { cfIgnoreCommonNameInvalid, cfIgnoreDateInvalid, cfIgnoreUnknownAuthority,
                                cfIgnoreRevocation, cfIgnoreWrongUsage };
using TclCertificateVerifyFlags = std::set<TclCertificateVerifyFlag>;
constexpr TclCertificateVerifyFlag vfIgnoreUnknownAuthority = cfIgnoreUnknownAuthority;
constexpr TclCertificateVerifyFlag vfIgnoreCommonNameInvalid = cfIgnoreCommonNameInvalid;
constexpr TclCertificateVerifyFlag vfIgnoreDateInvalid = cfIgnoreDateInvalid;
constexpr TclCertificateVerifyFlag vfIgnoreRevocation = cfIgnoreRevocation;
constexpr TclCertificateVerifyFlag vfIgnoreWrongUsage = cfIgnoreWrongUsage;

// The server's certificate as the verification handler sees it.
struct TclCertificateInfo {
  rtl::String Subject;
  rtl::String Issuer;
  rtl::String ValidFrom;  // "YYYY-MM-DD hh:mm:ss", UTC
  rtl::String ValidTo;
  rtl::String Sha256Fingerprint;  // "AB:CD:..."
  rtl::String Pem;
};

// AStatusCode is 0 when every check that was not switched off passed; Verified starts as
// (AStatusCode == 0) and decides.
using TclVerifyServerEvent = std::function<void(void* Sender, const TclCertificateInfo& ACertificate, int AStatusCode,
                                                const rtl::String& AStatusText, bool& Verified)>;
// The server asks for a client certificate: set both PEM texts and Handled to send one.
using TclGetCertificateEvent =
    std::function<void(void* Sender, rtl::String& ACertificatePem, rtl::String& AKeyPem, bool& Handled)>;

// A TLS failure (handshake, record, a close in the middle of the handshake).
class EclTlsError : public EclSocketError {
 public:
  EclTlsError(rtl::String AMessage, int AErrorCode) : EclSocketError(std::move(AMessage), AErrorCode) {}
  const char* ClassName() const noexcept override { return "EclTlsError"; }
};

// The server's certificate was refused; VerifyCode is the platform's code of the failed check.
class EclTlsCertificateError : public EclTlsError {
 public:
  EclTlsCertificateError(rtl::String AMessage, int AVerifyCode)
      : EclTlsError(std::move(AMessage), TlsCertificateRefusedCode), FVerifyCode(AVerifyCode) {}
  const char* ClassName() const noexcept override { return "EclTlsCertificateError"; }
  int VerifyCode() const noexcept { return FVerifyCode; }
  static constexpr int TlsCertificateRefusedCode = -10;

 private:
  int FVerifyCode;
};

constexpr int TlsProtocolErrorCode = -9;
// The peer's close without the closing message, where data was expected: as an aborted connection.
constexpr int TlsTruncatedCode = 10053;

// The engine's entry points, loading the module on the first call; raises EclSocketError
// (10045) with the reason when it cannot be loaded.
const krv_tls_api& TlsApi();
// Where the module was found (empty before the first successful load).
rtl::String TlsModulePath();

class TclTlsNetworkStream : public TclNetworkStream {
 public:
  enum TState { tsNone, tsHandshake, tsData, tsClosing, tsClosed, tsFailed };

  TclTlsNetworkStream();
  ~TclTlsNetworkStream() override;

  // Settings, read when the session opens.
  void* Sender = nullptr;  // the sender of the events
  rtl::String TargetName;  // the name (or address literal) the certificate must carry
  rtl::String CAFile;
  rtl::String CAPath;
  TclCertificateVerifyFlags CertificateFlags;
  rtl::String CSP;  // kept for the settings' sake; OpenSSL has no providers to choose by name
  TclGetCertificateEvent OnGetCertificate;
  TclVerifyServerEvent OnVerifyServer;

  TState State() const { return FState; }
  // After the handshake: "TLSv1.3", the cipher's name and the server's certificate.
  rtl::String Protocol() const;
  rtl::String Cipher() const;
  const TclCertificateInfo& PeerCertificate() const { return FPeerCertificate; }
  // True once the peer's closing message came.
  bool PeerClosed() const { return FPeerClosed; }

  bool IsTls() const override { return true; }
  // Only once the socket has ended and no decoded (or received, not yet decoded) bytes are held:
  // a read limit may leave some inside the session after the peer's close.
  bool NeedClose() const override;
  void Close(bool ANotifyPeer) override;
  bool Read(rtl::TStream* AData) override;
  bool Write(rtl::TStream* AData) override;
  void OpenClientSession() override;

 private:
  // The most bytes one receive asks for: at least one full record.
  int RawBatchSize();
  // The engine's receive function: the socket's bytes go straight into the engine's buffer.
  static int ReceiveInto(void* AContext, void* ABuffer, int ALength);
  int Receive(void* ABuffer, int ALength) noexcept;
  // The engine's send function: its records go straight into the out buffer.
  static int KeepFrom(void* AContext, const void* AData, int ALength);
  int Keep(const void* AData, int ALength) noexcept;
  // Raises what a receive or send inside the engine met (a socket error, or any other failure),
  // after the throttle's pause the receives asked for.
  void CheckReceive();
  // Sends the records in the out buffer; false while the socket does not take them all.
  bool FlushOut();
  bool OutPending() const { return FOutPos < FOutEnd; }
  void ContinueHandshake();
  void VerifyServer();
  void MarkReadData();
  rtl::String Field(int AField) const;
  [[noreturn]] void Fail(const rtl::String& AMessage, int ACode);

  const krv_tls_api* FApi = nullptr;
  krv_tls_session* FSession = nullptr;
  TState FState = tsNone;
  bool FReceiving = false;  // the engine may receive: inside our own read or write
  int FReceiveError = 0;
  std::exception_ptr FReceiveFailure;
  int64_t FPauseOwed = 0;  // the throttle's pause for receives inside the engine, taken outside it
  bool FPeerClosed = false;
  bool FLastReadGotPlain = false;  // whether the last read gave the caller data
  // Record bytes on their way to the socket: the engine writes them into this one buffer, kept
  // by the stream, and they are sent from it; [FOutPos, FOutEnd) is what the socket has not
  // taken yet.
  std::vector<uint8_t> FOutBuf;
  size_t FOutPos = 0;
  size_t FOutEnd = 0;
  std::vector<uint8_t> FPlain;
  TclCertificateInfo FPeerCertificate;
};

}  // namespace netlib

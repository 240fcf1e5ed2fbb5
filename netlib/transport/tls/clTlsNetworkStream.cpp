#include "netlib/transport/tls/clTlsNetworkStream.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>

#include "netlib/transport/tls/clTlsEngine.h"
#include "netlib/transport/tls/clTlsProvider.h"
#include "platform/Sockets.h"

namespace netlib {

namespace {

const char16_t* const TlsNotAvailableText = u"The TLS network stream is not available";
const char16_t* const TruncatedText = u"TLS error: the server closed the connection without the closing message";

struct TProviderState {
  std::once_flag Once;
  TTlsProvider Provider;
};

TProviderState& ProviderState() {
  static TProviderState state;
  return state;
}

}  // namespace

const krv_tls_api& TlsApi() {
  TProviderState& state = ProviderState();
  std::call_once(state.Once, [&] { state.Provider = LoadTlsProvider(); });
  if (!state.Provider.Api) RaiseSocketError(rtl::String(TlsNotAvailableText) + u": " + state.Provider.Error, 10045);
  return *state.Provider.Api;
}

rtl::String TlsModulePath() { return ProviderState().Provider.Path; }

TclTlsNetworkStream::TclTlsNetworkStream() = default;

TclTlsNetworkStream::~TclTlsNetworkStream() {
  if (FSession) FApi->destroy(FSession);
}

void TclTlsNetworkStream::Fail(const rtl::String& AMessage, int ACode) {
  FState = tsFailed;
  throw EclTlsError(AMessage, ACode);
}

rtl::String TclTlsNetworkStream::Field(int AField) const {
  if (!FSession) return u"";
  int n = FApi->peer_field(FSession, AField, nullptr, 0);
  if (n < 0) return u"";
  std::string buf(size_t(n) + 1, '\0');
  FApi->peer_field(FSession, AField, buf.data(), n + 1);
  buf.resize(size_t(n));
  return rtl::S(buf);
}

rtl::String TclTlsNetworkStream::Protocol() const { return Field(KRV_TLS_FIELD_PROTOCOL); }
rtl::String TclTlsNetworkStream::Cipher() const { return Field(KRV_TLS_FIELD_CIPHER); }

int TclTlsNetworkStream::RawBatchSize() {
  TclConnection& c = RequireConnection();
  if (c.BatchSize() < 1) RaiseSocketError(InvalidBatchSize, InvalidBatchSizeCode);
  // At least one full record per pass.
  return c.BatchSize() > 16384 + 512 ? c.BatchSize() : 16384 + 512;
}

int TclTlsNetworkStream::ReceiveInto(void* AContext, void* ABuffer, int ALength) {
  return static_cast<TclTlsNetworkStream*>(AContext)->Receive(ABuffer, ALength);
}

int TclTlsNetworkStream::Receive(void* ABuffer, int ALength) noexcept {
  // Outside our own read or write (the session opening before the connect completed) there is
  // nothing to receive yet.
  if (!FReceiving) return -1;
  // Nothing may unwind through the engine, and no window message may run inside it (the
  // throttle's pause dispatches them): a failure is kept and raised, the pause taken, once it has
  // returned.
  try {
    int n = platform::Recv(SocketHandle(), ABuffer, ALength);
    int err = platform::WsaGetLastError();
    FPauseOwed += ThrottlePause(ALength);
    if (n > 0) return n;
    if (n == 0) {
      TclNetworkStream::MarkPeerClosed();
      return 0;
    }
    if (err == platform::WSAEWOULDBLOCK) return -1;
    FReceiveError = err;
  } catch (...) {
    FReceiveFailure = std::current_exception();
  }
  return -2;
}

void TclTlsNetworkStream::CheckReceive() {
  if (FPauseOwed > 0) {
    int pause = FPauseOwed > INT32_MAX ? INT32_MAX : int(FPauseOwed);
    FPauseOwed = 0;
    Sleep(pause);
  }
  if (FReceiveFailure) {
    std::exception_ptr failure = FReceiveFailure;
    FReceiveFailure = nullptr;
    FState = tsFailed;
    std::rethrow_exception(failure);
  }
  if (int err = FReceiveError) {
    FReceiveError = 0;
    FState = tsFailed;
    RaiseSocketError(err);
  }
}

int TclTlsNetworkStream::KeepFrom(void* AContext, const void* AData, int ALength) {
  return static_cast<TclTlsNetworkStream*>(AContext)->Keep(AData, ALength);
}

int TclTlsNetworkStream::Keep(const void* AData, int ALength) noexcept {
  try {
    size_t n = size_t(ALength);
    if (FOutPos == FOutEnd) FOutPos = FOutEnd = 0;
    if (FOutEnd + n > FOutBuf.size() && FOutPos > 0) {
      std::memmove(FOutBuf.data(), FOutBuf.data() + FOutPos, FOutEnd - FOutPos);
      FOutEnd -= FOutPos;
      FOutPos = 0;
    }
    if (FOutEnd + n > FOutBuf.size()) {
      // Made once for the records of a whole batch (at most 320 bytes of framing a record); only
      // a handshake flight larger than that (a long certificate chain) grows it.
      size_t batch = size_t(RawBatchSize());
      FOutBuf.resize(std::max(FOutEnd + n, batch + (batch / 16384 + 1) * 320));
    }
    std::memcpy(FOutBuf.data() + FOutEnd, AData, n);
    FOutEnd += n;
    return ALength;
  } catch (...) {
    FReceiveFailure = std::current_exception();
    return -1;
  }
}

bool TclTlsNetworkStream::FlushOut() {
  // Straight from the out buffer to the socket: the engine's write into it is the only copy.
  while (OutPending()) {
    int sent = ThrottledSend(FOutBuf.data() + FOutPos, int(FOutEnd - FOutPos));
    if (sent < 0) {
      int err = platform::WsaGetLastError();
      if (err != platform::WSAEWOULDBLOCK) RaiseSocketError(err);
      return false;
    }
    FOutPos += size_t(sent);
  }
  FOutPos = FOutEnd = 0;
  return true;
}

void TclTlsNetworkStream::MarkReadData() {
  // The connection asks its outermost stream (which may wrap this one) whether to read at once.
  if (FSession && FApi->buffered(FSession)) {
    TclNetworkStream* outer = RequireConnection().NetworkStreamOrNull();
    (outer ? outer : this)->SetHasReadData(true);
  }
}

void TclTlsNetworkStream::OpenClientSession() {
  const krv_tls_api& api = TlsApi();
  FApi = &api;
  if (FSession) {
    FApi->destroy(FSession);
    FSession = nullptr;
  }
  FOutPos = FOutEnd = 0;
  FPeerClosed = false;
  std::string name = rtl::U8(TargetName), caFile = rtl::U8(CAFile), caPath = rtl::U8(CAPath);
  krv_tls_settings settings{};
  settings.server_name = name.c_str();
  settings.ca_file = caFile.c_str();
  settings.ca_path = caPath.c_str();
  unsigned ignore = 0;
  if (CertificateFlags.count(cfIgnoreUnknownAuthority)) ignore |= KRV_TLS_IGNORE_UNKNOWN_CA;
  if (CertificateFlags.count(cfIgnoreCommonNameInvalid)) ignore |= KRV_TLS_IGNORE_NAME;
  if (CertificateFlags.count(cfIgnoreDateInvalid)) ignore |= KRV_TLS_IGNORE_DATE;
  if (CertificateFlags.count(cfIgnoreRevocation)) ignore |= KRV_TLS_IGNORE_REVOCATION;
  if (CertificateFlags.count(cfIgnoreWrongUsage)) ignore |= KRV_TLS_IGNORE_USAGE;
  settings.ignore = ignore;
  settings.recv = ReceiveInto;
  settings.send = KeepFrom;
  settings.recv_ctx = this;
  settings.read_buffer = RawBatchSize();
  FReceiving = false;
  FReceiveError = 0;
  FReceiveFailure = nullptr;
  char err[512] = {0};
  FSession = FApi->create(&settings, err, sizeof(err));
  if (!FSession) Fail(u"TLS error: " + rtl::S(err), TlsProtocolErrorCode);
  FState = tsHandshake;
  ClearNextAction();
  ContinueHandshake();
}

void TclTlsNetworkStream::ContinueHandshake() {
  char err[512] = {0};
  for (;;) {
    int r = FApi->handshake(FSession, err, sizeof(err));
    CheckReceive();
    if (r == KRV_TLS_WANT_CERT) {
      rtl::String cert, key;
      bool handled = false;
      if (OnGetCertificate) OnGetCertificate(Sender, cert, key, handled);
      std::string c = handled ? rtl::U8(cert) : std::string(), k = handled ? rtl::U8(key) : std::string();
      if (FApi->set_client_cert(FSession, c.c_str(), k.c_str(), err, sizeof(err)) != KRV_TLS_OK)
        Fail(u"TLS error: " + rtl::S(err), TlsProtocolErrorCode);
      continue;
    }
    if (r == KRV_TLS_ERROR) {
      if (SocketEnded()) Fail(u"TLS handshake failed: the server closed the connection", TlsProtocolErrorCode);
      Fail(u"TLS handshake failed: " + rtl::S(err), TlsProtocolErrorCode);
    }
    if (r == KRV_TLS_OK) {
      FState = tsData;
      VerifyServer();
      if (OutPending()) SetNextAction(saWrite);
      MarkReadData();
      return;
    }
    // Our flight goes out first, then the server's answer is awaited.
    SetNextAction(OutPending() ? saWrite : saRead);
    return;
  }
}

void TclTlsNetworkStream::VerifyServer() {
  char text[256] = {0};
  int code = FApi->verify_result(FSession, text, sizeof(text));
  FPeerCertificate.Subject = Field(KRV_TLS_FIELD_SUBJECT);
  FPeerCertificate.Issuer = Field(KRV_TLS_FIELD_ISSUER);
  FPeerCertificate.ValidFrom = Field(KRV_TLS_FIELD_NOT_BEFORE);
  FPeerCertificate.ValidTo = Field(KRV_TLS_FIELD_NOT_AFTER);
  FPeerCertificate.Sha256Fingerprint = Field(KRV_TLS_FIELD_SHA256);
  FPeerCertificate.Pem = Field(KRV_TLS_FIELD_PEM);
  bool verified = code == 0;
  if (OnVerifyServer) OnVerifyServer(Sender, FPeerCertificate, code, rtl::S(text), verified);
  if (verified) return;
  FState = tsFailed;
  if (code == 0)
    throw EclTlsCertificateError(u"The server's certificate was refused by the verification handler", 0);
  throw EclTlsCertificateError(u"The server's certificate was refused: " + rtl::S(text), code);
}

bool TclTlsNetworkStream::Read(rtl::TStream* AData) {
  ClearNextAction();
  TclValueScope receiving(FReceiving, true);  // the engine may receive meanwhile
  if (FState == tsHandshake) {
    ContinueHandshake();
    return true;
  }
  if (FState != tsData && FState != tsClosing) return TclNetworkStream::Read(AData);
  if (!AData) {
    if (OutPending()) SetNextAction(saWrite);
    return true;
  }
  // The engine receives straight from the socket into its own buffer and decodes each record in
  // place; the plain bytes go from there to the caller.
  bool result = true;
  bool gotPlain = false;
  bool drained = false;  // the engine wanted the socket, which had nothing: nothing is held
  char err[512] = {0};
  for (;;) {
    int batch = GetReadBatchSize();
    if (batch <= 0) break;
    if (FPlain.size() < size_t(batch)) FPlain.resize(size_t(batch));
    int n = FApi->read(FSession, FPlain.data(), batch, err, sizeof(err));
    CheckReceive();
    if (n > 0) {
      AData->WriteBuffer(FPlain.data(), n);
      UpdateProgress(n);
      gotPlain = true;
      if (StopTest()) break;
      continue;
    }
    if (n == 0) {
      if (SocketEnded()) {
        // A close without the closing message may have cut the data short.
        if (!gotPlain && !FPeerClosed) Fail(TruncatedText, TlsTruncatedCode);
        break;
      }
      result = false;
      drained = true;
      // A record still incomplete: the connection reads on into the same destination.
      if (!gotPlain) SetNextAction(saRead);
      break;
    }
    if (n == -KRV_TLS_CLOSED) {
      // The peer's closing message: nothing more will come.
      FPeerClosed = true;
      TclNetworkStream::MarkPeerClosed();
      break;
    }
    Fail(u"TLS error: " + rtl::S(err), TlsProtocolErrorCode);
  }
  FLastReadGotPlain = gotPlain;
  if (OutPending()) {
    // The engine answered something (a key update): it goes out before more is read.
    ClearNextAction();
    SetNextAction(saWrite);
  }
  if (!drained) MarkReadData();
  return result;
}

bool TclTlsNetworkStream::Write(rtl::TStream* AData) {
  ClearNextAction();
  TclValueScope receiving(FReceiving, true);  // the engine may receive meanwhile
  if (FState == tsNone || FState == tsClosed || FState == tsFailed) return TclNetworkStream::Write(AData);
  if (FState == tsClosing) {
    // Our closing message is a courtesy: a peer that is already gone makes no error of a close.
    try {
      if (!FlushOut()) return false;
    } catch (const EclSocketError&) {
      FOutPos = FOutEnd = 0;
    }
    FState = tsClosed;
    return true;
  }
  if (!FlushOut()) return false;
  if (FState == tsHandshake) {
    ContinueHandshake();
    return true;
  }
  if (FState != tsData || !AData || AData->Position() >= AData->Size()) return true;
  char err[512] = {0};
  for (;;) {
    int64_t left = AData->Size() - AData->Position();
    int batch = GetWriteBatchSize();
    int chunk = int(batch < left ? batch : left);
    if (chunk <= 0) return true;
    if (FPlain.size() < size_t(chunk)) FPlain.resize(size_t(chunk));
    chunk = int(AData->Read(FPlain.data(), chunk));
    if (chunk <= 0) return true;
    int written = FApi->write(FSession, FPlain.data(), chunk, err, sizeof(err));
    CheckReceive();
    if (written != chunk) Fail(u"TLS error: " + rtl::S(err), TlsProtocolErrorCode);
    UpdateProgress(chunk);
    // The records are ours now; what the socket does not take goes out at the next write event.
    if (!FlushOut()) return false;
    if (AData->Position() >= AData->Size() || StopTest()) return true;
  }
}

bool TclTlsNetworkStream::NeedClose() const {
  if (!SocketEnded()) return false;
  // After the peer's closing message nothing more is decoded, whatever follows it.
  if (FPeerClosed || !FSession || (FState != tsData && FState != tsClosing)) return true;
  return !FApi->buffered(FSession);
}

void TclTlsNetworkStream::Close(bool ANotifyPeer) {
  ClearNextAction();
  TclConnection* c = Connection();
  if (FState == tsHandshake) {
    FState = tsClosed;
    // The peer's close in the middle of the handshake; an abort or our own close is no error.
    if (!ANotifyPeer && c && !c->IsAborted())
      throw EclTlsError(u"TLS handshake failed: the server closed the connection", TlsProtocolErrorCode);
    return;
  }
  if (FState != tsData && FState != tsClosing) return;
  if (!c || !c->Active()) {
    FState = tsClosed;
    return;
  }
  if (!ANotifyPeer && !FPeerClosed && !FLastReadGotPlain && !c->IsAborted()) {
    // The connection saw the peer's close as a socket event, without a closing message, while
    // data was awaited: the same error as when a read meets it.
    FState = tsClosed;
    throw EclTlsError(TruncatedText, TlsTruncatedCode);
  }
  FApi->shutdown(FSession);
  if (ANotifyPeer) {
    FState = tsClosing;
    if (OutPending()) SetNextAction(saWrite);
    return;
  }
  // Answering the peer's closing message costs one send, without waiting.
  if (FPeerClosed && OutPending()) platform::Send(SocketHandle(), FOutBuf.data() + FOutPos, int(FOutEnd - FOutPos));
  FOutPos = FOutEnd = 0;
  FState = tsClosed;
}

}  // namespace netlib

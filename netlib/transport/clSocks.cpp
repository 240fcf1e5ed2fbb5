#include "netlib/transport/clSocks.h"

#include <cstring>

#include "netlib/transport/clIpAddress.h"
#include "rtl/Ansi.h"

namespace netlib {

const char16_t* const Socks4RequestGranted = u"Request granted";
const char16_t* const Socks4RequestRejected = u"SOCKS error: request rejected or failed";
const char16_t* const Socks4IdentdUnreachable =
    u"SOCKS error: request rejected becasue SOCKS server cannot connect to identd on the client";
const char16_t* const Socks4IdentdMismatch =
    u"SOCKS error: request rejected because the client program and identd report different user-ids";
const char16_t* const Socks5Succeeded = u"Succeeded";
const char16_t* const Socks5GeneralFailure = u"General SOCKS server failure";
const char16_t* const Socks5NotAllowed = u"SOCKS error: connection not allowed by ruleset";
const char16_t* const Socks5NetworkUnreachable = u"SOCKS error: Network unreachable";
const char16_t* const Socks5HostUnreachable = u"SOCKS error: Host unreachable";
const char16_t* const Socks5ConnectionRefused = u"SOCKS error: Connection refused";
const char16_t* const Socks5TtlExpired = u"SOCKS error: TTL expired";
const char16_t* const Socks5CommandNotSupported = u"SOCKS error: Command not supported";
const char16_t* const Socks5AddressNotSupported = u"SOCKS error: Address type not supported";
const char16_t* const SocksUnknownError = u"Unknown SOCKS error occured";
const char16_t* const Socks5NoAcceptableMethods = u"SOCKS error: No acceptable authentication methods";
const char16_t* const Socks5AuthenticationFailed = u"SOCKS error: authentication failed";
const char16_t* const SocksInvalidReply = u"SOCKS error: the reply of the SOCKS server is not valid";
const char16_t* const SocksValueTooLong =
    u"SOCKS error: the user name, the password or the host name is longer than 255 characters";
const char16_t* const SocksInvalidCharacter =
    u"SOCKS error: the user name, the password or the host name contains a character that cannot be sent";
const char16_t* const Socks4NoIPv6 = u"SOCKS error: SOCKS 4 cannot connect to an IPv6 address";

rtl::String Socks4ErrorMessage(int ACode) {
  switch (ACode) {
    case 90: return Socks4RequestGranted;
    case 91: return Socks4RequestRejected;
    case 92: return Socks4IdentdUnreachable;
    case 93: return Socks4IdentdMismatch;
    default: return SocksUnknownError;
  }
}

rtl::String Socks5ErrorMessage(int ACode) {
  static const char16_t* const texts[] = {Socks5Succeeded,          Socks5GeneralFailure,     Socks5NotAllowed,
                                          Socks5NetworkUnreachable, Socks5HostUnreachable,    Socks5ConnectionRefused,
                                          Socks5TtlExpired,         Socks5CommandNotSupported, Socks5AddressNotSupported};
  if (ACode >= 0 && ACode < int(sizeof(texts) / sizeof(texts[0]))) return texts[ACode];
  return SocksUnknownError;
}

namespace {

[[noreturn]] void RaiseSocks(const rtl::String& AMessage, int ACode) { throw EclSocksFirewallError(AMessage, ACode); }

// The address bytes of a literal target (4 or 16, network order); 0 for a host name.
int TargetAddress(const rtl::String& ATarget, uint8_t (&AOut)[16]) {
  if (!TclIPAddress::IsHostIP(ATarget)) return 0;
  std::unique_ptr<TclIPAddress> a = TclIPAddress::CreateIpAddress(ATarget);
  const platform::TSocketAddress& address = *a->Address();
  const int size = address.Family == platform::WSA_AF_INET6 ? 16 : 4;
  std::memcpy(AOut, address.Address, size);
  return size;
}

void PutPort(rtl::Bytes& ABytes, int APort) {
  ABytes.push_back(uint8_t((APort >> 8) & 0xFF));
  ABytes.push_back(uint8_t(APort & 0xFF));
}

// A one-byte length followed by the bytes.
void AppendCounted(rtl::Bytes& ABytes, const rtl::Bytes& AText) {
  if (AText.size() > 255) RaiseSocks(SocksValueTooLong, SocksInvalidRequestCode);
  ABytes.push_back(uint8_t(AText.size()));
  ABytes.insert(ABytes.end(), AText.begin(), AText.end());
}

void Append(rtl::Bytes& ABytes, const rtl::Bytes& AText) { ABytes.insert(ABytes.end(), AText.begin(), AText.end()); }

}  // namespace

// --- TclSocksNetworkStream -----------------------------------------------------------------------

TclSocksNetworkStream::TclSocksNetworkStream(std::unique_ptr<TclNetworkStream> ABaseStream)
    : FBaseStream(std::move(ABaseStream)) {
  rtl::Assert(FBaseStream != nullptr, u"The SOCKS stream needs a stream to wrap");
  FState = csHello;
  SetNextAction(saWrite);
}

TclSocksNetworkStream::~TclSocksNetworkStream() = default;

rtl::Bytes TclSocksNetworkStream::TextBytes(const rtl::String& AText, bool AAllowZero) {
  rtl::Bytes r;
  r.reserve(AText.size());
  for (char16_t c : AText) {
    uint8_t b = 0;
    // Cut to its low byte, a character would send another name or password than the caller's.
    if ((c == 0 && !AAllowZero) || !rtl::AnsiCharToByte(c, b)) RaiseSocks(SocksInvalidCharacter, SocksInvalidRequestCode);
    r.push_back(b);
  }
  return r;
}

void TclSocksNetworkStream::SetConnection(TclConnection* AConnection) {
  TclNetworkStream::SetConnection(AConnection);
  FBaseStream->SetConnection(AConnection);
}

void TclSocksNetworkStream::Assign(const TclNetworkStream& ASource) {
  TclNetworkStream::Assign(ASource);
  if (auto* s = dynamic_cast<const TclSocksNetworkStream*>(&ASource)) {
    FTargetServer = s->FTargetServer;
    FTargetPort = s->FTargetPort;
    FUserName = s->FUserName;
    FPassword = s->FPassword;
  }
}

bool TclSocksNetworkStream::Connect(TclIPAddress& Addr_, int APort) {
  FState = csHello;
  return TclNetworkStream::Connect(Addr_, APort);
}

void TclSocksNetworkStream::ConnectEnd() {
  TclNetworkStream::ConnectEnd();
  FBaseStream->ConnectEnd();
}

void TclSocksNetworkStream::Close(bool ANotifyPeer) {
  ClearNextAction();
  FBaseStream->Close(ANotifyPeer);
  // A wrapped stream with a closing message to send gets it sent through us.
  if (FState == csData) SetNextAction(FBaseStream->NextAction());
}

void TclSocksNetworkStream::OpenClientSession() {
  if (FState == csData) {
    ClearNextAction();
    FBaseStream->OpenClientSession();
    SetNextAction(FBaseStream->NextAction());
    return;
  }
  FState = csHello;
  FReadBuffer.Clear();
  FRequest.Clear();
  SetNextAction(saWrite);
}

void TclSocksNetworkStream::TunnelOpened() {
  FState = csOpenSession;
  StreamReady();
}

void TclSocksNetworkStream::StreamReady() {
  if (FState == csOpenSession) {
    FState = csData;
    // Bytes the target sent after the reply are announced by the next read event; a read
    // attempt now would only make the first ReadData come back empty.
    SetHasReadData(false);
    OpenClientSession();
  } else if (FState == csData) {
    FBaseStream->StreamReady();
  }
}

bool TclSocksNetworkStream::PassThrough(bool (TclNetworkStream::*AOperation)(rtl::TStream*), rtl::TStream* AData) {
  ClearNextAction();
  bool r = (FBaseStream.get()->*AOperation)(AData);
  SetNextAction(FBaseStream->NextAction());
  // Bytes the wrapped stream received but did not hand over are announced where the
  // connection looks.
  if (FBaseStream->HasReadData()) {
    FBaseStream->SetHasReadData(false);
    SetHasReadData(true);
  }
  return r;
}

bool TclSocksNetworkStream::Write(rtl::TStream* AData) {
  if (FState == csData) return PassThrough(&TclNetworkStream::Write, AData);
  ClearNextAction();
  if (FRequest.Position() >= FRequest.Size()) {
    // Nothing goes to the SOCKS server before every text of the handshake is known to fit.
    if (FState == csHello) CheckTexts();
    rtl::Bytes request = BuildRequest();
    rtl::Assert(!request.empty(), u"The SOCKS request is empty");
    FRequest.Clear();
    FRequest.WriteBuffer(request.data(), int64_t(request.size()));
    FRequest.SetPosition(0);
  }
  InitProgress();
  TclNetworkStream::Write(&FRequest);
  // What the socket did not take goes out at the next write event.
  if (FRequest.Position() < FRequest.Size()) return false;
  FRequest.Clear();
  SetNextAction(saRead);
  return true;
}

bool TclSocksNetworkStream::Read(rtl::TStream* AData) {
  if (FState == csData) return PassThrough(&TclNetworkStream::Read, AData);
  ClearNextAction();
  bool result = true;
  int64_t missing = int64_t(ReplyLength()) - FReadBuffer.Size();
  if (missing > 0) {
    InitProgress();
    TclConnection& c = RequireConnection();
    c.SetBytesToProceed(missing);
    FReadBuffer.Seek(0, rtl::soEnd);
    try {
      result = TclNetworkStream::Read(&FReadBuffer);
    } catch (...) {
      c.SetBytesToProceed(-1);
      throw;
    }
    c.SetBytesToProceed(-1);
    SetHasReadData(result);
  }
  ParseCollected();
  return result;
}

void TclSocksNetworkStream::ParseCollected() {
  rtl::Assert(ReplyLength() > 0, u"No SOCKS reply is awaited");
  if (ParseReply(FReadBuffer.Memory(), int(FReadBuffer.Size())))
    FReadBuffer.Clear();
  else
    SetNextAction(saRead);
}

int TclSocksNetworkStream::TakeReply(const uint8_t* AData, int ASize) {
  rtl::Assert(FState != csData, u"The SOCKS handshake is over");
  ClearNextAction();
  int64_t missing = int64_t(ReplyLength()) - FReadBuffer.Size();
  int taken = int(missing < 0 ? 0 : (missing < ASize ? missing : ASize));
  FReadBuffer.Seek(0, rtl::soEnd);
  if (taken > 0) FReadBuffer.WriteBuffer(AData, taken);
  ParseCollected();
  return taken;
}

int TclSocksNetworkStream::GetReadBatchSize() {
  if (FState == csData) return FBaseStream->GetReadBatchSize();
  TclConnection& c = RequireConnection();
  if (c.BatchSize() < 1) RaiseSocketError(InvalidBatchSize, InvalidBatchSizeCode);
  int64_t limit = c.BytesToProceed();
  if (limit >= 0 && limit >= FHandshakeBytes && limit - FHandshakeBytes < c.BatchSize())
    return int(limit - FHandshakeBytes);
  return c.BatchSize();
}

int TclSocksNetworkStream::GetWriteBatchSize() {
  if (FState == csData) return FBaseStream->GetWriteBatchSize();
  return GetReadBatchSize();
}

void TclSocksNetworkStream::InitProgress() {
  if (FState == csData)
    FBaseStream->InitProgress();
  else
    FHandshakeBytes = 0;
}

void TclSocksNetworkStream::UpdateProgress(int64_t ABytesProceed) {
  // The handshake is not the caller's data: it is counted here only, never reported.
  if (FState == csData)
    FBaseStream->UpdateProgress(ABytesProceed);
  else
    FHandshakeBytes += ABytesProceed;
}

bool TclSocksNetworkStream::NeedClose() const {
  return FState == csData ? FBaseStream->NeedClose() : TclNetworkStream::NeedClose();
}

void TclSocksNetworkStream::MarkPeerClosed() {
  if (FState == csData)
    FBaseStream->MarkPeerClosed();
  else
    TclNetworkStream::MarkPeerClosed();
}

bool TclSocksNetworkStream::IsProceedLimit() {
  if (FState == csData) return FBaseStream->IsProceedLimit();
  int64_t limit = RequireConnection().BytesToProceed();
  return limit >= 0 && FHandshakeBytes >= limit;
}

void TclSocksNetworkStream::Broadcast() { rtl::Assert(false, u"The SOCKS stream cannot broadcast"); }
void TclSocksNetworkStream::Listen() { rtl::Assert(false, u"The SOCKS stream cannot listen"); }
void TclSocksNetworkStream::Accept() { rtl::Assert(false, u"The SOCKS stream cannot accept"); }
void TclSocksNetworkStream::OpenServerSession() { rtl::Assert(false, u"The SOCKS stream has no server session"); }

bool TclSocksNetworkStream::ReadFrom(rtl::TStream*) {
  rtl::Assert(false, u"The SOCKS stream carries no datagrams");
  return false;
}

bool TclSocksNetworkStream::WriteTo(rtl::TStream*, TclIPAddress&, int) {
  rtl::Assert(false, u"The SOCKS stream carries no datagrams");
  return false;
}

// --- SOCKS 4 and 4A ------------------------------------------------------------------------------

void TclSocks4NetworkStream::CheckTexts() {
  uint8_t addr[16];
  int addrLen = TargetAddress(TargetServer(), addr);
  if (addrLen == 16) RaiseSocks(Socks4NoIPv6, SocksInvalidRequestCode);
  // A zero would end the user ID early, and the rest would be read as another host name.
  TextBytes(UserName(), false);
  if (addrLen == 0) {
    if (TargetServer().empty()) RaiseSocks(SocksInvalidCharacter, SocksInvalidRequestCode);
    TextBytes(TargetServer(), false);
  }
}

rtl::Bytes TclSocks4NetworkStream::BuildRequest() {
  uint8_t addr[16];
  int addrLen = TargetAddress(TargetServer(), addr);
  if (addrLen == 0) {
    addr[0] = addr[1] = addr[2] = 0;
    addr[3] = 1;  // 0.0.0.1: the host name follows the user ID
  }
  rtl::Bytes r;
  r.reserve(10 + UserName().size() + TargetServer().size());
  r.push_back(4);
  r.push_back(1);
  PutPort(r, TargetPort());
  for (int i = 0; i < 4; ++i) r.push_back(addr[i]);
  Append(r, TextBytes(UserName(), false));
  r.push_back(0);
  if (addrLen == 0) {
    Append(r, TextBytes(TargetServer(), false));
    r.push_back(0);
  }
  return r;
}

bool TclSocks4NetworkStream::ParseReply(const uint8_t* AData, int ASize) {
  if (ASize < ReplyLength()) return false;
  if (AData[0] != 0) RaiseSocks(SocksInvalidReply, AData[1]);
  if (AData[1] != 90) RaiseSocks(Socks4ErrorMessage(AData[1]), AData[1]);
  TunnelOpened();
  return true;
}

// --- SOCKS 5 -------------------------------------------------------------------------------------

bool TclSocks5NetworkStream::Connect(TclIPAddress& Addr_, int APort) {
  FBytesToRead = 0;
  return TclSocksNetworkStream::Connect(Addr_, APort);
}

void TclSocks5NetworkStream::CheckTexts() {
  // Credentials carry their length, so a zero is sent as it is; the host name is a name.
  if (TextBytes(UserName(), true).size() > 255 || TextBytes(Password(), true).size() > 255)
    RaiseSocks(SocksValueTooLong, SocksInvalidRequestCode);
  uint8_t addr[16];
  if (TargetAddress(TargetServer(), addr) == 0) {
    if (TargetServer().empty()) RaiseSocks(SocksInvalidCharacter, SocksInvalidRequestCode);
    if (TextBytes(TargetServer(), false).size() > 255) RaiseSocks(SocksValueTooLong, SocksInvalidRequestCode);
  }
}

rtl::Bytes TclSocks5NetworkStream::BuildRequest() {
  rtl::Bytes r;
  switch (State()) {
    case csHello:
      r = {5, 1, uint8_t(UserName().empty() ? 0 : 2)};
      FBytesToRead = 2;
      break;
    case csAuthenticate:
      r = {1};
      AppendCounted(r, TextBytes(UserName(), true));
      AppendCounted(r, TextBytes(Password(), true));
      FBytesToRead = 2;
      break;
    default: {
      uint8_t addr[16];
      int addrLen = TargetAddress(TargetServer(), addr);
      r = {5, 1, 0};
      if (addrLen == 4) {
        r.push_back(1);
        r.insert(r.end(), addr, addr + 4);
      } else if (addrLen == 16) {
        r.push_back(4);
        r.insert(r.end(), addr, addr + 16);
      } else {
        if (TargetServer().empty()) RaiseSocks(SocksInvalidCharacter, SocksInvalidRequestCode);
        r.push_back(3);
        AppendCounted(r, TextBytes(TargetServer(), false));
      }
      PutPort(r, TargetPort());
      // Version, code, reserved, address type and the first address byte tell the full length.
      FBytesToRead = 5;
      break;
    }
  }
  return r;
}

bool TclSocks5NetworkStream::ParseReply(const uint8_t* AData, int ASize) {
  if (ASize < ReplyLength()) return false;
  switch (State()) {
    case csHello:
      if (AData[0] != 5) RaiseSocks(SocksInvalidReply, AData[1]);
      if (AData[1] == 0)
        SetState(csCommand);
      else if (AData[1] == 2)
        SetState(csAuthenticate);
      else
        RaiseSocks(Socks5NoAcceptableMethods, AData[1]);
      SetNextAction(saWrite);
      return true;
    case csAuthenticate:
      if (AData[0] != 1 || AData[1] != 0) RaiseSocks(Socks5AuthenticationFailed, AData[1]);
      SetState(csCommand);
      SetNextAction(saWrite);
      return true;
    case csCommand: {
      if (ASize < 5) {
        FBytesToRead = 5;
        return false;
      }
      if (AData[0] != 5) RaiseSocks(SocksInvalidReply, AData[1]);
      if (AData[1] != 0) RaiseSocks(Socks5ErrorMessage(AData[1]), AData[1]);
      int full = 0;
      switch (AData[3]) {
        case 1: full = 10; break;
        case 4: full = 22; break;
        case 3: full = 7 + AData[4]; break;
        default: RaiseSocks(SocksInvalidReply, AData[3]);
      }
      if (ASize < full) {
        FBytesToRead = full;
        return false;
      }
      TunnelOpened();
      return true;
    }
    default:
      rtl::Assert(false, u"No SOCKS reply is awaited in this state");
      return false;
  }
}

}  // namespace netlib

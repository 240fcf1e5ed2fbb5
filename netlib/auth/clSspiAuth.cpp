#include "netlib/auth/clSspiAuth.h"

#include <cstdlib>
#include <mutex>

#include "netlib/auth/clEncoder.h"

namespace netlib {

using namespace platform::sspi;

namespace {

constexpr uint32_t kContextRequirements = 0x1091F;

}  // namespace

TclAuthIdentity::TclAuthIdentity(const rtl::String& AUser, const rtl::String& APassword) : FPassword(APassword) {
  size_t sep = AUser.find(u'\\');
  if (sep == rtl::String::npos) sep = AUser.find(u'/');
  if (sep == rtl::String::npos) {
    FUser = AUser;
  } else {
    FDomain = AUser.substr(0, sep);
    FUser = AUser.substr(sep + 1);
  }
}

SEC_WINNT_AUTH_IDENTITY* TclAuthIdentity::Identity() {
  FUserCopy = FUser;
  FDomainCopy = FDomain;
  FPasswordCopy = FPassword;
  FIdentity = {};
  FIdentity.Flags = SEC_WINNT_AUTH_IDENTITY_UNICODE;
  if (!FUserCopy.empty()) FIdentity.User = FUserCopy.c_str(), FIdentity.UserLength = static_cast<uint32_t>(FUserCopy.size());
  if (!FDomainCopy.empty())
    FIdentity.Domain = FDomainCopy.c_str(), FIdentity.DomainLength = static_cast<uint32_t>(FDomainCopy.size());
  if (!FPasswordCopy.empty())
    FIdentity.Password = FPasswordCopy.c_str(), FIdentity.PasswordLength = static_cast<uint32_t>(FPasswordCopy.size());
  return &FIdentity;
}

TclNtAuthSspi::~TclNtAuthSspi() { ReleaseHandles(); }

void TclNtAuthSspi::ReleaseHandles() {
  // Nothing to release means nothing to bind either.
  if (!Present(FCtxtHandle) && !Present(FCredHandle)) return;
  SecurityFunctionTableA& t = FunctionTable();
  if (Present(FCtxtHandle)) t.DeleteSecurityContext(&FCtxtHandle);
  if (Present(FCredHandle)) t.FreeCredentialsHandle(&FCredHandle);
  FCtxtHandle = {};
  FCredHandle = {};
}

void TclNtAuthSspi::AcquireCredentials(const rtl::String& APackage, TclAuthIdentity* AuthIdentity) {
  const std::string package = rtl::U8(APackage);
  CheckSSPIStatus(FunctionTable().AcquireCredentialsHandleA(nullptr, package.c_str(), SECPKG_CRED_OUTBOUND, nullptr,
                                                           AuthIdentity ? AuthIdentity->Identity() : nullptr,
                                                           nullptr, nullptr, &FCredHandle, nullptr));
}

bool TclNtAuthClientSspi::GenChallenge(const rtl::String& APackage, rtl::TStream& ABuffer,
                                       const rtl::String& ATargetName, TclAuthIdentity* AuthIdentity) {
  SecurityFunctionTableA& t = FunctionTable();
  SecBuffer outBuf{0, SECBUFFER_TOKEN, nullptr};
  SecBufferDesc outDesc{SECBUFFER_VERSION, 1, &outBuf};
  // The provider's buffer is released whatever happens.
  struct OutGuard {
    SecurityFunctionTableA& t;
    SecBuffer& b;
    ~OutGuard() {
      if (b.pvBuffer) t.FreeContextBuffer(b.pvBuffer);
    }
  } outGuard{t, outBuf};

  rtl::Bytes input;
  SecBuffer inBuf{0, SECBUFFER_TOKEN, nullptr};
  SecBufferDesc inDesc{SECBUFFER_VERSION, 1, &inBuf};
  const int64_t remaining = ABuffer.Size() - ABuffer.Position();
  const bool firstRound = remaining <= 0;
  if (firstRound) {
    ReleaseHandles();
    AcquireCredentials(APackage, AuthIdentity);
  } else {
    if (remaining > 0xFFFFFFFF) throw EclSSPIError(SEC_E_INVALID_TOKEN);
    input.resize(static_cast<size_t>(remaining));
    ABuffer.ReadBuffer(input.data(), static_cast<int64_t>(input.size()));
    inBuf.cbBuffer = static_cast<uint32_t>(input.size());
    inBuf.pvBuffer = input.data();
  }

  const std::string target = rtl::U8(ATargetName);
  uint32_t attributes = 0;
  const SECURITY_STATUS status = t.InitializeSecurityContextA(
      &FCredHandle, firstRound ? nullptr : &FCtxtHandle, target.c_str(), kContextRequirements, 0, 0,
      firstRound ? nullptr : &inDesc, 0, &FCtxtHandle, &outDesc, &attributes, nullptr);
  const bool complete = status == SEC_E_OK || status == SEC_I_COMPLETE_NEEDED;
  if (status == SEC_I_COMPLETE_AND_CONTINUE || status == SEC_I_COMPLETE_NEEDED)
    CheckSSPIStatus(t.CompleteAuthToken(&FCtxtHandle, &outDesc));
  else if (status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED)
    throw EclSSPIError(status);

  if (outBuf.pvBuffer && outBuf.cbBuffer) {
    ABuffer.SetSize(0);
    ABuffer.SetPosition(0);
    ABuffer.WriteBuffer(outBuf.pvBuffer, outBuf.cbBuffer);
    ABuffer.SetPosition(0);
  } else {
    // No token to send: leave nothing behind to be mistaken for one.
    ABuffer.SetSize(0);
  }
  return complete;
}

TclHttpNtlmAuthorization::~TclHttpNtlmAuthorization() { CloseSessions(); }

void TclHttpNtlmAuthorization::CloseSessions() {
  std::lock_guard<rtl::TCriticalSection> lock(FAccessor);
  FSessions.clear();
}

bool TclHttpNtlmAuthorization::HasSession(TclAuthContext AContext) {
  std::lock_guard<rtl::TCriticalSection> lock(FAccessor);
  return FSessions.count(rtl::UIntToStr(reinterpret_cast<uintptr_t>(AContext))) != 0;
}

void TclHttpNtlmAuthorization::AnswerChallenge(const TclUrlParser& AUrl, const rtl::String&,
                                               const rtl::String& AUserName, const rtl::String& APassword,
                                               const rtl::TStringList& AuthChallenge, TclAuthContext AContext) {
  rtl::String scheme = u"Negotiate";
  rtl::String challenge = FindChallenge(AuthChallenge, scheme);
  if (challenge.empty()) {
    scheme = u"NTLM";
    challenge = FindChallenge(AuthChallenge, scheme);
  }
  std::lock_guard<rtl::TCriticalSection> lock(FAccessor);
  const rtl::String key = rtl::UIntToStr(reinterpret_cast<uintptr_t>(AContext));
  if (challenge.empty()) {
    // The server no longer offers the scheme: an exchange under way with this caller is over.
    FSessions.erase(key);
    FAuthValue.clear();
    return;
  }
  auto it = FSessions.find(key);
  if (it == FSessions.end()) it = FSessions.emplace(key, std::make_unique<TclNtAuthClientSspi>()).first;
  FAuthValue.clear();  // a round that raises leaves no stale value behind
  bool finished = true;
  const rtl::String value = RunRound(*it->second, AUrl, scheme, challenge, AUserName, APassword, finished);
  if (finished) FSessions.erase(it);
  FAuthValue = value;
}

rtl::String TclHttpNtlmAuthorization::RunRound(TclNtAuthClientSspi& ASession, const TclUrlParser& AUrl,
                                               const rtl::String& AScheme, const rtl::String& AChallenge,
                                               const rtl::String& AUserName, const rtl::String& APassword,
                                               bool& AFinished) {
  AFinished = true;
  // AChallenge is what FindChallenge found: the scheme's own token first, then a blank or nothing.
  const rtl::String token = rtl::Trim(std::u16string_view(AChallenge).substr(AScheme.size()));
  FStartNewConnection = token.empty();

  rtl::TMemoryStream buffer;
  if (!token.empty()) {
    const rtl::Bytes serverToken = TclEncoder::DecodeBase64(token);
    if (!serverToken.empty()) buffer.WriteBuffer(serverToken.data(), static_cast<int64_t>(serverToken.size()));
    buffer.SetPosition(0);
  }
  std::unique_ptr<TclAuthIdentity> identity;
  if (!AUserName.empty()) identity = std::make_unique<TclAuthIdentity>(AUserName, APassword);
  AFinished = ASession.GenChallenge(AScheme, buffer, u"HTTP/" + AUrl.Host(), identity.get());
  if (buffer.Size() == 0) return {};
  buffer.SetPosition(0);
  return AScheme + u" " + TclEncoder::EncodeBase64(buffer.Memory(), static_cast<size_t>(buffer.Size()));
}

}  // namespace netlib

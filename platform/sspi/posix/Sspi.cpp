#include "platform/sspi/Sspi.h"

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>

#include "platform/sspi/Ntlm.h"
#include "platform/sspi/Spnego.h"
#include "rtl/SysUtils.h"

namespace platform::sspi {

namespace {

enum class Package { Ntlm, Negotiate };

struct Credentials {
  Package Pkg;
  rtl::String User, Domain, Password;
};

enum class Stage { AwaitChallenge, Done };

struct Context {
  Package Pkg;
  rtl::String Target;  // the service principal name, echoed to the server in the target information
  Credentials Creds;  // a copy: the credentials handle may be freed before the context
  Stage St = Stage::AwaitChallenge;
};

// Handles are numbers from a counter; dwUpper carries a tag so a context handle passed as
// credentials (or the reverse) is refused.
constexpr uintptr_t kCredTag = 0x4e54434cu;  // "NTCL"
constexpr uintptr_t kCtxtTag = 0x4e544358u;  // "NTCX"

std::mutex gLock;
uintptr_t gNextHandle = 1;
std::map<uintptr_t, Credentials> gCredentials;
std::map<uintptr_t, std::unique_ptr<Context>> gContexts;

rtl::String FromIdentityText(const void* p, uint32_t length, uint32_t flags) {
  if (!p || length == 0) return {};
  if (flags & SEC_WINNT_AUTH_IDENTITY_UNICODE) return rtl::String(static_cast<const char16_t*>(p), length);
  return rtl::S(std::string(static_cast<const char*>(p), length));
}

// The default credentials: the first line DOMAIN:USER:PASSWORD of the file NTLM_USER_FILE names
// (UTF-8; the password is the rest of the line, so it may hold colons).
bool DefaultCredentials(Credentials& c) {
  const char* path = std::getenv("NTLM_USER_FILE");
  if (!path || !*path) return false;
  std::ifstream in(path, std::ios::binary);
  std::string line;
  while (in && std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t a = line.find(':');
    if (a == std::string::npos) continue;
    const size_t b = line.find(':', a + 1);
    if (b == std::string::npos || b == a + 1) continue;  // a user name is required
    c.Domain = rtl::S(line.substr(0, a));
    c.User = rtl::S(line.substr(a + 1, b - a - 1));
    c.Password = rtl::S(line.substr(b + 1));
    return true;
  }
  return false;
}

SecBuffer* FindToken(SecBufferDesc* desc) {
  if (!desc || !desc->pBuffers) return nullptr;
  for (uint32_t i = 0; i < desc->cBuffers; ++i)
    if ((desc->pBuffers[i].BufferType & 0xffff) == SECBUFFER_TOKEN) return &desc->pBuffers[i];
  return nullptr;
}

SECURITY_STATUS WriteToken(SecBufferDesc* out, uint32_t contextReq, const NtlmBytes& token) {
  SecBuffer* b = FindToken(out);
  if (!b) return SEC_E_INVALID_TOKEN;
  if (contextReq & ISC_REQ_ALLOCATE_MEMORY) {
    void* p = std::malloc(token.size());
    if (!p) return SEC_E_INSUFFICIENT_MEMORY;
    std::memcpy(p, token.data(), token.size());
    b->pvBuffer = p;
  } else {
    if (!b->pvBuffer || b->cbBuffer < token.size()) return SEC_E_BUFFER_TOO_SMALL;
    std::memcpy(b->pvBuffer, token.data(), token.size());
  }
  b->cbBuffer = static_cast<uint32_t>(token.size());
  return SEC_E_OK;
}

NtlmChallenge8 RandomChallenge() {
  std::random_device rd;
  NtlmChallenge8 c;
  for (uint8_t& b : c) b = static_cast<uint8_t>(rd());
  return c;
}

// The AUTHENTICATE message answering a CHALLENGE, or a status.
SECURITY_STATUS AnswerNtlm(const Context& ctx, const uint8_t* data, size_t size, NtlmBytes& out) {
  const Credentials& creds = ctx.Creds;
  const auto challenge = ParseNtlmChallenge(data, size);
  if (!challenge) return SEC_E_INVALID_TOKEN;
  // Names and responses go as UTF-16; a server that cannot take it cannot take NTLMv2 either.
  if (!(challenge->Flags & NTLMSSP_NEGOTIATE_UNICODE)) return SEC_E_UNSUPPORTED_FUNCTION;
  const rtl::TDigest16 key = NtOwfV2(creds.User, creds.Password, creds.Domain);
  const uint64_t time = challenge->Timestamp ? *challenge->Timestamp : NtlmCurrentFileTime();
  // The client names the service it means (MsvAvTargetName) inside the signed blob.
  NtlmBytes targetInfo = challenge->TargetInfo;
  if (!ctx.Target.empty()) {
    auto pairs = ParseAvPairs(targetInfo.data(), targetInfo.size());  // parsed once already
    bool named = false;
    for (const NtlmAvPair& p : *pairs) named = named || p.Id == MsvAvTargetName;
    const NtlmBytes spn = Utf16LE(ctx.Target);
    if (!named && spn.size() <= 0xffff) {
      pairs->push_back({MsvAvTargetName, spn});
      targetInfo = BuildAvPairs(*pairs);
    }
  }
  const NtlmV2Response r = ComputeNtlmV2Response(key, challenge->ServerChallenge, RandomChallenge(), time, targetInfo);
  NtlmAuthenticateFields f;
  f.Flags = (challenge->Flags & kNtlmClientFlags & ~NTLMSSP_NEGOTIATE_OEM) | NTLMSSP_NEGOTIATE_UNICODE;
  // With a server time stamp the LMv2 response is replaced by zeros (the NT response carries it).
  f.LmChallengeResponse = challenge->Timestamp ? NtlmBytes(24, 0) : r.LmChallengeResponse;
  f.NtChallengeResponse = r.NtChallengeResponse;
  f.Domain = Utf16LE(creds.Domain);
  f.User = Utf16LE(creds.User);
  if (f.NtChallengeResponse.size() > 0xffff) return SEC_E_INVALID_TOKEN;  // target info too long to echo
  out = BuildNtlmAuthenticate(f);
  return SEC_E_OK;
}

SECURITY_STATUS AnswerNegotiate(const Context& ctx, const uint8_t* data, size_t size, NtlmBytes& out) {
  // Some servers answer a Negotiate exchange with the bare NTLM message.
  if (size >= 8 && std::memcmp(data, "NTLMSSP", 8) == 0) return AnswerNtlm(ctx, data, size, out);
  const auto resp = ParseSpnegoResp(data, size);
  if (!resp) return SEC_E_INVALID_TOKEN;
  if (resp->NegState == SpnegoNegState::Reject) return SEC_E_LOGON_DENIED;
  if (resp->SupportedMech && *resp->SupportedMech != kNtlmMechOid) return SEC_E_INVALID_TOKEN;
  if (!resp->ResponseToken) return SEC_E_INVALID_TOKEN;
  NtlmBytes auth;
  const SECURITY_STATUS s = AnswerNtlm(ctx, resp->ResponseToken->data(), resp->ResponseToken->size(), auth);
  if (s != SEC_E_OK) return s;
  SpnegoResp mine;
  mine.ResponseToken = std::move(auth);
  out = BuildSpnegoResp(mine);
  return SEC_E_OK;
}

SECURITY_STATUS SEC_ENTRY_Acquire(const char*, const char* pszPackage, uint32_t fCredentialUse, void*,
                                  void* pAuthData, void*, void*, CredHandle* phCredential, TimeStamp* ptsExpiry) {
  if (!phCredential) return SEC_E_INVALID_HANDLE;
  if (!pszPackage) return SEC_E_SECPKG_NOT_FOUND;
  Credentials c;
  const rtl::String name = rtl::S(pszPackage);
  if (rtl::SameText(name, u"NTLM"))
    c.Pkg = Package::Ntlm;
  else if (rtl::SameText(name, u"Negotiate"))
    c.Pkg = Package::Negotiate;
  else
    return SEC_E_SECPKG_NOT_FOUND;
  if (!(fCredentialUse & SECPKG_CRED_OUTBOUND)) return SEC_E_UNSUPPORTED_FUNCTION;  // client side only
  if (pAuthData) {
    const auto* id = static_cast<const SEC_WINNT_AUTH_IDENTITY*>(pAuthData);
    if (id->Flags != SEC_WINNT_AUTH_IDENTITY_UNICODE && id->Flags != SEC_WINNT_AUTH_IDENTITY_ANSI)
      return SEC_E_UNKNOWN_CREDENTIALS;
    c.User = FromIdentityText(id->User, id->UserLength, id->Flags);
    c.Domain = FromIdentityText(id->Domain, id->DomainLength, id->Flags);
    c.Password = FromIdentityText(id->Password, id->PasswordLength, id->Flags);
  }
  // No identity, or one without a user name: the configured default credentials.
  if (c.User.empty() && !DefaultCredentials(c)) return SEC_E_NO_CREDENTIALS;
  std::lock_guard<std::mutex> g(gLock);
  const uintptr_t h = gNextHandle++;
  gCredentials.emplace(h, std::move(c));
  phCredential->dwLower = h;
  phCredential->dwUpper = kCredTag;
  if (ptsExpiry) *ptsExpiry = INT64_MAX;
  return SEC_E_OK;
}

SECURITY_STATUS SEC_ENTRY_FreeCredentials(CredHandle* phCredential) {
  if (!phCredential || phCredential->dwUpper != kCredTag) return SEC_E_INVALID_HANDLE;
  std::lock_guard<std::mutex> g(gLock);
  return gCredentials.erase(phCredential->dwLower) ? SEC_E_OK : SEC_E_INVALID_HANDLE;
}

SECURITY_STATUS SEC_ENTRY_Initialize(CredHandle* phCredential, CtxtHandle* phContext, const char* pszTargetName,
                                     uint32_t fContextReq, uint32_t, uint32_t, SecBufferDesc* pInput, uint32_t,
                                     CtxtHandle* phNewContext, SecBufferDesc* pOutput, uint32_t* pfContextAttr,
                                     TimeStamp* ptsExpiry) {
  std::lock_guard<std::mutex> g(gLock);
  if (pfContextAttr) *pfContextAttr = fContextReq & ISC_REQ_ALLOCATE_MEMORY;
  if (ptsExpiry) *ptsExpiry = INT64_MAX;
  if (!phContext) {
    // First leg: the NEGOTIATE message, in an SPNEGO initial token for Negotiate.
    if (!phCredential || phCredential->dwUpper != kCredTag || !phNewContext) return SEC_E_INVALID_HANDLE;
    auto cred = gCredentials.find(phCredential->dwLower);
    if (cred == gCredentials.end()) return SEC_E_INVALID_HANDLE;
    const NtlmBytes negotiate = BuildNtlmNegotiate();
    const NtlmBytes token = cred->second.Pkg == Package::Negotiate ? BuildSpnegoInit(negotiate) : negotiate;
    const SECURITY_STATUS s = WriteToken(pOutput, fContextReq, token);
    if (s != SEC_E_OK) return s;
    auto ctx = std::make_unique<Context>();
    ctx->Pkg = cred->second.Pkg;
    ctx->Creds = cred->second;
    const uintptr_t h = gNextHandle++;
    gContexts.emplace(h, std::move(ctx));
    phNewContext->dwLower = h;
    phNewContext->dwUpper = kCtxtTag;
    return SEC_I_CONTINUE_NEEDED;
  }
  if (phContext->dwUpper != kCtxtTag) return SEC_E_INVALID_HANDLE;
  auto it = gContexts.find(phContext->dwLower);
  if (it == gContexts.end()) return SEC_E_INVALID_HANDLE;
  Context& ctx = *it->second;
  if (ctx.St != Stage::AwaitChallenge) return SEC_E_OUT_OF_SEQUENCE;
  const SecBuffer* in = FindToken(pInput);
  if (!in || (in->cbBuffer && !in->pvBuffer)) return SEC_E_INVALID_TOKEN;
  const auto* data = static_cast<const uint8_t*>(in->pvBuffer);
  NtlmBytes token;
  if (pszTargetName) ctx.Target = rtl::S(pszTargetName);
  const SECURITY_STATUS s = ctx.Pkg == Package::Negotiate ? AnswerNegotiate(ctx, data, in->cbBuffer, token)
                                                          : AnswerNtlm(ctx, data, in->cbBuffer, token);
  if (s != SEC_E_OK) return s;
  const SECURITY_STATUS w = WriteToken(pOutput, fContextReq, token);
  if (w != SEC_E_OK) return w;
  ctx.St = Stage::Done;
  if (phNewContext) *phNewContext = *phContext;
  return SEC_E_OK;
}

SECURITY_STATUS SEC_ENTRY_Complete(CtxtHandle* phContext, SecBufferDesc*) {
  // Nothing is ever left to complete: the messages are final when produced.
  if (!phContext || phContext->dwUpper != kCtxtTag) return SEC_E_INVALID_HANDLE;
  std::lock_guard<std::mutex> g(gLock);
  return gContexts.count(phContext->dwLower) ? SEC_E_OK : SEC_E_INVALID_HANDLE;
}

SECURITY_STATUS SEC_ENTRY_DeleteContext(CtxtHandle* phContext) {
  if (!phContext || phContext->dwUpper != kCtxtTag) return SEC_E_INVALID_HANDLE;
  std::lock_guard<std::mutex> g(gLock);
  return gContexts.erase(phContext->dwLower) ? SEC_E_OK : SEC_E_INVALID_HANDLE;
}

SECURITY_STATUS SEC_ENTRY_FreeBuffer(void* p) {
  std::free(p);
  return SEC_E_OK;
}

SecurityFunctionTableA gTable = {1,
                                 SEC_ENTRY_Acquire,
                                 SEC_ENTRY_FreeCredentials,
                                 SEC_ENTRY_Initialize,
                                 SEC_ENTRY_Complete,
                                 SEC_ENTRY_DeleteContext,
                                 SEC_ENTRY_FreeBuffer};

}  // namespace

SecurityFunctionTableA* InitSecurityInterfaceA() { return &gTable; }

}  // namespace platform::sspi

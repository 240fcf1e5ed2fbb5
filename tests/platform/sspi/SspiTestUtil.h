// Drives the provider's table the way a client does, for the tests.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "platform/sspi/Ntlm.h"
#include "platform/sspi/Spnego.h"
#include "platform/sspi/Sspi.h"
#include "rtl/SysUtils.h"

namespace sspitest {

using namespace platform::sspi;
using Bytes = std::vector<uint8_t>;

inline SecurityFunctionTableA& T() { return *InitSecurityInterfaceA(); }

struct Identity {
  std::u16string User, Domain, Password;
  SEC_WINNT_AUTH_IDENTITY Record() const {
    return {User.c_str(), static_cast<uint32_t>(User.size()), Domain.c_str(), static_cast<uint32_t>(Domain.size()),
            Password.c_str(), static_cast<uint32_t>(Password.size()), SEC_WINNT_AUTH_IDENTITY_UNICODE};
  }
};

// One InitializeSecurityContext call with provider-allocated output; the token lands in out.
inline SECURITY_STATUS Leg(CredHandle& cred, CtxtHandle* ctx, const Bytes* input, CtxtHandle& newCtx, Bytes& out) {
  SecBuffer outBuf{0, SECBUFFER_TOKEN, nullptr};
  SecBufferDesc outDesc{SECBUFFER_VERSION, 1, &outBuf};
  SecBuffer inBuf{0, SECBUFFER_TOKEN, nullptr};
  SecBufferDesc inDesc{SECBUFFER_VERSION, 1, &inBuf};
  if (input) {
    inBuf.cbBuffer = static_cast<uint32_t>(input->size());
    inBuf.pvBuffer = const_cast<uint8_t*>(input->data());
  }
  uint32_t attr = 0;
  const SECURITY_STATUS s = T().InitializeSecurityContextA(&cred, ctx, "HTTP/localhost", 0x1091F, 0, 0,
                                                           input ? &inDesc : nullptr, 0, &newCtx, &outDesc, &attr,
                                                           nullptr);
  out.clear();
  if (outBuf.pvBuffer) {
    const auto* p = static_cast<const uint8_t*>(outBuf.pvBuffer);
    out.assign(p, p + outBuf.cbBuffer);
    T().FreeContextBuffer(outBuf.pvBuffer);
  }
  return s;
}

inline Bytes HexBytes(const std::string& hex) {
  Bytes b;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) b.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return b;
}
inline std::string ToHex(const uint8_t* p, size_t n) {
  static const char* d = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; ++i) s += d[p[i] >> 4], s += d[p[i] & 15];
  return s;
}
template <class C>
std::string ToHex(const C& c) {
  return ToHex(c.data(), c.size());
}

// The NTLM message of a Negotiate token: SPNEGO-wrapped (Windows, our provider) or bare (Wine's
// Negotiate); empty when it is neither. AWrapped tells which form it came in.
inline Bytes NtlmOf(const Bytes& token, bool* wrapped = nullptr) {
  const bool bare = token.size() >= 8 && std::memcmp(token.data(), "NTLMSSP", 8) == 0;
  if (wrapped) *wrapped = !bare;
  if (bare) return token;
  if (!token.empty() && token[0] == 0x60) {
    const auto init = ParseSpnegoInit(token.data(), token.size());
    return init && init->MechToken ? *init->MechToken : Bytes();
  }
  const auto resp = ParseSpnegoResp(token.data(), token.size());
  return resp && resp->ResponseToken ? *resp->ResponseToken : Bytes();
}

// The message type of an NTLM message (1 NEGOTIATE, 2 CHALLENGE, 3 AUTHENTICATE); 0 for none.
inline int NtlmTypeOf(const Bytes& message) {
  return message.size() >= 12 && std::memcmp(message.data(), "NTLMSSP", 8) == 0 ? message[8] : 0;
}

// The flags a server grants of those a NEGOTIATE asks for, as a Windows server does: signing,
// sealing and key exchange too, which HTTP authentication never uses (Samba's client, behind
// Wine's NTLM, refuses a CHALLENGE without the flags it asked for).
inline uint32_t GrantedFlags(const Bytes& negotiate) {
  constexpr uint32_t grantable = NTLMSSP_NEGOTIATE_ALWAYS_SIGN | NTLMSSP_NEGOTIATE_EXTENDED_SESSIONSECURITY |
                                 NTLMSSP_NEGOTIATE_128 | NTLMSSP_NEGOTIATE_56 | NTLMSSP_NEGOTIATE_SIGN |
                                 NTLMSSP_NEGOTIATE_SEAL | NTLMSSP_NEGOTIATE_KEY_EXCH;
  uint32_t asked = 0;
  if (negotiate.size() >= 16)
    asked = uint32_t(negotiate[12]) | uint32_t(negotiate[13]) << 8 | uint32_t(negotiate[14]) << 16 |
            uint32_t(negotiate[15]) << 24;
  return NTLMSSP_NEGOTIATE_UNICODE | NTLMSSP_NEGOTIATE_NTLM | (asked & grantable);
}

// NTProofStr the server computes from the AUTHENTICATE message and the password it knows:
// the blob after the first 16 bytes of the NT response is the client's "temp".
inline std::string ServerProof(const NtlmAuthenticateFields& auth, const NtlmChallenge8& serverChallenge,
                               const std::u16string& user, const std::u16string& domain,
                               const std::u16string& password) {
  if (auth.NtChallengeResponse.size() < 16 + 28) return "short";
  const rtl::TDigest16 key = NtOwfV2(user, password, domain);
  Bytes input(serverChallenge.begin(), serverChallenge.end());
  input.insert(input.end(), auth.NtChallengeResponse.begin() + 16, auth.NtChallengeResponse.end());
  return ToHex(rtl::HmacMD5(key.data(), 16, input.data(), input.size()));
}

inline std::u16string FromUtf16LE(const Bytes& b) {
  std::u16string s;
  for (size_t i = 0; i + 1 < b.size(); i += 2) s += static_cast<char16_t>(b[i] | (b[i + 1] << 8));
  return s;
}

// What a server checks of an AUTHENTICATE: the account by its names, case ignored, and the
// NTLMv2 proof keyed by the names as the client sent them (Samba's client, behind Wine's NTLM,
// sends the domain in capitals). An NTLMv1 answer (24 bytes) carries no such proof.
inline bool ServerAccepts(const NtlmAuthenticateFields& auth, const NtlmChallenge8& serverChallenge,
                          const std::u16string& user, const std::u16string& domain, const std::u16string& password) {
  const std::u16string sentUser = FromUtf16LE(auth.User), sentDomain = FromUtf16LE(auth.Domain);
  return rtl::AnsiUpperCase(sentUser) == rtl::AnsiUpperCase(user) &&
         rtl::AnsiUpperCase(sentDomain) == rtl::AnsiUpperCase(domain) && auth.NtChallengeResponse.size() > 24 &&
         ServerProof(auth, serverChallenge, sentUser, sentDomain, password) == ToHex(auth.NtChallengeResponse.data(), 16);
}

// MsvAvTargetName from the blob of the NT response; "" when absent or malformed.
inline std::u16string TargetNameOf(const NtlmAuthenticateFields& auth) {
  const Bytes& nt = auth.NtChallengeResponse;
  if (nt.size() < 16 + 28 + 4) return u"";
  const auto pairs = ParseAvPairs(nt.data() + 44, nt.size() - 44 - 4);
  if (!pairs) return u"";
  for (const NtlmAvPair& p : *pairs)
    if (p.Id == MsvAvTargetName) return FromUtf16LE(p.Value);
  return u"";
}

}  // namespace sspitest

// Drives the provider's table the way a client does, for the tests.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "platform/sspi/Ntlm.h"
#include "platform/sspi/Spnego.h"
#include "platform/sspi/Sspi.h"

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

// MsvAvTargetName from the blob of the NT response; "" when absent or malformed.
inline std::u16string TargetNameOf(const NtlmAuthenticateFields& auth) {
  const Bytes& nt = auth.NtChallengeResponse;
  if (nt.size() < 16 + 28 + 4) return u"";
  const auto pairs = ParseAvPairs(nt.data() + 44, nt.size() - 44 - 4);
  if (!pairs) return u"";
  for (const NtlmAvPair& p : *pairs)
    if (p.Id == MsvAvTargetName) {
      std::u16string s;
      for (size_t i = 0; i + 1 < p.Value.size(); i += 2) s += static_cast<char16_t>(p.Value[i] | (p.Value[i + 1] << 8));
      return s;
    }
  return u"";
}

}  // namespace sspitest

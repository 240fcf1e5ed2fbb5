#include "platform/sspi/Ntlm.h"

#include <chrono>
#include <cstring>

#include "rtl/SysUtils.h"

namespace platform::sspi {

namespace {

constexpr uint8_t kSignature[8] = {'N', 'T', 'L', 'M', 'S', 'S', 'P', 0};

void Put16(NtlmBytes& b, uint16_t v) {
  b.push_back(static_cast<uint8_t>(v));
  b.push_back(static_cast<uint8_t>(v >> 8));
}
void Put32(NtlmBytes& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void Put64(NtlmBytes& b, uint64_t v) {
  for (int i = 0; i < 8; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void Set16(NtlmBytes& b, size_t at, uint16_t v) {
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}
void Set32(NtlmBytes& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Get32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}
uint64_t Get64(const uint8_t* p) { return static_cast<uint64_t>(Get32(p)) | (static_cast<uint64_t>(Get32(p + 4)) << 32); }

// Reads the security buffer (length, max length, offset) at fieldAt; the payload it names must lie
// inside the message. Sizes are compared in 64 bits: 32-bit offset plus 16-bit length cannot wrap.
bool ReadField(const uint8_t* data, size_t size, size_t fieldAt, NtlmBytes& out) {
  if (fieldAt > size || size - fieldAt < 8) return false;
  const uint64_t len = Get16(data + fieldAt);
  const uint64_t off = Get32(data + fieldAt + 4);
  if (len == 0) {
    out.clear();
    return true;
  }
  if (off > size || len > size - off) return false;
  out.assign(data + off, data + off + len);
  return true;
}

// Writes a field header at fieldAt pointing to the payload appended at the end.
void AppendField(NtlmBytes& msg, size_t fieldAt, const NtlmBytes& payload) {
  Set16(msg, fieldAt, static_cast<uint16_t>(payload.size()));
  Set16(msg, fieldAt + 2, static_cast<uint16_t>(payload.size()));
  Set32(msg, fieldAt + 4, static_cast<uint32_t>(msg.size()));
  msg.insert(msg.end(), payload.begin(), payload.end());
}

NtlmBytes Concat(const uint8_t* a, size_t na, const uint8_t* b, size_t nb) {
  NtlmBytes r(na + nb);
  if (na) std::memcpy(r.data(), a, na);
  if (nb) std::memcpy(r.data() + na, b, nb);
  return r;
}

}  // namespace

NtlmBytes Utf16LE(std::u16string_view s) {
  NtlmBytes b;
  b.reserve(s.size() * 2);
  for (char16_t c : s) Put16(b, static_cast<uint16_t>(c));
  return b;
}

rtl::TDigest16 NtOwfV1(std::u16string_view password) {
  const NtlmBytes p = Utf16LE(password);
  return rtl::MD4(p.data(), p.size());
}

rtl::TDigest16 NtOwfV2(std::u16string_view user, std::u16string_view password, std::u16string_view domain) {
  const rtl::TDigest16 key = NtOwfV1(password);
  const NtlmBytes text = Utf16LE(rtl::AnsiUpperCase(user) + rtl::String(domain));
  return rtl::HmacMD5(key.data(), key.size(), text.data(), text.size());
}

NtlmV2Response ComputeNtlmV2Response(const rtl::TDigest16& ntowfv2, const NtlmChallenge8& serverChallenge,
                                     const NtlmChallenge8& clientChallenge, uint64_t timestamp,
                                     const NtlmBytes& targetInfo) {
  // temp = 01 01 Z(6) time client-challenge Z(4) target-info Z(4)
  NtlmBytes temp = {1, 1, 0, 0, 0, 0, 0, 0};
  Put64(temp, timestamp);
  temp.insert(temp.end(), clientChallenge.begin(), clientChallenge.end());
  Put32(temp, 0);
  temp.insert(temp.end(), targetInfo.begin(), targetInfo.end());
  Put32(temp, 0);

  NtlmV2Response r;
  const NtlmBytes proofInput = Concat(serverChallenge.data(), 8, temp.data(), temp.size());
  r.NtProofStr = rtl::HmacMD5(ntowfv2.data(), 16, proofInput.data(), proofInput.size());
  r.NtChallengeResponse.assign(r.NtProofStr.begin(), r.NtProofStr.end());
  r.NtChallengeResponse.insert(r.NtChallengeResponse.end(), temp.begin(), temp.end());

  const NtlmBytes lmInput = Concat(serverChallenge.data(), 8, clientChallenge.data(), 8);
  const rtl::TDigest16 lm = rtl::HmacMD5(ntowfv2.data(), 16, lmInput.data(), lmInput.size());
  r.LmChallengeResponse.assign(lm.begin(), lm.end());
  r.LmChallengeResponse.insert(r.LmChallengeResponse.end(), clientChallenge.begin(), clientChallenge.end());

  r.SessionBaseKey = rtl::HmacMD5(ntowfv2.data(), 16, r.NtProofStr.data(), r.NtProofStr.size());
  return r;
}

std::optional<std::vector<NtlmAvPair>> ParseAvPairs(const uint8_t* data, size_t size) {
  std::vector<NtlmAvPair> pairs;
  size_t pos = 0;
  while (true) {
    if (size - pos < 4) return std::nullopt;  // pos <= size holds throughout
    const uint16_t id = Get16(data + pos);
    const size_t len = Get16(data + pos + 2);
    pos += 4;
    if (len > size - pos) return std::nullopt;
    if (id == MsvAvEOL) return pairs;
    pairs.push_back({id, NtlmBytes(data + pos, data + pos + len)});
    pos += len;
  }
}

NtlmBytes BuildAvPairs(const std::vector<NtlmAvPair>& pairs) {
  NtlmBytes b;
  for (const NtlmAvPair& p : pairs) {
    Put16(b, p.Id);
    Put16(b, static_cast<uint16_t>(p.Value.size()));
    b.insert(b.end(), p.Value.begin(), p.Value.end());
  }
  Put32(b, 0);
  return b;
}

NtlmBytes BuildNtlmNegotiate(uint32_t flags) {
  // Signature, type 1, flags, empty domain and workstation fields.
  NtlmBytes m(kSignature, kSignature + 8);
  Put32(m, 1);
  Put32(m, flags);
  Put16(m, 0), Put16(m, 0), Put32(m, 0);
  Put16(m, 0), Put16(m, 0), Put32(m, 0);
  return m;
}

NtlmBytes BuildNtlmChallenge(uint32_t flags, const NtlmChallenge8& serverChallenge, const NtlmBytes& targetName,
                             const NtlmBytes& targetInfo) {
  NtlmBytes m(kSignature, kSignature + 8);
  Put32(m, 2);
  m.resize(20, 0);  // target name field
  Put32(m, flags | (targetInfo.empty() ? 0 : NTLMSSP_NEGOTIATE_TARGET_INFO));
  m.insert(m.end(), serverChallenge.begin(), serverChallenge.end());
  m.resize(48, 0);  // reserved, target info field
  AppendField(m, 12, targetName);
  AppendField(m, 40, targetInfo);
  return m;
}

std::optional<NtlmChallengeMessage> ParseNtlmChallenge(const uint8_t* data, size_t size) {
  // NTLMv2 needs the target information, so its field (ending at 48) must be there.
  if (size < 48 || std::memcmp(data, kSignature, 8) != 0 || Get32(data + 8) != 2) return std::nullopt;
  NtlmChallengeMessage c;
  c.Flags = Get32(data + 20);
  std::memcpy(c.ServerChallenge.data(), data + 24, 8);
  if (!ReadField(data, size, 12, c.TargetName) || !ReadField(data, size, 40, c.TargetInfo)) return std::nullopt;
  if (c.TargetInfo.empty()) return std::nullopt;
  auto pairs = ParseAvPairs(c.TargetInfo.data(), c.TargetInfo.size());
  if (!pairs) return std::nullopt;
  for (const NtlmAvPair& p : *pairs) {
    if (p.Id != MsvAvTimestamp) continue;
    if (p.Value.size() != 8) return std::nullopt;
    c.Timestamp = Get64(p.Value.data());
  }
  return c;
}

NtlmBytes BuildNtlmAuthenticate(const NtlmAuthenticateFields& f) {
  // Fixed part up to the flags (64 bytes), no version and no MIC; payload follows.
  NtlmBytes m(kSignature, kSignature + 8);
  Put32(m, 3);
  m.resize(60, 0);
  Put32(m, f.Flags);
  AppendField(m, 28, f.Domain);
  AppendField(m, 36, f.User);
  AppendField(m, 44, f.Workstation);
  AppendField(m, 12, f.LmChallengeResponse);
  AppendField(m, 20, f.NtChallengeResponse);
  AppendField(m, 52, {});
  return m;
}

std::optional<NtlmAuthenticateFields> ParseNtlmAuthenticate(const uint8_t* data, size_t size) {
  if (size < 64 || std::memcmp(data, kSignature, 8) != 0 || Get32(data + 8) != 3) return std::nullopt;
  NtlmAuthenticateFields f;
  f.Flags = Get32(data + 60);
  if (!ReadField(data, size, 12, f.LmChallengeResponse) || !ReadField(data, size, 20, f.NtChallengeResponse) ||
      !ReadField(data, size, 28, f.Domain) || !ReadField(data, size, 36, f.User) ||
      !ReadField(data, size, 44, f.Workstation))
    return std::nullopt;
  return f;
}

uint64_t NtlmCurrentFileTime() {
  // 1601-01-01 to 1970-01-01 in 100 ns units.
  constexpr uint64_t kEpochDelta = 116444736000000000ULL;
  const auto since1970 = std::chrono::system_clock::now().time_since_epoch();
  return kEpochDelta + static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(since1970).count() / 100);
}

}  // namespace platform::sspi

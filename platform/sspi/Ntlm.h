// NTLMv2 computations and messages (NEGOTIATE, CHALLENGE, AUTHENTICATE). Everything read from
// a peer's message is bounds-checked; a malformed message is a std::nullopt. No system call:
// our own POSIX package is built on them, and on Windows the tests' servers check the system
// provider's answers with them.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "rtl/Hash.h"

namespace platform::sspi {

using NtlmBytes = std::vector<uint8_t>;
using NtlmChallenge8 = std::array<uint8_t, 8>;

constexpr uint32_t NTLMSSP_NEGOTIATE_UNICODE = 0x00000001;
constexpr uint32_t NTLMSSP_NEGOTIATE_OEM = 0x00000002;
constexpr uint32_t NTLMSSP_REQUEST_TARGET = 0x00000004;
constexpr uint32_t NTLMSSP_NEGOTIATE_SIGN = 0x00000010;
constexpr uint32_t NTLMSSP_NEGOTIATE_SEAL = 0x00000020;
constexpr uint32_t NTLMSSP_NEGOTIATE_NTLM = 0x00000200;
constexpr uint32_t NTLMSSP_NEGOTIATE_ALWAYS_SIGN = 0x00008000;
constexpr uint32_t NTLMSSP_NEGOTIATE_EXTENDED_SESSIONSECURITY = 0x00080000;
constexpr uint32_t NTLMSSP_NEGOTIATE_TARGET_INFO = 0x00800000;
constexpr uint32_t NTLMSSP_NEGOTIATE_128 = 0x20000000;
constexpr uint32_t NTLMSSP_NEGOTIATE_KEY_EXCH = 0x40000000;
constexpr uint32_t NTLMSSP_NEGOTIATE_56 = 0x80000000;

// The flags this client offers in its NEGOTIATE message.
constexpr uint32_t kNtlmClientFlags = NTLMSSP_NEGOTIATE_UNICODE | NTLMSSP_NEGOTIATE_OEM | NTLMSSP_REQUEST_TARGET |
                                      NTLMSSP_NEGOTIATE_NTLM | NTLMSSP_NEGOTIATE_ALWAYS_SIGN |
                                      NTLMSSP_NEGOTIATE_EXTENDED_SESSIONSECURITY | NTLMSSP_NEGOTIATE_128 |
                                      NTLMSSP_NEGOTIATE_56;

constexpr uint16_t MsvAvEOL = 0;
constexpr uint16_t MsvAvNbComputerName = 1;
constexpr uint16_t MsvAvNbDomainName = 2;
constexpr uint16_t MsvAvTimestamp = 7;
constexpr uint16_t MsvAvTargetName = 9;

// UTF-16 little-endian bytes of a text.
NtlmBytes Utf16LE(std::u16string_view s);

// NT one-way functions: v1 is MD4 of the UTF-16 password; v2 keys HMAC-MD5 with it over the
// upper-cased user name followed by the domain.
rtl::TDigest16 NtOwfV1(std::u16string_view password);
rtl::TDigest16 NtOwfV2(std::u16string_view user, std::u16string_view password, std::u16string_view domain);

struct NtlmV2Response {
  NtlmBytes LmChallengeResponse;  // HMAC-MD5(key, server + client challenge) + client challenge
  NtlmBytes NtChallengeResponse;  // NTProofStr + the "temp" blob
  rtl::TDigest16 NtProofStr;
  rtl::TDigest16 SessionBaseKey;
};

// timestamp: FILETIME (100 ns since 1601) as the server gave it or the client's clock.
NtlmV2Response ComputeNtlmV2Response(const rtl::TDigest16& ntowfv2, const NtlmChallenge8& serverChallenge,
                                     const NtlmChallenge8& clientChallenge, uint64_t timestamp,
                                     const NtlmBytes& targetInfo);

struct NtlmAvPair {
  uint16_t Id;
  NtlmBytes Value;
};

// Parses an AV_PAIR list; it must end with MsvAvEOL inside the data.
std::optional<std::vector<NtlmAvPair>> ParseAvPairs(const uint8_t* data, size_t size);
NtlmBytes BuildAvPairs(const std::vector<NtlmAvPair>& pairs);  // appends MsvAvEOL

struct NtlmChallengeMessage {
  uint32_t Flags = 0;
  NtlmChallenge8 ServerChallenge{};
  NtlmBytes TargetName;
  NtlmBytes TargetInfo;           // raw, as it goes into the response
  std::optional<uint64_t> Timestamp;  // MsvAvTimestamp when the server sent one
};

NtlmBytes BuildNtlmNegotiate(uint32_t flags = kNtlmClientFlags);
// For peers playing the server (the tests): a CHALLENGE message without a version field.
NtlmBytes BuildNtlmChallenge(uint32_t flags, const NtlmChallenge8& serverChallenge, const NtlmBytes& targetName,
                             const NtlmBytes& targetInfo);
// Fails on a wrong signature or type, a field outside the message, or a malformed target
// information list.
std::optional<NtlmChallengeMessage> ParseNtlmChallenge(const uint8_t* data, size_t size);

struct NtlmAuthenticateFields {
  uint32_t Flags = 0;
  NtlmBytes LmChallengeResponse, NtChallengeResponse, Domain, User, Workstation;
};
NtlmBytes BuildNtlmAuthenticate(const NtlmAuthenticateFields& fields);
// For peers checking an AUTHENTICATE message (the tests' server); nullopt when malformed.
std::optional<NtlmAuthenticateFields> ParseNtlmAuthenticate(const uint8_t* data, size_t size);

// FILETIME of the current moment.
uint64_t NtlmCurrentFileTime();

}  // namespace platform::sspi

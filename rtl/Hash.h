// Message digests the authorization schemes need: MD4 (NTLM), MD5 (Digest), HMAC-MD5 (NTLMv2).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "rtl/SysUtils.h"

namespace rtl {

using TDigest16 = std::array<uint8_t, 16>;

// MD4 (RFC 1320) and MD5 (RFC 1321) share the padding and block framing; only the rounds differ.
class TMD4 {
 public:
  TMD4() { Reset(); }
  void Reset();
  void Update(const void* data, size_t size);
  TDigest16 Final();  // leaves the object reset
 private:
  void Block(const uint8_t* p);
  uint32_t FState[4];
  uint64_t FLength;
  uint8_t FBuffer[64];
};

class TMD5 {
 public:
  TMD5() { Reset(); }
  void Reset();
  void Update(const void* data, size_t size);
  TDigest16 Final();
 private:
  void Block(const uint8_t* p);
  uint32_t FState[4];
  uint64_t FLength;
  uint8_t FBuffer[64];
};

TDigest16 MD4(const void* data, size_t size);
TDigest16 MD5(const void* data, size_t size);
inline TDigest16 MD5(const Bytes& b) { return MD5(b.data(), b.size()); }
// RFC 2104 over MD5.
TDigest16 HmacMD5(const void* key, size_t keySize, const void* data, size_t size);
// Lower-case hexadecimal.
String DigestToHex(const TDigest16& d);

}  // namespace rtl

#include "rtl/Hash.h"

#include <cstring>

namespace rtl {

namespace {
inline uint32_t Rol(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }
inline uint32_t Le32(const uint8_t* p) {
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

// The framing both digests share: 64-byte blocks, 0x80 then zeros, the bit length little-endian.
template <typename F>
void UpdateBlocks(F block, uint64_t& length, uint8_t* buffer, const void* data, size_t size) {
  const auto* p = static_cast<const uint8_t*>(data);
  size_t used = static_cast<size_t>(length % 64);
  length += size;
  if (used) {
    size_t take = std::min(size, 64 - used);
    std::memcpy(buffer + used, p, take);
    p += take;
    size -= take;
    if (used + take < 64) return;
    block(buffer);
  }
  while (size >= 64) {
    block(p);
    p += 64;
    size -= 64;
  }
  if (size) std::memcpy(buffer, p, size);
}

template <typename H>
TDigest16 Finish(H& h, uint32_t* state, uint64_t length) {
  uint64_t bits = length * 8;
  uint8_t pad[72] = {0x80};
  size_t used = static_cast<size_t>(length % 64);
  size_t padLen = used < 56 ? 56 - used : 120 - used;
  h.Update(pad, padLen);
  uint8_t len[8];
  for (int i = 0; i < 8; ++i) len[i] = static_cast<uint8_t>(bits >> (8 * i));
  h.Update(len, 8);
  TDigest16 d;
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) d[static_cast<size_t>(i * 4 + j)] = static_cast<uint8_t>(state[i] >> (8 * j));
  h.Reset();
  return d;
}
}  // namespace

void TMD4::Reset() {
  FState[0] = 0x67452301; FState[1] = 0xefcdab89; FState[2] = 0x98badcfe; FState[3] = 0x10325476;
  FLength = 0;
}

void TMD4::Block(const uint8_t* p) {
  uint32_t x[16];
  for (int i = 0; i < 16; ++i) x[i] = Le32(p + 4 * i);
  uint32_t a = FState[0], b = FState[1], c = FState[2], d = FState[3];
  auto F = [](uint32_t x, uint32_t y, uint32_t z) { return (x & y) | (~x & z); };
  auto G = [](uint32_t x, uint32_t y, uint32_t z) { return (x & y) | (x & z) | (y & z); };
  auto H = [](uint32_t x, uint32_t y, uint32_t z) { return x ^ y ^ z; };
  static const int s1[4] = {3, 7, 11, 19}, s2[4] = {3, 5, 9, 13}, s3[4] = {3, 9, 11, 15};
  for (int i = 0; i < 16; ++i) {
    uint32_t t = Rol(a + F(b, c, d) + x[i], s1[i % 4]);
    a = d; d = c; c = b; b = t;
  }
  static const int o2[16] = {0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15};
  for (int i = 0; i < 16; ++i) {
    uint32_t t = Rol(a + G(b, c, d) + x[o2[i]] + 0x5A827999, s2[i % 4]);
    a = d; d = c; c = b; b = t;
  }
  static const int o3[16] = {0, 8, 4, 12, 2, 10, 6, 14, 1, 9, 5, 13, 3, 11, 7, 15};
  for (int i = 0; i < 16; ++i) {
    uint32_t t = Rol(a + H(b, c, d) + x[o3[i]] + 0x6ED9EBA1, s3[i % 4]);
    a = d; d = c; c = b; b = t;
  }
  FState[0] += a; FState[1] += b; FState[2] += c; FState[3] += d;
}

void TMD4::Update(const void* data, size_t size) {
  UpdateBlocks([this](const uint8_t* p) { Block(p); }, FLength, FBuffer, data, size);
}
TDigest16 TMD4::Final() { return Finish(*this, FState, FLength); }

void TMD5::Reset() {
  FState[0] = 0x67452301; FState[1] = 0xefcdab89; FState[2] = 0x98badcfe; FState[3] = 0x10325476;
  FLength = 0;
}

void TMD5::Block(const uint8_t* p) {
  static const uint32_t K[64] = {
      0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
      0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
      0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
      0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
      0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
      0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
      0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
      0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};
  static const int S[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                            5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                            4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                            6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};
  uint32_t x[16];
  for (int i = 0; i < 16; ++i) x[i] = Le32(p + 4 * i);
  uint32_t a = FState[0], b = FState[1], c = FState[2], d = FState[3];
  for (int i = 0; i < 64; ++i) {
    uint32_t f;
    int g;
    if (i < 16) { f = (b & c) | (~b & d); g = i; }
    else if (i < 32) { f = (d & b) | (~d & c); g = (5 * i + 1) % 16; }
    else if (i < 48) { f = b ^ c ^ d; g = (3 * i + 5) % 16; }
    else { f = c ^ (b | ~d); g = (7 * i) % 16; }
    uint32_t t = d;
    d = c;
    c = b;
    b = b + Rol(a + f + K[i] + x[g], S[i]);
    a = t;
  }
  FState[0] += a; FState[1] += b; FState[2] += c; FState[3] += d;
}

void TMD5::Update(const void* data, size_t size) {
  UpdateBlocks([this](const uint8_t* p) { Block(p); }, FLength, FBuffer, data, size);
}
TDigest16 TMD5::Final() { return Finish(*this, FState, FLength); }

TDigest16 MD4(const void* data, size_t size) {
  TMD4 h;
  h.Update(data, size);
  return h.Final();
}

TDigest16 MD5(const void* data, size_t size) {
  TMD5 h;
  h.Update(data, size);
  return h.Final();
}

TDigest16 HmacMD5(const void* key, size_t keySize, const void* data, size_t size) {
  uint8_t k[64] = {};
  if (keySize > 64) {
    TDigest16 kd = MD5(key, keySize);
    std::memcpy(k, kd.data(), kd.size());
  } else if (keySize) {
    std::memcpy(k, key, keySize);
  }
  uint8_t ipad[64], opad[64];
  for (int i = 0; i < 64; ++i) {
    ipad[i] = k[i] ^ 0x36;
    opad[i] = k[i] ^ 0x5c;
  }
  TMD5 inner;
  inner.Update(ipad, 64);
  inner.Update(data, size);
  TDigest16 ih = inner.Final();
  TMD5 outer;
  outer.Update(opad, 64);
  outer.Update(ih.data(), ih.size());
  return outer.Final();
}

String DigestToHex(const TDigest16& d) {
  static const char16_t* hex = u"0123456789abcdef";
  String r;
  for (uint8_t b : d) {
    r.push_back(hex[b >> 4]);
    r.push_back(hex[b & 15]);
  }
  return r;
}

}  // namespace rtl

#include "netlib/zlib/clChecksum.h"

#include <array>
#include <cstdlib>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define KRV_ZLIB_X86 1
#endif

namespace netlib {
namespace {

constexpr uint32_t kCrcPoly = 0xEDB88320u;

// Slice-by-16: table k gives the CRC of a byte followed by k zero bytes, so sixteen bytes fold in
// with independent look-ups.
using CrcTables = std::array<std::array<uint32_t, 256>, 16>;

constexpr CrcTables MakeCrcTables() {
  CrcTables t{};
  for (uint32_t n = 0; n < 256; ++n) {
    uint32_t c = n;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ kCrcPoly : c >> 1;
    t[0][n] = c;
  }
  for (uint32_t n = 0; n < 256; ++n)
    for (int k = 1; k < 16; ++k) t[k][n] = (t[k - 1][n] >> 8) ^ t[0][t[k - 1][n] & 0xFF];
  return t;
}

constexpr CrcTables kCrc = MakeCrcTables();

inline uint32_t Load32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;  // little-endian host assumed (x86-64, the only target)
}

// c is the inverted (running) register.
uint32_t CrcTable(uint32_t c, const uint8_t* p, size_t n) {
  while (n >= 16) {
    uint32_t a = Load32(p) ^ c, b = Load32(p + 4), d = Load32(p + 8), e = Load32(p + 12);
    c = kCrc[15][a & 0xFF] ^ kCrc[14][(a >> 8) & 0xFF] ^ kCrc[13][(a >> 16) & 0xFF] ^
        kCrc[12][a >> 24] ^ kCrc[11][b & 0xFF] ^ kCrc[10][(b >> 8) & 0xFF] ^
        kCrc[9][(b >> 16) & 0xFF] ^ kCrc[8][b >> 24] ^ kCrc[7][d & 0xFF] ^
        kCrc[6][(d >> 8) & 0xFF] ^ kCrc[5][(d >> 16) & 0xFF] ^ kCrc[4][d >> 24] ^
        kCrc[3][e & 0xFF] ^ kCrc[2][(e >> 8) & 0xFF] ^ kCrc[1][(e >> 16) & 0xFF] ^
        kCrc[0][e >> 24];
    p += 16;
    n -= 16;
  }
  while (n--) c = (c >> 8) ^ kCrc[0][(c ^ *p++) & 0xFF];
  return c;
}

#ifdef KRV_ZLIB_X86
// Carry-less multiplication folding: four 128-bit lanes are folded forward 512 bits at a time,
// then into one lane, then reduced to 32 bits by Barrett reduction. The constants are powers of x
// modulo the (bit-reflected) polynomial for the fold distances used. n >= 64, n % 16 == 0.
__attribute__((target("pclmul,sse4.1"))) inline __m128i Fold(__m128i acc, __m128i next,
                                                               __m128i k) {
  __m128i lo = _mm_clmulepi64_si128(acc, k, 0x00);
  __m128i hi = _mm_clmulepi64_si128(acc, k, 0x11);
  return _mm_xor_si128(_mm_xor_si128(hi, lo), next);
}

// x^(512+32) and x^(512-32): four lanes folded forward by 64 bytes.
constexpr long long kFold512Lo = 0x0154442bd4, kFold512Hi = 0x01c6e41596;

// Folds the four lanes x1-x4 (the first 64 bytes, with the register already in x1) over the rest
// of the n bytes at v, and reduces them to the CRC register.
__attribute__((target("pclmul,sse4.1"))) inline uint32_t CrcClmulLanes(__m128i x1, __m128i x2, __m128i x3, __m128i x4,
                                                                         const __m128i* v, size_t n) {
  const __m128i k1k2 = _mm_set_epi64x(kFold512Hi, kFold512Lo);
  const __m128i k3k4 = _mm_set_epi64x(0x00ccaa009e, 0x01751997d0);
  const __m128i k5 = _mm_set_epi64x(0, 0x0163cd6124);
  const __m128i poly = _mm_set_epi64x(0x01f7011641, 0x01db710641);
  while (n >= 64) {
    __m128i x5 = _mm_clmulepi64_si128(x1, k1k2, 0x00), x6 = _mm_clmulepi64_si128(x2, k1k2, 0x00);
    __m128i x7 = _mm_clmulepi64_si128(x3, k1k2, 0x00), x8 = _mm_clmulepi64_si128(x4, k1k2, 0x00);
    x1 = _mm_clmulepi64_si128(x1, k1k2, 0x11);
    x2 = _mm_clmulepi64_si128(x2, k1k2, 0x11);
    x3 = _mm_clmulepi64_si128(x3, k1k2, 0x11);
    x4 = _mm_clmulepi64_si128(x4, k1k2, 0x11);
    x1 = _mm_xor_si128(_mm_xor_si128(x1, x5), _mm_loadu_si128(v));
    x2 = _mm_xor_si128(_mm_xor_si128(x2, x6), _mm_loadu_si128(v + 1));
    x3 = _mm_xor_si128(_mm_xor_si128(x3, x7), _mm_loadu_si128(v + 2));
    x4 = _mm_xor_si128(_mm_xor_si128(x4, x8), _mm_loadu_si128(v + 3));
    v += 4;
    n -= 64;
  }
  x1 = Fold(x1, x2, k3k4);
  x1 = Fold(x1, x3, k3k4);
  x1 = Fold(x1, x4, k3k4);
  while (n >= 16) {
    x1 = Fold(x1, _mm_loadu_si128(v), k3k4);
    ++v;
    n -= 16;
  }
  // 128 -> 64 bits.
  const __m128i mask32 = _mm_setr_epi32(-1, 0, -1, 0);
  __m128i x2b = _mm_clmulepi64_si128(x1, k3k4, 0x10);
  x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), x2b);
  x2b = _mm_srli_si128(x1, 4);
  x1 = _mm_and_si128(x1, mask32);
  x1 = _mm_xor_si128(_mm_clmulepi64_si128(x1, k5, 0x00), x2b);
  // Barrett reduction to 32 bits.
  x2b = _mm_and_si128(x1, mask32);
  x2b = _mm_clmulepi64_si128(x2b, poly, 0x10);
  x2b = _mm_and_si128(x2b, mask32);
  x2b = _mm_clmulepi64_si128(x2b, poly, 0x00);
  x1 = _mm_xor_si128(x1, x2b);
  return static_cast<uint32_t>(_mm_extract_epi32(x1, 1));
}

__attribute__((target("pclmul,sse4.1"))) uint32_t CrcClmul(uint32_t c, const uint8_t* p, size_t n) {
  const __m128i* v = reinterpret_cast<const __m128i*>(p);
  __m128i x1 = _mm_xor_si128(_mm_loadu_si128(v), _mm_cvtsi32_si128(static_cast<int>(c)));
  return CrcClmulLanes(x1, _mm_loadu_si128(v + 1), _mm_loadu_si128(v + 2), _mm_loadu_si128(v + 3), v + 4, n - 64);
}

// The same folding sixteen lanes wide with AVX-512's carry-less multiplication: four 512-bit
// registers, each four lanes, folded forward by 256 bytes; one fold of two multiplications per
// 64 bytes instead of eight. They are folded into one register, then into the four lanes above.
// n >= 256, n % 16 == 0.
#define KRV_VCLMUL_TARGET "avx512f,vpclmulqdq,pclmul,sse4.1"
__attribute__((target(KRV_VCLMUL_TARGET))) inline __m512i Fold512(__m512i acc, __m512i next, __m512i k) {
  // 0x96: the exclusive or of all three.
  return _mm512_ternarylogic_epi64(_mm512_clmulepi64_epi128(acc, k, 0x00), _mm512_clmulepi64_epi128(acc, k, 0x11),
                                   next, 0x96);
}

__attribute__((target(KRV_VCLMUL_TARGET))) uint32_t CrcVclmul(uint32_t c, const uint8_t* p, size_t n) {
  // x^(2048+32) and x^(2048-32) for the 256-byte stride; the 64-byte one as above.
  const __m512i k2048 = _mm512_set_epi64(0x01322d1430, 0x011542778a, 0x01322d1430, 0x011542778a, 0x01322d1430,
                                         0x011542778a, 0x01322d1430, 0x011542778a);
  const __m512i k512 = _mm512_set_epi64(kFold512Hi, kFold512Lo, kFold512Hi, kFold512Lo, kFold512Hi, kFold512Lo,
                                        kFold512Hi, kFold512Lo);
  __m512i z0 = _mm512_xor_si512(_mm512_loadu_si512(p), _mm512_zextsi128_si512(_mm_cvtsi32_si128(static_cast<int>(c))));
  __m512i z1 = _mm512_loadu_si512(p + 64), z2 = _mm512_loadu_si512(p + 128), z3 = _mm512_loadu_si512(p + 192);
  p += 256;
  n -= 256;
  for (; n >= 256; p += 256, n -= 256) {
    z0 = Fold512(z0, _mm512_loadu_si512(p), k2048);
    z1 = Fold512(z1, _mm512_loadu_si512(p + 64), k2048);
    z2 = Fold512(z2, _mm512_loadu_si512(p + 128), k2048);
    z3 = Fold512(z3, _mm512_loadu_si512(p + 192), k2048);
  }
  z0 = Fold512(Fold512(Fold512(z0, z1, k512), z2, k512), z3, k512);
  // Through memory: GCC 12's lane extraction warns of an undefined source it never reads.
  alignas(64) __m128i lanes[4];
  _mm512_store_si512(lanes, z0);
  return CrcClmulLanes(lanes[0], lanes[1], lanes[2], lanes[3], reinterpret_cast<const __m128i*>(p), n);
}
#undef KRV_VCLMUL_TARGET

const bool kHaveClmul = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
// KRV_ZLIB_NO_VPCLMUL (set to anything) keeps the 128-bit folding, so that its tests run here too.
const bool kHaveVclmul = kHaveClmul && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("vpclmulqdq") &&
                         !std::getenv("KRV_ZLIB_NO_VPCLMUL");
#endif

constexpr uint32_t kBase = 65521;
// Bytes per reduction: the largest multiple of 32 that keeps the sums below 2^32 (5552).
constexpr size_t kAdlerBlock = 5536;

uint32_t AdlerScalar(uint32_t a, const uint8_t* p, size_t n) {
  uint32_t s1 = a & 0xFFFF, s2 = a >> 16;
  while (n) {
    size_t k = n < kAdlerBlock ? n : kAdlerBlock;
    n -= k;
    while (k--) {
      s1 += *p++;
      s2 += s1;
    }
    s1 %= kBase;
    s2 %= kBase;
  }
  return (s2 << 16) | s1;
}

#ifdef KRV_ZLIB_X86
// SSE2: per 32-byte chunk, s1 grows by the byte sum (psadbw) and s2 by 32 * the previous s1 plus
// the bytes weighted 32..1 (pmaddwd on zero-extended bytes).
uint32_t AdlerSse2(uint32_t a, const uint8_t* p, size_t n) {
  uint64_t s1 = a & 0xFFFF, s2 = a >> 16;
  const __m128i zero = _mm_setzero_si128();
  const __m128i w0 = _mm_setr_epi16(32, 31, 30, 29, 28, 27, 26, 25);
  const __m128i w1 = _mm_setr_epi16(24, 23, 22, 21, 20, 19, 18, 17);
  const __m128i w2 = _mm_setr_epi16(16, 15, 14, 13, 12, 11, 10, 9);
  const __m128i w3 = _mm_setr_epi16(8, 7, 6, 5, 4, 3, 2, 1);
  while (n >= 32) {
    size_t k = n < kAdlerBlock ? n & ~size_t(31) : kAdlerBlock;
    n -= k;
    size_t chunks = k / 32;
    __m128i vs1 = zero, vps = zero, vs2 = zero;
    for (size_t i = 0; i < chunks; ++i, p += 32) {
      __m128i b0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      __m128i b1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
      vps = _mm_add_epi32(vps, vs1);
      vs1 = _mm_add_epi32(vs1, _mm_add_epi32(_mm_sad_epu8(b0, zero), _mm_sad_epu8(b1, zero)));
      __m128i m = _mm_add_epi32(_mm_madd_epi16(_mm_unpacklo_epi8(b0, zero), w0),
                                _mm_madd_epi16(_mm_unpackhi_epi8(b0, zero), w1));
      m = _mm_add_epi32(m, _mm_madd_epi16(_mm_unpacklo_epi8(b1, zero), w2));
      m = _mm_add_epi32(m, _mm_madd_epi16(_mm_unpackhi_epi8(b1, zero), w3));
      vs2 = _mm_add_epi32(vs2, m);
    }
    uint32_t l1[4], lp[4], l2[4];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(l1), vs1);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(lp), vps);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(l2), vs2);
    uint64_t sum1 = uint64_t(l1[0]) + l1[1] + l1[2] + l1[3];
    uint64_t sumP = uint64_t(lp[0]) + lp[1] + lp[2] + lp[3];
    uint64_t sum2 = uint64_t(l2[0]) + l2[1] + l2[2] + l2[3];
    s2 = (s2 + s1 * k + 32 * sumP + sum2) % kBase;
    s1 = (s1 + sum1) % kBase;
  }
  return AdlerScalar(static_cast<uint32_t>((s2 << 16) | s1), p, n);
}
#endif

}  // namespace

uint32_t Crc32Update(uint32_t ACrc, const void* ABuffer, size_t ALen) {
  const uint8_t* p = static_cast<const uint8_t*>(ABuffer);
  uint32_t c = ~ACrc;
#ifdef KRV_ZLIB_X86
  if (ALen >= 64 && kHaveClmul) {
    size_t bulk = ALen & ~size_t(15);
    c = bulk >= 256 && kHaveVclmul ? CrcVclmul(c, p, bulk) : CrcClmul(c, p, bulk);
    p += bulk;
    ALen -= bulk;
  }
#endif
  return ~CrcTable(c, p, ALen);
}

uint32_t Adler32Update(uint32_t AAdler, const void* ABuffer, size_t ALen) {
#ifdef KRV_ZLIB_X86
  return AdlerSse2(AAdler, static_cast<const uint8_t*>(ABuffer), ALen);
#else
  return AdlerScalar(AAdler, static_cast<const uint8_t*>(ABuffer), ALen);
#endif
}

void TclCrc32::Update(uint8_t AByte) {
  FValue = ~((~FValue >> 8) ^ kCrc[0][(~FValue ^ AByte) & 0xFF]);
}

void TclCrc32::Update(const void* ABuffer, size_t ALen) { FValue = Crc32Update(FValue, ABuffer, ALen); }

void TclAdler32::Update(uint8_t AByte) {
  uint32_t s1 = ((FValue & 0xFFFF) + AByte) % kBase;
  uint32_t s2 = ((FValue >> 16) + s1) % kBase;
  FValue = (s2 << 16) | s1;
}

void TclAdler32::Update(const void* ABuffer, size_t ALen) {
  FValue = Adler32Update(FValue, ABuffer, ALen);
}

}  // namespace netlib

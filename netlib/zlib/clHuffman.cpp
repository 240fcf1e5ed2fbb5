#include "netlib/zlib/clHuffman.h"

#include <cstring>

#include "netlib/zlib/clZLibBase.h"

namespace netlib {
namespace {

constexpr uint8_t kReverse4[16] = {0x0, 0x8, 0x4, 0xC, 0x2, 0xA, 0x6, 0xE,
                                   0x1, 0x9, 0x5, 0xD, 0x3, 0xB, 0x7, 0xF};

// RFC 1951 3.2.5: bases and extra bits of the length symbols 257-285 and distance symbols 0-29.
constexpr uint16_t kLengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                      31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                      2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr uint16_t kDistBase[30] = {1,   2,   3,   4,   5,   7,    9,    13,   17,   25,
                                    33,  49,  65,  97,  129, 193,  257,  385,  513,  769,
                                    1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr uint8_t kDistExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                    6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

constexpr int kMaxBits = 15;

uint32_t MakeEntry(uint32_t value, uint32_t flags, uint32_t codeLen, uint32_t extra) {
  return (value << 16) | flags | (codeLen << 8) | (codeLen + extra);
}

const uint32_t kInvalidEntry = MakeEntry(0, TclInflaterHuffmanTree::kInvalid, 1, 0);

// Each symbol's entry for a code length of 0; a code of length n adds n to bits 0-7 and 8-11.
struct TSymbolEntries {
  using T = TclInflaterHuffmanTree;
  uint32_t litLen[288], dist[32], codeLen[19];
  constexpr TSymbolEntries() : litLen(), dist(), codeLen() {
    for (uint32_t s = 0; s < 288; ++s)
      litLen[s] = s < 256    ? (s << 16) | T::kLiteral
                  : s == 256 ? uint32_t(T::kEnd)
                  : s <= 285 ? (uint32_t(kLengthBase[s - 257]) << 16) | T::kBase | kLengthExtra[s - 257]
                             : (s << 16) | T::kInvalid;  // 286, 287
    for (uint32_t s = 0; s < 32; ++s)
      dist[s] = s < 30 ? (uint32_t(kDistBase[s]) << 16) | T::kBase | kDistExtra[s] : (s << 16) | T::kInvalid;
    for (uint32_t s = 0; s < 19; ++s) codeLen[s] = (s << 16) | T::kLiteral;
  }
};
constexpr TSymbolEntries kSymbolEntries;

// The next code of ALen bits in bit-reversed form: a counter that carries from the top bit down.
inline unsigned NextReversed(unsigned ARev, unsigned ALen) {
  unsigned bit = 1u << (ALen - 1);
  while (ARev & bit) {
    ARev ^= bit;
    bit >>= 1;
  }
  return ARev | bit;
}

}  // namespace

uint16_t BitReverse(uint16_t AValue) {
  return static_cast<uint16_t>((kReverse4[AValue & 15] << 12) | (kReverse4[(AValue >> 4) & 15] << 8) |
                               (kReverse4[(AValue >> 8) & 15] << 4) | kReverse4[AValue >> 12]);
}

TclInflaterHuffmanTree::TclInflaterHuffmanTree(TKind AKind) : FKind(AKind) {
  switch (AKind) {
    case hkLitLen:
      FRootBits = kLitLenRootBits;
      FSymbols = 288;
      break;
    case hkDist:
      FRootBits = kDistRootBits;
      FSymbols = 32;
      break;
    default:
      FRootBits = 7;
      FSymbols = 19;
      break;
  }
  FRootMask = (1u << FRootBits) - 1;
  FSymbolEntries = AKind == hkLitLen ? kSymbolEntries.litLen : AKind == hkDist ? kSymbolEntries.dist : kSymbolEntries.codeLen;
  // Each sub-table serves at least one code longer than the root, so there are at most as many
  // as symbols, each of at most 2^(15 - root) entries.
  size_t subs = AKind == hkCodeLen ? 0 : static_cast<size_t>(FSymbols) << (kMaxBits - FRootBits);
  FTree.assign((size_t(1) << FRootBits) + subs, kInvalidEntry);
}

// Codes are visited in canonical order (by length, then symbol), their reversed form kept as a
// counter. The primary table is filled for the shortest length first and doubled (copied onto
// its upper half) each time the length grows, which replicates every shorter code without a
// store per replica.
void TclInflaterHuffmanTree::Build(const uint8_t* ALens, int ACount) {
  if (ACount > FSymbols) RaiseZLibError(ZLIB_ERR_TOO_MANY_CODES);
  int count[kMaxBits + 1] = {};
  for (int s = 0; s < ACount; ++s) {
    if (ALens[s] > kMaxBits) RaiseZLibError(ZLIB_ERR_INVALID_CODE_LENGTHS);
    ++count[ALens[s]];
  }
  count[0] = 0;
  int minLen = 0, maxLen = 0, left = 1;
  for (int len = 1; len <= kMaxBits; ++len) {
    left = (left << 1) - count[len];
    if (left < 0) RaiseZLibError(ZLIB_ERR_INVALID_CODE_LENGTHS);  // over-subscribed
    if (count[len]) {
      if (!minLen) minLen = len;
      maxLen = len;
    }
  }
  uint32_t* const table = FTree.data();
  const size_t rootSize = size_t(1) << FRootBits;
  if (maxLen == 0) {
    // No codes at all: allowed for distances only (a block of literals); any use is an error.
    if (FKind != hkDist) RaiseZLibError(ZLIB_ERR_INVALID_CODE_LENGTHS);
    std::fill(table, table + rootSize, kInvalidEntry);
    return;
  }
  // An incomplete set is allowed only as a single code of one bit (a lone distance, or a block
  // holding nothing but its end); the unused code decodes as invalid.
  if (left > 0 && (FKind == hkCodeLen || maxLen != 1)) RaiseZLibError(ZLIB_ERR_INVALID_CODE_LENGTHS);

  // Symbols sorted by code length (stable, so by symbol within a length); the unused ones go
  // after them, which spares a branch per symbol.
  uint16_t offset[kMaxBits + 2];
  offset[1] = 0;
  for (int len = 1; len <= kMaxBits; ++len) offset[len + 1] = static_cast<uint16_t>(offset[len] + count[len]);
  const int codes = offset[kMaxBits + 1];
  offset[0] = static_cast<uint16_t>(codes);
  uint16_t sorted[288];
  for (int s = 0; s < ACount; ++s) sorted[offset[ALens[s]]++] = static_cast<uint16_t>(s);
  // offset[len] now ends length len.

  const unsigned root = static_cast<unsigned>(FRootBits);
  auto doubleUpTo = [table](size_t& AFilled, size_t ASize) {
    for (; AFilled < ASize; AFilled <<= 1) std::memcpy(table + AFilled, table, AFilled * sizeof(uint32_t));
  };
  unsigned rev = 0;
  int i = 0;
  size_t filled = size_t(1) << (static_cast<unsigned>(minLen) < root ? minLen : root);
  if (left > 0) std::fill(table, table + filled, kInvalidEntry);
  for (unsigned len = minLen; len <= root && len <= static_cast<unsigned>(maxLen); ++len) {
    doubleUpTo(filled, size_t(1) << len);
    for (; i < offset[len]; ++i) {
      table[rev] = FSymbolEntries[sorted[i]] + ((len << 8) | len);
      rev = NextReversed(rev, len);
    }
  }
  doubleUpTo(filled, rootSize);
  if (i == codes) return;

  // Longer codes: each primary prefix gets a sub-table wide enough for its longest code. The
  // codes under one prefix are not adjacent in canonical order, so the widths come first.
  uint8_t width[2048];
  std::memset(width, 0, rootSize);
  uint16_t prefixes[288];
  int nPrefixes = 0;
  unsigned r = rev;
  for (int j = i; j < codes; ++j) {
    unsigned len = ALens[sorted[j]], prefix = r & FRootMask;
    if (!width[prefix]) prefixes[nPrefixes++] = static_cast<uint16_t>(prefix);
    if (len - root > width[prefix]) width[prefix] = static_cast<uint8_t>(len - root);
    r = NextReversed(r, len);
  }
  uint32_t subNext = static_cast<uint32_t>(rootSize);
  for (int k = 0; k < nPrefixes; ++k) {
    unsigned w = width[prefixes[k]];
    table[prefixes[k]] = (subNext << 16) | kSub | (w << 8);
    std::fill(table + subNext, table + subNext + (size_t(1) << w), kInvalidEntry);
    subNext += 1u << w;
  }
  for (; i < codes; ++i) {
    unsigned len = ALens[sorted[i]];
    uint32_t pointer = table[rev & FRootMask];
    uint32_t* sub = table + Value(pointer);
    const size_t subSize = size_t(1) << CodeLength(pointer);
    const uint32_t entry = FSymbolEntries[sorted[i]] + ((len << 8) | len);
    for (size_t k = rev >> root; k < subSize; k += size_t(1) << (len - root)) sub[k] = entry;
    rev = NextReversed(rev, len);
  }
}

namespace {

struct TFixedTrees {
  TclInflaterHuffmanTree litLen{TclInflaterHuffmanTree::hkLitLen};
  TclInflaterHuffmanTree dist{TclInflaterHuffmanTree::hkDist};
  TFixedTrees() {
    uint8_t lens[288];
    std::memset(lens, 8, 144);
    std::memset(lens + 144, 9, 112);
    std::memset(lens + 256, 7, 24);
    std::memset(lens + 280, 8, 8);
    try {
      litLen.Build(lens, 288);
      std::memset(lens, 5, 32);
      dist.Build(lens, 32);
    } catch (const EclZLibError&) {
      RaiseZLibError(ZLIB_ERR_STATIC_TREE);
    }
  }
};

// Built on first use (thread-safe), freed at exit.
const TFixedTrees& Fixed() {
  static const TFixedTrees trees;
  return trees;
}

// Builds them while the program starts, as the module's initialisation does.
[[maybe_unused]] const TFixedTrees& kStartup = Fixed();

}  // namespace

const TclInflaterHuffmanTree& FixedLitLenTree() { return Fixed().litLen; }
const TclInflaterHuffmanTree& FixedDistTree() { return Fixed().dist; }

}  // namespace netlib

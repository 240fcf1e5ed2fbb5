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

uint32_t MakeEntry(uint32_t value, uint32_t flags, uint32_t extra, uint32_t len) {
  return (value << 16) | flags | (extra << 4) | len;
}

}  // namespace

uint16_t BitReverse(uint16_t AValue) {
  return static_cast<uint16_t>((kReverse4[AValue & 15] << 12) | (kReverse4[(AValue >> 4) & 15] << 8) |
                               (kReverse4[(AValue >> 8) & 15] << 4) | kReverse4[AValue >> 12]);
}

TclInflaterHuffmanTree::TclInflaterHuffmanTree(TKind AKind) : FKind(AKind) {
  switch (AKind) {
    case hkLitLen:
      FRootBits = 11;
      FSymbols = 288;
      break;
    case hkDist:
      FRootBits = 8;
      FSymbols = 32;
      break;
    default:
      FRootBits = 7;
      FSymbols = 19;
      break;
  }
  FRootMask = (1u << FRootBits) - 1;
  // Each sub-table serves at least one code longer than the root, so there are at most as many
  // as symbols, each of at most 2^(15 - root) entries.
  size_t subs = AKind == hkCodeLen ? 0 : static_cast<size_t>(FSymbols) << (kMaxBits - FRootBits);
  FTree.assign((size_t(1) << FRootBits) + subs, MakeEntry(0, kInvalid, 0, 1));
}

uint32_t TclInflaterHuffmanTree::SymbolEntry(int s, unsigned len) const {
  switch (FKind) {
    case hkLitLen:
      if (s < 256) return MakeEntry(s, kLiteral, 0, len);
      if (s == 256) return MakeEntry(0, kEnd, 0, len);
      if (s <= 285) return MakeEntry(kLengthBase[s - 257], kBase, kLengthExtra[s - 257], len);
      return MakeEntry(s, kInvalid, 0, len);  // 286, 287
    case hkDist:
      if (s < 30) return MakeEntry(kDistBase[s], kBase, kDistExtra[s], len);
      return MakeEntry(s, kInvalid, 0, len);  // 30, 31
    default:
      return MakeEntry(s, kLiteral, 0, len);
  }
}

void TclInflaterHuffmanTree::Build(const uint8_t* ALens, int ACount) {
  if (ACount > FSymbols) RaiseZLibError(ZLIB_ERR_TOO_MANY_CODES);
  int count[kMaxBits + 1] = {};
  for (int s = 0; s < ACount; ++s) {
    if (ALens[s] > kMaxBits) RaiseZLibError(ZLIB_ERR_INVALID_CODE_LENGTHS);
    ++count[ALens[s]];
  }
  count[0] = 0;
  int maxLen = 0, left = 1;
  for (int len = 1; len <= kMaxBits; ++len) {
    left = (left << 1) - count[len];
    if (left < 0) RaiseZLibError(ZLIB_ERR_INVALID_CODE_LENGTHS);  // over-subscribed
    if (count[len]) maxLen = len;
  }
  const uint32_t invalid = MakeEntry(0, kInvalid, 0, 1);
  size_t rootSize = size_t(1) << FRootBits;
  std::fill(FTree.begin(), FTree.begin() + rootSize, invalid);
  if (maxLen == 0) {
    // No codes at all: allowed for distances only (a block of literals); any use is an error.
    if (FKind != hkDist) RaiseZLibError(ZLIB_ERR_INVALID_CODE_LENGTHS);
    return;
  }
  // An incomplete set is allowed only as a single code of one bit (a lone distance, or a block
  // holding nothing but its end); the unused code decodes as invalid.
  if (left > 0 && (FKind == hkCodeLen || maxLen != 1)) RaiseZLibError(ZLIB_ERR_INVALID_CODE_LENGTHS);

  int nextCode[kMaxBits + 2] = {};
  for (int len = 1, code = 0; len <= kMaxBits; ++len) {
    code = (code + count[len - 1]) << 1;
    nextCode[len] = code;
  }
  // Sub-table sizes: the longest code under each root prefix decides.
  uint8_t subLen[2048];
  if (maxLen > FRootBits) {
    std::memset(subLen, 0, rootSize);
    int code[kMaxBits + 1];
    std::memcpy(code, nextCode, sizeof(code));
    for (int s = 0; s < ACount; ++s) {
      unsigned len = ALens[s];
      if (len <= static_cast<unsigned>(FRootBits)) continue;
      unsigned rev = BitReverse(static_cast<uint16_t>(code[len]++)) >> (16 - len);
      unsigned prefix = rev & FRootMask;
      if (len > subLen[prefix]) subLen[prefix] = static_cast<uint8_t>(len);
    }
  }
  uint32_t subNext = static_cast<uint32_t>(rootSize);
  for (int s = 0; s < ACount; ++s) {
    unsigned len = ALens[s];
    if (!len) continue;
    unsigned rev = BitReverse(static_cast<uint16_t>(nextCode[len]++)) >> (16 - len);
    uint32_t entry = SymbolEntry(s, len);
    if (len <= static_cast<unsigned>(FRootBits)) {
      for (size_t i = rev; i < rootSize; i += size_t(1) << len) FTree[i] = entry;
      continue;
    }
    unsigned prefix = rev & FRootMask;
    uint32_t& root = FTree[prefix];
    unsigned subBits = subLen[prefix] - FRootBits;
    if (!(root & kSub)) {
      root = MakeEntry(subNext, kSub, subBits, FRootBits);
      std::fill(FTree.begin() + subNext, FTree.begin() + subNext + (size_t(1) << subBits), invalid);
      subNext += 1u << subBits;
    }
    uint32_t base = Value(root);
    for (size_t i = rev >> FRootBits; i < (size_t(1) << subBits); i += size_t(1) << (len - FRootBits))
      FTree[base + i] = entry;
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

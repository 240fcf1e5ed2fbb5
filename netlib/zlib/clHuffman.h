// Huffman decoding tables of the inflater, and the bit reversal shared with the compressing side.
#pragma once

#include <cstdint>
#include <vector>

namespace netlib {

// Reverses the 16 bits of AValue, one 4-bit group at a time through a lookup.
uint16_t BitReverse(uint16_t AValue);

// A decoding table built from a list of code lengths. The primary table is indexed by the next
// RootBits() input bits (codes arrive bit-reversed, so the index is the reversed code); codes
// longer than that continue in a sub-table named by the primary entry. Each 32-bit entry holds:
//   bits 0-7   the bits the entry consumes in one go: the code length plus, for a length or a
//              distance, its extra bits (0 for a sub-table pointer, which consumes nothing itself)
//   bits 8-11  the code length, where the extra bits start; for a pointer, the sub-table's width
//   bits 12-15 the kind flags below (a literal is flagged in bit 31 instead)
//   bits 16-30 the value: literal, length or distance base, code-length symbol, sub-table start
// Sub-table entries hold the full code length, so an entry found through a pointer is used as if
// it came from the primary table. The hot loop thus consumes a symbol with its extra bits by one
// shift of the low byte, and tests a literal by the sign.
class TclInflaterHuffmanTree {
 public:
  enum TKind { hkLitLen, hkDist, hkCodeLen };
  enum : uint32_t {
    kEnd = 0x1000,      // end of block
    kSub = 0x2000,      // points to a sub-table
    kInvalid = 0x4000,  // a code that no valid stream uses
    kBase = 0x8000,     // a length or distance: base plus extra bits
    kExceptional = kEnd | kSub | kInvalid,
    kLiteral = 0x80000000u  // a literal byte (or, for code lengths, the symbol)
  };
  static constexpr int kLitLenRootBits = 11;
  static constexpr int kDistRootBits = 8;

  explicit TclInflaterHuffmanTree(TKind AKind);
  // Builds the table from ACount code lengths; raises "Invalid code lengths set" for a set that
  // is over-subscribed, or incomplete where that is not allowed (see docs/zlib.md).
  void Build(const uint8_t* ALens, int ACount);

  TKind Kind() const { return FKind; }
  int RootBits() const { return FRootBits; }
  const uint32_t* Table() const { return FTree.data(); }

  static uint32_t CodeLength(uint32_t AEntry) { return (AEntry >> 8) & 15; }
  static uint32_t Consumed(uint32_t AEntry) { return AEntry & 0xFF; }
  static uint32_t Extra(uint32_t AEntry) { return Consumed(AEntry) - CodeLength(AEntry); }
  static uint32_t Value(uint32_t AEntry) { return (AEntry >> 16) & 0x7FFF; }

  // The entry for the code at the start of ABits (sub-table followed).
  uint32_t Lookup(uint64_t ABits) const {
    uint32_t e = FTree[ABits & FRootMask];
    if (e & kSub) e = FTree[Value(e) + ((ABits >> FRootBits) & ((1u << CodeLength(e)) - 1))];
    return e;
  }

 private:
  TKind FKind;
  int FRootBits;
  uint32_t FRootMask;
  int FSymbols;
  const uint32_t* FSymbolEntries;  // per symbol, without its code length
  std::vector<uint32_t> FTree;
};

// The fixed trees of block type 1, built once and shared by every inflater. Raise "Static tree
// length illegal" should their building fail.
const TclInflaterHuffmanTree& FixedLitLenTree();
const TclInflaterHuffmanTree& FixedDistTree();

}  // namespace netlib

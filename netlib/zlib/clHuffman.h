// Huffman decoding tables of the inflater, and the bit reversal shared with the compressing side.
#pragma once

#include <cstdint>
#include <vector>

namespace netlib {

// Reverses the 16 bits of AValue, one 4-bit group at a time through a lookup.
uint16_t BitReverse(uint16_t AValue);

// A decoding table built from a list of code lengths. The primary table is indexed by the next
// kRootBits input bits (codes arrive bit-reversed, so the index is the reversed code); codes
// longer than that continue in a sub-table named by the primary entry. Each 32-bit entry holds:
//   bits 0-3   the full code length (what to drop once the entry is used)
//   bits 4-7   the extra-bit count of a length or distance, or a sub-table's index width
//   bits 8-15  the kind flags below
//   bits 16-31 the value: literal, length or distance base, code-length symbol, sub-table start
class TclInflaterHuffmanTree {
 public:
  enum TKind { hkLitLen, hkDist, hkCodeLen };
  enum : uint32_t {
    kLiteral = 0x100,  // a literal byte (or, for code lengths, the symbol)
    kBase = 0x200,     // a length or distance: base plus extra bits
    kEnd = 0x400,      // end of block
    kSub = 0x800,      // points to a sub-table
    kInvalid = 0x1000  // a code that no valid stream uses
  };

  explicit TclInflaterHuffmanTree(TKind AKind);
  // Builds the table from ACount code lengths; raises "Invalid code lengths set" for a set that
  // is over-subscribed, or incomplete where that is not allowed (see docs/zlib.md).
  void Build(const uint8_t* ALens, int ACount);

  TKind Kind() const { return FKind; }
  int RootBits() const { return FRootBits; }
  const uint32_t* Table() const { return FTree.data(); }

  static uint32_t CodeLength(uint32_t AEntry) { return AEntry & 15; }
  static uint32_t Extra(uint32_t AEntry) { return (AEntry >> 4) & 15; }
  static uint32_t Value(uint32_t AEntry) { return AEntry >> 16; }

  // The entry for the code at the start of ABits (sub-table followed).
  uint32_t Lookup(uint64_t ABits) const {
    uint32_t e = FTree[ABits & FRootMask];
    if (e & kSub) e = FTree[Value(e) + ((ABits >> FRootBits) & ((1u << Extra(e)) - 1))];
    return e;
  }

 private:
  uint32_t SymbolEntry(int ASymbol, unsigned ALen) const;

  TKind FKind;
  int FRootBits;
  uint32_t FRootMask;
  int FSymbols;
  std::vector<uint32_t> FTree;
};

// The fixed trees of block type 1, built once and shared by every inflater. Raise "Static tree
// length illegal" should their building fail.
const TclInflaterHuffmanTree& FixedLitLenTree();
const TclInflaterHuffmanTree& FixedDistTree();

}  // namespace netlib

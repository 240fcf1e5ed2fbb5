#include "netlib/zlib/clInflate.h"

#include <cstdlib>
#include <cstring>
#include <limits>

#include "netlib/zlib/clZLibBase.h"

#if defined(__x86_64__) || defined(__i386__)
#define KRV_ZLIB_X86 1
#endif

namespace netlib {
namespace {

using Tree = TclInflaterHuffmanTree;

// Order in which a dynamic header lists the code-length code lengths.
constexpr uint8_t kCodeLenOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

// Decodes one symbol a bit at a time as input allows; false when the input ends before the code
// is complete (nothing consumed then). An entry whose code length fits in the bits held is the
// right one whatever follows, as the code is prefix-free.
bool DecodeSlow(const Tree& ATree, TclInflateBuffer& AIn, uint32_t& AEntry) {
  for (;;) {
    uint32_t e = ATree.Lookup(AIn.FBuffer);
    if (Tree::CodeLength(e) <= AIn.FBits_in_buffer) {
      AIn.DropBits(Tree::CodeLength(e));
      AEntry = e;
      return true;
    }
    if (!AIn.PullByte()) return false;
  }
}

// Window room the fast loop needs at the top of a round: two literals and a longest match.
constexpr size_t kFastRoom = TclOutputWindow::MAX_MATCH + 2;
// Input the fast loop needs on entry: its first refill may take 7 bytes and a round must still
// start with 16 left (a round refills at most twice more, reading 8 bytes each).
constexpr size_t kFastInput = 32;


}  // namespace

bool TclInflaterHeader::Decode(TclInflateBuffer& AIn) {
  if (FMode == hmCounts && AIn.AvailableBytes() >= kWholeHeaderInput) {
    DecodeWhole(AIn);
    return true;
  }
  for (;;) {
    switch (FMode) {
      case hmCounts:
        if (!AIn.NeedBits(14)) return false;
        FLnum = static_cast<int>(AIn.GetBits(5)) + 257;
        FDnum = static_cast<int>(AIn.GetBits(5)) + 1;
        FBlnum = static_cast<int>(AIn.GetBits(4)) + 4;
        // 286 and 287 literal/length and 30, 31 distance symbols never occur in valid data.
        if (FLnum > 286 || FDnum > 30) RaiseZLibError(ZLIB_ERR_TOO_MANY_CODES);
        FNum = FLnum + FDnum;
        std::memset(FBlLens, 0, sizeof(FBlLens));
        FPtr = 0;
        FMode = hmBlLens;
        break;
      case hmBlLens:
        while (FPtr < FBlnum) {
          if (!AIn.NeedBits(3)) return false;
          FBlLens[kCodeLenOrder[FPtr++]] = static_cast<uint8_t>(AIn.GetBits(3));
        }
        FBlTree.Build(FBlLens, 19);
        FPtr = 0;
        FMode = hmLens;
        break;
      case hmLens:
        while (FPtr < FNum) {
          uint32_t e;
          if (!DecodeSlow(FBlTree, AIn, e)) return false;
          uint32_t sym = Tree::Value(e);
          if (sym < 16) {
            FLitdistLens[FPtr++] = static_cast<uint8_t>(sym);
            continue;
          }
          if (sym == 16 && FPtr == 0) RaiseZLibError(ZLIB_ERR_UNKNOWN);  // nothing to repeat
          FRepSymbol = static_cast<int>(sym);
          FMode = hmRepeat;
          break;
        }
        if (FMode == hmLens) {
          if (FLitdistLens[256] == 0) RaiseZLibError(ZLIB_ERR_MISSING_END_OF_BLOCK);
          FMode = hmDone;
          return true;
        }
        break;
      case hmRepeat: {
        static constexpr uint8_t kBits[3] = {2, 3, 7};
        static constexpr uint8_t kAdd[3] = {3, 3, 11};
        int i = FRepSymbol - 16;
        if (!AIn.NeedBits(kBits[i])) return false;
        int count = static_cast<int>(AIn.GetBits(kBits[i])) + kAdd[i];
        if (FPtr + count > FNum) RaiseZLibError(ZLIB_ERR_UNKNOWN);  // runs past the lengths
        uint8_t value = FRepSymbol == 16 ? FLitdistLens[FPtr - 1] : 0;
        std::memset(FLitdistLens + FPtr, value, static_cast<size_t>(count));
        FPtr += count;
        FMode = hmLens;
        break;
      }
      case hmDone:
        return true;
    }
  }
}

// The whole header at once, read word-wise: no step needs to check for the end of the input.
void TclInflaterHeader::DecodeWhole(TclInflateBuffer& AIn) {
  const uint8_t* const start = AIn.FWindow_start;
  const uint8_t* in = start;
  uint64_t bitbuf = AIn.FBuffer;
  unsigned bits = AIn.FBits_in_buffer;
  auto take = [&](unsigned n) {
    uint32_t v = static_cast<uint32_t>(bitbuf & ((uint64_t(1) << n) - 1));
    bitbuf >>= n;
    bits -= n;
    return v;
  };
  TclInflateBuffer::Refill(in, bitbuf, bits);
  FLnum = static_cast<int>(take(5)) + 257;
  FDnum = static_cast<int>(take(5)) + 1;
  FBlnum = static_cast<int>(take(4)) + 4;
  if (FLnum > 286 || FDnum > 30) RaiseZLibError(ZLIB_ERR_TOO_MANY_CODES);
  FNum = FLnum + FDnum;
  std::memset(FBlLens, 0, sizeof(FBlLens));
  for (int i = 0; i < FBlnum; ++i) {
    if (bits < 3) TclInflateBuffer::Refill(in, bitbuf, bits);
    FBlLens[kCodeLenOrder[i]] = static_cast<uint8_t>(take(3));
  }
  FBlTree.Build(FBlLens, 19);
  // The code-length code is complete and at most 7 bits long: every entry is a symbol.
  const uint32_t* const table = FBlTree.Table();
  for (int ptr = 0; ptr < FNum;) {
    if (bits < 14) TclInflateBuffer::Refill(in, bitbuf, bits);  // a code and its extra bits
    uint32_t e = table[bitbuf & 0x7F];
    take(Tree::CodeLength(e));
    uint32_t sym = Tree::Value(e);
    if (sym < 16) {
      FLitdistLens[ptr++] = static_cast<uint8_t>(sym);
      continue;
    }
    int count;
    uint8_t value = 0;
    if (sym == 16) {
      if (ptr == 0) RaiseZLibError(ZLIB_ERR_UNKNOWN);  // nothing to repeat
      value = FLitdistLens[ptr - 1];
      count = 3 + static_cast<int>(take(2));
    } else {
      count = sym == 17 ? 3 + static_cast<int>(take(3)) : 11 + static_cast<int>(take(7));
    }
    if (ptr + count > FNum) RaiseZLibError(ZLIB_ERR_UNKNOWN);  // runs past the lengths
    std::memset(FLitdistLens + ptr, value, static_cast<size_t>(count));
    ptr += count;
  }
  if (FLitdistLens[256] == 0) RaiseZLibError(ZLIB_ERR_MISSING_END_OF_BLOCK);
  AIn.EndWordReads(start, in, bitbuf, bits);
  FMode = hmDone;
}

TclInflater::TclInflater(bool ANoHeader)
    : FNoHeader(ANoHeader),
      FDynHeader(new TclInflaterHeader),
      FOwnLitlenTree(new TclInflaterHuffmanTree(TclInflaterHuffmanTree::hkLitLen)),
      FOwnDistTree(new TclInflaterHuffmanTree(TclInflaterHuffmanTree::hkDist)) {
  Reset();
}

TclInflater::~TclInflater() = default;

void TclInflater::Reset() {
  FMode = FNoHeader ? imBlocks : imHeader;
  FReadAdler = 0;
  FDictionaryRead = false;
  FNeededBits = 0;
  FRepLength = FRepDist = FUncomprLen = 0;
  FIsLastBlock = false;
  FTotalOut = FTotalIn = 0;
  FError = 0;
  FInput.Clear();
  FOutputWindow.Reset();
  FAdler.Reset();
  FDynHeader->Reset();
  FLitlenTree = FDistTree = nullptr;
}

void TclInflater::SetInput(const uint8_t* ABuffer, int32_t AOffset, int32_t ALen) {
  if (AOffset < 0 || ALen < 0 || AOffset > std::numeric_limits<int32_t>::max() - ALen ||
      (!ABuffer && ALen > 0))
    RaiseZLibError(ZLIB_ERR_ARGUMENT_RANGE);
  if (!IsNeedingInput()) RaiseZLibError(ZLIB_ERR_INPUT_NOT_PROCESSED);
  FInput.SetInput(ABuffer ? ABuffer + AOffset : nullptr, static_cast<size_t>(ALen));
  FTotalIn += ALen;
}

int32_t TclInflater::Inflate(uint8_t* ABuffer, int32_t AOffset, int32_t ALen) {
  if (AOffset < 0 || ALen < 0 || AOffset > std::numeric_limits<int32_t>::max() - ALen ||
      (!ABuffer && ALen > 0))
    RaiseZLibError(ZLIB_ERR_ARGUMENT_RANGE);
  if (FError) RaiseZLibError(FError);
  try {
    if (ALen == 0) {
      if (!IsFinished()) Step();
      return 0;
    }
    uint8_t* dest = ABuffer + AOffset;
    size_t done = 0, want = static_cast<size_t>(ALen);
    for (;;) {
      size_t n = FOutputWindow.CopyOutput(dest + done, want - done);
      if (n) {
        if (FKeepAdler || !FNoHeader) FAdler.Update(dest + done, n);
        FTotalOut += static_cast<int64_t>(n);
        done += n;
        if (done == want) break;
      }
      if (!Step() && FOutputWindow.Filled() == 0) break;
    }
    return static_cast<int32_t>(done);
  } catch (const EclZLibError& e) {
    FError = e.ErrorCode();
    throw;
  }
}

size_t TclInflater::InflateInPlace(const uint8_t*& AData) {
  if (FError) RaiseZLibError(FError);
  try {
    // Steps run until the window holds as much as may wait (a symbol step stops short of a
    // longest match) or nothing more can be done.
    while (FOutputWindow.Filled() < TclOutputWindow::WSIZE - TclOutputWindow::MAX_MATCH && Step()) {
    }
    size_t n = FOutputWindow.Filled();
    AData = FOutputWindow.FBase + FOutputWindow.FReadPos;
    FOutputWindow.FReadPos += n;
    if (n) {
      if (FKeepAdler || !FNoHeader) FAdler.Update(AData, n);
      FTotalOut += static_cast<int64_t>(n);
    }
    return n;
  } catch (const EclZLibError& e) {
    FError = e.ErrorCode();
    throw;
  }
}

bool TclInflater::Step() {
  switch (FMode) {
    case imHeader: {
      if (!FInput.NeedBits(16)) return false;
      uint32_t cmf = FInput.GetBits(8), flg = FInput.GetBits(8);
      if (((cmf << 8) | flg) % 31) RaiseZLibError(ZLIB_ERR_HEADER_CHECKSUM);
      if ((cmf & 15) != 8) RaiseZLibError(ZLIB_ERR_METHOD_UNKNOWN);
      if ((cmf >> 4) > 7) RaiseZLibError(ZLIB_ERR_INVALID_WINDOW_SIZE);  // more than 32 KiB
      FMode = (flg & 0x20) ? imDictionary : imBlocks;
      return true;
    }
    case imDictionary: {
      if (FDictionaryRead || !FInput.NeedBits(32)) return false;
      uint32_t id = 0;
      for (int i = 0; i < 4; ++i) id = (id << 8) | FInput.GetBits(8);
      FReadAdler = id;
      FDictionaryRead = true;
      return true;
    }
    case imBlocks: {
      if (FIsLastBlock) {
        if (FNoHeader) {
          FMode = imFinished;
        } else {
          FInput.SkipToByteBoundary();
          FMode = imTrailer;
        }
        return true;
      }
      if (!FInput.NeedBits(3)) return false;
      FIsLastBlock = FInput.GetBits(1) != 0;
      switch (FInput.GetBits(2)) {
        case 0:
          FInput.SkipToByteBoundary();
          FMode = imStoredLen;
          break;
        case 1:
          FLitlenTree = &FixedLitLenTree();
          FDistTree = &FixedDistTree();
          FMode = imHuffman;
          break;
        case 2:
          FDynHeader->Reset();
          FMode = imDynHeader;
          break;
        default:
          RaiseZLibError(ZLIB_ERR_UNKNOWN_BLOCK_TYPE);
      }
      return true;
    }
    case imStoredLen:
      if (!FInput.NeedBits(16)) return false;
      FUncomprLen = FInput.GetBits(16);
      FMode = imStoredNLen;
      return true;
    case imStoredNLen:
      if (!FInput.NeedBits(16)) return false;
      if (FInput.GetBits(16) != (FUncomprLen ^ 0xFFFF)) RaiseZLibError(ZLIB_ERR_BROKEN_STORED_BLOCK);
      FMode = imStored;
      return true;
    case imStored: {
      if (FUncomprLen == 0) {
        FMode = imBlocks;
        return true;
      }
      FOutputWindow.MakeRoom();
      size_t n = FUncomprLen;
      if (n > FOutputWindow.FreeSpace()) n = FOutputWindow.FreeSpace();
      if (n > FOutputWindow.LinearRoom()) n = FOutputWindow.LinearRoom();
      size_t got = FInput.CopyBytes(FOutputWindow.WritePtr(), n);
      FOutputWindow.Advance(got);
      FUncomprLen -= static_cast<uint32_t>(got);
      if (FUncomprLen == 0) FMode = imBlocks;
      return got > 0 || FMode == imBlocks;
    }
    case imDynHeader: {
      const uint8_t* before = FInput.FWindow_start;
      unsigned beforeBits = FInput.FBits_in_buffer;
      if (!FDynHeader->Decode(FInput))
        return FInput.FWindow_start != before || FInput.FBits_in_buffer != beforeBits;
      FOwnLitlenTree->Build(FDynHeader->LitLens(), FDynHeader->Lnum());
      FOwnDistTree->Build(FDynHeader->DistLens(), FDynHeader->Dnum());
      FLitlenTree = FOwnLitlenTree.get();
      FDistTree = FOwnDistTree.get();
      FMode = imHuffman;
      return true;
    }
    case imHuffman:
      return DecodeHuffman();
    case imLenBits:
      if (!FInput.NeedBits(FNeededBits)) return false;
      FRepLength += FInput.GetBits(FNeededBits);
      FMode = imDistance;
      return true;
    case imDistance: {
      uint32_t e;
      if (!DecodeSlow(*FDistTree, FInput, e)) return false;
      if (!(e & Tree::kBase)) RaiseZLibError(ZLIB_ERR_ILLEGAL_DIST_CODE);
      FRepDist = Tree::Value(e);
      FNeededBits = Tree::Extra(e);
      FMode = imDistBits;
      return true;
    }
    case imDistBits:
      if (!FInput.NeedBits(FNeededBits)) return false;
      FRepDist += FInput.GetBits(FNeededBits);
      if (FRepDist > FOutputWindow.History()) RaiseZLibError(ZLIB_ERR_DISTANCE_TOO_FAR);
      FOutputWindow.Repeat(FRepLength, FRepDist);
      FMode = imHuffman;
      return true;
    case imTrailer: {
      // The Adler-32 covers all output, so everything must have been taken out first.
      if (FOutputWindow.Filled() || !FInput.NeedBits(32)) return false;
      uint32_t value = 0;
      for (int i = 0; i < 4; ++i) value = (value << 8) | FInput.GetBits(8);
      if (value != FAdler.Value()) RaiseZLibError(ZLIB_ERR_ADLER_MISMATCH);
      FMode = imFinished;
      return true;
    }
    case imFinished:
      return false;
    default:
      RaiseZLibError(ZLIB_ERR_UNKNOWN_MODE);
  }
}

// State 7: symbols are decoded while the window has room for a longest match. With enough
// input the fast loop runs; near the end of the input symbols go one at a time through the states.
bool TclInflater::DecodeHuffman() {
  bool progress = false;
  for (;;) {
    if (FOutputWindow.FreeSpace() < TclOutputWindow::MAX_MATCH || !FOutputWindow.MakeRoom()) return progress;
    if (FInput.AvailableBytes() >= kFastInput && FOutputWindow.FreeSpace() >= kFastRoom &&
        FOutputWindow.LinearRoom() >= kFastRoom) {
      progress = true;  // the fast loop always decodes at least one symbol
      if (DecodeFast()) return true;
      continue;
    }
    uint32_t e;
    if (!DecodeSlow(*FLitlenTree, FInput, e)) return progress;
    progress = true;
    if (e & Tree::kLiteral) {
      FOutputWindow.WriteByte(static_cast<uint8_t>(Tree::Value(e)));
      continue;
    }
    if (e & Tree::kEnd) {
      FMode = imBlocks;
      return true;
    }
    if (!(e & Tree::kBase)) RaiseZLibError(ZLIB_ERR_ILLEGAL_LENGTH_CODE);
    FRepLength = Tree::Value(e);
    FNeededBits = Tree::Extra(e);
    FMode = imLenBits;
    return true;
  }
}

namespace {

// What the fast loop works on, taken from the inflater and given back when it stops.
struct TFastState {
  const uint8_t* in;
  const uint8_t* inLimit;  // a round may start at or before it
  uint64_t bitbuf;
  unsigned bits;
  uint8_t* out;
  uint8_t* outLimit;       // a round may start at or before it
  const uint8_t* base;     // first byte of history
  const uint32_t* lt;
  const uint32_t* dt;
};

enum TFastResult { frLimit = 0, frEndOfBlock = 1 };

// The low bits of AValue, as many as the low byte of ACount says (below 64).
template <bool kBmi2>
__attribute__((always_inline)) inline uint64_t LowBits(uint64_t AValue, uint32_t ACount) {
#ifdef KRV_ZLIB_X86
  if constexpr (kBmi2) {
    uint64_t r;
    asm("bzhi %2, %1, %0" : "=r"(r) : "r"(AValue), "r"(uint64_t(ACount)));  // reads the count's low byte
    return r;
  }
#endif
  return AValue & ((uint64_t(1) << (ACount & 63)) - 1);
}

// The hot loop, answering a TFastResult or a (negative) error code.
//
// Bits: the 64-bit buffer is refilled by one unaligned 8-byte load to hold 56 to 63 bits; the
// bits above the count are the next input bits, so the next load's OR is harmless. Each entry's
// low byte is what it consumes with its extra bits, so a symbol costs one lookup and one shift;
// the extra bits are cut from the buffer as it was before the shift. The next entry is looked
// up before a match is copied and refilled after it, so the lookup's latency overlaps the copy
// and the loaded word is not kept across it.
//
// Budget per round (56 bits at its top): up to three literals of at most 11 bits with the next
// lookup (33 + 11), or two literals and a length of at most 20 bits (42), leaving the 8 bits of a
// distance lookup; the distance (at most 28 bits) and the next lookup (11) refill first when fewer
// than 39 bits are left. A round refills at most twice and reads 8 bytes each time, so it stays
// inside the input when it starts 16 bytes before its end.
//
// Output: a round writes at most two literals and a longest match, and copies in 16-byte pieces
// or whole words up to 45 bytes past a match's end (the window keeps that slack). With
// kFullHistory (32 KiB of output behind the start) no distance can reach too far, so none is checked.
template <bool kBmi2, bool kFullHistory>
__attribute__((always_inline)) inline int FastLoop(TFastState& s) {
  using T = TclInflaterHuffmanTree;
  constexpr uint32_t kLitMask = (1u << T::kLitLenRootBits) - 1, kDistMask = (1u << T::kDistRootBits) - 1;
  const uint8_t* in = s.in;
  uint64_t bitbuf = s.bitbuf;
  // Only the low byte of `bits` counts: entries are subtracted whole, and no count reaches 64.
  uint32_t bits = s.bits;
  uint8_t* out = s.out;
  // Locals, not reads through `s`: a byte store may alias it and would force a reload.
  const uint8_t* const inLimit = s.inLimit;
  uint8_t* const outLimit = s.outLimit;
  const uint8_t* const base = s.base;
  const uint32_t* const lt = s.lt;
  const uint32_t* const dt = s.dt;
  int result = frLimit;

#define KRV_REFILL()                                \
  do {                                              \
    uint64_t word;                                  \
    std::memcpy(&word, in, 8);                      \
    bitbuf |= word << (bits & 63);                  \
    in += 7 - ((bits >> 3) & 7);                    \
    bits |= 56;                                     \
  } while (0)
  // Consumes an entry's code with its extra bits; `saved` keeps the bits for the extra bits.
#define KRV_CONSUME(entry)                       \
  do {                                           \
    saved = bitbuf;                              \
    bitbuf >>= (entry) & 63;                     \
    bits -= (entry);                             \
  } while (0)
  // The base of a length or distance entry plus its extra bits.
#define KRV_VALUE(entry) (((entry) >> 16) + static_cast<uint32_t>(LowBits<kBmi2>(saved, entry) >> (((entry) >> 8) & 63)))

  KRV_REFILL();
  uint32_t e = lt[bitbuf & kLitMask];
  while (in <= inLimit && out <= outLimit) {
    uint64_t saved;
    KRV_CONSUME(e);
    if (e & T::kLiteral) {
      uint8_t lit = static_cast<uint8_t>(e >> 16);
      e = lt[bitbuf & kLitMask];
      KRV_CONSUME(e);
      *out++ = lit;
      if (e & T::kLiteral) {
        lit = static_cast<uint8_t>(e >> 16);
        e = lt[bitbuf & kLitMask];
        KRV_CONSUME(e);
        *out++ = lit;
        if (e & T::kLiteral) {
          lit = static_cast<uint8_t>(e >> 16);
          e = lt[bitbuf & kLitMask];
          KRV_REFILL();
          *out++ = lit;
          continue;
        }
      }
    }
    // Consumed, and not a literal from the primary table.
    if (e & T::kExceptional) {
      if (e & T::kSub) {
        // The pointer consumed nothing; its sub-table entry holds the whole code.
        e = lt[(e >> 16) + ((bitbuf >> T::kLitLenRootBits) & ((1u << ((e >> 8) & 15)) - 1))];
        KRV_CONSUME(e);
        if (e & T::kLiteral) {
          uint8_t lit = static_cast<uint8_t>(e >> 16);
          e = lt[bitbuf & kLitMask];
          KRV_REFILL();
          *out++ = lit;
          continue;
        }
      }
      if (e & T::kExceptional) {
        result = (e & T::kEnd) ? int(frEndOfBlock) : int(ZLIB_ERR_ILLEGAL_LENGTH_CODE);
        break;
      }
    }
    const uint32_t length = KRV_VALUE(e);

    uint32_t d = dt[bitbuf & kDistMask];
    if (static_cast<uint8_t>(bits) < 39) KRV_REFILL();
    if (!(d & T::kBase)) {
      if (d & T::kSub) d = dt[(d >> 16) + ((bitbuf >> T::kDistRootBits) & ((1u << ((d >> 8) & 15)) - 1))];
      if (!(d & T::kBase)) {
        result = ZLIB_ERR_ILLEGAL_DIST_CODE;
        break;
      }
    }
    KRV_CONSUME(d);
    const uint32_t dist = KRV_VALUE(d);
    if (!kFullHistory && dist > static_cast<size_t>(out - base)) {
      result = ZLIB_ERR_DISTANCE_TOO_FAR;
      break;
    }
    e = lt[bitbuf & kLitMask];

    const uint8_t* src = out - dist;
    uint8_t* const end = out + length;
    if (dist >= 16) {
      // 16-byte pieces, each load reading only bytes already written; three cover most matches.
      std::memcpy(out, src, 16);
      std::memcpy(out + 16, src + 16, 16);
      std::memcpy(out + 32, src + 32, 16);
      if (length > 48) {
        out += 48;
        src += 48;
        do {
          std::memcpy(out, src, 16);
          out += 16;
          src += 16;
        } while (out < end);
      }
    } else if (dist >= 8) {
      // Whole words; with dist >= 8 each load reads only bytes already written. Five words
      // cover most matches without a loop.
      std::memcpy(out, src, 8);
      std::memcpy(out + 8, src + 8, 8);
      std::memcpy(out + 16, src + 16, 8);
      std::memcpy(out + 24, src + 24, 8);
      std::memcpy(out + 32, src + 32, 8);
      if (length > 40) {
        out += 40;
        src += 40;
        do {
          std::memcpy(out, src, 8);
          std::memcpy(out + 8, src + 8, 8);
          out += 16;
          src += 16;
        } while (out < end);
      }
    } else if (dist == 1) {
      uint64_t v = 0x0101010101010101ull * *src;
      do {
        std::memcpy(out, &v, 8);
        std::memcpy(out + 8, &v, 8);
        out += 16;
      } while (out < end);
    } else {
      // A period of 2 to 7: write the first multiple of the period that is >= 8 byte by byte,
      // then whole words from that far back, which repeat the same pattern.
      static constexpr uint8_t kStep[8] = {0, 0, 8, 9, 8, 10, 12, 14};
      const size_t step = kStep[dist];
      uint8_t* const pre = out + step < end ? out + step : end;
      while (out < pre) {
        *out = *(out - dist);
        ++out;
      }
      while (out < end) {
        std::memcpy(out, out - step, 8);
        out += 8;
      }
    }
    out = end;
    KRV_REFILL();
  }
#undef KRV_REFILL
#undef KRV_CONSUME
#undef KRV_VALUE
  s.in = in;
  s.bitbuf = bitbuf;
  s.bits = bits & 0xFF;
  s.out = out;
  return result;
}

int FastLoopGeneric(TFastState& s, bool AFullHistory) {
  return AFullHistory ? FastLoop<false, true>(s) : FastLoop<false, false>(s);
}

#ifdef KRV_ZLIB_X86
// The same loop with BMI2's shifts and bit extraction, which take their count in any register.
__attribute__((target("bmi2"))) int FastLoopBmi2(TFastState& s, bool AFullHistory) {
  return AFullHistory ? FastLoop<true, true>(s) : FastLoop<true, false>(s);
}
// KRV_ZLIB_NO_BMI2 (set to anything) keeps the plain build, so that its tests run on any machine.
const bool kHaveBmi2 = __builtin_cpu_supports("bmi2") && !std::getenv("KRV_ZLIB_NO_BMI2");
#endif

}  // namespace

// Runs the fast loop from the inflater's state; answers true at the end of the block.
bool TclInflater::DecodeFast() {
  uint8_t* const base = FOutputWindow.FBase;
  // Stop while a longest match still fits both the 32 KiB of waiting output and the buffer.
  // A round may add two literals before a match.
  size_t limitByWindow = FOutputWindow.FReadPos + TclOutputWindow::WSIZE - kFastRoom;
  size_t limitByBuffer = FOutputWindow.FEnd - kFastRoom;
  TFastState s{FInput.FWindow_start,
               FInput.FWindow_end - 16,
               FInput.FBuffer,
               FInput.FBits_in_buffer,
               base + FOutputWindow.FWindowEnd,
               base + (limitByWindow < limitByBuffer ? limitByWindow : limitByBuffer),
               base,
               FLitlenTree->Table(),
               FDistTree->Table()};
  const uint8_t* const inStart = s.in;
  // The longest distance is 32 KiB; the history only grows while the loop runs.
  const bool fullHistory = FOutputWindow.History() >= TclOutputWindow::WSIZE;
#ifdef KRV_ZLIB_X86
  int result = kHaveBmi2 ? FastLoopBmi2(s, fullHistory) : FastLoopGeneric(s, fullHistory);
#else
  int result = FastLoopGeneric(s, fullHistory);
#endif
  FInput.EndWordReads(inStart, s.in, s.bitbuf, s.bits);
  FOutputWindow.FWindowEnd = static_cast<size_t>(s.out - base);
  if (result < 0) RaiseZLibError(result);
  if (result == frEndOfBlock) FMode = imBlocks;
  return result == frEndOfBlock;
}

}  // namespace netlib

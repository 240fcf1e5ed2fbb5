// The decoder's bit reader over the caller's input, and its output window.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

namespace netlib {

// Reads bits least significant first from the caller's bytes, which it neither copies nor owns.
// Bytes move into the 64-bit buffer only when a step needs their bits, so a decoder that stops
// for lack of input has used no byte it did not need; the decoder's fast loop loads 8 bytes at a
// time and hands back whole unused bytes when it leaves.
class TclInflateBuffer {
 public:
  void SetInput(const uint8_t* AData, size_t ALen) {
    FWindow_start = AData;
    FWindow_end = AData + ALen;
  }
  void Clear() {
    FWindow_start = FWindow_end = nullptr;
    FBuffer = 0;
    FBits_in_buffer = 0;
  }
  // Unread bytes of the input range.
  size_t AvailableBytes() const { return static_cast<size_t>(FWindow_end - FWindow_start); }
  // Unread bytes, whole bytes still in the bit buffer included.
  size_t RemainingBytes() const { return AvailableBytes() + FBits_in_buffer / 8; }
  unsigned BitsInBuffer() const { return FBits_in_buffer; }

  // Makes at least n (<= 57) bits available; false when the input ends first.
  bool NeedBits(unsigned n) {
    while (FBits_in_buffer < n) {
      if (FWindow_start == FWindow_end) return false;
      FBuffer |= static_cast<uint64_t>(*FWindow_start++) << FBits_in_buffer;
      FBits_in_buffer += 8;
    }
    return true;
  }
  // Pulls one more byte into the bit buffer; false at the end of the input.
  bool PullByte() {
    if (FWindow_start == FWindow_end || FBits_in_buffer > 56) return false;
    FBuffer |= static_cast<uint64_t>(*FWindow_start++) << FBits_in_buffer;
    FBits_in_buffer += 8;
    return true;
  }
  uint32_t PeekBits(unsigned n) const { return static_cast<uint32_t>(FBuffer & ((uint64_t(1) << n) - 1)); }
  void DropBits(unsigned n) {
    FBuffer >>= n;
    FBits_in_buffer -= n;
  }
  uint32_t GetBits(unsigned n) {
    uint32_t v = PeekBits(n);
    DropBits(n);
    return v;
  }
  // Word-wise reading, for stretches that have enough input ahead: the bits are kept in the
  // caller's registers, refilled to 56-63 bits by one unaligned 8-byte load (the bits above the
  // count are the next input bits, so the next load's OR is harmless).
  static void Refill(const uint8_t*& AIn, uint64_t& ABitBuf, unsigned& ABits) {
    uint64_t word;
    std::memcpy(&word, AIn, 8);  // little-endian host (x86-64)
    ABitBuf |= word << ABits;
    AIn += (63 - ABits) >> 3;
    ABits |= 56;
  }
  // Ends word-wise reading that began at AStart: hands back the whole bytes read ahead and keeps
  // the byte-wise reader's rule that bits above the count are zero.
  void EndWordReads(const uint8_t* AStart, const uint8_t* AIn, uint64_t ABitBuf, unsigned ABits) {
    size_t back = ABits >> 3;
    if (back > static_cast<size_t>(AIn - AStart)) back = static_cast<size_t>(AIn - AStart);
    FWindow_start = AIn - back;
    FBits_in_buffer = ABits - static_cast<unsigned>(back * 8);
    FBuffer = FBits_in_buffer < 64 ? ABitBuf & ((uint64_t(1) << FBits_in_buffer) - 1) : ABitBuf;
  }
  // Drops the bits up to the next byte boundary.
  void SkipToByteBoundary() { DropBits(FBits_in_buffer & 7); }
  // Copies up to ALen whole bytes, first those left in the bit buffer, then from the input range.
  // Raises "Bit buffer is not byte aligned" when not at a byte boundary.
  size_t CopyBytes(uint8_t* ADest, size_t ALen);

  const uint8_t* FWindow_start = nullptr;
  const uint8_t* FWindow_end = nullptr;
  uint64_t FBuffer = 0;          // bits above FBits_in_buffer are zero outside the fast loop
  unsigned FBits_in_buffer = 0;
};

// The last 32 KiB of output, for back-references, plus the decoded bytes not yet taken out.
// Kept linear, with room after the history so that matches copy without wrapping: when the write
// position nears the end, the last 32 KiB slide back to the start. What is observable is as for a
// 32 KiB circular window: at most 32 KiB of decoded output wait inside, and symbols are decoded
// only while a longest match (258 bytes) still fits.
//
// The window may instead lie in the caller's memory (UseExternal), which holds all the output
// since the window was reset: output is then decoded where it is finally wanted, and never
// slides; when its room runs short the caller offers more or goes back to the own buffer.
class TclOutputWindow {
 public:
  static constexpr size_t WSIZE = 32768;
  static constexpr size_t MAX_MATCH = 258;
  static constexpr size_t ROOM = 65536;  // between slides
  static constexpr size_t SLACK = 64;    // the fast loop copies up to 45 bytes past a match's end
  static constexpr size_t CAPACITY = WSIZE + ROOM + MAX_MATCH + SLACK;

  TclOutputWindow() : FWindow(new uint8_t[CAPACITY]) { Reset(); }
  void Reset() {
    FWindowEnd = FReadPos = 0;
    FBase = FWindow.get();
    FEnd = CAPACITY - SLACK;
    FExternal = false;
  }

  size_t Filled() const { return FWindowEnd - FReadPos; }
  size_t FreeSpace() const { return WSIZE - Filled(); }
  // Bytes of history a distance may reach back over.
  size_t History() const { return FWindowEnd; }
  // Whether a longest match fits after the write position.
  bool HasRoom() const { return FWindowEnd + MAX_MATCH <= FEnd; }
  // Makes that room by sliding the own buffer (the caller's memory never slides); answers
  // whether there is room.
  bool MakeRoom() {
    if (HasRoom()) return true;
    if (FExternal) return false;
    Slide();
    return true;
  }
  // Room before the end of the buffer (for bulk copies).
  size_t LinearRoom() const { return FEnd > FWindowEnd ? FEnd - FWindowEnd : 0; }

  void WriteByte(uint8_t b);
  // Copies a match of ALen bytes from ADist back; the caller has checked the distance.
  void Repeat(size_t ALen, size_t ADist);
  // Takes up to ALen decoded bytes out, oldest first.
  size_t CopyOutput(uint8_t* ADest, size_t ALen);
  uint8_t* WritePtr() { return FBase + FWindowEnd; }
  void Advance(size_t n);

  // Decodes into the caller's memory from now on: ANext follows the output since the reset
  // (nothing of it waiting), and ARoom bytes from ANext on may be written. Allowed before any
  // output, or to move or enlarge the external memory (its bytes kept).
  void UseExternal(uint8_t* ANext, size_t ARoom);
  // Back to the own buffer, which takes the last 32 KiB of history; nothing may be waiting.
  void UseOwn();
  bool IsExternal() const { return FExternal; }

  std::unique_ptr<uint8_t[]> FWindow;
  uint8_t* FBase = nullptr;   // the buffer in use: FWindow or the caller's memory
  size_t FEnd = 0;            // writes end here; SLACK more bytes exist for the fast loop's copies
  size_t FWindowEnd = 0;      // next write index
  size_t FReadPos = 0;        // oldest byte not yet taken out
  bool FExternal = false;

 private:
  void Slide();
};

}  // namespace netlib

// The DEFLATE decoder (RFC 1951), optionally inside the zlib wrapper (RFC 1950).
#pragma once

#include <cstdint>
#include <memory>

#include "netlib/zlib/clChecksum.h"
#include "netlib/zlib/clHuffman.h"
#include "netlib/zlib/clZLibBuffer.h"

namespace netlib {

// Decodes the code lengths of a dynamic block header, resumable at any bit.
class TclInflaterHeader {
 public:
  TclInflaterHeader() = default;
  void Reset() { FMode = hmCounts; }
  // True once every length is read and checked; false when the input ends first.
  bool Decode(TclInflateBuffer& AInput);
  const uint8_t* LitLens() const { return FLitdistLens; }
  const uint8_t* DistLens() const { return FLitdistLens + FLnum; }
  int Lnum() const { return FLnum; }
  int Dnum() const { return FDnum; }

 private:
  enum { hmCounts, hmBlLens, hmLens, hmRepeat, hmDone };
  // Input that holds any header with room for a last 8-byte load: 14 + 19 * 3 bits of counts
  // and code-length lengths, then at most 316 codes of 7 bits with 7 extra bits (562 bytes).
  static constexpr size_t kWholeHeaderInput = 576;
  void DecodeWhole(TclInflateBuffer& AInput);
  uint8_t FBlLens[19] = {};
  uint8_t FLitdistLens[286 + 30] = {};
  TclInflaterHuffmanTree FBlTree{TclInflaterHuffmanTree::hkCodeLen};
  int FMode = hmCounts;
  int FLnum = 0, FDnum = 0, FBlnum = 0, FNum = 0;
  int FRepSymbol = 0;
  int FPtr = 0;
};

class TclInflater {
 public:
  // Decoder states.
  enum TMode {
    imHeader = 0,       // zlib header
    imDictionary = 1,   // preset-dictionary identifier
    imBlocks = 2,       // block header
    imStoredLen = 3,
    imStoredNLen = 4,
    imStored = 5,
    imDynHeader = 6,
    imHuffman = 7,      // literal/length symbol
    imLenBits = 8,
    imDistance = 9,
    imDistBits = 10,
    imTrailer = 11,     // zlib Adler-32
    imFinished = 12
  };

  // ANoHeader: raw deflate data, no zlib wrapper.
  explicit TclInflater(bool ANoHeader = false);
  ~TclInflater();
  TclInflater(const TclInflater&) = delete;
  TclInflater& operator=(const TclInflater&) = delete;

  // Starts over, as freshly created (the gzip stream does this for each member).
  void Reset();
  // Hands over the next piece of input, which must stay valid until it is used up. Raises
  // "Old input was not completely processed" while unread input remains, "Argument out of range"
  // for a negative offset or length or an overflowing range.
  void SetInput(const uint8_t* ABuffer, int32_t AOffset, int32_t ALen);
  // Decodes up to ALen bytes into ABuffer at AOffset; answers how many. ALen 0 runs one
  // decoding step. Errors in the data raise EclZLibError; after one, every call raises it again.
  int32_t Inflate(uint8_t* ABuffer, int32_t AOffset, int32_t ALen);
  // Inflate without the copy: decodes as far as the input and the 32 KiB of waiting output
  // allow and answers the waiting bytes in place (AData, oldest first); they count as taken out
  // and stay valid until the next call. 0 when nothing more comes without more input (or at the
  // end). Errors as for Inflate.
  size_t InflateInPlace(const uint8_t*& AData);
  // Decodes straight into the caller's memory, which then holds all the output since the reset:
  // ANext follows the output so far (all of it taken out) and ARoom bytes from ANext on may be
  // written. InflateInPlace then answers the bytes where they lie there. Call it before any
  // output, and again to move or enlarge the memory (the bytes in it kept) once
  // IsNeedingOutputRoom says so; ARoom is at least OutputRoomMin.
  void SetOutputMemory(uint8_t* ANext, size_t ARoom) { FOutputWindow.UseExternal(ANext, ARoom); }
  static constexpr size_t OutputRoomMin = TclOutputWindow::MAX_MATCH + TclOutputWindow::SLACK;
  // Back to the inflater's own window (which takes the last 32 KiB of the caller's memory), when
  // the caller has no more room to offer; all output must have been taken out.
  void ReleaseOutputMemory() { FOutputWindow.UseOwn(); }
  // The caller's memory is too short for the next symbol: decoding waits for more room.
  bool IsNeedingOutputRoom() const { return FOutputWindow.IsExternal() && !FOutputWindow.HasRoom(); }
  // Whether the Adler-32 of raw output is kept (it always is for zlib data, whose trailer needs
  // it). A caller that never asks for it (the gzip stream checks a CRC-32) saves its cost.
  void SetKeepAdler(bool AValue) { FKeepAdler = AValue; }

  bool IsNeedingInput() const { return FInput.AvailableBytes() == 0; }
  bool IsNeedingDictionary() const { return FMode == imDictionary && FDictionaryRead; }
  bool IsFinished() const { return FMode == imFinished && FOutputWindow.Filled() == 0; }
  // The dictionary identifier while a dictionary is needed, else the Adler-32 of the output.
  uint32_t Adler() const { return IsNeedingDictionary() ? FReadAdler : FAdler.Value(); }
  int64_t TotalOut() const { return FTotalOut; }
  int64_t TotalIn() const { return FTotalIn - RemainingInput(); }
  int64_t RemainingInput() const { return static_cast<int64_t>(FInput.RemainingBytes()); }
  int Mode() const { return FMode; }

 private:
  bool Step();
  bool DecodeHuffman();
  bool DecodeFast();

  int FMode = imBlocks;
  uint32_t FReadAdler = 0;
  bool FDictionaryRead = false;
  unsigned FNeededBits = 0;
  uint32_t FRepLength = 0;
  uint32_t FRepDist = 0;
  uint32_t FUncomprLen = 0;
  bool FIsLastBlock = false;
  int64_t FTotalOut = 0;
  int64_t FTotalIn = 0;
  bool FNoHeader;
  bool FKeepAdler = true;
  int32_t FError = 0;
  TclInflateBuffer FInput;
  TclOutputWindow FOutputWindow;
  TclAdler32 FAdler;
  std::unique_ptr<TclInflaterHeader> FDynHeader;
  const TclInflaterHuffmanTree* FLitlenTree = nullptr;
  const TclInflaterHuffmanTree* FDistTree = nullptr;
  std::unique_ptr<TclInflaterHuffmanTree> FOwnLitlenTree;
  std::unique_ptr<TclInflaterHuffmanTree> FOwnDistTree;
};

}  // namespace netlib

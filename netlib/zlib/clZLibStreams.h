// The gzip decoding stream (RFC 1952): compressed bytes are written in, decoded bytes go on to a
// destination stream as soon as they are decoded.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>

#include "netlib/zlib/clChecksum.h"
#include "netlib/zlib/clInflate.h"
#include "rtl/Classes.h"

namespace netlib {

// A destination that lends its memory to a decoding stream, which then decodes straight into it
// instead of writing each round (sparing a copy of all the output). The memory is one block:
// the bytes written so far, then free room.
class IclDirectOutput {
 public:
  virtual ~IclDirectOutput() = default;
  // The free room right after the bytes written so far, at least AMin bytes (ARoom set to all
  // there is), or null when it cannot offer that much. The block may move or grow here, its
  // bytes kept; the room's content is undefined until committed.
  virtual uint8_t* DirectSpace(size_t AMin, size_t& ARoom) = 0;
  // The first ACount bytes of the room now belong to the written bytes.
  virtual void DirectCommit(size_t ACount) = 0;
};

class TclGZipInflateStream : public rtl::TStream {
 public:
  // ADestination receives the decoded bytes; it is not owned and must outlive this stream. When
  // it is also an IclDirectOutput, each member is decoded straight into its memory while it has
  // room to offer, and written to it once it has not.
  explicit TclGZipInflateStream(rtl::TStream* ADestination);
  ~TclGZipInflateStream() override;

  // Nothing can be read.
  int64_t Read(void* ABuffer, int64_t ACount) override { return 0; }
  // Consumes all ACount bytes and answers ACount, or raises EclZLibError (or the destination's
  // exception). After an exception every later write raises it again.
  int64_t Write(const void* ABuffer, int64_t ACount) override;
  // Only the current position (the number of bytes written) is a valid target; any other raises
  // "Invalid Stream operation".
  int64_t Seek(int64_t AOffset, rtl::TSeekOrigin AOrigin) override;

  // True when nothing was written or every member written so far is complete (its trailer
  // checked), so a body that ends here is not truncated. Bytes after a member that do not start
  // with the gzip magic are ignored, as gzip ignores trailing garbage, and leave this true.
  bool IsAtMemberBoundary() const;

 private:
  enum THeaderStep { hsFixed, hsExtraLen, hsExtra, hsName, hsComment, hsHeaderCrc, hsDone };

  void StartMember();
  bool ParseHeader(const uint8_t* ABuffer, size_t& APos, size_t ACount);
  THeaderStep NextHeaderStep(THeaderStep AAfter) const;
  bool DecodeContent(const uint8_t* ABuffer, size_t& APos, size_t ACount);
  // Decodes one piece; answers whether the compressed data ended in it, and then how many of
  // its bytes it used.
  bool DecodePiece(const uint8_t* AData, size_t ALen, size_t& AUsed);
  bool ReadTrailer(const uint8_t* ABuffer, size_t& APos, size_t ACount);
  void OfferDirectRoom();
  void WriteImpl(const uint8_t* ABuffer, size_t ACount);

  TclInflater FInflater{true};
  rtl::TStream* FDestination;
  IclDirectOutput* FDirect;         // the destination, when it lends its memory
  enum { dmOff, dmStart, dmOn } FDirectMode = dmOff;  // for the current member
  TclCrc32 FFileCrc;
  uint32_t FFileSize = 0;           // modulo 2^32, as the trailer stores it
  uint8_t FRawData[8] = {};         // trailer bytes gathered
  size_t FRawDataSize = 0;
  bool FIsContent = false;
  bool FIsTrailer = false;
  uint64_t FTotalWritten = 0;
  uint8_t FRawBytes[10] = {};       // bytes held back from the decoder (at most 3 used)
  size_t FRawBytesSize = 0;

  // Header parsing, incremental so a long name costs neither memory nor repeated work.
  THeaderStep FHeaderStep = hsFixed;
  size_t FHeaderPos = 0;            // bytes of the current header step taken
  uint8_t FHeaderFlags = 0;
  uint32_t FHeaderSkip = 0;         // extra-field bytes still to skip
  bool FCheckMagic = false;         // members after the first must start with 1F 8B
  bool FIgnoreRest = false;         // trailing garbage after a member
  std::exception_ptr FFailure;
  // Decoded bytes go to the destination in writes of at most this many.
  static constexpr size_t kOutputRound = 16384;
};

// The "deflate" coding of HTTP: zlib data (RFC 1950), its Adler-32 checked. Data whose first
// two bytes are not a zlib header is decoded as raw deflate data (RFC 1951), as some servers
// send it. Decoded bytes go on to the destination as they are decoded; bytes after the end of the
// data are ignored.
class TclDeflateInflateStream : public rtl::TStream {
 public:
  // ADestination receives the decoded bytes; it is not owned and must outlive this stream.
  explicit TclDeflateInflateStream(rtl::TStream* ADestination);
  ~TclDeflateInflateStream() override;

  int64_t Read(void* ABuffer, int64_t ACount) override { return 0; }
  // Consumes all ACount bytes and answers ACount, or raises EclZLibError (or the destination's
  // exception). After an exception every later write raises it again.
  int64_t Write(const void* ABuffer, int64_t ACount) override;
  // As for the gzip stream: only the number of bytes written is a valid target.
  int64_t Seek(int64_t AOffset, rtl::TSeekOrigin AOrigin) override;

  // True when the compressed data has ended (for zlib data, its checksum checked).
  bool IsFinished() const { return FFinished; }

 private:
  void Decode(const uint8_t* AData, size_t ALen);

  rtl::TStream* FDestination;
  std::unique_ptr<TclInflater> FInflater;  // made once the first two bytes tell zlib from raw
  uint8_t FFirst = 0;                      // the first byte, until the second arrives
  bool FHaveFirst = false;
  bool FFinished = false;
  uint64_t FTotalWritten = 0;
  std::exception_ptr FFailure;
  uint8_t FOut[16384];
};

}  // namespace netlib

// The two helper streams of an HTTP exchange: a sink that discards what is written, and a
// write-through decoder of chunked transfer coding.
#pragma once

#include <cstdint>

#include "rtl/Classes.h"
#include "rtl/Exception.h"

namespace netlib {

// Raised by the helper streams: a seek they cannot do, a chunked body that cannot be decoded.
class EclStreamError : public rtl::EStreamError {
 public:
  using EStreamError::EStreamError;
  const char* ClassName() const noexcept override { return "EclStreamError"; }
};

extern const char16_t* const InvalidStreamOperation;  // "Invalid Stream operation"

class TclNullStream : public rtl::TStream {
 public:
  int64_t Read(void* ABuffer, int64_t ACount) override { return 0; }
  int64_t Write(const void* ABuffer, int64_t ACount) override { return ACount; }
  int64_t Seek(int64_t AOffset, rtl::TSeekOrigin AOrigin) override { return 0; }
  void SetSize(int64_t ANewSize) override {}
};

// Decodes chunked transfer coding written to it into the destination. The whole trailer (up to
// its empty line) is consumed, so nothing of it is left for a later response. Bytes after the
// end of the chunked body are dropped.
class TclChunkedStream : public rtl::TStream {
 public:
  // ADestination is not owned and must not be null.
  explicit TclChunkedStream(rtl::TStream* ADestination);

  int64_t Read(void* ABuffer, int64_t ACount) override { return 0; }
  // Consumes all ACount bytes; raises EclStreamError for a size line without hexadecimal digits,
  // a size beyond 0x7FFFFFFF, a size or trailer line longer than 8192 bytes, or chunk data not
  // followed by CR LF.
  int64_t Write(const void* ABuffer, int64_t ACount) override;
  // Only the count of bytes written is a valid target.
  int64_t Seek(int64_t AOffset, rtl::TSeekOrigin AOrigin) override;
  void SetSize(int64_t ANewSize) override {}

  bool IsCompleted() const { return FIsCompleted; }

 private:
  enum TState { csSizeLine, csData, csDataEnd, csTrailer };
  void ReadSizeLine(const uint8_t* AData, int64_t ACount, int64_t& APos);
  void ReadTrailer(const uint8_t* AData, int64_t ACount, int64_t& APos);

  rtl::TStream* FDestination;
  TState FState = csSizeLine;
  rtl::String FChunkSizeStr;
  bool FSizeDigitsEnded = false;  // a non-digit ended the run of digits of the current line
  int FLineLength = 0;            // bytes of the current size or trailer line (or of the CR LF after data) so far
  int32_t FChunkSize = 0;
  int32_t FChunkWritten = 0;
  bool FIsCompleted = false;
  int64_t FTotalWritten = 0;
};

}  // namespace netlib

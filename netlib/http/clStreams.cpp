#include "netlib/http/clStreams.h"

#include <algorithm>

namespace netlib {

const char16_t* const InvalidStreamOperation = u"Invalid Stream operation";

namespace {
constexpr int MaxLineLength = 8192;

int HexValue(uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}
}  // namespace

TclChunkedStream::TclChunkedStream(rtl::TStream* ADestination) : FDestination(ADestination) {
  rtl::Assert(ADestination != nullptr, u"Assertion failure");
}

int64_t TclChunkedStream::Write(const void* ABuffer, int64_t ACount) {
  if (ACount <= 0) return 0;
  FTotalWritten += ACount;
  const uint8_t* data = static_cast<const uint8_t*>(ABuffer);
  int64_t pos = 0;
  while (pos < ACount && !FIsCompleted) {
    switch (FState) {
      case csSizeLine:
        ReadSizeLine(data, ACount, pos);
        break;
      case csData: {
        int64_t n = std::min<int64_t>(int64_t(FChunkSize) - FChunkWritten, ACount - pos);
        FDestination->WriteBuffer(data + pos, n);
        FChunkWritten += static_cast<int32_t>(n);
        pos += n;
        if (FChunkWritten >= FChunkSize) FState = csDataEnd;
        break;
      }
      case csDataEnd:
        // The data is followed by CR LF and nothing else: a byte more or less than the size
        // said would otherwise go unnoticed.
        if (data[pos] != (FLineLength == 0 ? '\r' : '\n'))
          throw EclStreamError(u"Invalid chunked body: chunk data is not followed by CR LF");
        ++pos;
        if (++FLineLength == 2) {
          FLineLength = 0;
          FState = csSizeLine;
        }
        break;
      case csTrailer:
        ReadTrailer(data, ACount, pos);
        break;
    }
  }
  return ACount;
}

void TclChunkedStream::ReadSizeLine(const uint8_t* AData, int64_t ACount, int64_t& APos) {
  while (APos < ACount) {
    uint8_t c = AData[APos++];
    if (c == '\n') {
      if (FChunkSizeStr.empty()) throw EclStreamError(u"Invalid chunked body: a chunk size line has no size");
      int64_t size = 0;
      for (char16_t d : FChunkSizeStr) size = size * 16 + HexValue(static_cast<uint8_t>(d));
      FChunkSize = static_cast<int32_t>(size);
      FChunkWritten = 0;
      FChunkSizeStr.clear();
      FSizeDigitsEnded = false;
      FLineLength = 0;
      FState = FChunkSize == 0 ? csTrailer : csData;
      return;
    }
    if (++FLineLength > MaxLineLength) throw EclStreamError(u"Invalid chunked body: a chunk size line is too long");
    if (FSizeDigitsEnded) continue;
    if (HexValue(c) < 0) {
      FSizeDigitsEnded = true;
      continue;
    }
    if (FChunkSizeStr.empty() && c == '0') {
      FChunkSizeStr = u"0";
      continue;
    }
    if (FChunkSizeStr == u"0") FChunkSizeStr.clear();
    FChunkSizeStr += static_cast<char16_t>(c);
    if (FChunkSizeStr.size() > 8 || (FChunkSizeStr.size() == 8 && HexValue(static_cast<uint8_t>(FChunkSizeStr[0])) > 7))
      throw EclStreamError(u"Invalid chunked body: a chunk size is larger than 0x7FFFFFFF");
  }
}

void TclChunkedStream::ReadTrailer(const uint8_t* AData, int64_t ACount, int64_t& APos) {
  // Trailer fields up to the empty line that ends the body; their content is not used.
  while (APos < ACount) {
    uint8_t c = AData[APos++];
    if (c == '\n') {
      if (FLineLength == 0) {
        FIsCompleted = true;
        return;
      }
      FLineLength = 0;
      continue;
    }
    if (c == '\r' && FLineLength == 0) continue;  // CR of an empty line
    ++FLineLength;
    if (FLineLength > MaxLineLength) throw EclStreamError(u"Invalid chunked body: a trailer line is too long");
  }
}

int64_t TclChunkedStream::Seek(int64_t AOffset, rtl::TSeekOrigin AOrigin) {
  int64_t target = AOrigin == rtl::soBeginning ? AOffset : FTotalWritten + AOffset;
  if (target != FTotalWritten) throw EclStreamError(InvalidStreamOperation);
  return target;
}

}  // namespace netlib

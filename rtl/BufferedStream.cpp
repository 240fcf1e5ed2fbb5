#include "rtl/BufferedStream.h"

#include <algorithm>

namespace rtl {

TBufferedWriteStream::TBufferedWriteStream(TStream& ATarget, size_t ACapacity)
    : FTarget(ATarget), FCapacity(ACapacity), FPosition(ATarget.Position()) {}

int64_t TBufferedWriteStream::Read(void*, int64_t) { return 0; }

int64_t TBufferedWriteStream::Write(const void* ABuffer, int64_t ACount) {
  if (ACount <= 0) return 0;
  const auto* p = static_cast<const uint8_t*>(ABuffer);
  if (FBuffer.size() + static_cast<size_t>(ACount) > FCapacity) Flush();
  if (static_cast<size_t>(ACount) >= FCapacity)
    FTarget.WriteBuffer(p, ACount);  // larger than the buffer: straight through
  else {
    // The buffer grows by doubling up to its capacity: a small file never asks for all of it,
    // which cost a trip to the system (brk) per file for a thousand small ones.
    const size_t need = FBuffer.size() + static_cast<size_t>(ACount);
    if (need > FBuffer.capacity())
      FBuffer.reserve(std::min(FCapacity, std::max({need, 2 * FBuffer.capacity(), MinimumCapacity})));
    FBuffer.insert(FBuffer.end(), p, p + ACount);
  }
  FPosition += ACount;
  return ACount;
}

int64_t TBufferedWriteStream::Seek(int64_t AOffset, TSeekOrigin AOrigin) {
  if (AOrigin == soCurrent && AOffset == 0) return FPosition;
  Flush();
  return FPosition = FTarget.Seek(AOffset, AOrigin);
}

void TBufferedWriteStream::SetSize(int64_t ANewSize) {
  Flush();
  FTarget.SetSize(ANewSize);
  FPosition = FTarget.Position();
}

void TBufferedWriteStream::Flush() {
  if (FBuffer.empty()) return;
  // Emptied whatever the write does: a failed write raises, and the bytes are not written twice
  // by a later flush. The memory is kept for the next bytes.
  struct TEmpty {
    std::vector<uint8_t>& Buffer;
    ~TEmpty() { Buffer.clear(); }
  } empty{FBuffer};
  FTarget.WriteBuffer(FBuffer.data(), static_cast<int64_t>(FBuffer.size()));
}

}  // namespace rtl

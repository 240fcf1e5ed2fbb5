#include "rtl/BufferedStream.h"

namespace rtl {

TBufferedWriteStream::TBufferedWriteStream(TStream& ATarget, size_t ACapacity)
    : FTarget(ATarget), FCapacity(ACapacity), FPosition(ATarget.Position()) {
  FBuffer.reserve(FCapacity);
}

int64_t TBufferedWriteStream::Read(void*, int64_t) { return 0; }

int64_t TBufferedWriteStream::Write(const void* ABuffer, int64_t ACount) {
  if (ACount <= 0) return 0;
  const auto* p = static_cast<const uint8_t*>(ABuffer);
  if (FBuffer.size() + static_cast<size_t>(ACount) > FCapacity) Flush();
  if (static_cast<size_t>(ACount) >= FCapacity)
    FTarget.WriteBuffer(p, ACount);  // larger than the buffer: straight through
  else
    FBuffer.insert(FBuffer.end(), p, p + ACount);
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
  // Emptied first: a failed write raises, and the bytes are not written twice by a later flush.
  std::vector<uint8_t> held;
  held.swap(FBuffer);
  FBuffer.reserve(FCapacity);
  FTarget.WriteBuffer(held.data(), static_cast<int64_t>(held.size()));
}

}  // namespace rtl

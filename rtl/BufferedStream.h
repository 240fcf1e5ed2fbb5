// Gathers small writes into large ones: an HTTP body arrives one receive (8 KiB by default) at a
// time, and a write to the file for each cost as much system time as the receives.
#pragma once

#include <cstdint>
#include <vector>

#include "rtl/Classes.h"

namespace rtl {

class TBufferedWriteStream : public TStream {
 public:
  static constexpr size_t DefaultCapacity = 256 * 1024;
  static constexpr size_t MinimumCapacity = 16 * 1024;  // the first size of the buffer
  explicit TBufferedWriteStream(TStream& ATarget, size_t ACapacity = DefaultCapacity);
  // Nothing is flushed here: a failed final write must reach the caller, so Flush is part of
  // the writing (what is still held when the stream is dropped is lost).
  ~TBufferedWriteStream() override = default;

  int64_t Read(void* ABuffer, int64_t ACount) override;
  // Raises EWriteError as the target does when a write that empties the buffer fails.
  int64_t Write(const void* ABuffer, int64_t ACount) override;
  // Asking the position costs nothing; any other seek writes what is held first.
  int64_t Seek(int64_t AOffset, TSeekOrigin AOrigin) override;
  // Writes what is held, then sizes the target; the position follows the target's.
  void SetSize(int64_t ANewSize) override;
  // Writes what is held to the target; raises when that fails.
  void Flush();

 private:
  TStream& FTarget;
  size_t FCapacity;
  int64_t FPosition;
  std::vector<uint8_t> FBuffer;
};

}  // namespace rtl

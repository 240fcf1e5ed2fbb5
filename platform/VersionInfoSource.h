// Internal to the version reader: positioned reads over an image, and the block found in one.
#pragma once

#include <cstddef>
#include <cstdint>

#include "rtl/SysUtils.h"

namespace platform {

// Positioned reads over a file or a memory image; every read is checked against the size, so a
// header that points past the end is an error and never a read outside the data.
class TSource {
 public:
  virtual ~TSource() = default;
  virtual bool ReadAt(uint64_t offset, void* buffer, size_t count) = 0;
  uint64_t Size() const { return FSize; }

 protected:
  uint64_t FSize = 0;
};

// The version block of a PE or ELF image read through src; empty with error set as
// GetFileVersionInfoSizeW sets it.
rtl::Bytes VersionBlockFromSource(TSource& src, uint32_t& error);

}  // namespace platform

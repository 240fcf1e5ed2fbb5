// Finding a 7z archive inside a self-extracting executable: the window scan and header candidate
// that Windows stubs need, and the end of the ELF image for stubs made on Linux.
#pragma once

#include <cstdint>

#include "rtl/SysUtils.h"

namespace sevenzip {

// Random access to the bytes of the executable being checked.
class TSFXSource {
 public:
  virtual ~TSFXSource() = default;
  virtual int64_t Size() = 0;
  // Up to size bytes at offset; answers how many were read (0 past the end or on failure).
  virtual uint32_t ReadAt(int64_t offset, void* buffer, uint32_t size) = 0;
};

// Where the embedded archive starts, or -1 when none was found.
int64_t FindEmbeddedArchive(TSFXSource& source);

// The end of an ELF image (its last header table or section byte), or -1 when the bytes do not
// begin with a readable ELF header.
int64_t ElfImageEnd(TSFXSource& source);

constexpr uint8_t k7zSignature[6] = {0x37, 0x7A, 0xBC, 0xAF, 0x27, 0x1C};
constexpr int64_t kSFXScanStart = 65536;
constexpr uint32_t kSFXScanSize = 81920;

}  // namespace sevenzip

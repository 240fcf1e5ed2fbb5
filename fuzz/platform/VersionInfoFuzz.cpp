// Any bytes, taken as a PE or ELF file and as a version block on their own: the reader answers a
// block or an error, and every value a query answers lies inside the block it was asked about.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "platform/VersionInfo.h"

namespace {

const char16_t* const kPaths[] = {
    u"\\",
    u"",
    u"\\StringFileInfo\\040904E4\\TVERSION",
    u"\\StringFileInfo\\040904E4\\ProductVersion",
    u"\\stringfileinfo\\040904e4",
    u"\\VarFileInfo\\Translation",
    u"\\\\StringFileInfo\\\\",
    u"\\A\\B\\C\\D\\E",
};

volatile uint8_t gSink;

void QueryAll(const uint8_t* block, size_t size) {
  for (const char16_t* path : kPaths) {
    const uint8_t* p = nullptr;
    uint32_t len = 0;
    if (!platform::VerQueryValueIn(block, size, path, &p, &len)) continue;
    if (p < block || p > block + size || len > static_cast<size_t>(block + size - p)) std::abort();
    uint8_t x = 0;
    for (uint32_t i = 0; i < len; ++i) x ^= p[i];
    gSink = x;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  uint32_t error = 0;
  rtl::Bytes block = platform::VersionBlockFromImage(data, size, error);
  if (!block.empty()) {
    if (error != 0) std::abort();
    QueryAll(block.data(), block.size());
    // The buffer form relies on the block's own length, which the reader has checked.
    const void* p = nullptr;
    uint32_t len = 0;
    if (platform::VerQueryValueW(block.data(), u"\\", &p, &len) &&
        static_cast<const uint8_t*>(p) + len > block.data() + block.size())
      std::abort();
  } else if (error == 0) {
    std::abort();
  }
  QueryAll(data, size);
  return 0;
}

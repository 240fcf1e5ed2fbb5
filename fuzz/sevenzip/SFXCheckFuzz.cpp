// SFXCheck over arbitrary executables: the window scan, the PE header candidate and the ELF image
// end must never read out of bounds, and an answer must point at a 7z signature inside the file.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "sevenzip/SFXCheck.h"

namespace {
class TBytes : public sevenzip::TSFXSource {
 public:
  TBytes(const uint8_t* d, size_t n) : FData(d), FSize(n) {}
  int64_t Size() override { return static_cast<int64_t>(FSize); }
  uint32_t ReadAt(int64_t off, void* buf, uint32_t n) override {
    if (off < 0 || static_cast<uint64_t>(off) >= FSize) return 0;
    size_t k = FSize - static_cast<size_t>(off);
    if (k > n) k = n;
    std::memcpy(buf, FData + off, k);
    return static_cast<uint32_t>(k);
  }

 private:
  const uint8_t* FData;
  size_t FSize;
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TBytes src(data, size);
  int64_t at = sevenzip::FindEmbeddedArchive(src);
  if (at >= 0) {
    if (static_cast<uint64_t>(at) + 6 > size || std::memcmp(data + at, sevenzip::k7zSignature, 6) != 0) std::abort();
  }
  int64_t end = sevenzip::ElfImageEnd(src);
  if (end > static_cast<int64_t>(size)) std::abort();
  return 0;
}

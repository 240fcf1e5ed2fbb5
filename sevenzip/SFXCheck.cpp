#include "sevenzip/SFXCheck.h"

#include <cstring>
#include <vector>

namespace sevenzip {

namespace {

bool SignatureAt(TSFXSource& src, int64_t offset) {
  uint8_t b[6];
  return offset >= 0 && src.ReadAt(offset, b, 6) == 6 && std::memcmp(b, k7zSignature, 6) == 0;
}

bool ReadU32(TSFXSource& src, int64_t offset, uint32_t& v) {
  uint8_t b[4];
  if (src.ReadAt(offset, b, 4) != 4) return false;
  v = uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
  return true;
}

bool ReadU16(TSFXSource& src, int64_t offset, uint16_t& v) {
  uint8_t b[2];
  if (src.ReadAt(offset, b, 2) != 2) return false;
  v = uint16_t(b[0] | b[1] << 8);
  return true;
}

// Reads an unsigned field of the ELF file's own width and byte order.
struct ElfReader {
  const uint8_t* p;
  bool big;
  uint64_t Get(size_t off, size_t width) const {
    uint64_t v = 0;
    for (size_t i = 0; i < width; ++i) {
      size_t k = big ? i : width - 1 - i;
      v = (v << 8) | p[off + k];
    }
    return v;
  }
};

}  // namespace

int64_t ElfImageEnd(TSFXSource& src) {
  uint8_t h[64];
  uint32_t got = src.ReadAt(0, h, sizeof h);
  if (got < 52 || h[0] != 0x7F || h[1] != 'E' || h[2] != 'L' || h[3] != 'F') return -1;
  bool is64 = h[4] == 2;
  if ((h[4] != 1 && h[4] != 2) || (h[5] != 1 && h[5] != 2) || (is64 && got < 64)) return -1;
  ElfReader r{h, h[5] == 2};
  size_t w = is64 ? 8 : 4;
  uint64_t phoff = r.Get(is64 ? 32 : 28, w), shoff = r.Get(is64 ? 40 : 32, w);
  size_t base = is64 ? 54 : 42;
  uint64_t phentsize = r.Get(base, 2), phnum = r.Get(base + 2, 2);
  uint64_t shentsize = r.Get(base + 4, 2), shnum = r.Get(base + 6, 2);
  int64_t size = src.Size();
  if (size <= 0) return -1;
  const uint64_t limit = static_cast<uint64_t>(size);
  uint64_t end = is64 ? 64 : 52;
  // Every table and every piece it describes must lie inside the file; anything else is no image.
  auto extend = [&](uint64_t off, uint64_t len) {
    if (off > limit || len > limit - off) return false;
    if (off + len > end) end = off + len;
    return true;
  };
  if (phnum && !extend(phoff, phentsize * phnum)) return -1;
  if (shnum && !extend(shoff, shentsize * shnum)) return -1;
  size_t phMin = is64 ? 56 : 32, shMin = is64 ? 64 : 40;
  std::vector<uint8_t> e;
  if (phnum && phentsize >= phMin) {
    e.resize(phentsize);
    for (uint64_t i = 0; i < phnum; ++i) {
      if (src.ReadAt(int64_t(phoff + i * phentsize), e.data(), uint32_t(phentsize)) != phentsize) return -1;
      ElfReader q{e.data(), r.big};
      uint64_t off = q.Get(is64 ? 8 : 4, w), filesz = q.Get(is64 ? 32 : 16, w);
      if (filesz && !extend(off, filesz)) return -1;
    }
  }
  if (shnum && shentsize >= shMin) {
    e.resize(shentsize);
    for (uint64_t i = 0; i < shnum; ++i) {
      if (src.ReadAt(int64_t(shoff + i * shentsize), e.data(), uint32_t(shentsize)) != shentsize) return -1;
      ElfReader q{e.data(), r.big};
      uint64_t type = q.Get(4, 4);
      uint64_t off = q.Get(is64 ? 24 : 16, w), sz = q.Get(is64 ? 32 : 20, w);
      if (type != 8 /* SHT_NOBITS occupies no file bytes */ && type != 0 && sz && !extend(off, sz)) return -1;
    }
  }
  return static_cast<int64_t>(end);
}

int64_t FindEmbeddedArchive(TSFXSource& src) {
  // An ELF stub (7z a -sfx on Linux) ends exactly where the archive begins.
  int64_t elfEnd = ElfImageEnd(src);
  if (elfEnd > 0 && SignatureAt(src, elfEnd)) return elfEnd;

  std::vector<uint8_t> window(kSFXScanSize);
  uint32_t got = src.ReadAt(kSFXScanStart, window.data(), kSFXScanSize);
  for (uint32_t i = 0; i + 6 <= got; ++i)
    if (window[i] == k7zSignature[0] && std::memcmp(&window[i], k7zSignature, 6) == 0) return kSFXScanStart + i;

  // The header candidate: the raw-data pointer of the section entry just past the last one.
  uint32_t lfanew;
  uint16_t sections;
  if (!ReadU32(src, 60, lfanew) || !ReadU16(src, int64_t(lfanew) + 6, sections)) return -1;
  uint32_t candidate;
  if (!ReadU32(src, int64_t(lfanew) + 248 + 40 * (int64_t(sections) + 1) - 20, candidate)) return -1;
  uint32_t size32 = static_cast<uint32_t>(src.Size());
  if (candidate != size32 && SignatureAt(src, candidate)) return candidate;
  return -1;
}

}  // namespace sevenzip

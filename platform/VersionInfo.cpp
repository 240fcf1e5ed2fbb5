// The version block of PE and ELF images, and the look-ups inside a block.
#include "platform/VersionInfo.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/LastError.h"
#include "platform/VersionInfoSource.h"

namespace platform {

namespace {

constexpr uint32_t kMaxBlock = 0xFFFF;  // wLength is 16 bits wide

class TMemorySource : public TSource {
 public:
  TMemorySource(const uint8_t* data, size_t size) : FData(data) { FSize = size; }
  bool ReadAt(uint64_t offset, void* buffer, size_t count) override {
    if (offset > FSize || count > FSize - offset) return false;
    if (count) std::memcpy(buffer, FData + offset, count);
    return true;
  }

 private:
  const uint8_t* FData;
};

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
uint64_t Le64(const uint8_t* p) { return Le32(p) | (static_cast<uint64_t>(Le32(p + 4)) << 32); }

// The block at [offset, offset + available): its own length must fit.
rtl::Bytes ReadBlock(TSource& src, uint64_t offset, uint64_t available, uint32_t& error) {
  uint8_t head[6];
  if (available < 6 || !src.ReadAt(offset, head, 6)) {
    error = ERROR_RESOURCE_DATA_NOT_FOUND;
    return {};
  }
  uint32_t length = Le16(head);
  if (length < 6 || length > available) {
    error = ERROR_RESOURCE_DATA_NOT_FOUND;
    return {};
  }
  rtl::Bytes block(length);
  if (!src.ReadAt(offset, block.data(), length)) {
    error = ERROR_RESOURCE_DATA_NOT_FOUND;
    return {};
  }
  error = ERROR_SUCCESS;
  return block;
}

// --- PE ---------------------------------------------------------------------------------------

struct TPeSection {
  uint32_t VirtualAddress, VirtualSize, RawSize, RawPointer;
};

class TPeImage {
 public:
  explicit TPeImage(TSource& src) : FSrc(src) {}

  rtl::Bytes VersionBlock(uint32_t& error) {
    error = ERROR_BAD_EXE_FORMAT;
    uint8_t dos[64];
    if (!FSrc.ReadAt(0, dos, sizeof dos) || dos[0] != 'M' || dos[1] != 'Z') return {};
    uint64_t pe = Le32(dos + 0x3C);
    uint8_t coff[24];
    if (!FSrc.ReadAt(pe, coff, sizeof coff) || std::memcmp(coff, "PE\0\0", 4) != 0) return {};
    uint16_t sections = Le16(coff + 6);
    uint16_t optSize = Le16(coff + 20);
    std::vector<uint8_t> opt(optSize);
    if (optSize < 2 || !FSrc.ReadAt(pe + 24, opt.data(), optSize)) return {};
    uint16_t magic = Le16(opt.data());
    size_t countAt, dirsAt;
    if (magic == 0x10B) {
      countAt = 92, dirsAt = 96;
    } else if (magic == 0x20B) {
      countAt = 108, dirsAt = 112;
    } else {
      return {};
    }
    FSections.reserve(sections);
    for (uint16_t i = 0; i < sections; ++i) {
      uint8_t s[40];
      if (!FSrc.ReadAt(pe + 24 + optSize + 40ull * i, s, sizeof s)) return {};
      FSections.push_back({Le32(s + 12), Le32(s + 8), Le32(s + 16), Le32(s + 20)});
    }
    error = ERROR_RESOURCE_TYPE_NOT_FOUND;
    const size_t resourceDir = 2;
    if (countAt + 4 > optSize || Le32(opt.data() + countAt) <= resourceDir) return {};
    if (dirsAt + resourceDir * 8 + 8 > optSize) return {};
    FRoot = Le32(opt.data() + dirsAt + resourceDir * 8);
    if (FRoot == 0) return {};

    // Type RT_VERSION (16), then name VS_VERSION_INFO (1) or else the first name, then the
    // neutral language, US English or else the first language.
    uint32_t typeDir, nameDir, dataEntry;
    if (!Lookup(0, [](uint32_t id) { return id == 16 ? 2 : 0; }, true, typeDir)) return {};
    if (!Lookup(typeDir, [](uint32_t id) { return id == 1 ? 2 : 1; }, true, nameDir))
      return {};
    if (!Lookup(nameDir,
                [](uint32_t id) { return id == 0 ? 3 : id == 0x409 ? 2 : 1; },
                false, dataEntry))
      return {};
    uint8_t entry[16];
    error = ERROR_RESOURCE_DATA_NOT_FOUND;
    uint64_t off;
    if (!RvaToOffset(FRoot + dataEntry, sizeof entry, off) || !FSrc.ReadAt(off, entry, sizeof entry)) return {};
    uint32_t dataRva = Le32(entry), dataSize = Le32(entry + 4);
    if (!RvaToOffset(dataRva, std::min<uint32_t>(dataSize, 6), off)) return {};
    // The data may be shorter in the file than the entry says; only what the section holds counts.
    uint64_t available = std::min<uint64_t>(dataSize, Avail(dataRva));
    return ReadBlock(FSrc, off, available, error);
  }

 private:
  // Picks the best-scoring entry of the directory at dirOffset (relative to the resource root),
  // the first one among equals; entries with string names never match. wantDir: the entry must be a sub-directory.
  template <class Score>
  bool Lookup(uint32_t dirOffset, Score score, bool wantDir, uint32_t& target) {
    uint8_t head[16];
    uint64_t off;
    if (!RvaToOffset(FRoot + static_cast<uint64_t>(dirOffset), sizeof head, off) ||
        !FSrc.ReadAt(off, head, sizeof head))
      return false;
    size_t count = static_cast<size_t>(Le16(head + 12)) + Le16(head + 14);
    int best = 0;
    for (size_t i = 0; i < count; ++i) {
      uint8_t e[8];
      uint64_t eoff;
      if (!RvaToOffset(FRoot + static_cast<uint64_t>(dirOffset) + 16 + 8 * i, sizeof e, eoff) ||
          !FSrc.ReadAt(eoff, e, sizeof e))
        return false;
      uint32_t name = Le32(e), data = Le32(e + 4);
      if (name & 0x80000000u) continue;
      if (static_cast<bool>(data & 0x80000000u) != wantDir) continue;
      int s = score(name);
      if (s > best) {
        best = s;
        target = data & 0x7FFFFFFFu;
      }
    }
    return best > 0;
  }

  // Bytes of raw data from rva to the end of its section.
  uint64_t Avail(uint64_t rva) const {
    for (const TPeSection& s : FSections)
      if (rva >= s.VirtualAddress && rva - s.VirtualAddress < s.RawSize) return s.RawSize - (rva - s.VirtualAddress);
    return 0;
  }

  bool RvaToOffset(uint64_t rva, uint64_t length, uint64_t& offset) const {
    for (const TPeSection& s : FSections) {
      if (rva < s.VirtualAddress) continue;
      uint64_t delta = rva - s.VirtualAddress;
      if (delta >= s.RawSize || length > s.RawSize - delta) continue;
      offset = s.RawPointer + delta;
      return true;
    }
    return false;
  }

  TSource& FSrc;
  std::vector<TPeSection> FSections;
  uint64_t FRoot = 0;
};

// --- ELF --------------------------------------------------------------------------------------

class TElfImage {
 public:
  explicit TElfImage(TSource& src) : FSrc(src) {}

  rtl::Bytes VersionBlock(uint32_t& error) {
    error = ERROR_BAD_EXE_FORMAT;
    uint8_t h[64];
    if (!FSrc.ReadAt(0, h, 52) || std::memcmp(h, "\x7F" "ELF", 4) != 0) return {};
    F64 = h[4] == 2;
    FBig = h[5] == 2;
    if ((h[4] != 1 && h[4] != 2) || (h[5] != 1 && h[5] != 2)) return {};
    if (F64 && !FSrc.ReadAt(0, h, 64)) return {};
    uint64_t shoff = F64 ? U64(h + 0x28) : U32(h + 0x20);
    uint32_t shentsize = U16(h + (F64 ? 0x3A : 0x2E));
    uint64_t shnum = U16(h + (F64 ? 0x3C : 0x30));
    uint32_t shstrndx = U16(h + (F64 ? 0x3E : 0x32));
    error = ERROR_RESOURCE_TYPE_NOT_FOUND;
    const uint32_t minEnt = F64 ? 64 : 40;
    if (shoff == 0 || shentsize < minEnt) return {};
    // Large section counts and indexes live in section 0.
    uint8_t s0[64];
    if (!FSrc.ReadAt(shoff, s0, minEnt)) return {};
    if (shnum == 0) shnum = F64 ? U64(s0 + 0x20) : U32(s0 + 0x14);
    if (shstrndx == 0xFFFF) shstrndx = U32(s0 + (F64 ? 0x28 : 0x18));
    // The section table must lie in the file, which bounds the loop below.
    if (shnum == 0 || shnum > FSrc.Size() / shentsize || shstrndx >= shnum) return {};
    uint64_t strOff, strSize;
    uint32_t strType;
    if (!Section(shoff + static_cast<uint64_t>(shstrndx) * shentsize, nullptr, &strType, &strOff, &strSize)) return {};
    static const char kName[] = ".versioninfo";
    for (uint64_t i = 0; i < shnum; ++i) {
      uint32_t name, type;
      uint64_t off, size;
      if (!Section(shoff + i * shentsize, &name, &type, &off, &size)) return {};
      if (type == 8 /* SHT_NOBITS */ || name >= strSize) continue;
      char buf[sizeof kName];
      size_t n = static_cast<size_t>(std::min<uint64_t>(sizeof kName, strSize - name));
      if (n < sizeof kName || !FSrc.ReadAt(strOff + name, buf, n)) continue;
      if (std::memcmp(buf, kName, sizeof kName) != 0) continue;
      if (off > FSrc.Size()) break;
      return ReadBlock(FSrc, off, std::min<uint64_t>(size, FSrc.Size() - off), error);
    }
    return {};
  }

 private:
  bool Section(uint64_t at, uint32_t* name, uint32_t* type, uint64_t* off, uint64_t* size) {
    uint8_t s[64];
    if (!FSrc.ReadAt(at, s, F64 ? 64 : 40)) return false;
    if (name) *name = U32(s);
    *type = U32(s + 4);
    *off = F64 ? U64(s + 0x18) : U32(s + 0x10);
    *size = F64 ? U64(s + 0x20) : U32(s + 0x14);
    return true;
  }
  uint16_t U16(const uint8_t* p) const { return FBig ? static_cast<uint16_t>((p[0] << 8) | p[1]) : Le16(p); }
  uint32_t U32(const uint8_t* p) const {
    return FBig ? (static_cast<uint32_t>(U16(p)) << 16) | U16(p + 2) : Le32(p);
  }
  uint64_t U64(const uint8_t* p) const {
    return FBig ? (static_cast<uint64_t>(U32(p)) << 32) | U32(p + 4) : Le64(p);
  }

  TSource& FSrc;
  bool F64 = false, FBig = false;
};

}  // namespace

rtl::Bytes VersionBlockFromSource(TSource& src, uint32_t& error) {
  uint8_t magic[4];
  if (!src.ReadAt(0, magic, 4)) {
    error = ERROR_BAD_EXE_FORMAT;
    return {};
  }
  if (magic[0] == 'M' && magic[1] == 'Z') return TPeImage(src).VersionBlock(error);
  if (std::memcmp(magic, "\x7F" "ELF", 4) == 0) return TElfImage(src).VersionBlock(error);
  error = ERROR_BAD_EXE_FORMAT;
  return {};
}

namespace {

// --- The block's tree -------------------------------------------------------------------------

size_t Align4(size_t v) { return (v + 3) & ~static_cast<size_t>(3); }

struct TNode {
  size_t Start, End;         // the node's bytes
  size_t KeyStart, KeyEnd;   // key characters without the zero
  size_t Value, ValueBytes;  // value bytes
  uint16_t ValueLength, Type;
  size_t Children;           // first child
};

// Parses the node at start, which must end by limit.
bool ParseNode(const uint8_t* b, size_t start, size_t limit, TNode& n) {
  if (start > limit || limit - start < 6) return false;
  size_t length = Le16(b + start);
  if (length < 6 || length > limit - start) return false;
  n.Start = start;
  n.End = start + length;
  n.ValueLength = Le16(b + start + 2);
  n.Type = Le16(b + start + 4);
  n.KeyStart = start + 6;
  size_t p = n.KeyStart;
  while (true) {
    if (n.End - p < 2) return false;  // the key must end inside the node
    if (Le16(b + p) == 0) break;
    p += 2;
  }
  n.KeyEnd = p;
  n.Value = std::min(Align4(p + 2), n.End);
  // Text values count characters, binary ones bytes; a length that overruns the node is cut.
  size_t want = n.Type == 1 ? static_cast<size_t>(n.ValueLength) * 2 : n.ValueLength;
  n.ValueBytes = std::min(want, n.End - n.Value);
  n.Children = std::min(Align4(n.Value + n.ValueBytes), n.End);
  return true;
}

bool KeyEquals(const uint8_t* b, const TNode& n, std::u16string_view key) {
  if ((n.KeyEnd - n.KeyStart) / 2 != key.size()) return false;
  for (size_t i = 0; i < key.size(); ++i)
    if (rtl::UpCaseAscii(Le16(b + n.KeyStart + 2 * i)) != rtl::UpCaseAscii(key[i])) return false;
  return true;
}

}  // namespace

rtl::Bytes VersionBlockFromImage(const uint8_t* data, size_t size, uint32_t& error) {
  TMemorySource src(data, size);
  return VersionBlockFromSource(src, error);
}

bool VerQueryValueIn(const uint8_t* block, size_t size, std::u16string_view subBlock,
                     const uint8_t** buffer, uint32_t* len) {
  TNode node;
  if (block == nullptr || !ParseNode(block, 0, std::min<size_t>(size, kMaxBlock), node)) return false;
  size_t p = 0;
  while (p < subBlock.size()) {
    if (subBlock[p] == u'\\') {
      ++p;
      continue;
    }
    size_t q = subBlock.find(u'\\', p);
    if (q == std::u16string_view::npos) q = subBlock.size();
    std::u16string_view key = subBlock.substr(p, q - p);
    p = q;
    bool found = false;
    TNode child;
    for (size_t c = node.Children; c < node.End; ) {
      if (!ParseNode(block, c, node.End, child)) break;
      if (KeyEquals(block, child, key)) {
        found = true;
        break;
      }
      c = Align4(child.End);
    }
    if (!found) return false;
    node = child;
  }
  if (buffer) *buffer = block + node.Value;
  if (len) *len = static_cast<uint32_t>(node.Type == 1 ? node.ValueBytes / 2 : node.ValueBytes);
  return true;
}

}  // namespace platform

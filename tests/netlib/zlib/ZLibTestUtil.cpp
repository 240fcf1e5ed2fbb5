#include "ZLibTestUtil.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>

#include "netlib/zlib/clZLibBase.h"
#include "netlib/zlib/clZLibStreams.h"
#include "tests/HostCommand.h"

namespace zlibtest {

Bytes SampleText(size_t size, uint32_t seed) {
  static const char* words[] = {"the ",   "quick ", "brown ",   "fox ",    "jumps ",   "over ",
                                "lazy ",  "dog ",   "archive ", "update ", "version ", "server ",
                                "file\n", "data, ", "stream. ", "Header ", "gzip ",    "deflate "};
  std::mt19937 r(seed);
  Bytes out;
  while (out.size() < size) {
    const char* w = words[r() % 18];
    out.insert(out.end(), w, w + std::char_traits<char>::length(w));
    if (r() % 50 == 0) out.push_back(static_cast<uint8_t>('0' + r() % 10));
  }
  out.resize(size);
  return out;
}

Bytes SampleBinary(size_t size, uint32_t seed) {
  std::mt19937 r(seed);
  Bytes out;
  while (out.size() < size) {
    switch (r() % 4) {
      case 0:
        for (int i = 0, n = 50 + r() % 500; i < n; ++i) out.push_back(static_cast<uint8_t>(r()));
        break;
      case 1:
        out.insert(out.end(), 10 + r() % 300, static_cast<uint8_t>(r() % 3));
        break;
      case 2:
        if (out.size() > 1000) {
          size_t from = out.size() - 1 - r() % 900, len = 3 + r() % 258;
          for (size_t i = 0; i < len; ++i) out.push_back(out[from + i]);
        }
        break;
      default:
        for (uint32_t i = 0, v = r(); i < 40; ++i, v += 3) out.push_back(static_cast<uint8_t>(v));
    }
  }
  out.resize(size);
  return out;
}

// Each caller removes its folder when done with it.
std::string TempDir() {
  // Test programs run in parallel: each takes a name of its own once.
  static const std::string process = std::to_string(std::random_device{}());
  static std::atomic<int> n{0};
  std::string dir = std::string(KRV_BINARY_DIR) + "/zlib-test-tmp/" + process + "-" + std::to_string(n++);
  std::filesystem::create_directories(dir);
  return dir;
}

void WriteFile(const std::string& path, const Bytes& data) {
  std::ofstream f(path, std::ios::binary);
  f.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

Bytes ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

bool Run(const std::string& command) {
  int rc = krvtest::RunHostCommand(command);
  EXPECT_EQ(rc, 0) << command;
  return rc == 0;
}

static void ReplaceAll(std::string& s, const std::string& from, const std::string& to) {
  for (size_t p = s.find(from); p != std::string::npos; p = s.find(from, p + to.size()))
    s.replace(p, from.size(), to);
}

Bytes Encode(const std::string& commandTemplate, const Bytes& data) {
  std::string dir = TempDir();
  std::string in = dir + "/input.dat", out = dir + "/output.gz";
  WriteFile(in, data);
  std::string cmd = commandTemplate;
  ReplaceAll(cmd, "{in}", in);
  ReplaceAll(cmd, "{out}", out);
  Bytes made = Run(cmd) ? ReadFile(out) : Bytes();
  std::filesystem::remove_all(dir);
  return made;
}

Bytes Python(const std::string& script) {
  std::string dir = TempDir();
  std::string py = dir + "/make.py", out = dir + "/made.bin";
  WriteFile(py, Bytes(script.begin(), script.end()));
  Bytes made = Run("python3 " + py + " " + out) ? ReadFile(out) : Bytes();
  std::filesystem::remove_all(dir);
  return made;
}

void TBitWriter::Bits(uint32_t value, int n) {
  acc |= static_cast<uint64_t>(value & ((uint64_t(1) << n) - 1)) << count;
  count += n;
  while (count >= 8) {
    out.push_back(static_cast<uint8_t>(acc));
    acc >>= 8;
    count -= 8;
  }
}

void TBitWriter::Code(uint32_t code, int len) {
  for (int i = len - 1; i >= 0; --i) Bits((code >> i) & 1, 1);
}

void TBitWriter::AlignByte() {
  if (count) Bits(0, 8 - count);
}

Bytes TBitWriter::Finish() {
  AlignByte();
  return out;
}

std::vector<uint32_t> CanonicalCodes(const std::vector<uint8_t>& lens) {
  int count[16] = {};
  for (uint8_t l : lens) ++count[l];
  count[0] = 0;
  uint32_t next[16] = {};
  uint32_t code = 0;
  for (int b = 1; b < 16; ++b) {
    code = (code + count[b - 1]) << 1;
    next[b] = code;
  }
  std::vector<uint32_t> codes(lens.size());
  for (size_t s = 0; s < lens.size(); ++s)
    if (lens[s]) codes[s] = next[lens[s]]++;
  return codes;
}

namespace {

// Lends its memory up to a limit of output in all, a fresh block of the exact room each time (so
// the stream must follow memory that moves, and the sanitizer sees a write past the room); takes
// writes beyond the limit.
class TLendingSink : public rtl::TStream, public netlib::IclDirectOutput {
 public:
  explicit TLendingSink(size_t ALimit) : FLimit(ALimit) {}
  Bytes data;
  int64_t Read(void*, int64_t) override { return 0; }
  int64_t Write(const void* b, int64_t n) override {
    data.insert(data.end(), static_cast<const uint8_t*>(b), static_cast<const uint8_t*>(b) + n);
    return n;
  }
  int64_t Seek(int64_t, rtl::TSeekOrigin) override { return static_cast<int64_t>(data.size()); }
  uint8_t* DirectSpace(size_t AMin, size_t& ARoom) override {
    if (data.size() + AMin > FLimit) return nullptr;
    ARoom = std::min(FLimit - data.size(), std::max(AMin, data.size()));
    FBlock.reset(new uint8_t[data.size() + ARoom]);
    std::copy(data.begin(), data.end(), FBlock.get());
    return FBlock.get() + data.size();
  }
  void DirectCommit(size_t n) override {
    const uint8_t* room = FBlock.get() + data.size();
    data.insert(data.end(), room, room + n);
  }

 private:
  size_t FLimit;
  std::unique_ptr<uint8_t[]> FBlock;
};

}  // namespace

TDecodeResult GunzipPieces(const Bytes& data, const std::vector<size_t>& pieces, size_t lendLimit) {
  TDecodeResult r;
  rtl::TMemoryStream memory;
  TLendingSink lending(lendLimit);
  rtl::TStream& dest = lendLimit ? static_cast<rtl::TStream&>(lending) : memory;
  netlib::TclGZipInflateStream s(&dest);
  try {
    size_t pos = 0, i = 0;
    do {
      size_t n = pieces.empty() ? 0 : pieces[i++ % pieces.size()];
      if (n == 0 || n > data.size() - pos) n = data.size() - pos;
      EXPECT_EQ(s.Write(data.data() + pos, static_cast<int64_t>(n)), static_cast<int64_t>(n));
      pos += n;
    } while (pos < data.size());
    EXPECT_EQ(s.Position(), static_cast<int64_t>(data.size()));
  } catch (const netlib::EclZLibError& e) {
    r.error = e.ErrorCode();
  }
  r.out = lendLimit ? lending.data : Bytes(memory.Memory(), memory.Memory() + memory.Size());
  r.boundary = s.IsAtMemberBoundary();
  return r;
}

TDecodeResult Gunzip(const Bytes& data) { return GunzipPieces(data, {}); }

TDecodeResult GunzipRandom(const Bytes& data, uint32_t seed, size_t maxPiece, size_t lendLimit) {
  std::mt19937 r(seed);
  std::vector<size_t> pieces;
  for (size_t total = 0; total < data.size();) {
    size_t n = 1 + r() % maxPiece;
    pieces.push_back(n);
    total += n;
  }
  return GunzipPieces(data, pieces, lendLimit);
}

TZlibResult ZlibInflate(const Bytes& data, bool raw) {
  TZlibResult r;
  z_stream zs{};
  inflateInit2(&zs, raw ? -15 : 15);
  uint8_t buf[4096];
  zs.next_in = const_cast<Bytef*>(data.data());
  zs.avail_in = static_cast<uInt>(data.size());
  for (;;) {
    zs.next_out = buf;
    zs.avail_out = sizeof(buf);
    int ret = inflate(&zs, Z_NO_FLUSH);
    r.out.insert(r.out.end(), buf, buf + (sizeof(buf) - zs.avail_out));
    if (ret == Z_STREAM_END) {
      r.accepted = true;
      break;
    }
    if (ret != Z_OK) {
      r.error = ret == Z_DATA_ERROR;
      break;
    }
  }
  inflateEnd(&zs);
  return r;
}

}  // namespace zlibtest

// Gzip decoding through TclGZipInflateStream against zlib's inflate (gzip mode), and the
// checksums against zlib's crc32 and adler32, on corpora made here, deterministically.
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "BenchUtil.h"
#include "netlib/zlib/clChecksum.h"
#include "netlib/zlib/clZLibStreams.h"

namespace {

constexpr size_t kCorpusSize = size_t(64) << 20;

struct TRandom {
  uint64_t s = 0x9E3779B97F4A7C15ull;
  uint64_t Next() {
    s ^= s << 13;
    s ^= s >> 7;
    s ^= s << 17;
    return s;
  }
};

// English-like text: words drawn with a skewed distribution from a fixed vocabulary, sentences,
// punctuation and line breaks.
std::vector<uint8_t> MakeText() {
  TRandom r;
  std::vector<std::string> words;
  for (int i = 0; i < 5000; ++i) {
    std::string w;
    int len = 2 + static_cast<int>(r.Next() % 9);
    for (int k = 0; k < len; ++k) w += static_cast<char>('a' + r.Next() % 26);
    words.push_back(w);
  }
  std::vector<uint8_t> out;
  out.reserve(kCorpusSize);
  size_t line = 0;
  bool capital = true;
  while (out.size() < kCorpusSize) {
    // Squaring a uniform value favours the first words, as in natural text.
    double u = static_cast<double>(r.Next() % 1000000) / 1000000.0;
    const std::string& w = words[static_cast<size_t>(u * u * u * words.size())];
    for (size_t i = 0; i < w.size(); ++i)
      out.push_back(static_cast<uint8_t>(i == 0 && capital ? w[i] - 32 : w[i]));
    capital = false;
    line += w.size() + 1;
    uint64_t p = r.Next() % 100;
    if (p < 7) {
      out.push_back('.');
      capital = true;
    } else if (p < 12) {
      out.push_back(',');
    }
    if (line > 72) {
      out.push_back('\n');
      line = 0;
    } else {
      out.push_back(' ');
    }
  }
  out.resize(kCorpusSize);
  return out;
}

// Binary data as programs and files hold it: records of little-endian integers with small
// deltas, runs of zeros, repeated byte patterns, and stretches of random bytes.
std::vector<uint8_t> MakeBinary() {
  TRandom r;
  std::vector<uint8_t> out;
  out.reserve(kCorpusSize);
  uint32_t counter = 0;
  while (out.size() < kCorpusSize) {
    switch (r.Next() % 5) {
      case 0: {  // table of records
        int n = 16 + static_cast<int>(r.Next() % 200);
        for (int i = 0; i < n; ++i) {
          counter += 1 + static_cast<uint32_t>(r.Next() % 16);
          for (int b = 0; b < 4; ++b) out.push_back(static_cast<uint8_t>(counter >> (8 * b)));
          uint16_t flags = static_cast<uint16_t>(r.Next() % 8);
          out.push_back(static_cast<uint8_t>(flags));
          out.push_back(0);
          out.push_back(static_cast<uint8_t>(r.Next()));
          out.push_back(0x40);
        }
        break;
      }
      case 1:  // padding
        out.insert(out.end(), 64 + r.Next() % 2000, 0);
        break;
      case 2: {  // a pattern repeated from earlier data
        if (out.size() > 70000) {
          size_t from = out.size() - 1 - r.Next() % 60000;
          size_t len = 8 + r.Next() % 300;
          for (size_t i = 0; i < len; ++i) out.push_back(out[from + i]);
        }
        break;
      }
      case 3: {  // code-like bytes from a small alphabet
        int n = 100 + static_cast<int>(r.Next() % 1000);
        static const uint8_t ops[] = {0x48, 0x89, 0x8B, 0xE8, 0xC3, 0x0F, 0x85, 0x74, 0x31, 0xC0,
                                      0xFF, 0x15, 0x83, 0xEC, 0x20, 0x5D};
        for (int i = 0; i < n; ++i) out.push_back(ops[r.Next() % 16]);
        break;
      }
      default: {  // compressed or encrypted content
        int n = 200 + static_cast<int>(r.Next() % 3000);
        for (int i = 0; i < n; ++i) out.push_back(static_cast<uint8_t>(r.Next()));
        break;
      }
    }
  }
  out.resize(kCorpusSize);
  return out;
}

std::vector<uint8_t> GZip(const std::vector<uint8_t>& data, int level) {
  z_stream zs{};
  if (deflateInit2(&zs, level, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY) != Z_OK) std::abort();
  std::vector<uint8_t> out(deflateBound(&zs, data.size()));
  zs.next_in = const_cast<Bytef*>(data.data());
  zs.avail_in = static_cast<uInt>(data.size());
  zs.next_out = out.data();
  zs.avail_out = static_cast<uInt>(out.size());
  if (deflate(&zs, Z_FINISH) != Z_STREAM_END) std::abort();
  out.resize(zs.total_out);
  deflateEnd(&zs);
  return out;
}

class TNullStream : public rtl::TStream {
 public:
  uint64_t total = 0;
  int64_t Read(void*, int64_t) override { return 0; }
  int64_t Write(const void*, int64_t n) override {
    total += static_cast<uint64_t>(n);
    return n;
  }
  int64_t Seek(int64_t, rtl::TSeekOrigin) override { return static_cast<int64_t>(total); }
};

uint64_t DecodeOurs(const std::vector<uint8_t>& gz) {
  TNullStream sink;
  netlib::TclGZipInflateStream s(&sink);
  s.Write(gz.data(), static_cast<int64_t>(gz.size()));
  if (!s.IsAtMemberBoundary()) std::abort();
  return sink.total;
}

// zlib in gzip mode, streaming into a 16 KiB buffer that is thrown away, as ours does.
uint64_t DecodeZlib(const std::vector<uint8_t>& gz) {
  z_stream zs{};
  if (inflateInit2(&zs, 31) != Z_OK) std::abort();
  static uint8_t buf[16384];
  zs.next_in = const_cast<Bytef*>(gz.data());
  zs.avail_in = static_cast<uInt>(gz.size());
  int ret;
  do {
    zs.next_out = buf;
    zs.avail_out = sizeof(buf);
    ret = inflate(&zs, Z_NO_FLUSH);
  } while (ret == Z_OK);
  if (ret != Z_STREAM_END) std::abort();
  uint64_t total = zs.total_out;
  inflateEnd(&zs);
  return total;
}

volatile uint64_t gSink;

void CompareDecode(const std::string& name, const std::vector<uint8_t>& gz, size_t expected) {
  if (DecodeOurs(gz) != expected || DecodeZlib(gz) != expected) {
    std::fprintf(stderr, "%s: decoded size differs\n", name.c_str());
    std::exit(1);
  }
  krvbench::CompareTime(name, [&] { gSink = DecodeOurs(gz); }, [&] { gSink = DecodeZlib(gz); });
}

}  // namespace

int main() {
  std::vector<uint8_t> text = MakeText();
  std::vector<uint8_t> binary = MakeBinary();
  struct {
    const char* name;
    const std::vector<uint8_t>* data;
    int level;
  } cases[] = {{"zlib_gunzip_text_l1", &text, 1},
               {"zlib_gunzip_text_l9", &text, 9},
               {"zlib_gunzip_binary_l1", &binary, 1},
               {"zlib_gunzip_binary_l9", &binary, 9}};
  for (auto& c : cases) {
    std::vector<uint8_t> gz = GZip(*c.data, c.level);
    std::fprintf(stderr, "%s: %zu -> %zu bytes\n", c.name, c.data->size(), gz.size());
    CompareDecode(c.name, gz, c.data->size());
  }

  if (netlib::Crc32Update(0, binary.data(), binary.size()) !=
      crc32(0, binary.data(), static_cast<uInt>(binary.size()))) {
    std::fprintf(stderr, "CRC-32 differs\n");
    return 1;
  }
  krvbench::CompareTime(
      "zlib_crc32",
      [&] {
        netlib::TclCrc32 c;
        c.Update(binary.data(), binary.size());
        gSink = c.Value();
      },
      [&] { gSink = crc32(0, binary.data(), static_cast<uInt>(binary.size())); });

  if (netlib::Adler32Update(1, binary.data(), binary.size()) !=
      adler32(1, binary.data(), static_cast<uInt>(binary.size()))) {
    std::fprintf(stderr, "Adler-32 differs\n");
    return 1;
  }
  krvbench::CompareTime(
      "zlib_adler32",
      [&] {
        netlib::TclAdler32 a;
        a.Update(binary.data(), binary.size());
        gSink = a.Value();
      },
      [&] { gSink = adler32(1, binary.data(), static_cast<uInt>(binary.size())); });
  return 0;
}

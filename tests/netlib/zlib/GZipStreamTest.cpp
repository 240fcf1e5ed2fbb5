#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>

#include "ZLibTestUtil.h"
#include "netlib/zlib/clZLibBase.h"
#include "netlib/zlib/clZLibStreams.h"

using netlib::EclZLibError;
using netlib::TclGZipInflateStream;
using zlibtest::Bytes;

namespace {

Bytes Concat(std::initializer_list<const Bytes*> parts) {
  Bytes all;
  for (const Bytes* p : parts) all.insert(all.end(), p->begin(), p->end());
  return all;
}

// Raw deflate data made by zlib, for members built by hand.
Bytes RawDeflate(const Bytes& data, int level = 6) {
  z_stream zs{};
  deflateInit2(&zs, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  Bytes out(deflateBound(&zs, data.size()));
  zs.next_in = const_cast<Bytef*>(data.data());
  zs.avail_in = static_cast<uInt>(data.size());
  zs.next_out = out.data();
  zs.avail_out = static_cast<uInt>(out.size());
  deflate(&zs, Z_FINISH);
  out.resize(zs.total_out);
  deflateEnd(&zs);
  return out;
}

void PutLE32(Bytes& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// A member with the given flag fields present.
Bytes Member(const Bytes& data, bool extra, const char* name, const char* comment, bool headerCrc) {
  Bytes m = {0x1F, 0x8B, 8, 0, 0x12, 0x34, 0x56, 0x78, 0, 3};
  if (extra) {
    m[3] |= 4;
    m.insert(m.end(), {5, 0, 'A', 'B', 1, 0, 0x00});  // a subfield with a zero byte in it
  }
  if (name) {
    m[3] |= 8;
    m.insert(m.end(), name, name + std::strlen(name) + 1);
  }
  if (comment) {
    m[3] |= 16;
    m.insert(m.end(), comment, comment + std::strlen(comment) + 1);
  }
  if (headerCrc) {
    m[3] |= 2;
    m.insert(m.end(), {0xAB, 0xCD});  // not checked
  }
  Bytes body = RawDeflate(data);
  m.insert(m.end(), body.begin(), body.end());
  PutLE32(m, crc32(0, data.data(), static_cast<uInt>(data.size())));
  PutLE32(m, static_cast<uint32_t>(data.size()));
  return m;
}

void ExpectDecodesInEverySplit(const Bytes& gz, const Bytes& want, const std::string& what,
                               bool byteWise = true) {
  auto check = [&](const zlibtest::TDecodeResult& r, const std::string& how) {
    EXPECT_EQ(r.error, 0) << what << ", " << how;
    EXPECT_TRUE(r.boundary) << what << ", " << how;
    EXPECT_EQ(r.out.size(), want.size()) << what << ", " << how;
    EXPECT_TRUE(r.out == want) << what << ", " << how;
  };
  check(zlibtest::Gunzip(gz), "one write");
  if (byteWise) check(zlibtest::GunzipPieces(gz, {1}), "1-byte writes");
  check(zlibtest::GunzipPieces(gz, {2, 1, 3, 1, 1, 2}), "tiny writes");
  for (uint32_t seed : {1u, 2u, 3u}) check(zlibtest::GunzipRandom(gz, seed, 5000), "random writes");
  check(zlibtest::GunzipRandom(gz, 4, 100), "small random writes");
  // Decoded straight into the destination's memory, also when it runs out part way.
  check(zlibtest::GunzipPieces(gz, {}, SIZE_MAX), "one write into lent memory");
  check(zlibtest::GunzipPieces(gz, {2, 1, 3, 1, 1, 2}, SIZE_MAX), "tiny writes into lent memory");
  check(zlibtest::GunzipRandom(gz, 5, 5000, want.size() / 2 + 5000), "lent memory running out");
}

// ---- Data made by independent encoders ----

struct TEncoder {
  const char* name;
  const char* command;
};

const TEncoder kEncoders[] = {
    {"gzip -1", "gzip -1 -c {in} > {out}"},
    {"gzip -9", "gzip -9 -c {in} > {out}"},
    {"gzip -6 without name", "gzip -6 -n -c {in} > {out}"},
    {"pigz, 32 KiB blocks", "pigz -p 2 -b 32 -c {in} > {out}"},
    {"pigz -11 (zopfli inside)", "pigz -11 -p 2 -b 64 -c {in} > {out}"},
    {"zopfli", "zopfli --i5 -c {in} > {out}"},
    {"level 0 (stored blocks)",
     "python3 -c \"import gzip,sys; open(sys.argv[2],'wb').write(gzip.compress(open(sys.argv[1],'rb').read(), 0))\" {in} {out}"},
};

TEST(GZipStream, DecodesWhatIndependentEncodersMake) {
  struct {
    const char* name;
    Bytes data;
  } samples[] = {{"text", zlibtest::SampleText(200000, 1)},
                 {"binary", zlibtest::SampleBinary(150000, 2)},
                 {"one byte", Bytes{'x'}},
                 {"empty", Bytes{}}};
  for (const auto& enc : kEncoders) {
    for (const auto& s : samples) {
      Bytes gz = zlibtest::Encode(enc.command, s.data);
      ASSERT_GE(gz.size(), 18u) << enc.name;
      ExpectDecodesInEverySplit(gz, s.data, std::string(enc.name) + " / " + s.name);
    }
  }
}

// Several members in one body, cut into two writes at every place near each member's end, so
// that the next member starts in the write that completes a trailer.
TEST(GZipStream, SeveralMembersInOneBodyAtEveryCut) {
  Bytes a = zlibtest::SampleText(70000, 5), b = zlibtest::SampleBinary(40000, 6), empty;
  Bytes c = {'t', 'a', 'i', 'l'};
  Bytes ma = zlibtest::Encode("gzip -9 -c {in} > {out}", a);
  Bytes me = zlibtest::Encode("gzip -c {in} > {out}", empty);
  Bytes mb = zlibtest::Encode("pigz -p 2 -b 32 -c {in} > {out}", b);
  Bytes mc = Member(c, true, "name.txt", "comment", true);
  Bytes body = Concat({&ma, &me, &mb, &mc});
  Bytes want = Concat({&a, &empty, &b, &c});
  ExpectDecodesInEverySplit(body, want, "four members");

  std::vector<size_t> ends = {ma.size(), ma.size() + me.size(), ma.size() + me.size() + mb.size()};
  for (size_t end : ends) {
    for (size_t cut = end - 12; cut <= end + 12; ++cut) {
      auto r = zlibtest::GunzipPieces(body, {cut, 0});
      EXPECT_EQ(r.error, 0) << "cut " << cut;
      EXPECT_TRUE(r.out == want) << "cut " << cut << " size " << r.out.size();
      EXPECT_TRUE(r.boundary);
    }
  }
}

TEST(GZipStream, HeaderFieldsSplitAcrossWrites) {
  Bytes data = zlibtest::SampleText(3000, 8);
  struct {
    bool extra;
    const char* name;
    const char* comment;
    bool headerCrc;
  } variants[] = {{false, "file.txt", "a comment", false},
                  {true, "file.txt", nullptr, false},
                  {true, nullptr, "only a comment", true},
                  {false, "", "", false},
                  {true, "n", "c", true}};
  for (const auto& v : variants) {
    Bytes gz = Member(data, v.extra, v.name, v.comment, v.headerCrc);
    ExpectDecodesInEverySplit(gz, data, "header variant");
  }
  // Nothing is decoded until the comment's zero byte arrives; then everything is.
  Bytes gz = Member(data, false, "file.txt", "a comment", false);
  size_t headerEnd = 10 + 9 + 10;
  rtl::TMemoryStream dest;
  TclGZipInflateStream s(&dest);
  for (size_t i = 0; i + 1 < headerEnd; ++i) s.Write(gz.data() + i, 1);
  EXPECT_EQ(dest.Size(), 0);
  EXPECT_FALSE(s.IsAtMemberBoundary());
  s.Write(gz.data() + headerEnd - 1, static_cast<int64_t>(gz.size() - headerEnd + 1));
  EXPECT_EQ(dest.Size(), static_cast<int64_t>(data.size()));
  EXPECT_TRUE(s.IsAtMemberBoundary());
}

// A name without its zero byte, written a byte at a time, costs neither memory nor time.
TEST(GZipStream, EndlessNameIsCheap) {
  rtl::TMemoryStream dest;
  TclGZipInflateStream s(&dest);
  Bytes head = {0x1F, 0x8B, 8, 8, 0, 0, 0, 0, 0, 3};
  s.Write(head.data(), static_cast<int64_t>(head.size()));
  Bytes name(1 << 20, 'n');
  for (size_t i = 0; i < name.size(); i += 7) s.Write(name.data() + i, std::min<int64_t>(7, name.size() - i));
  EXPECT_EQ(dest.Size(), 0);
  EXPECT_FALSE(s.IsAtMemberBoundary());
  EXPECT_EQ(s.Position(), static_cast<int64_t>(head.size() + name.size()));
}

// ---- Trailer checks and errors from the data ----

TEST(GZipStream, TrailerAndDataErrors) {
  Bytes data = zlibtest::SampleText(50000, 3);
  Bytes good = zlibtest::Encode("gzip -6 -c {in} > {out}", data);
  ASSERT_GT(good.size(), 18u);
  Bytes badCrc = good, badSize = good;
  *(badCrc.end() - 8) ^= 0x01;
  *(badSize.end() - 1) ^= 0x80;
  Bytes type3 = {0x1F, 0x8B, 8, 0, 0, 0, 0, 0, 0, 3, 0x07, 0, 0, 0, 0, 0, 0, 0, 0};
  Bytes stored = {0x1F, 0x8B, 8, 0, 0, 0, 0, 0, 0, 3, 0x01, 0x03, 0x00, 0xFC, 0xF0, 'a', 'b', 'c'};
  struct {
    const char* name;
    const Bytes* gz;
    int32_t code;
    const char16_t* message;
    size_t delivered;  // bytes that must have reached the destination
  } cases[] = {
      {"wrong CRC", &badCrc, -103, u"Uncompressing error - invalid crc", data.size()},
      {"wrong length", &badSize, -104, u"Uncompressing error - invalid data size", data.size()},
      {"block type 3", &type3, -120, u"Unknown block type ", 0},
      {"stored complement", &stored, -121, u"Broken uncompressed block", 0},
  };
  for (const auto& c : cases) {
    for (std::vector<size_t> pieces : {std::vector<size_t>{}, std::vector<size_t>{1}, std::vector<size_t>{777}}) {
      auto r = zlibtest::GunzipPieces(*c.gz, pieces);
      EXPECT_EQ(r.error, c.code) << c.name;
      EXPECT_EQ(r.out.size(), c.delivered) << c.name;
      EXPECT_TRUE(std::equal(r.out.begin(), r.out.end(), data.begin())) << c.name;
    }
    rtl::TMemoryStream dest;
    TclGZipInflateStream s(&dest);
    for (int attempt = 0; attempt < 2; ++attempt) {  // the error is raised again
      try {
        s.Write(c.gz->data(), static_cast<int64_t>(c.gz->size()));
        ADD_FAILURE() << c.name << ": no error";
      } catch (const EclZLibError& e) {
        EXPECT_EQ(e.ErrorCode(), c.code);
        EXPECT_EQ(e.Message(), c.message);
      }
    }
  }
}

// ---- Truncation, trailing bytes and the member boundary ----

TEST(GZipStream, TruncatedBodyRaisesNothingButIsNotAtABoundary) {
  Bytes data = zlibtest::SampleText(20000, 4);
  Bytes gz = zlibtest::Encode("gzip -9 -c {in} > {out}", data);
  for (size_t cut = 0; cut < gz.size(); cut += (cut < 40 || cut > gz.size() - 40) ? 1 : 97) {
    Bytes part(gz.begin(), gz.begin() + cut);
    for (std::vector<size_t> pieces : {std::vector<size_t>{}, std::vector<size_t>{3}}) {
      auto r = zlibtest::GunzipPieces(part, pieces);
      EXPECT_EQ(r.error, 0) << "cut " << cut;
      EXPECT_EQ(r.boundary, cut == 0) << "cut " << cut;
      ASSERT_LE(r.out.size(), data.size());
      EXPECT_TRUE(std::equal(r.out.begin(), r.out.end(), data.begin())) << "cut " << cut;
    }
  }
}

TEST(GZipStream, BytesAfterAMember) {
  Bytes data = {'h', 'e', 'l', 'l', 'o'};
  Bytes gz = zlibtest::Encode("gzip -c {in} > {out}", data);
  struct {
    const char* name;
    Bytes after;
    bool boundary;
  } cases[] = {
      {"nothing", {}, true},
      {"text garbage", {'g', 'a', 'r', 'b', 'a', 'g', 'e'}, true},
      {"zero padding", Bytes(100, 0), true},
      {"1F then not 8B", {0x1F, 0x41, 0x1F, 0x8B}, true},
      {"lone 1F", {0x1F}, false},
      {"magic only", {0x1F, 0x8B}, false},
      {"half a header", {0x1F, 0x8B, 8, 0, 0, 0}, false},
  };
  for (const auto& c : cases) {
    Bytes body = Concat({&gz, &c.after});
    for (std::vector<size_t> pieces :
         {std::vector<size_t>{}, std::vector<size_t>{1}, std::vector<size_t>{gz.size(), 0},
          std::vector<size_t>{gz.size() - 1, 0}, std::vector<size_t>{gz.size() + 1, 0}}) {
      auto r = zlibtest::GunzipPieces(body, pieces);
      EXPECT_EQ(r.error, 0) << c.name;
      EXPECT_TRUE(r.out == data) << c.name;
      EXPECT_EQ(r.boundary, c.boundary) << c.name;
    }
  }
}

// ---- The stream contract ----

TEST(GZipStream, SeekReadAndSize) {
  rtl::TMemoryStream dest;
  TclGZipInflateStream s(&dest);
  EXPECT_EQ(s.Seek(0, rtl::soCurrent), 0);
  EXPECT_TRUE(s.IsAtMemberBoundary());
  Bytes part = {0x1F, 0x8B, 8, 0, 0, 0, 0};
  EXPECT_EQ(s.Write(part.data(), 7), 7);
  struct {
    int64_t offset;
    rtl::TSeekOrigin origin;
    bool valid;
  } cases[] = {{0, rtl::soCurrent, true},  {7, rtl::soBeginning, true}, {0, rtl::soEnd, true},
               {1, rtl::soCurrent, false}, {-1, rtl::soCurrent, false}, {0, rtl::soBeginning, false},
               {8, rtl::soBeginning, false}, {2, rtl::soEnd, false}};
  for (const auto& c : cases) {
    try {
      EXPECT_EQ(s.Seek(c.offset, c.origin), 7);
      EXPECT_TRUE(c.valid) << c.offset << " " << c.origin;
    } catch (const EclZLibError& e) {
      EXPECT_FALSE(c.valid) << c.offset << " " << c.origin;
      EXPECT_EQ(e.ErrorCode(), -102);
      EXPECT_EQ(e.Message(), u"Invalid Stream operation");
    }
  }
  EXPECT_EQ(s.Position(), 7);
  EXPECT_EQ(s.Size(), 7);
  uint8_t b[4];
  EXPECT_EQ(s.Read(b, 4), 0);
  EXPECT_EQ(s.Write(part.data(), 0), 0);
  EXPECT_EQ(s.Position(), 7);
  EXPECT_FALSE(s.IsAtMemberBoundary());
}

class TFailingStream : public rtl::TStream {
 public:
  int64_t Read(void*, int64_t) override { return 0; }
  int64_t Write(const void*, int64_t) override { throw rtl::EWriteError("disk full"); }
  int64_t Seek(int64_t, rtl::TSeekOrigin) override { return 0; }
};

// A short write is not silently lost: the destination is written with all-or-nothing writes.
class TShortStream : public TFailingStream {
 public:
  int64_t Write(const void*, int64_t n) override { return n / 2; }
};

TEST(GZipStream, DestinationFailuresReachTheCaller) {
  Bytes gz = zlibtest::Encode("gzip -c {in} > {out}", zlibtest::SampleText(1000, 1));
  TFailingStream failing;
  TShortStream shortStream;
  for (rtl::TStream* dest : {static_cast<rtl::TStream*>(&failing), static_cast<rtl::TStream*>(&shortStream)}) {
    TclGZipInflateStream s(dest);
    for (int attempt = 0; attempt < 2; ++attempt) {
      EXPECT_THROW(s.Write(gz.data(), static_cast<int64_t>(gz.size())), rtl::EWriteError);
    }
  }
  EXPECT_THROW(TclGZipInflateStream(nullptr), rtl::EAssertionFailed);
}

}  // namespace

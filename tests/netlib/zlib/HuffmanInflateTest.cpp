#include <gtest/gtest.h>
#include <zlib.h>

#include <array>
#include <cstring>
#include <functional>
#include <random>

#include "ZLibTestUtil.h"
#include "netlib/zlib/clHuffman.h"
#include "netlib/zlib/clInflate.h"
#include "netlib/zlib/clZLibBase.h"

using netlib::EclZLibError;
using netlib::TclInflater;
using netlib::TclInflaterHuffmanTree;
using zlibtest::Bytes;
using zlibtest::TBitWriter;

namespace {

// ---- BitReverse and the decoding tables ----

TEST(BitReverse, MatchesBitByBitReversal) {
  for (uint32_t v = 0; v < 65536; ++v) {
    uint32_t expect = 0;
    for (int b = 0; b < 16; ++b) expect |= ((v >> b) & 1) << (15 - b);
    ASSERT_EQ(netlib::BitReverse(static_cast<uint16_t>(v)), expect) << v;
  }
  EXPECT_EQ(netlib::BitReverse(0x1234), 0x2C48);
}

// Random complete code sets (made by splitting leaves) decode every symbol's code, sub-tables
// included.
TEST(HuffmanTree, DecodesEveryCodeOfRandomCompleteSets) {
  std::mt19937 r(1);
  for (auto kind : {TclInflaterHuffmanTree::hkLitLen, TclInflaterHuffmanTree::hkDist}) {
    int symbols = kind == TclInflaterHuffmanTree::hkLitLen ? 256 : 30;
    for (int round = 0; round < 40; ++round) {
      std::vector<uint8_t> leaves = {1, 1};
      while (static_cast<int>(leaves.size()) < symbols) {
        size_t i = r() % leaves.size();
        if (leaves[i] >= 15) continue;
        ++leaves[i];
        leaves.push_back(leaves[i]);
      }
      std::shuffle(leaves.begin(), leaves.end(), r);
      TclInflaterHuffmanTree tree(kind);
      tree.Build(leaves.data(), symbols);
      auto codes = zlibtest::CanonicalCodes(leaves);
      for (int s = 0; s < symbols; ++s) {
        uint64_t bits = netlib::BitReverse(static_cast<uint16_t>(codes[s])) >> (16 - leaves[s]);
        bits |= uint64_t(r()) << leaves[s];  // whatever follows must not matter
        uint32_t e = tree.Lookup(bits);
        ASSERT_EQ(TclInflaterHuffmanTree::CodeLength(e), leaves[s]) << "symbol " << s;
        if (kind == TclInflaterHuffmanTree::hkLitLen) {
          ASSERT_TRUE(e & TclInflaterHuffmanTree::kLiteral);
          ASSERT_EQ(TclInflaterHuffmanTree::Value(e), static_cast<uint32_t>(s));
        } else {
          ASSERT_TRUE(e & TclInflaterHuffmanTree::kBase);
        }
      }
    }
  }
}

struct TTreeCase {
  const char* name;
  TclInflaterHuffmanTree::TKind kind;
  std::vector<uint8_t> lens;
  bool accepted;
};

TEST(HuffmanTree, CompletenessRules) {
  using K = TclInflaterHuffmanTree;
  const TTreeCase cases[] = {
      {"over-subscribed", K::hkLitLen, {1, 1, 1}, false},
      {"incomplete", K::hkLitLen, {2, 2, 2}, false},
      {"single one-bit code", K::hkLitLen, {1}, true},
      {"single two-bit code", K::hkLitLen, {2}, false},
      {"complete", K::hkLitLen, {1, 2, 3, 3}, true},
      {"no distance codes", K::hkDist, {0, 0, 0}, true},
      {"single distance", K::hkDist, {0, 1}, true},
      {"incomplete distances", K::hkDist, {2, 2}, false},
      {"no code-length codes", K::hkCodeLen, {0, 0, 0, 0}, false},
      {"single code-length code", K::hkCodeLen, {1}, false},
      {"complete code-length codes", K::hkCodeLen, {1, 1}, true},
      {"length above 15", K::hkLitLen, {16, 1}, false},
  };
  for (const auto& c : cases) {
    TclInflaterHuffmanTree tree(c.kind);
    bool ok = true;
    try {
      tree.Build(c.lens.data(), static_cast<int>(c.lens.size()));
    } catch (const EclZLibError& e) {
      ok = false;
      EXPECT_EQ(e.ErrorCode(), netlib::ZLIB_ERR_INVALID_CODE_LENGTHS) << c.name;
      EXPECT_EQ(e.Message(), u"Invalid code lengths set");
    }
    EXPECT_EQ(ok, c.accepted) << c.name;
  }
  // The unused half of a lone one-bit code decodes as invalid.
  TclInflaterHuffmanTree lone(TclInflaterHuffmanTree::hkDist);
  uint8_t lens[2] = {0, 1};
  lone.Build(lens, 2);
  EXPECT_TRUE(lone.Lookup(0) & TclInflaterHuffmanTree::kBase);
  EXPECT_TRUE(lone.Lookup(1) & TclInflaterHuffmanTree::kInvalid);
}

TEST(HuffmanTree, FixedTreesMarkTheForbiddenSymbols) {
  const auto& lit = netlib::FixedLitLenTree();
  const auto& dist = netlib::FixedDistTree();
  auto litCode = [](uint32_t code, int len) { return netlib::BitReverse(static_cast<uint16_t>(code)) >> (16 - len); };
  EXPECT_EQ(TclInflaterHuffmanTree::Value(lit.Lookup(litCode(0x30 + 'A', 8))), uint32_t('A'));
  EXPECT_TRUE(lit.Lookup(litCode(0, 7)) & TclInflaterHuffmanTree::kEnd);
  EXPECT_EQ(TclInflaterHuffmanTree::Value(lit.Lookup(litCode(0x190 + 100, 9))), 244u);
  EXPECT_EQ(TclInflaterHuffmanTree::Value(lit.Lookup(litCode(0xC0 + 5, 8))), 258u);  // symbol 285
  EXPECT_TRUE(lit.Lookup(litCode(0xC0 + 6, 8)) & TclInflaterHuffmanTree::kInvalid);  // 286
  EXPECT_TRUE(lit.Lookup(litCode(0xC0 + 7, 8)) & TclInflaterHuffmanTree::kInvalid);  // 287
  EXPECT_EQ(TclInflaterHuffmanTree::Value(dist.Lookup(litCode(29, 5))), 24577u);
  EXPECT_TRUE(dist.Lookup(litCode(30, 5)) & TclInflaterHuffmanTree::kInvalid);
  EXPECT_TRUE(dist.Lookup(litCode(31, 5)) & TclInflaterHuffmanTree::kInvalid);
  EXPECT_EQ(&lit, &netlib::FixedLitLenTree());  // built once, shared
}

// ---- Inflating data made by Python's zlib module ----

struct TOurs {
  Bytes out;
  int32_t error = 0;
  bool finished = false;
  bool needDict = false;
  int64_t totalIn = 0, totalOut = 0, remaining = 0;
  uint32_t adler = 0;
};

// Feeds the data in pieces of `piece` bytes (0 = all at once), taking output `outSize` at a time
// (0: in place, as the gzip stream takes it).
TOurs InflateAll(const Bytes& data, bool raw, size_t piece = 0, size_t outSize = 16384) {
  TOurs r;
  TclInflater inf(raw);
  Bytes buf(outSize);
  try {
    size_t pos = 0;
    do {
      size_t n = piece == 0 ? data.size() - pos : std::min(piece, data.size() - pos);
      inf.SetInput(data.data(), static_cast<int32_t>(pos), static_cast<int32_t>(n));
      pos += n;
      for (;;) {
        const uint8_t* at = buf.data();
        size_t got = outSize == 0 ? inf.InflateInPlace(at) : size_t(inf.Inflate(buf.data(), 0, int32_t(buf.size())));
        r.out.insert(r.out.end(), at, at + got);
        if (got == 0 || inf.IsFinished() || inf.IsNeedingDictionary()) break;
      }
    } while (pos < data.size() && !inf.IsFinished() && !inf.IsNeedingDictionary());
  } catch (const EclZLibError& e) {
    r.error = e.ErrorCode();
  }
  r.finished = inf.IsFinished();
  r.needDict = inf.IsNeedingDictionary();
  r.totalIn = inf.TotalIn();
  r.totalOut = inf.TotalOut();
  r.remaining = inf.RemainingInput();
  r.adler = inf.Adler();
  return r;
}

// Streams framed as: 1 byte raw flag, 4 bytes length, data; the original is the first frame.
std::vector<std::pair<bool, Bytes>> PythonStreams(Bytes& original) {
  Bytes all = zlibtest::Python(R"PY(
import sys, zlib, random
random.seed(5)
words = [b'alpha ', b'beta ', b'gamma ', b'delta\n', b'zip ', b'0123 ']
data = b''.join(random.choice(words) for _ in range(60000)) + bytes(random.getrandbits(8) for _ in range(40000))
out = [(0, data)]
for level in (0, 1, 6, 9):
    for strategy in (zlib.Z_DEFAULT_STRATEGY, zlib.Z_FILTERED, zlib.Z_HUFFMAN_ONLY, zlib.Z_RLE, zlib.Z_FIXED):
        for wbits in (-15, 15, -9, 9):
            c = zlib.compressobj(level, zlib.DEFLATED, wbits, 8, strategy)
            out.append((1 if wbits < 0 else 0, c.compress(data) + c.flush()))
# Flush points split the data into many blocks, some of them empty stored blocks.
c = zlib.compressobj(6, zlib.DEFLATED, -15)
pieces = [c.compress(data[i:i + 7777]) + c.flush(zlib.Z_SYNC_FLUSH if i % 2 else zlib.Z_FULL_FLUSH) for i in range(0, len(data), 7777)]
out.append((1, b''.join(pieces) + c.flush()))
out.append((0, zlib.compress(b'', 9)))
with open(sys.argv[1], 'wb') as f:
    for raw, d in out:
        f.write(bytes([raw]) + len(d).to_bytes(4, 'little') + d)
)PY");
  std::vector<std::pair<bool, Bytes>> streams;
  for (size_t p = 0; p + 5 <= all.size();) {
    bool raw = all[p] != 0;
    size_t len = all[p + 1] | all[p + 2] << 8 | all[p + 3] << 16 | size_t(all[p + 4]) << 24;
    streams.emplace_back(raw, Bytes(all.begin() + p + 5, all.begin() + p + 5 + len));
    p += 5 + len;
  }
  if (!streams.empty()) {
    original = streams.front().second;
    streams.erase(streams.begin());
  }
  return streams;
}

TEST(Inflater, DecodesPythonZlibStreamsInAnySplit) {
  Bytes original;
  auto streams = PythonStreams(original);
  ASSERT_EQ(streams.size(), 4u * 5u * 4u + 2u);
  uint32_t adler = adler32(1, original.data(), static_cast<uInt>(original.size()));
  for (size_t i = 0; i < streams.size(); ++i) {
    const auto& [raw, data] = streams[i];
    bool empty = i + 1 == streams.size();
    const Bytes& want = empty ? Bytes() : original;
    struct {
      size_t piece, out;
    } feeds[] = {{0, 16384}, {1, 16384}, {3, 1}, {997, 333}, {65536, 100000}, {0, 0}, {997, 0}};
    for (auto f : feeds) {
      if (f.piece == 1 && i % 7 != 0) continue;  // byte-wise on a sample only, it is slow
      TOurs r = InflateAll(data, raw, f.piece, f.out);
      ASSERT_EQ(r.error, 0) << "stream " << i << " piece " << f.piece;
      ASSERT_TRUE(r.finished) << "stream " << i << " piece " << f.piece;
      ASSERT_EQ(r.out, want) << "stream " << i << " piece " << f.piece;
      EXPECT_EQ(r.totalIn, static_cast<int64_t>(data.size()));
      EXPECT_EQ(r.totalOut, static_cast<int64_t>(want.size()));
      EXPECT_EQ(r.remaining, 0);
      EXPECT_EQ(r.adler, empty ? 1u : adler);  // raw mode keeps the Adler-32 of its output too
    }
  }
}

TEST(Inflater, StopsAtTheEndOfRawDataAndLeavesWhatFollows) {
  Bytes original = zlibtest::SampleText(5000, 2);
  for (int level : {0, 1, 9}) {
    z_stream zs{};
    deflateInit2(&zs, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    Bytes data(deflateBound(&zs, original.size()));
    zs.next_in = original.data();
    zs.avail_in = static_cast<uInt>(original.size());
    zs.next_out = data.data();
    zs.avail_out = static_cast<uInt>(data.size());
    deflate(&zs, Z_FINISH);
    data.resize(zs.total_out);
    deflateEnd(&zs);
    size_t streamLen = data.size();
    for (char c : std::string("TRAILER!")) data.push_back(static_cast<uint8_t>(c));
    for (size_t piece : {size_t(0), size_t(5), size_t(2)}) {
      TOurs r = InflateAll(data, true, piece);
      ASSERT_TRUE(r.finished);
      EXPECT_EQ(r.out, original);
      EXPECT_EQ(r.totalIn, static_cast<int64_t>(streamLen)) << "level " << level << " piece " << piece;
    }
  }
}

TEST(Inflater, PresetDictionaryIsReported) {
  Bytes data = zlibtest::Python(R"PY(
import sys, zlib
c = zlib.compressobj(6, zlib.DEFLATED, 15, 8, 0, zdict=b'dictionary words')
open(sys.argv[1], 'wb').write(c.compress(b'dictionary words and more words') + c.flush())
)PY");
  for (size_t piece : {size_t(0), size_t(1)}) {
    TOurs r = InflateAll(data, false, piece);
    EXPECT_EQ(r.error, 0);
    EXPECT_TRUE(r.needDict);
    EXPECT_FALSE(r.finished);
    EXPECT_TRUE(r.out.empty());
    const char* dict = "dictionary words";
    EXPECT_EQ(r.adler, adler32(1, reinterpret_cast<const Bytef*>(dict), 16));
  }
}

// ---- Hand-made invalid data: each error code reachable from data ----

void FixedBlockStart(TBitWriter& w, bool final = true) {
  w.Bits(final, 1);
  w.Bits(1, 2);
}
void FixedLiteral(TBitWriter& w, uint8_t c) {
  if (c < 144)
    w.Code(0x30 + c, 8);
  else
    w.Code(0x190 + c - 144, 9);
}
void FixedSymbol(TBitWriter& w, int s) {  // 256-287
  if (s < 280)
    w.Code(s - 256, 7);
  else
    w.Code(0xC0 + s - 280, 8);
}

// A dynamic block header whose code-length code gives 4 bits to symbols 0-12 and 5 bits to
// 13-18, followed by the given code-length symbols (with their extra bits).
std::vector<uint8_t> kClLens = {4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 5, 5, 5, 5, 5, 5};
void DynamicHeader(TBitWriter& w, int hlit, int hdist,
                   const std::vector<std::pair<int, int>>& symbols, bool final = true) {
  static const int order[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
  w.Bits(final, 1);
  w.Bits(2, 2);
  w.Bits(hlit - 257, 5);
  w.Bits(hdist - 1, 5);
  w.Bits(19 - 4, 4);
  for (int i = 0; i < 19; ++i) w.Bits(kClLens[order[i]], 3);
  auto codes = zlibtest::CanonicalCodes(kClLens);
  static const int extraBits[3] = {2, 3, 7};
  for (auto [sym, extra] : symbols) {
    w.Code(codes[sym], kClLens[sym]);
    if (sym >= 16) w.Bits(extra, extraBits[sym - 16]);
  }
}
// The code lengths as plain symbols 0-15.
std::vector<std::pair<int, int>> Plain(const std::vector<uint8_t>& lens) {
  std::vector<std::pair<int, int>> s;
  for (uint8_t l : lens) s.emplace_back(l, 0);
  return s;
}

// Literal/length lengths: 'a' and 'b' 2 bits, end-of-block 2 bits, length 257 (3) 2 bits.
std::vector<uint8_t> SmallLitLens() {
  std::vector<uint8_t> lens(258, 0);
  lens['a'] = lens['b'] = lens[256] = lens[257] = 2;
  return lens;
}

struct TErrorCase {
  const char* name;
  bool raw;
  std::function<Bytes()> make;
  int32_t code;
  const char16_t* message;
};

Bytes ZlibWrap(const char* hex2) {
  return Bytes{static_cast<uint8_t>(hex2[0]), static_cast<uint8_t>(hex2[1]), 0x03, 0x00};
}

std::vector<TErrorCase> ErrorCases() {
  return {
      {"block type 3", true,
       [] {
         TBitWriter w;
         w.Bits(1, 1);
         w.Bits(3, 2);
         return w.Finish();
       },
       netlib::ZLIB_ERR_UNKNOWN_BLOCK_TYPE, u"Unknown block type "},
      {"stored complement", true, [] { return Bytes{0x01, 0x05, 0x00, 0x00, 0x00, 'x'}; },
       netlib::ZLIB_ERR_BROKEN_STORED_BLOCK, u"Broken uncompressed block"},
      {"fixed symbol 286", true,
       [] {
         TBitWriter w;
         FixedBlockStart(w);
         FixedLiteral(w, 'a');
         FixedSymbol(w, 286);
         FixedSymbol(w, 256);
         return w.Finish();
       },
       netlib::ZLIB_ERR_ILLEGAL_LENGTH_CODE, u"Illegal rep length code"},
      {"fixed symbol 287", true,
       [] {
         TBitWriter w;
         FixedBlockStart(w);
         FixedSymbol(w, 287);
         return w.Finish();
       },
       netlib::ZLIB_ERR_ILLEGAL_LENGTH_CODE, u"Illegal rep length code"},
      {"fixed distance 30", true,
       [] {
         TBitWriter w;
         FixedBlockStart(w);
         FixedLiteral(w, 'a');
         FixedSymbol(w, 257);
         w.Code(30, 5);
         return w.Finish();
       },
       netlib::ZLIB_ERR_ILLEGAL_DIST_CODE, u"Illegal rep dist code"},
      {"fixed distance 31", true,
       [] {
         TBitWriter w;
         FixedBlockStart(w);
         FixedLiteral(w, 'a');
         FixedSymbol(w, 258);
         w.Code(31, 5);
         return w.Finish();
       },
       netlib::ZLIB_ERR_ILLEGAL_DIST_CODE, u"Illegal rep dist code"},
      {"distance before the start", true,
       [] {
         TBitWriter w;
         FixedBlockStart(w);
         FixedLiteral(w, 'a');
         FixedSymbol(w, 257);
         w.Code(1, 5);  // distance 2, one byte written
         return w.Finish();
       },
       netlib::ZLIB_ERR_DISTANCE_TOO_FAR, u"Invalid distance too far back"},
      {"distance before the start, fast path", true,
       [] {
         TBitWriter w;
         FixedBlockStart(w);
         for (int i = 0; i < 100; ++i) FixedLiteral(w, static_cast<uint8_t>('a' + i % 7));
         FixedSymbol(w, 260);
         w.Code(14, 5);
         w.Bits(0, 6);  // distance 129
         for (int i = 0; i < 40; ++i) FixedLiteral(w, 'z');
         FixedSymbol(w, 256);
         return w.Finish();
       },
       netlib::ZLIB_ERR_DISTANCE_TOO_FAR, u"Invalid distance too far back"},
      {"HLIT above 286", true,
       [] {
         TBitWriter w;
         DynamicHeader(w, 287, 1, {});
         return w.Finish();
       },
       netlib::ZLIB_ERR_TOO_MANY_CODES, u"Too many length or distance codes"},
      {"HDIST above 30", true,
       [] {
         TBitWriter w;
         DynamicHeader(w, 257, 31, {});
         return w.Finish();
       },
       netlib::ZLIB_ERR_TOO_MANY_CODES, u"Too many length or distance codes"},
      {"code-length codes over-subscribed", true,
       [] {
         TBitWriter w;
         w.Bits(1, 1);
         w.Bits(2, 2);
         w.Bits(0, 5);
         w.Bits(0, 5);
         w.Bits(0, 4);  // four code-length code lengths: 16, 17, 18, 0
         for (int i = 0; i < 4; ++i) w.Bits(1, 3);
         w.Bits(0, 16);
         return w.Finish();
       },
       netlib::ZLIB_ERR_INVALID_CODE_LENGTHS, u"Invalid code lengths set"},
      {"code-length codes incomplete", true,
       [] {
         TBitWriter w;
         w.Bits(1, 1);
         w.Bits(2, 2);
         w.Bits(0, 5);
         w.Bits(0, 5);
         w.Bits(0, 4);
         w.Bits(0, 3);
         w.Bits(0, 3);
         w.Bits(0, 3);
         w.Bits(1, 3);  // only symbol 0, one bit
         w.Bits(0, 16);
         return w.Finish();
       },
       netlib::ZLIB_ERR_INVALID_CODE_LENGTHS, u"Invalid code lengths set"},
      {"repeat of nothing", true,
       [] {
         TBitWriter w;
         DynamicHeader(w, 257, 1, {{16, 0}});
         return w.Finish();
       },
       netlib::ZLIB_ERR_UNKNOWN, u"Unknown error"},
      {"repeat past the lengths", true,
       [] {
         TBitWriter w;
         DynamicHeader(w, 257, 1, {{18, 127}, {18, 127}});
         return w.Finish();
       },
       netlib::ZLIB_ERR_UNKNOWN, u"Unknown error"},
      {"no end-of-block code", true,
       [] {
         std::vector<uint8_t> lens(258, 0);
         lens['a'] = lens['b'] = 1;
         lens.push_back(1);  // one distance
         TBitWriter w;
         DynamicHeader(w, 258, 1, Plain(lens));
         return w.Finish();
       },
       netlib::ZLIB_ERR_MISSING_END_OF_BLOCK, u"Missing end-of-block code"},
      {"literal/length codes incomplete", true,
       [] {
         std::vector<uint8_t> lens(257, 0);
         lens['a'] = lens[256] = 2;
         lens.push_back(1);
         TBitWriter w;
         DynamicHeader(w, 257, 1, Plain(lens));
         return w.Finish();
       },
       netlib::ZLIB_ERR_INVALID_CODE_LENGTHS, u"Invalid code lengths set"},
      {"literal/length codes over-subscribed", true,
       [] {
         std::vector<uint8_t> lens(257, 0);
         lens['a'] = lens['b'] = lens[256] = 1;
         lens.push_back(1);
         TBitWriter w;
         DynamicHeader(w, 257, 1, Plain(lens));
         return w.Finish();
       },
       netlib::ZLIB_ERR_INVALID_CODE_LENGTHS, u"Invalid code lengths set"},
      {"distance codes incomplete", true,
       [] {
         std::vector<uint8_t> lens = SmallLitLens();
         lens.push_back(2);
         lens.push_back(2);
         TBitWriter w;
         DynamicHeader(w, 258, 2, Plain(lens));
         return w.Finish();
       },
       netlib::ZLIB_ERR_INVALID_CODE_LENGTHS, u"Invalid code lengths set"},
      {"unused half of a lone distance code", true,
       [] {
         std::vector<uint8_t> lens = SmallLitLens();
         lens.push_back(1);  // distance 1 only, code 0
         TBitWriter w;
         DynamicHeader(w, 258, 1, Plain(lens));
         auto codes = zlibtest::CanonicalCodes(SmallLitLens());
         w.Code(codes['a'], 2);
         w.Code(codes[257], 2);
         w.Code(1, 1);  // the code no distance has
         return w.Finish();
       },
       netlib::ZLIB_ERR_ILLEGAL_DIST_CODE, u"Illegal rep dist code"},
      {"zlib header checksum", false, [] { return Bytes{0x78, 0x9D, 0x03, 0x00}; },
       netlib::ZLIB_ERR_HEADER_CHECKSUM, u"Header checksum illegal"},
      {"zlib method 7", false, [] { return ZlibWrap("\x77\x09"); },  // 0x7709 = 31 * 983
       netlib::ZLIB_ERR_METHOD_UNKNOWN, u"Compression Method unknown"},
      {"zlib window above 32 KiB", false, [] { return ZlibWrap("\x88\x1C"); },  // 0x881C = 31 * 1124
       netlib::ZLIB_ERR_INVALID_WINDOW_SIZE, u"Invalid window size"},
      {"Adler-32 mismatch", false,
       [] {
         Bytes d(64);
         uLongf n = d.size();
         compress(d.data(), &n, reinterpret_cast<const Bytef*>("hello hello hello"), 17);
         d.resize(n);
         d.back() ^= 1;
         return d;
       },
       netlib::ZLIB_ERR_ADLER_MISMATCH, u"Adler chksum doesn't match"},
  };
}

TEST(Inflater, EveryDataErrorHasItsCodeAndZlibAgreesItIsInvalid) {
  for (const auto& c : ErrorCases()) {
    Bytes data = c.make();
    zlibtest::TZlibResult ref = zlibtest::ZlibInflate(data, c.raw);
    EXPECT_FALSE(ref.accepted) << c.name << ": zlib takes it";
    for (size_t piece : {size_t(0), size_t(1)}) {
      TclInflater inf(c.raw);
      Bytes out, buf(100);
      int32_t code = 0;
      std::u16string message;
      try {
        for (size_t pos = 0; pos < data.size();) {
          size_t n = piece ? 1 : data.size();
          inf.SetInput(data.data(), static_cast<int32_t>(pos), static_cast<int32_t>(n));
          pos += n;
          while (int32_t got = inf.Inflate(buf.data(), 0, static_cast<int32_t>(buf.size())))
            out.insert(out.end(), buf.begin(), buf.begin() + got);
        }
      } catch (const EclZLibError& e) {
        code = e.ErrorCode();
        message = e.Message();
      }
      EXPECT_EQ(code, c.code) << c.name << " piece " << piece;
      EXPECT_EQ(message, c.message) << c.name;
      // What came out before the error is what zlib made of it.
      ASSERT_LE(out.size(), ref.out.size()) << c.name;
      EXPECT_TRUE(std::equal(out.begin(), out.end(), ref.out.begin())) << c.name;
      if (code) {
        // The failure sticks.
        try {
          inf.Inflate(buf.data(), 0, 10);
          ADD_FAILURE() << c.name << ": no error the second time";
        } catch (const EclZLibError& e) {
          EXPECT_EQ(e.ErrorCode(), c.code);
        }
      }
    }
  }
}

// Code sets zlib takes although incomplete: a lone distance code, no distance codes at all, and
// a block holding nothing but its end.
TEST(Inflater, AcceptsWhatZlibAcceptsAtTheEdges) {
  struct {
    const char* name;
    std::function<Bytes()> make;
  } cases[] = {
      {"lone distance code",
       [] {
         std::vector<uint8_t> lens = SmallLitLens();
         lens.push_back(0);
         lens.push_back(0);
         lens.push_back(0);
         lens.push_back(1);  // distance symbol 3 (distance 4) alone
         TBitWriter w;
         DynamicHeader(w, 258, 4, Plain(lens));
         auto codes = zlibtest::CanonicalCodes(SmallLitLens());
         for (char c : std::string("abba")) w.Code(codes[static_cast<uint8_t>(c)], 2);
         w.Code(codes[257], 2);
         w.Code(0, 1);
         w.Code(codes[256], 2);
         return w.Finish();
       }},
      {"no distance codes",
       [] {
         std::vector<uint8_t> lens(257, 0);
         lens['x'] = 1;
         lens[256] = 1;
         lens.push_back(0);
         TBitWriter w;
         DynamicHeader(w, 257, 1, Plain(lens));
         w.Code(0, 1);
         w.Code(0, 1);
         w.Code(1, 1);
         return w.Finish();
       }},
      {"end-of-block only",
       [] {
         std::vector<uint8_t> lens(257, 0);
         lens[256] = 1;
         lens.push_back(0);
         TBitWriter w;
         DynamicHeader(w, 257, 1, Plain(lens));
         w.Code(0, 1);
         return w.Finish();
       }},
      {"repeat codes",
       [] {
         // 'a'..'d' and 256-259 get 3 bits through repeats, the zeros come from code 18.
         std::vector<std::pair<int, int>> s = {{18, 97 - 11}, {3, 0},  {16, 0}, {18, 138 - 11},
                                               {18, 17 - 11}, {3, 0},  {16, 0}, {0, 0},
                                               {0, 0},        {1, 0}};
         TBitWriter w;
         DynamicHeader(w, 261, 2, s);
         std::vector<uint8_t> lens(261, 0);
         for (int i = 97; i <= 100; ++i) lens[i] = 3;
         for (int i = 256; i <= 259; ++i) lens[i] = 3;
         auto codes = zlibtest::CanonicalCodes(lens);
         for (char c : std::string("abcd")) w.Code(codes[static_cast<uint8_t>(c)], 3);
         w.Code(codes[259], 3);
         w.Code(0, 1);  // length 5, distance 2
         w.Code(codes[256], 3);
         return w.Finish();
       }},
  };
  for (const auto& c : cases) {
    Bytes data = c.make();
    zlibtest::TZlibResult ref = zlibtest::ZlibInflate(data, true);
    ASSERT_TRUE(ref.accepted) << c.name << ": the test data itself is wrong";
    for (size_t piece : {size_t(0), size_t(1)}) {
      TOurs r = InflateAll(data, true, piece);
      EXPECT_EQ(r.error, 0) << c.name;
      EXPECT_TRUE(r.finished) << c.name;
      EXPECT_EQ(r.out, ref.out) << c.name;
    }
  }
}

// ---- The calling contract ----

TEST(Inflater, ArgumentAndSequenceErrors) {
  Bytes data(100, 0);
  uint8_t buf[16];
  struct {
    const char* name;
    std::function<void(TclInflater&)> call;
    int32_t code;
  } cases[] = {
      {"negative length", [&](TclInflater& i) { i.SetInput(data.data(), 0, -1); }, -106},
      {"negative offset", [&](TclInflater& i) { i.SetInput(data.data(), -1, 5); }, -106},
      {"overflowing range", [&](TclInflater& i) { i.SetInput(data.data(), 0x7FFFFFF0, 0x20); }, -106},
      {"negative output length", [&](TclInflater& i) { i.Inflate(buf, 0, -1); }, -106},
      {"negative output offset", [&](TclInflater& i) { i.Inflate(buf, -2, 1); }, -106},
      {"input not used up",
       [&](TclInflater& i) {
         i.SetInput(data.data(), 0, 10);
         i.SetInput(data.data(), 10, 10);
       },
       -101},
  };
  for (const auto& c : cases) {
    TclInflater inf(true);
    try {
      c.call(inf);
      ADD_FAILURE() << c.name << ": no error";
    } catch (const EclZLibError& e) {
      EXPECT_EQ(e.ErrorCode(), c.code) << c.name;
      EXPECT_EQ(e.Message(), netlib::ZLibErrorMessage(c.code));
      EXPECT_STREQ(e.ClassName(), "EclZLibError");
    }
  }
}

TEST(Inflater, StepsPropertiesAndReset) {
  Bytes text = zlibtest::SampleText(100000, 9);
  Bytes data(compressBound(text.size()));
  uLongf n = data.size();
  compress2(data.data(), &n, text.data(), text.size(), 9);
  data.resize(n);

  TclInflater inf;  // zlib mode
  EXPECT_EQ(inf.Mode(), TclInflater::imHeader);
  EXPECT_TRUE(inf.IsNeedingInput());
  EXPECT_FALSE(inf.IsFinished());
  uint8_t buf[16384];
  EXPECT_EQ(inf.Inflate(buf, 0, 0), 0);  // no input: nothing happens
  inf.SetInput(data.data(), 0, static_cast<int32_t>(data.size()));
  EXPECT_FALSE(inf.IsNeedingInput());
  EXPECT_EQ(inf.RemainingInput(), static_cast<int64_t>(data.size()));
  EXPECT_EQ(inf.Inflate(buf, 0, 0), 0);  // one step: the header
  EXPECT_EQ(inf.Mode(), TclInflater::imBlocks);
  EXPECT_EQ(inf.TotalIn(), 2);

  Bytes out;
  for (;;) {
    int32_t got = inf.Inflate(buf, 0, sizeof(buf));
    // Output comes in full rounds until the end.
    if (!inf.IsFinished()) {
      EXPECT_EQ(got, static_cast<int32_t>(sizeof(buf)));
    }
    out.insert(out.end(), buf, buf + got);
    if (got == 0 || inf.IsFinished()) break;
  }
  EXPECT_EQ(out, text);
  EXPECT_TRUE(inf.IsFinished());
  EXPECT_EQ(inf.Mode(), TclInflater::imFinished);
  EXPECT_EQ(inf.TotalOut(), static_cast<int64_t>(text.size()));
  EXPECT_EQ(inf.TotalIn(), static_cast<int64_t>(data.size()));
  EXPECT_EQ(inf.Adler(), adler32(1, text.data(), static_cast<uInt>(text.size())));
  EXPECT_EQ(inf.Inflate(buf, 0, sizeof(buf)), 0);

  inf.Reset();
  EXPECT_EQ(inf.Mode(), TclInflater::imHeader);
  EXPECT_EQ(inf.TotalOut(), 0);
  EXPECT_EQ(inf.Adler(), 1u);
  inf.SetInput(data.data(), 0, static_cast<int32_t>(data.size()));
  EXPECT_EQ(inf.Inflate(buf, 0, 1000), 1000);
  EXPECT_TRUE(std::equal(buf, buf + 1000, text.begin()));
}

// Output is given in rounds; at most 32 KiB wait in the decoder, however far the input reaches.
TEST(Inflater, LongMatchesAcrossWindowSlides) {
  // Highly repetitive data: every match is long and the window slides many times.
  Bytes text;
  for (int i = 0; i < 300000; ++i) text.push_back(static_cast<uint8_t>("abcabcabd"[i % 9] + (i / 70000)));
  Bytes data(compressBound(text.size()));
  uLongf n = data.size();
  compress2(data.data(), &n, text.data(), text.size(), 9);
  data.resize(n);
  for (size_t outSize : {size_t(1), size_t(258), size_t(16384), size_t(1) << 20}) {
    TOurs r = InflateAll(data, false, 0, outSize);
    EXPECT_EQ(r.error, 0);
    EXPECT_EQ(r.out, text) << outSize;
  }
}

}  // namespace

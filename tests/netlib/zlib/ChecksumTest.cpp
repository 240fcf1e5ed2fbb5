#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <string>

#include "ZLibTestUtil.h"
#include "netlib/zlib/clChecksum.h"

using netlib::TclAdler32;
using netlib::TclCrc32;

namespace {

struct TKnownValue {
  std::string text;
  uint32_t crc32;
  uint32_t adler32;
};

// Published check values (RFC 1952's CRC-32 check "123456789" is CBF43926).
const TKnownValue kKnown[] = {
    {"", 0x00000000u, 0x00000001u},
    {"a", 0xE8B7BE43u, 0x00620062u},
    {"abc", 0x352441C2u, 0x024D0127u},
    {"123456789", 0xCBF43926u, 0x091E01DEu},
    {"Wikipedia", 0xADAAC02Eu, 0x11E60398u},
    {"The quick brown fox jumps over the lazy dog", 0x414FA339u, 0x5BDC0FDAu},
};

TEST(Checksum, KnownValues) {
  for (const auto& k : kKnown) {
    TclCrc32 crc;
    TclAdler32 adler;
    crc.Update(k.text.data(), k.text.size());
    adler.Update(k.text.data(), k.text.size());
    EXPECT_EQ(crc.Value(), k.crc32) << k.text;
    EXPECT_EQ(adler.Value(), k.adler32) << k.text;
  }
}

TEST(Checksum, ResetValuesAndByteUpdates) {
  TclCrc32 crc;
  TclAdler32 adler;
  EXPECT_EQ(crc.Value(), 0u);
  EXPECT_EQ(adler.Value(), 1u);
  for (char c : std::string("123456789")) {
    crc.Update(static_cast<uint8_t>(c));
    adler.Update(static_cast<uint8_t>(c));
  }
  EXPECT_EQ(crc.Value(), 0xCBF43926u);
  EXPECT_EQ(adler.Value(), 0x091E01DEu);
  crc.Reset();
  adler.Reset();
  EXPECT_EQ(crc.Value(), 0u);
  EXPECT_EQ(adler.Value(), 1u);
}

// Every length around the word and vector paths' boundaries, every alignment, in one update and
// split in two, against zlib's own routines.
TEST(Checksum, MatchesZlibForAllLengthsAndSplits) {
  zlibtest::Bytes data = zlibtest::SampleBinary(20000, 3);
  // Long runs of 0xFF make the Adler sums grow fastest, testing the reduction intervals.
  zlibtest::Bytes ones(20000, 0xFF);
  for (const auto* buf : {&data, &ones}) {
    for (size_t len : {0, 1, 7, 15, 16, 17, 31, 32, 33, 63, 64, 65, 127, 128, 129, 255, 256, 272, 319, 320, 511, 512, 1000, 5535,
                       5536, 5537, 5552, 5553, 11072, 19000}) {
      for (size_t off = 0; off < 16; off += 5) {
        const uint8_t* p = buf->data() + off;
        uint32_t zc = crc32(0, p, static_cast<uInt>(len));
        uint32_t za = adler32(1, p, static_cast<uInt>(len));
        TclCrc32 crc;
        TclAdler32 adler;
        crc.Update(p, len);
        adler.Update(p, len);
        EXPECT_EQ(crc.Value(), zc) << "len " << len << " off " << off;
        EXPECT_EQ(adler.Value(), za) << "len " << len << " off " << off;
        size_t cut = len / 3;
        TclCrc32 crc2;
        TclAdler32 adler2;
        crc2.Update(p, cut);
        crc2.Update(p + cut, len - cut);
        adler2.Update(p, cut);
        adler2.Update(p + cut, len - cut);
        EXPECT_EQ(crc2.Value(), zc) << "split len " << len;
        EXPECT_EQ(adler2.Value(), za) << "split len " << len;
      }
    }
  }
}

TEST(Checksum, LargeBufferMatchesZlib) {
  zlibtest::Bytes big(3 << 20);
  std::mt19937 r(11);
  for (auto& b : big) b = static_cast<uint8_t>(r() % 7 == 0 ? 0xFF : r());
  TclCrc32 crc;
  TclAdler32 adler;
  crc.Update(big.data(), big.size());
  adler.Update(big.data(), big.size());
  EXPECT_EQ(crc.Value(), crc32(0, big.data(), static_cast<uInt>(big.size())));
  EXPECT_EQ(adler.Value(), adler32(1, big.data(), static_cast<uInt>(big.size())));
}

// Used through the base class, as the gzip stream and the inflater hold them.
TEST(Checksum, VirtualSlots) {
  TclCrc32 crc;
  TclAdler32 adler;
  netlib::TclCheckSum* sums[] = {&crc, &adler};
  for (auto* s : sums) {
    s->Update("12345", 5);
    s->Update(static_cast<uint8_t>('6'));
    s->Update("789", 3);
  }
  EXPECT_EQ(crc.Value(), 0xCBF43926u);
  EXPECT_EQ(adler.Value(), 0x091E01DEu);
  for (auto* s : sums) s->Reset();
  EXPECT_EQ(crc.Value(), 0u);
  EXPECT_EQ(adler.Value(), 1u);
}

}  // namespace

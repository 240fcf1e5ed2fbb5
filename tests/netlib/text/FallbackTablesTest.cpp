// Proves the checked-in fallback tables against glibc iconv at test time (on Linux: Windows has no
// iconv, and the proof is the same there; cmake/KrvWineExclusions.cmake says so).
#include <gtest/gtest.h>
#ifndef _WIN32
#include <errno.h>
#include <iconv.h>
#endif

#include <cstring>
#include <string>

#include "netlib/text/clTranslator.h"

using netlib::FallbackCharSets;
using netlib::TclCharSetTable;

namespace {

#ifndef _WIN32
// One byte of `from` as the single byte of `to`, or -1 when either set lacks the character.
int MapByte(const char* from, const char* to, uint8_t b) {
  iconv_t dec = iconv_open("UTF-32LE", from);
  iconv_t enc = iconv_open(to, "UTF-32LE");
  EXPECT_NE(dec, reinterpret_cast<iconv_t>(-1)) << from;
  EXPECT_NE(enc, reinterpret_cast<iconv_t>(-1)) << to;
  char in[1] = {static_cast<char>(b)};
  char u[8];
  char out[8];
  char* ip = in;
  size_t il = 1;
  char* up = u;
  size_t ul = sizeof(u);
  int result = -1;
  if (iconv(dec, &ip, &il, &up, &ul) != static_cast<size_t>(-1) && ul == 4) {
    char* up2 = u;
    size_t ul2 = 4;
    char* op = out;
    size_t ol = sizeof(out);
    if (iconv(enc, &up2, &ul2, &op, &ol) != static_cast<size_t>(-1) && ol == sizeof(out) - 1)
      result = static_cast<uint8_t>(out[0]);
  }
  iconv_close(dec);
  iconv_close(enc);
  return result;
}
#endif

struct Pair {
  const char16_t* name;
  const char* named;  // nullptr: identity
  const char* local;
};

// The record order and the sets each record pairs.
const Pair kPairs[netlib::FallbackCharSetCount] = {
    {u"ISO-8859-1", nullptr, nullptr},
    {u"ISO-8859-2", "ISO-8859-2", "WINDOWS-1250"},
    {u"Windows-1250", nullptr, nullptr},
    {u"ibm866", "IBM866", "WINDOWS-1251"},
    {u"ISO-8859-5", "ISO-8859-5", "WINDOWS-1251"},
    {u"koi8-r", "KOI8-R", "WINDOWS-1251"},
    {u"koi8-u", "KOI8-U", "WINDOWS-1251"},
    {u"KOI8-WIN", "KOI8-R", "WINDOWS-1251"},
    {u"WIN-KOI8", "WINDOWS-1251", "KOI8-R"},
    {u"Windows-1251", nullptr, nullptr},
    {u"x-mac-cyrillic", "MAC-CYRILLIC", "WINDOWS-1251"},
    {u"Latin1", nullptr, nullptr},
};

TEST(FallbackTables, OrderAndNames) {
  for (int i = 0; i < netlib::FallbackCharSetCount; ++i) {
    EXPECT_EQ(std::u16string(FallbackCharSets[i].Name), kPairs[i].name) << i;
    EXPECT_LE(std::char_traits<char16_t>::length(FallbackCharSets[i].Name), 20u);
  }
  EXPECT_EQ(netlib::FindFallbackCharSet(u"KOI8-r"), &FallbackCharSets[5]);
  EXPECT_EQ(netlib::FindFallbackCharSet(u"latin1"), &FallbackCharSets[11]);
  EXPECT_EQ(netlib::FindFallbackCharSet(u"utf-8"), nullptr);
}

#ifndef _WIN32
TEST(FallbackTables, EveryByteAgreesWithIconv) {
  for (int i = 0; i < netlib::FallbackCharSetCount; ++i) {
    const TclCharSetTable& t = FallbackCharSets[i];
    const Pair& p = kPairs[i];
    for (int b = 0; b < 256; ++b) {
      if (!p.named) {
        ASSERT_EQ(t.FromTable[b], b) << rtl::U8(p.name);
        ASSERT_EQ(t.ToTable[b], b) << rtl::U8(p.name);
        continue;
      }
      int from = MapByte(p.named, p.local, static_cast<uint8_t>(b));
      int to = MapByte(p.local, p.named, static_cast<uint8_t>(b));
      ASSERT_EQ(t.FromTable[b], from < 0 ? '?' : from) << rtl::U8(p.name) << " from byte " << b;
      ASSERT_EQ(t.ToTable[b], to < 0 ? '?' : to) << rtl::U8(p.name) << " to byte " << b;
    }
  }
}

#endif

struct Letter {
  const char16_t* set;
  uint8_t named;
  uint8_t local;
};

TEST(FallbackTables, KnownLettersBothWays) {
  // Hand-checked against the code charts: Cyrillic small a, capital A, Ukrainian ie, Polish A-ogonek.
  const Letter letters[] = {
      {u"koi8-r", 0xC1, 0xE0},  {u"koi8-r", 0xE1, 0xC0},  {u"ibm866", 0x80, 0xC0},
      {u"ibm866", 0xA0, 0xE0},  {u"ISO-8859-5", 0xD0, 0xE0}, {u"koi8-u", 0xA4, 0xBA},
      {u"ISO-8859-2", 0xA1, 0xA5}, {u"x-mac-cyrillic", 0xE0, 0xE0}, {u"x-mac-cyrillic", 0x80, 0xC0},
      {u"KOI8-WIN", 0xC1, 0xE0}, {u"WIN-KOI8", 0xE0, 0xC1},
  };
  for (const Letter& l : letters) {
    const TclCharSetTable* t = netlib::FindFallbackCharSet(l.set);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->FromTable[l.named], l.local) << rtl::U8(l.set);
    EXPECT_EQ(t->ToTable[l.local], l.named) << rtl::U8(l.set);
  }
}

}  // namespace

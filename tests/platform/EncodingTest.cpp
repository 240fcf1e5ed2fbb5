#include "platform/Encoding.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using platform::TEncoding;
using rtl::Bytes;
using rtl::String;

namespace {

Bytes B(std::initializer_list<int> v) {
  Bytes b;
  for (int x : v) b.push_back(static_cast<uint8_t>(x));
  return b;
}

struct NameCase {
  const char16_t* name;
  unsigned codePage;
};

TEST(EncodingNames, ResolvesStandardNamesAndCodePageNumbers) {
  const NameCase cases[] = {
      {u"utf-8", 65001},       {u"UTF-8", 65001},        {u"  utf-8\t", 65001},   {u"cp65001", 65001},
      {u"CP1252", 1252},       {u"windows-1252", 1252},  {u"iso-8859-1", 28591},  {u"Latin1", 28591},
      {u"ISO-8859-2", 28592},  {u"iso-8859-5", 28595},   {u"koi8-r", 20866},      {u"KOI8-U", 21866},
      {u"ibm866", 866},        {u"cp866", 866},          {u"Windows-1250", 1250}, {u"cp1251", 1251},
      {u"x-mac-cyrillic", 10007}, {u"us-ascii", 20127},  {u"utf-16", 1200},       {u"unicodeFFFE", 1201},
      {u"cp28592", 28592},     {u"Shift_JIS", 932},
  };
  for (const NameCase& c : cases) {
    std::unique_ptr<TEncoding> e = TEncoding::GetEncoding(c.name);
    ASSERT_TRUE(e) << rtl::U8(c.name);
    EXPECT_EQ(e->CodePage(), c.codePage) << rtl::U8(c.name);
  }
}

TEST(EncodingNames, ResolvesGb18030) {
  std::unique_ptr<TEncoding> e = TEncoding::GetEncoding(u"gb18030");
  EXPECT_EQ(e->CodePage(), 54936u);
  // Four bytes for a character beyond the Basic Multilingual Plane.
  EXPECT_EQ(e->GetBytes(u"\U0001F600").size(), 4u);
}

TEST(EncodingNames, CodePageNumbersIconvKnowsDirectly) {
  // CP437 and CP850 come from iconv's own table; their code page is the number given.
  for (const char16_t* name : {u"cp437", u"CP850", u"cp852"}) {
    std::unique_ptr<TEncoding> e = TEncoding::TryGetEncoding(name);
    ASSERT_TRUE(e) << rtl::U8(name);
  }
  // 0x82 is e-acute in code page 437.
  EXPECT_EQ(TEncoding::GetEncoding(u"cp437")->GetString(B({0x82})), u"\u00E9");
}

TEST(EncodingNames, UnknownOrMalformedNamesRaise) {
  for (const char16_t* name : {u"", u"   ", u"no-such-set", u"utf-8//TRANSLIT", u"cp99999", u"utf 8", u"k\u00F6i8",
                               u"../../etc/passwd"}) {
    EXPECT_THROW(TEncoding::GetEncoding(name), rtl::EEncodingError) << rtl::U8(name);
    EXPECT_EQ(TEncoding::TryGetEncoding(name), nullptr) << rtl::U8(name);
  }
}

struct BytesCase {
  const char16_t* set;
  String text;
  Bytes bytes;
};

TEST(EncodingConversions, EncodeTable) {
  const BytesCase cases[] = {
      {u"utf-8", u"\u00C4", B({0xC3, 0x84})},
      {u"ISO-8859-1", u"\u00C4", B({0xC4})},
      {u"windows-1252", u"\u20AC\u00C4", B({0x80, 0xC4})},
      // A character the set cannot carry becomes "?"; in a Unicode form a lone surrogate U+FFFD.
      {u"ISO-8859-1", u"a\u20ACb", B({'a', '?', 'b'})},
      {u"us-ascii", u"\u00E9", B({'?'})},
      {u"koi8-r", u"\U0001F600", B({'?'})},
      {u"utf-8", String(u"a") + char16_t(0xD800) + u"b", B({'a', 0xEF, 0xBF, 0xBD, 'b'})},
      {u"utf-8", u"\U0001F600", B({0xF0, 0x9F, 0x98, 0x80})},
      // "utf-16" is little-endian without a byte-order mark.
      {u"utf-16", u"A\u20AC", B({0x41, 0x00, 0xAC, 0x20})},
      {u"utf-16be", u"A", B({0x00, 0x41})},
      {u"koi8-r", u"\u0430\u0410", B({0xC1, 0xE1})},
      {u"windows-1251", u"\u0430", B({0xE0})},
  };
  for (const BytesCase& c : cases) {
    std::unique_ptr<TEncoding> e = TEncoding::GetEncoding(c.set);
    EXPECT_EQ(e->GetBytes(c.text), c.bytes) << rtl::U8(c.set) << " " << rtl::U8(c.text);
    EXPECT_EQ(e->GetByteCount(c.text), static_cast<int>(c.bytes.size())) << rtl::U8(c.set);
  }
}

TEST(EncodingConversions, DecodeTable) {
  const BytesCase cases[] = {
      {u"utf-8", u"\u00C4", B({0xC3, 0x84})},
      {u"ISO-8859-1", u"\u00C4\u0080", B({0xC4, 0x80})},
      {u"koi8-r", u"\u0430", B({0xC1})},
      {u"utf-16", u"A\u20AC", B({0x41, 0x00, 0xAC, 0x20})},
      // Undecodable bytes and a sequence cut short become U+FFFD, the rest survives.
      {u"utf-8", u"a\uFFFDb", B({'a', 0xFF, 'b'})},
      {u"utf-8", u"a\uFFFD", B({'a', 0xE2, 0x82})},
      {u"utf-16", u"A\uFFFD", B({0x41, 0x00, 0x42})},
  };
  for (const BytesCase& c : cases) {
    std::unique_ptr<TEncoding> e = TEncoding::GetEncoding(c.set);
    EXPECT_EQ(e->GetString(c.bytes), c.text) << rtl::U8(c.set);
  }
}

// A stateful set: each text ends in its initial state, and shift sequences alone carry nothing.
TEST(EncodingStateful, Iso2022JpEndsInItsInitialState) {
  std::unique_ptr<TEncoding> e = TEncoding::GetEncoding(u"ISO-2022-JP");
  Bytes bytes = B({0x1B, 0x24, 0x42, 0x24, 0x22, 0x1B, 0x28, 0x42, 'a'});
  EXPECT_EQ(e->GetBytes(u"\u3042a"), bytes);
  EXPECT_EQ(e->GetString(bytes), u"\u3042a");
}

TEST(EncodingAnsi, EveryByteRoundTripsThroughTheDefault) {
  std::unique_ptr<TEncoding> e = TEncoding::Default();
  EXPECT_EQ(e->CodePage(), 1252u);
  Bytes all(256);
  for (int i = 0; i < 256; ++i) all[i] = static_cast<uint8_t>(i);
  String s = e->GetString(all);
  ASSERT_EQ(s.size(), 256u);
  // The five bytes Windows-1252 leaves undefined stay their C1 controls.
  for (int b : {0x81, 0x8D, 0x8F, 0x90, 0x9D}) EXPECT_EQ(s[b], b);
  EXPECT_EQ(s[0x80], u'\u20AC');
  EXPECT_EQ(e->GetBytes(s), all);
}

TEST(EncodingErrors, ByteLimitedEncodingRaisesWhenTooShort) {
  std::unique_ptr<TEncoding> e = TEncoding::GetEncoding(u"utf-8");
  uint8_t buf[4] = {0xAA, 0xAA, 0xAA, 0xAA};
  EXPECT_EQ(e->GetBytes(u"\u00C4", buf, 4), 2);
  EXPECT_EQ(buf[0], 0xC3);
  EXPECT_EQ(buf[1], 0x84);
  EXPECT_EQ(buf[2], 0xAA);
  EXPECT_EQ(e->GetBytes(u"\u00C4", buf, 2), 2);
  uint8_t small[1] = {0x55};
  EXPECT_THROW(e->GetBytes(u"\u00C4", small, 1), rtl::EEncodingError);
  EXPECT_EQ(small[0], 0x55) << "nothing is written when the encoding does not fit";
  EXPECT_THROW(TEncoding::Default()->GetBytes(u"abc", small, 1), rtl::EEncodingError);
  EXPECT_EQ(e->GetBytes(u"", small, 0), 0);
}

TEST(EncodingStateful, NonEmptyInputThatDecodesToNothingRaises) {
  // A lone shift sequence carries no character.
  std::unique_ptr<TEncoding> e = TEncoding::GetEncoding(u"ISO-2022-JP");
  EXPECT_THROW(e->GetString(B({0x1B, 0x28, 0x42})), rtl::EEncodingError);
  EXPECT_EQ(e->GetString(nullptr, 0), u"");
}

TEST(EncodingConversions, LongTextCrossesBufferGrowth) {
  String text;
  for (int i = 0; i < 20000; ++i) text.push_back(static_cast<char16_t>(0x4E00 + i % 5000));
  std::unique_ptr<TEncoding> e = TEncoding::GetEncoding(u"utf-8");
  Bytes b = e->GetBytes(text);
  EXPECT_EQ(b.size(), 60000u);
  EXPECT_EQ(e->GetString(b), text);
}

TEST(EncodingStateful, OutputLongerThanItsEstimateGrows) {
  // Every switch in and out of JIS X 0208 costs six bytes of escapes: nine bytes for two units.
  String text;
  for (int i = 0; i < 1000; ++i) text += u"a\u3042";
  std::unique_ptr<TEncoding> e = TEncoding::GetEncoding(u"ISO-2022-JP");
  Bytes b = e->GetBytes(text);
  EXPECT_EQ(b.size(), 9000u);
  EXPECT_EQ(e->GetString(b), text);
}

}  // namespace

#include "netlib/text/clTranslator.h"

#include <gtest/gtest.h>

#include <memory>

#include "rtl/Ansi.h"

using netlib::TclTranslator;
using rtl::Bytes;
using rtl::String;

namespace {

Bytes B(std::initializer_list<int> v) {
  Bytes b;
  for (int x : v) b.push_back(static_cast<uint8_t>(x));
  return b;
}

struct GetBytesCase {
  const char16_t* set;
  String text;
  Bytes bytes;
};

TEST(TranslatorGetBytes, ThroughTheNamedSetOrTheAnsiCodePage) {
  const GetBytesCase cases[] = {
      {u"utf-8", u"\u00C4", B({0xC3, 0x84})},
      {u"UTF-8", u"\u00C4", B({0xC3, 0x84})},
      {u"ISO-8859-1", u"\u00C4", B({0xC4})},
      // An unknown name and the empty name select the ANSI code page (Windows-1252).
      {u"no-such-charset", u"\u00C4\u20AC", B({0xC4, 0x80})},
      {u"", u"\u00C4\u20AC", B({0xC4, 0x80})},
      {u"  ", u"\u0430", B({'?'})},
      {u"koi8-r", u"\u041F\u0440", B({0xF0, 0xD2})},
      {u"utf-8", u"", B({})},
  };
  for (const GetBytesCase& c : cases) {
    EXPECT_EQ(TclTranslator::GetBytes(c.text, c.set), c.bytes) << rtl::U8(c.set);
    EXPECT_EQ(TclTranslator::GetByteCount(c.text, c.set), static_cast<int>(c.bytes.size())) << rtl::U8(c.set);
  }
}

struct LimitedCase {
  const char16_t* set;
  String text;
  int limit;
  Bytes expected;
};

TEST(TranslatorGetBytes, ByteLimitFallsBackWhenTheEncodingIsLonger) {
  const LimitedCase cases[] = {
      // Fits: the platform's bytes.
      {u"utf-8", u"\u00C4", 8, B({0xC3, 0x84})},
      {u"utf-8", u"\u00C4", 2, B({0xC3, 0x84})},
      // Too short: the fallback supplies the bytes (the library's UTF-8 of the ANSI form), cut.
      {u"utf-8", u"\u00C4", 1, B({0xC3})},
      // Not representable in ANSI: "?" survives the fallback.
      {u"utf-8", u"\u0430\u0431", 3, B({'?', '?'})},
      // Other sets: the ANSI bytes through the fallback table (identity for ISO-8859-1).
      {u"ISO-8859-1", u"abc", 2, B({'a', 'b'})},
      {u"ISO-8859-2", u"a\u00C4c", 2, B({'a', 0xC4})},
      {u"utf-8", u"abc", 0, B({})},
  };
  for (const LimitedCase& c : cases) {
    uint8_t buf[16];
    std::fill(std::begin(buf), std::end(buf), 0xEE);
    int n = TclTranslator::GetBytes(c.text, buf, c.limit, c.set);
    EXPECT_EQ(Bytes(buf, buf + n), c.expected) << rtl::U8(c.set) << " limit " << c.limit;
    EXPECT_EQ(buf[n], 0xEE) << "nothing written beyond the count";
  }
}

TEST(TranslatorGetBytes, FallbackTranslatesAnsiBytesThroughTheTable) {
  // Byte 0x8A (S-caron in Windows-1250 and Windows-1252) becomes ISO-8859-2's A9: the table's
  // "to" direction applies to the ANSI bytes.
  uint8_t buf[1];
  EXPECT_EQ(TclTranslator::GetBytes(u"\u0160x", buf, 1, u"ISO-8859-2"), 1);
  EXPECT_EQ(buf[0], 0xA9);
}

struct GetStringCase {
  const char16_t* set;
  Bytes bytes;
  String text;
};

TEST(TranslatorGetString, TerminatingZeroAndSets) {
  const GetStringCase cases[] = {
      {u"utf-8", B({0x41, 0x42, 0x00}), u"AB"},
      {u"utf-8", B({0x41, 0x42, 0x00, 0x00}), String(u"AB") + char16_t(0)},
      {u"ISO-8859-1", B({0xC4}), u"\u00C4"},
      {u"utf-8", B({0xC3, 0x84}), u"\u00C4"},
      {u"unknown-set", B({0x80, 0xC4}), u"\u20AC\u00C4"},
      {u"utf-8", B({0x00}), u""},
      {u"koi8-r", B({0xF0, 0xD2}), u"\u041F\u0440"},
      // The platform decodes a lone shift sequence to nothing: the fallback hands the bytes
      // over unchanged (no table for this set) as ANSI text.
      {u"ISO-2022-JP", B({0x1B, 0x28, 0x42}), u"\x1B(B"},
  };
  for (const GetStringCase& c : cases) {
    EXPECT_EQ(TclTranslator::GetString(c.bytes.data(), static_cast<int>(c.bytes.size()), c.set), c.text)
        << rtl::U8(c.set);
    EXPECT_EQ(TclTranslator::GetString(c.bytes, c.set), c.text) << rtl::U8(c.set);
  }
}

TEST(TranslatorGetString, CountZeroOrLessGivesEmpty) {
  Bytes b = B({0x41});
  EXPECT_EQ(TclTranslator::GetString(b.data(), 0, u"utf-8"), u"");
  EXPECT_EQ(TclTranslator::GetString(b.data(), -3, u"utf-8"), u"");
  EXPECT_EQ(TclTranslator::GetString(b, 0, 0, u"utf-8"), u"");
  EXPECT_EQ(TclTranslator::GetString(b, 5, -1, u"utf-8"), u"");
}

TEST(TranslatorGetString, RangeOfAnArray) {
  Bytes b = B({'x', 'A', 'B', 0x00, 'y'});
  EXPECT_EQ(TclTranslator::GetString(b, 1, 3, u"us-ascii"), u"AB");
  EXPECT_EQ(TclTranslator::GetString(b, 4, 1, u"us-ascii"), u"y");
  EXPECT_THROW(TclTranslator::GetString(b, 4, 2, u"us-ascii"), rtl::EConvertError);
  EXPECT_THROW(TclTranslator::GetString(b, -1, 2, u"us-ascii"), rtl::EConvertError);
  EXPECT_THROW(TclTranslator::GetString(b, 6, 1, u"us-ascii"), rtl::EConvertError);
  EXPECT_THROW(TclTranslator::GetString(b, 1, 0x7FFFFFFF, u"us-ascii"), rtl::EConvertError);
}

TEST(TranslatorTables, StreamsTranslateWholeAndKeepPositions) {
  // Windows-1251 "Privet" to KOI8-R and back.
  Bytes win = B({0xCF, 0xF0, 0xE8, 0xE2, 0xE5, 0xF2});
  Bytes koi = B({0xF0, 0xD2, 0xC9, 0xD7, 0xC5, 0xD4});
  rtl::TBytesStream src(win);
  src.SetPosition(4);
  rtl::TMemoryStream dst;
  TclTranslator::TranslateTo(u"KOI8-R", src, dst);
  EXPECT_EQ(src.Position(), 4);
  EXPECT_EQ(dst.Position(), 0);
  ASSERT_EQ(dst.Size(), 6);
  EXPECT_EQ(Bytes(dst.Memory(), dst.Memory() + 6), koi);

  rtl::TBytesStream back(koi);
  rtl::TMemoryStream out;
  out.WriteBuffer("zz", 2);
  TclTranslator::TranslateFrom(u"koi8-r", back, out);
  EXPECT_EQ(out.Position(), 2);
  EXPECT_EQ(Bytes(out.Memory(), out.Memory() + 6), win);
}

TEST(TranslatorTables, OneStreamAsSourceAndDestinationIsTranslatedInPlace) {
  // Larger than one read chunk, so a naive copy would overtake its own reading.
  Bytes win(20000, 0xE0);
  rtl::TBytesStream s(win);
  s.SetPosition(7);
  TclTranslator::TranslateTo(u"koi8-r", s, s);
  EXPECT_EQ(s.Position(), 7);
  EXPECT_EQ(Bytes(s.Memory(), s.Memory() + s.Size()), Bytes(20000, 0xC1));
}

TEST(TranslatorTables, UnknownSetCopiesUnchanged) {
  Bytes data = B({0x00, 0x80, 0xFF, 0x41});
  EXPECT_EQ(TclTranslator::TranslateTo(u"utf-8", data), data);
  EXPECT_EQ(TclTranslator::TranslateFrom(u"", data), data);
  rtl::TBytesStream src(data);
  rtl::TMemoryStream dst;
  TclTranslator::TranslateFrom(u"nothing", src, dst);
  EXPECT_EQ(Bytes(dst.Memory(), dst.Memory() + dst.Size()), data);
}

TEST(TranslatorTables, StringFormsCarryOneBytePerCodeUnit) {
  EXPECT_EQ(TclTranslator::TranslateTo(u"koi8-r", String(u"\u00CF\u00F0")), String(u"\u00F0\u00D2"));
  EXPECT_EQ(TclTranslator::TranslateFrom(u"KOI8-R", String(u"\u00F0\u00D2")), String(u"\u00CF\u00F0"));
  // A unit above 255 is no byte: "?" goes through the table.
  EXPECT_EQ(TclTranslator::TranslateTo(u"koi8-r", String(u"\u0430")), u"?");
}

struct Utf8Case {
  String text;
  Bytes bytes;
};

TEST(TranslatorUtf8, EncodesEachCodeUnitOnItsOwn) {
  const Utf8Case cases[] = {
      {u"", B({})},
      {u"A", B({0x41})},
      {String(1, char16_t(0)), B({0x00})},
      {u"\u007F", B({0x7F})},
      {u"\u0080", B({0xC2, 0x80})},
      {u"\u00E9", B({0xC3, 0xA9})},
      {u"\u07FF", B({0xDF, 0xBF})},
      {u"\u0800", B({0xE0, 0xA0, 0x80})},
      {u"\u20AC", B({0xE2, 0x82, 0xAC})},
      {u"\uFFFF", B({0xEF, 0xBF, 0xBF})},
      // A surrogate pair: two three-byte sequences, not one four-byte one.
      {u"\U0001F600", B({0xED, 0xA0, 0xBD, 0xED, 0xB8, 0x80})},
  };
  for (const Utf8Case& c : cases) {
    EXPECT_EQ(TclTranslator::TranslateToUtf8Bytes(c.text), c.bytes);
    EXPECT_EQ(TclTranslator::TranslateToUtf8(c.text), String(c.bytes.begin(), c.bytes.end()));
  }
}

TEST(TranslatorUtf8, DecodeTable) {
  const Utf8Case cases[] = {
      {u"", B({})},
      {u"A\u00E9\u20AC", B({0x41, 0xC3, 0xA9, 0xE2, 0x82, 0xAC})},
      // A bad continuation: one character for the lead and the offending byte together.
      {u"\u20ACB", B({0xC3, 0x41, 0x42})},
      {u" B", B({0xC3, 0x20, 0x42})},
      {u"\u20AC", B({0xE2, 0x82, 0x41})},
      {u"x ", B({0x78, 0xE2, 0x82, 0x20})},
      // The end counts as a zero byte.
      {u"a\u20AC", B({0x61, 0xC3})},
      {u"a\u20AC", B({0x61, 0xE2, 0x82})},
      {u"a\u20AC", B({0x61, 0xE2})},
      // A four-byte lead is read as a three-byte lead; the stray continuation as a two-byte lead.
      {u"\u07D8\u20AC", B({0xF0, 0x9F, 0x98, 0x80})},
      {u"\U0001F600", B({0xED, 0xA0, 0xBD, 0xED, 0xB8, 0x80})},
  };
  for (const Utf8Case& c : cases) {
    EXPECT_EQ(TclTranslator::TranslateFromUtf8(c.bytes), c.text);
    EXPECT_EQ(TclTranslator::TranslateFromUtf8(String(c.bytes.begin(), c.bytes.end())), c.text);
  }
}

TEST(TranslatorUtf8, EveryCodeUnitRoundTrips) {
  String all;
  for (uint32_t c = 0; c <= 0xFFFF; ++c) all.push_back(static_cast<char16_t>(c));
  EXPECT_EQ(TclTranslator::TranslateFromUtf8(TclTranslator::TranslateToUtf8Bytes(all)), all);
}

TEST(TranslatorUtf8, NeverReadsPastItsInput) {
  // Every one- to three-byte tail of interesting bytes, each in an allocation of exactly its
  // size: under AddressSanitizer a read past the end aborts the test.
  const uint8_t interesting[] = {0x00, 0x20, 0x41, 0x7F, 0x80, 0xBF, 0xC0, 0xC3, 0xDF, 0xE0, 0xE2, 0xEF, 0xF0, 0xFF};
  size_t runs = 0;
  for (size_t len = 1; len <= 3; ++len) {
    size_t combos = 1;
    for (size_t i = 0; i < len; ++i) combos *= sizeof(interesting);
    for (size_t k = 0; k < combos; ++k) {
      std::unique_ptr<uint8_t[]> buf(new uint8_t[len]);
      size_t x = k;
      for (size_t i = 0; i < len; ++i) {
        buf[i] = interesting[x % sizeof(interesting)];
        x /= sizeof(interesting);
      }
      String s = TclTranslator::TranslateFromUtf8(buf.get(), len);
      // Never more characters than bytes.
      ASSERT_LE(s.size(), len);
      ++runs;
    }
  }
  EXPECT_EQ(runs, 14u + 14u * 14u + 14u * 14u * 14u);
}

}  // namespace

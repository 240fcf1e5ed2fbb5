#include <gtest/gtest.h>

#include "rtl/Ansi.h"
#include "rtl/Exception.h"
#include "rtl/SysUtils.h"

using namespace rtl;

TEST(Utf8, RoundTripsEveryPlane) {
  String s = u"a\u00C4\u20AC\U0001F600z";
  EXPECT_EQ(StringToUtf8(s), "a\xC3\x84\xE2\x82\xAC\xF0\x9F\x98\x80z");
  EXPECT_EQ(Utf8ToString(StringToUtf8(s)), s);
}

TEST(Utf8, InvalidBytesBecomeReplacementCharacters) {
  struct Case { std::string in; String out; } cases[] = {
      {"\xC3", u"\uFFFD"},                 // cut short at the end
      {"\xC3" "A", u"\uFFFD" "A"},         // continuation missing
      {"\xC0\xAF", u"\uFFFD\uFFFD"},       // overlong lead
      {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},  // encoded surrogate
      {"\xFF", u"\uFFFD"},
      {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // beyond U+10FFFF
  };
  for (auto& c : cases) EXPECT_EQ(Utf8ToString(c.in), c.out) << c.in;
  EXPECT_EQ(StringToUtf8(u"\xD800x"), "\xEF\xBF\xBDx");  // lone surrogate
}

TEST(Strings, TrimTreatsEveryCodeUpTo32AsBlank) {
  EXPECT_EQ(Trim(u"\x01\t a b \r\n\x1F"), u"a b");
  EXPECT_EQ(TrimLeft(u"  x "), u"x ");
  EXPECT_EQ(TrimRight(u"  x \x20"), u"  x");
  EXPECT_EQ(Trim(u"\x7F"), u"\x7F");
  EXPECT_EQ(Trim(u"   "), u"");
}

TEST(Strings, CaseMapping) {
  EXPECT_EQ(UpperCase(u"abc\u00E4"), u"ABC\u00E4");  // ASCII only
  EXPECT_EQ(AnsiUpperCase(u"abc\u00E4\u017E"), u"ABC\u00C4\u017D");
  EXPECT_EQ(AnsiLowerCase(u"\u0416Z"), u"\u0436z");
  EXPECT_EQ(AnsiUpperCase(u"\U00010428"), u"\U00010400");  // Deseret, outside the BMP
  EXPECT_TRUE(SameText(u"Content-Type", u"content-TYPE"));
  EXPECT_FALSE(SameText(u"\u00E4", u"\u00C4"));
  EXPECT_LT(CompareText(u"abc", u"ABD"), 0);
  EXPECT_GT(CompareText(u"abcd", u"ABC"), 0);
}

TEST(Strings, OneBasedPositions) {
  EXPECT_EQ(Pos(u"b", u"abcb"), 2);
  EXPECT_EQ(Pos(u"b", u"abcb", 3), 4);
  EXPECT_EQ(Pos(u"", u"abc"), 0);
  EXPECT_EQ(Pos(u"x", u"abc", 9), 0);
  EXPECT_EQ(Copy(u"abcdef", 2, 3), u"bcd");
  EXPECT_EQ(Copy(u"abcdef", 0, 2), u"ab");
  EXPECT_EQ(Copy(u"abcdef", 5), u"ef");
  EXPECT_EQ(Copy(u"abc", 4, 1), u"");
  String s = u"abcdef";
  Delete(s, 2, 2);
  EXPECT_EQ(s, u"adef");
  Insert(u"XY", s, 2);
  EXPECT_EQ(s, u"aXYdef");
  EXPECT_EQ(StringReplace(u"aXbxc", u"x", u"-", rfReplaceAll | rfIgnoreCase), u"a-b-c");
  EXPECT_EQ(StringReplace(u"axbxc", u"x", u"-", 0), u"a-bxc");
}

TEST(Integers, ParseLikeTheRuntime) {
  struct Case { const char16_t* text; bool ok; int64_t value; } cases[] = {
      {u"0", true, 0},        {u"  42", true, 42},     {u"-17", true, -17},
      {u"+5", true, 5},       {u"$FF", true, 255},     {u"0x1f", true, 31},
      {u"x10", true, 16},     {u"-$10", true, -16},    {u"2147483647", true, 2147483647},
      {u"-2147483648", true, -2147483648LL},           {u"$FFFFFFFF", true, -1},
      {u"2147483648", false, 0}, {u"", false, 0},      {u" ", false, 0},
      {u"12a", false, 0},     {u"42 ", false, 0},      {u"\t1", false, 0},
      {u"-", false, 0},       {u"$", false, 0},        {u"0x", false, 0},
      {u"$100000000", false, 0}, {u"1.5", false, 0},
  };
  for (auto& c : cases) {
    int32_t v = 12345;
    EXPECT_EQ(TryStrToInt(c.text, v), c.ok) << U8(c.text);
    if (c.ok) { EXPECT_EQ(v, c.value) << U8(c.text); }
  }
  EXPECT_EQ(StrToInt64(u"9223372036854775807"), INT64_MAX);
  EXPECT_EQ(StrToInt64(u"-9223372036854775808"), INT64_MIN);
  EXPECT_THROW(StrToInt64(u"9223372036854775808"), EConvertError);
  EXPECT_EQ(StrToInt64(u"$FFFFFFFFFFFFFFFF"), -1);
  EXPECT_EQ(StrToIntDef(u"zz", 7), 7);
  try {
    StrToInt(u"abc");
    FAIL();
  } catch (const EConvertError& e) {
    EXPECT_EQ(e.Message(), u"'abc' is not a valid integer value");
    EXPECT_STREQ(e.ClassName(), "EConvertError");
    EXPECT_EQ(e.Diagnostic(), u"EConvertError: 'abc' is not a valid integer value");
  }
}

TEST(Format, Patterns) {
  struct Case { const char16_t* fmt; std::vector<TVarRec> args; const char16_t* out; } cases[] = {
      {u"%s_SQL_%s_%s_%s.7z", {u"a", u"b", u"c", u"d"}, u"a_SQL_b_c_d.7z"},
      {u"%d%%", {42}, u"42%"},
      {u"%.3d|%5d|%-5d|", {7, 42, 42}, u"007|   42|42   |"},
      {u"%x %X %.8x", {255, 255, 255}, u"FF FF 000000FF"},
      {u"%x", {-1}, u"FFFFFFFF"},
      {u"%u", {4294967295u}, u"4294967295"},
      {u"%.2f", {3.14159}, u"3.14"},
      {u"%n", {1234567.0}, u"1,234,567.00"},
      {u"%*d", {4, 7}, u"   7"},
      {u"%1:s %0:s", {u"a", u"b"}, u"b a"},
      {u"%.2s", {u"abcdef"}, u"ab"},
      {u"%d", {int64_t(-9000000000LL)}, u"-9000000000"},
  };
  for (auto& c : cases) EXPECT_EQ(Format(c.fmt, c.args), c.out) << U8(c.fmt);
  EXPECT_THROW(Format(u"%d", {u"x"}), EConvertError);
  EXPECT_THROW(Format(u"%s %s", {u"x"}), EConvertError);
  EXPECT_THROW(Format(u"%q", {1}), EConvertError);
  EXPECT_THROW(Format(u"abc%", {}), EConvertError);
}

TEST(Paths, SplitAndJoin) {
  // What a function answers for a path, per system: "/" paths split alike on both.
  struct Case {
    const char* what;
    String (*fn)(std::u16string_view);
    const char16_t* in;
    const char16_t* posix;
    const char16_t* windows;
  };
  const Case cases[] = {
      {"path", ExtractFilePath, u"/a/b/c.exe", u"/a/b/", u"/a/b/"},
      {"dir", ExtractFileDir, u"/a/b/c.exe", u"/a/b", u"/a/b"},
      {"dir", ExtractFileDir, u"/c.exe", u"/", u"/"},
      {"dir", ExtractFileDir, u"/a//b", u"/a/", u"/a/"},
      {"name", ExtractFileName, u"/a/b/c.exe", u"c.exe", u"c.exe"},
      {"ext", ExtractFileExt, u"/a.b/c", u"", u""},
      {"ext", ExtractFileExt, u"/a/c.7z.001", u".001", u".001"},
      {"include", IncludeTrailingPathDelimiter, u"/a/", u"/a/", u"/a/"},
      {"include", IncludeTrailingPathDelimiter, u"/a", u"/a/", u"/a\\"},
      {"include", IncludeTrailingPathDelimiter, u"C:\\a\\", u"C:\\a\\/", u"C:\\a\\"},
      {"exclude", ExcludeTrailingPathDelimiter, u"C:\\a\\", u"C:\\a\\", u"C:\\a"},
      {"exclude", ExcludeTrailingPathDelimiter, u"/a/", u"/a", u"/a"},
      // A backslash and a colon are parts of a name on POSIX.
      {"path", ExtractFilePath, u"C:\\a\\b.exe", u"", u"C:\\a\\"},
      {"name", ExtractFileName, u"C:\\a\\b.exe", u"C:\\a\\b.exe", u"b.exe"},
      {"name", ExtractFileName, u"C:b.exe", u"C:b.exe", u"b.exe"},
      {"path", ExtractFilePath, u"C:b.exe", u"", u"C:"},
      {"dir", ExtractFileDir, u"C:b.exe", u"", u"C:"},
      {"dir", ExtractFileDir, u"C:\\a", u"", u"C:\\"},
      {"dir", ExtractFileDir, u"C:/a\\b", u"C:", u"C:/a"},
      {"dir", ExtractFileDir, u"\\\\srv\\share\\x", u"", u"\\\\srv\\share"},
      {"name", ExtractFileName, u"C:/a\\b/c.txt", u"c.txt", u"c.txt"},
      {"ext", ExtractFileExt, u"C:\\a.b\\c", u".b\\c", u""},
      {"ext", ExtractFileExt, u"C:x.7z", u".7z", u".7z"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.what) + " of " + U8(c.in));
#ifdef _WIN32
    EXPECT_EQ(c.fn(c.in), c.windows);
#else
    EXPECT_EQ(c.fn(c.in), c.posix);
#endif
  }
  EXPECT_EQ(ChangeFileExt(u"/a/c.7z", u".tmp"), u"/a/c.tmp");
  EXPECT_EQ(ChangeFileExt(u"/a.b/c", u".tmp"), u"/a.b/c.tmp");
}

TEST(Paths, AbsoluteAndExpanded) {
  const String here = IncludeTrailingPathDelimiter(GetCurrentDir());
  EXPECT_EQ(ExpandFileName(u"x"), here + u"x");
  EXPECT_TRUE(IsAbsolutePath(here));
  EXPECT_FALSE(IsAbsolutePath(u"x"));
#ifdef _WIN32
  EXPECT_EQ(ExpandFileName(u"C:\\a\\.\\b\\..\\c"), u"C:\\a\\c");
  EXPECT_EQ(ExpandFileName(u"C:/a/b/../c/"), u"C:\\a\\c\\");
  EXPECT_EQ(ExpandFileName(u"C:\\..\\x"), u"C:\\x");
  for (const char16_t* p : {u"C:\\x", u"c:/x", u"\\\\srv\\share\\x", u"//srv/share"}) EXPECT_TRUE(IsAbsolutePath(p)) << U8(p);
  for (const char16_t* p : {u"\\x", u"/x", u"C:x", u"C:", u"1:\\x"}) EXPECT_FALSE(IsAbsolutePath(p)) << U8(p);
#else
  EXPECT_EQ(ExpandFileName(u"/a/./b/../c"), u"/a/c");
  EXPECT_EQ(ExpandFileName(u"/../x"), u"/x");
  EXPECT_EQ(ExpandFileName(u"/a//b/"), u"/a/b/");
  EXPECT_TRUE(IsAbsolutePath(u"/x"));
  EXPECT_FALSE(IsAbsolutePath(u"C:\\x"));
#endif
}

TEST(Ansi, Windows1252RoundTripsEveryByte) {
  for (int b = 0; b < 256; ++b) {
    Char c = AnsiByteToChar(static_cast<uint8_t>(b));
    uint8_t back = 0;
    ASSERT_TRUE(AnsiCharToByte(c, back)) << b;
    EXPECT_EQ(back, b);
  }
  EXPECT_EQ(AnsiByteToChar(0x80), 0x20AC);
  EXPECT_EQ(AnsiByteToChar(0x81), 0x81);  // undefined: the C1 control
  EXPECT_EQ(StringToAnsi(u"\u00C4\u20AC\u0416\U0001F600"), (Bytes{0xC4, 0x80, '?', '?'}));
}

TEST(Exceptions, HierarchyAndNames) {
  try {
    throw EFOpenError(u"x");
  } catch (const EStreamError& e) {
    EXPECT_STREQ(e.ClassName(), "EFOpenError");
    EXPECT_STREQ(e.what(), "x");
  }
  EXPECT_THROW(Assert(false, u"boom"), EAssertionFailed);
  EXPECT_NO_THROW(Assert(true));
  EOSError os(u"m", 5);
  EXPECT_EQ(os.ErrorCode(), 5);
}

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <unistd.h>

#include "rtl/BufferedStream.h"
#include "rtl/Classes.h"

using namespace rtl;

namespace {
std::vector<String> Items(const TStringList& l) { return {l.begin(), l.end()}; }
}  // namespace

TEST(StringList, TextJoinsWithCrLfAndSplitsEveryBreak) {
  TStringList l;
  l.SetText(u"a\r\nb\rc\nd");
  EXPECT_EQ(Items(l), (std::vector<String>{u"a", u"b", u"c", u"d"}));
  EXPECT_EQ(l.Text(), u"a\r\nb\r\nc\r\nd\r\n");
  l.SetText(u"x\r\n");
  EXPECT_EQ(l.Count(), 1);
  l.SetText(u"x\r\n\r\n");
  EXPECT_EQ(Items(l), (std::vector<String>{u"x", u""}));
  l.SetText(u"");
  EXPECT_EQ(l.Count(), 0);
  EXPECT_EQ(l.Text(), u"");
}

TEST(StringList, DelimitedTextAsVersionsAreParsed) {
  struct Case { const char16_t* text; std::vector<String> parts; } cases[] = {
      {u"10.0.0.1", {u"10", u"0", u"0", u"1"}},
      {u"  1.2", {u"1", u"2"}},
      {u"1.2.", {u"1", u"2", u""}},
      {u"1..2", {u"1", u"", u"2"}},
      {u"1 2.3", {u"1", u"2", u"3"}},          // a blank ends a part
      {u"\"a.b\".c", {u"a.b", u"c"}},
      {u"\"a\"\"b\"", {u"a\"b"}},
      {u"", {}},
      {u".", {u"", u""}},
      {u"1.\t2", {u"1", u"2"}},
  };
  for (auto& c : cases) {
    TStringList l;
    l.Delimiter = u'.';
    l.SetDelimitedText(c.text);
    EXPECT_EQ(Items(l), c.parts) << U8(c.text);
  }
  TStringList l;
  l.SetCommaText(u"a,\"b c\",d");
  EXPECT_EQ(l.CommaText(), u"a,\"b c\",d");
}

TEST(StringList, NameValueAccessIgnoresAsciiCase) {
  TStringList l;
  l.Add(u"Host=example");
  l.Add(u"plain");
  l.Add(u"host=second");
  l.Add(u"Empty=");
  EXPECT_EQ(l.IndexOfName(u"HOST"), 0);
  EXPECT_EQ(l.Values(u"host"), u"example");
  EXPECT_EQ(l.Names(1), u"");
  EXPECT_EQ(l.Values(u"empty"), u"");
  EXPECT_EQ(l.IndexOf(u"PLAIN"), 1);
  l.SetValue(u"host", u"new");
  EXPECT_EQ(l[0], u"host=new");
  l.SetValue(u"host", u"");
  EXPECT_EQ(l.Values(u"host"), u"second");
  l.SetValue(u"Added", u"1");
  EXPECT_EQ(l[l.Count() - 1], u"Added=1");
  EXPECT_THROW(l.Get(99), EListError);
}

TEST(StringList, ChangeEventsRespectUpdateBrackets) {
  TStringList l;
  int changes = 0, changing = 0;
  l.OnChange = [&](TStringList*) { ++changes; };
  l.OnChanging = [&](TStringList*) { ++changing; };
  l.Add(u"a");
  EXPECT_EQ(changes, 1);
  l.BeginUpdate();
  l.Add(u"b");
  l.Add(u"c");
  l.BeginUpdate();
  l.Delete(0);
  l.EndUpdate();
  EXPECT_EQ(changes, 1);
  l.EndUpdate();
  EXPECT_EQ(changes, 2);
  EXPECT_EQ(changing, 2);
  l.SetText(u"x\ny\nz");
  EXPECT_EQ(changes, 3);
}

TEST(StringList, LoadDetectsByteOrderMarks) {
  struct Case { Bytes bytes; std::vector<String> lines; } cases[] = {
      {{'a', '\r', '\n', 0xC4}, {u"a", u"\u00C4"}},                         // ANSI default
      {{0xEF, 0xBB, 0xBF, 0xC3, 0x84, '\n', 'b'}, {u"\u00C4", u"b"}},      // UTF-8
      {{0xFF, 0xFE, 0x16, 0x04, '\r', 0}, {u"\u0416"}},                   // UTF-16 LE
      {{0xFE, 0xFF, 0x04, 0x16}, {u"\u0416"}},                             // UTF-16 BE
      {{0x80}, {u"\u20AC"}},
  };
  for (auto& c : cases) {
    TBytesStream s(c.bytes);
    TStringList l;
    l.LoadFromStream(s);
    EXPECT_EQ(Items(l), c.lines);
  }
}

TEST(StringList, LoadReadsFromTheCurrentPosition) {
  TBytesStream s(Bytes{'a', '\n', 'b'});
  s.SetPosition(2);
  TStringList l;
  l.LoadFromStream(s);
  EXPECT_EQ(Items(l), (std::vector<String>{u"b"}));
}

TEST(Streams, MemoryStreamReadWriteSeek) {
  TMemoryStream m;
  m.WriteBuffer("hello", 5);
  EXPECT_EQ(m.Size(), 5);
  EXPECT_EQ(m.Position(), 5);
  m.Seek(-2, soEnd);
  char buf[8] = {};
  EXPECT_EQ(m.Read(buf, 8), 2);
  EXPECT_STREQ(buf, "lo");
  EXPECT_EQ(m.Read(buf, 8), 0);
  m.SetPosition(7);  // past the end: a write fills the gap
  m.WriteBuffer("!", 1);
  EXPECT_EQ(m.Size(), 8);
  EXPECT_EQ(m.Memory()[5], 0);
  m.SetSize(3);
  EXPECT_EQ(m.Position(), 3);
  EXPECT_EQ(m.Seek(-10, soCurrent), -1);
  m.SetPosition(0);
  EXPECT_THROW(m.ReadBuffer(buf, 4), EReadError);
}

TEST(Streams, FileStreamCreateOpenAndErrors) {
  auto dir = std::filesystem::temp_directory_path() / ("krv_rtl_" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  String name = S((dir / "f.bin").string());
  {
    TFileStream f(name, fmCreate);
    f.WriteBuffer("abcdef", 6);
  }
  {
    TFileStream f(name, fmOpenRead | fmShareDenyWrite);
    EXPECT_EQ(f.Size(), 6);
    TMemoryStream m;
    m.CopyFrom(f, 0);
    EXPECT_EQ(m.Size(), 6);
    // An exclusive open is refused while a shared lock is held.
    EXPECT_THROW(TFileStream(name, fmOpenReadWrite | fmShareExclusive), EFOpenError);
  }
  try {
    TFileStream f(S((dir / "missing" / "x").string()), fmOpenRead);
    FAIL();
  } catch (const EFOpenError& e) {
    EXPECT_NE(e.Message().find(u"Cannot open file \""), String::npos);
  }
  EXPECT_THROW(TFileStream(S((dir / "missing" / "x").string()), fmCreate), EFCreateError);
  EXPECT_THROW(TFileStream(S(dir.string()), fmOpenRead), EFOpenError);
  std::filesystem::remove_all(dir);
}

// A download that starts again from zero rewinds its file through the write buffer: Seek to the
// start, then SetSize(0). The held bytes and the old contents must both go, and what follows
// lands at the start.
TEST(Streams, BufferedWriterRewindsAndTruncatesItsTarget) {
  auto dir = std::filesystem::temp_directory_path() / ("krv_rtl_buf_" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  String name = S((dir / "f.bin").string());
  {
    TFileStream f(name, fmCreate);
    TBufferedWriteStream out(f, 4);
    out.WriteBuffer("ab", 2);      // held
    out.WriteBuffer("cdefgh", 6);  // larger than the buffer: written through
    out.WriteBuffer("i", 1);       // held
    EXPECT_EQ(out.Position(), 9);
    EXPECT_EQ(out.Seek(0, soBeginning), 0);
    out.SetSize(0);
    EXPECT_EQ(out.Position(), 0);
    EXPECT_EQ(f.Size(), 0);
    out.WriteBuffer("xy", 2);
    out.Flush();
  }
  {
    TFileStream f(name, fmOpenRead);
    char buf[16] = {};
    EXPECT_EQ(f.Read(buf, sizeof buf), 2);
    EXPECT_EQ(std::string(buf), "xy");
  }
  // Closed first: Windows deletes no open file.
  std::filesystem::remove_all(dir);
}

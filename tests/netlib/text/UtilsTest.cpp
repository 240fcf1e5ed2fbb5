#include "netlib/text/clUtils.h"

#include <gtest/gtest.h>

#include <vector>

using namespace netlib;
using rtl::Bytes;
using rtl::String;

namespace {

std::vector<String> Items(const rtl::TStringList& l) { return std::vector<String>(l.begin(), l.end()); }

struct SplitCase {
  String text;
  char16_t delimiter;
  std::vector<String> items;
};

TEST(SplitToList, Table) {
  const SplitCase cases[] = {
      {u"a.b..c.", u'.', {u"a", u"b", u"", u"c", u""}},
      {u"", u'.', {}},
      {u"abc", u'.', {u"abc"}},
      {u".a", u'.', {u"", u"a"}},
      {u".", u'.', {u"", u""}},
      {u"a..", u'.', {u"a", u"", u""}},
      {u"\x01\x02" u"a.b", u'.', {u"a", u"b"}},
      // Spaces are no blanks: they stay in the items.
      {u"a. b ", u'.', {u"a", u" b "}},
      // Control characters end an item and are skipped; a delimiter after them still counts.
      {u"a\nb", u'.', {u"a", u"b"}},
      {u"a\r\n.b", u'.', {u"a", u"b"}},
      // Only a delimiter that is the text's last character adds the trailing empty item.
      {u"a.\n", u'.', {u"a"}},
      // The tab ends an item and is consumed like the other control characters.
      {u"a\tb", u'.', {u"a", u"b"}},
      {u"a\t.b", u'.', {u"a", u"b"}},
      {u"\ta\t", u'.', {u"a"}},
      {String(u"a") + char16_t(0) + u"b", u'.', {u"a", u"b"}},
      // A control character as the delimiter still separates.
      {u"a\tb\t", u'\t', {u"a", u"b", u""}},
      // Characters above 255 are never delimiters.
      {u"a\u0101b", u'\u0101', {u"a\u0101b"}},
      {u"x\u00E9y", u'\u00E9', {u"x", u"y"}},
  };
  for (const SplitCase& c : cases) {
    rtl::TStringList list;
    list.Add(u"old");
    SplitToList(c.text, list, c.delimiter);
    EXPECT_EQ(Items(list), c.items) << rtl::U8(c.text);
  }
}

TEST(SplitToList, NotifiesOnceWithUpdatesSuspended) {
  rtl::TStringList list;
  list.Add(u"old");
  int changes = 0;
  list.OnChange = [&](rtl::TStringList*) { ++changes; };
  SplitToList(u"a.b.c", list, u'.');
  EXPECT_EQ(changes, 1);
  EXPECT_EQ(list.UpdateCount(), 0);
}

struct WordCase {
  String text;
  const char16_t* delimiters;
  int n;
  int count;
  int start;
  String word;
};

TEST(Words, Table) {
  const WordCase cases[] = {
      {u"10:18:14", u":", 2, 3, 4, u"18"},
      {u"10:18:14", u":", 3, 3, 7, u"14"},
      {u"10:18:14", u":", 4, 3, 0, u""},
      {u"10:18:14", u":", 0, 3, 0, u""},
      {u"::a:: b:", u": ", 2, 2, 7, u"b"},
      {u"", u":", 1, 0, 0, u""},
      {u"::::", u":", 1, 0, 0, u""},
      {u"one two  three", u" ", 3, 3, 10, u"three"},
      {u"a=b; c=d", u"; ", 2, 2, 6, u"c=d"},
      // Characters above 255 never delimit.
      {u"a\u2028b c", u" \u2028", 1, 2, 1, u"a\u2028b"},
  };
  for (const WordCase& c : cases) {
    TSysCharSet set{std::u16string_view(c.delimiters)};
    EXPECT_EQ(CountWords(c.text, set), c.count) << rtl::U8(c.text);
    EXPECT_EQ(WordStart(c.n, c.text, set), c.start) << rtl::U8(c.text) << " " << c.n;
    EXPECT_EQ(GetWord(c.n, c.text, set), c.word) << rtl::U8(c.text) << " " << c.n;
  }
}

TEST(Words, PositionsBeyond65535AreNotFound) {
  TSysCharSet space{u' '};
  String text(65534, u' ');
  text += u"ab cd";  // "ab" at 65535, "cd" at 65538
  EXPECT_EQ(WordStart(1, text, space), 65535);
  EXPECT_EQ(GetWord(1, text, space), u"ab");
  EXPECT_EQ(WordStart(2, text, space), 0);
  EXPECT_EQ(GetWord(2, text, space), u"");
  EXPECT_EQ(CountWords(text, space), 2);
}

struct QuoteCase {
  String text;
  char16_t open, close;
  String quoted;
};

TEST(QuoteText, Table) {
  const QuoteCase cases[] = {
      {u"", u'"', u'"', u"\"\""},
      {u"\"abc", u'"', u'"', u"\"abc"},
      {u"abc\"", u'"', u'"', u"abc\""},
      {u"abc", u'"', u'"', u"\"abc\""},
      {u"a\"b", u'"', u'"', u"\"a\"b\""},
      {u"x", u'<', u'>', u"<x>"},
      {u"<x", u'<', u'>', u"<x"},
      {u"x>", u'<', u'>', u"x>"},
      {u">x<", u'<', u'>', u"<>x<>"},
  };
  for (const QuoteCase& c : cases) EXPECT_EQ(QuoteText(c.text, c.open, c.close), c.quoted) << rtl::U8(c.text);
  EXPECT_EQ(QuoteText(u"v"), u"\"v\"");
}

struct FindBytesCase {
  std::string pattern, buffer;
  int start, end;
  int index;
};

TEST(FindBytes, Table) {
  const FindBytesCase cases[] = {
      {"\r\n\r\n", "HTTP/1.1 200\r\nA: b\r\n\r\nbody", 0, 27, 18},
      {"\r\n\r\n", "HTTP/1.1 200\r\nA: b\r\n\r\nbody", 19, 27, -1},
      {"ab", "xxab", 0, 4, 2},
      {"ab", "xxab", 0, 3, -1},   // the match would end beyond end - 1
      {"ab", "xxab", 3, 4, -1},
      {"ab", "abab", 1, 4, 2},
      {"ab", "abab", 2, 2, -1},   // end - 1 < start
      {"ab", "abab", 3, 1, -1},
      {"ab", "abab", -5, 100, 0}, // clipped to the buffer
      {"b", "abab", 0, 100, 1},
      {"", "abab", 0, 4, -1},
      {"abc", "ab", 0, 2, -1},
      {"ab", "", 0, 0, -1},
  };
  for (const FindBytesCase& c : cases) {
    Bytes p(c.pattern.begin(), c.pattern.end());
    Bytes b(c.buffer.begin(), c.buffer.end());
    EXPECT_EQ(FindBytes(p, b, c.start, c.end), c.index) << c.pattern << " in " << c.buffer << " " << c.start;
  }
}

struct FindLastCase {
  String text, within;
  int count;
  int pos;
};

TEST(FindLastText, Table) {
  const FindLastCase cases[] = {
      {u"ab", u"xabyab", -1, 5},
      {u"AB", u"xabyab", -1, 5},
      {u"ab", u"xabyab", 4, 2},
      {u"ab", u"xabyab", 5, 5},
      {u"ab", u"xabyab", 100, 5},
      {u"ab", u"xabyab", 1, 0},
      {u"ab", u"xabyab", 0, 0},
      {u"zz", u"xabyab", -1, 0},
      {u"", u"xabyab", -1, 0},
      {u"xabyabx", u"xabyab", -1, 0},
      {u"xabyab", u"XABYAB", -1, 1},
      // Only ASCII letters fold.
      {u"\u00E4", u"\u00C4", -1, 0},
  };
  for (const FindLastCase& c : cases)
    EXPECT_EQ(FindLastText(c.text, c.within, c.count), c.pos) << rtl::U8(c.text) << " " << c.count;
}

TEST(Lookups, IndexOfNameAndFindInStrings) {
  std::vector<String> names = {u"Jan", u"Feb", u"feb", u"\u00C4pr"};
  EXPECT_EQ(IndexOfName(u"FEB", names), 1);
  EXPECT_EQ(IndexOfName(u"jan", names), 0);
  EXPECT_EQ(IndexOfName(u"\u00E4pr", names), -1);
  EXPECT_EQ(IndexOfName(u"Ma", names), -1);
  EXPECT_EQ(IndexOfName(u"b", {u"a", u"B", u"b"}), 1);

  rtl::TStringList list;
  list.Add(u"Content-Type");
  list.Add(u"content-length");
  list.Add(u"Content-Length");
  EXPECT_EQ(TclStringsUtils::FindInStrings(list, u"CONTENT-LENGTH"), 1);
  EXPECT_EQ(TclStringsUtils::FindInStrings(list, u"Content"), -1);
  TclStringsUtils u(&list);
  EXPECT_EQ(u.FindInStrings(u"content-type"), 0);
}

TEST(StringsUtils, SaveWritesTheTextInTheSet) {
  rtl::TStringList list;
  list.Add(u"\u00C4");
  list.Add(u"b");
  rtl::TMemoryStream s;
  TclStringsUtils::SaveStrings(list, s, u"utf-8");
  EXPECT_EQ(Bytes(s.Memory(), s.Memory() + s.Size()), (Bytes{0xC3, 0x84, 0x0D, 0x0A, 'b', 0x0D, 0x0A}));

  rtl::TStringList empty;
  rtl::TMemoryStream none;
  TclStringsUtils::SaveStrings(empty, none, u"utf-8");
  EXPECT_EQ(none.Size(), 0);
}

TEST(StringsUtils, LoadReadsFromThePositionToTheEnd) {
  Bytes data = {'x', 'x', 0xC3, 0x84, '\r', '\n', 'b', '\n', 'c', '\r', 'd', 0x00};
  rtl::TBytesStream s(data);
  s.SetPosition(2);
  rtl::TStringList list;
  TclStringsUtils::LoadStrings(s, list, u"UTF-8");
  EXPECT_EQ(Items(list), (std::vector<String>{u"\u00C4", u"b", u"c", u"d"}));
  EXPECT_EQ(s.Position(), static_cast<int64_t>(data.size()));
}

TEST(StringsUtils, LoadAtTheEndLeavesTheListUnchanged) {
  rtl::TBytesStream s(Bytes{'a', 'b'});
  s.Seek(0, rtl::soEnd);
  rtl::TStringList list;
  list.Add(u"keep");
  list.Add(u"these");
  TclStringsUtils::LoadStrings(s, list, u"utf-8");
  EXPECT_EQ(Items(list), (std::vector<String>{u"keep", u"these"}));
  TclStringsUtils loader(&list, u"utf-8");
  loader.SetBatchSize(4);
  loader.LoadStrings(s);
  EXPECT_EQ(Items(list), (std::vector<String>{u"keep", u"these"}));
}

TEST(StringsUtils, BatchedRoundTripReportsProgress) {
  rtl::TStringList list;
  list.Add(u"\u041F\u0440\u0438\u0432\u0435\u0442");
  list.Add(u"line two");
  TclStringsUtils saver(&list, u"koi8-r");
  saver.SetBatchSize(4);
  std::vector<std::pair<int64_t, int64_t>> progress;
  saver.OnProgress = [&](void* sender, int64_t done, int64_t total) {
    EXPECT_EQ(sender, &saver);
    progress.emplace_back(done, total);
  };
  rtl::TMemoryStream s;
  saver.SaveStrings(s);
  ASSERT_EQ(s.Size(), 18);
  EXPECT_EQ(s.Memory()[0], 0xF0);  // KOI8-R capital Pe
  EXPECT_EQ(progress, (std::vector<std::pair<int64_t, int64_t>>{{4, 18}, {8, 18}, {12, 18}, {16, 18}, {18, 18}}));

  rtl::TStringList loaded;
  TclStringsUtils loader(&loaded, u"KOI8-R");
  loader.SetBatchSize(5);
  int events = 0;
  loader.OnProgress = [&](void*, int64_t done, int64_t total) {
    ++events;
    EXPECT_LE(done, total);
  };
  s.SetPosition(0);
  loader.LoadStrings(s);
  EXPECT_TRUE(loaded.Equals(list));
  EXPECT_EQ(events, 4);
}

TEST(StringsUtils, HugeBatchSizeLoadsInOneBatch) {
  rtl::TBytesStream s(Bytes{'a', '\n', 'b'});
  rtl::TStringList list;
  TclStringsUtils loader(&list, u"us-ascii");
  loader.SetBatchSize(0x7FFFFFFF);
  std::vector<int64_t> done;
  loader.OnProgress = [&](void*, int64_t d, int64_t) { done.push_back(d); };
  loader.LoadStrings(s);
  EXPECT_EQ(Items(list), (std::vector<String>{u"a", u"b"}));
  EXPECT_EQ(done, std::vector<int64_t>{3});
}

TEST(PutWordBE, StoresHighByteFirstAndGrows) {
  Bytes b(3, 0);
  int i = 0;
  PutWordBE(0x1234, b, i);
  EXPECT_EQ(i, 2);
  PutWordBE(0xABCD, b, i);
  EXPECT_EQ(i, 4);
  EXPECT_EQ(b, (Bytes{0x12, 0x34, 0xAB, 0xCD}));
  int bad = -1;
  EXPECT_THROW(PutWordBE(1, b, bad), rtl::EArgumentException);
  EXPECT_EQ(bad, -1);
}

}  // namespace

// The header field list: indexing, values, items, edits and folding.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "netlib/http/clHeaderFieldList.h"
#include "rtl/Exception.h"

#include "tests/netlib/http/HttpTestLines.h"

using namespace netlib;

namespace {

using httptest::A;
using httptest::Dump;
using httptest::Lines;

// Exposes the item operations and the folding for direct tests.
class TTestFieldList : public TclHeaderFieldList {
 public:
  using TclHeaderFieldList::FindItem;
  using TclHeaderFieldList::FoldLine;
};

}  // namespace

TEST(HeaderFieldList, IndexesFieldsFromTheStartLine) {
  auto lines = Lines({u"GET / HTTP/1.1", u"Host: h", u"\tcontinued", u"no colon here", u"Content-Length: 5",
                      u"Host : other", u"", u"After: body"});
  TclHeaderFieldList list;
  EXPECT_EQ(list.Parse(0, &lines), 6);
  EXPECT_EQ(list.HeaderStart(), 0);
  ASSERT_EQ(list.FieldList().Count(), 3);
  EXPECT_EQ(list.FieldList()[0], u"host");
  EXPECT_EQ(list.FieldList()[1], u"content-length");
  EXPECT_EQ(list.FieldList()[2], u"host ");
  EXPECT_EQ(list.GetFieldStart(1), 4);
  EXPECT_EQ(list.GetFieldEnd(0), 2);
  EXPECT_EQ(list.GetFieldEnd(1), 4);
  EXPECT_EQ(list.GetFieldName(2), u"Host ");
  EXPECT_EQ(list.GetFieldIndex(u"Host"), 0);
  EXPECT_EQ(list.GetFieldIndex(u"host "), 2);
  EXPECT_EQ(list.GetFieldIndex(u"After"), -1);
  for (int bad : {-1, 3, 100}) {
    EXPECT_EQ(list.GetFieldStart(bad), -1);
    EXPECT_EQ(list.GetFieldEnd(bad), -1);
    EXPECT_EQ(list.GetFieldName(bad), u"");
    EXPECT_EQ(list.GetFieldValue(bad), u"");
  }
  // From a later line, and from outside the list.
  EXPECT_EQ(list.Parse(4, &lines), 6);
  EXPECT_EQ(list.FieldList().Count(), 2);
  EXPECT_EQ(list.Parse(7, &lines), 8);
  EXPECT_EQ(list.FieldList().Count(), 1);
  EXPECT_EQ(list.Parse(-5, &lines), 6);
  EXPECT_EQ(list.HeaderStart(), 0);
  EXPECT_EQ(list.Parse(50, &lines), 8);
  EXPECT_EQ(list.FieldList().Count(), 0);
}

TEST(HeaderFieldList, ReadsValues) {
  struct Case {
    rtl::TStringList Lines;
    const char16_t* Name;
    const char16_t* Value;
  };
  const Case cases[] = {
      {Lines({u"X-A: one", u"\ttwo", u" three"}), u"x-a", u"onetwo three"},
      {Lines({u"Content-Length: 10"}), u"content-length", u"10"},
      {Lines({u"Host : h"}), u"Host", u""},
      {Lines({u"Host : h"}), u"host ", u"h"},
      {Lines({u"A:\t\tx  "}), u"a", u"x"},
      {Lines({u"A:", u"\t\tx"}), u"a", u"x"},
      {Lines({u"A: 1", u"A: 2"}), u"A", u"1"},
      {Lines({u"A: 1", u"", u" more"}), u"A", u"1"},
      {Lines({u"A::b"}), u"A", u":b"},
      {Lines({u":x"}), u"", u"x"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(A(c.Lines.Text()));
    rtl::TStringList lines = c.Lines;
    TclHeaderFieldList list;
    list.Parse(0, &lines);
    EXPECT_EQ(A(list.GetFieldValue(c.Name)), A(c.Value));
  }
}

TEST(HeaderFieldList, ContinuationsRunningToTheEnd) {
  auto lines = Lines({u"A: 1", u" 2", u"\t3"});
  TclHeaderFieldList list;
  list.Parse(0, &lines);
  EXPECT_EQ(list.HeaderEnd(), 3);
  EXPECT_EQ(list.GetFieldEnd(0), list.HeaderEnd() - 1);
}

TEST(HeaderFieldList, AddsFieldsAtTheHeaderEnd) {
  auto lines = Lines({u"HTTP/1.1 200 OK", u"A: 1", u"", u"body"});
  TclHeaderFieldList list;
  list.Parse(0, &lines);
  list.AddField(u"B", u"2");
  list.AddField(u"C", u"");  // nothing for an empty value
  list.AddEmptyField(u"Authorization");
  list.AddFieldIfNotExist(u"a", u"again");
  list.AddFieldIfNotExist(u"D", u"4");
  list.AddFields(Lines({u"E: 5", u"", u"F: 6"}));
  EXPECT_EQ(Dump(lines), (std::vector<std::string>{"HTTP/1.1 200 OK", "A: 1", "B: 2", "Authorization:", "D: 4",
                                                   "E: 5", "F: 6", "", "body"}));
  EXPECT_EQ(list.HeaderEnd(), 7);
  EXPECT_EQ(list.GetFieldValue(u"F"), u"6");
}

TEST(HeaderFieldList, RemovesFieldsWithTheirContinuations) {
  auto lines = Lines({u"A: 1", u"B: 2", u"\tmore", u" and more", u"C: 3", u""});
  TclHeaderFieldList list;
  list.Parse(0, &lines);
  list.RemoveField(u"D");
  list.RemoveField(7);
  EXPECT_EQ(lines.Count(), 6);
  list.RemoveField(u"b");
  EXPECT_EQ(Dump(lines), (std::vector<std::string>{"A: 1", "C: 3", ""}));
  EXPECT_EQ(list.GetFieldValue(u"C"), u"3");
  EXPECT_EQ(list.GetFieldStart(1), 1);
  list.RemoveField(0);
  EXPECT_EQ(Dump(lines), (std::vector<std::string>{"C: 3", ""}));
}

TEST(HeaderFieldList, SetFieldReplacesEveryFieldOfTheName) {
  auto lines = Lines({u"A: 1", u"Auth: one", u"\tfolded", u"B: 2", u"auth: two", u""});
  TclHeaderFieldList list;
  list.Parse(0, &lines);
  list.SetField(u"AUTH", u"three");
  EXPECT_EQ(Dump(lines), (std::vector<std::string>{"A: 1", "B: 2", "AUTH: three", ""}));
  list.SetField(u"auth", u"");  // an empty value only removes
  EXPECT_EQ(Dump(lines), (std::vector<std::string>{"A: 1", "B: 2", ""}));
  // The same on a head given as lines.
  auto head = Lines({u"Auth: one", u"Auth: two", u""});
  SetField(head, u"Auth", u"new");
  EXPECT_EQ(Dump(head), (std::vector<std::string>{"Auth: new"}));
}

TEST(HeaderFieldList, ReadsItems) {
  struct Case {
    const char16_t* Value;
    const char16_t* Item;
    const char16_t* Expected;
  };
  const Case cases[] = {
      {u"text/html; charset=\"utf-8\"", u"charset", u"utf-8"},
      {u"text/html; charset=utf-8", u"", u"text/html"},
      {u"xcharset=1", u"charset", u"1"},
      {u"a=1; b=2", u"b", u"2"},
      {u"a=1, b=2", u"a", u"1"},
      {u"b \t= 2 ", u"b", u"2"},
      {u"ab=1; b=2", u"b", u"1"},
      {u"b; b=2", u"b", u"2"},
      {u"x=\"a;b\"; y=1", u"x", u"a;b"},
      {u"x='a\"b'", u"x", u"a\"b"},
      {u"x=\"a\"tail; y=1", u"x", u"a"},
      {u"x=\"unterminated; y=1", u"x", u"\"unterminated; y=1"},
      {u"x=\"", u"x", u""},
      {u"\"q\"", u"", u"q"},
      {u"Charset=UTF-8", u"charset", u"UTF-8"},
      {u"a=1", u"b", u""},
      {u"", u"", u""},
      {u"", u"a", u""},
      {u"a", u"a", u""},
      {u"a=", u"a", u""},
  };
  TclHeaderFieldList list;
  for (const Case& c : cases) {
    SCOPED_TRACE(A(c.Value) + " / " + A(c.Item));
    EXPECT_EQ(A(list.GetFieldValueItem(c.Value, c.Item)), A(c.Expected));
  }
}

TEST(HeaderFieldList, AddsItems) {
  struct Case {
    const char16_t* Line;
    const char16_t* Item;
    const char16_t* Value;
    bool Quoted;
    std::vector<std::string> Expected;
  };
  const Case cases[] = {
      {u"Content-Type: text/html", u"charset", u"utf-8", false, {"Content-Type: text/html; charset=utf-8"}},
      {u"Content-Type: text/html;", u"charset", u" utf-8 ", false, {"Content-Type: text/html; charset=utf-8"}},
      {u"Content-Type:", u"charset", u"utf-8", false, {"Content-Type: charset=utf-8"}},
      {u"Content-Type: a", u"charset", u"  ", false, {"Content-Type: a"}},
      {u"Content-Type: a", u"", u"b", false, {"Content-Type: a; b"}},
      {u"Content-Type: a", u"x=", u"b", false, {"Content-Type: a; x=b"}},
      {u"Digest: a", u"nonce", u"", true, {"Digest: a; nonce=\"\""}},
      {u"Digest: a", u"nonce", u"abc", true, {"Digest: a; nonce=\"abc\""}},
      {u"Digest: a", u"nonce", u"\"abc", true, {"Digest: a; nonce=\"abc"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(A(c.Line));
    auto lines = Lines({c.Line, u""});
    TclHeaderFieldList list;
    list.Parse(0, &lines);
    rtl::String name = c.Line;
    name = name.substr(0, name.find(u':'));
    if (c.Quoted)
      list.AddQuotedFieldItem(name, c.Item, c.Value);
    else
      list.AddFieldItem(name, c.Item, c.Value);
    std::vector<std::string> expected = c.Expected;
    expected.push_back("");
    EXPECT_EQ(Dump(lines), expected);
  }
}

TEST(HeaderFieldList, ItemOnNewLineKeepsTheIndexRight) {
  auto lines = Lines({u"A: x", u"B: y", u""});
  TclHeaderFieldList list;
  list.SetItemDelimiter(u',');
  list.Parse(0, &lines);
  list.AddFieldItem(0, u"k", u"v", true);
  list.AddFieldItem(u"Absent", u"k", u"v");
  EXPECT_EQ(Dump(lines), (std::vector<std::string>{"A: x,", "\tk=v", "B: y", ""}));
  // The second field moved down a line; the index follows it.
  EXPECT_EQ(list.GetFieldStart(1), 2);
  EXPECT_EQ(list.GetFieldValue(u"B"), u"y");
  EXPECT_EQ(list.GetFieldValue(u"A"), u"x,k=v");
  EXPECT_EQ(list.HeaderEnd(), 3);
  list.AddField(u"C", u"z");
  EXPECT_EQ(lines[3], u"C: z");
}

TEST(HeaderFieldList, NameValuePairs) {
  EXPECT_EQ(TclHeaderFieldList::GetNameValuePair(u"A", u"1"), u"A: 1");
  EXPECT_EQ(TclHeaderFieldList::GetNameValuePair(u"A", u""), u"A:");
  EXPECT_EQ(TclHeaderFieldList::GetItemNameValuePair(u"a", u"1"), u"a=1");
  EXPECT_EQ(TclHeaderFieldList::GetItemNameValuePair(u"a=", u"1"), u"a=1");
  EXPECT_EQ(TclHeaderFieldList::GetItemNameValuePair(u"", u"1"), u"1");
}

TEST(HeaderFieldList, RemovesAndClearsItems) {
  const std::tuple<const char16_t*, const char16_t*, const char16_t*, const char16_t*> cases[] = {
      // value, item, without the item, with the item's value cleared
      {u"a=1; b=2; c=3", u"b", u"a=1; c=3", u"a=1; b=; c=3"},
      {u"a=1; b=2", u"b", u"a=1", u"a=1; b="},
      {u"a=1; b=2", u"a", u"b=2", u"a=; b=2"},
      {u"a=\"x;y\", b=2", u"a", u"b=2", u"a=, b=2"},
      {u"a=1", u"z", u"a=1", u"a=1"},
      {u"text/html; charset=x", u"", u"charset=x", u"; charset=x"},
  };
  TclHeaderFieldList list;
  for (const auto& [value, item, removed, cleared] : cases) {
    SCOPED_TRACE(A(value));
    EXPECT_EQ(A(list.RemoveItem(value, item)), A(removed));
    EXPECT_EQ(A(list.ClearItem(value, item)), A(cleared));
  }
}

TEST(HeaderFieldList, InsertsLinesAndReindexes) {
  auto lines = Lines({u"A: 1", u"B: 2", u""});
  TclHeaderFieldList list;
  list.Parse(0, &lines);
  EXPECT_EQ(list.InsertLines(1, Lines({u"X: 9", u"\tcont"})), 4);
  EXPECT_EQ(Dump(lines), (std::vector<std::string>{"A: 1", "X: 9", "\tcont", "B: 2", ""}));
  EXPECT_EQ(list.GetFieldValue(u"x"), u"9cont");
  EXPECT_EQ(list.GetFieldStart(2), 3);
}

TEST(HeaderFieldList, ProgrammingErrorsAreAssertions) {
  TclHeaderFieldList detached;
  EXPECT_THROW(detached.AddField(u"A", u"1"), rtl::EAssertionFailed);
  EXPECT_THROW(detached.GetFieldValue(u"A"), rtl::EAssertionFailed);
  EXPECT_THROW(detached.RemoveField(u"A"), rtl::EAssertionFailed);
  EXPECT_THROW(detached.Parse(0, nullptr), rtl::EAssertionFailed);

  auto lines = Lines({u"A: 1"});
  TclHeaderFieldList list;
  list.Parse(0, &lines);
  // A CR LF pair, and also a lone CR or LF: either would split the header on the wire.
  for (const char16_t* value : {u"x\r\nB: y", u"x\nB: y", u"x\rB: y"}) {
    EXPECT_THROW(list.AddField(u"X", value), rtl::EAssertionFailed);
    EXPECT_THROW(list.AddFieldItem(u"A", u"i", value), rtl::EAssertionFailed);
  }
  EXPECT_EQ(Dump(lines), std::vector<std::string>{"A: 1"});
  // Lines added before the refused one stay, and the index covers them.
  EXPECT_THROW(list.AddFields(Lines({u"B: 2", u"C\n: 3", u"D: 4"})), rtl::EAssertionFailed);
  EXPECT_EQ(Dump(lines), (std::vector<std::string>{"A: 1", "B: 2"}));
  EXPECT_EQ(list.GetFieldValue(u"B"), u"2");
  EXPECT_EQ(list.HeaderEnd(), 2);
  try {
    list.AddField(u"X", u"a\r\nb");
  } catch (const rtl::EAssertionFailed& e) {
    EXPECT_EQ(e.Message(), u"Assertion failure");
  }
}

TEST(HeaderFieldList, FoldsLongLinesReadably) {
  struct Case {
    int Limit;
    const char16_t* Value;
    size_t MinLines;
  };
  const Case cases[] = {
      {20, u"multipart/form-data; boundary=abcdefghij; charset=utf-8", 3},
      {30, u"a, b, c, d, e, f, g, h, i, j, k, l, m, n, o, p, q, r, s, t", 3},
      {16, u"one two three four five six seven", 3},
      {12, u"x=\"quoted text stays whole\"; y=1", 2},
      {10, u"nobreakpossibleinthisvalueatall", 1},
      {200, u"short; enough", 1},
      {1, u"a b", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(A(c.Value));
    auto lines = Lines({u"A: 1", u""});
    TclHeaderFieldList list;
    list.SetCharsPerLine(c.Limit);
    list.Parse(0, &lines);
    list.AddField(u"Content-Type", c.Value);
    list.AddField(u"Z", u"last");
    // Every piece after the first starts with a tab, and the value reads back unchanged.
    int start = list.GetFieldStart(list.GetFieldIndex(u"Content-Type"));
    int end = list.GetFieldEnd(list.GetFieldIndex(u"Content-Type"));
    EXPECT_GE(static_cast<size_t>(end - start + 1), c.MinLines);
    for (int i = start + 1; i <= end; ++i) EXPECT_EQ(lines[i][0], u'\t') << A(lines[i]);
    EXPECT_EQ(A(list.GetFieldValue(u"Content-Type")), A(c.Value));
    EXPECT_EQ(list.GetFieldValue(u"Z"), u"last");
    EXPECT_EQ(list.GetFieldValue(u"A"), u"1");
    EXPECT_EQ(list.GetFieldValueItem(list.GetFieldValue(u"Content-Type"), u"charset"),
              list.GetFieldValueItem(c.Value, u"charset"));
    // No quoted part is split across lines.
    for (int i = start; i <= end; ++i) {
      int quotes = 0;
      for (char16_t ch : lines[i]) quotes += ch == u'"';
      EXPECT_EQ(quotes % 2, 0) << A(lines[i]);
    }
  }
}

TEST(HeaderFieldList, FoldedLinesRespectTheLimitWhereTheyCan) {
  TTestFieldList list;
  list.SetCharsPerLine(20);
  auto pieces = list.FoldLine(u"Content-Type: multipart/form-data; boundary=abc; charset=utf-8", 14);
  std::vector<std::string> got;
  for (auto& p : pieces) got.push_back(A(p));
  // The first piece keeps "Name: " and some value; it may stay long when there is no earlier break.
  EXPECT_EQ(got, (std::vector<std::string>{"Content-Type: multipart/form-data;", "\t boundary=abc;",
                                           "\t charset=utf-8"}));
}

TEST(HeaderFieldList, FoldsAddedItems) {
  auto lines = Lines({u"Content-Type: multipart/form-data", u""});
  TclHeaderFieldList list;
  list.SetCharsPerLine(40);
  list.Parse(0, &lines);
  list.AddFieldItem(u"Content-Type", u"boundary", u"----0123456789abcdef");
  list.AddFieldItem(u"Content-Type", u"charset", u"utf-8");
  EXPECT_GE(list.GetFieldEnd(0), 1);
  for (int i = 0; i < lines.Count(); ++i) EXPECT_LE(lines[i].size(), 40u) << A(lines[i]);
  rtl::String value = list.GetFieldValue(u"Content-Type");
  EXPECT_EQ(A(value), "multipart/form-data; boundary=----0123456789abcdef; charset=utf-8");
  EXPECT_EQ(list.GetFieldValueItem(value, u"boundary"), u"----0123456789abcdef");
}

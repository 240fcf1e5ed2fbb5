// Cookies: reading them from response heads (attributes, flags, expiry forms, refused domains),
// writing the request field, matching, the store's add/update/delete rules and events, its
// lock, and the saved form.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "netlib/http/clCookieManager.h"
#include "rtl/Exception.h"

#include "tests/netlib/http/HttpTestLines.h"

using namespace netlib;

namespace {

using httptest::A;
using httptest::Dump;
using httptest::Lines;

// The cookies of one response head line from host, path and port.
void Parse(TclCookieList& list, const char16_t* field, const rtl::String& host = u"h",
           const rtl::String& path = u"/", int port = 80) {
  rtl::TStringList head = Lines({u"HTTP/1.1 200 OK", field, u""});
  list.GetResponseCookies(head, host, path, port);
}

rtl::TDateTime Utc(int y, int mo, int d, int h, int mi, int s) {
  return rtl::UTCToLocal(rtl::EncodeDate(y, mo, d) + rtl::EncodeTime(h, mi, s, 0));
}

// A cookie as a store would hold it.
TclCookieItem* Add(TclCookieList& list, const char16_t* name, const char16_t* value, const char16_t* domain,
                   const char16_t* path = u"/") {
  TclCookieItem* c = list.Add();
  c->SetName(name);
  c->SetValue(value);
  c->SetDomain(domain);
  c->SetPath(path);
  return c;
}

rtl::String RequestCookies(TclCookieManager& m, const rtl::String& host, const rtl::String& path, int port = 80,
                           bool secure = false) {
  TclCookieList list;
  m.GetCookies(list, host, path, port, secure);
  rtl::TStringList head = Lines({u"Host: x", u""});
  list.SetRequestCookies(head);
  TclHeaderFieldList fields;
  fields.Parse(0, &head);
  return fields.GetFieldValue(u"Cookie");
}

}  // namespace

// --- reading response heads ---------------------------------------------------------------------

TEST(CookieParse, AttributesAndFlags) {
  struct Case {
    const char16_t* field;
    const char16_t* host;
    const char16_t* path;
    int port;
    const char* name;
    const char* value;
    const char* domain;
    const char* cookiePath;
    bool secure;
    bool discard;
    const char* cookiePort;
    int version;
    TclCookieFormat format;
  } cases[] = {
      {u"Set-Cookie: SID=abc; path=/; HttpOnly", u"h", u"/a?b", 80, "SID", "abc", ".h", "/", false, false, "", 0,
       cfNetscape},
      // No domain and no path: the request's host and folder.
      {u"Set-Cookie: a=1", u"www.example.com", u"/dir/page?q=1", 80, "a", "1", ".www.example.com", "/dir", false,
       false, "", 0, cfNetscape},
      // The value ends at the first ";", quotes or not.
      {u"set-cookie: a=\"quoted; value\"; Domain=example.com; Path=\"/p\"", u"www.example.com", u"/", 80, "a",
       "\"quoted", ".example.com", "/p", false, false, "", 0, cfNetscape},
      {u"Set-Cookie: a=\"quoted\"", u"h", u"/", 80, "a", "quoted", ".h", "/", false, false, "", 0, cfNetscape},
      {u"Set-Cookie: a=1; secure", u"h", u"/", 80, "a", "1", ".h", "/", true, false, "", 0, cfNetscape},
      {u"Set-Cookie: a=1;Secure;Discard", u"h", u"/", 80, "a", "1", ".h", "/", true, true, "", 0, cfNetscape},
      {u"Set-Cookie: a=nosecurex; x=secured", u"h", u"/", 80, "a", "nosecurex", ".h", "/", false, false, "", 0,
       cfNetscape},
      {u"Set-Cookie: a=secure", u"h", u"/", 80, "a", "secure", ".h", "/", false, false, "", 0, cfNetscape},
      {u"Set-Cookie: a=1, secure", u"h", u"/", 80, "a", "1, secure", ".h", "/", false, false, "", 0, cfNetscape},
      {u"Set-Cookie: a=1; Version=1", u"h", u"/", 80, "a", "1", ".h", "/", false, false, "", 1, cfRFC2109},
      {u"Set-Cookie: a=1; version=x", u"h", u"/", 80, "a", "1", ".h", "/", false, false, "", 0, cfNetscape},
      {u"Set-Cookie2: a=1; Version=1; Port", u"h", u"/", 8080, "a", "1", ".h", "/", false, false, "8080", 1,
       cfRFC2965},
      {u"Set-Cookie2: a=1; Port=\"80,8080\"", u"h", u"/", 81, "a", "1", ".h", "/", false, false, "80,8080", 0,
       cfRFC2965},
      {u"Set-Cookie: a=1; exportx", u"h", u"/", 81, "a", "1", ".h", "/", false, false, "", 0, cfNetscape},
      {u"Set-Cookie: flagonly", u"h", u"/x", 80, "flagonly", "", ".h", "/", false, false, "", 0, cfNetscape},
      {u"Set-Cookie: flagonly ; Path=/x; Secure", u"h", u"/", 80, "flagonly", "", ".h", "/x", true, false, "", 0,
       cfNetscape},
      {u"Set-Cookie: a=1; path=", u"h", u"", 80, "a", "1", ".h", "/", false, false, "", 0, cfNetscape},
      {u"Set-Cookie: a=1; domain= .b.c ", u"b.c", u"/", 80, "a", "1", ".b.c", "/", false, false, "", 0,
       cfNetscape},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(A(c.field));
    TclCookieList list;
    Parse(list, c.field, c.host, c.path, c.port);
    ASSERT_EQ(list.Count(), 1);
    TclCookieItem* k = list[0];
    EXPECT_EQ(A(k->Name()), c.name);
    EXPECT_EQ(A(k->Value()), c.value);
    EXPECT_EQ(A(k->Domain()), c.domain);
    EXPECT_EQ(A(k->Path()), c.cookiePath);
    EXPECT_EQ(k->Secure(), c.secure);
    EXPECT_EQ(k->Discard(), c.discard);
    EXPECT_EQ(A(k->Port()), c.cookiePort);
    EXPECT_EQ(k->Version(), c.version);
    EXPECT_EQ(k->Format(), c.format);
    EXPECT_FALSE(k->IsPersistent());
    EXPECT_EQ(k->MaxAge(), -1);
    EXPECT_EQ(k->Collection(), &list);
    EXPECT_EQ(k->Index(), 0);
  }
}

TEST(CookieParse, CommentsAndWholeFieldAreKept) {
  TclCookieList list;
  Parse(list, u"Set-Cookie2: a=1; Comment=\"hello there\"; CommentURL=\"http://c/x?y\"; Version=1");
  ASSERT_EQ(list.Count(), 1);
  EXPECT_EQ(A(list[0]->Comment()), "hello there");
  EXPECT_EQ(A(list[0]->CommentURL()), "http://c/x?y");
  EXPECT_EQ(A(list[0]->CookieData()), "a=1; Comment=\"hello there\"; CommentURL=\"http://c/x?y\"; Version=1");
}

TEST(CookieParse, ExpiryInTheFormsServersSend) {
  struct Case {
    const char16_t* field;
    double expires;  // -1: no expiry (the cookie may hold any value from -1 to 0)
  } cases[] = {
      {u"Set-Cookie: a=1; expires=Wed, 09 Jun 2021 10:18:14 GMT", Utc(2021, 6, 9, 10, 18, 14)},
      {u"Set-Cookie: a=1; Expires=Wed, 09-Jun-2021 10:18:14 GMT; path=/", Utc(2021, 6, 9, 10, 18, 14)},
      {u"Set-Cookie: a=1; expires=Wed, 09-Jun-21 10:18:14 GMT", Utc(2021, 6, 9, 10, 18, 14)},
      {u"Set-Cookie: a=1; expires=Thu, 01-Jan-70 00:00:01 GMT", Utc(1970, 1, 1, 0, 0, 1)},
      {u"Set-Cookie: a=1; expires=Fri, 31-Dec-99 23:59:59 GMT", Utc(1999, 12, 31, 23, 59, 59)},
      {u"Set-Cookie: a=1; expires=Sat, 01-Jan-00 00:00:00 GMT", Utc(2000, 1, 1, 0, 0, 0)},
      {u"Set-Cookie: a=1; expires=Tue, 31-Dec-69 12:00:00 GMT", Utc(2069, 12, 31, 12, 0, 0)},
      {u"Set-Cookie: a=1; expires=Fri, 01 Jan 2100 00:00:00 GMT; max-age=5", Utc(2100, 1, 1, 0, 0, 0)},
      // asctime and garbage: the conversion error is ignored, no expiry.
      {u"Set-Cookie: a=1; expires=Wed Jun  9 10:18:14 2021", -1},
      {u"Set-Cookie: a=1; expires=soon", -1},
      {u"Set-Cookie: a=1; expires=Wed, 31-Feb-2021 10:00:00 GMT", -1},
      {u"Set-Cookie: a=1; expires=", -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(A(c.field));
    TclCookieList list;
    Parse(list, c.field);
    ASSERT_EQ(list.Count(), 1);
    EXPECT_EQ(list[0]->IsPersistent(), c.expires != -1);
    if (c.expires == -1) {
      EXPECT_GE(list[0]->Expires(), -1);
      EXPECT_LE(list[0]->Expires(), 0);
    } else {
      EXPECT_NEAR(list[0]->Expires(), c.expires, 1e-6);
    }
  }
}

TEST(CookieParse, MaxAgeSetsExpiryAheadWhenNoDateIsGiven) {
  TclCookieList list;
  double before = rtl::Now();
  Parse(list, u"Set-Cookie: a=1; Max-Age=3600");
  double after = rtl::Now();
  ASSERT_EQ(list.Count(), 1);
  EXPECT_EQ(list[0]->MaxAge(), 3600);
  EXPECT_GE(list[0]->Expires(), before + 3600 / rtl::SecsPerDay - 1e-9);
  EXPECT_LE(list[0]->Expires(), after + 3600 / rtl::SecsPerDay + 1e-9);
  EXPECT_FALSE(list[0]->IsExpired());

  Parse(list, u"Set-Cookie: a=1; max-age=0");
  EXPECT_EQ(list[0]->MaxAge(), 0);
  EXPECT_TRUE(list[0]->IsExpired());
  EXPECT_FALSE(list[0]->IsPersistent());

  Parse(list, u"Set-Cookie: a=1; max-age=abc");
  EXPECT_EQ(list[0]->MaxAge(), -1);
  EXPECT_FALSE(list[0]->IsExpired());
}

TEST(CookieParse, DomainAttributeMustCoverTheHost) {
  struct Case {
    const char16_t* domain;
    const char16_t* host;
    const char* stored;  // nullptr: the cookie is refused
  } cases[] = {
      {u"b.c", u"a.b.c", ".b.c"},         {u".b.c", u"a.b.c", ".b.c"},      {u"B.C", u"A.b.c", ".b.c"},
      {u"b.c", u"b.c", ".b.c"},           {u".a.b.c", u"a.b.c", ".a.b.c"},  {u"\"x.b.c\"", u"y.x.b.c", ".x.b.c"},
      {u".com", u"a.b.com", nullptr},     {u"com", u"b.com", nullptr},      {u"local", u"a.local", nullptr},
      {u".local", u"local", ".local"},    {u"example.com", u"evil.com", nullptr},
      {u"b.c", u"xb.c", nullptr},         {u"a.b.c", u"b.c", nullptr},      {u".", u"a.b", nullptr},
      {u"..", u"a.b", nullptr},           {u"b.c.", u"a.b.c", nullptr},
      // The request host itself, whatever it is, gives the cookie the host gets without the
      // attribute; an address takes no other domain, not even its own tail.
      {u"localhost", u"localhost", ".localhost"},  {u".LocalHost", u"localhost", ".localhost"},
      {u"127.0.0.1", u"127.0.0.1", ".127.0.0.1"},  {u".127.0.0.1", u"127.0.0.1", ".127.0.0.1"},
      {u"0.0.1", u"127.0.0.1", nullptr},           {u"0.1", u"10.0.0.1", nullptr},
      {u"168.1", u"192.168.1.1", nullptr},         {u"0x7f.1", u"0x7f.1", ".0x7f.1"},
      {u"0.1", u"0x7f.0.1", nullptr},              {u"[::1]", u"[::1]", ".[::1]"},
      {u"::1", u"[::1]", ".[::1]"},                {u"1", u"[::1]", nullptr},
      {u"localhost", u"127.0.0.1", nullptr},
  };
  for (const Case& c : cases) {
    rtl::String field = u"Set-Cookie: a=1; domain=" + rtl::String(c.domain) + u"; path=/";
    SCOPED_TRACE(A(field) + " from " + A(c.host));
    TclCookieList list;
    rtl::TStringList head = Lines({u"HTTP/1.1 200 OK", field.c_str(), u"Set-Cookie: b=2", u""});
    list.GetResponseCookies(head, c.host, u"/", 80);
    // The other cookie of the head, without the attribute, is never affected: any host (a
    // single label, an address) keeps it as its own.
    ASSERT_EQ(list.Count(), c.stored ? 2 : 1);
    if (c.stored) {
      EXPECT_EQ(A(rtl::LowerCase(list[0]->Domain())), c.stored);
    }
    EXPECT_EQ(A(list[list.Count() - 1]->Name()), "b");
    EXPECT_EQ(A(list[list.Count() - 1]->Domain()), "." + A(c.host));
  }
}

// Without a usable "path" attribute the cookie takes the request's folder: its path up to, not
// including, the last "/"; the query never counts.
TEST(CookieParse, DefaultPathIsTheRequestFolder) {
  struct Case {
    const char16_t* field;
    const char16_t* requestPath;
    const char* path;
  } cases[] = {
      {u"Set-Cookie: a=1", u"/dir/page?q=1", "/dir"},
      {u"Set-Cookie: a=1", u"/login?next=/a/b/c", "/"},
      {u"Set-Cookie: a=1", u"/a/b/?x=/y/z", "/a/b"},
      {u"Set-Cookie: a=1", u"/a/b#frag/x", "/a"},
      {u"Set-Cookie: a=1", u"/page", "/"},
      {u"Set-Cookie: a=1", u"/", "/"},
      {u"Set-Cookie: a=1", u"", "/"},
      {u"Set-Cookie: a=1", u"?only=/query/x", "/"},
      {u"Set-Cookie: a=1", u"relative/x/y", "/"},
      {u"Set-Cookie: a=1; Path=", u"/d/p", "/d"},
      {u"Set-Cookie: a=1; Path=relative", u"/d/p", "/d"},
      {u"Set-Cookie: a=1; Path=/x?y", u"/d/p", "/x?y"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(A(c.field) + " for " + A(c.requestPath));
    TclCookieList list;
    Parse(list, c.field, u"h", c.requestPath);
    ASSERT_EQ(list.Count(), 1);
    EXPECT_EQ(A(list[0]->Path()), c.path);
  }
}

// Attributes come only from the list after the first ";": text inside the value that looks like
// an attribute is value, and of an attribute given twice the last counts.
TEST(CookieParse, AttributesOnlyFromTheAttributeList) {
  struct Case {
    const char16_t* field;
    const char* value;
    const char* domain;
    const char* path;
    bool secure;
    bool persistent;
    int64_t maxAge;
    const char* port;
  } cases[] = {
      {u"Set-Cookie: next=/a?path=/admin; Path=/", "/a?path=/admin", ".www.h.org", "/", false, false, -1, ""},
      {u"Set-Cookie: next=/a?path=/admin", "/a?path=/admin", ".www.h.org", "/login", false, false, -1, ""},
      {u"Set-Cookie: next=/a,path=/admin; Path=/", "/a,path=/admin", ".www.h.org", "/", false, false, -1, ""},
      {u"Set-Cookie: q=domain=h.org", "domain=h.org", ".www.h.org", "/login", false, false, -1, ""},
      {u"Set-Cookie: q=x,domain=evil.org", "x,domain=evil.org", ".www.h.org", "/login", false, false, -1, ""},
      {u"Set-Cookie: t=expires=Fri, 01 Jan 2100 00:00:00 GMT", "expires=Fri, 01 Jan 2100 00:00:00 GMT", ".www.h.org",
       "/login", false, false, -1, ""},
      {u"Set-Cookie: m=max-age=0", "max-age=0", ".www.h.org", "/login", false, false, -1, ""},
      {u"Set-Cookie: s=on secure", "on secure", ".www.h.org", "/login", false, false, -1, ""},
      {u"Set-Cookie: p=port", "port", ".www.h.org", "/login", false, false, -1, ""},
      // Names of attributes are whole words.
      {u"Set-Cookie: a=1; xpath=/admin; mydomain=evil.org; notsecure; max-age-x=0", "1", ".www.h.org", "/login",
       false, false, -1, ""},
      {u"Set-Cookie: a=1; Path=/a; path=/b; Domain=www.h.org; domain=h.org; Max-Age=5; max-age=0", "1", ".h.org",
       "/b", false, false, 0, ""},
      {u"Set-Cookie: a=1; Domain=h.org; Domain=", "1", ".h.org", "/login", false, false, -1, ""},
      {u"Set-Cookie: a=1;SECURE=yes;Port;Expires=Fri, 01-Jan-2100 00:00:00 GMT", "1", ".www.h.org", "/login", true,
       true, -1, "8080"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(A(c.field));
    TclCookieList list;
    Parse(list, c.field, u"www.h.org", u"/login/form?next=/a", 8080);
    ASSERT_EQ(list.Count(), 1);
    EXPECT_EQ(A(list[0]->Value()), c.value);
    EXPECT_EQ(A(list[0]->Domain()), c.domain);
    EXPECT_EQ(A(list[0]->Path()), c.path);
    EXPECT_EQ(list[0]->Secure(), c.secure);
    EXPECT_EQ(list[0]->IsPersistent(), c.persistent);
    EXPECT_EQ(list[0]->MaxAge(), c.maxAge);
    EXPECT_EQ(A(list[0]->Port()), c.port);
  }
}

TEST(CookieParse, ReadsEveryCookieFieldOfTheHeadInOrder) {
  rtl::TStringList head = Lines({u"HTTP/1.1 302 Found", u"Set-Cookie: one=1", u"Location: /x",
                                 u"SET-COOKIE2: two=2; Version=1", u"X-Set-Cookie: no=0", u"set-cookie: three=3;",
                                 u"\tpath=/folded", u"Set-Cookie:", u"", u"Set-Cookie: body=1"});
  TclCookieList list;
  int changes = 0;
  list.OnChange = [&](TclCookieList*) { ++changes; };
  list.GetResponseCookies(head, u"h", u"/", 80);
  ASSERT_EQ(list.Count(), 3);
  EXPECT_EQ(A(list[0]->Name()), "one");
  EXPECT_EQ(A(list[1]->Name()), "two");
  EXPECT_EQ(list[1]->Format(), cfRFC2965);
  EXPECT_EQ(A(list[2]->Name()), "three");
  EXPECT_EQ(A(list[2]->Path()), "/folded");
  EXPECT_EQ(changes, 1);  // one notification for the whole read

  // A response without cookies empties the list.
  rtl::TStringList plain = Lines({u"HTTP/1.1 200 OK", u"Content-Length: 0", u""});
  list.GetResponseCookies(plain, u"h", u"/", 80);
  EXPECT_EQ(list.Count(), 0);
}

// --- the request field ---------------------------------------------------------------------------

TEST(CookieRequest, ReplacesEveryCookieFieldOfTheHeader) {
  TclCookieList list;
  Add(list, u"a", u"1", u".h");
  Add(list, u"B", u"2", u".h");
  rtl::TStringList head = Lines({u"Host: h", u"Cookie: old=1", u"Accept: */*", u"cookie: old=2", u"", u"body"});
  list.SetRequestCookies(head);
  EXPECT_EQ(Dump(head), (std::vector<std::string>{"Host: h", "Accept: */*", "Cookie: a=1; B=2", "", "body"}));

  TclCookieList empty;
  empty.SetRequestCookies(head);
  EXPECT_EQ(Dump(head), (std::vector<std::string>{"Host: h", "Accept: */*", "", "body"}));
}

TEST(CookieRequest, AValueWithALineBreakIsRefused) {
  TclCookieList list;
  Add(list, u"a", u"1\r\nX-Injected: 1", u".h");
  rtl::TStringList head = Lines({u"Host: h", u""});
  EXPECT_THROW(list.SetRequestCookies(head), rtl::EAssertionFailed);
  EXPECT_EQ(Dump(head), (std::vector<std::string>{"Host: h", ""}));
}

// --- matching ------------------------------------------------------------------------------------

TEST(CookieMatch, DomainPathPortAndSecure) {
  struct Case {
    const char16_t* domain;
    const char16_t* path;
    const char16_t* port;
    bool secureCookie;
    const char16_t* host;
    const char16_t* requestPath;
    int requestPort;
    bool secureRequest;
    bool match;
  } cases[] = {
      {u".b.c", u"/", u"", false, u"a.b.c", u"/", 80, false, true},
      {u".b.c", u"/", u"", false, u"b.c", u"/", 80, false, true},
      {u".b.c", u"/", u"", false, u"B.C", u"/", 80, false, true},
      {u"b.c", u"/", u"", false, u"b.c", u"/", 80, false, true},
      {u".b.c", u"/", u"", false, u"b.c.d", u"/", 80, false, false},
      {u".b.c", u"/", u"", false, u"xb.c", u"/", 80, false, false},
      // A single label and an address have no parents: they match only themselves.
      {u".local", u"/", u"", false, u"anything.example", u"/", 80, false, false},
      {u".local", u"/", u"", false, u"a.local", u"/", 80, false, false},
      {u".local", u"/", u"", false, u"local", u"/", 80, false, true},
      {u".localhost", u"/", u"", false, u"a.localhost", u"/", 80, false, false},
      {u".localhost", u"/", u"", false, u"LocalHost", u"/", 80, false, true},
      {u".127.0.0.1", u"/", u"", false, u"127.0.0.1", u"/", 80, false, true},
      {u".0.0.1", u"/", u"", false, u"127.0.0.1", u"/", 80, false, false},
      {u".0.1", u"/", u"", false, u"10.0.0.1", u"/", 80, false, false},
      {u".1", u"/", u"", false, u"[::1]", u"/", 80, false, false},
      {u".[::1]", u"/", u"", false, u"[::1]", u"/", 80, false, true},
      {u".", u"/", u"", false, u"a.b", u"/", 80, false, false},
      {u"..b", u"/", u"", false, u"a..b", u"/", 80, false, false},
      {u".com.", u"/", u"", false, u"x.com.", u"/", 80, false, false},
      {u"", u"/", u"", false, u"h", u"/", 80, false, false},
      {u".h", u"/dir", u"", false, u"h", u"/dir/file", 80, false, true},
      {u".h", u"/dir", u"", false, u"h", u"/DIR/file", 80, false, true},
      {u".h", u"/dir", u"", false, u"h", u"/other/dir", 80, false, false},
      // Paths match on segment boundaries; the query and a fragment never count.
      {u".h", u"/dir", u"", false, u"h", u"/dir", 80, false, true},
      {u".h", u"/dir", u"", false, u"h", u"/directory", 80, false, false},
      {u".h", u"/dir", u"", false, u"h", u"/DIRectory/x", 80, false, false},
      {u".h", u"/dir", u"", false, u"h", u"/dir?x=1", 80, false, true},
      {u".h", u"/dir", u"", false, u"h", u"/dir#top", 80, false, true},
      {u".h", u"/dir", u"", false, u"h", u"/dirx?/dir/", 80, false, false},
      {u".h", u"/dir/", u"", false, u"h", u"/dir/x", 80, false, true},
      {u".h", u"/dir/", u"", false, u"h", u"/dir", 80, false, false},
      {u".h", u"/dir/x", u"", false, u"h", u"/dir?/dir/x", 80, false, false},
      {u".h", u"/", u"", false, u"h", u"?q", 80, false, true},
      {u".h", u"", u"", false, u"h", u"/anything", 80, false, true},
      {u".h", u"/", u"80,8080", false, u"h", u"/", 8080, false, true},
      {u".h", u"/", u" 80 , 8080 ", false, u"h", u"/", 80, false, true},
      {u".h", u"/", u"80,8080", false, u"h", u"/", 81, false, false},
      {u".h", u"/", u"", true, u"h", u"/", 443, false, false},
      {u".h", u"/", u"", true, u"h", u"/", 443, true, true},
      {u".h", u"/", u"", false, u"h", u"/", 443, true, true},
      {u".h", u"/x", u"", true, u"h", u"/", 443, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(A(c.domain) + A(c.path) + " " + A(c.port) + " for " + A(c.host) + A(c.requestPath));
    TclCookieList list;
    TclCookieItem* k = Add(list, u"n", u"v", c.domain, c.path);
    k->SetPort(c.port);
    k->SetSecure(c.secureCookie);
    EXPECT_EQ(TclCookieManager::MatchCookie(*k, c.host, c.requestPath, c.requestPort, c.secureRequest), c.match);
  }
}

// --- the store -----------------------------------------------------------------------------------

TEST(CookieStore, SendsMatchingCookiesSortedByNameThenLongerPathFirst) {
  TclCookieManager m;
  TclCookieList in;
  Add(in, u"B", u"2", u".h");
  Add(in, u"a", u"1", u".h");
  Add(in, u"c", u"root", u".h", u"/");
  Add(in, u"C", u"deep", u".h", u"/dir");
  Add(in, u"z", u"other", u".other");
  m.AddCookies(in);
  EXPECT_EQ(m.Cookies()->Count(), 5);
  EXPECT_EQ(A(RequestCookies(m, u"h", u"/dir/x")), "a=1; B=2; C=deep; c=root");
  EXPECT_EQ(A(RequestCookies(m, u"h", u"/")), "a=1; B=2; c=root");
  EXPECT_EQ(A(RequestCookies(m, u"nothing", u"/")), "");
}

TEST(CookieStore, UpdatesByNameDomainAndPathIgnoringCase) {
  TclCookieManager m;
  TclCookieList first, second;
  Add(first, u"sid", u"1", u".h", u"/p");
  m.AddCookies(first);
  Add(second, u"SID", u"2", u".H", u"/P")->SetSecure(true);
  Add(second, u"sid", u"3", u".h", u"/q");
  m.AddCookies(second);
  ASSERT_EQ(m.Cookies()->Count(), 2);
  EXPECT_EQ(A(m.Cookies()->Items(0)->Value()), "2");
  EXPECT_EQ(A(m.Cookies()->Items(0)->Name()), "SID");  // takes all fields of the new one
  EXPECT_TRUE(m.Cookies()->Items(0)->Secure());
  EXPECT_EQ(A(m.Cookies()->Items(1)->Value()), "3");
}

TEST(CookieStore, MaxAgeZeroDeletesTheStoredCookie) {
  TclCookieManager m;
  TclCookieList list;
  rtl::TStringList head = Lines({u"HTTP/1.1 200 OK", u"Set-Cookie: a=1; path=/", u"Set-Cookie: b=1", u""});
  list.GetResponseCookies(head, u"h", u"/", 80);
  m.AddCookies(list);
  ASSERT_EQ(m.Cookies()->Count(), 2);
  rtl::TStringList gone = Lines({u"HTTP/1.1 200 OK", u"Set-Cookie: A=; max-age=0; path=/", u""});
  list.GetResponseCookies(gone, u"H", u"/", 80);
  m.AddCookies(list);
  ASSERT_EQ(m.Cookies()->Count(), 1);
  EXPECT_EQ(A(m.Cookies()->Items(0)->Name()), "b");
  EXPECT_EQ(A(RequestCookies(m, u"h", u"/")), "b=1");
}

TEST(CookieStore, ExpiredCookiesAreRemovedAndNotSent) {
  TclCookieManager m;
  TclCookieList list;
  Add(list, u"old", u"1", u".h")->SetExpires(Utc(2021, 6, 9, 10, 18, 14));
  Add(list, u"soon", u"1", u".h")->SetExpires(rtl::Now() + 1.0);
  Add(list, u"session", u"1", u".h");
  // A new cookie that is already expired is stored (nothing to delete yet) ...
  m.AddCookies(list);
  EXPECT_EQ(m.Cookies()->Count(), 3);
  std::vector<std::string> deleted;
  m.OnDeleteCookie = [&](void* sender, TclCookieItem* c, bool& allow) {
    EXPECT_EQ(sender, &m);
    EXPECT_TRUE(allow);
    deleted.push_back(A(c->Name()));
  };
  // ... and removed before any cookie is handed out.
  EXPECT_EQ(A(RequestCookies(m, u"h", u"/")), "session=1; soon=1");
  EXPECT_EQ(deleted, std::vector<std::string>{"old"});
  EXPECT_EQ(m.Cookies()->Count(), 2);

  // The one that was still valid expires later and goes at the next AddCookies.
  m.Cookies()->Items(0)->SetExpires(rtl::Now() - 1.0 / 86400);
  TclCookieList none;
  m.AddCookies(none);
  EXPECT_EQ(deleted, (std::vector<std::string>{"old", "soon"}));
  EXPECT_EQ(m.Cookies()->Count(), 1);
}

TEST(CookieStore, EventsMayRefuseEachChange) {
  TclCookieManager m;
  bool allowAdd = false, allowUpdate = false, allowDelete = false;
  int adds = 0, updates = 0, deletes = 0;
  m.OnAddCookie = [&](void*, TclCookieItem*, bool& allow) { ++adds; allow = allowAdd; };
  m.OnUpdateCookie = [&](void*, TclCookieItem* oldC, TclCookieItem* newC, bool& allow) {
    ++updates;
    EXPECT_EQ(A(oldC->Value()), "1");
    EXPECT_EQ(A(newC->Value()), "2");
    allow = allowUpdate;
  };
  m.OnDeleteCookie = [&](void*, TclCookieItem*, bool& allow) { ++deletes; allow = allowDelete; };

  TclCookieList one, two, gone;
  Add(one, u"a", u"1", u".h");
  Add(two, u"a", u"2", u".h");
  Add(gone, u"a", u"", u".h")->SetMaxAge(0);

  m.AddCookies(one);
  EXPECT_EQ(m.Cookies()->Count(), 0);
  allowAdd = true;
  m.AddCookies(one);
  EXPECT_EQ(m.Cookies()->Count(), 1);
  m.AddCookies(two);
  EXPECT_EQ(A(m.Cookies()->Items(0)->Value()), "1");
  m.AddCookies(gone);
  EXPECT_EQ(m.Cookies()->Count(), 1);
  allowDelete = true;
  m.AddCookies(gone);
  EXPECT_EQ(m.Cookies()->Count(), 0);
  EXPECT_EQ(adds, 2);
  EXPECT_EQ(updates, 1);
  EXPECT_EQ(deletes, 2);
}

TEST(CookieStore, AcceptEventDecidesWhatIsSent) {
  TclCookieManager m;
  TclCookieList in;
  Add(in, u"a", u"1", u".h");
  Add(in, u"b", u"2", u".other");
  m.AddCookies(in);
  std::vector<std::string> asked;
  m.OnAcceptCookie = [&](void*, TclCookieItem* c, const rtl::String& domain, const rtl::String& path, int port,
                         bool secure, bool& allow) {
    asked.push_back(A(c->Name()) + (allow ? "+" : "-") + A(domain) + A(path) + std::to_string(port) +
                    (secure ? "s" : ""));
    allow = !allow;  // invert the match
  };
  EXPECT_EQ(A(RequestCookies(m, u"h", u"/p", 8080, true)), "b=2");
  EXPECT_EQ(asked, (std::vector<std::string>{"a+h/p8080s", "b-h/p8080s"}));
}

TEST(CookieStore, HandlersThatChangeTheStoreDoNotBreakIt) {
  TclCookieManager m;
  TclCookieList in;
  for (int i = 0; i < 5; ++i) Add(in, (u"c" + rtl::IntToStr(i)).c_str(), u"1", u".h");
  m.AddCookies(in);
  // Every accept check empties the store.
  m.OnAcceptCookie = [&](void*, TclCookieItem*, const rtl::String&, const rtl::String&, int, bool, bool&) {
    m.Cookies()->Clear();
  };
  EXPECT_EQ(A(RequestCookies(m, u"h", u"/")), "");
  EXPECT_EQ(m.Cookies()->Count(), 0);

  // The store's own list as the source of AddCookies and as the target of GetCookies.
  m.OnAcceptCookie = nullptr;
  m.AddCookies(in);
  m.AddCookies(*m.Cookies());
  EXPECT_EQ(m.Cookies()->Count(), 5);
  m.GetCookies(*m.Cookies(), u"h", u"/", 80, false);
  EXPECT_EQ(m.Cookies()->Count(), 5);
}

TEST(CookieStore, ResponseToRequestRoundTrip) {
  TclCookieManager m;
  TclCookieList response;
  rtl::TStringList head = Lines({u"HTTP/1.1 302 Found", u"Set-Cookie: SID=abc; path=/; HttpOnly",
                                 u"Set-Cookie: pref=dark; domain=example.com; path=/app",
                                 u"Set-Cookie: evil=1; domain=.com", u"Set-Cookie: tls=1; secure; path=/", u""});
  response.GetResponseCookies(head, u"www.example.com", u"/login?next=1", 80);
  ASSERT_EQ(response.Count(), 3);
  m.AddCookies(response);
  EXPECT_EQ(A(RequestCookies(m, u"www.example.com", u"/app/page")), "pref=dark; SID=abc");
  EXPECT_EQ(A(RequestCookies(m, u"www.example.com", u"/app/page", 443, true)), "pref=dark; SID=abc; tls=1");
  EXPECT_EQ(A(RequestCookies(m, u"api.example.com", u"/app")), "pref=dark");
  EXPECT_EQ(A(RequestCookies(m, u"other.com", u"/")), "");
}

TEST(CookieStore, LockSerialisesClientsOnSeveralThreads) {
  TclCookieManager m;
  constexpr int kThreads = 4, kRounds = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&m, t] {
      for (int i = 0; i < kRounds; ++i) {
        TclCookieList in, out;
        Add(in, (u"t" + rtl::IntToStr(t) + u"_" + rtl::IntToStr(i)).c_str(), u"v", u".h");
        m.AddCookies(in);
        m.GetCookies(out, u"h", u"/", 80, false);
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(m.Cookies()->Count(), kThreads * kRounds);
}

TEST(CookieStore, FreeNotificationRunsOnceAtDestruction) {
  int calls = 0;
  TclCookieManager* seen = nullptr;
  int keyA = 0, keyB = 0;
  {
    TclCookieManager m;
    m.FreeNotification(&keyA, [&](TclCookieManager* s) { ++calls; seen = s; });
    m.FreeNotification(&keyB, [&](TclCookieManager*) { calls += 100; });
    m.FreeNotification(&keyA, [&](TclCookieManager* s) { calls += 1; seen = s; });  // replaces
    m.RemoveFreeNotification(&keyB);
    EXPECT_EQ(calls, 0);
  }
  EXPECT_EQ(calls, 1);
  EXPECT_NE(seen, nullptr);
}

// --- the cookie and the list ---------------------------------------------------------------------

TEST(CookieItem, DefaultsMaxAgeAndAssign) {
  TclCookieItem c;
  EXPECT_FALSE(c.Secure());
  EXPECT_EQ(c.Expires(), -1);
  EXPECT_EQ(c.MaxAge(), -1);
  EXPECT_EQ(c.Version(), 0);
  EXPECT_EQ(c.Format(), cfNetscape);
  EXPECT_FALSE(c.IsPersistent());
  EXPECT_FALSE(c.IsExpired());
  EXPECT_EQ(c.Index(), -1);

  // A date already set is not moved by MaxAge.
  c.SetExpires(Utc(2100, 1, 1, 0, 0, 0));
  c.SetMaxAge(60);
  EXPECT_EQ(c.Expires(), Utc(2100, 1, 1, 0, 0, 0));
  // Setting the same value again changes nothing; a non-positive one leaves Expires.
  TclCookieItem d;
  d.SetMaxAge(-1);
  EXPECT_EQ(d.Expires(), -1);
  d.SetMaxAge(-5);
  EXPECT_EQ(d.Expires(), -1);
  EXPECT_FALSE(d.IsExpired());

  TclCookieItem e;
  e.SetName(u"n");
  e.SetMaxAge(120);
  TclCookieItem f;
  f.Assign(e);
  EXPECT_EQ(f.MaxAge(), 120);
  EXPECT_EQ(f.Expires(), e.Expires());  // copied, not recomputed
  EXPECT_EQ(A(f.Name()), "n");

  // Values between -1 and 0 mean no expiry.
  f.SetExpires(-0.5);
  EXPECT_FALSE(f.IsPersistent());
  f.SetExpires(0);
  EXPECT_FALSE(f.IsPersistent());
}

TEST(CookieList, IndexErrorsAndNotification) {
  TclCookieList list;
  int changes = 0;
  list.OnChange = [&](TclCookieList*) { ++changes; };
  list.Add();
  list.Add();
  EXPECT_EQ(changes, 2);
  list.BeginUpdate();
  list.Delete(0);
  list.Clear();
  EXPECT_EQ(changes, 2);
  list.EndUpdate();
  EXPECT_EQ(changes, 3);
  EXPECT_THROW(list.Items(0), rtl::EListError);
  EXPECT_THROW(list.Delete(-1), rtl::EListError);
  EXPECT_EQ(A(list.GetCookieText(*Add(list, u"n", u"v=w", u".h"))), "n=v=w");
}

TEST(CookieList, SaveAndLoadKeepEveryField) {
  TclCookieList list;
  TclCookieItem* c = Add(list, u"na\tme", u"v%41\r\nx \u00e9\u20ac", u".h", u"/p");
  c->SetSecure(true);
  c->SetDiscard(true);
  c->SetExpires(Utc(2031, 2, 3, 4, 5, 6) + 0.123456789);
  c->SetMaxAge(9223372036854775807LL);
  c->SetVersion(-7);
  c->SetPort(u"80,81");
  c->SetComment(u"c");
  c->SetCommentURL(u"http://u/");
  c->SetCookieData(u"raw; data");
  c->SetFormat(cfRFC2965);
  Add(list, u"", u"", u"");

  rtl::TMemoryStream stream;
  list.Save(stream);
  stream.SetPosition(0);
  TclCookieList loaded;
  Add(loaded, u"replaced", u"", u"");
  loaded.Load(stream);
  ASSERT_EQ(loaded.Count(), 2);
  const TclCookieItem* l = loaded[0];
  EXPECT_EQ(l->Name(), c->Name());
  EXPECT_EQ(l->Value(), c->Value());
  EXPECT_EQ(l->Domain(), c->Domain());
  EXPECT_EQ(l->Path(), c->Path());
  EXPECT_EQ(l->Secure(), true);
  EXPECT_EQ(l->Discard(), true);
  EXPECT_EQ(l->Expires(), c->Expires());
  EXPECT_EQ(l->MaxAge(), c->MaxAge());
  EXPECT_EQ(l->Version(), -7);
  EXPECT_EQ(A(l->Port()), "80,81");
  EXPECT_EQ(A(l->Comment()), "c");
  EXPECT_EQ(A(l->CommentURL()), "http://u/");
  EXPECT_EQ(A(l->CookieData()), "raw; data");
  EXPECT_EQ(l->Format(), cfRFC2965);
  EXPECT_EQ(l->Collection(), &loaded);
  EXPECT_EQ(A(loaded[1]->Name()), "");
}

TEST(CookieList, LoadRefusesBadDataAndKeepsTheList) {
  const char* good = "0\tv\t-1\tn\t.h\t/\t\t0\t-1\t0\t\t\t\t0";
  struct Case {
    std::string text;
    const char* message;
  } cases[] = {
      {"", "line 0: not a cookie list"},
      {"cookies\n", "line 1: not a cookie list"},
      {"KRVCookies\t2\n", "line 1: not a cookie list"},
      {std::string("KRVCookies\t1\n") + good + "\textra\n", "line 2: wrong number of fields"},
      {std::string("KRVCookies\t1\n\n") + "2\tv\t-1\tn\t.h\t/\t\t0\t-1\t0\t\t\t\t0\n", "line 3: secure"},
      {"KRVCookies\t1\n0\tv%4\t-1\tn\t.h\t/\t\t0\t-1\t0\t\t\t\t0", "line 2: value"},
      {"KRVCookies\t1\n0\tv%zz\t-1\tn\t.h\t/\t\t0\t-1\t0\t\t\t\t0", "line 2: value"},
      {"KRVCookies\t1\n0\tv\tinf\tn\t.h\t/\t\t0\t-1\t0\t\t\t\t0", "line 2: expires"},
      {"KRVCookies\t1\n0\tv\tnan\tn\t.h\t/\t\t0\t-1\t0\t\t\t\t0", "line 2: expires"},
      {"KRVCookies\t1\n0\tv\t1e999\tn\t.h\t/\t\t0\t-1\t0\t\t\t\t0", "line 2: expires"},
      {"KRVCookies\t1\n0\tv\t-1\tn\t.h\t/\t\t0\t 5\t0\t\t\t\t0", "line 2: max-age"},
      {"KRVCookies\t1\n0\tv\t-1\tn\t.h\t/\t\t0\t99999999999999999999\t0\t\t\t\t0", "line 2: max-age"},
      {"KRVCookies\t1\n0\tv\t-1\tn\t.h\t/\t\t0\t-1\t0x1\t\t\t\t0", "line 2: version"},
      {"KRVCookies\t1\n0\tv\t-1\tn\t.h\t/\t\t0\t-1\t0\t\t\t\t3", "line 2: format"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    TclCookieList list;
    Add(list, u"kept", u"1", u".h");
    rtl::TBytesStream stream(rtl::Bytes(c.text.begin(), c.text.end()));
    try {
      list.Load(stream);
      ADD_FAILURE() << "no error";
    } catch (const rtl::EReadError& e) {
      EXPECT_NE(A(e.Message()).find(c.message), std::string::npos) << A(e.Message());
    }
    ASSERT_EQ(list.Count(), 1);
    EXPECT_EQ(A(list[0]->Name()), "kept");
  }
  // The good line itself loads, with CR LF line ends too.
  std::string ok = std::string("KRVCookies\t1\r\n") + good + "\r\n";
  rtl::TBytesStream stream(rtl::Bytes(ok.begin(), ok.end()));
  TclCookieList list;
  list.Load(stream);
  ASSERT_EQ(list.Count(), 1);
  EXPECT_EQ(A(list[0]->Value()), "v");
}

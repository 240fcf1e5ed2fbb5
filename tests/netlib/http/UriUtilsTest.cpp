// The URL parser: parsing, encoding, request targets and reference resolution.
#include <gtest/gtest.h>

#include <string>

#include "netlib/http/clIdnTranslator.h"
#include "netlib/http/clUriUtils.h"
#include "platform/LastError.h"
#include "rtl/SysUtils.h"

using namespace netlib;

namespace {
std::string A(const rtl::String& s) { return rtl::U8(s); }
}  // namespace

TEST(UrlParser, ParsesComponentsAndRequestTargets) {
  struct Case {
    std::u16string Url;
    std::u16string CharSet;
    std::u16string AbsoluteUri;
    std::u16string Host;
    int32_t Port;
    TclUrlType Type;
    std::u16string Urlpath;
    std::u16string Extra;
    std::u16string AbsolutePath;
  };
  const Case cases[] = {
      // without a scheme: retried with "http://", the space goes out as %20
      {u"www.example.com/path with space", u"", u"http://www.example.com/path%20with%20space",
       u"www.example.com", 80, utHTTP, u"/path with space", u"", u"/path%20with%20space"},
      {u"localhost:8080/x", u"", u"http://localhost:8080/x", u"localhost", 8080, utHTTP, u"/x", u"", u"/x"},
      {u"http://host", u"", u"http://host", u"host", 80, utHTTP, u"", u"", u"/"},
      {u"http://host/p?x=1", u"", u"http://host/p?x=1", u"host", 80, utHTTP, u"/p", u"?x=1", u"/p?x=1"},
      // the fragment stays in the components and the rebuilt URL, never in the request target
      {u"http://host/p?x=1#frag", u"", u"http://host/p?x=1%23frag", u"host", 80, utHTTP, u"/p", u"?x=1#frag",
       u"/p?x=1"},
      {u"http://host/p#frag", u"", u"http://host/p%23frag", u"host", 80, utHTTP, u"/p", u"#frag", u"/p"},
      {u"http://host/p?a#b?c", u"", u"http://host/p?a%23b?c", u"host", 80, utHTTP, u"/p", u"?a#b?c", u"/p?a"},
      // an empty path before a query or fragment: the target and the rebuilt URL get their "/"
      {u"http://host?x=1", u"", u"http://host/?x=1", u"host", 80, utHTTP, u"", u"?x=1", u"/?x=1"},
      {u"http://host#f:1", u"", u"http://host/%23f:1", u"host", 80, utHTTP, u"", u"#f:1", u"/"},
      {u"http://host/%41", u"", u"http://host/%41", u"host", 80, utHTTP, u"/%41", u"", u"/%41"},
      {u"http://host/a%4", u"", u"http://host/a%254", u"host", 80, utHTTP, u"/a%4", u"", u"/a%254"},
      {u"http://host/a%zz", u"", u"http://host/a%25zz", u"host", 80, utHTTP, u"/a%zz", u"", u"/a%25zz"},
      {u"http://host/caf\u00E9", u"utf-8", u"http://host/caf%C3%A9", u"host", 80, utHTTP, u"/caf\u00E9", u"",
       u"/caf%C3%A9"},
      {u"http://host/caf\u00E9", u"", u"http://host/caf%E9", u"host", 80, utHTTP, u"/caf\u00E9", u"", u"/caf%E9"},
      {u"http://b\u00FCcher.de/", u"utf-8", u"http://xn--bcher-kva.de/", u"xn--bcher-kva.de", 80, utHTTP, u"/",
       u"", u"/"},
      {u"http://WWW.Example.COM/", u"", u"http://WWW.Example.COM/", u"WWW.Example.COM", 80, utHTTP, u"/", u"",
       u"/"},
      {u"HTTPS://h:8443/x", u"", u"https://h:8443/x", u"h", 8443, utHTTPS, u"/x", u"", u"/x"},
      {u"https://h:443/x", u"", u"https://h/x", u"h", 443, utHTTPS, u"/x", u"", u"/x"},
      {u"ftp://h/f", u"", u"ftp://h/f", u"h", 21, utFTP, u"/f", u"", u"/f"},
      {u"foo://h/x", u"", u"foo://h/x", u"h", 0, utUnknown, u"/x", u"", u"/x"},
      {u"socks://h", u"", u"socks://h", u"h", 1080, utUnknown, u"", u"", u"/"},
      {u"http://*", u"", u"http://*", u"*", 80, utHTTP, u"", u"", u"*"},
      {u"http://h/a b?c d", u"", u"http://h/a%20b?c%20d", u"h", 80, utHTTP, u"/a b", u"?c d", u"/a%20b?c%20d"},
      {u"http://h/x~y{}", u"", u"http://h/x%7Ey%7B%7D", u"h", 80, utHTTP, u"/x~y{}", u"", u"/x%7Ey%7B%7D"},
      // rejected: everything reset, no exception
      {u"http://h:99999/", u"", u"", u"", 0, utUnknown, u"", u"", u"/"},
      {u"http:g", u"", u"", u"", 0, utUnknown, u"", u"", u"/"},
      {u"", u"", u"", u"", 0, utUnknown, u"", u"", u"/"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(A(c.Url));
    TclUrlParser p;
    EXPECT_EQ(A(p.Parse(c.Url, c.CharSet)), A(c.AbsoluteUri));
    EXPECT_EQ(A(p.AbsoluteUri()), A(c.AbsoluteUri));
    EXPECT_EQ(A(p.Host()), A(c.Host));
    EXPECT_EQ(p.Port(), c.Port);
    EXPECT_EQ(p.UrlType(), c.Type);
    EXPECT_EQ(A(p.Urlpath()), A(c.Urlpath));
    EXPECT_EQ(A(p.Extra()), A(c.Extra));
    EXPECT_EQ(A(p.AbsolutePath()), A(c.AbsolutePath));
    EXPECT_EQ(p.CharSet(), c.CharSet);
  }
}

TEST(UrlParser, UserInfoIsKeptOnlyWhenPresent) {
  const std::pair<std::u16string, std::u16string> cases[] = {
      {u"ftp://u:p@h/f", u"ftp://u:p@h/f"},
      {u"http://u@h/", u"http://u@h/"},
      {u"http://@h/", u"http://h/"},
      {u"http://:@h/", u"http://h/"},
      {u"http://:p@h/", u"http://:p@h/"},
  };
  for (const auto& [url, expected] : cases) {
    SCOPED_TRACE(A(url));
    TclUrlParser p;
    EXPECT_EQ(A(p.Parse(url, u"")), A(expected));
  }
  TclUrlParser p;
  p.Parse(u"ftp://user:secret@h/f", u"");
  EXPECT_EQ(p.UserName(), u"user");
  EXPECT_EQ(p.Password(), u"secret");
}

TEST(UrlParser, ParseReplacesEverything) {
  TclUrlParser p;
  p.Parse(u"https://u:p@h:81/a?b", u"utf-8");
  p.Parse(u"not a url at all:", u"x");
  EXPECT_EQ(p.AbsoluteUri(), u"");
  EXPECT_EQ(p.Host(), u"");
  EXPECT_EQ(p.UserName(), u"");
  EXPECT_EQ(p.Password(), u"");
  EXPECT_EQ(p.Urlpath(), u"");
  EXPECT_EQ(p.Extra(), u"");
  EXPECT_EQ(p.Port(), 0);
  EXPECT_EQ(p.UrlType(), utUnknown);
  EXPECT_EQ(p.CharSet(), u"x");
}

TEST(UrlParser, EmptyTextIsNotRetried) {
  TclUrlParser p;
  int calls = 0;
  p.OnUrlParsing = [&](TclUrlParser*, URL_COMPONENTS&) { ++calls; };
  EXPECT_EQ(p.Parse(u"", u""), u"");
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(p.Parse(u"h/x", u""), u"http://h/x");
  EXPECT_EQ(calls, 1);  // the retry split once; the first attempt never reached the handler
}

TEST(UrlParser, ReassemblyFailureKeepsComponents) {
  // The query fits the splitter's 4096-byte buffer but not the 2055-byte rebuilt URL.
  rtl::String query(3000, u'q');
  TclUrlParser p;
  EXPECT_EQ(p.Parse(u"http://h/p?" + query, u""), u"");
  EXPECT_EQ(p.Host(), u"h");
  EXPECT_EQ(p.Urlpath(), u"/p");
  EXPECT_EQ(p.Extra(), u"?" + query);
  EXPECT_EQ(p.Port(), 80);
  // A path over the splitter's buffer is rejected outright.
  EXPECT_EQ(p.Parse(u"http://h/" + rtl::String(3000, u'p'), u""), u"");
  EXPECT_EQ(p.Host(), u"");
  EXPECT_EQ(platform::GetLastErrorValue(), platform::ERROR_INSUFFICIENT_BUFFER);
}

TEST(UrlParser, HostTooLongAfterIdnIsRejected) {
  // 80 labels "ü": 239 bytes to the splitter, 639 characters once converted.
  rtl::String host;
  for (int i = 0; i < 80; ++i) host += i ? u".\u00FC" : u"\u00FC";
  TclUrlParser p;
  EXPECT_EQ(p.Parse(u"http://" + host + u"/", u"utf-8"), u"");
  EXPECT_EQ(p.Host(), u"");
  EXPECT_EQ(p.Port(), 0);
}

TEST(UrlParser, HostOutsideTheBasicPlaneIsEncodedByUnits) {
  // The host travels as UTF-8 through the splitter and comes back as a surrogate pair.
  TclUrlParser p;
  p.Parse(u"http://\U0001F600.com/", u"utf-8");
  EXPECT_EQ(p.Host(), TclIdnTranslator::GetDomainAscii(u"\U0001F600.com"));
  EXPECT_EQ(p.Host().substr(0, 4), u"xn--");
  EXPECT_EQ(p.AbsoluteUri(), u"http://" + p.Host() + u"/");
}

TEST(UrlParser, HandlerMayChangeTheRecord) {
  TclUrlParser p;
  p.OnUrlParsing = [](TclUrlParser* sender, URL_COMPONENTS& uc) {
    EXPECT_EQ(sender->UrlType(), utHTTP);  // set before the handler runs
    uc.nPort = 8081;
    uc.lpszUrlPath[0] = '\0';  // the handler may edit the buffers in place
    uc.dwUrlPathLength = 0;
  };
  EXPECT_EQ(p.Parse(u"http://h/x?y", u""), u"http://h:8081/?y");
  EXPECT_EQ(p.Port(), 8081);
  EXPECT_EQ(p.Urlpath(), u"");
  EXPECT_EQ(p.AbsolutePath(), u"/?y");
}

TEST(UrlParser, HandlerCannotPointTheHostElsewhere) {
  static char other[] = "elsewhere";
  TclUrlParser p;
  p.OnUrlParsing = [](TclUrlParser*, URL_COMPONENTS& uc) {
    uc.lpszHostName = other;
    uc.dwHostNameLength = 3;
  };
  // The host goes back into the parser's own buffer after the IDN step.
  EXPECT_EQ(p.Parse(u"http://h/x", u""), u"http://h/x");
}

TEST(UrlParser, EncodeUrlRules) {
  const std::tuple<std::u16string, std::u16string, std::u16string> cases[] = {
      {u"", u"utf-8", u""},
      {u"a b", u"utf-8", u"a%20b"},
      {u"%41%4", u"", u"%41%254"},
      {u"%", u"", u"%25"},
      {u"%g1", u"", u"%25g1"},
      {u"%aF", u"", u"%aF"},
      {u"\u00E9", u"utf-8", u"%C3%A9"},
      {u"\u00E9", u"iso-8859-1", u"%E9"},
      {u"\u007F\u0001\t", u"", u"%7F%01%09"},
      {u" <>\"#%{}|\\^~[]`", u"us-ascii", u"%20%3C%3E%22%23%25%7B%7D%7C%5C%5E%7E%5B%5D%60"},
      {u"a-b_c.d!$&'()*+,;=:@/?", u"", u"a-b_c.d!$&'()*+,;=:@/?"},
  };
  for (const auto& [url, charset, expected] : cases) {
    SCOPED_TRACE(A(url));
    EXPECT_EQ(A(TclUrlParser::EncodeUrl(url, charset)), A(expected));
  }
}

TEST(UrlParser, CombineUrlParsesTheResult) {
  const std::tuple<std::u16string, std::u16string, std::u16string> cases[] = {
      {u"/other", u"http://h/dir/page", u"http://h/other"},
      {u"../x y#frag", u"http://h/a/b/c", u"http://h/a/x%20y%23frag"},
      {u"//other.host:81/p", u"https://h/x", u"https://other.host:81/p"},
      {u"", u"http://h/a?q", u"http://h/a?q"},
      {u"?y", u"http://a/b/c/d;p?q", u"http://a/b/c/d;p?y"},
      {u"b\u00FCcher", u"http://h/", u"http://h/b%C3%BCcher"},
      {u"http://b\u00FCcher.de/x", u"http://h/", u"http://xn--bcher-kva.de/x"},
      {u"https://k/./a/../b", u"http://h/", u"https://k/b"},
      // another scheme comes back as it is and then fails to parse
      {u"g:h", u"http://a/b/c/d;p?q", u""},
      {u"http:g", u"http://a/b/c/d;p?q", u""},
      // no absolute base: the platform cannot combine
      {u"x", u"not a url", u""},
  };
  for (const auto& [ref, base, expected] : cases) {
    SCOPED_TRACE(A(ref) + " against " + A(base));
    EXPECT_EQ(A(TclUrlParser::CombineUrl(ref, base, u"utf-8")), A(expected));
  }
}

TEST(UrlParser, AssignCopiesComponentsOnly) {
  TclUrlParser a, b;
  a.Parse(u"https://u:p@h:81/x?y", u"utf-8");
  b.SetCharSet(u"iso-8859-1");
  bool called = false;
  b.OnUrlParsing = [&](TclUrlParser*, URL_COMPONENTS&) { called = true; };
  b.Assign(a);
  EXPECT_EQ(b.AbsoluteUri(), a.AbsoluteUri());
  EXPECT_EQ(b.Host(), u"h");
  EXPECT_EQ(b.UserName(), u"u");
  EXPECT_EQ(b.Password(), u"p");
  EXPECT_EQ(b.Urlpath(), u"/x");
  EXPECT_EQ(b.Extra(), u"?y");
  EXPECT_EQ(b.Port(), 81);
  EXPECT_EQ(b.UrlType(), utHTTPS);
  EXPECT_EQ(b.CharSet(), u"iso-8859-1");
  ASSERT_TRUE(b.OnUrlParsing);
  b.Parse(u"http://h/", u"");
  EXPECT_TRUE(called);
}

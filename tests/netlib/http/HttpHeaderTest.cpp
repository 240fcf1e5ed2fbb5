// The typed HTTP headers, the request object and the proxy settings.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "netlib/http/clHttpHeader.h"
#include "netlib/http/clHttpRequest.h"
#include "netlib/http/clHttpUtils.h"
#include "rtl/Exception.h"

#include "tests/netlib/http/HttpTestLines.h"

using namespace netlib;

namespace {

using httptest::A;
using httptest::Dump;
using httptest::Lines;

class TOther : public TPersistent {
 public:
  const char* ClassName() const override { return "TOther"; }
};

}  // namespace

TEST(HttpHeader, ParsesResponseFields) {
  auto lines = Lines({u"HTTP/1.1 401 Unauthorized", u"Content-Type: text/html; charset=\"utf-8\"",
                      u"WWW-Authenticate: Basic realm=\"a\"", u"Location: http://h/a",
                      u"\t/b", u"www-authenticate: Digest realm=\"b\"", u"X-Trace: abc",
                      u"Proxy-Authenticate: NTLM", u"Content-Length: 12x", u"Age: 3", u"ETag: \"e\"",
                      u"Last-Modified: Wed, 09 Jun 2021 10:18:14 GMT", u"Server: s", u"",
                      u"Body: not a field"});
  TclHttpResponseHeader h;
  h.ParseHeader(lines);
  EXPECT_EQ(h.ContentType(), u"text/html");
  EXPECT_EQ(h.CharSet(), u"utf-8");
  ASSERT_EQ(h.Authenticate()->Count(), 2);
  EXPECT_EQ((*h.Authenticate())[0], u"Basic realm=\"a\"");
  EXPECT_EQ((*h.Authenticate())[1], u"Digest realm=\"b\"");
  ASSERT_EQ(h.ProxyAuthenticate()->Count(), 1);
  EXPECT_EQ((*h.ProxyAuthenticate())[0], u"NTLM");
  EXPECT_EQ(h.Location(), u"http://h/a/b");
  EXPECT_EQ(h.ContentLength(), u"12x");  // kept as text
  EXPECT_EQ(h.Age(), u"3");
  EXPECT_EQ(h.ETag(), u"\"e\"");
  EXPECT_EQ(h.LastModified(), u"Wed, 09 Jun 2021 10:18:14 GMT");
  EXPECT_EQ(h.Server(), u"s");
  // Only the unknown field, with its name as spelled; the status line ends up nowhere.
  EXPECT_EQ(Dump(*h.ExtraFields()), std::vector<std::string>{"X-Trace: abc"});
}

TEST(HttpHeader, ParsesContentTypeItems) {
  const std::tuple<const char16_t*, const char16_t*, const char16_t*, const char16_t*> cases[] = {
      {u"text/html; charset=\"utf-8\"", u"text/html", u"", u"utf-8"},
      {u"multipart/form-data; boundary=----x; charset=koi8-r", u"multipart/form-data", u"----x", u"koi8-r"},
      {u"multipart/mixed; boundary=\"a;b\"", u"multipart/mixed", u"a;b", u""},
      {u"\"text/plain\"", u"text/plain", u"", u""},
      {u"", u"", u"", u""},
  };
  for (const auto& [value, type, boundary, charset] : cases) {
    SCOPED_TRACE(A(value));
    rtl::TStringList lines;
    lines.Add(u"Content-Type: " + rtl::String(value));
    TclHttpResponseHeader h;
    h.ParseHeader(lines);
    EXPECT_EQ(h.ContentType(), type);
    EXPECT_EQ(h.Boundary(), boundary);
    EXPECT_EQ(h.CharSet(), charset);
  }
}

TEST(HttpHeader, ParsingStartsFromScratch) {
  auto first = Lines({u"Location: /a", u"WWW-Authenticate: Basic", u"X-A: 1"});
  auto second = Lines({u"Server: s"});
  TclHttpResponseHeader h;
  h.ParseHeader(first);
  h.ParseHeader(second);
  EXPECT_EQ(h.Location(), u"");
  EXPECT_EQ(h.Authenticate()->Count(), 0);
  EXPECT_EQ(h.ExtraFields()->Count(), 0);
  EXPECT_EQ(h.Server(), u"s");
}

TEST(HttpHeader, ParsesRequestFields) {
  auto lines = Lines({u"GET / HTTP/1.1", u"Accept: text/*", u"Accept-Charset: utf-8", u"Accept-Encoding: gzip",
                      u"Accept-Language: de", u"Authorization: Basic x", u"Host: h:81",
                      u"Proxy-Authorization: Basic y", u"Range: bytes=0-1", u"Referer: http://r/",
                      u"User-Agent: ua", u"Cookie: a=b"});
  TclHttpRequestHeader h;
  h.ParseHeader(lines);
  EXPECT_EQ(h.Accept(), u"text/*");
  EXPECT_EQ(h.AcceptCharSet(), u"utf-8");
  EXPECT_EQ(h.AcceptEncoding(), u"gzip");
  EXPECT_EQ(h.AcceptLanguage(), u"de");
  EXPECT_EQ(h.Authorization(), u"Basic x");
  EXPECT_EQ(h.Host(), u"h:81");
  EXPECT_EQ(h.ProxyAuthorization(), u"Basic y");
  EXPECT_EQ(h.Range(), u"bytes=0-1");
  EXPECT_EQ(h.Referer(), u"http://r/");
  EXPECT_EQ(h.UserAgent(), u"ua");
  EXPECT_EQ(Dump(*h.ExtraFields()), std::vector<std::string>{"Cookie: a=b"});
  // A request without Accept reads it as empty: parsing starts from an empty header.
  auto bare = Lines({u"Host: h"});
  h.ParseHeader(bare);
  EXPECT_EQ(h.Accept(), u"");
}

TEST(HttpHeader, WritesRequestFieldsInOrder) {
  TclHttpRequestHeader h;
  rtl::TStringList out;
  h.AssignHeader(out);
  EXPECT_EQ(Dump(out), std::vector<std::string>{"Accept: */*"});

  h.SetUserAgent(u"ua");
  h.SetHost(u"h");
  h.SetReferer(u"r");
  h.SetRange(u"bytes=1-");
  h.SetAcceptLanguage(u"de");
  h.SetAcceptEncoding(u"gzip");
  h.SetAcceptCharSet(u"utf-8");
  h.SetAuthorization(u"Basic a");
  h.SetProxyAuthorization(u"Basic b");
  h.SetContentEncoding(u"gzip");
  h.SetContentLanguage(u"en");
  h.SetContentLength(u"5");
  h.SetContentVersion(u"1");
  h.SetContentType(u"multipart/form-data");
  h.SetBoundary(u"XyZ");
  h.SetCharSet(u"utf-8");
  h.SetDate(u"d");
  h.SetExpires(u"e");
  h.SetLastModified(u"lm");
  h.SetTransferEncoding(u"chunked");
  h.SetCacheControl(u"no-cache");
  h.SetConnection(u"close");
  h.SetProxyConnection(u"Keep-Alive");
  h.ExtraFields()->Add(u"X-A: 1");
  rtl::TStringList lines = Lines({u"POST / HTTP/1.1", u"Pre: set", u"", u"body"});
  h.AssignHeader(lines);
  EXPECT_EQ(Dump(lines),
            (std::vector<std::string>{"POST / HTTP/1.1", "Pre: set", "Accept: */*", "Accept-Charset: utf-8",
                                      "Accept-Encoding: gzip", "Accept-Language: de", "Range: bytes=1-",
                                      "Referer: r", "Host: h", "User-Agent: ua", "Authorization: Basic a",
                                      "Proxy-Authorization: Basic b", "Content-Encoding: gzip",
                                      "Content-Language: en", "Content-Length: 5", "Content-Version: 1",
                                      "Content-Type: multipart/form-data; boundary=XyZ; charset=utf-8",
                                      "Date: d", "Expires: e", "Last-Modified: lm", "Transfer-Encoding: chunked",
                                      "Cache-Control: no-cache", "Connection: close",
                                      "Proxy-Connection: Keep-Alive", "X-A: 1", "", "body"}));
}

TEST(HttpHeader, WritesResponseFieldsAndRoundTrips) {
  auto lines = Lines({u"HTTP/1.1 200 OK", u"Server: s", u"Location: /x", u"WWW-Authenticate: Basic",
                      u"WWW-Authenticate: NTLM", u"Proxy-Authenticate: Digest", u"Allow: GET",
                      u"Accept-Ranges: bytes", u"Age: 1", u"Content-Range: bytes 0-1/2",
                      u"Content-Disposition: attachment", u"ETag: e", u"Retry-After: 5",
                      u"Last-Modified: lm", u"X-B: 2"});
  TclHttpResponseHeader h;
  h.ParseHeader(lines);
  rtl::TStringList out;
  h.AssignHeader(out);
  EXPECT_EQ(Dump(out), (std::vector<std::string>{"Allow: GET", "Accept-Ranges: bytes", "Age: 1",
                                                 "Content-Range: bytes 0-1/2", "Content-Disposition: attachment",
                                                 "ETag: e", "Location: /x", "Retry-After: 5", "Server: s",
                                                 "WWW-Authenticate: Basic", "WWW-Authenticate: NTLM",
                                                 "Proxy-Authenticate: Digest", "Last-Modified: lm", "X-B: 2"}));
  TclHttpResponseHeader again;
  again.ParseHeader(out);
  EXPECT_EQ(again.LastModified(), u"lm");  // the written name is the one that is read
  EXPECT_EQ(again.Authenticate()->Count(), 2);
  EXPECT_EQ(again.RetryAfter(), u"5");
}

TEST(HttpHeader, ContentTypeItemsNeedAContentType) {
  TclHttpRequestHeader h;
  h.SetCharSet(u"utf-8");
  h.SetBoundary(u"b");
  rtl::TStringList out;
  h.AssignHeader(out);
  EXPECT_EQ(Dump(out), std::vector<std::string>{"Accept: */*"});
  h.SetContentType(u"text/plain");
  h.SetBoundary(u"");
  out.Clear();
  h.AssignHeader(out);
  EXPECT_EQ(Dump(out), (std::vector<std::string>{"Accept: */*", "Content-Type: text/plain; charset=utf-8"}));
}

TEST(HttpHeader, ChangeNotification) {
  TclHttpRequestHeader h;
  int changes = 0;
  h.OnChanged = [&](TclHttpEntityHeader* sender) {
    EXPECT_EQ(sender, &h);
    ++changes;
  };
  h.SetHost(u"a");
  EXPECT_EQ(changes, 1);
  h.SetHost(u"a");  // equal value: nothing
  EXPECT_EQ(changes, 1);
  h.ExtraFields()->Add(u"X: 1");
  EXPECT_EQ(changes, 2);
  h.BeginUpdate();
  h.BeginUpdate();
  h.SetHost(u"b");
  h.SetAccept(u"x");
  h.EndUpdate();
  EXPECT_EQ(changes, 2);
  h.EndUpdate();
  EXPECT_EQ(changes, 3);
  h.EndUpdate();  // at depth 0: nothing
  EXPECT_EQ(changes, 3);
  h.Clear();
  EXPECT_EQ(changes, 4);
  auto lines = Lines({u"Host: z", u"A: 1", u"B: 2"});
  h.ParseHeader(lines);
  EXPECT_EQ(changes, 5);

  TclHttpResponseHeader r;
  int responseChanges = 0;
  r.OnChanged = [&](TclHttpEntityHeader*) { ++responseChanges; };
  r.Authenticate()->Add(u"Basic");
  r.ProxyAuthenticate()->Add(u"NTLM");
  EXPECT_EQ(responseChanges, 2);
}

TEST(HttpHeader, AssignCopiesSharedFields) {
  TclHttpRequestHeader source;
  source.SetHost(u"h");
  source.SetAccept(u"text/*");
  source.SetContentType(u"t");
  source.ExtraFields()->Add(u"X: 1");
  TclHttpRequestHeader target;
  int changes = 0;
  target.OnChanged = [&](TclHttpEntityHeader*) { ++changes; };
  target.Assign(&source);
  EXPECT_EQ(changes, 1);
  EXPECT_EQ(target.Host(), u"h");
  EXPECT_EQ(target.Accept(), u"text/*");
  EXPECT_EQ(target.ContentType(), u"t");
  EXPECT_EQ(Dump(*target.ExtraFields()), std::vector<std::string>{"X: 1"});

  // Between request and response headers only the entity fields travel.
  TclHttpResponseHeader response;
  response.SetServer(u"s");
  response.SetContentLength(u"9");
  response.Authenticate()->Add(u"Basic");
  target.Assign(&response);
  EXPECT_EQ(target.ContentLength(), u"9");
  EXPECT_EQ(target.ContentType(), u"");
  EXPECT_EQ(target.Host(), u"h");
  TclHttpResponseHeader copy;
  copy.Assign(&response);
  EXPECT_EQ(copy.Server(), u"s");
  EXPECT_EQ(copy.Authenticate()->Count(), 1);

  TOther other;
  for (TclHttpEntityHeader* h : std::initializer_list<TclHttpEntityHeader*>{&target, &copy}) {
    try {
      h->Assign(&other);
      ADD_FAILURE() << "assigned from an unrelated class";
    } catch (const rtl::EConvertError& e) {
      EXPECT_EQ(e.Message(), rtl::String(u"Cannot assign a TOther to a ") + rtl::S(h->ClassName()));
    }
  }
  EXPECT_THROW(target.Assign(nullptr), rtl::EConvertError);
}

TEST(HttpHeader, KnownFieldRegistry) {
  TclHttpRequestHeader request;
  TclHttpResponseHeader response;
  EXPECT_EQ(request.KnownFields().Count(), 22);
  EXPECT_EQ(response.KnownFields().Count(), 23);
  EXPECT_GE(response.KnownFields().IndexOf(u"www-authenticate"), 0);
  EXPECT_LT(request.KnownFields().IndexOf(u"WWW-Authenticate"), 0);
}

TEST(HttpRequest, EmptyRequestWritesOnlyAccept) {
  TclHttpRequest request;
  EXPECT_EQ(Dump(request.HeaderSource()), std::vector<std::string>{"Accept: */*"});
  EXPECT_EQ(request.RequestSource().Count(), 0);
  auto body = request.RequestStream();
  ASSERT_TRUE(body);
  EXPECT_EQ(body->Size(), 0);
  EXPECT_EQ(request.Header()->ContentLength(), u"");
  // A length left over from elsewhere is replaced by the body's, and "0" is left out.
  request.Header()->SetContentLength(u"123");
  EXPECT_EQ(Dump(request.HeaderSource()), std::vector<std::string>{"Accept: */*"});
}

TEST(HttpRequest, CachesUntilTheHeaderChanges) {
  TclHttpRequest request;
  int changes = 0;
  request.OnChanged = [&](TclHttpRequest*) { ++changes; };
  const rtl::TStringList* first = &request.HeaderSource();
  rtl::String before = first->Text();
  EXPECT_EQ(&request.HeaderSource(), first);
  EXPECT_EQ(request.HeaderSource().Text(), before);
  int afterBuild = changes;
  request.HeaderSource();
  EXPECT_EQ(changes, afterBuild);  // a cached read changes nothing

  request.Header()->SetUserAgent(u"ua");
  EXPECT_GT(changes, afterBuild);
  EXPECT_EQ(Dump(request.HeaderSource()), (std::vector<std::string>{"Accept: */*", "User-Agent: ua"}));

  TclHttpRequestHeader other;
  other.SetHost(u"h");
  other.SetAccept(u"");
  request.SetHeader(other);
  EXPECT_EQ(Dump(request.HeaderSource()), std::vector<std::string>{"Host: h"});

  int beforeClear = changes;
  request.Clear();
  EXPECT_GT(changes, beforeClear);
  EXPECT_EQ(Dump(request.HeaderSource()), std::vector<std::string>{"Accept: */*"});
  EXPECT_EQ(request.Header()->Host(), u"");
}

TEST(HttpRequest, BodyIsEmptyInEveryCharSet) {
  TclHttpRequest request;
  for (const char16_t* charSet : {u"", u"utf-8", u"koi8-r"}) {
    request.Header()->SetCharSet(charSet);
    EXPECT_EQ(request.RequestSource().Count(), 0);
    EXPECT_EQ(request.RequestSource().Text(), u"");
  }
  // Each call hands out a stream of its own.
  auto a = request.RequestStream();
  auto b = request.RequestStream();
  EXPECT_NE(a.get(), b.get());
  EXPECT_EQ(a->Size(), 0);
  EXPECT_EQ(request.TotalSize(), 0);
}

TEST(ProxySettings, DefaultsClearAndAssign) {
  TclHttpProxySettings s;
  EXPECT_EQ(s.Server(), u"");
  EXPECT_EQ(s.Port(), 8080);
  EXPECT_EQ(s.AuthorizationType(), atAutoDetect);
  EXPECT_EQ(s.UserName(), u"");
  EXPECT_EQ(s.Password(), u"");

  s.SetServer(u"proxy");
  s.SetPort(3128);
  s.SetUserName(u"u");
  s.SetPassword(u"p");
  s.SetAuthorizationType(atBasic);
  TclHttpProxySettings copy;
  copy.Assign(&s);
  EXPECT_EQ(copy.Server(), u"proxy");
  EXPECT_EQ(copy.Port(), 3128);
  EXPECT_EQ(copy.UserName(), u"u");
  EXPECT_EQ(copy.Password(), u"p");
  EXPECT_EQ(copy.AuthorizationType(), atBasic);

  s.Clear();
  EXPECT_EQ(s.Server(), u"");
  EXPECT_EQ(s.Port(), 8080);
  EXPECT_EQ(s.AuthorizationType(), atAutoDetect);
  EXPECT_EQ(s.UserName(), u"");
  EXPECT_EQ(s.Password(), u"");

  TOther other;
  try {
    copy.Assign(&other);
    ADD_FAILURE() << "assigned from an unrelated class";
  } catch (const rtl::EConvertError& e) {
    EXPECT_EQ(e.Message(), u"Cannot assign a TOther to a TclHttpProxySettings");
    EXPECT_STREQ(e.ClassName(), "EConvertError");
  }
  EXPECT_EQ(copy.Server(), u"proxy");  // unchanged by the failed assignment
}

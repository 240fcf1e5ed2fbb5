// The wire side of an exchange: the request head, the response head, body framing (length,
// close, chunked, gzip), progress, and bad responses.
#include <thread>

#include "TestUtil.h"
#include "netlib/http/clStreams.h"

using namespace netlib;
using namespace krvtest;

namespace {

std::string Fetch(TclHttp& AHttp, const std::string& AUrl) {
  rtl::TMemoryStream body;
  AHttp.Get(W(AUrl), &body);
  return Contents(body);
}

TEST(RequestHead, DefaultGetSendsExactlyTheseLines) {
  THttpTestServer server({{Ok("x")}});
  TclHttp http;
  Quick(http);
  EXPECT_EQ(Fetch(http, server.Url("/dir/file?x=1")), "x");
  auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0],
            "GET /dir/file?x=1 HTTP/1.1\r\nAccept: */*\r\nAccept-Encoding: gzip\r\nHost: 127.0.0.1:" +
                std::to_string(server.Port()) +
                "\r\nUser-Agent: Mozilla/4.0 (compatible; Tamber Internet Suite)\r\nConnection: Keep-Alive\r\n\r\n");
}

TEST(RequestHead, SettingsShapeTheHead) {
  struct TCase {
    const char* Name;
    std::function<void(TclHttp&)> Setup;
    std::string Method, Body;
    std::vector<std::string> Header;
    std::vector<std::string> Present, Absent;
  } cases[] = {
      {"no caching 1.0", [](TclHttp& h) { h.SetAllowCaching(false); h.SetHttpVersion(hvHttp1_0); }, "GET", "", {},
       {"GET / HTTP/1.0\r\n", "\r\nPragma: no-cache\r\n"}, {"Cache-Control"}},
      {"no caching 1.1", [](TclHttp& h) { h.SetAllowCaching(false); }, "GET", "", {}, {"\r\nCache-Control: no-cache\r\n"}, {"Pragma"}},
      {"caller's cache field kept", [](TclHttp& h) { h.SetAllowCaching(false); }, "GET", "", {"Cache-Control: max-age=0"},
       {"\r\nCache-Control: max-age=0\r\n"}, {"no-cache"}},
      {"empty POST", [](TclHttp&) {}, "POST", "", {}, {"\r\nContent-Length: 0\r\n"}, {}},
      {"empty GET", [](TclHttp&) {}, "GET", "", {}, {}, {"Content-Length"}},
      {"PUT body", [](TclHttp&) {}, "PUT", "abc", {}, {"\r\nContent-Length: 3\r\n", "\r\n\r\nabc"}, {}},
      {"caller Host replaced", [](TclHttp&) {}, "GET", "", {"Host: evil.example"}, {"\r\nHost: 127.0.0.1:"}, {"evil"}},
      {"no compression", [](TclHttp& h) { h.SetAllowCompression(false); }, "GET", "", {}, {}, {"Accept-Encoding"}},
      {"no keep-alive", [](TclHttp& h) { h.SetKeepConnection(false); }, "GET", "", {}, {}, {"Connection"}},
      {"expect continue", [](TclHttp& h) { h.SetExpect100Continue(true); }, "POST", "ab", {"Expect: junk"},
       {"\r\nExpect: 100-continue\r\n"}, {"junk"}},
      {"user agent", [](TclHttp& h) { h.SetUserAgent(u"krv/1"); }, "GET", "", {}, {"\r\nUser-Agent: krv/1\r\n"}, {"Tamber"}},
      {"ready authorization", [](TclHttp& h) { h.SetAuthorization(u"Bearer t"); }, "GET", "", {"Authorization: old"},
       {"\r\nAuthorization: Bearer t\r\n"}, {"old"}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    THttpTestServer server({{Ok("")}});
    TclHttp http;
    Quick(http);
    c.Setup(http);
    rtl::TStringList header;
    for (const std::string& line : c.Header) header.Add(W(line));
    rtl::TBytesStream body(rtl::Bytes(c.Body.begin(), c.Body.end()));
    rtl::TMemoryStream response;
    http.SendRequest(W(c.Method), W(server.Url()), header, &body, nullptr, &response);
    auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 1u);
    for (const std::string& p : c.Present) EXPECT_NE(requests[0].find(p), std::string::npos) << requests[0];
    for (const std::string& a : c.Absent) EXPECT_EQ(requests[0].find(a), std::string::npos) << requests[0];
  }
}

// Response framing: each case is one scripted reply and the body the caller must receive.
TEST(ResponseBody, Framing) {
  std::string gz = Gzip("hello gzip world, hello gzip world");
  struct TCase {
    const char* Name;
    std::string Reply;
    std::string Method;
    std::string Body;
    int Status;
  } cases[] = {
      {"length", Ok("abc"), "GET", "abc", 200},
      {"bytes beyond the length are not taken", "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nabcdef",
       "GET", "ab", 200},
      {"1.1 200 without length reads to close", "HTTP/1.1 200 OK\r\n\r\n" + Split + "body until close", "GET",
       "body until close", 200},
      {"1.0 reads to close", "HTTP/1.0 200 OK\r\n\r\nold" + Split + "style", "GET", "oldstyle", 200},
      {"1.0 304 has no body", "HTTP/1.0 304 Not Modified\r\n\r\n", "GET", "", 304},
      {"204 no body", "HTTP/1.1 204 No Content\r\n\r\n", "GET", "", 204},
      {"304 no body despite length", "HTTP/1.1 304 Not Modified\r\nContent-Length: 10\r\n\r\n", "GET", "", 304},
      {"HEAD reads no body", "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n", "HEAD", "", 200},
      {"100 continue skipped", "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok", "GET", "ok", 200},
      {"100 continue in its own read", "HTTP/1.1 100 Continue\r\n\r\n" + Split + "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok",
       "GET", "ok", 200},
      {"LF LF head", "HTTP/1.1 200 OK\nContent-Length: 3\n\nabc", "GET", "abc", 200},
      {"status without reason", "HTTP/1.1 200\r\nContent-Length: 1\r\n\r\nz", "GET", "z", 200},
      {"chunked", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + Chunked("chunked data here", 5), "GET",
       "chunked data here", 200},
      {"chunked in pieces", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + Split + "1a;name=val" + Split +
                                "ue\r\nabcdefghijklmnopqrstuvwxyz\r\n0\r\n\r\n",
       "GET", "abcdefghijklmnopqrstuvwxyz", 200},
      {"gzip", "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: " + std::to_string(gz.size()) + "\r\n\r\n" + gz,
       "GET", "hello gzip world, hello gzip world", 200},
      {"gzip over chunked", "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nTransfer-Encoding: chunked\r\n\r\n" + Chunked(gz, 7),
       "GET", "hello gzip world, hello gzip world", 200},
      {"404 reads no body without length", "HTTP/1.1 404 Not Found\r\n\r\n", "GET", "", 404},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TReplyResult r = AnswerWith(c.Reply, c.Method, true);
    EXPECT_EQ(r.Outcome.ClassName, "none") << r.Outcome.Message;
    EXPECT_EQ(r.Body, c.Body);
    EXPECT_EQ(r.Status, c.Status);
  }
}

// Fields after the last chunk are consumed, so the next response on the kept connection is
// read from its first byte.
TEST(ResponseBody, ChunkedTrailerDoesNotLeakIntoTheNextResponse) {
  std::string first = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" +
                      Chunked("one", 3, "X-Checksum: 1\r\nX-Other: 2\r\n");
  THttpTestServer server({{first, Ok("two")}});
  TclHttp http;
  Quick(http);
  EXPECT_EQ(Fetch(http, server.Url("/1")), "one");
  EXPECT_TRUE(http.Active());
  EXPECT_EQ(Fetch(http, server.Url("/2")), "two");
  EXPECT_EQ(http.StatusCode(), 200);
  EXPECT_EQ(server.Connections(), 1);
}

TEST(ResponseBody, TruncatedGzipFails) {
  std::string gz = Gzip(std::string(5000, 'q') + "tail");
  for (size_t cut : {size_t(5), gz.size() / 2, gz.size() - 4, gz.size() - 1}) {
    SCOPED_TRACE(cut);
    // Read until close: the only framing is the connection's end.
    THttpTestServer server({{"HTTP/1.0 200 OK\r\nContent-Encoding: gzip\r\n\r\n" + gz.substr(0, cut)}});
    TclHttp http;
    Quick(http);
    rtl::TMemoryStream body;
    TOutcome r = Attempt([&] { http.Get(W(server.Url()), &body); });
    EXPECT_EQ(r.ClassName, "EclZLibError");
    EXPECT_EQ(r.Code, ZLibTruncatedMemberCode);
  }
}

TEST(ResponseHead, HeadLongerThanOneBatchCompletes) {
  std::string fields;
  for (int i = 0; i < 200; ++i) fields += "X-Field-" + std::to_string(i) + ": " + std::string(40, 'v') + "\r\n";
  THttpTestServer server({{Ok("done", fields)}});
  TclHttp http;
  Quick(http);
  http.SetBatchSize(512);
  EXPECT_EQ(Fetch(http, server.Url()), "done");
  EXPECT_EQ(http.ResponseHeader().ExtraFields()->Count() >= 200, true);
}

TEST(ResponseHead, HeadBeyondOneMebibyteFailsAtOnce) {
  std::string fields = "HTTP/1.1 200 OK\r\n", interim;
  while (fields.size() < 1100000) fields += "X-Filler: " + std::string(100, 'f') + "\r\n";
  while (interim.size() < 1100000) interim += "HTTP/1.1 100 Continue\r\n\r\n";
  for (const std::string& reply : {fields, interim}) {
    THttpTestServer server({{reply, Hang}});
    TclHttp http;
    http.SetTimeOut(20000);
    auto start = std::chrono::steady_clock::now();
    TOutcome r = Attempt([&] { http.Get(W(server.Url()), nullptr); });
    EXPECT_EQ(r.ClassName, "EclHttpError");
    EXPECT_EQ(r.Code, HttpHeadTooLargeCode);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15));
    EXPECT_FALSE(http.Active());
  }
}

// Bad responses end in a clear exception, never in success.
TEST(BadInput, ResponsesThatFail) {
  std::string badGz = Gzip("some text to check");
  badGz[badGz.size() - 8] ^= 0x55;
  TFailingReply cases[] = {
      {"garbage then close", "\x16\x03\x01 garbage bytes no head", "EclSocketError", 10038},
      {"garbage with blank line", "garbage\r\n\r\nmore", "EclHttpError", HttpInvalidStatusLineCode},
      {"no status line", "Content-Length: 2\r\n\r\nab", "EclHttpError", HttpInvalidStatusLineCode},
      {"status not a number", "HTTP/1.1 2OO OK\r\n\r\n", "EclHttpError", HttpInvalidStatusLineCode},
      {"negative length", "HTTP/1.1 200 OK\r\nContent-Length: -5\r\n\r\nabc", "EclHttpError", HttpInvalidContentLengthCode},
      {"length not a number", "HTTP/1.1 200 OK\r\nContent-Length: 12abc\r\n\r\nabc", "EclHttpError",
       HttpInvalidContentLengthCode},
      {"length beyond 64 bits", "HTTP/1.1 200 OK\r\nContent-Length: 99999999999999999999999\r\n\r\nabc", "EclHttpError",
       HttpInvalidContentLengthCode},
      {"length larger than sent", "HTTP/1.1 200 OK\r\nContent-Length: 1000000000000\r\n\r\nabc", "EclSocketError", 10038},
      {"chunk size beyond 32 bits", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n100000000\r\nabc", "EclStreamError", 0},
      {"chunk size not hex", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\nabc\r\n0\r\n\r\n", "EclStreamError", 0},
      {"chunked cut", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nab", "EclSocketError", 10038},
      {"gzip with a wrong checksum", "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: " +
                                         std::to_string(badGz.size()) + "\r\n\r\n" + badGz,
       "EclZLibError", -103},
  };
  for (const TFailingReply& c : cases) {
    SCOPED_TRACE(c.Name);
    TReplyResult r = AnswerWith(c.Reply);
    EXPECT_EQ(r.Outcome.ClassName, c.Class) << r.Outcome.Message;
    if (c.Code != -1) { EXPECT_EQ(r.Outcome.Code, c.Code) << r.Outcome.Message; }
    EXPECT_FALSE(r.Active);
  }
}

// A response cut at every byte fails: the length or the chunked framing tells it is incomplete.
TEST(BadInput, ConnectionCutAtEveryPoint) {
  for (std::string full : {Ok("0123456789", "X-A: b\r\n"),
                           "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + Chunked("0123456789", 4, "T: 1\r\n")}) {
    for (size_t cut = 0; cut < full.size(); ++cut) {
      SCOPED_TRACE(full.substr(0, cut));
      THttpTestServer server({{full.substr(0, cut)}});
      TclHttp http;
      Quick(http);
      rtl::TMemoryStream body;
      TOutcome r = Attempt([&] { http.Get(W(server.Url()), &body); });
      EXPECT_NE(r.ClassName, "none");
    }
  }
}

TEST(ResponseHead, CancelInReceiveHeaderSkipsTheBody) {
  THttpTestServer server({{Ok("secret body")}});
  TclHttp http;
  Quick(http);
  int responses = 0;
  http.OnReceiveHeader = [](TclHttp*, const rtl::String&, const rtl::String&, const rtl::TStringList& h, TclCookieList&,
                            bool& cancel) {
    EXPECT_EQ(h[0], u"HTTP/1.1 200 OK");
    cancel = true;
  };
  http.OnReceiveResponse = [&](TclHttp*, const rtl::String&, const rtl::String&, const rtl::TStringList&,
                               TclCookieList&) { ++responses; };
  EXPECT_EQ(Fetch(http, server.Url()), "");
  EXPECT_EQ(responses, 0);
  EXPECT_FALSE(http.Active());
}

TEST(Progress, ReceiveEventsWithAndWithoutTotal) {
  std::string big(100000, 'b');
  for (bool chunked : {false, true}) {
    SCOPED_TRACE(chunked);
    THttpTestServer server({{chunked ? "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + Chunked(big, 10000)
                                     : Ok(big)}});
    TclHttp http;
    Quick(http);
    std::vector<std::pair<int64_t, int64_t>> events;
    http.OnReceiveProgress = [&](TclHttp*, int64_t done, int64_t total) { events.push_back({done, total}); };
    EXPECT_EQ(Fetch(http, server.Url()), big);
    ASSERT_FALSE(events.empty());
    for (auto& e : events) EXPECT_EQ(e.second, chunked ? -1 : int64_t(big.size()));
    for (size_t i = 1; i < events.size(); ++i) EXPECT_GE(events[i].first, events[i - 1].first);
    if (!chunked) { EXPECT_EQ(events.back().first, int64_t(big.size())); }
  }
}

TEST(Progress, SendEventsReachTheBodySize) {
  THttpTestServer server({{Ok("")}});
  TclHttp http;
  Quick(http);
  std::string data(50000, 'p');
  rtl::TBytesStream body(rtl::Bytes(data.begin(), data.end()));
  int64_t last = 0, total = 0;
  http.OnSendProgress = [&](TclHttp*, int64_t done, int64_t t) { last = done; total = t; };
  rtl::TStringList header;
  http.SendRequest(u"POST", W(server.Url()), header, &body, nullptr, nullptr);
  EXPECT_EQ(last, 50000);
  EXPECT_EQ(total, 50000);
  EXPECT_EQ(server.Requests()[0].substr(server.Requests()[0].size() - 50000), data);
}

// The chunked decoder gives the same data whatever the pieces it is written in.
TEST(ChunkedStream, EveryByteBoundary) {
  std::string wire = "1a;name=value\r\nabcdefghijklmnopqrstuvwxyz\r\n3\r\n123\r\n0\r\nTrailer: x\r\n\r\nAFTER";
  for (size_t split = 0; split <= wire.size(); ++split) {
    rtl::TMemoryStream out;
    TclChunkedStream chunked(&out);
    chunked.Write(wire.data(), int64_t(split));
    chunked.Write(wire.data() + split, int64_t(wire.size() - split));
    EXPECT_EQ(Contents(out), "abcdefghijklmnopqrstuvwxyz123") << split;
    EXPECT_TRUE(chunked.IsCompleted());
  }
  rtl::TMemoryStream out;
  TclChunkedStream chunked(&out);
  for (char c : wire) {
    EXPECT_FALSE(chunked.IsCompleted());
    chunked.Write(&c, 1);
    if (chunked.IsCompleted()) break;
  }
  EXPECT_EQ(Contents(out), "abcdefghijklmnopqrstuvwxyz123");
  EXPECT_EQ(chunked.Seek(0, rtl::soCurrent), int64_t(wire.size() - 5));
  EXPECT_THROW(chunked.Seek(0, rtl::soBeginning), EclStreamError);
}

TEST(NullStream, DiscardsEverything) {
  TclNullStream s;
  EXPECT_EQ(s.Write("abc", 3), 3);
  char c;
  EXPECT_EQ(s.Read(&c, 1), 0);
  EXPECT_EQ(s.Seek(10, rtl::soBeginning), 0);
  EXPECT_EQ(s.Size(), 0);
}

}  // namespace

// The krv-fetch program against the scripted servers: each option's effect on the wire, the
// output files, and the error line and exit code.
#ifndef _WIN32
#include <sys/resource.h>
#endif
#include <unistd.h>

#include <cerrno>
#include <fstream>

#include "RangeTestServer.h"
#include "TestUtil.h"
#include "tests/tools/FetchToolRun.h"

using namespace krvtest;

namespace {

using TResult = THostRun;

// CTest runs the cases as parallel processes: each keeps its own files.
std::string TempPath(const std::string& AName) {
  return std::string(KRV_BINARY_DIR) + "/client-fetch-" + std::to_string(getpid()) + "-" + AName;
}

TResult Fetch(const std::vector<std::string>& AArgs) { return RunFetchTool({}, AArgs); }

// The system's own text for an error (its message table on Windows, strerror on Linux), as the
// program prints it, and the errors of opening a missing path and a folder as a file.
std::string SystemText(int ACode) { return rtl::U8(rtl::SysErrorMessage(ACode)); }
#ifdef _WIN32
constexpr int kPathNotFound = 3, kOpenFolder = 5;  // ERROR_PATH_NOT_FOUND, ERROR_ACCESS_DENIED
#else
constexpr int kPathNotFound = ENOENT, kOpenFolder = EISDIR;
#endif

// krv-fetch with AArgs, where "URL" stands for the server's.
TResult FetchFrom(const THttpTestServer& AServer, const std::vector<std::string>& AArgs) {
  std::vector<std::string> args;
  for (const std::string& a : AArgs) args.push_back(a == "URL" ? AServer.Url() : a);
  return Fetch(args);
}

std::string Line(const std::string& ARequest) { return ARequest.substr(0, ARequest.find("\r\n")); }

void WriteFile(const std::string& AFile, const std::string& AData) {
  std::ofstream f(AFile, std::ios::binary);
  f.write(AData.data(), std::streamsize(AData.size()));
}

// Bytes of every value, line breaks and "@" among them.
std::string Binary(size_t ASize) {
  std::string data(ASize, '\0');
  for (size_t i = 0; i < ASize; ++i) data[i] = static_cast<char>((i * 2654435761u) >> 11);
  return data;
}

// A peer that reads a request head and then never reads the body: it answers or not, then closes
// or half-closes and stays silent until it is destroyed.
class TStopReadingServer {
 public:
  TStopReadingServer(bool AAnswer, bool AHalfClose) {
    FListener = ListenOnLoopback(false, FPort);
    FThread = std::thread([this, AAnswer, AHalfClose] { Run(AAnswer, AHalfClose); });
  }
  ~TStopReadingServer() {
    FStop = true;
    FThread.join();
    tsock::Close(FListener);
  }
  std::string Url() const { return "http://127.0.0.1:" + std::to_string(FPort) + "/up"; }

 private:
  void Run(bool AAnswer, bool AHalfClose) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    int s = -1;
    while (s < 0 && !FStop && std::chrono::steady_clock::now() < deadline) {
      if (tsock::PollOne(FListener, tsock::In, 50)) s = tsock::Accept(FListener);
    }
    if (s < 0) return;
    std::string head;
    char c;
    while (!Has(head, "\r\n\r\n") && !FStop && std::chrono::steady_clock::now() < deadline) {
      if (tsock::PollOne(s, tsock::In, 50) && tsock::Recv(s, &c, 1) == 1) head += c;
    }
    if (AAnswer) tsock::Send(s, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok", 40);
    if (AHalfClose) {
      tsock::ShutdownSend(s);
      while (!FStop && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    tsock::Close(s);
  }

  int FListener = -1, FPort = 0;
  std::atomic<bool> FStop{false};
  std::thread FThread;
};

TEST(FetchTool, OptionsShapeTheRequests) {
  struct TCase {
    const char* Name;
    std::vector<std::string> Args;  // "URL" is replaced by the server's URL
    std::vector<TConnectionScript> Script;
    std::vector<std::string> FirstHas, FirstLacks;
    std::string Out;
  } cases[] = {
      {"default", {"URL"}, {{Ok("body")}}, {"GET / HTTP/1.1\r\n", "Connection: Keep-Alive", "Accept-Encoding: gzip"}, {}, "body"},
      {"http1.0", {"--http1.0", "URL"}, {{Ok("b")}}, {"GET / HTTP/1.0\r\n"}, {}, "b"},
      {"no keep-alive", {"--no-keepalive", "URL"}, {{Ok("b")}}, {}, {"Connection:"}, "b"},
      {"no compression", {"--no-compression", "URL"}, {{Ok("b")}}, {}, {"Accept-Encoding"}, "b"},
      {"basic", {"-u", "user:pass", "--basic", "URL"}, {{Ok("b")}}, {"Authorization: Basic dXNlcjpwYXNz"}, {}, "b"},
      {"method and data", {"-X", "PUT", "-d", "k=v", "URL"}, {{Ok("b")}},
       {"PUT / HTTP/1.1\r\n", "Content-Length: 3", "Content-Type: application/x-www-form-urlencoded", "\r\n\r\nk=v"}, {}, "b"},
      {"data posts", {"-d", "x", "URL"}, {{Ok("b")}}, {"POST / HTTP/1.1\r\n"}, {}, "b"},
      {"small batches, throttled", {"--batch-size", "16", "--bits-per-sec", "4000000", "URL"}, {{Ok(std::string(3000, 'z'))}},
       {}, {}, std::string(3000, 'z')},
      {"silent http", {"--silent-http", "URL"}, {{"HTTP/1.1 404 Not Found\r\nContent-Length: 4\r\n\r\ngone"}}, {}, {}, "gone"},
      {"insecure accepted", {"--insecure", "URL"}, {{Ok("b")}}, {}, {}, "b"},
      {"gzip decoded", {"URL"}, {{Ok(Gzip("packed text"), "Content-Encoding: gzip\r\n")}}, {}, {}, "packed text"},
      {"added field", {"-H", "X-Token: a b:c", "URL"}, {{Ok("b")}}, {"GET / HTTP/1.1\r\n", "\r\nX-Token: a b:c\r\n"}, {}, "b"},
      {"replaced fields", {"-H", "Accept: text/plain", "-H", "user-agent:   mine/1  ", "URL"}, {{Ok("b")}},
       {"\r\nAccept: text/plain\r\n", "\r\nuser-agent: mine/1\r\n"}, {"Accept: */*", "Tamber"}, "b"},
      {"own cookie field", {"-H", "Cookie: c=1", "URL"}, {{Ok("b", "Set-Cookie: s=2\r\n")}}, {"\r\nCookie: c=1\r\n"}, {}, "b"},
      {"fields with data", {"-H", "Content-Type: text/plain", "-d", "x=1", "URL"}, {{Ok("b")}},
       {"POST / HTTP/1.1\r\n", "\r\nContent-Type: text/plain\r\n", "\r\n\r\nx=1"}, {"urlencoded"}, "b"},
      {"data-binary text", {"--data-binary", "a\nb", "URL"}, {{Ok("b")}}, {"Content-Length: 3\r\n", "\r\n\r\na\nb"}, {}, "b"},
      {"lone @ is data", {"-d", "@", "URL"}, {{Ok("b")}}, {"Content-Length: 1\r\n", "\r\n\r\n@"}, {}, "b"},
      {"head", {"-I", "URL"}, {{"HTTP/1.1 200 OK\r\nContent-Length: 4\r\nX-A: b\r\n\r\n"}}, {"HEAD / HTTP/1.1\r\n"}, {},
       "HTTP/1.1 200 OK\r\nContent-Length: 4\r\nX-A: b\r\n\r\n"},
      {"head with a field", {"-I", "-H", "X-A: 1", "URL"}, {{"HTTP/1.0 204 No Content\r\n\r\n"}},
       {"HEAD / HTTP/1.1\r\n", "\r\nX-A: 1\r\n"}, {}, "HTTP/1.0 204 No Content\r\n\r\n"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    THttpTestServer server(c.Script);
    TResult r = FetchFrom(server, c.Args);
    EXPECT_EQ(r.Code, 0) << r.Err;
    EXPECT_EQ(r.Out, c.Out);
    auto requests = server.Requests();
    ASSERT_FALSE(requests.empty());
    for (const std::string& h : c.FirstHas) EXPECT_TRUE(Has(requests[0], h)) << requests[0];
    for (const std::string& h : c.FirstLacks) EXPECT_FALSE(Has(requests[0], h)) << requests[0];
  }
}

TEST(FetchTool, OutputFilesKeepAliveAndCookies) {
  for (bool cookies : {true, false}) {
    THttpTestServer server({{Ok("one", "Set-Cookie: s=1; Path=/\r\n"), Ok("two")}});
    std::string a = TempPath("a"), b = TempPath("b");
    std::vector<std::string> args = {"-o", a, "-o", b, server.Url("/1"), server.Url("/2")};
    if (!cookies) args.insert(args.begin(), "--no-cookies");
    TResult r = Fetch(args);
    EXPECT_EQ(r.Code, 0) << r.Err;
    EXPECT_EQ(ReadHostFile(a), "one");
    EXPECT_EQ(ReadHostFile(b), "two");
    EXPECT_EQ(server.Connections(), 1);
    EXPECT_EQ(Has(server.Requests()[1], "Cookie: s=1"), cookies);
    remove(a.c_str());
    remove(b.c_str());
  }
}

TEST(FetchTool, CredentialsProxyAndSocks) {
  {
    THttpTestServer server({{"HTTP/1.1 401 No\r\nWWW-Authenticate: Basic realm=\"x\"\r\nContent-Length: 0\r\n\r\n"}, {Ok("in")}});
    TResult r = Fetch({"-u", "user:pass", server.Url()});
    EXPECT_EQ(r.Out, "in");
    EXPECT_TRUE(Has(server.Requests()[1], "Authorization: Basic dXNlcjpwYXNz"));
  }
  {
    THttpTestServer proxy({{Ok("proxied")}});
    TResult r = Fetch({"--proxy", "127.0.0.1:" + std::to_string(proxy.Port()), "--proxy-user", "pu:pp", "--proxy-basic",
                       "http://origin.invalid/x"});
    EXPECT_EQ(r.Out, "proxied") << r.Err;
    EXPECT_EQ(Line(proxy.Requests()[0]), "GET http://origin.invalid/x HTTP/1.1");
    EXPECT_TRUE(Has(proxy.Requests()[0], "Proxy-Authorization: Basic cHU6cHA="));
  }
  struct TCase {
    std::vector<std::string> Args;
    TSocksMode Mode;
    std::string User, Target;
  } cases[] = {
      {{"--socks4"}, smSocks4, "", "origin.invalid:80"},
      {{"--socks5", "--socks-user", "su:sp"}, smSocks5, "su:sp", "origin.invalid:80"},
      {{"--socks5", "--socks-local-resolve"}, smSocks5, "", "127.0.0.1:80"},
  };
  for (const TCase& c : cases) {
    THttpTestServer socks({{Ok("socks")}}, false, c.Mode, c.User);
    std::vector<std::string> args = {c.Args[0], "127.0.0.1:" + std::to_string(socks.Port())};
    args.insert(args.end(), c.Args.begin() + 1, c.Args.end());
    args.push_back(c.Mode == smSocks5 && c.Target[0] == '1' ? "http://localhost/" : "http://origin.invalid/");
    TResult r = Fetch(args);
    EXPECT_EQ(r.Out, "socks") << r.Err;
    EXPECT_EQ(socks.SocksTargets(), std::vector<std::string>{c.Target});
  }
}

TEST(FetchTool, VerboseAndProgress) {
  THttpTestServer server({{Ok(std::string(20000, 'p'))}});
  TResult r = Fetch({"-v", "--progress", server.Url()});
  EXPECT_EQ(r.Code, 0);
  EXPECT_TRUE(Has(r.Err, "> GET / HTTP/1.1\n")) << r.Err;
  EXPECT_TRUE(Has(r.Err, "< HTTP/1.1 200 OK\n")) << r.Err;
  EXPECT_TRUE(Has(r.Err, "100% 20000/20000 bytes")) << r.Err;
}

TEST(FetchTool, FailuresPrintOneErrorLineAndExitOne) {
  struct TCase {
    const char* Name;
    std::vector<std::string> Args;
    std::vector<TConnectionScript> Script;
    std::string Err;
  } cases[] = {
      {"404", {"URL"}, {{"HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n"}},
       "error: EclHttpError: HTTP/1.1 404 Not Found (code 404)\n"},
      {"no redirects", {"--no-redirects", "URL"}, {{"HTTP/1.1 302 Found\r\nLocation: /x\r\nContent-Length: 0\r\n\r\n"}},
       "error: EclHttpError: HTTP/1.1 302 Found (code 302)\n"},
      {"max redirects", {"--max-redirects", "1", "URL"},
       {{"HTTP/1.1 302 Found\r\nLocation: /x\r\nContent-Length: 0\r\n\r\n",
         "HTTP/1.1 302 Again\r\nLocation: /y\r\nContent-Length: 0\r\n\r\n"}},
       "error: EclHttpError: HTTP/1.1 302 Again (code 302)\n"},
      {"timeout", {"--timeout", "300", "URL"}, {{Hang}}, "error: EclSocketError: Timeout error occured (code -1)\n"},
      {"unknown option", {"--frobnicate", "URL"}, {}, "error: EUsageError: unknown option --frobnicate (code 0)\n"},
      {"missing value", {"URL", "-o"}, {}, "error: EUsageError: -o: missing value (code 0)\n"},
      {"bad port", {"--proxy", "h:70000", "URL"}, {}, "error: EUsageError: --proxy: port out of range: h:70000 (code 0)\n"},
      {"bad number", {"--timeout", "12x", "URL"}, {}, "error: EUsageError: --timeout: not a number: 12x (code 0)\n"},
      {"no url", {"-v"}, {}, "error: EUsageError: no URL given (see --help) (code 0)\n"},
      {"missing cacert", {"--cacert", "/nonexistent/ca.pem", "URL"}, {},
       "error: EUsageError: --cacert: cannot read /nonexistent/ca.pem (code 0)\n"},
      // A field never carries a line break into the request, nor frames it.
      {"field with CR LF", {"-H", "X-A: 1\r\nX-Injected: 2", "URL"}, {},
       "error: EUsageError: -H: the field X-A contains CR or LF (code 0)\n"},
      {"field with LF", {"-H", "X-A: 1\nGET /admin HTTP/1.1", "URL"}, {},
       "error: EUsageError: -H: the field X-A contains CR or LF (code 0)\n"},
      {"field with CR", {"-H", "X-A: 1\r", "URL"}, {}, "error: EUsageError: -H: the field X-A contains CR or LF (code 0)\n"},
      {"field with a control", {"-H", "X-A: 1\x01", "URL"}, {},
       "error: EUsageError: -H: the field X-A contains a control character (code 0)\n"},
      {"field without colon", {"-H", "X-A 1", "URL"}, {}, "error: EUsageError: -H: expected \"Name: value\" (code 0)\n"},
      {"field name with blank", {"-H", "X A: 1", "URL"}, {}, "error: EUsageError: -H: expected \"Name: value\" (code 0)\n"},
      {"field without value", {"-H", "X-A:  ", "URL"}, {}, "error: EUsageError: -H: the field X-A has no value (code 0)\n"},
      {"host field", {"-H", "Host: other", "URL"}, {}, "error: EUsageError: -H: Host is set by krv-fetch itself (code 0)\n"},
      {"length field", {"-H", "content-length: 5", "URL"}, {},
       "error: EUsageError: -H: content-length is set by krv-fetch itself (code 0)\n"},
      {"head with data", {"-I", "-d", "x", "URL"}, {},
       "error: EUsageError: -I: cannot be combined with -d, --data-binary or -X (code 0)\n"},
      {"missing data file", {"-d", "@/nonexistent/body", "URL"}, {},
       "error: EFOpenError: Cannot open file \"/nonexistent/body\". " + SystemText(kPathNotFound) + " (code 0)\n"},
      {"data file is a folder", {"--data-binary", "@/", "URL"}, {},
       "error: EFOpenError: Cannot open file \"/\". " + SystemText(kOpenFolder) + " (code 0)\n"},
      {"data file without an end", {"--data-binary", "@/dev/zero", "URL"}, {},
       "error: EUsageError: --data-binary: not a regular file: /dev/zero (code 0)\n"},
      // Resuming only where it can work.
      {"-C with an offset", {"-C", "100", "URL"}, {},
       "error: EUsageError: -C: only \"-C -\" (continue from the file's size) is supported (code 0)\n"},
      {"-C - with -I", {"-C", "-", "-I", "URL"}, {},
       "error: EUsageError: -C -: only for GET downloads (not with -I, -d, --data-binary or -X) (code 0)\n"},
      {"--retry with data", {"--retry", "2", "-d", "x", "URL"}, {},
       "error: EUsageError: --retry: only for GET downloads (not with -I, -d, --data-binary or -X) (code 0)\n"},
      {"--retry without a number", {"--retry", "x", "URL"}, {}, "error: EUsageError: --retry: not a number: x (code 0)\n"},
      {"-C - with a range field", {"-C", "-", "-H", "Range: bytes=1-", "URL"}, {},
       "error: EUsageError: -C -: cannot be combined with -H \"Range: ...\" (code 0)\n"},
      // Bounded transfers, with curl's meanings.
      {"announced above --max-filesize", {"--max-filesize", "1k", "URL"},
       {{"HTTP/1.1 200 OK\r\nContent-Length: 5000\r\n\r\n" + std::string(5000, 'x')}},
       "error: EclResumeError: The resource is 5000 bytes, more than the 1024 bytes the download may take (code -31)\n"},
      {"passing --max-filesize", {"--max-filesize", "1k", "URL"},
       {{"HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + std::string(3000, 'x') + Hang}},
       "error: EclResumeError: The resource is larger than the 1024 bytes the download may take (code -31)\n"},
      {"bad byte count", {"--max-filesize", "12q", "URL"}, {},
       "error: EUsageError: --max-filesize: not a number of bytes: 12q (code 0)\n"},
      // A byte every 30 ms for 4.5 s: far below the floor, broken off after the first second.
      {"below the speed floor", {"--speed-limit", "1000", "--speed-time", "1", "URL"},
       {{"HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n" + [] {
          std::string drip;
          for (int i = 0; i < 150; ++i) drip += "a" + Split;
          return drip;
        }()}},
       "error: EclSocketError: The transfer was slower than 1000 bytes a second for 1 second (code 10060)\n"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    THttpTestServer server(c.Script);
    TResult r = FetchFrom(server, c.Args);
    EXPECT_EQ(r.Code, 1);
    EXPECT_EQ(r.Err, c.Err);
  }
}

// The body reaches the file through a write buffer: every byte in order whatever the receive
// size (smaller or larger than the buffer), and a write that fails at the final flush still
// fails the download.
TEST(FetchTool, OutputFileGetsEveryByteAndAFailedWriteFails) {
  std::string body(1 << 20, '\0');
  for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>((i * 2654435761u) >> 13);
  body += "tail of 37 bytes past the last flush.";
  for (const char* batch : {"8192", "1000", "400000"}) {
    SCOPED_TRACE(batch);
    THttpTestServer server({{Ok(body)}});
    std::string out = TempPath("whole");
    TResult r = Fetch({"--batch-size", batch, "-o", out, server.Url()});
    EXPECT_EQ(r.Code, 0) << r.Err;
    EXPECT_TRUE(ReadHostFile(out) == body) << "the file differs from the body";
    remove(out.c_str());
  }
  if (access("/dev/full", W_OK) == 0) {
    // Smaller than the buffer: nothing is written before the final flush.
    THttpTestServer server({{Ok("a body the disk has no room for")}});
    TResult r = Fetch({"-o", "/dev/full", server.Url()});
    EXPECT_EQ(r.Code, 1);
    EXPECT_TRUE(Has(r.Err, "error: ")) << r.Err;
  }
}

}  // namespace

// -d @FILE and --data-binary @FILE send the file's bytes as they are (line breaks kept), once
// for every URL, read piece by piece: the program never holds the whole file.
TEST(FetchTool, DataFromAFileIsStreamed) {
  std::string file = TempPath("upload");
  std::string small = Binary(300000) + "\r\n@end\n";
  WriteFile(file, small);
  for (const char* option : {"-d", "--data-binary"}) {
    SCOPED_TRACE(option);
    THttpTestServer server({{Ok("one"), Ok("two")}});
    TResult r = Fetch({"-X", "PUT", option, "@" + file, server.Url("/a"), server.Url("/b")});
    EXPECT_EQ(r.Code, 0) << r.Err;
    EXPECT_EQ(r.Out, "onetwo");
    auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 2u);
    for (const std::string& q : requests) {
      EXPECT_EQ(Line(q).substr(0, 4), "PUT ");
      EXPECT_TRUE(Has(q, "\r\nContent-Length: " + std::to_string(small.size()) + "\r\n")) << Line(q);
      size_t body = q.find("\r\n\r\n") + 4;
      EXPECT_TRUE(q.compare(body, std::string::npos, small) == 0) << "the body differs from the file";
    }
  }

  {
    // A 307 sends the file again from its start.
    THttpTestServer server({{"HTTP/1.1 307 Again\r\nLocation: /b\r\nContent-Length: 0\r\n\r\n", Ok("two")}});
    TResult r = Fetch({"-d", "@" + file, server.Url("/a")});
    EXPECT_EQ(r.Out, "two") << r.Err;
    auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(Line(requests[1]), "POST /b HTTP/1.1");
    EXPECT_TRUE(requests[1].compare(requests[1].find("\r\n\r\n") + 4, std::string::npos, small) == 0);
  }
  remove(file.c_str());
}

#ifndef _WIN32
// A body far larger than the program's own memory: the peak resident size of krv-fetch stays
// well below it. A child starts with this process's peak, so the file is written in pieces and
// that peak is allowed for. (A Windows process cannot read the peak of a program Wine started.)
TEST(FetchTool, DataFromAFileIsStreamedInBoundedMemory) {
  std::string file = TempPath("upload-big");
  const size_t big = size_t(64) << 20;
  {
    std::ofstream f(file, std::ios::binary);
    std::string piece = Binary(1 << 20);
    for (size_t i = 0; i < big; i += piece.size()) f.write(piece.data(), std::streamsize(piece.size()));
  }
  rusage self{};
  getrusage(RUSAGE_SELF, &self);
  THttpTestServer server({{Ok("done")}});
  TResult r = Fetch({"--data-binary", "@" + file, server.Url()});
  EXPECT_EQ(r.Code, 0) << r.Err;
  EXPECT_EQ(r.Out, "done");
  ASSERT_EQ(server.Requests().size(), 1u);
  EXPECT_EQ(server.Requests()[0].size() - server.Requests()[0].find("\r\n\r\n") - 4, big);
  rusage usage{};
  getrusage(RUSAGE_CHILDREN, &usage);
  EXPECT_LT(usage.ru_maxrss, self.ru_maxrss + long(big / 2 / 1024)) << "peak resident sizes in KiB, ours " << self.ru_maxrss;
  remove(file.c_str());
}
#endif

// An upload that the server stops reading, whether it answers first or not and whether it closes
// or only half-closes, fails with an error line and exit code 1 as it happens (not at the end
// of the time-out); it never counts as a download.
void ExpectUploadFails(bool AAnswer, bool AHalfClose, const std::string& AError) {
  std::string file = TempPath("unread");
  WriteFile(file, Binary(size_t(32) << 20));
  TStopReadingServer server(AAnswer, AHalfClose);
  auto start = std::chrono::steady_clock::now();
  TResult r = Fetch({"--timeout", "20000", "--data-binary", "@" + file, server.Url()});
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(r.Code, 1) << r.Err;
  EXPECT_EQ(r.Out, "");
  EXPECT_TRUE(Has(r.Err, AError)) << r.Err;
  EXPECT_LT(seconds, 15) << r.Err;
  remove(file.c_str());
}

TEST(FetchTool, UploadTheServerStopsReadingFails) {
  struct TCase {
    const char* Name;
    bool Answer, HalfClose;
    std::string Error;
  } cases[] = {
      {"closes", false, false, "error: EclSocketError: "},
      {"answers and closes", true, false, "error: EclSocketError: "},
      {"half-closes", false, true, "error: EclSocketError: "},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    ExpectUploadFails(c.Answer, c.HalfClose, c.Error);
  }
}

// The answer is there but unread, so the connection reports no close; the upload must still end
// when the server has half-closed.
TEST(FetchTool, UploadAnsweredThenHalfClosedFails) { ExpectUploadFails(true, true, "(code 10053)\n"); }

// -C - continues an -o file from its size: a range without a validator, taken when the server
// sends exactly the rest; a complete file stays as it is; a missing one is fetched whole.
TEST(FetchTool, ContinueAnOutputFile) {
  const std::string content = Binary(300000);
  struct TCase {
    const char* Name;
    int64_t Have;  // bytes of the file before; -1: no file
    std::vector<TRangeAnswer> Plan;
    std::string Range;
    std::vector<std::string> Extra;
  } cases[] = {
      {"the rest", 100000, {}, "bytes=100000-", {}},
      {"the rest, with a field of -H", 100000, {}, "bytes=100000-", {"-H", "X-A: 1"}},
      {"already complete", 300000, {}, "bytes=300000-", {}},
      {"no file yet", -1, {}, "", {}},
      {"a server without ranges", 100000, {{.IgnoreRange = true}}, "bytes=100000-", {}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TRangeTestServer server(content, c.Plan);
    std::string out = TempPath("continued");
    remove(out.c_str());
    if (c.Have >= 0) WriteFile(out, content.substr(0, size_t(c.Have)));
    std::vector<std::string> args = c.Extra;
    args.insert(args.end(), {"-C", "-", "-o", out, server.Url()});
    TResult r = Fetch(args);
    EXPECT_EQ(r.Code, 0) << r.Err;
    EXPECT_TRUE(ReadHostFile(out) == content);
    auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(TRangeTestServer::Field(requests[0], "X-A"), c.Extra.empty() ? "" : "1");
    EXPECT_EQ(TRangeTestServer::Field(requests[0], "Range"), c.Range);
    EXPECT_EQ(TRangeTestServer::Field(requests[0], "If-Range"), "");
    remove(out.c_str());
  }
}

// --retry N reconnects after a break in the body and asks for the rest; -v tells why.
TEST(FetchTool, RetryResumesABrokenDownload) {
  const std::string content = Binary(300000);
  TRangeTestServer server(content, {{.CutAt = 90000}, {.CutAt = 210000, .Cut = ckReset}});
  std::string out = TempPath("retried");
  TResult r = Fetch({"--retry", "3", "-v", "-o", out, server.Url()});
  EXPECT_EQ(r.Code, 0) << r.Err;
  EXPECT_TRUE(ReadHostFile(out) == content);
  auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(TRangeTestServer::Field(requests[1], "Range"), "bytes=90000-");
  EXPECT_EQ(TRangeTestServer::Field(requests[1], "If-Range"), TRangeTestServer::ETagOf(0, content.size()));
  EXPECT_TRUE(Has(r.Err, "* The connection was closed before the response was complete; asking for the bytes from "
                         "90000 on in 1000 ms\n"))
      << r.Err;
  EXPECT_TRUE(Has(r.Err, "in 2000 ms\n")) << r.Err;
  EXPECT_TRUE(Has(r.Err, "> Range: bytes=90000-\n")) << r.Err;
  remove(out.c_str());
}

// Without --retry a break fails as before and the file goes; with -C - what arrived stays, and
// the next -C - continues it.
TEST(FetchTool, ABreakWithoutRetryFailsAndCMinusKeepsWhatArrived) {
  const std::string content = Binary(300000);
  for (bool keep : {false, true}) {
    SCOPED_TRACE(keep ? "-C -" : "plain");
    TRangeTestServer server(content, {{.CutAt = 90000}});
    std::string out = TempPath("broken");
    remove(out.c_str());
    std::vector<std::string> args = {"-o", out, server.Url()};
    if (keep) args.insert(args.begin(), {"-C", "-"});
    TResult r = Fetch(args);
    EXPECT_EQ(r.Code, 1);
    EXPECT_TRUE(Has(r.Err, "error: EclSocketError: The connection was closed before the response was complete")) << r.Err;
    EXPECT_EQ(access(out.c_str(), F_OK) == 0, keep);
    if (!keep) continue;
    EXPECT_TRUE(ReadHostFile(out) == content.substr(0, 90000));
    r = Fetch(args);
    EXPECT_EQ(r.Code, 0) << r.Err;
    EXPECT_TRUE(ReadHostFile(out) == content);
    EXPECT_EQ(TRangeTestServer::Field(server.Requests().at(1), "Range"), "bytes=90000-");
    remove(out.c_str());
  }
}

// The proxy variables as curl reads them: an explicit --proxy wins, --noproxy exempts hosts from
// either, and a malformed variable is an error naming it. A proxy that must stay unused answers
// nothing, so a request sent there would fail by the time-out.
TEST(FetchTool, ProxyEnvironmentNoproxyAndExplicitProxies) {
  THttpTestServer silent({});
  const std::string silentUrl = "http://127.0.0.1:" + std::to_string(silent.Port());
  struct TCase {
    const char* Name;
    std::vector<std::string> Env, Args;
    bool ViaProxy;
  } cases[] = {
      {"http_proxy", {"http_proxy=PROXY"}, {}, true},
      {"--noproxy exempts from http_proxy", {"http_proxy=" + silentUrl}, {"--noproxy", "127.0.0.1"}, false},
      {"no_proxy exempts", {"http_proxy=" + silentUrl, "no_proxy=127.0.0.1"}, {}, false},
      {"--noproxy replaces no_proxy", {"http_proxy=PROXY", "no_proxy=127.0.0.1"}, {"--noproxy", "other.invalid"}, true},
      {"--proxy wins over http_proxy", {"http_proxy=" + silentUrl}, {"--proxy", "PROXYHOSTPORT"}, true},
      {"--noproxy exempts from --proxy", {}, {"--proxy", "127.0.0.1:" + std::to_string(silent.Port()), "--noproxy", "*"},
       false},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    THttpTestServer origin({{Ok("direct")}});
    THttpTestServer proxy({{Ok("proxied")}});
    auto fill = [&](std::string s) {
      for (auto [key, value] : {std::pair<std::string, std::string>{"PROXYHOSTPORT", "127.0.0.1:" + std::to_string(proxy.Port())},
                                {"PROXY", "http://127.0.0.1:" + std::to_string(proxy.Port())}})
        if (size_t p = s.find(key); p != std::string::npos) s.replace(p, key.size(), value);
      return s;
    };
    std::vector<std::string> env, args = {"--timeout", "3000"};
    for (const std::string& e : c.Env) env.push_back(fill(e));
    for (const std::string& a : c.Args) args.push_back(fill(a));
    args.push_back(origin.Url("/x"));
    TResult r = RunFetchTool(env, args);
    EXPECT_EQ(r.Code, 0) << r.Err;
    EXPECT_EQ(r.Out, c.ViaProxy ? "proxied" : "direct");
    if (c.ViaProxy) {
      EXPECT_EQ(Line(proxy.Requests().at(0)), "GET " + origin.Url("/x") + " HTTP/1.1");
    }
  }
  TResult r = RunFetchTool({"http_proxy=ftp://proxy.invalid"}, {"http://127.0.0.1:9/"});
  EXPECT_EQ(r.Code, 1);
  EXPECT_TRUE(Has(r.Err, "error: EclProxyEnvironmentError: Invalid proxy in http_proxy: ")) << r.Err;
}

// The krv-fetch program against the scripted servers: each option's effect on the wire, the
// output files, and the error line and exit code.
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "TestUtil.h"

using namespace krvtest;

namespace {

struct TResult {
  int Exit = -1;
  std::string Out, Err;
};

std::string Slurp(const std::string& AFile) {
  std::ifstream f(AFile, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

// CTest runs the cases as parallel processes: each keeps its own files.
std::string TempPath(const std::string& AName) {
  return std::string(KRV_BINARY_DIR) + "/client-fetch-" + std::to_string(getpid()) + "-" + AName;
}

TResult Fetch(const std::vector<std::string>& AArgs) {
  std::string cmd = std::string(KRV_BINARY_DIR) + "/tools/krv-fetch/krv-fetch";
  for (const std::string& a : AArgs) {
    std::string q;
    for (char c : a) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    cmd += " '" + q + "'";
  }
  std::string err = TempPath("stderr");
  cmd += " 2>'" + err + "'";
  TResult r;
  FILE* p = popen(cmd.c_str(), "r");
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.Out.append(buf, n);
  int status = pclose(p);
  r.Exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.Err = Slurp(err);
  remove(err.c_str());
  return r;
}

bool Has(const std::string& AText, const std::string& APart) { return AText.find(APart) != std::string::npos; }
std::string Line(const std::string& ARequest) { return ARequest.substr(0, ARequest.find("\r\n")); }

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
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    THttpTestServer server(c.Script);
    std::vector<std::string> args;
    for (const std::string& a : c.Args) args.push_back(a == "URL" ? server.Url() : a);
    TResult r = Fetch(args);
    EXPECT_EQ(r.Exit, 0) << r.Err;
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
    EXPECT_EQ(r.Exit, 0) << r.Err;
    EXPECT_EQ(Slurp(a), "one");
    EXPECT_EQ(Slurp(b), "two");
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
  EXPECT_EQ(r.Exit, 0);
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
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    THttpTestServer server(c.Script);
    std::vector<std::string> args;
    for (const std::string& a : c.Args) args.push_back(a == "URL" ? server.Url() : a);
    TResult r = Fetch(args);
    EXPECT_EQ(r.Exit, 1);
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
    EXPECT_EQ(r.Exit, 0) << r.Err;
    EXPECT_TRUE(Slurp(out) == body) << "the file differs from the body";
    remove(out.c_str());
  }
  if (access("/dev/full", W_OK) == 0) {
    // Smaller than the buffer: nothing is written before the final flush.
    THttpTestServer server({{Ok("a body the disk has no room for")}});
    TResult r = Fetch({"-o", "/dev/full", server.Url()});
    EXPECT_EQ(r.Exit, 1);
    EXPECT_TRUE(Has(r.Err, "error: ")) << r.Err;
  }
}

TEST(FetchTool, FailedDownloadLeavesNoFile) {
  THttpTestServer server({{"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\npartial"}});
  std::string out = TempPath("partial");
  TResult r = Fetch({"-o", out, server.Url()});
  EXPECT_EQ(r.Exit, 1);
  EXPECT_TRUE(Has(r.Err, "error: EclSocketError:")) << r.Err;
  EXPECT_NE(access(out.c_str(), F_OK), 0);
}

}  // namespace

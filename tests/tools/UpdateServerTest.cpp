// krv-update-server: its request rules, and its answers over loopback as a client sees them.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cstring>

#include "UpdateServer.h"
#include "UpdateTestUtil.h"

using namespace krvtest;

namespace {

// Sends raw bytes to the server on 127.0.0.1 and answers everything it sends back (bounded).
std::string RawRequest(int port, const std::string& bytes) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(uint16_t(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  timeval tv{10, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  std::string out;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
    ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    char buf[65536];
    ssize_t n;
    while ((n = ::recv(fd, buf, sizeof buf, 0)) > 0) out.append(buf, size_t(n));
  }
  ::close(fd);
  return out;
}

TEST(UpdateServerRequest, RequestLineRules) {
  struct Case {
    const char* Line;
    int Status;
    const char* Name;
  } cases[] = {
      {"GET /mainweb/upgrade/GETFILE.ASP?FNM=dlKorvelFA_SQL_KO_KO_1001820.7z&XE3=1&VER=600000 HTTP/1.1", 0,
       "dlKorvelFA_SQL_KO_KO_1001820.7z"},
      {"HEAD /mainweb/upgrade/getfile.asp?XE3=1&fnm=a%20b.7z HTTP/1.0", 0, "a b.7z"},
      {"GET /mainweb/upgrade/GETFILE.ASP?FNM=a&b.7z HTTP/1.1", 0, "a"},
      {"GET /mainweb/upgrade/GETFILE.ASP?FNM=../etc/passwd HTTP/1.1", 400, ""},
      {"GET /mainweb/upgrade/GETFILE.ASP?FNM=..%2Fsecret HTTP/1.1", 400, ""},
      {"GET /mainweb/upgrade/GETFILE.ASP?FNM=sub/x.7z HTTP/1.1", 400, ""},
      {"GET /mainweb/upgrade/GETFILE.ASP?FNM=sub%2fx.7z HTTP/1.1", 400, ""},
      {"GET /mainweb/upgrade/GETFILE.ASP?FNM=a\\b HTTP/1.1", 400, ""},
      {"GET /mainweb/upgrade/GETFILE.ASP?FNM=.. HTTP/1.1", 400, ""},
      {"GET /mainweb/upgrade/GETFILE.ASP?FNM=a%0Ab HTTP/1.1", 400, ""},
      {"GET /mainweb/upgrade/GETFILE.ASP?FNM=%zz HTTP/1.1", 400, ""},
      {"GET /mainweb/upgrade/GETFILE.ASP?FNM=%4 HTTP/1.1", 400, ""},
      {"GET /mainweb/upgrade/GETFILE.ASP?FNM= HTTP/1.1", 400, ""},
      {"GET /mainweb/upgrade/GETFILE.ASP?XE3=1 HTTP/1.1", 400, ""},
      {"GET /mainweb/upgrade/GETFILE.ASP HTTP/1.1", 400, ""},
      {"GET /other?FNM=a.7z HTTP/1.1", 404, ""},
      {"POST /mainweb/upgrade/GETFILE.ASP?FNM=a.7z HTTP/1.1", 405, ""},
      {"GET /mainweb/upgrade/GETFILE.ASP?FNM=a.7z HTTP/2", 400, ""},
      {"GET /mainweb/upgrade/GETFILE.ASP?FNM=a.7z", 400, ""},
      {"GET  /mainweb/upgrade/GETFILE.ASP?FNM=a.7z HTTP/1.1", 400, ""},
      {"", 400, ""},
  };
  for (const Case& c : cases) {
    krvupdate::TRequest r = krvupdate::ParseRequestLine(c.Line);
    EXPECT_EQ(r.Status, c.Status) << c.Line;
    if (c.Status == 0) {
      EXPECT_EQ(r.FileName, c.Name) << c.Line;
    } else {
      EXPECT_FALSE(r.Reason.empty()) << c.Line;
    }
  }
}

// One range of a GET, when it is one field and If-Range (if any) names this version.
TEST(UpdateServerRequest, RangeAndIfRangeRules) {
  const std::string etag = krvupdate::MakeETag(1000, 1700000000123456789LL, 42);
  const std::string date = krvupdate::HttpDate(1700000000);
  EXPECT_EQ(etag, "\"3e8-17979cfe3d85cd15-2a\"");
  EXPECT_EQ(date, "Tue, 14 Nov 2023 22:13:20 GMT");
  struct Case {
    std::string Fields;
    long long Length;
    int Status;
    long long First, Last;
  } cases[] = {
      {"Range: bytes=0-0", 1000, 206, 0, 0},
      {"Range: bytes=100-199", 1000, 206, 100, 199},
      {"range:bytes=990-", 1000, 206, 990, 999},
      {"Range: BYTES=500-5000", 1000, 206, 500, 999},
      {"Range: bytes=-10", 1000, 206, 990, 999},
      {"Range: bytes=-5000", 1000, 206, 0, 999},
      {"Range: bytes=999-999", 1000, 206, 999, 999},
      {"Range: bytes=1000-", 1000, 416, 0, -1},
      {"Range: bytes=1000-2000", 1000, 416, 0, -1},
      {"Range: bytes=-0", 1000, 416, 0, -1},
      {"Range: bytes=0-", 0, 416, 0, -1},
      {"Range: bytes=-1", 0, 416, 0, -1},
      // ignored: a whole 200
      {"Range: bytes=0-1,5-6", 1000, 200, 0, -1},
      {"Range: bytes=0-1,", 1000, 200, 0, -1},
      {"Range: bytes=5-2", 1000, 200, 0, -1},
      {"Range: bytes=-", 1000, 200, 0, -1},
      {"Range: bytes=abc", 1000, 200, 0, -1},
      {"Range: bytes= 1-2", 1000, 200, 0, -1},
      {"Range: bytes=1-2-3", 1000, 200, 0, -1},
      {"Range: bytes=9999999999999999999-", 1000, 200, 0, -1},
      {"Range: items=0-1", 1000, 200, 0, -1},
      {"Range: bytes=0-1\r\nRange: bytes=0-1", 1000, 200, 0, -1},
      {"X-Range: bytes=0-1", 1000, 200, 0, -1},
      // If-Range: the entity tag exactly, or the date of a strong Last-Modified
      {"Range: bytes=10-\r\nIf-Range: " + etag, 1000, 206, 10, 999},
      {"If-Range:  " + etag + " \r\nRange: bytes=10-", 1000, 206, 10, 999},
      {"Range: bytes=10-\r\nIf-Range: \"3e8-17979cfe3d85cd15-2b\"", 1000, 200, 0, -1},
      {"Range: bytes=10-\r\nIf-Range: W/" + etag, 1000, 200, 0, -1},
      {"Range: bytes=10-\r\nIf-Range: " + date, 1000, 206, 10, 999},
      {"Range: bytes=10-\r\nIf-Range: Tue, 14 Nov 2023 22:13:21 GMT", 1000, 200, 0, -1},
      {"Range: bytes=10-\r\nIf-Range: " + etag + "\r\nIf-Range: " + etag, 1000, 200, 0, -1},
      {"Range: bytes=1000-\r\nIf-Range: \"other\"", 1000, 200, 0, -1},
  };
  for (const Case& c : cases) {
    std::string head = "GET /mainweb/upgrade/GETFILE.ASP?FNM=a.7z HTTP/1.1\r\nHost: x\r\n" + c.Fields + "\r\n\r\n";
    krvupdate::TByteRange r = krvupdate::ChooseRange("GET", head, c.Length, etag, date, true);
    EXPECT_EQ(r.Status, c.Status) << c.Fields;
    if (c.Status == 206) {
      EXPECT_EQ(r.First, c.First) << c.Fields;
      EXPECT_EQ(r.Last, c.Last) << c.Fields;
    }
  }
  // A HEAD ignores Range; a date that is no strong validator never holds; the fields end at the
  // empty line.
  EXPECT_EQ(krvupdate::ChooseRange("HEAD", "HEAD / HTTP/1.1\r\nRange: bytes=0-1\r\n\r\n", 1000, etag, date, true).Status,
            200);
  std::string head = "GET / HTTP/1.1\r\nRange: bytes=0-1\r\nIf-Range: " + date + "\r\n\r\n";
  EXPECT_EQ(krvupdate::ChooseRange("GET", head, 1000, etag, date, false).Status, 200);
  EXPECT_EQ(krvupdate::ChooseRange("GET", "GET / HTTP/1.1\r\n\r\nRange: bytes=0-1\r\n", 1000, etag, date, true).Status,
            200);
}

class UpdateServerTest : public ::testing::Test {
 protected:
  TTempDir Dir;
};

TEST_F(UpdateServerTest, AnswersFilesErrorsAndLogsOneLinePerRequest) {
  fs::create_directories(Dir.Path() / "root");
  WriteFile(Dir / "root/a.7z", std::string(100000, 'z'));
  WriteFile(Dir / "secret", "secret");
  fs::create_directories(Dir.Path() / "root/folder.7z");
  fs::create_symlink(Dir / "secret", Dir.Path() / "root/link.7z");
  TUpdateServer server(Dir / "root", 0);
  ASSERT_TRUE(server.Running());
  struct Case {
    std::string Request;
    std::string StatusLine;
    size_t BodySize;  // of a 200 answer
  } cases[] = {
      {"GET /mainweb/upgrade/GETFILE.ASP?FNM=a.7z&XE3=1&VER=600000 HTTP/1.1\r\nHost: x\r\n\r\n", "HTTP/1.1 200 OK",
       100000},
      {"HEAD /mainweb/upgrade/GETFILE.ASP?FNM=a.7z HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK", 0},
      {"GET /mainweb/upgrade/GETFILE.ASP?FNM=missing.7z HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found", 0},
      {"GET /mainweb/upgrade/GETFILE.ASP?FNM=folder.7z HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found", 0},
      {"GET /mainweb/upgrade/GETFILE.ASP?FNM=link.7z HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found", 0},
      {"GET /mainweb/upgrade/GETFILE.ASP?FNM=../secret HTTP/1.1\r\n\r\n", "HTTP/1.1 400 Bad Request", 0},
      {"GARBAGE\r\n\r\n", "HTTP/1.1 400 Bad Request", 0},
      {"GET /mainweb/upgrade/GETFILE.ASP?FNM=a.7z HTTP/1.1\r\nX: " + std::string(20000, 'x'),
       "HTTP/1.1 400 Bad Request", 0},
  };
  for (const Case& c : cases) {
    std::string answer = RawRequest(server.Port, c.Request);
    EXPECT_EQ(answer.substr(0, answer.find("\r\n")), c.StatusLine) << c.Request.substr(0, 80);
    EXPECT_EQ(answer.find("secret\n"), std::string::npos);
    if (c.StatusLine.find("200") != std::string::npos) {
      EXPECT_NE(answer.find("Content-Length: 100000\r\n"), std::string::npos);
      EXPECT_EQ(answer.size() - (answer.find("\r\n\r\n") + 4), c.BodySize);
    }
    std::string log = server.ReadLine(10000);
    EXPECT_NE(log.find("127.0.0.1:"), std::string::npos) << log;
    EXPECT_NE(log.find(" " + c.StatusLine.substr(9, 3) + " "), std::string::npos) << log;
  }
  EXPECT_EQ(server.ReadLine(300), "") << "one line per request";
}

TEST_F(UpdateServerTest, BadCommandLinesGetAClearErrorAndExitCode2) {
  const std::vector<std::string> cases = {"", "--root", "--root /nonexistent-krv-folder", "--root . --port x",
                                          "--root . --port 70000", "--root . --bind nohost",
                                          "--root . --rate 0", "--root . --bogus 1"};
  for (const std::string& args : cases) {
    int status = std::system(("timeout 20 " + std::string(KRV_UPDATE_SERVER) + " " + args + " 2>/dev/null").c_str());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << args << ": " << status;
    std::string out = Capture(std::string(KRV_UPDATE_SERVER) + " " + args + " 2>&1");
    EXPECT_NE(out.find("krv-update-server: "), std::string::npos) << args;
  }
}

namespace {

struct TAnswer {
  std::string StatusLine, Head, Body;
  std::string Field(const std::string& name) const {
    std::string value;
    krvupdate::FindField(Head, name, value);
    return value;
  }
};

TAnswer Ask(int port, const std::string& method, const std::string& name, const std::string& fields) {
  std::string raw = RawRequest(port, method + " /mainweb/upgrade/GETFILE.ASP?FNM=" + name + " HTTP/1.1\r\nHost: x\r\n" +
                                         fields + "\r\n");
  TAnswer a;
  size_t end = raw.find("\r\n\r\n");
  a.Head = raw.substr(0, end == std::string::npos ? raw.size() : end + 4);
  a.StatusLine = raw.substr(0, raw.find("\r\n"));
  if (end != std::string::npos) a.Body = raw.substr(end + 4);
  return a;
}

}  // namespace

// Byte ranges against the real server: 206 bodies byte for byte, 416, the forms it ignores,
// If-Range, an ETag that changes with the file, and .sig files served as any other name.
TEST_F(UpdateServerTest, RangesValidatorsAndIfRange) {
  fs::create_directories(Dir.Path() / "root");
  std::string content;
  for (int i = 0; i < 1000; ++i) content += char((i * 131 + 7) % 256);  // NULs, CR and LF among them
  WriteFile(Dir / "root/a.7z", content);
  std::string signature;
  for (int i = 0; i < 64; ++i) signature += char(255 - i * 4);
  WriteFile(Dir / "root/a.7z.sig", signature);
  // Old enough for Last-Modified to be a strong validator.
  const timespec old[2] = {{1700000000, 0}, {1700000000, 123456789}};
  ASSERT_EQ(::utimensat(AT_FDCWD, (Dir / "root/a.7z").c_str(), old, 0), 0);
  TUpdateServer server(Dir / "root", 0);
  ASSERT_TRUE(server.Running());

  TAnswer whole = Ask(server.Port, "GET", "a.7z", "");
  EXPECT_EQ(whole.StatusLine, "HTTP/1.1 200 OK");
  EXPECT_EQ(whole.Body, content);
  const std::string etag = whole.Field("ETag");
  EXPECT_EQ(etag.substr(0, 22), "\"3e8-17979cfe3d85ccbc-") << etag;  // the time to 100 ns
  EXPECT_EQ(etag.back(), '"');
  EXPECT_EQ(whole.Field("Last-Modified"), "Tue, 14 Nov 2023 22:13:20 GMT");
  EXPECT_EQ(whole.Field("Accept-Ranges"), "bytes");
  EXPECT_NE(server.ReadLine(10000).find("\" 200 1000"), std::string::npos);

  struct Case {
    std::string Fields;
    std::string StatusLine, ContentRange;
    long long First, Last;  // the body of a 206 or 200
    std::string Log;
  } cases[] = {
      {"Range: bytes=0-0\r\n", "HTTP/1.1 206 Partial Content", "bytes 0-0/1000", 0, 0, "\" 206 1 (bytes 0-0/1000)"},
      {"Range: bytes=100-399\r\n", "HTTP/1.1 206 Partial Content", "bytes 100-399/1000", 100, 399, "\" 206 300 "},
      {"Range: bytes=700-\r\n", "HTTP/1.1 206 Partial Content", "bytes 700-999/1000", 700, 999, "\" 206 300 "},
      {"Range: bytes=-10\r\n", "HTTP/1.1 206 Partial Content", "bytes 990-999/1000", 990, 999, "\" 206 10 "},
      {"Range: bytes=900-5000\r\n", "HTTP/1.1 206 Partial Content", "bytes 900-999/1000", 900, 999, "\" 206 100 "},
      {"Range: bytes=1000-\r\n", "HTTP/1.1 416 Range Not Satisfiable", "bytes */1000", 0, -1, "\" 416 0 (bytes */1000)"},
      {"Range: bytes=-0\r\n", "HTTP/1.1 416 Range Not Satisfiable", "bytes */1000", 0, -1, "\" 416 0 "},
      {"Range: bytes=0-1,5-6\r\n", "HTTP/1.1 200 OK", "", 0, 999, "\" 200 1000"},
      {"Range: bytes=9-3\r\n", "HTTP/1.1 200 OK", "", 0, 999, "\" 200 1000"},
      {"Range: pages=1-2\r\n", "HTTP/1.1 200 OK", "", 0, 999, "\" 200 1000"},
      {"Range: bytes=500-\r\nIf-Range: " + etag + "\r\n", "HTTP/1.1 206 Partial Content", "bytes 500-999/1000", 500,
       999, "\" 206 500 "},
      {"Range: bytes=500-\r\nIf-Range: \"1-2-3\"\r\n", "HTTP/1.1 200 OK", "", 0, 999, "\" 200 1000"},
      {"Range: bytes=500-\r\nIf-Range: Tue, 14 Nov 2023 22:13:20 GMT\r\n", "HTTP/1.1 206 Partial Content",
       "bytes 500-999/1000", 500, 999, "\" 206 500 "},
      {"Range: bytes=500-\r\nIf-Range: Tue, 14 Nov 2023 22:13:19 GMT\r\n", "HTTP/1.1 200 OK", "", 0, 999,
       "\" 200 1000"},
  };
  for (const Case& c : cases) {
    TAnswer a = Ask(server.Port, "GET", "a.7z", c.Fields);
    EXPECT_EQ(a.StatusLine, c.StatusLine) << c.Fields;
    EXPECT_EQ(a.Field("Content-Range"), c.ContentRange) << c.Fields;
    EXPECT_EQ(a.Field("ETag"), etag) << c.Fields;
    if (c.Last >= c.First) {
      EXPECT_EQ(a.Field("Content-Length"), std::to_string(c.Last - c.First + 1)) << c.Fields;
      EXPECT_EQ(a.Body, content.substr(size_t(c.First), size_t(c.Last - c.First + 1))) << c.Fields;
    }
    std::string log = server.ReadLine(10000);
    EXPECT_NE(log.find(c.Log), std::string::npos) << c.Fields << ": " << log;
  }
  // HEAD: the head of the whole file, no body, Range ignored.
  TAnswer head = Ask(server.Port, "HEAD", "a.7z", "Range: bytes=0-9\r\n");
  EXPECT_EQ(head.StatusLine, "HTTP/1.1 200 OK");
  EXPECT_EQ(head.Field("Content-Length"), "1000");
  EXPECT_EQ(head.Field("ETag"), etag);
  EXPECT_EQ(head.Body, "");
  server.ReadLine(10000);
  // A signature file: byte for byte, ranges too.
  TAnswer sig = Ask(server.Port, "GET", "a.7z.sig", "");
  EXPECT_EQ(sig.StatusLine, "HTTP/1.1 200 OK");
  EXPECT_EQ(sig.Body, signature);
  sig = Ask(server.Port, "GET", "a.7z.sig", "Range: bytes=60-\r\n");
  EXPECT_EQ(sig.Field("Content-Range"), "bytes 60-63/64");
  EXPECT_EQ(sig.Body, signature.substr(60));
  server.ReadLine(10000);
  server.ReadLine(10000);

  // The file replaced by another of the same size and time: only the inode tells them apart,
  // and the old ETag no longer gets a part of the new file.
  std::string replacement(1000, 'n');
  WriteFile(Dir / "root/new.tmp", replacement);
  ASSERT_EQ(::utimensat(AT_FDCWD, (Dir / "root/new.tmp").c_str(), old, 0), 0);
  fs::rename(Dir / "root/new.tmp", Dir / "root/a.7z");
  TAnswer after = Ask(server.Port, "GET", "a.7z", "Range: bytes=500-\r\nIf-Range: " + etag + "\r\n");
  EXPECT_EQ(after.StatusLine, "HTTP/1.1 200 OK");
  EXPECT_EQ(after.Body, replacement);
  EXPECT_NE(after.Field("ETag"), etag);
  EXPECT_EQ(after.Field("ETag").substr(0, 22), etag.substr(0, 22));
  server.ReadLine(10000);
  EXPECT_EQ(server.ReadLine(300), "") << "one line per request";
}

}  // namespace

// End to end: the HTTP client against a Digest-protected resource of a loopback server run by
// the test. The server issues its own challenges and checks every answer with its own parse and
// computation (RFC 2617), so the client's 401 cycle and the scheme are tested together.

#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "../AnsweringServer.h"
#include "netlib/http/clHttp.h"
#include "rtl/Hash.h"

using namespace netlib;

namespace {

std::string Md5(const std::string& s) { return rtl::U8(rtl::DigestToHex(rtl::MD5(s.data(), s.size()))); }

std::string Lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

// The server's own reading of an Authorization value: "Digest" and comma-separated name=value
// items, values plain or in double quotes.
bool ParseDigest(const std::string& value, std::map<std::string, std::string>& items) {
  if (Lower(value.substr(0, 7)) != "digest ") return false;
  size_t i = 7;
  while (i < value.size()) {
    while (i < value.size() && (value[i] == ' ' || value[i] == ',')) ++i;
    size_t eq = value.find('=', i);
    if (eq == std::string::npos) break;
    std::string name = Lower(value.substr(i, eq - i));
    i = eq + 1;
    std::string v;
    if (i < value.size() && value[i] == '"') {
      size_t close = value.find('"', i + 1);
      if (close == std::string::npos) return false;
      v = value.substr(i + 1, close - i - 1);
      i = close + 1;
    } else {
      size_t comma = value.find(',', i);
      v = value.substr(i, comma == std::string::npos ? std::string::npos : comma - i);
      i = comma == std::string::npos ? value.size() : comma;
    }
    items[name] = v;
  }
  return true;
}

struct TSeen {
  std::string method, target, authorization;
  bool accepted = false;
};

// Answers every request for /dir/ with 401 and a fresh challenge until an Authorization value
// checks out, then with 200 and "digest ok". Serves any number of connections, keep-alive
// included; stops at destruction or after 20 seconds, whichever comes first.
class TDigestServer {
 public:
  TDigestServer(std::string algorithm, std::string qop) : FAlgorithm(std::move(algorithm)), FQop(std::move(qop)) {}
  int Port() const { return FServer.Port(); }
  std::vector<TSeen> Seen() {
    std::lock_guard<std::mutex> lock(FLock);
    return FSeen;
  }

  static constexpr const char* kUser = "Mufasa";
  static constexpr const char* kPassword = "Circle Of Life";
  static constexpr const char* kRealm = "testrealm@host.com";
  static constexpr const char* kOpaque = "5ccc069c403ebaf9f0171e9517f40e41";

 private:
  std::string Answer(const std::string& head) {
    TSeen seen;
    size_t sp1 = head.find(' '), sp2 = head.find(' ', sp1 + 1);
    seen.method = head.substr(0, sp1);
    seen.target = head.substr(sp1 + 1, sp2 - sp1 - 1);
    size_t pos = 0;
    while ((pos = head.find("\r\n", pos)) != std::string::npos) {
      pos += 2;
      size_t eol = head.find("\r\n", pos);
      std::string line = head.substr(pos, eol == std::string::npos ? std::string::npos : eol - pos);
      if (Lower(line.substr(0, 14)) == "authorization:") {
        seen.authorization = line.substr(14);
        while (!seen.authorization.empty() && seen.authorization[0] == ' ') seen.authorization.erase(0, 1);
      }
    }
    seen.accepted = Check(seen);
    std::string body = seen.accepted ? "digest ok" : "denied";
    std::string reply = seen.accepted ? "HTTP/1.1 200 OK\r\n" : "HTTP/1.1 401 Unauthorized\r\n";
    if (!seen.accepted) {
      FNonce = Md5(std::to_string(++FNonceCounter) + "server secret");
      reply += "WWW-Authenticate: Digest realm=\"" + std::string(kRealm) + "\"";
      if (!FQop.empty()) reply += ", qop=\"" + FQop + "\"";
      if (!FAlgorithm.empty()) reply += ", algorithm=" + FAlgorithm;
      reply += ", nonce=\"" + FNonce + "\", opaque=\"" + kOpaque + "\"\r\n";
    }
    reply += "Content-Type: text/plain\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    std::lock_guard<std::mutex> lock(FLock);
    FSeen.push_back(seen);
    return reply;
  }

  bool Check(const TSeen& seen) {
    std::map<std::string, std::string> a;
    if (FNonce.empty() || !ParseDigest(seen.authorization, a)) return false;
    if (a["username"] != kUser || a["realm"] != kRealm || a["nonce"] != FNonce || a["opaque"] != kOpaque ||
        a["uri"] != seen.target)
      return false;
    std::string ha1 = Md5(std::string(kUser) + ":" + kRealm + ":" + kPassword);
    if (Lower(FAlgorithm) == "md5-sess") ha1 = Md5(ha1 + ":" + FNonce + ":" + a["cnonce"]);
    const std::string ha2 = Md5(seen.method + ":" + seen.target);
    std::string expected;
    if (FQop.empty()) {
      if (a.count("qop") || a.count("cnonce") || a.count("nc")) return false;
      expected = Md5(ha1 + ":" + FNonce + ":" + ha2);
    } else {
      if (a["qop"] != "auth" || a["nc"] != "00000001" || a["cnonce"].size() < 8) return false;
      expected = Md5(ha1 + ":" + FNonce + ":" + a["nc"] + ":" + a["cnonce"] + ":auth:" + ha2);
    }
    return a["response"] == expected;
  }

  std::string FAlgorithm, FQop;
  std::string FNonce;
  int FNonceCounter = 0;
  std::mutex FLock;
  std::vector<TSeen> FSeen;
  // Last: it answers on its own thread from when it is made until it is gone.
  krvtest::TAnsweringServer FServer{[this](int, const std::string& AHead) { return Answer(AHead); }, 20};
};

}  // namespace

TEST(DigestOverHttp, TheClientAnswersTheChallengeThroughThe401Cycle) {
  struct Case {
    const char* algorithm;
    const char* qop;
  } cases[] = {{"", "auth"}, {"MD5", "auth,auth-int"}, {"MD5-sess", "auth"}, {"", ""}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("algorithm ") + c.algorithm + ", qop " + c.qop);
    TDigestServer server(c.algorithm, c.qop);
    TclHttp http;
    http.SetUserName(rtl::Utf8ToString(TDigestServer::kUser));
    http.SetPassword(rtl::Utf8ToString(TDigestServer::kPassword));
    rtl::TMemoryStream body;
    const std::string url = "http://127.0.0.1:" + std::to_string(server.Port()) + "/dir/index.html?a=1";
    EXPECT_NO_THROW(http.Get(rtl::Utf8ToString(url), &body));
    EXPECT_EQ(http.StatusCode(), 200);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(body.Memory()), static_cast<size_t>(body.Size())), "digest ok");

    std::vector<TSeen> seen = server.Seen();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].authorization, "");
    EXPECT_FALSE(seen[0].accepted);
    EXPECT_EQ(seen[1].method, "GET");
    EXPECT_EQ(seen[1].target, "/dir/index.html?a=1");
    EXPECT_TRUE(seen[1].accepted) << seen[1].authorization;
    std::map<std::string, std::string> items;
    ASSERT_TRUE(ParseDigest(seen[1].authorization, items));
    if (*c.qop) {
      // Our client nonce: "ab" and 30 hexadecimal digits.
      EXPECT_EQ(items["cnonce"].size(), 32u);
      EXPECT_EQ(items["cnonce"].substr(0, 2), "ab");
    }
  }
}

TEST(DigestOverHttp, AWrongPasswordEndsInTheServersRefusal) {
  TDigestServer server("", "auth");
  TclHttp http;
  http.SetUserName(rtl::Utf8ToString(TDigestServer::kUser));
  http.SetPassword(u"wrong");
  rtl::TMemoryStream body;
  const std::string url = "http://127.0.0.1:" + std::to_string(server.Port()) + "/dir/index.html";
  int code = 0;
  try {
    http.Get(rtl::Utf8ToString(url), &body);
  } catch (const EclHttpError& e) {
    code = e.ErrorCode();
  }
  EXPECT_EQ(code, 401);
  std::vector<TSeen> seen = server.Seen();
  // Bounded by the client's retry limit, each retry a Digest answer that the server refused.
  ASSERT_GE(seen.size(), 2u);
  EXPECT_LE(seen.size(), static_cast<size_t>(http.MaxAuthRetries() + 1));
  for (size_t i = 1; i < seen.size(); ++i) {
    EXPECT_EQ(seen[i].authorization.substr(0, 7), "Digest ");
    EXPECT_FALSE(seen[i].accepted);
  }
}

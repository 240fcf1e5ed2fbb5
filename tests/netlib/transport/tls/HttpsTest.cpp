// https through the HTTP client and krv-fetch: a loopback TLS peer answering HTTP, directly and
// behind an HTTP proxy tunnel run by the test.
#include <gtest/gtest.h>
#include <netinet/tcp.h>

#include <atomic>
#include <cstdio>
#include <mutex>

#include "TlsTestUtil.h"
#include "netlib/http/clHttp.h"
#include "rtl/Classes.h"
#include "tests/tools/FetchToolRun.h"

using namespace netlib;
using namespace tls_test;

namespace {

std::string Ok(const std::string& ABody) {
  return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(ABody.size()) + "\r\n\r\n" + ABody;
}

std::string Contents(rtl::TMemoryStream& m) { return std::string(reinterpret_cast<const char*>(m.Memory()), size_t(m.Size())); }

// The request heads an https peer received (and answered with AAnswers in turn, on ONE connection).
struct THttpsPeer {
  std::mutex Lock;
  std::vector<std::string> Heads;
  TLoopbackServer Server;
  explicit THttpsPeer(std::vector<std::string> AAnswers)
      : Server([this, AAnswers](int& fd) {
          TServerTls t(fd, *TPki::Get().Good);
          if (!t.Accept()) return;
          Serve(t, AAnswers);
        }) {}
  void Serve(TServerTls& t, const std::vector<std::string>& AAnswers) {
    for (const std::string& a : AAnswers) {
      std::string head = t.ReadUntil("\r\n\r\n");
      if (head.empty()) return;
      {
        std::lock_guard<std::mutex> g(Lock);
        Heads.push_back(head);
      }
      t.Send(a);
    }
    t.ReadToCloseNotify();
  }
  std::string Url(const std::string& APath) { return "https://127.0.0.1:" + std::to_string(Server.Port()) + APath; }
};

std::string Line(const std::string& AHead) { return AHead.substr(0, AHead.find("\r\n")); }

TEST(Https, GetWithTheCallersAuthorityOnOneKeptConnection) {
  THttpsPeer peer({Ok("first body"), Ok(std::string(100000, 'z'))});
  TclHttp http;
  http.SetTimeOut(3000);
  http.SetCAFile(rtl::S(TPki::Get().CaFile));
  rtl::TMemoryStream a, b;
  http.Get(rtl::S(peer.Url("/a?x=1")), &a);
  EXPECT_TRUE(http.IsTls());
  http.Get(rtl::S(peer.Url("/b")), &b);
  EXPECT_EQ(Contents(a), "first body");
  EXPECT_EQ(Contents(b), std::string(100000, 'z'));
  http.Close();
  peer.Server.Join();
  // The peer accepts one connection only: both answers came over it.
  ASSERT_EQ(peer.Heads.size(), 2u);
  EXPECT_EQ(Line(peer.Heads[0]), "GET /a?x=1 HTTP/1.1");
  EXPECT_EQ(Line(peer.Heads[1]), "GET /b HTTP/1.1");
  EXPECT_NE(peer.Heads[0].find("\r\nHost: 127.0.0.1:" + std::to_string(peer.Server.Port()) + "\r\n"), std::string::npos);
}

// A response head longer than two batches from a server that sends everything, then its closing
// message, and closes at once: the head reader's limited reads lose nothing of it.
TEST(Https, LongHeadFromAServerThatClosesAtOnce) {
  std::string filler;
  for (int i = 0; filler.size() < 20000; ++i)
    filler += "X-Filler-" + std::to_string(i) + ": " + std::string(60, 'f') + "\r\n";
  const std::string body = "the body after a long head";
  TLoopbackServer server([&](int& fd) {
    TServerTls t(fd, *TPki::Get().Good);
    if (!t.Accept()) return;
    t.ReadUntil("\r\n\r\n");
    int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_CORK, &on, sizeof on);  // the answer and the close leave together
    t.Send("HTTP/1.1 200 OK\r\n" + filler + "Content-Length: " + std::to_string(body.size()) +
           "\r\nConnection: close\r\n\r\n" + body);
    t.Shutdown();
  });
  TclHttp http;
  http.SetTimeOut(3000);
  http.SetCAFile(rtl::S(TPki::Get().CaFile));
  rtl::TMemoryStream m;
  try {
    http.Get(rtl::S("https://127.0.0.1:" + std::to_string(server.Port()) + "/long-head"), &m);
  } catch (const EclSocketError& e) {
    ADD_FAILURE() << e.ClassName() << " " << e.ErrorCode() << ": " << rtl::U8(e.Message());
  }
  EXPECT_EQ(Contents(m), body);
  server.Join();
}

TEST(Https, UnknownAuthorityIsRefusedWithTheReason) {
  THttpsPeer peer({Ok("never")});
  TclHttp http;
  http.SetTimeOut(3000);
  rtl::TMemoryStream a;
  try {
    http.Get(rtl::S(peer.Url("/")), &a);
    FAIL() << "accepted";
  } catch (const EclTlsCertificateError& e) {
    EXPECT_NE(e.Message().find(u"unable to get local issuer certificate"), rtl::String::npos) << rtl::U8(e.Message());
  }
  EXPECT_FALSE(http.Active());
  EXPECT_EQ(a.Size(), 0);
}

// CONNECT to the proxy (first refused with 407, then answered with credentials), then TLS to the
// origin inside the tunnel; the request inside carries the absolute path.
TEST(Https, ThroughAnHttpProxyWithAuthentication) {
  std::mutex lock;
  std::vector<std::string> heads;
  auto note = [&](const std::string& h) {
    std::lock_guard<std::mutex> g(lock);
    heads.push_back(h);
  };
  // The client may ask again on the same connection or on a new one.
  TSequentialServer proxy(2, [&](int& fd, int) {
    auto readHead = [&] {
      std::string h;
      char c;
      while (h.find("\r\n\r\n") == std::string::npos && ::recv(fd, &c, 1, 0) == 1) h += c;
      return h;
    };
    for (;;) {
      std::string head = readHead();
      if (head.empty()) return;
      note(head);
      if (head.find("Proxy-Authorization: Basic cHU6cHA=\r\n") != std::string::npos) break;
      TLoopbackServer::SendText(fd,
                                "HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic realm=\"p\"\r\n"
                                "Content-Length: 0\r\n\r\n");
    }
    TLoopbackServer::SendText(fd, "HTTP/1.1 200 Connection established\r\n\r\n");
    TServerTls t(fd, *TPki::Get().Good);
    if (!t.Accept()) return;
    std::string inner = t.ReadUntil("\r\n\r\n");
    note(inner);
    t.Send(Ok("through the tunnel"));
    t.ReadToCloseNotify();
  });
  TclHttp http;
  http.SetTimeOut(3000);
  http.SetCAFile(rtl::S(TPki::Get().CaFile));
  http.ProxySettings().SetServer(u"127.0.0.1");
  http.ProxySettings().SetPort(proxy.Port());
  http.ProxySettings().SetUserName(u"pu");
  http.ProxySettings().SetPassword(u"pp");
  rtl::TMemoryStream m;
  http.Get(u"https://127.0.0.1:4443/secret/x?q=1", &m);
  EXPECT_EQ(Contents(m), "through the tunnel");
  EXPECT_TRUE(http.IsTls());
  http.Close();
  proxy.Join();
  ASSERT_EQ(heads.size(), 3u);
  EXPECT_EQ(Line(heads[0]), "CONNECT 127.0.0.1:4443 HTTP/1.0");
  EXPECT_EQ(Line(heads[1]), "CONNECT 127.0.0.1:4443 HTTP/1.0");
  EXPECT_EQ(Line(heads[2]), "GET /secret/x?q=1 HTTP/1.1");
  EXPECT_EQ(heads[2].find("Proxy-Authorization"), std::string::npos);
}

TEST(Https, ThroughSocks5) {
  std::atomic<bool> socksOk{false};
  std::vector<std::string> heads;
  TLoopbackServer server([&](int& fd) {
    unsigned char buf[512];
    if (::recv(fd, buf, 3, MSG_WAITALL) != 3) return;
    TLoopbackServer::SendText(fd, std::string("\x05\x00", 2));
    if (::recv(fd, buf, 5, MSG_WAITALL) != 5 || buf[3] != 3) return;  // a host name
    int rest = buf[4] + 2;
    if (::recv(fd, buf, size_t(rest), MSG_WAITALL) != rest) return;
    socksOk = std::string(reinterpret_cast<char*>(buf), size_t(buf[0] == 0 ? 0 : rest - 2)) == "localhost";
    TLoopbackServer::SendText(fd, std::string("\x05\x00\x00\x01\x00\x00\x00\x00\x00\x00", 10));
    TServerTls t(fd, *TPki::Get().Good);
    if (!t.Accept()) return;
    heads.push_back(t.ReadUntil("\r\n\r\n"));
    t.Send(Ok("socks body"));
    t.ReadToCloseNotify();
  });
  TclHttp http;
  http.SetTimeOut(3000);
  http.SetCAFile(rtl::S(TPki::Get().CaFile));
  http.FirewallSettings().SetServer(u"127.0.0.1");
  http.FirewallSettings().SetPort(server.Port());
  http.FirewallSettings().SetFirewallType(ftSocks5);
  rtl::TMemoryStream m;
  // The name goes to the SOCKS server unresolved; the certificate is checked against it.
  http.Get(u"https://localhost:8443/s", &m);
  EXPECT_EQ(Contents(m), "socks body");
  http.Close();
  server.Join();
  EXPECT_TRUE(socksOk);
  ASSERT_EQ(heads.size(), 1u);
  EXPECT_EQ(Line(heads[0]), "GET /s HTTP/1.1");
}

TEST(Https, FetchToolWithCacertAndInsecure) {
  struct TCase {
    const char* Name;
    std::vector<std::string> Args;
    int Exit;
    const char* Err;
  } cases[] = {
      {"trusted with --cacert", {"--cacert", TPki::Get().CaFile}, 0, ""},
      {"accepted with --insecure", {"--insecure"}, 0, ""},
      {"refused without either", {}, 1, "error: EclTlsCertificateError: The server's certificate was refused"},
  };
  for (TCase& t : cases) {
    SCOPED_TRACE(t.Name);
    THttpsPeer peer({Ok("fetched over tls")});
    std::string out = std::string(KRV_BINARY_DIR) + "/tls-fetch-" + std::to_string(::getpid()) + ".out";
    std::remove(out.c_str());
    for (const std::string& a : {std::string("--timeout"), std::string("3000"), std::string("-o"), out, peer.Url("/f")})
      t.Args.push_back(a);
    krvtest::THostRun r = krvtest::RunFetchTool({}, t.Args);
    EXPECT_EQ(r.Code, t.Exit) << r.Err;
    EXPECT_NE(r.Err.find(t.Err), std::string::npos) << r.Err;
    if (t.Exit == 0) EXPECT_EQ(krvtest::ReadHostFile(out), "fetched over tls");
    std::remove(out.c_str());
  }
}

}  // namespace

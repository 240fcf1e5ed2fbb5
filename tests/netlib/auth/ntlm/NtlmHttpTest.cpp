// End to end: the HTTP client and krv-fetch against a loopback server that runs the NTLM (or
// Negotiate) handshake itself and checks the NTLMv2 proof with the password it knows.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <mutex>
#include <thread>

#include "SspiTestUtil.h"
#include "netlib/auth/clEncoder.h"
#include "netlib/http/clHttp.h"

using namespace sspitest;
using netlib::TclEncoder;

namespace {

class TNtlmServer {
 public:
  TNtlmServer(std::u16string AUser, std::u16string ADomain, std::u16string APassword, bool AOfferNegotiate)
      : FUser(std::move(AUser)), FDomain(std::move(ADomain)), FPassword(std::move(APassword)),
        FOfferNegotiate(AOfferNegotiate) {
    FListener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(FListener, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(FListener, 8);
    socklen_t len = sizeof a;
    getsockname(FListener, reinterpret_cast<sockaddr*>(&a), &len);
    FPort = ntohs(a.sin_port);
    FThread = std::thread([this] { Run(); });
  }
  ~TNtlmServer() {
    FStop = true;
    FThread.join();
    close(FListener);
  }
  std::string Url() const { return "http://127.0.0.1:" + std::to_string(FPort) + "/secret"; }
  // "<connection>:<event>" in order: none, negotiate, challenge-sent, granted, denied, bad.
  std::vector<std::string> Events() {
    std::lock_guard<std::mutex> g(FLock);
    return FEvents;
  }

 private:
  struct TConn {
    int Fd;
    int Id;
    std::string In;
    bool Challenged = false;
  };

  void Event(int AConn, const std::string& AWhat) {
    std::lock_guard<std::mutex> g(FLock);
    FEvents.push_back(std::to_string(AConn) + ":" + AWhat);
  }

  static std::string Header(const std::string& ARequest, const std::string& AName) {
    std::string lower = ARequest;
    for (char& c : lower) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    const size_t p = lower.find("\r\n" + AName + ":");
    if (p == std::string::npos) return "";
    size_t v = p + 3 + AName.size();
    while (v < ARequest.size() && ARequest[v] == ' ') ++v;
    return ARequest.substr(v, ARequest.find("\r\n", v) - v);
  }

  std::string Unauthorized(const std::string& AExtra) {
    std::string r = "HTTP/1.1 401 Unauthorized\r\n";
    if (!AExtra.empty())
      r += "WWW-Authenticate: " + AExtra + "\r\n";
    else {
      if (FOfferNegotiate) r += "WWW-Authenticate: Negotiate\r\n";
      r += "WWW-Authenticate: NTLM\r\n";
    }
    return r + "Content-Length: 4\r\n\r\ndeny";
  }

  std::string Answer(TConn& AConn, const std::string& ARequest) {
    const std::string auth = Header(ARequest, "authorization");
    if (auth.empty()) {
      Event(AConn.Id, "none");
      return Unauthorized("");
    }
    const size_t space = auth.find(' ');
    const std::string scheme = auth.substr(0, space);
    const bool negotiate = scheme == "Negotiate";
    if (space == std::string::npos || (scheme != "NTLM" && !negotiate)) {
      Event(AConn.Id, "bad");
      return "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n";
    }
    const std::u16string b64(auth.begin() + space + 1, auth.end());
    Bytes token = TclEncoder::DecodeBase64(b64);
    if (negotiate) {
      if (!token.empty() && token[0] == 0x60) {
        const auto init = ParseSpnegoInit(token.data(), token.size());
        token = init && init->MechToken ? *init->MechToken : Bytes();
      } else {
        const auto resp = ParseSpnegoResp(token.data(), token.size());
        token = resp && resp->ResponseToken ? *resp->ResponseToken : Bytes();
      }
    }
    if (token.size() >= 12 && token[8] == 1) {
      Event(AConn.Id, "negotiate");
      AConn.Challenged = true;
      Bytes out = BuildNtlmChallenge(NTLMSSP_NEGOTIATE_UNICODE | NTLMSSP_NEGOTIATE_NTLM, kServerChallenge,
                                     Utf16LE(u"SRVDOM"),
                                     BuildAvPairs({{MsvAvNbDomainName, Utf16LE(u"SRVDOM")},
                                                   {MsvAvNbComputerName, Utf16LE(u"SRV")},
                                                   {MsvAvTimestamp, Bytes{1, 2, 3, 4, 5, 6, 7, 1}}}));
      if (negotiate) {
        SpnegoResp r;
        r.NegState = SpnegoNegState::AcceptIncomplete;
        r.SupportedMech = kNtlmMechOid;
        r.ResponseToken = out;
        out = BuildSpnegoResp(r);
      }
      return Unauthorized(scheme + " " + rtl::U8(TclEncoder::EncodeBase64(out.data(), out.size())));
    }
    const auto f = ParseNtlmAuthenticate(token.data(), token.size());
    if (!f || !AConn.Challenged) {
      Event(AConn.Id, "bad");
      return "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n";
    }
    AConn.Challenged = false;
    const bool ok = f->User == Utf16LE(FUser) && f->Domain == Utf16LE(FDomain) &&
                    f->NtChallengeResponse.size() >= 16 &&
                    ServerProof(*f, kServerChallenge, FUser, FDomain, FPassword) ==
                        ToHex(f->NtChallengeResponse.data(), 16) &&
                    TargetNameOf(*f) == u"HTTP/127.0.0.1";
    Event(AConn.Id, ok ? "granted" : "denied");
    if (ok) return "HTTP/1.1 200 OK\r\nContent-Length: 7\r\n\r\ngranted";
    return Unauthorized("");
  }

  void Run() {
    std::vector<TConn> conns;
    int next = 1;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!FStop && std::chrono::steady_clock::now() < deadline) {
      std::vector<pollfd> fds{{FListener, POLLIN, 0}};
      for (const TConn& c : conns) fds.push_back({c.Fd, POLLIN, 0});
      if (poll(fds.data(), fds.size(), 50) <= 0) continue;
      if (fds[0].revents & POLLIN) {
        const int s = accept4(FListener, nullptr, nullptr, SOCK_CLOEXEC);
        if (s >= 0) conns.push_back({s, next++, {}, false});
      }
      for (size_t i = 1; i < fds.size(); ++i) {
        if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        TConn& c = conns[i - 1];
        char buf[65536];
        const ssize_t n = recv(c.Fd, buf, sizeof buf, 0);
        if (n <= 0) {
          close(c.Fd);
          c.Fd = -1;
          continue;
        }
        c.In.append(buf, static_cast<size_t>(n));
        size_t end;
        while ((end = c.In.find("\r\n\r\n")) != std::string::npos) {
          const std::string request = c.In.substr(0, end + 4);  // GET only: no bodies
          c.In.erase(0, end + 4);
          const std::string reply = Answer(c, request);
          send(c.Fd, reply.data(), reply.size(), MSG_NOSIGNAL);
        }
      }
      std::erase_if(conns, [](const TConn& c) { return c.Fd < 0; });
    }
    for (TConn& c : conns) close(c.Fd);
  }

  static constexpr NtlmChallenge8 kServerChallenge = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
  std::u16string FUser, FDomain, FPassword;
  bool FOfferNegotiate;
  int FListener = -1;
  int FPort = 0;
  std::atomic<bool> FStop{false};
  std::mutex FLock;
  std::vector<std::string> FEvents;
  std::thread FThread;
};

// The connection of the first event named AWhat, or "" when none.
std::string ConnOf(const std::vector<std::string>& AEvents, const std::string& AWhat) {
  for (const std::string& e : AEvents)
    if (e.substr(e.find(':') + 1) == AWhat) return e.substr(0, e.find(':'));
  return "";
}
int Count(const std::vector<std::string>& AEvents, const std::string& AWhat) {
  int n = 0;
  for (const std::string& e : AEvents) n += e.substr(e.find(':') + 1) == AWhat;
  return n;
}
std::string Joined(const std::vector<std::string>& AEvents) {
  std::string s;
  for (const std::string& e : AEvents) s += e + " ";
  return s;
}

std::string Fetch(netlib::TclHttp& AHttp, const std::string& AUrl) {
  rtl::TMemoryStream body;
  AHttp.Get(rtl::S(AUrl), &body);
  return std::string(reinterpret_cast<const char*>(body.Memory()), static_cast<size_t>(body.Size()));
}

TEST(NtlmOverHttp, HandshakeOnOneKeptAliveConnection) {
  const struct {
    bool offerNegotiate;
    const char16_t* user;
    const char16_t* password;
  } cases[] = {
      {false, u"DOMAIN\\user", u"Password"},
      {true, u"DOMAIN\\user", u"Password"},
      {false, u"ДОМЕН/Пользователь", u"пароль✓密码"},  // outside Latin-1: travels as UTF-16
      {true, u"ДОМЕН/Пользователь", u"пароль✓密码"},
  };
  for (const auto& c : cases) {
    const std::u16string full = c.user;
    const size_t sep = full.find_first_of(u"\\/");
    TNtlmServer server(full.substr(sep + 1), full.substr(0, sep), c.password, c.offerNegotiate);
    netlib::TclHttp http;
    http.SetTimeOut(5000);
    http.SetUserName(c.user);
    http.SetPassword(c.password);
    EXPECT_EQ(Fetch(http, server.Url()), "granted") << rtl::U8(c.user);
    const auto events = server.Events();
    SCOPED_TRACE(Joined(events));
    ASSERT_EQ(Count(events, "granted"), 1);
    EXPECT_EQ(Count(events, "bad"), 0);
    // NTLM authenticates the connection: challenge and answer share one.
    EXPECT_EQ(ConnOf(events, "negotiate"), ConnOf(events, "granted"));
  }
}

TEST(NtlmOverHttp, WrongPasswordEndsIn401AfterTheRetries) {
  TNtlmServer server(u"user", u"DOMAIN", u"right", true);
  netlib::TclHttp http;
  http.SetTimeOut(5000);
  http.SetUserName(u"DOMAIN\\user");
  http.SetPassword(u"wrong");
  try {
    Fetch(http, server.Url());
    ADD_FAILURE() << "no error";
  } catch (const netlib::EclHttpError& e) {
    EXPECT_EQ(e.ErrorCode(), 401);
  }
  const auto events = server.Events();
  EXPECT_GE(Count(events, "denied"), 1) << Joined(events);
  EXPECT_EQ(Count(events, "granted"), 0);
  EXPECT_LE(Count(events, "negotiate"), http.MaxAuthRetries() + 1) << Joined(events);
}

struct TRun {
  int Exit = -1;
  std::string Out;
};

TRun FetchTool(const std::vector<std::string>& AArgs) {
  std::string cmd = std::string(KRV_BINARY_DIR) + "/tools/krv-fetch/krv-fetch";
  for (const std::string& a : AArgs) {
    std::string q;
    for (char ch : a) q += ch == '\'' ? std::string("'\\''") : std::string(1, ch);
    cmd += " '" + q + "'";
  }
  cmd += " 2>&1";
  TRun r;
  FILE* p = popen(cmd.c_str(), "r");
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.Out.append(buf, n);
  const int status = pclose(p);
  r.Exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

TEST(NtlmOverHttp, FetchToolWithDomainUser) {
  for (bool negotiate : {false, true}) {
    TNtlmServer server(u"user", u"DOMAIN", u"pass:word", negotiate);
    const TRun r = FetchTool({"-u", "DOMAIN\\user:pass:word", server.Url()});
    EXPECT_EQ(r.Exit, 0) << r.Out;
    EXPECT_EQ(r.Out, "granted");
    EXPECT_EQ(Count(server.Events(), "granted"), 1) << Joined(server.Events());
  }
  TNtlmServer server(u"user", u"DOMAIN", u"pass", false);
  const TRun r = FetchTool({"-u", "DOMAIN\\user:bad", server.Url()});
  EXPECT_NE(r.Exit, 0);
  EXPECT_NE(r.Out.find("401"), std::string::npos) << r.Out;
}

}  // namespace

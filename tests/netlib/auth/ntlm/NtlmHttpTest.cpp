// End to end: the HTTP client and krv-fetch against a loopback server (or proxy) that runs the
// NTLM (or Negotiate) handshake itself and checks the NTLMv2 proof with the password it knows.
// The client's provider is ours on Linux and the system's (secur32) on Windows; the server reads
// both with our message code, SPNEGO-wrapped or raw NTLM in Negotiate (as Wine sends it).
#include <gtest/gtest.h>

#include <map>
#include <mutex>

#include "../AnsweringServer.h"
#include "SspiTestUtil.h"
#include "netlib/auth/clEncoder.h"
#include "netlib/http/clHttp.h"
#include "rtl/SysUtils.h"
#include "tests/tools/FetchToolRun.h"

using namespace sspitest;
using netlib::TclEncoder;

namespace {

// A loopback HTTP server, or with AProxy an HTTP proxy (407, Proxy-Authenticate), that grants its
// resource only after an NTLM handshake on one connection whose NTLMv2 proof matches the password.
class TNtlmServer {
 public:
  TNtlmServer(std::u16string AUser, std::u16string ADomain, std::u16string APassword, bool AOfferNegotiate,
              bool AProxy = false)
      : FUser(std::move(AUser)), FDomain(std::move(ADomain)), FPassword(std::move(APassword)),
        FOfferNegotiate(AOfferNegotiate), FProxy(AProxy) {}
  int Port() const { return FServer.Port(); }
  std::string Url() const { return "http://127.0.0.1:" + std::to_string(Port()) + "/secret"; }
  // "<connection>:<event>" in order: none, negotiate, challenge-sent, granted, denied, bad.
  std::vector<std::string> Events() {
    std::lock_guard<std::mutex> g(FLock);
    return FEvents;
  }
  // The request lines and the MsvAvTargetName of each AUTHENTICATE, in order.
  std::vector<std::string> RequestLines() {
    std::lock_guard<std::mutex> g(FLock);
    return FRequestLines;
  }
  std::vector<std::u16string> TargetNames() {
    std::lock_guard<std::mutex> g(FLock);
    return FTargetNames;
  }

 private:
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
    const std::string field = FProxy ? "Proxy-Authenticate: " : "WWW-Authenticate: ";
    std::string r = FProxy ? "HTTP/1.1 407 Proxy Authentication Required\r\n" : "HTTP/1.1 401 Unauthorized\r\n";
    if (!AExtra.empty())
      r += field + AExtra + "\r\n";
    else {
      if (FOfferNegotiate) r += field + "Negotiate\r\n";
      r += field + "NTLM\r\n";
    }
    return r + "Content-Length: 4\r\n\r\ndeny";
  }

  std::string Answer(int AConn, const std::string& ARequest) {
    {
      std::lock_guard<std::mutex> g(FLock);
      FRequestLines.push_back(ARequest.substr(0, ARequest.find("\r\n")));
    }
    const std::string auth = Header(ARequest, FProxy ? "proxy-authorization" : "authorization");
    if (auth.empty()) {
      Event(AConn, "none");
      return Unauthorized("");
    }
    const size_t space = auth.find(' ');
    const std::string scheme = auth.substr(0, space);
    const bool negotiate = scheme == "Negotiate";
    if (space == std::string::npos || (scheme != "NTLM" && !negotiate)) {
      Event(AConn, "bad");
      return "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n";
    }
    const std::u16string b64(auth.begin() + space + 1, auth.end());
    Bytes token = TclEncoder::DecodeBase64(b64);
    // Negotiate carries NTLM in SPNEGO (Windows) or bare (Wine); the answer takes the same form.
    bool wrapped = false;
    if (negotiate) token = NtlmOf(token, &wrapped);
    if (token.size() >= 16 && NtlmTypeOf(token) == 1) {
      Event(AConn, "negotiate");
      FChallenged[AConn] = true;
      Bytes out = BuildNtlmChallenge(GrantedFlags(token), kServerChallenge, Utf16LE(u"SRVDOM"),
                                     BuildAvPairs({{MsvAvNbDomainName, Utf16LE(u"SRVDOM")},
                                                   {MsvAvNbComputerName, Utf16LE(u"SRV")},
                                                   {MsvAvTimestamp, Bytes{1, 2, 3, 4, 5, 6, 7, 1}}}));
      if (wrapped) {
        SpnegoResp r;
        r.NegState = SpnegoNegState::AcceptIncomplete;
        r.SupportedMech = kNtlmMechOid;
        r.ResponseToken = out;
        out = BuildSpnegoResp(r);
      }
      return Unauthorized(scheme + " " + rtl::U8(TclEncoder::EncodeBase64(out.data(), out.size())));
    }
    const auto f = ParseNtlmAuthenticate(token.data(), token.size());
    if (!f || !FChallenged[AConn]) {
      Event(AConn, "bad");
      return "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n";
    }
    FChallenged[AConn] = false;
    {
      std::lock_guard<std::mutex> g(FLock);
      FTargetNames.push_back(TargetNameOf(*f));
    }
    const bool ok = ServerAccepts(*f, kServerChallenge, FUser, FDomain, FPassword);
    Event(AConn, ok ? "granted" : "denied");
    if (ok) return "HTTP/1.1 200 OK\r\nContent-Length: 7\r\n\r\ngranted";
    return Unauthorized("");
  }

  static constexpr NtlmChallenge8 kServerChallenge = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
  std::u16string FUser, FDomain, FPassword;
  bool FOfferNegotiate, FProxy;
  std::map<int, bool> FChallenged;  // by connection: NTLM authenticates the connection
  std::mutex FLock;
  std::vector<std::string> FEvents, FRequestLines;
  std::vector<std::u16string> FTargetNames;
  // Last: it answers on its own thread from when it is made until it is gone.
  krvtest::TAnsweringServer FServer{[this](int AConn, const std::string& AHead) { return Answer(AConn, AHead); }};
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

// Through the proxy the origin is a name nobody resolves: only the proxy sees it.
const char* const kProxiedUrl = "http://origin.invalid/secret";

std::string Fetch(netlib::TclHttp& AHttp, const std::string& AUrl) {
  rtl::TMemoryStream body;
  AHttp.Get(rtl::S(AUrl), &body);
  return std::string(reinterpret_cast<const char*>(body.Memory()), static_cast<size_t>(body.Size()));
}

// A client with the credentials for the server, or for the proxy at AServer.
void Aim(netlib::TclHttp& AHttp, TNtlmServer& AServer, bool AProxy, const rtl::String& AUser,
         const rtl::String& APassword) {
  AHttp.SetTimeOut(10000);
  if (!AProxy) {
    AHttp.SetUserName(AUser);
    AHttp.SetPassword(APassword);
    return;
  }
  AHttp.ProxySettings().SetServer(u"127.0.0.1");
  AHttp.ProxySettings().SetPort(AServer.Port());
  AHttp.ProxySettings().SetUserName(AUser);
  AHttp.ProxySettings().SetPassword(APassword);
}

TEST(NtlmOverHttp, HandshakeOnOneKeptAliveConnection) {
  const struct {
    bool proxy, offerNegotiate;
    const char16_t* user;
    const char16_t* password;
  } cases[] = {
      {false, false, u"DOMAIN\\user", u"Password"},
      {false, true, u"DOMAIN\\user", u"Password"},
      {false, false, u"ДОМЕН/Пользователь", u"пароль✓密码"},  // outside Latin-1: travels as UTF-16
      {false, true, u"ДОМЕН/Пользователь", u"пароль✓密码"},
      {true, false, u"DOMAIN\\user", u"Password"},
      {true, true, u"DOMAIN\\user", u"Password"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.proxy ? "proxy, " : "") + (c.offerNegotiate ? "Negotiate, " : "NTLM, ") + rtl::U8(c.user));
    const std::u16string full = c.user;
    const size_t sep = full.find_first_of(u"\\/");
    TNtlmServer server(full.substr(sep + 1), full.substr(0, sep), c.password, c.offerNegotiate, c.proxy);
    netlib::TclHttp http;
    Aim(http, server, c.proxy, c.user, c.password);
    EXPECT_EQ(Fetch(http, c.proxy ? kProxiedUrl : server.Url()), "granted");
    const auto events = server.Events();
    SCOPED_TRACE(Joined(events));
    ASSERT_EQ(Count(events, "granted"), 1);
    EXPECT_EQ(Count(events, "bad"), 0);
    // NTLM authenticates the connection: challenge and answer share one.
    EXPECT_EQ(ConnOf(events, "negotiate"), ConnOf(events, "granted"));
    if (c.proxy) {
      EXPECT_EQ(server.RequestLines().back(), "GET http://origin.invalid/secret HTTP/1.1");
    }
#ifndef _WIN32
    // Our provider names the service it answers; secur32 under Wine leaves it to ntlm_auth.
    if (!c.proxy) {
      EXPECT_EQ(server.TargetNames(), std::vector<std::u16string>{u"HTTP/127.0.0.1"});
    }
#endif
  }
}

TEST(NtlmOverHttp, WrongPasswordEndsInTheStatusAfterTheRetries) {
  for (bool proxy : {false, true}) {
    SCOPED_TRACE(proxy ? "proxy" : "server");
    TNtlmServer server(u"user", u"DOMAIN", u"right", true, proxy);
    netlib::TclHttp http;
    Aim(http, server, proxy, u"DOMAIN\\user", u"wrong");
    try {
      Fetch(http, proxy ? kProxiedUrl : server.Url());
      ADD_FAILURE() << "no error";
    } catch (const netlib::EclHttpError& e) {
      EXPECT_EQ(e.ErrorCode(), proxy ? 407 : 401);
    }
    const auto events = server.Events();
    EXPECT_GE(Count(events, "denied"), 1) << Joined(events);
    EXPECT_EQ(Count(events, "granted"), 0);
    EXPECT_LE(Count(events, "negotiate"), http.MaxAuthRetries() + 1) << Joined(events);
  }
}

TEST(NtlmOverHttp, FetchToolWithDomainUser) {
  for (bool negotiate : {false, true}) {
    TNtlmServer server(u"user", u"DOMAIN", u"pass:word", negotiate);
    const krvtest::THostRun r = krvtest::RunFetchTool({}, {"-u", "DOMAIN\\user:pass:word", server.Url()});
    EXPECT_EQ(r.Code, 0) << r.Err;
    EXPECT_EQ(r.Out, "granted");
    EXPECT_EQ(Count(server.Events(), "granted"), 1) << Joined(server.Events());
  }
  TNtlmServer server(u"user", u"DOMAIN", u"pass", false);
  const krvtest::THostRun r = krvtest::RunFetchTool({}, {"-u", "DOMAIN\\user:bad", server.Url()});
  EXPECT_EQ(r.Code, 1);
  EXPECT_NE(r.Err.find("(code 401)"), std::string::npos) << r.Err;
}

}  // namespace

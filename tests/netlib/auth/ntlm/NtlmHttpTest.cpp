// End to end: the HTTP client and krv-fetch against a loopback server (or proxy) that runs the
// NTLM (or Negotiate) handshake itself and checks the NTLMv2 proof with the password it knows.
// The client's provider is ours on Linux and the system's (secur32) on Windows; the server reads
// both with our message code, SPNEGO-wrapped or raw NTLM in Negotiate (as Wine sends it).
#include <gtest/gtest.h>

#include "NtlmTestServer.h"
#include "netlib/http/clHttp.h"
#include "rtl/SysUtils.h"
#include "tests/tools/FetchToolRun.h"

using namespace krvtest;

namespace {

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
    // Our provider names the service it answers, the proxy itself for a proxy's challenge (never
    // origin.invalid); secur32 under Wine leaves it to ntlm_auth.
    EXPECT_EQ(server.TargetNames(), std::vector<std::u16string>{u"HTTP/127.0.0.1"});
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
    // One failed logon: the same credentials would only be refused again, and lock the account.
    EXPECT_EQ(Count(events, "denied"), 1) << Joined(events);
  }
}

// Each redirect through the proxy opens a new connection, which authenticates again: the bound on
// the proxy's challenges holds for each URL, so only MaxRedirects ends the chain.
TEST(NtlmOverHttp, EveryRedirectThroughTheProxyAuthenticatesAgain) {
  TNtlmServer proxy(u"user", u"DOMAIN", u"pw", false, true, "HTTP/1.1 302 Found\r\nLocation: /next\r\nContent-Length: 0\r\n\r\n");
  netlib::TclHttp http;
  Aim(http, proxy, true, u"DOMAIN\\user", u"pw");
  http.SetMaxRedirects(3);
  try {
    Fetch(http, kProxiedUrl);
    ADD_FAILURE() << "no error";
  } catch (const netlib::EclHttpError& e) {
    EXPECT_EQ(e.ErrorCode(), 302) << rtl::U8(e.Message());
  }
  EXPECT_EQ(Count(proxy.Events(), "granted"), 4) << Joined(proxy.Events());
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

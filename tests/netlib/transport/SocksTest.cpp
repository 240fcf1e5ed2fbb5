// SOCKS 4, 4A and 5 through the TCP client against SOCKS servers run by the test on loopback:
// every request is checked byte for byte, the replies are scripted.
#include <gtest/gtest.h>

#include <mutex>
#include <string>

#include "AbortTimer.h"
#include "LoopbackServer.h"
#include "netlib/transport/clSocks.h"
#include "netlib/transport/clTcpClient.h"

using namespace netlib;
using transport_test::TLoopbackServer;

namespace {

std::string B(std::initializer_list<int> bytes) {
  std::string s;
  for (int b : bytes) s.push_back(char(b));
  return s;
}
std::string PortBytes(int port) { return B({(port >> 8) & 0xFF, port & 0xFF}); }
std::string Hex(const std::string& s) {
  static const char* d = "0123456789abcdef";
  std::string r;
  for (unsigned char c : s) {
    r += d[c >> 4];
    r += d[c & 15];
    r += ' ';
  }
  return r;
}

constexpr int TargetPort = 8080;

// One SOCKS peer: each step expects exact bytes from the client and/or sends a reply.
struct TStep {
  std::string Expect;
  std::string Reply;
  int PauseMs = 0;  // before the reply
};

class TSocksServer {
 public:
  explicit TSocksServer(std::vector<TStep> steps, bool ipv6 = false, bool holdOpen = true)
      : FServer(
            [this, steps, holdOpen](int& fd) {
              for (const TStep& s : steps) {
                if (!s.Expect.empty() && !ExpectBytes(fd, s.Expect)) return;
                if (s.PauseMs) TLoopbackServer::SleepMs(s.PauseMs);
                if (!s.Reply.empty()) TLoopbackServer::SendAll(fd, s.Reply.data(), s.Reply.size());
              }
              if (holdOpen) Tail = TLoopbackServer::ReadToEnd(fd);
            },
            ipv6) {}

  int Port() const { return FServer.Port(); }
  rtl::String Host() const { return FServer.Host(); }
  void Join() { FServer.Join(); }
  std::string Errors() {
    std::lock_guard<std::mutex> l(FLock);
    return FErrors;
  }
  std::string Tail;  // what the client sent after the script, until it closed

 private:
  bool ExpectBytes(int fd, const std::string& want) {
    std::string got;
    char buf[512];
    while (got.size() < want.size()) {
      tsock::ssize_t n = tsock::Recv(fd, buf, std::min(sizeof(buf), want.size() - got.size()));
      if (n <= 0) break;
      got.append(buf, size_t(n));
    }
    if (got == want) return true;
    std::lock_guard<std::mutex> l(FLock);
    FErrors += "got " + Hex(got) + "want " + Hex(want) + "\n";
    return false;
  }
  std::mutex FLock;
  std::string FErrors;
  TLoopbackServer FServer;
};

class TSocksClient : public TclTcpClient {
 protected:
  int GetDefaultPort() const override { return 80; }
};

void Aim(TSocksClient& c, TSocksServer& s, TclFirewallType type, const rtl::String& target,
         const rtl::String& user = u"", const rtl::String& password = u"", bool needResolve = true) {
  c.SetServer(target);
  c.SetPort(TargetPort);
  c.SetTimeOut(3000);
  TclFirewallSettings fw;
  fw.SetFirewallType(type);
  fw.SetServer(s.Host());
  fw.SetPort(s.Port());
  fw.SetUserName(user);
  fw.SetPassword(password);
  fw.SetNeedResolveIP(needResolve);
  c.SetFirewallSettings(fw);
}

std::string ReadOnce(TSocksClient& c) {
  rtl::TMemoryStream data;
  c.Connection().ReadData(&data);
  return std::string(reinterpret_cast<const char*>(data.Memory()), size_t(data.Size()));
}

const std::string Socks5Ok = B({5, 0, 0, 1, 0, 0, 0, 0, 0, 0});
const std::string Socks4Ok = B({0, 90, 0, 0, 0, 0, 0, 0});
// SOCKS 4 request for 10.0.0.1 without user ID.
const std::string Socks4To10001 = B({4, 1}) + PortBytes(TargetPort) + B({10, 0, 0, 1, 0});

}  // namespace

TEST(FirewallSettings, DefaultsAssignAndClear) {
  TclFirewallSettings a;
  EXPECT_EQ(a.FirewallType(), ftSocks4);
  EXPECT_EQ(a.Port(), 1080);
  EXPECT_TRUE(a.NeedResolveIP());
  EXPECT_TRUE(a.Server().empty() && a.UserName().empty() && a.Password().empty());
  TclFirewallSettings b;
  b.SetFirewallType(ftSocks5);
  b.SetServer(u"fw");
  b.SetPort(9050);
  b.SetUserName(u"u");
  b.SetPassword(u"p");
  b.SetNeedResolveIP(false);
  a.Assign(b);
  EXPECT_EQ(a.FirewallType(), ftSocks5);
  EXPECT_EQ(a.Server(), u"fw");
  EXPECT_EQ(a.Port(), 9050);
  EXPECT_EQ(a.UserName(), u"u");
  EXPECT_EQ(a.Password(), u"p");
  EXPECT_FALSE(a.NeedResolveIP());
  a.Clear();
  EXPECT_EQ(a.FirewallType(), ftSocks4);
  EXPECT_EQ(a.Port(), 1080);
  EXPECT_TRUE(a.NeedResolveIP());
  EXPECT_TRUE(a.Server().empty() && a.UserName().empty() && a.Password().empty());
}

// Handshakes that succeed, then a small echo through the tunnel in both directions.
TEST(Socks, HandshakesAreByteExactAndTheTunnelCarriesData) {
  struct TCase {
    const char* Name;
    TclFirewallType Type;
    rtl::String Target, User, Password;
    bool NeedResolve;
    bool Ipv6Firewall;
    std::vector<TStep> Steps;
  };
  const std::string p = PortBytes(TargetPort);
  TCase cases[] = {
      {"socks4 address literal", ftSocks4, u"10.1.2.3", u"joe", u"", true, false,
       {{B({4, 1}) + p + B({10, 1, 2, 3}) + "joe" + B({0}), Socks4Ok}}},
      {"socks4a host name", ftSocks4, u"localhost", u"joe", u"", true, false,
       {{B({4, 1}) + p + B({0, 0, 0, 1}) + "joe" + B({0}) + "localhost" + B({0}), Socks4Ok}}},
      {"socks4 resolved here", ftSocks4, u"localhost", u"", u"", false, false,
       {{B({4, 1}) + p + B({127, 0, 0, 1, 0}), Socks4Ok}}},
      {"socks5 no user, literal", ftSocks5, u"10.1.2.3", u"", u"", true, false,
       {{B({5, 1, 0}), B({5, 0})}, {B({5, 1, 0, 1, 10, 1, 2, 3}) + p, Socks5Ok}}},
      {"socks5 user, host name", ftSocks5, u"localhost", u"alice", u"secret", true, false,
       {{B({5, 1, 2}), B({5, 2})},
        {B({1, 5}) + "alice" + B({6}) + "secret", B({1, 0})},
        {B({5, 1, 0, 3, 9}) + "localhost" + p, Socks5Ok}}},
      // Credentials go out in the system code page: the euro sign is 0x80 there, not its low byte.
      {"socks5 credentials beyond ASCII", ftSocks5, u"10.1.2.3", u"\u20acuro", u"caf\u00e9", true, false,
       {{B({5, 1, 2}), B({5, 2})},
        {B({1, 4, 0x80}) + "uro" + B({4}) + "caf" + B({0xE9}), B({1, 0})},
        {B({5, 1, 0, 1, 10, 1, 2, 3}) + p, Socks5Ok}}},
      {"socks5 resolved here", ftSocks5, u"localhost", u"", u"", false, false,
       {{B({5, 1, 0}), B({5, 0})}, {B({5, 1, 0, 1, 127, 0, 0, 1}) + p, Socks5Ok}}},
      {"socks5 ipv6 target, firewall on ::1", ftSocks5, u"::1", u"", u"", true, true,
       {{B({5, 1, 0}), B({5, 0})},
        {B({5, 1, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}) + p,
         B({5, 0, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0x1F, 0x90})}}},
  };
  for (TCase& t : cases) {
    SCOPED_TRACE(t.Name);
    t.Steps.push_back({"ping", "pong"});
    TSocksServer server(t.Steps, t.Ipv6Firewall);
    TSocksClient c;
    Aim(c, server, t.Type, t.Target, t.User, t.Password, t.NeedResolve);
    c.Open();
    ASSERT_TRUE(c.Active());
    EXPECT_EQ(c.Connection().PeerPort(), server.Port());  // connected to the firewall
    auto* socks = dynamic_cast<TclSocksNetworkStream*>(c.Connection().NetworkStream());
    ASSERT_NE(socks, nullptr);
    EXPECT_EQ(socks->State(), csData);
    c.Connection().WriteString(u"ping");
    EXPECT_EQ(ReadOnce(c), "pong");
    c.Close();
    server.Join();
    EXPECT_EQ(server.Errors(), "");
    EXPECT_EQ(server.Tail, "");
  }
}

TEST(Socks, RefusalsAndBadRepliesRaiseTheirMessageAndCode) {
  struct TCase {
    TclFirewallType Type;
    rtl::String User;
    std::vector<std::string> Replies;  // one per request
    rtl::String Message;
    int Code;
  };
  auto s4 = [](int v, int code) { return std::vector<std::string>{B({v, code, 0, 0, 0, 0, 0, 0})}; };
  auto s5 = [](int code, int atyp = 1) {
    return std::vector<std::string>{B({5, 0}), B({5, code, 0, atyp, 0, 0, 0, 0, 0, 0})};
  };
  std::vector<TCase> cases = {
      {ftSocks4, u"", s4(0, 91), u"SOCKS error: request rejected or failed", 91},
      {ftSocks4, u"", s4(0, 92),
       u"SOCKS error: request rejected becasue SOCKS server cannot connect to identd on the client", 92},
      {ftSocks4, u"", s4(0, 93),
       u"SOCKS error: request rejected because the client program and identd report different user-ids", 93},
      {ftSocks4, u"", s4(0, 0), u"Unknown SOCKS error occured", 0},
      {ftSocks4, u"", s4(0, 200), u"Unknown SOCKS error occured", 200},
      {ftSocks4, u"", s4(4, 90), SocksInvalidReply, 90},  // wrong version byte
      {ftSocks5, u"", s5(1), u"General SOCKS server failure", 1},
      {ftSocks5, u"", s5(2), u"SOCKS error: connection not allowed by ruleset", 2},
      {ftSocks5, u"", s5(3), u"SOCKS error: Network unreachable", 3},
      {ftSocks5, u"", s5(4), u"SOCKS error: Host unreachable", 4},
      {ftSocks5, u"", s5(5), u"SOCKS error: Connection refused", 5},
      {ftSocks5, u"", s5(6), u"SOCKS error: TTL expired", 6},
      {ftSocks5, u"", s5(7), u"SOCKS error: Command not supported", 7},
      {ftSocks5, u"", s5(8), u"SOCKS error: Address type not supported", 8},
      {ftSocks5, u"", s5(9), u"Unknown SOCKS error occured", 9},
      {ftSocks5, u"", s5(255), u"Unknown SOCKS error occured", 255},
      {ftSocks5, u"", s5(0, 2), SocksInvalidReply, 2},  // unknown address type
      {ftSocks5, u"", s5(0, 0), SocksInvalidReply, 0},
      {ftSocks5, u"", {B({5, 0}), B({4, 0, 0, 1, 0, 0, 0, 0, 0, 0})}, SocksInvalidReply, 0},
      {ftSocks5, u"", {B({5, 255})}, u"SOCKS error: No acceptable authentication methods", 255},
      {ftSocks5, u"", {B({5, 1})}, u"SOCKS error: No acceptable authentication methods", 1},
      {ftSocks5, u"", {B({4, 0})}, SocksInvalidReply, 0},
      {ftSocks5, u"bob", {B({5, 2}), B({1, 1})}, u"SOCKS error: authentication failed", 1},
      {ftSocks5, u"bob", {B({5, 2}), B({5, 0})}, u"SOCKS error: authentication failed", 0},
  };
  for (TCase& t : cases) {
    SCOPED_TRACE(rtl::U8(t.Message) + " " + std::to_string(t.Code));
    std::vector<TStep> steps;
    for (auto& r : t.Replies) steps.push_back({"", r});
    TSocksServer server(steps);
    TSocksClient c;
    Aim(c, server, t.Type, u"10.0.0.1", t.User, u"pw");
    bool raised = false;
    try {
      c.Open();
    } catch (const EclSocksFirewallError& e) {
      raised = true;
      EXPECT_EQ(e.Message(), t.Message);
      EXPECT_EQ(e.ErrorCode(), t.Code);
    }
    EXPECT_TRUE(raised);
    EXPECT_FALSE(c.Active());
    server.Join();
  }
}

// The reply's bound address may be IPv4, IPv6 or a name; no reply byte may leak into the tunnel,
// and what the target sends right after the reply reaches the caller.
TEST(Socks, BytesAfterTheReplyReachTheCaller) {
  std::string v6(16, '\0');
  std::string replies[] = {
      Socks5Ok,
      B({5, 0, 0, 4}) + v6 + B({0, 80}),
      B({5, 0, 0, 3, 0, 0, 80}),
      B({5, 0, 0, 3, 5}) + "proxy" + B({0, 80}),
  };
  for (auto& r : replies) {
    SCOPED_TRACE(Hex(r));
    TSocksServer server({{B({5, 1, 0}), B({5, 0})}, {"", r + "WELCOME"}});
    TSocksClient c;
    Aim(c, server, ftSocks5, u"10.0.0.1");
    c.Open();
    EXPECT_EQ(ReadOnce(c), "WELCOME");
    c.Close();
    server.Join();
  }
  // SOCKS 4 likewise
  TSocksServer server({{"", Socks4Ok + "WELCOME"}});
  TSocksClient c;
  Aim(c, server, ftSocks4, u"10.0.0.1");
  c.Open();
  EXPECT_EQ(ReadOnce(c), "WELCOME");
}

TEST(Socks, ReplyInPiecesIsParsedOnceComplete) {
  TSocksServer server({{B({5, 1, 0}), B({5, 0})},
                       {"", Socks5Ok.substr(0, 4)},
                       {"", Socks5Ok.substr(4) + "DATA", 150}});
  TSocksClient c;
  Aim(c, server, ftSocks5, u"10.0.0.1");
  c.Open();
  EXPECT_TRUE(c.Active());
  EXPECT_EQ(ReadOnce(c), "DATA");
}

TEST(Socks, ReplyThatNeverCompletesTimesOut) {
  for (TclFirewallType type : {ftSocks4, ftSocks5}) {
    std::vector<TStep> steps = type == ftSocks4 ? std::vector<TStep>{{"", Socks4Ok.substr(0, 5)}}
                                                : std::vector<TStep>{{"", B({5, 0})}, {"", Socks5Ok.substr(0, 4)}};
    TSocksServer server(steps);
    TSocksClient c;
    Aim(c, server, type, u"10.0.0.1");
    c.SetTimeOut(300);
    int code = 0;
    try {
      c.Open();
    } catch (const EclSocketError& e) {
      code = e.ErrorCode();
    }
    EXPECT_EQ(code, TimeoutOccuredCode);
    EXPECT_FALSE(c.Active());
  }
}

TEST(Socks, ServerClosingDuringTheHandshakeFailsTheOpen) {
  TSocksServer server({{B({5, 1, 0}), B({5, 0})}, {B({5, 1, 0, 1, 10, 0, 0, 1}) + PortBytes(TargetPort), B({5, 0, 0})}},
                      false, false);
  TSocksClient c;
  Aim(c, server, ftSocks5, u"10.0.0.1");
  EXPECT_THROW(c.Open(), EclSocketError);
  EXPECT_FALSE(c.Active());
}

// In the tunnel the read limit, the first read and the peer's close behave as on a direct stream.
TEST(Socks, TunnelKeepsReadLimitFirstReadAndClose) {
  {
    // More than the handshake's own byte count, so only the tunnel's counter can stop the read.
    const std::string sent = transport_test::Pattern(40);
    TSocksServer server({{"", Socks4Ok}, {"", sent}});
    TSocksClient c;
    Aim(c, server, ftSocks4, u"10.0.0.1");
    c.Open();
    c.Connection().SetIsReadUntilClose(true);
    c.Connection().InitProgress(0, 0);
    c.Connection().SetBytesToProceed(20);
    rtl::TMemoryStream data;
    c.Connection().ReadData(&data);  // ends at the limit, not at the time-out
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(data.Memory()), size_t(data.Size())), sent.substr(0, 20));
    EXPECT_EQ(c.Connection().BytesProceed(), 20);
    c.Connection().SetBytesToProceed(-1);
  }
  {
    TSocksServer server({{"", Socks4Ok}, {"", "LATE", 150}});
    TSocksClient c;
    Aim(c, server, ftSocks4, u"10.0.0.1");
    c.Open();
    EXPECT_EQ(ReadOnce(c), "LATE");  // the first read waits for data instead of coming back empty
  }
  {
    TSocksServer server({{Socks4To10001, Socks4Ok}, {"", "BYE"}}, false, false);
    TSocksClient c;
    Aim(c, server, ftSocks4, u"10.0.0.1");
    c.Open();
    c.Connection().SetIsReadUntilClose(true);
    EXPECT_EQ(ReadOnce(c), "BYE");
    EXPECT_FALSE(c.Active());
  }
}

// Settings and targets the request cannot carry are refused before anything is sent: a name or
// password cut to its low bytes would be another one.
TEST(Socks, RequestsThatCannotBeSentAreRefused) {
  struct TCase {
    TclFirewallType Type;
    rtl::String Target, User, Password;
    rtl::String Message;
  };
  rtl::String longText(256, u'x');
  TCase cases[] = {
      {ftSocks5, u"10.0.0.1", longText, u"pw", SocksValueTooLong},
      {ftSocks5, u"10.0.0.1", u"bob", longText, SocksValueTooLong},
      {ftSocks5, longText, u"", u"", SocksValueTooLong},
      {ftSocks5, u"host\u0141", u"", u"", SocksInvalidCharacter},
      {ftSocks5, u"10.0.0.1", u"b\u0141b", u"pw", SocksInvalidCharacter},
      {ftSocks5, u"10.0.0.1", u"bob", u"p\u0101ss", SocksInvalidCharacter},
      {ftSocks5, u"10.0.0.1", u"bob", u"\U0001F600", SocksInvalidCharacter},
      {ftSocks5, u"10.0.0.1", u"\u0080", u"pw", SocksInvalidCharacter},  // not in the code page
      {ftSocks4, u"10.0.0.1", rtl::String(u"a\0b", 3), u"", SocksInvalidCharacter},
      {ftSocks4, u"10.0.0.1", u"j\u0141e", u"", SocksInvalidCharacter},
      {ftSocks4, u"host\u0141", u"", u"", SocksInvalidCharacter},
      {ftSocks4, u"::1", u"", u"", Socks4NoIPv6},
  };
  for (TCase& t : cases) {
    SCOPED_TRACE(rtl::U8(t.Message));
    // SOCKS 5 answers the hello so that the failing request is the second one.
    std::vector<TStep> steps;
    if (t.Type == ftSocks5) steps.push_back({"", B({5, t.User.empty() ? 0 : 2})});
    TSocksServer server(steps);
    TSocksClient c;
    Aim(c, server, t.Type, t.Target, t.User, t.Password);
    bool raised = false;
    try {
      c.Open();
    } catch (const EclSocksFirewallError& e) {
      raised = true;
      EXPECT_EQ(e.Message(), t.Message);
      EXPECT_EQ(e.ErrorCode(), SocksInvalidRequestCode);
    }
    EXPECT_TRUE(raised);
    server.Join();
    EXPECT_EQ(Hex(server.Tail), "");  // not even the hello went out
  }
}

// Abort while the SOCKS server keeps the handshake waiting: the open ends at once with the abort
// error, not with the time-out.
TEST(Socks, AbortEndsTheHandshakeSoon) {
  for (TclFirewallType type : {ftSocks4, ftSocks5}) {
    TSocksServer server({{"", "", 0}});  // accepts, reads what comes, answers nothing
    TSocksClient c;
    Aim(c, server, type, u"10.0.0.1");
    c.SetTimeOut(20000);
    int code = 0;
    int64_t afterAbort;
    {
      transport_test::TAbortTimer abortTimer(c.Connection(), 150);
      try {
        c.Open();
      } catch (const EclSocketError& e) {
        code = e.ErrorCode();
      }
      afterAbort = abortTimer.MsSinceAbort();
    }
    EXPECT_EQ(code, AbortedCode) << type;
    EXPECT_GE(afterAbort, 0) << type;
    EXPECT_LT(afterAbort, 1000) << type;
    EXPECT_FALSE(c.Active());
    server.Join();
    EXPECT_EQ(server.Tail.substr(0, 1), type == ftSocks4 ? B({4}) : B({5}));  // only the first request
  }
}

TEST(Socks, WithoutFirewallServerTheStreamIsPlain) {
  TLoopbackServer server([](int& fd) { TLoopbackServer::SendText(fd, "direct"); });
  TSocksClient c;
  c.SetServer(u"127.0.0.1");
  c.SetPort(server.Port());
  c.SetTimeOut(3000);
  c.FirewallSettings().SetUserName(u"ignored");
  c.Open();
  EXPECT_EQ(dynamic_cast<TclSocksNetworkStream*>(c.Connection().NetworkStream()), nullptr);
  EXPECT_EQ(ReadOnce(c), "direct");
}

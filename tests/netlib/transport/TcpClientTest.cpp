// The TCP client component: settings and their change notification, open and close with their
// events, the keep-alive timer and the TLS stream choice.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>

#include "LoopbackServer.h"
#include "netlib/transport/clTcpClientTls.h"
#include "platform/Sockets.h"

using namespace netlib;
using transport_test::TLoopbackServer;

namespace {

template <typename F>
int CodeOf(F f) {
  try {
    f();
  } catch (const EclSocketError& e) {
    return e.ErrorCode();
  }
  return 0;
}

class TTestClient : public TclTcpClientTls {
 public:
  TTestClient() {
    OnChanged = [this](void* s) {
      EXPECT_EQ(s, this);
      ++Changes;
    };
    OnOpen = [this](void*) { ++Opens; };
    OnClose = [this](void*) { ++Closes; };
  }
  ~TTestClient() override { OnChanged = nullptr; }
  int Changes = 0, Opens = 0, Closes = 0;
  std::atomic<int> KeepAlives{0};
  bool ThrowInKeepAlive = false;
  std::function<void()> KeepAliveAction;
  using TclTcpClientTls::CreateNetworkStream;

 protected:
  int GetDefaultPort() const override { return 7; }
  void DoKeepAlive() override {
    ++KeepAlives;
    if (KeepAliveAction) KeepAliveAction();
    if (ThrowInKeepAlive) throw EclSocketError(u"keep-alive failed", 1);
  }
};

TEST(TcpClient, NewComponentDefaults) {
  int before = platform::WsaStartupCount();
  {
    TTestClient c;
    EXPECT_EQ(platform::WsaStartupCount(), before + 1);
    EXPECT_EQ(c.Port(), 7);
    EXPECT_EQ(c.TimeOut(), 60000);
    EXPECT_EQ(c.BatchSize(), 8192);
    EXPECT_EQ(c.BitsPerSec(), 0);
    EXPECT_EQ(c.KeepAlive(), 0);
    EXPECT_EQ(c.Server(), u"");
    EXPECT_EQ(c.LocalBinding(), u"");
    EXPECT_FALSE(c.Active());
    EXPECT_EQ(c.UseTLS(), ctNone);
    EXPECT_EQ(c.TLSFlags(), TclTlsFlags{tfUseTLS});
    EXPECT_TRUE(c.CertificateFlags().empty());
    EXPECT_EQ(c.CSP(), u"");
    EXPECT_FALSE(c.IsTls());
    EXPECT_EQ(c.Connection().TimeOut(), 60000);
    EXPECT_EQ(c.Changes, 0);
  }
  EXPECT_EQ(platform::WsaStartupCount(), before);
}

// The binding is checked when a component is created: without a required socket function there
// is no component (and no start of the socket library), and the error is not a socket error.
TEST(TcpClient, MissingSocketFunctionFailsTheCreation) {
  platform::TSocketFunctions t = platform::SocketFunctions();
  t.connect = nullptr;
  platform::TSocketFunctions old = platform::ReplaceSocketFunctions(t);
  int before = platform::WsaStartupCount();
  std::string what = "nothing";
  try {
    TTestClient c;
  } catch (const EclSocketError&) {
    what = "a socket error";
  } catch (const rtl::Exception& e) {
    what = e.Message().empty() ? "no text" : "refused";
  }
  platform::ReplaceSocketFunctions(old);
  EXPECT_EQ(what, "refused");
  EXPECT_EQ(platform::WsaStartupCount(), before);
}

TEST(TcpClient, SettersRaiseOnChangedOnlyOnChange) {
  TTestClient c;
  struct TCase {
    const char* name;
    std::function<void()> same, other;
    std::function<bool()> check;
  };
  TCase cases[] = {
      {"Server", [&] { c.SetServer(u""); }, [&] { c.SetServer(u"localhost"); }, [&] { return c.Server() == u"localhost"; }},
      {"Port", [&] { c.SetPort(7); }, [&] { c.SetPort(8080); }, [&] { return c.Port() == 8080; }},
      {"LocalBinding", [&] { c.SetLocalBinding(u""); }, [&] { c.SetLocalBinding(u"127.0.0.1"); },
       [&] { return c.Connection().LocalBinding() == u"127.0.0.1"; }},
      {"BatchSize", [&] { c.SetBatchSize(8192); }, [&] { c.SetBatchSize(65536); },
       [&] { return c.Connection().BatchSize() == 65536; }},
      {"TimeOut", [&] { c.SetTimeOut(60000); }, [&] { c.SetTimeOut(100); }, [&] { return c.Connection().TimeOut() == 100; }},
      {"BitsPerSec", [&] { c.SetBitsPerSec(0); }, [&] { c.SetBitsPerSec(8000); },
       [&] { return c.Connection().BitsPerSec() == 8000; }},
      {"KeepAlive", [&] { c.SetKeepAlive(0); }, [&] { c.SetKeepAlive(1000); }, [&] { return c.KeepAlive() == 1000; }},
      {"UseTLS", [&] { c.SetUseTLS(ctNone); }, [&] { c.SetUseTLS(ctExplicit); }, [&] { return c.UseTLS() == ctExplicit; }},
      {"TLSFlags", [&] { c.SetTLSFlags({tfUseTLS}); }, [&] { c.SetTLSFlags({tfUseTLS, tfUseTLS12}); },
       [&] { return c.TLSFlags().count(tfUseTLS12) == 1; }},
      {"CertificateFlags", [&] { c.SetCertificateFlags({}); }, [&] { c.SetCertificateFlags({cfIgnoreDateInvalid}); },
       [&] { return c.CertificateFlags().size() == 1; }},
      {"CSP", [&] { c.SetCSP(u""); }, [&] { c.SetCSP(u"provider"); }, [&] { return c.CSP() == u"provider"; }},
  };
  for (auto& t : cases) {
    c.Changes = 0;
    t.same();
    EXPECT_EQ(c.Changes, 0) << t.name;
    t.other();
    EXPECT_EQ(c.Changes, 1) << t.name;
    EXPECT_TRUE(t.check()) << t.name;
    t.other();
    EXPECT_EQ(c.Changes, 1) << t.name << " again";
  }
}

TEST(TcpClient, OpenAndCloseRaiseTheirEventsOnce) {
  std::string received;
  TLoopbackServer server([&](int& fd) { received = TLoopbackServer::ReadToEnd(fd); });
  TTestClient c;
  c.SetServer(u"localhost");  // the one name tests may resolve
  c.SetPort(server.Port());
  c.Open();
  EXPECT_TRUE(c.Active());
  EXPECT_EQ(c.Opens, 1);
  c.Open();  // already active: nothing happens
  EXPECT_EQ(c.Opens, 1);
  EXPECT_EQ(c.Connection().PeerIP(), u"127.0.0.1");
  c.Connection().WriteString(u"hello");
  c.Close();
  EXPECT_FALSE(c.Active());
  EXPECT_EQ(c.Closes, 1);
  c.Close();  // closed already: no error, no event
  EXPECT_EQ(c.Closes, 1);
  server.Join();
  EXPECT_EQ(received, "hello");
}

TEST(TcpClient, RefusedOpenLeavesTheComponentClosedWithoutEvents) {
  for (bool v6 : {false, true}) {
    TTestClient c;
    c.SetServer(v6 ? u"::1" : u"127.0.0.1");
    c.SetPort(transport_test::UnusedPort(v6));
    EXPECT_EQ(CodeOf([&] { c.Open(); }), 10061);
    EXPECT_FALSE(c.Active());
    EXPECT_EQ(c.Opens, 0);
    EXPECT_EQ(c.Closes, 0);
    EXPECT_EQ(c.Connection().Socket().Socket(), platform::INVALID_SOCKET);
  }
}

TEST(TcpClient, OpenWithBatchSizeZeroRaisesMinus4) {
  TTestClient c;
  c.SetServer(u"127.0.0.1");
  c.SetPort(transport_test::UnusedPort());
  c.SetBatchSize(0);
  EXPECT_EQ(CodeOf([&] { c.Open(); }), -4);
  EXPECT_FALSE(c.Active());
  EXPECT_EQ(c.Opens, 0);
  EXPECT_EQ(c.Closes, 0);
}

TEST(TcpClient, ResolutionFailureIsRaisedFromOpen) {
  TTestClient c;
  c.SetServer(u"\u4e2d");  // cannot be carried to the resolver: never looked up
  EXPECT_EQ(CodeOf([&] { c.Open(); }), 11001);
  EXPECT_FALSE(c.Active());
}

TEST(TcpClient, KeepAliveTimerRunsDuringWaitsAndSurvivesErrors) {
  std::atomic<bool> go{false};
  TLoopbackServer server([&](int& fd) {
    for (int i = 0; i < 500 && !go; ++i) TLoopbackServer::SleepMs(10);
    TLoopbackServer::SendText(fd, "late");
    TLoopbackServer::ReadToEnd(fd);
  });
  TTestClient c;
  c.SetServer(u"127.0.0.1");
  c.SetPort(server.Port());
  c.SetKeepAlive(30);
  c.ThrowInKeepAlive = true;  // swallowed; the timer goes on
  c.KeepAliveAction = [&] {
    if (c.KeepAlives >= 4) go = true;
  };
  c.Open();
  rtl::TMemoryStream data;
  EXPECT_TRUE(c.Connection().ReadData(&data));
  EXPECT_EQ(data.Size(), 4);
  EXPECT_GE(c.KeepAlives.load(), 4);
  c.Close();
  // Closed: the timer is stopped.
  int after = c.KeepAlives;
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(150);
  while (std::chrono::steady_clock::now() < until) platform::gui::ProcessMessages(), TLoopbackServer::SleepMs(5);
  EXPECT_EQ(c.KeepAlives.load(), after);
}

TEST(TcpClient, TlsStreamChoice) {
  TTestClient c;
  struct {
    TclClientTlsMode mode;
    int port;
    bool tls;
  } cases[] = {
      {ctNone, 7, false},     {ctNone, 443, false},    {ctAutomatic, 7, false}, {ctAutomatic, 443, true},
      {ctImplicit, 7, true},  {ctExplicit, 443, false},
  };
  for (const auto& t : cases) {
    c.SetUseTLS(t.mode);
    c.SetPort(t.port);
    EXPECT_EQ(c.WantsTlsStream(), t.tls) << t.mode << " " << t.port;
    EXPECT_EQ(c.CreateNetworkStream()->IsTls(), t.tls) << t.mode << " " << t.port;
  }
}

TEST(TcpClient, TlsWithASilentPeerFailsClearlyAndStaysClosed) {
  TLoopbackServer server([](int& fd) { TLoopbackServer::ReadToEnd(fd); }, false, 2000);
  TTestClient c;
  c.SetServer(u"127.0.0.1");
  c.SetPort(server.Port());
  c.SetUseTLS(ctImplicit);
  c.SetTimeOut(300);
  try {
    c.Open();
    FAIL() << "no exception";
  } catch (const EclSocketError& e) {
    EXPECT_EQ(e.ErrorCode(), TimeoutOccuredCode);
  }
  EXPECT_FALSE(c.Active());
  EXPECT_EQ(c.Opens, 0);
  // StartTls on a plain connection: the component ends closed, in explicit mode.
  c.SetUseTLS(ctNone);
  c.Open();
  ASSERT_TRUE(c.Active());
  EXPECT_EQ(CodeOf([&] { c.StartTls(); }), TimeoutOccuredCode);
  EXPECT_EQ(c.UseTLS(), ctExplicit);
  EXPECT_FALSE(c.Active());
  EXPECT_EQ(c.Closes, 1);
}

}  // namespace

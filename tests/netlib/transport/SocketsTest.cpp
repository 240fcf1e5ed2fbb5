// The platform socket layer: Winsock numbering and texts, and the network-event record kept by
// the readiness tracker, against real loopback peers.
#include <gtest/gtest.h>

#include "LoopbackServer.h"
#include "platform/LastError.h"
#include "platform/Sockets.h"
#include "platform/gui/MessageLoop.h"

using namespace platform;
using transport_test::TLoopbackServer;

namespace {

TEST(SocketErrors, WindowsTextsOfTheCodesTheTransportTests) {
  struct {
    int code;
    const char* text;
  } cases[] = {
      {10035, "A non-blocking socket operation could not be completed immediately."},
      {10038, "An operation was attempted on something that is not a socket."},
      {10053, "An established connection was aborted by the software in your host machine."},
      {10054, "An existing connection was forcibly closed by the remote host."},
      {10060,
       "A connection attempt failed because the connected party did not properly respond after a period of time, "
       "or established connection failed because connected host has failed to respond."},
      {10061, "No connection could be made because the target machine actively refused it."},
      {10065, "A socket operation was attempted to an unreachable host."},
      {11001, "No such host is known."},
      {11002,
       "This is usually a temporary error during hostname resolution and means that the local server did not "
       "receive a response from an authoritative server."},
      {11003, "A non-recoverable error occurred during a database lookup."},
      {10013, "An attempt was made to access a socket in a way forbidden by its access permissions."},
      {10048, "Only one usage of each socket address (protocol/network address/port) is normally permitted."},
  };
  for (const auto& c : cases) EXPECT_EQ(rtl::U8(SocketErrorMessage(c.code)), c.text) << c.code;
  // Other numbers fall back to the system error texts.
  EXPECT_EQ(SocketErrorMessage(2), WindowsErrorMessage(2));
}

TEST(SocketLibrary, StartupCountsAndRefusesOldVersions) {
  int before = WsaStartupCount();
  EXPECT_EQ(WsaStartup(0x0202), 0);
  EXPECT_EQ(WsaStartupCount(), before + 1);
  EXPECT_NE(WsaStartup(0x0101), 0);
  EXPECT_EQ(WsaStartupCount(), before + 1);
  EXPECT_EQ(WsaCleanup(), 0);
  EXPECT_EQ(WsaStartupCount(), before);
}

// A client socket of the platform layer, tied to a tracker event with a mask.
struct TClient {
  TSocket S = INVALID_SOCKET;
  TSocketEvent* Ev = nullptr;
  TClient() {
    S = Socket(WSA_AF_INET, 1, 6);
    Ev = WsaCreateEvent();
  }
  ~TClient() {
    if (S != INVALID_SOCKET) CloseSocket(S);
    WsaCloseEvent(Ev);
  }
  int ConnectTo(int port) {
    TSocketAddress a;
    a.Family = WSA_AF_INET;
    a.Address[0] = 127;
    a.Address[3] = 1;
    a.Port = static_cast<uint16_t>(port);
    return Connect(S, a);
  }
  // Waits up to ms for the event, then enumerates.
  TNetworkEvents WaitEvents(int ms) {
    Signalled(ms);
    TNetworkEvents rec;
    EXPECT_EQ(WsaEnumNetworkEvents(S, Ev, &rec), 0);
    return rec;
  }
  bool Signalled(int ms) {
    gui::TWaitHandle h(Ev);
    return gui::MsgWaitForMultipleObjects(&h, 1, uint32_t(ms)) == gui::WAIT_OBJECT_0;
  }
  void ConnectedWithMask(int port, long mask) {
    ASSERT_EQ(WsaEventSelect(S, Ev, FD_CONNECT), 0);
    int r = ConnectTo(port);
    if (r != 0) {
      ASSERT_EQ(WsaGetLastError(), WSAEWOULDBLOCK);
      TNetworkEvents rec = WaitEvents(5000);
      ASSERT_TRUE(rec.NetworkEvents & FD_CONNECT);
      ASSERT_EQ(rec.ErrorCode[FD_CONNECT_BIT], 0);
    }
    ASSERT_EQ(WsaEventSelect(S, Ev, mask), 0);
  }
};

TEST(ReadinessTracker, ConnectIsReportedOnceWithItsCode) {
  TLoopbackServer server([](int& fd) { TLoopbackServer::ReadToEnd(fd); });
  TClient c;
  ASSERT_EQ(WsaEventSelect(c.S, c.Ev, FD_CONNECT), 0);
  int r = c.ConnectTo(server.Port());
  if (r != 0) {
    EXPECT_EQ(WsaGetLastError(), WSAEWOULDBLOCK);
    TNetworkEvents rec = c.WaitEvents(5000);
    EXPECT_EQ(rec.NetworkEvents, FD_CONNECT);
    EXPECT_EQ(rec.ErrorCode[FD_CONNECT_BIT], 0);
  }
  // Never again, and nothing to wake a wait.
  EXPECT_FALSE(c.Signalled(50));
  EXPECT_EQ(c.WaitEvents(0).NetworkEvents, 0);
}

TEST(ReadinessTracker, RefusedConnectCarriesConnectionRefused) {
  int port = transport_test::UnusedPort();
  TClient c;
  ASSERT_EQ(WsaEventSelect(c.S, c.Ev, FD_CONNECT), 0);
  int r = c.ConnectTo(port);
  ASSERT_EQ(r, SOCKET_ERROR);
  if (WsaGetLastError() == WSAEWOULDBLOCK) {
    TNetworkEvents rec = c.WaitEvents(5000);
    EXPECT_EQ(rec.NetworkEvents, FD_CONNECT);
    EXPECT_EQ(rec.ErrorCode[FD_CONNECT_BIT], WSAECONNREFUSED);
  } else {
    EXPECT_EQ(WsaGetLastError(), WSAECONNREFUSED);
  }
}

TEST(ReadinessTracker, WriteAtConnectThenOnlyAfterABlockedSend) {
  std::atomic<bool> drain{false};
  std::atomic<size_t> got{0};
  TLoopbackServer server([&](int& fd) {
    while (!drain) TLoopbackServer::SleepMs(5);
    got = TLoopbackServer::ReadToEnd(fd).size();
  });
  TClient c;
  c.ConnectedWithMask(server.Port(), FD_READ | FD_WRITE | FD_CLOSE);
  TNetworkEvents rec = c.WaitEvents(2000);
  EXPECT_EQ(rec.NetworkEvents, FD_WRITE);
  // Writable still, but not reported on every wait.
  EXPECT_FALSE(c.Signalled(50));
  EXPECT_EQ(c.WaitEvents(0).NetworkEvents, 0);
  // Fill the buffers until a send would block.
  std::string chunk(65536, 'x');
  size_t sent = 0;
  int blocked = 0;
  for (int i = 0; i < 100000 && !blocked; ++i) {
    int n = Send(c.S, chunk.data(), static_cast<int>(chunk.size()));
    if (n > 0) sent += static_cast<size_t>(n);
    else blocked = WsaGetLastError();
  }
  ASSERT_EQ(blocked, WSAEWOULDBLOCK);
  drain = true;
  rec = c.WaitEvents(5000);
  EXPECT_TRUE(rec.NetworkEvents & FD_WRITE);
  Shutdown(c.S, 1);
  server.Join();
  EXPECT_EQ(got.load(), sent);
}

TEST(ReadinessTracker, ReadIsReArmedOnlyByAReceive) {
  TLoopbackServer server([](int& fd) {
    TLoopbackServer::SendText(fd, "0123456789");
    TLoopbackServer::ReadToEnd(fd);
  });
  TClient c;
  c.ConnectedWithMask(server.Port(), FD_READ | FD_CLOSE);
  TNetworkEvents rec = c.WaitEvents(5000);
  EXPECT_EQ(rec.NetworkEvents, FD_READ);
  // The data is still there, but without a receive nothing more is reported.
  EXPECT_FALSE(c.Signalled(50));
  EXPECT_EQ(c.WaitEvents(0).NetworkEvents, 0);
  char buf[4];
  ASSERT_EQ(Recv(c.S, buf, 4), 4);
  rec = c.WaitEvents(1000);
  EXPECT_EQ(rec.NetworkEvents, FD_READ);
  char rest[16];
  EXPECT_EQ(Recv(c.S, rest, sizeof(rest)), 6);
  EXPECT_EQ(Recv(c.S, rest, sizeof(rest)), SOCKET_ERROR);
  EXPECT_EQ(WsaGetLastError(), WSAEWOULDBLOCK);
  EXPECT_FALSE(c.Signalled(50));
  Shutdown(c.S, 1);
}

TEST(ReadinessTracker, OrderlyCloseComesOnlyAfterTheData) {
  std::string payload = transport_test::Pattern(3000);
  TLoopbackServer server([&](int& fd) { TLoopbackServer::SendText(fd, payload); });  // then closes
  TClient c;
  c.ConnectedWithMask(server.Port(), FD_READ | FD_CLOSE);
  server.Join();  // data and close are both waiting before the client looks
  std::string got;
  long closeSeen = 0;
  for (int round = 0; round < 100 && !closeSeen; ++round) {
    TNetworkEvents rec = c.WaitEvents(2000);
    ASSERT_NE(rec.NetworkEvents, 0) << "round " << round;
    if (rec.NetworkEvents & FD_READ) {
      EXPECT_FALSE(rec.NetworkEvents & FD_CLOSE);
      char buf[1000];  // less than all of it: close must wait for the rest
      int n = Recv(c.S, buf, sizeof(buf));
      ASSERT_GT(n, 0);
      got.append(buf, static_cast<size_t>(n));
    }
    if (rec.NetworkEvents & FD_CLOSE) {
      closeSeen = 1;
      EXPECT_EQ(rec.ErrorCode[FD_CLOSE_BIT], 0);
    }
  }
  EXPECT_EQ(closeSeen, 1);
  EXPECT_EQ(got, payload);
  // Reported once; the socket at its end does not make waits spin.
  EXPECT_FALSE(c.Signalled(50));
  EXPECT_EQ(c.WaitEvents(0).NetworkEvents, 0);
}

TEST(ReadinessTracker, ResetIsReportedWithItsError) {
  TLoopbackServer server([](int& fd) {
    TLoopbackServer::SleepMs(50);
    TLoopbackServer::Reset(fd);
  });
  TClient c;
  c.ConnectedWithMask(server.Port(), FD_READ | FD_CLOSE);
  server.Join();
  TNetworkEvents rec = c.WaitEvents(5000);
  ASSERT_EQ(rec.NetworkEvents, FD_CLOSE);
  EXPECT_EQ(rec.ErrorCode[FD_CLOSE_BIT], WSAECONNRESET);
}

TEST(SocketOperations, SendToAClosedPeerRaisesNoSignal) {
  TLoopbackServer server([](int& fd) {});
  TClient c;
  c.ConnectedWithMask(server.Port(), FD_READ | FD_WRITE | FD_CLOSE);
  server.Join();
  std::string chunk(4096, 'y');
  int code = 0;
  // The first sends may still be taken; then the reset turns into an error, never a SIGPIPE.
  for (int i = 0; i < 200 && code == 0; ++i) {
    if (Send(c.S, chunk.data(), static_cast<int>(chunk.size())) == SOCKET_ERROR) code = WsaGetLastError();
    else TLoopbackServer::SleepMs(5);
  }
  EXPECT_TRUE(code == WSAECONNABORTED || code == WSAECONNRESET) << code;
}

TEST(SocketOperations, OperationsOnANonSocketGiveNotASocket) {
  char b[4];
  EXPECT_EQ(Recv(INVALID_SOCKET, b, 4), SOCKET_ERROR);
  EXPECT_EQ(WsaGetLastError(), WSAENOTSOCK);
  EXPECT_EQ(Send(INVALID_SOCKET, b, 4), SOCKET_ERROR);
  EXPECT_EQ(WsaGetLastError(), WSAENOTSOCK);
  TSocketEvent* ev = WsaCreateEvent();
  EXPECT_EQ(WsaEventSelect(INVALID_SOCKET, ev, FD_READ), SOCKET_ERROR);
  EXPECT_EQ(WsaGetLastError(), WSAENOTSOCK);
  TNetworkEvents rec;
  EXPECT_EQ(WsaEnumNetworkEvents(INVALID_SOCKET, ev, &rec), SOCKET_ERROR);
  WsaCloseEvent(ev);
  EXPECT_EQ(Socket(99, 1, 6), INVALID_SOCKET);
  EXPECT_EQ(WsaGetLastError(), WSAEAFNOSUPPORT);
}

int gFakeCalls = 0;
int FakeGetAddrInfo(const char*, const char*, const TAddressInfo*, TAddressInfo**) {
  ++gFakeCalls;
  return WSAHOST_NOT_FOUND;
}

TEST(SocketFunctionTable, ReplacedEntriesAreCalledAndRestored) {
  TSocketFunctions t = SocketFunctions();
  t.getaddrinfo = FakeGetAddrInfo;
  TSocketFunctions old = ReplaceSocketFunctions(t);
  TAddressInfo* res = nullptr;
  gFakeCalls = 0;
  EXPECT_EQ(GetAddressInfo("localhost", nullptr, nullptr, &res), WSAHOST_NOT_FOUND);
  EXPECT_EQ(gFakeCalls, 1);
  t.getaddrinfo = nullptr;
  ReplaceSocketFunctions(t);
  EXPECT_EQ(GetAddressInfo("localhost", nullptr, nullptr, &res), WSANO_RECOVERY);
  EXPECT_EQ(gFakeCalls, 1);
  ReplaceSocketFunctions(old);
  ASSERT_EQ(GetAddressInfo("localhost", nullptr, nullptr, &res), 0);
  ASSERT_NE(res, nullptr);
  // The system's answer in our records: loopback, of a family we know.
  bool loopback = false;
  for (TAddressInfo* p = res; p; p = p->Next) {
    EXPECT_TRUE(p->Address.Family == WSA_AF_INET || p->Address.Family == WSA_AF_INET6);
    loopback = loopback || (p->Address.Family == WSA_AF_INET && p->Address.Address[0] == 127);
  }
  EXPECT_TRUE(loopback);
  FreeAddressInfo(res);
}

}  // namespace

// The wait, the network stream and the connections against scripted loopback peers.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "AbortTimer.h"
#include "LoopbackServer.h"
#include "netlib/transport/clSocket.h"
#include "platform/gui/MessageLoop.h"
#include "rtl/DateUtils.h"

using namespace netlib;
using transport_test::Pattern;
using transport_test::TLoopbackServer;
namespace gui = platform::gui;

namespace {

using Clock = std::chrono::steady_clock;
int64_t MsSince(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

// Any other exception (an assertion) is no socket error: it answers NotASocketError.
constexpr int NotASocketError = -1000;
template <typename F>
int CodeOf(F f) {
  try {
    f();
  } catch (const EclSocketError& e) {
    return e.ErrorCode();
  } catch (const rtl::Exception&) {
    return NotASocketError;
  }
  return 0;
}

std::string Text(rtl::TMemoryStream& s) {
  return std::string(reinterpret_cast<const char*>(s.Memory()), static_cast<size_t>(s.Size()));
}

struct TConn {
  TclTcpClientConnection C;
  TConn() {
    C.SetNetworkStream(std::make_unique<TclNetworkStream>());
    C.SetTimeOut(5000);
  }
  void Open(const TLoopbackServer& s) { C.Open(s.Host(), s.Port()); }
  TclNetworkStream& Stream() { return *C.NetworkStream(); }
};

// Runs a test once over 127.0.0.1 and once over ::1.
class Loopback : public ::testing::TestWithParam<bool> {
 protected:
  bool V6() const { return GetParam(); }
};
INSTANTIATE_TEST_SUITE_P(Families, Loopback, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "IPv6" : "IPv4"; });

// --- the wait ------------------------------------------------------------------------------------------

TEST(Wait, InfiniteTimeOutStillDispatchesMessages) {
  gui::TEvent never(false);
  int handled = 0;
  gui::HWND wnd = gui::AllocateHWnd([&](gui::TMessage& m) {
    if (m.Msg == gui::WM_USER) ++handled;
  });
  std::thread poster([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    gui::PostMessage(wnd, gui::WM_USER, 0, 0);
  });
  bool r = WaitForSocketEvent(never, nullptr, rtl::GetTickCount64() - 100000, -1);
  poster.join();
  gui::DeallocateHWnd(wnd);
  EXPECT_FALSE(r);
  EXPECT_EQ(handled, 1);
}

TEST(Wait, SteadyMessagesDoNotPostponeTheTimeOut) {
  gui::TEvent never(false);
  int ticks = 0;
  gui::HWND wnd = gui::AllocateHWnd([&](gui::TMessage& m) {
    if (m.Msg == gui::WM_TIMER) ++ticks;
  });
  gui::SetTimer(wnd, 1, 10);
  auto start = Clock::now();
  uint64_t startTicks = rtl::GetTickCount64();
  int code = 0;
  for (int i = 0; i < 1000 && code == 0; ++i)
    code = CodeOf([&] { WaitForSocketEvent(never, nullptr, startTicks, 150); });
  gui::DeallocateHWnd(wnd);
  EXPECT_EQ(code, -1);
  EXPECT_GE(MsSince(start), 150);
  EXPECT_GE(ticks, 3);
}

TEST(Wait, SignalledEventsAndAbort) {
  gui::TEvent sock(false), abortEv(false);
  abortEv.Set();
  EXPECT_FALSE(WaitForSocketEvent(sock, &abortEv, rtl::GetTickCount64(), 1000));
  EXPECT_FALSE(abortEv.IsSet());  // auto-reset: consumed by the wait that saw it
  sock.Set();
  EXPECT_TRUE(WaitForSocketEvent(sock, &abortEv, rtl::GetTickCount64(), 1000));
  auto start = Clock::now();
  EXPECT_EQ(CodeOf([&] { WaitForSocketEvent(sock, &abortEv, rtl::GetTickCount64(), 60); }), -1);
  EXPECT_GE(MsSince(start), 55);
}

// --- opening ---------------------------------------------------------------------------------------------

// The failed open keeps the connection's settings (read until close) for the next attempt.
TEST_P(Loopback, RefusedConnectRaises10061AndLeavesTheConnectionClosed) {
  int port = transport_test::UnusedPort(V6());
  TConn c;
  c.C.SetIsReadUntilClose(true);
  EXPECT_EQ(CodeOf([&] { c.C.Open(V6() ? u"::1" : u"127.0.0.1", port); }), 10061);
  EXPECT_FALSE(c.C.Active());
  EXPECT_TRUE(c.C.IsReadUntilClose());
  c.C.Close(false);
  EXPECT_EQ(c.C.Socket().Socket(), platform::INVALID_SOCKET);
}

TEST_P(Loopback, OpenRecordsBothEndsAndReportsReady) {
  TLoopbackServer server([](int& fd) { TLoopbackServer::ReadToEnd(fd); }, V6());
  TConn c;
  int ready = 0;
  c.C.OnReady = [&](void* sender) {
    EXPECT_EQ(sender, &c.C);
    ++ready;
  };
  c.Open(server);
  EXPECT_TRUE(c.C.Active());
  EXPECT_EQ(ready, 1);
  EXPECT_EQ(c.C.PeerIP(), server.Host());
  EXPECT_EQ(c.C.PeerPort(), server.Port());
  EXPECT_EQ(c.C.IP(), server.Host());
  EXPECT_GT(c.C.Port(), 0);
  EXPECT_EQ(c.Stream().Port(), c.C.Port());
  EXPECT_EQ(c.C.Socket().AddressFamily(), V6() ? 23 : 2);
  c.C.Close(true);
  EXPECT_FALSE(c.C.Active());
}

TEST(Open, LocalBindingIsUsedAndChecked) {
  TLoopbackServer server([](int& fd) { TLoopbackServer::ReadToEnd(fd); });
  TConn c;
  c.C.SetLocalBinding(u" 127.0.0.1 ");
  c.Open(server);
  EXPECT_EQ(c.C.IP(), u"127.0.0.1");
  c.C.Close(false);
  TConn d;
  d.C.SetLocalBinding(u"no.such.literal");
  EXPECT_EQ(CodeOf([&] { d.C.Open(u"127.0.0.1", server.Port()); }), -2);
  d.C.Close(false);
  EXPECT_EQ(CodeOf([&] { d.C.Open(u"localhost", server.Port()); }), -2);  // names are not resolved here
}

TEST(Open, ConnectionWithoutStreamRaisesMinus5) {
  TclTcpClientConnection c;
  EXPECT_EQ(CodeOf([&] { c.Open(u"127.0.0.1", 1); }), -5);
  EXPECT_EQ(CodeOf([&] { c.ReadData(nullptr); }), -5);
  c.Close(false);
}

TEST(Open, SessionOnAnInactiveConnectionRaisesMinus6) {
  TConn c;
  EXPECT_EQ(CodeOf([&] { c.C.OpenSession(); }), -6);
}

// --- reading ---------------------------------------------------------------------------------------------

TEST_P(Loopback, SilentServerMakesReadDataTimeOut) {
  std::atomic<bool> done{false};
  TLoopbackServer server([&](int&) {
    for (int i = 0; i < 400 && !done; ++i) TLoopbackServer::SleepMs(10);
  }, V6());
  TConn c;
  c.C.SetTimeOut(300);
  c.Open(server);
  rtl::TMemoryStream data;
  auto start = Clock::now();
  EXPECT_EQ(CodeOf([&] { c.C.ReadData(&data); }), -1);
  EXPECT_GE(MsSince(start), 295);
  EXPECT_TRUE(c.C.Active());  // the caller closes
  done = true;
  c.C.Close(false);
}

// As a kept connection the server has since closed: the next read sees the close.
TEST_P(Loopback, ServerClosingWithoutSendingEndsTheRead) {
  TLoopbackServer server([](int&) {}, V6());  // accepts and closes at once
  TConn c;
  c.Open(server);
  rtl::TMemoryStream data;
  EXPECT_TRUE(c.C.ReadData(&data));
  EXPECT_EQ(data.Size(), 0);
  EXPECT_FALSE(c.C.Active());
  // The connection is gone now: a stale read says so, and a write fails.
  EXPECT_EQ(CodeOf([&] { c.C.ReadData(&data); }), 10038);
  EXPECT_NE(CodeOf([&] { c.C.WriteString(u"x"); }), 0);
}

TEST(Read, InactiveConnectionRaises10038) {
  TConn c;
  rtl::TMemoryStream data;
  try {
    c.C.ReadData(&data);
    FAIL() << "no exception";
  } catch (const EclSocketError& e) {
    EXPECT_EQ(e.ErrorCode(), 10038);
    EXPECT_EQ(rtl::U8(e.Message()), "An operation was attempted on something that is not a socket.");
  }
}

TEST_P(Loopback, ReadUntilCloseCollectsThreeChunks) {
  std::string a = Pattern(1000, 1), b = Pattern(20000, 2), cc = Pattern(7, 3);
  TLoopbackServer server([&](int& fd) {
    TLoopbackServer::SendText(fd, a);
    TLoopbackServer::SleepMs(30);
    TLoopbackServer::SendText(fd, b);
    TLoopbackServer::SleepMs(30);
    TLoopbackServer::SendText(fd, cc);
  }, V6());
  TConn c;
  c.C.SetIsReadUntilClose(true);
  c.Open(server);
  EXPECT_TRUE(c.C.IsReadUntilClose());
  rtl::TMemoryStream data;
  int64_t lastProgress = 0;
  int progressCalls = 0;
  c.C.OnProgress = [&](void*, int64_t done, int64_t total) {
    EXPECT_GT(done, lastProgress);
    EXPECT_EQ(total, 21007);
    lastProgress = done;
    ++progressCalls;
  };
  c.C.InitProgress(0, 21007);
  EXPECT_TRUE(c.C.ReadData(&data));
  EXPECT_EQ(Text(data), a + b + cc);
  EXPECT_FALSE(c.C.Active());
  EXPECT_EQ(lastProgress, 21007);
  EXPECT_EQ(c.C.BytesProceed(), 21007);
  EXPECT_GE(progressCalls, 3);
}

TEST(Read, WithoutReadUntilCloseReturnsAfterTheFirstData) {
  std::atomic<bool> firstRead{false};
  TLoopbackServer server([&](int& fd) {
    TLoopbackServer::SendText(fd, "first");
    for (int i = 0; i < 500 && !firstRead; ++i) TLoopbackServer::SleepMs(10);
    TLoopbackServer::SendText(fd, "second");
    TLoopbackServer::ReadToEnd(fd);
  });
  TConn c;
  c.Open(server);
  rtl::TMemoryStream data;
  EXPECT_TRUE(c.C.ReadData(&data));
  EXPECT_EQ(Text(data), "first");
  firstRead = true;
  EXPECT_TRUE(c.C.ReadData(&data));
  EXPECT_EQ(Text(data), "firstsecond");
  EXPECT_TRUE(c.C.Active());
  c.C.Close(true);
}

TEST(Read, PartialReadsAssembleEverything) {
  std::string payload = Pattern(50000, 9);
  TLoopbackServer server([&](int& fd) {
    for (size_t off = 0; off < payload.size(); off += 5000) {
      TLoopbackServer::SendAll(fd, payload.data() + off, 5000);
      TLoopbackServer::SleepMs(5);
    }
  });
  TConn c;
  c.C.SetBatchSize(3000);  // smaller than each piece: several receives per pass
  c.Open(server);
  rtl::TMemoryStream data;
  int calls = 0;
  while (c.C.Active() && calls < 10000) {
    c.C.ReadData(&data);
    ++calls;
  }
  EXPECT_EQ(Text(data), payload);
  EXPECT_GT(calls, 1);
}

TEST_P(Loopback, ReadLimitStopsAtTheLimitAndLosesNothingBeforeTheClose) {
  std::string payload = Pattern(3000, 4);
  TLoopbackServer server([&](int& fd) { TLoopbackServer::SendText(fd, payload); }, V6());  // then closes
  TConn c;
  c.C.SetIsReadUntilClose(true);
  c.Open(server);
  server.Join();  // the data and the close wait together on the client side
  c.C.SetBytesToProceed(1000);
  rtl::TMemoryStream data;
  for (int round = 1; round <= 3; ++round) {
    c.C.InitProgress(0, 0);
    EXPECT_TRUE(c.C.ReadData(&data));
    EXPECT_EQ(data.Size(), 1000 * round);
    EXPECT_EQ(c.Stream().BytesProceed(), 1000);
    EXPECT_TRUE(c.C.Active()) << "round " << round;
  }
  c.C.InitProgress(0, 0);
  EXPECT_TRUE(c.C.ReadData(&data));
  EXPECT_FALSE(c.C.Active());
  EXPECT_EQ(Text(data), payload);
}

TEST(Read, SmallReadLimitAsksForNoMoreThanTheLimit) {
  std::string payload = Pattern(500, 5);
  TLoopbackServer server([&](int& fd) {
    TLoopbackServer::SendText(fd, payload);
    TLoopbackServer::ReadToEnd(fd);
  });
  TConn c;
  c.C.SetIsReadUntilClose(true);
  c.Open(server);
  c.C.SetBytesToProceed(10);
  c.C.InitProgress(0, 0);
  EXPECT_EQ(c.Stream().GetBatchSize(), 10);
  rtl::TMemoryStream data;
  EXPECT_TRUE(c.C.ReadData(&data));
  EXPECT_EQ(Text(data), payload.substr(0, 10));
  // At the limit the stream reads nothing and keeps the connection.
  EXPECT_EQ(c.Stream().GetBatchSize(), 0);
  EXPECT_TRUE(c.Stream().Read(&data));
  EXPECT_EQ(data.Size(), 10);
  EXPECT_FALSE(c.Stream().NeedClose());
  c.C.Close(true);
}

// The socket is read in pieces larger than a batch, but the caller still gets the bytes batch by
// batch, the receives stop at the read limit, and what lies beyond it waits for the next read.
TEST(Read, ReadAheadHandsOverBatchByBatchAndStopsAtTheLimit) {
  std::string payload = Pattern(300000, 6);
  std::atomic<bool> done{false};
  TLoopbackServer server([&](int& fd) {
    TLoopbackServer::SendText(fd, payload);
    for (int i = 0; i < 500 && !done; ++i) TLoopbackServer::SleepMs(10);
  });
  static std::atomic<int> receives{0};
  platform::TSocketFunctions counting = platform::SocketFunctions();
  counting.recv = [](platform::TSocket s, void* buf, int len) {
    return ++receives, platform::SystemSocketFunctions().recv(s, buf, len);
  };
  TConn c;
  c.Open(server);
  std::vector<int64_t> steps;
  c.C.OnProgress = [&](void*, int64_t ADone, int64_t) { steps.push_back(ADone); };
  rtl::TMemoryStream data;
  const int64_t limit = 250001;
  platform::TSocketFunctions old = platform::ReplaceSocketFunctions(counting);
  c.C.SetBytesToProceed(limit);
  c.C.InitProgress(0, limit);
  for (int i = 0; i < 1000 && c.C.BytesProceed() < limit; ++i) c.C.ReadData(&data);
  platform::ReplaceSocketFunctions(old);
  EXPECT_EQ(Text(data), payload.substr(0, limit));
  for (size_t i = 0; i < steps.size(); ++i) EXPECT_LE(steps[i] - (i ? steps[i - 1] : 0), 8192);
  EXPECT_LT(receives.load(), int(steps.size())) << "a receive per batch";
  // The rest was never taken from the socket: the next read without a limit gets it all.
  c.C.SetBytesToProceed(-1);
  for (int i = 0; i < 1000 && data.Size() < int64_t(payload.size()); ++i) c.C.ReadData(&data);
  EXPECT_EQ(Text(data), payload);
  done = true;
  c.C.Close(false);
}

TEST(Read, StreamWithoutDestinationLeavesTheSocketAlone) {
  TLoopbackServer server([](int& fd) {
    TLoopbackServer::SendText(fd, "keep");
    TLoopbackServer::ReadToEnd(fd);
  });
  TConn c;
  c.Open(server);
  TLoopbackServer::SleepMs(30);
  EXPECT_TRUE(c.Stream().Read(nullptr));
  rtl::TMemoryStream data;
  EXPECT_TRUE(c.C.ReadData(&data));
  EXPECT_EQ(Text(data), "keep");
  c.C.Close(true);
}

TEST(Read, AbortFromATimerHandlerEndsTheRead) {
  std::atomic<bool> done{false};
  TLoopbackServer server([&](int&) {
    for (int i = 0; i < 500 && !done; ++i) TLoopbackServer::SleepMs(10);
  });
  TConn c;
  c.Open(server);
  int fired = 0;
  gui::HWND wnd = nullptr;
  wnd = gui::AllocateHWnd([&](gui::TMessage& m) {
    if (m.Msg != gui::WM_TIMER) return;
    ++fired;
    gui::KillTimer(wnd, 7);
    c.C.Abort();
  });
  gui::SetTimer(wnd, 7, 100);
  rtl::TMemoryStream data;
  auto start = Clock::now();
  // An aborted read is no success: it ends with the abort error.
  EXPECT_EQ(CodeOf([&] { c.C.ReadData(&data); }), AbortedCode);
  gui::DeallocateHWnd(wnd);
  EXPECT_GE(fired, 1);
  EXPECT_LT(MsSince(start), 4000);
  EXPECT_TRUE(c.C.IsAborted());
  EXPECT_EQ(data.Size(), 0);
  done = true;
  c.C.Close(false);
}

// A listener whose accept queue is full: a connect to it stays in progress.
struct TFullBacklog {
  int Listen = -1, Queued = -1, Port = -1;
  TFullBacklog() {
    Listen = tsock::Open();
    Port = transport_test::BindLoopback(Listen, false);
    tsock::Listen(Listen, 0);
    Queued = tsock::Open();
    tsock::ConnectLoopback(Queued, Port);
  }
  ~TFullBacklog() {
    tsock::Close(Queued);
    tsock::Close(Listen);
  }
};

// Abort from a window handler ends whatever the connection waits for, at once and with the abort
// error: the connect, a read or a write the peer leaves waiting, the throttle's pause.
TEST(Abort, EveryWaitEndsSoonWithTheAbortError) {
  const std::string big = Pattern(32 << 20, 12);
  enum TPeer { pSilent, pTenBytes, pFullBacklog };
  struct TCase {
    const char* Name;
    TPeer Peer;
    std::function<void(TConn&, int)> Prepare;
    std::function<void(TConn&, int)> Call;
  };
  auto open = [](TConn& c, int port) { c.C.Open(u"127.0.0.1", port); };
  auto bigStream = [&] {
    auto m = std::make_shared<rtl::TMemoryStream>();
    m->WriteBuffer(big.data(), int64_t(big.size()));
    m->SetPosition(0);
    return m;
  };
  TCase cases[] = {
      {"connect in progress", pFullBacklog, nullptr, open},
      {"read until close from a silent peer", pSilent,
       [&](TConn& c, int port) {
         open(c, port);
         c.C.SetIsReadUntilClose(true);
       },
       [](TConn& c, int) {
         rtl::TMemoryStream m;
         c.C.ReadData(&m);
       }},
      {"write to a peer that does not read", pSilent, open,
       [&](TConn& c, int) {
         auto m = bigStream();
         c.C.WriteData(m.get());
       }},
      {"string write to a peer that does not read", pSilent, open,
       [&](TConn& c, int) { c.C.WriteString(rtl::String(big.size(), u'x')); }},
      {"the throttle's pause", pTenBytes,
       [&](TConn& c, int port) {
         open(c, port);
         TLoopbackServer::SleepMs(50);
         c.C.SetBatchSize(1000);
         c.C.SetBitsPerSec(800);  // 10 s after each receive
       },
       [](TConn& c, int) {
         rtl::TMemoryStream m;
         c.C.ReadData(&m);
       }},
  };
  for (TCase& t : cases) {
    std::atomic<bool> done{false};
    TFullBacklog backlog;
    std::unique_ptr<TLoopbackServer> server;
    if (t.Peer != pFullBacklog)
      server = std::make_unique<TLoopbackServer>([&](int& fd) {
        if (t.Peer == pTenBytes) TLoopbackServer::SendText(fd, "0123456789");
        for (int i = 0; i < 2000 && !done; ++i) TLoopbackServer::SleepMs(10);
      });
    int port = server ? server->Port() : backlog.Port;
    TConn c;
    c.C.SetTimeOut(20000);  // far beyond the abort: a time-out cannot pass for it
    if (t.Prepare) t.Prepare(c, port);
    int code;
    int64_t afterAbort;
    {
      transport_test::TAbortTimer abortTimer(c.C, 150);
      code = CodeOf([&] { t.Call(c, port); });
      afterAbort = abortTimer.MsSinceAbort();
      EXPECT_TRUE(abortTimer.Fired()) << t.Name;
    }
    std::printf("  %s: back %lld ms after the abort\n", t.Name, static_cast<long long>(afterAbort));
    EXPECT_EQ(code, AbortedCode) << t.Name;
    EXPECT_GE(afterAbort, 0) << t.Name;
    EXPECT_LT(afterAbort, 1000) << t.Name;
    EXPECT_TRUE(c.C.IsAborted()) << t.Name;
    if (t.Peer == pFullBacklog) {
      EXPECT_FALSE(c.C.Active()) << t.Name;
    }
    done = true;
    c.C.Close(false);
  }
}

TEST(Read, BatchSizeZeroRaisesAtTheFirstTransfer) {
  TLoopbackServer server([](int& fd) {
    TLoopbackServer::SendText(fd, "x");
    TLoopbackServer::ReadToEnd(fd);
  });
  TConn c;
  c.Open(server);
  c.C.SetBatchSize(0);
  rtl::TMemoryStream data;
  EXPECT_EQ(CodeOf([&] { c.C.ReadData(&data); }), -4);
  c.C.Close(false);
}

TEST(Read, ResetByThePeerRaises10054) {
  std::string payload = Pattern(100, 6);
  TLoopbackServer server([&](int& fd) {
    TLoopbackServer::SendText(fd, payload);
    TLoopbackServer::SleepMs(50);
    TLoopbackServer::Reset(fd);
  });
  TConn c;
  c.C.SetIsReadUntilClose(true);
  c.Open(server);
  server.Join();
  rtl::TMemoryStream data;
  int code = 0;
  for (int i = 0; i < 5 && code == 0 && c.C.Active(); ++i) code = CodeOf([&] { c.C.ReadData(&data); });
  EXPECT_EQ(code, 10054);
  // Whatever arrived before the reset is the start of what was sent.
  EXPECT_EQ(Text(data), payload.substr(0, static_cast<size_t>(data.Size())));
  c.C.Close(false);
}

// --- writing ---------------------------------------------------------------------------------------------

TEST(Write, SlowReaderForcesPartialAndRefusedWrites) {
  std::string payload = Pattern(32 << 20, 7);
  std::atomic<bool> startReading{false};
  std::string received;
  TLoopbackServer server([&](int& fd) {
    for (int i = 0; i < 1000 && !startReading; ++i) TLoopbackServer::SleepMs(10);
    received = TLoopbackServer::ReadToEnd(fd);
  });
  TConn c;
  c.C.SetBatchSize(65536);
  c.Open(server);
  rtl::TMemoryStream data;
  data.WriteBuffer(payload.data(), static_cast<int64_t>(payload.size()));
  data.SetPosition(0);
  c.C.InitProgress(0, 0);
  // One pass sends until the socket is full: the position is just after the last byte taken.
  EXPECT_FALSE(c.Stream().Write(&data));
  int64_t pos = data.Position();
  EXPECT_GT(pos, 0);
  EXPECT_LT(pos, data.Size());
  EXPECT_EQ(pos, c.Stream().BytesProceed());
  // Nothing fits now: the refused chunk is put back.
  EXPECT_FALSE(c.Stream().Write(&data));
  EXPECT_EQ(data.Position(), pos);
  startReading = true;
  EXPECT_TRUE(c.C.WriteData(&data));
  EXPECT_EQ(data.Position(), data.Size());
  c.C.Close(true);
  server.Join();
  EXPECT_EQ(received.size(), payload.size());
  EXPECT_TRUE(received == payload);
}

// A peer that answers early (an interim or error response) and goes on reading: the bytes left
// unread must not keep the write from waking when the socket drains.
TEST(Write, UnreadAnswerDoesNotStallTheWrite) {
  const std::string payload = Pattern(32 << 20, 5);
  std::string received;
  TLoopbackServer server([&](int& fd) {
    tsock::Send(fd, "early answer", 12);
    TLoopbackServer::SleepMs(300);  // the client's send buffer fills meanwhile
    received = TLoopbackServer::ReadToEnd(fd);
  });
  TConn c;
  c.C.SetTimeOut(3000);
  c.Open(server);
  rtl::TMemoryStream data;
  data.WriteBuffer(payload.data(), int64_t(payload.size()));
  data.SetPosition(0);
  EXPECT_EQ(CodeOf([&] { c.C.WriteData(&data); }), 0);
  EXPECT_EQ(data.Position(), data.Size());
  // The answer is still there, whole (and read, so the close is no reset).
  rtl::TMemoryStream answer;
  c.C.ReadData(&answer);
  EXPECT_EQ(Text(answer), "early answer");
  c.C.Close(true);
  server.Join();
  EXPECT_TRUE(received == payload);
}

// A peer that stops reading and closes (or only shuts its sending side) while bytes are still to
// be written: the write fails, as a connection error the caller can act on, never as success.
TEST(Write, PeerThatLeavesBeforeTheEndMakesTheWriteFail) {
  const std::string big = Pattern(32 << 20, 13);
  struct TCase {
    const char* Name;
    bool HalfClose;  // else a full close
    bool AsString;
    bool AnswerFirst = false;  // bytes the client never reads wait before the half-close
  } cases[] = {
      {"half-close, data write", true, false},
      {"half-close, string write", true, true},
      {"close, data write", false, false},
      {"answer, then half-close", true, false, true},
  };
  for (const TCase& t : cases) {
    std::atomic<bool> done{false};
    TLoopbackServer server([&](int& fd) {
      char buf[65536];
      size_t got = 0;
      while (got < (1u << 20)) {
        tsock::ssize_t n = tsock::Recv(fd, buf, sizeof buf);
        if (n <= 0) return;
        got += size_t(n);
      }
      if (!t.HalfClose) return;  // closes with our bytes unread
      if (t.AnswerFirst) tsock::Send(fd, "early answer", 12);
      tsock::ShutdownSend(fd);
      for (int i = 0; i < 2000 && !done; ++i) TLoopbackServer::SleepMs(10);
    });
    TConn c;
    c.C.SetTimeOut(20000);
    c.Open(server);
    rtl::TMemoryStream data;
    data.WriteBuffer(big.data(), int64_t(big.size()));
    data.SetPosition(0);
    int code = CodeOf([&] {
      if (t.AsString)
        c.C.WriteString(rtl::String(big.size(), u'y'));
      else
        c.C.WriteData(&data);
    });
    done = true;
    if (t.HalfClose) {
      EXPECT_EQ(code, 10053) << t.Name;
      // The close was seen: the connection is closed; with the answer unread it is the caller's.
      if (!t.AnswerFirst) {
        EXPECT_FALSE(c.C.Active()) << t.Name;
      }
    } else {
      // A send into the reset: a socket error like any other, the caller closes.
      EXPECT_TRUE(code == 10053 || code == 10054) << t.Name << ": " << code;
    }
    if (!t.AsString) {
      EXPECT_LT(data.Position(), data.Size()) << t.Name;
    }
    c.C.Close(false);
  }
}

TEST(Write, EmptyStringWritesNothing) {
  std::string received;
  TLoopbackServer server([&](int& fd) { received = TLoopbackServer::ReadToEnd(fd); });
  TConn c;
  EXPECT_NO_THROW(c.C.WriteString(u""));  // not even a connection is needed for nothing
  c.Open(server);
  c.C.WriteString(u"");
  c.C.WriteString(u"GET / HTTP/1.1\r\n");
  c.C.WriteString(u"\u00e9", u"iso-8859-1");
  c.C.Close(true);
  server.Join();
  EXPECT_EQ(received, "GET / HTTP/1.1\r\n\xE9");
}

TEST(Write, StaleKeptConnectionFailsWithAConnectionError) {
  TLoopbackServer server([](int&) {});  // accepts and closes at once
  TConn c;
  c.Open(server);
  server.Join();
  TLoopbackServer::SleepMs(50);
  // The peer's reset to the first write turns the next one into an error.
  int code = 0;
  for (int i = 0; i < 20 && code == 0; ++i) {
    code = CodeOf([&] { c.C.WriteString(u"GET / HTTP/1.1\r\n\r\n"); });
    if (code == 0) TLoopbackServer::SleepMs(20);
  }
  EXPECT_TRUE(code == 10053 || code == 10054) << code;
  c.C.Close(false);
  EXPECT_FALSE(c.C.Active());
}

// --- throttle ----------------------------------------------------------------------------------------------

TEST(Throttle, EveryReceivePausesForTheRequestedLength) {
  std::atomic<bool> done{false};
  TLoopbackServer server([&](int& fd) {
    TLoopbackServer::SendText(fd, "0123456789");
    for (int i = 0; i < 500 && !done; ++i) TLoopbackServer::SleepMs(10);
  });
  TConn c;
  c.Open(server);
  TLoopbackServer::SleepMs(30);
  c.C.SetBatchSize(100);
  c.C.SetBitsPerSec(8000);  // 100 bytes asked = 100 ms, whatever comes back
  int handled = 0;
  gui::HWND wnd = gui::AllocateHWnd([&](gui::TMessage& m) {
    if (m.Msg == gui::WM_USER) ++handled;
  });
  gui::PostMessage(wnd, gui::WM_USER, 0, 0);
  rtl::TMemoryStream data;
  auto start = Clock::now();
  EXPECT_TRUE(c.C.ReadData(&data));
  int64_t elapsed = MsSince(start);
  gui::DeallocateHWnd(wnd);
  EXPECT_EQ(Text(data), "0123456789");
  // Two receives (the data, then would-block) of 100 bytes asked.
  EXPECT_GE(elapsed, 200);
  EXPECT_EQ(handled, 1);  // the pause dispatches messages
  done = true;
  c.C.Close(false);
}

TEST(Throttle, SendsPauseForWhatEachSendAsked) {
  std::string received;
  TLoopbackServer server([&](int& fd) { received = TLoopbackServer::ReadToEnd(fd); });
  TConn c;
  c.Open(server);
  c.C.SetBatchSize(100);
  c.C.SetBitsPerSec(8000);
  std::string payload = Pattern(250, 8);
  rtl::TMemoryStream data;
  data.WriteBuffer(payload.data(), 250);
  data.SetPosition(0);
  auto start = Clock::now();
  EXPECT_TRUE(c.C.WriteData(&data));
  EXPECT_GE(MsSince(start), 250);  // 100 + 100 + 50 ms
  c.C.Close(true);
  server.Join();
  EXPECT_EQ(received, payload);
}

// --- stream bits --------------------------------------------------------------------------------------------

TEST(Stream, FirstNextActionWinsUntilCleared) {
  TclNetworkStream s;
  s.SetNextAction(saRead);
  s.SetNextAction(saWrite);
  EXPECT_EQ(s.NextAction(), saRead);
  s.ClearNextAction();
  s.SetNextAction(saWrite);
  EXPECT_EQ(s.NextAction(), saWrite);
}

TEST(Stream, ReplacementCopiesAddressesAndPendingData) {
  TLoopbackServer server([](int& fd) { TLoopbackServer::ReadToEnd(fd); });
  TConn c;
  c.Open(server);
  c.Stream().SetHasReadData(true);
  rtl::String peer = c.Stream().PeerIP();
  int local = c.Stream().Port();
  c.C.SetNetworkStream(std::make_unique<TclNetworkStream>());
  EXPECT_EQ(c.Stream().PeerIP(), peer);
  EXPECT_EQ(c.Stream().PeerPort(), server.Port());
  EXPECT_EQ(c.Stream().Port(), local);
  EXPECT_TRUE(c.Stream().HasReadData());
  EXPECT_EQ(c.Stream().Connection(), &c.C);
  c.C.Close(true);
}

TEST(Stream, PortRangeBindingRefusesBadRanges) {
  TConn c;
  c.C.CreateSocket(2, 1, 6);
  auto any = TclIPAddress::CreateAny(2);
  EXPECT_EQ(CodeOf([&] { c.Stream().Bind(*any, 0, 10); }), -3);
  EXPECT_EQ(CodeOf([&] { c.Stream().Bind(*any, 20, 10); }), -3);
  c.C.Close(false);
  c.C.Socket().Close();
}

}  // namespace

namespace {

// The server and datagram operations of the stream, driven by hand (no connection loop uses them).
int LocalPort(platform::TSocket s) {
  platform::TSocketAddress a;
  platform::GetSockName(s, &a);
  return a.Port;
}

TEST(ServerStream, ListenAcceptAndExchange) {
  TConn server;
  server.C.CreateSocket(2, 1, 6);
  auto local = TclIPAddress::CreateIpAddress(u"127.0.0.1");
  server.Stream().Bind(*local, 0);
  server.Stream().Listen();
  int port = server.Stream().Port();
  ASSERT_GT(port, 0);
  TConn client;
  client.C.Open(u"127.0.0.1", port);
  // The listening socket is non-blocking: nothing to accept is 10035.
  int code = 10035;
  for (int i = 0; i < 500 && code == 10035; ++i) {
    code = CodeOf([&] { server.Stream().Accept(); });
    if (code == 10035) TLoopbackServer::SleepMs(5);
  }
  ASSERT_EQ(code, 0);
  EXPECT_EQ(server.Stream().PeerIP(), u"127.0.0.1");
  EXPECT_EQ(server.Stream().PeerPort(), client.C.Port());
  client.C.WriteString(u"ping");
  rtl::TMemoryStream got;
  for (int i = 0; i < 500 && got.Size() < 4; ++i) {
    server.Stream().Read(&got);
    if (got.Size() < 4) TLoopbackServer::SleepMs(5);
  }
  EXPECT_EQ(Text(got), "ping");
  client.C.Close(true);
  server.C.Close(false);
}

TEST(ServerStream, DatagramRoundTrip) {
  TConn a, b;
  a.C.CreateSocket(2, 2, 17);
  b.C.CreateSocket(2, 2, 17);
  auto local = TclIPAddress::CreateIpAddress(u"127.0.0.1");
  a.Stream().Bind(*local, 0);
  b.Stream().Bind(*local, 0);
  unsigned long nonBlocking = 1;
  platform::IoctlSocket(b.C.Socket().Socket(), platform::WSA_FIONBIO, &nonBlocking);
  int portA = LocalPort(a.C.Socket().Socket()), portB = LocalPort(b.C.Socket().Socket());
  rtl::TMemoryStream out;
  out.WriteBuffer("datagram", 8);
  out.SetPosition(0);
  auto to = TclIPAddress::CreateIpAddress(u"127.0.0.1");
  EXPECT_TRUE(a.Stream().WriteTo(&out, *to, portB));
  EXPECT_EQ(out.Position(), 8);
  rtl::TMemoryStream in;
  bool got = false;
  for (int i = 0; i < 500 && !got; ++i) {
    got = b.Stream().ReadFrom(&in);
    if (!got) TLoopbackServer::SleepMs(5);
  }
  ASSERT_TRUE(got);
  EXPECT_EQ(Text(in), "datagram");
  EXPECT_EQ(b.Stream().PeerIP(), u"127.0.0.1");
  EXPECT_EQ(b.Stream().PeerPort(), portA);
  // Broadcast is refused on IPv6 sockets only.
  EXPECT_NO_THROW(a.Stream().Broadcast());
  TConn v6;
  v6.C.CreateSocket(23, 2, 17);
  EXPECT_EQ(CodeOf([&] { v6.Stream().Broadcast(); }), -7);
  a.C.Close(false);
  b.C.Close(false);
  v6.C.Close(false);
}

}  // namespace

namespace {

// The speed floor (1000 bytes a second over 2 s, checked in tenths of the window): a whole
// window below the limit breaks the transfer, nothing shorter does, and old bytes roll out.
TEST(SpeedFloor, AWholeWindowBelowTheLimitAndNothingShorter) {
  struct {
    const char* Name;
    std::vector<std::pair<uint64_t, int64_t>> Feed;  // at ms, bytes
    uint64_t At;
    bool Expired;
  } const cases[] = {
      {"silent for less than a window", {}, 1999, false},
      {"silent for a window", {}, 2000, true},
      {"a live link at the limit", {{0, 1000}, {1000, 1000}, {1999, 1}}, 2000, false},
      {"a drip", {{0, 1}, {500, 1}, {1500, 1}}, 2500, true},
      {"a burst that rolled out of the window", {{0, 1000000}}, 4300, true},
      {"slow at first, then live", {{0, 1}, {2500, 3000}}, 3000, false},
  };
  for (const auto& c : cases) {
    netlib::TclSpeedFloor floor;
    floor.Set(1000, 2);
    floor.Restart(10000);
    for (auto [at, bytes] : c.Feed) floor.Add(bytes, 10000 + at);
    EXPECT_EQ(floor.Expired(10000 + c.At), c.Expired) << c.Name;
    EXPECT_EQ(floor.MsUntilCheck(10000 + c.At), c.At < 2000 ? int(2000 - c.At) : 200 - int(c.At % 200)) << c.Name;
  }
  EXPECT_EQ(netlib::TclSpeedFloor().MsUntilCheck(0), -1) << "off until set";
}

}  // namespace

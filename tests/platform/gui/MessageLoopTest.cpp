// The thread message queue and the message-pumping wait without any display.
#include "platform/gui/MessageLoop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/LastError.h"
#include "platform/Sockets.h"
#include "rtl/Exception.h"

using namespace platform::gui;
using Clock = std::chrono::steady_clock;

namespace {

int64_t MsSince(Clock::time_point t0) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
}

// A hidden window that records what it receives.
struct TRecorder {
  std::vector<TMessage> Got;
  HWND Wnd = nullptr;
  TRecorder() { Wnd = AllocateHWnd([this](TMessage& m) { Got.push_back(m); }); }
  ~TRecorder() { DeallocateHWnd(Wnd); }
};

TEST(Events, SetResetAndState) {
  struct Case { bool manual, initial; };
  for (Case c : {Case{false, false}, Case{false, true}, Case{true, false}, Case{true, true}}) {
    TEvent e(c.manual, c.initial);
    EXPECT_EQ(e.IsSet(), c.initial);
    EXPECT_EQ(e.ManualReset(), c.manual);
    e.Set();
    e.Set();  // setting twice is still one signal
    EXPECT_TRUE(e.IsSet());
    EXPECT_TRUE(e.TryConsume());
    EXPECT_FALSE(e.IsSet());
    EXPECT_FALSE(e.TryConsume());
    e.Set();
    e.Reset();
    EXPECT_FALSE(e.IsSet());
  }
}

TEST(Wait, ReturnsTheFirstSignalledHandleAndResetsOnlyAutoEvents) {
  struct Case { bool manual0, manual1; bool set0, set1; uint32_t expect; };
  const Case cases[] = {
      {false, false, true, false, 0}, {false, false, false, true, 1}, {false, false, true, true, 0},
      {true, false, false, true, 1},  {true, true, true, false, 0},   {false, true, false, true, 1},
  };
  for (const Case& c : cases) {
    TEvent e0(c.manual0), e1(c.manual1);
    if (c.set0) e0.Set();
    if (c.set1) e1.Set();
    TWaitHandle h[2] = {TWaitHandle(e0), TWaitHandle(e1)};
    EXPECT_EQ(MsgWaitForMultipleObjects(h, 2, 1000), WAIT_OBJECT_0 + c.expect);
    TEvent& reported = c.expect == 0 ? e0 : e1;
    bool manual = c.expect == 0 ? c.manual0 : c.manual1;
    EXPECT_EQ(reported.IsSet(), manual) << "an auto-reset event is reset by the wait that reports it";
  }
}

// A socket event is a handle of the wait: it is signalled by what its event selection can
// report (here the first data and the close), not merely while the socket is readable.
TEST(Wait, SocketEventIsAHandle) {
  using namespace platform;
  ASSERT_EQ(WsaStartup(0x0202), 0);  // Winsock wants its start before any socket
  TSocket listener = Socket(WSA_AF_INET, WSA_SOCK_STREAM, WSA_IPPROTO_TCP);
  TSocketAddress local;
  local.Family = WSA_AF_INET;
  local.Address[0] = 127;
  local.Address[3] = 1;
  ASSERT_EQ(Bind(listener, local), 0);
  ASSERT_EQ(Listen(listener, 1), 0);
  ASSERT_EQ(GetSockName(listener, &local), 0);
  TSocket client = Socket(WSA_AF_INET, WSA_SOCK_STREAM, WSA_IPPROTO_TCP);
  ASSERT_EQ(Connect(client, local), 0);  // loopback: connected at once while still blocking
  TSocket server = Accept(listener, nullptr);
  ASSERT_NE(server, INVALID_SOCKET);
  TSocketEvent* ev = WsaCreateEvent();
  ASSERT_EQ(WsaEventSelect(client, ev, FD_READ | FD_CLOSE), 0);
  TWaitHandle h(ev);
  EXPECT_EQ(MsgWaitForMultipleObjects(&h, 1, 20), WAIT_TIMEOUT);
  ASSERT_EQ(Send(server, "x", 1), 1);
  EXPECT_EQ(MsgWaitForMultipleObjects(&h, 1, 5000), WAIT_OBJECT_0);
  TNetworkEvents rec;
  ASSERT_EQ(WsaEnumNetworkEvents(client, ev, &rec), 0);
  EXPECT_EQ(rec.NetworkEvents, FD_READ);
  // The byte is still unread: nothing new to report until a receive re-arms the read.
  EXPECT_EQ(MsgWaitForMultipleObjects(&h, 1, 20), WAIT_TIMEOUT);
  char b[4];
  ASSERT_EQ(Recv(client, b, 4), 1);
  CloseSocket(server);  // the peer's close
  EXPECT_EQ(MsgWaitForMultipleObjects(&h, 1, 5000), WAIT_OBJECT_0);
  ASSERT_EQ(WsaEnumNetworkEvents(client, ev, &rec), 0);
  EXPECT_EQ(rec.NetworkEvents, FD_CLOSE);
  WsaCloseEvent(ev);
  CloseSocket(client);
  CloseSocket(listener);
  WsaCleanup();
}

TEST(Wait, TimeoutIsReportedAfterTheTimeout) {
  TEvent e(false);
  TWaitHandle h(e);
  for (uint32_t ms : {0u, 30u, 120u}) {
    auto t0 = Clock::now();
    EXPECT_EQ(MsgWaitForMultipleObjects(&h, 1, ms), WAIT_TIMEOUT);
    EXPECT_GE(MsSince(t0), int64_t(ms));
    EXPECT_LT(MsSince(t0), int64_t(ms) + 1000);
  }
  // no handles at all: still a plain timed wait
  EXPECT_EQ(MsgWaitForMultipleObjects(nullptr, 0, 10), WAIT_TIMEOUT);
}

TEST(Wait, BadHandleListsFailWithTheirErrors) {
  TEvent e(false);
  TWaitHandle many[MAXIMUM_WAIT_OBJECTS + 1];
  for (auto& h : many) h = TWaitHandle(e);
  TWaitHandle nothing;  // neither an event nor a socket event
  struct Case { const TWaitHandle* list; uint32_t count; uint32_t error; };
  const Case cases[] = {
      {nullptr, 1, platform::ERROR_INVALID_PARAMETER},
      {many, MAXIMUM_WAIT_OBJECTS + 1, platform::ERROR_INVALID_PARAMETER},
      {&nothing, 1, platform::ERROR_INVALID_HANDLE},
  };
  for (const Case& c : cases) {
    platform::SetLastErrorValue(0);
    EXPECT_EQ(MsgWaitForMultipleObjects(c.list, c.count, 50), WAIT_FAILED);
    EXPECT_EQ(platform::GetLastErrorValue(), c.error);
  }
  // the largest list is fine
  EXPECT_EQ(MsgWaitForMultipleObjects(many, MAXIMUM_WAIT_OBJECTS, 0), WAIT_TIMEOUT);
}

TEST(Wait, PostedMessageIsGuiWorkAndIsNotDispatchedByTheWait) {
  TRecorder r;
  TEvent e(false);
  TWaitHandle h(e);
  ASSERT_TRUE(PostMessage(r.Wnd, WM_USER + 7, 11, -3));
  EXPECT_EQ(MsgWaitForMultipleObjects(&h, 1, 1000), WAIT_OBJECT_0 + 1);
  EXPECT_TRUE(r.Got.empty()) << "the wait dispatches nothing itself";
  // still pending until dispatched
  EXPECT_EQ(MsgWaitForMultipleObjects(&h, 1, 0), WAIT_OBJECT_0 + 1);
  EXPECT_TRUE(ProcessMessages());
  ASSERT_EQ(r.Got.size(), 1u);
  EXPECT_EQ(r.Got[0].Msg, WM_USER + 7);
  EXPECT_EQ(r.Got[0].WParam, 11u);
  EXPECT_EQ(r.Got[0].LParam, -3);
  EXPECT_FALSE(ProcessMessages());
  EXPECT_EQ(MsgWaitForMultipleObjects(&h, 1, 10), WAIT_TIMEOUT);
}

TEST(Wait, SignalledHandleComesBeforePendingMessages) {
  TRecorder r;
  TEvent e(true, true);
  TWaitHandle h(e);
  PostMessage(r.Wnd, WM_USER, 0, 0);
  EXPECT_EQ(MsgWaitForMultipleObjects(&h, 1, 0), WAIT_OBJECT_0);
  ProcessMessages();
}

TEST(Messages, DeliveredInOrderOnePerCall) {
  TRecorder r;
  for (int i = 0; i < 5; ++i) PostMessage(r.Wnd, WM_USER + i, i, 0);
  EXPECT_EQ(PendingMessageCount(), 5u);
  ASSERT_TRUE(ProcessOneMessage());
  EXPECT_EQ(r.Got.size(), 1u);
  ProcessMessages();
  ASSERT_EQ(r.Got.size(), 5u);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(r.Got[i].Msg, uint32_t(WM_USER + i));
}

TEST(Messages, DeallocatedWindowLosesItsMessagesAndTimersAndRefusesPosts) {
  std::vector<uint32_t> got;
  HWND w = AllocateHWnd([&](TMessage& m) { got.push_back(m.Msg); });
  ASSERT_NE(w, nullptr);
  EXPECT_TRUE(IsWindow(w));
  PostMessage(w, WM_USER, 0, 0);
  ASSERT_TRUE(SetTimer(w, 1, 10));
  DeallocateHWnd(w);
  EXPECT_FALSE(IsWindow(w));
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_FALSE(ProcessMessages());
  EXPECT_TRUE(got.empty());
  EXPECT_FALSE(PostMessage(w, WM_USER, 0, 0));
  EXPECT_FALSE(SetTimer(w, 1, 10));
  EXPECT_FALSE(KillTimer(w, 1));
  DeallocateHWnd(w);        // twice: harmless
  DeallocateHWnd(nullptr);  // unknown: harmless
  EXPECT_EQ(AllocateHWnd(nullptr), nullptr);
}

TEST(Messages, WindowMayFreeItselfInsideItsHandler) {
  int calls = 0;
  HWND w = nullptr;
  w = AllocateHWnd([&](TMessage& m) {
    ++calls;
    DeallocateHWnd(w);
  });
  PostMessage(w, WM_USER, 0, 0);
  PostMessage(w, WM_USER, 0, 0);
  ProcessMessages();
  EXPECT_EQ(calls, 1);
}

TEST(Messages, RemovePendingMessagesOnlyForThatWindow) {
  TRecorder a, b;
  PostMessage(a.Wnd, WM_USER + 1, 0, 0);
  PostMessage(b.Wnd, WM_USER + 2, 0, 0);
  PostMessage(a.Wnd, WM_USER + 3, 0, 0);
  RemovePendingMessages(a.Wnd);
  ProcessMessages();
  EXPECT_TRUE(a.Got.empty());
  ASSERT_EQ(b.Got.size(), 1u);
  EXPECT_EQ(b.Got[0].Msg, WM_USER + 2);
}

TEST(Messages, SendMessageCallsAtOnceAndAnswersTheResult) {
  HWND w = AllocateHWnd([](TMessage& m) { m.Result = intptr_t(m.WParam) * 2; });
  EXPECT_EQ(SendMessage(w, WM_USER, 21, 0), 42);
  DeallocateHWnd(w);
  EXPECT_EQ(SendMessage(w, WM_USER, 21, 0), 0);
}

TEST(Messages, PostFromWorkerWakesTheWaitingThread) {
  TRecorder r;
  std::thread worker([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    PostMessage(r.Wnd, WM_USER + 9, 0, 0);
  });
  TEvent e(false);
  TWaitHandle h(e);
  auto t0 = Clock::now();
  EXPECT_EQ(MsgWaitForMultipleObjects(&h, 1, 10000), WAIT_OBJECT_0 + 1);
  EXPECT_LT(MsSince(t0), 5000);
  worker.join();
  ProcessMessages();
  ASSERT_EQ(r.Got.size(), 1u);
  EXPECT_EQ(r.Got[0].Msg, WM_USER + 9);
}

TEST(Messages, ManyPostsFromSeveralThreadsAllArrive) {
  std::atomic<int> got{0};
  HWND w = AllocateHWnd([&](TMessage& m) { got += int(m.WParam); });
  std::vector<std::thread> workers;
  for (int t = 0; t < 4; ++t)
    workers.emplace_back([w] {
      for (int i = 0; i < 1000; ++i) PostMessage(w, WM_USER, 1, 0);
    });
  auto t0 = Clock::now();
  while (got < 4000 && MsSince(t0) < 10000) {
    if (MsgWaitForMultipleObjects(nullptr, 0, 100) == WAIT_OBJECT_0) ProcessMessages();
  }
  for (auto& t : workers) t.join();
  ProcessMessages();
  EXPECT_EQ(got, 4000);
  DeallocateHWnd(w);
}

TEST(Messages, PostToAWindowOfAFinishedThreadFails) {
  HWND w = nullptr;
  std::thread([&] { w = AllocateHWnd([](TMessage&) {}); }).join();
  EXPECT_FALSE(PostMessage(w, WM_USER, 0, 0));
  DeallocateHWnd(w);
}

TEST(Timers, FireDuringAWaitWithTheirId) {
  TRecorder r;
  ASSERT_TRUE(SetTimer(r.Wnd, 77, 30));
  auto t0 = Clock::now();
  EXPECT_EQ(MsgWaitForMultipleObjects(nullptr, 0, 5000), WAIT_OBJECT_0);
  EXPECT_GE(MsSince(t0), 25);
  ProcessMessages();
  ASSERT_EQ(r.Got.size(), 1u);
  EXPECT_EQ(r.Got[0].Msg, WM_TIMER);
  EXPECT_EQ(r.Got[0].WParam, 77u);
  EXPECT_TRUE(KillTimer(r.Wnd, 77));
  EXPECT_FALSE(KillTimer(r.Wnd, 77));
  EXPECT_EQ(MsgWaitForMultipleObjects(nullptr, 0, 80), WAIT_TIMEOUT);
}

TEST(Timers, DoNotPileUpWhileNobodyDispatches) {
  TRecorder r;
  // Six periods pass undispatched; a period long against one pass, so that a pass slowed by a
  // loaded machine does not see the timer come due again while it runs.
  SetTimer(r.Wnd, 1, 50);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ProcessMessages();
  EXPECT_EQ(r.Got.size(), 1u) << "one timer message at most per pass, like the platform";
  KillTimer(r.Wnd, 1);
}

TEST(Timers, SeveralTimersKeepTheirPeriods) {
  TRecorder r;
  SetTimer(r.Wnd, 1, 20);
  SetTimer(r.Wnd, 2, 200);
  auto t0 = Clock::now();
  while (MsSince(t0) < 500) {
    if (MsgWaitForMultipleObjects(nullptr, 0, 50) == WAIT_OBJECT_0) ProcessMessages();
  }
  int n1 = 0, n2 = 0;
  for (auto& m : r.Got) (m.WParam == 1 ? n1 : n2)++;
  EXPECT_GE(n1, 8);
  EXPECT_LE(n1, 26);
  EXPECT_GE(n2, 1);
  EXPECT_LE(n2, 3);
}

TEST(Timers, SetAgainChangesThePeriod) {
  TRecorder r;
  SetTimer(r.Wnd, 5, 5000);
  SetTimer(r.Wnd, 5, 20);
  EXPECT_EQ(MsgWaitForMultipleObjects(nullptr, 0, 2000), WAIT_OBJECT_0);
  ProcessMessages();
  EXPECT_EQ(r.Got.size(), 1u);
}

std::atomic<int> gHandled{0};
std::string gLastText;
void CountingHandler(std::exception_ptr p) {
  try {
    std::rethrow_exception(p);
  } catch (const rtl::Exception& e) {
    gLastText = rtl::U8(e.Message());
  }
  ++gHandled;
}

TEST(Timers, ExceptionFromHandlerGoesToTheHandlerAndTheLoopGoesOn) {
  SetDispatchExceptionHandler(CountingHandler);
  gHandled = 0;
  int ticks = 0;
  HWND w = AllocateHWnd([&](TMessage& m) {
    if (m.Msg == WM_TIMER && ++ticks == 1) throw rtl::Exception("tick failed");
  });
  SetTimer(w, 1, 10);
  auto t0 = Clock::now();
  while (ticks < 3 && MsSince(t0) < 5000)
    if (MsgWaitForMultipleObjects(nullptr, 0, 100) == WAIT_OBJECT_0) ProcessMessages();
  EXPECT_GE(ticks, 3);
  EXPECT_EQ(gHandled, 1);
  EXPECT_EQ(gLastText, "tick failed");
  DeallocateHWnd(w);
  SetDispatchExceptionHandler(nullptr);
}

TEST(Timers, WithoutHandlerTheExceptionIsWrittenToStderr) {
  SetDispatchExceptionHandler(nullptr);
  HWND w = AllocateHWnd([](TMessage&) { throw rtl::EConvertError("bad number"); });
  PostMessage(w, WM_USER, 0, 0);
  testing::internal::CaptureStderr();
  ProcessMessages();
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("EConvertError: bad number"), std::string::npos) << err;
  DeallocateHWnd(w);
}

TEST(Wait, TwoWaitersOnOneAutoResetEventOnlyOneReportsIt) {
  TEvent e(false);
  std::atomic<int> reported{0};
  auto waiter = [&] {
    TWaitHandle h(e);
    if (MsgWaitForMultipleObjects(&h, 1, 300) == WAIT_OBJECT_0) ++reported;
  };
  std::thread a(waiter), b(waiter);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  e.Set();
  a.join();
  b.join();
  EXPECT_EQ(reported, 1);
}

}  // namespace

namespace {

TEST(Timers, ASlowHandlerDoesNotKeepProcessMessagesBusy) {
  int ticks = 0;
  HWND w = AllocateHWnd([&](TMessage& m) {
    if (m.Msg != WM_TIMER) return;
    ++ticks;
    std::this_thread::sleep_for(std::chrono::milliseconds(25));  // longer than the period
  });
  SetTimer(w, 1, 10);
  std::this_thread::sleep_for(std::chrono::milliseconds(15));
  auto t0 = Clock::now();
  ProcessMessages();
  EXPECT_EQ(ticks, 1);
  EXPECT_LT(MsSince(t0), 500);
  DeallocateHWnd(w);
}

TEST(Timers, HandlerThatSetsItsTimerAgainKeepsItsOwnPeriod) {
  int ticks = 0;
  HWND w = nullptr;
  w = AllocateHWnd([&](TMessage& m) {
    if (m.Msg != WM_TIMER) return;
    ++ticks;
    SetTimer(w, 1, 5000);  // the handler's choice wins over the loop's rescheduling
  });
  SetTimer(w, 1, 10);
  EXPECT_EQ(MsgWaitForMultipleObjects(nullptr, 0, 2000), WAIT_OBJECT_0);
  ProcessMessages();
  EXPECT_EQ(ticks, 1);
  EXPECT_EQ(MsgWaitForMultipleObjects(nullptr, 0, 100), WAIT_TIMEOUT);
  DeallocateHWnd(w);
}

}  // namespace

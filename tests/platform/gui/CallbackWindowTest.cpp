// The networking library's hidden callback windows over the GUI platform.
#include "netlib/text/clCallbackWindow.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <set>
#include <thread>
#include <vector>

using namespace platform::gui;

namespace {

// Waits (pumping) until done() holds or a few seconds passed, like the transport's wait loop.
template <class F>
bool PumpUntil(F done) {
  auto t0 = std::chrono::steady_clock::now();
  while (!done()) {
    if (std::chrono::steady_clock::now() - t0 > std::chrono::seconds(5)) return false;
    uint32_t r = MsgWaitForMultipleObjects(nullptr, 0, 100);
    if (r == WAIT_OBJECT_0) ProcessMessages();
    else if (r != WAIT_TIMEOUT) return false;
  }
  return true;
}

TEST(CallbackWindow, MessagePostedFromThisThreadOrAWorkerIsDeliveredInsideAWait) {
  for (bool fromWorker : {false, true}) {
    std::vector<TMessage> got;
    HWND w = netlib::AllocateCallbackWindow([&](TMessage& m) { got.push_back(m); });
    ASSERT_NE(w, nullptr);
    // the resolver's completion: lookup handle in WParam, error in the high word of LParam
    auto post = [w] { PostMessage(w, 3134, 0x1234, intptr_t(11001) << 16); };
    std::thread worker;
    if (fromWorker) worker = std::thread(post);
    else post();
    EXPECT_TRUE(PumpUntil([&] { return !got.empty(); })) << (fromWorker ? "worker" : "same thread");
    if (worker.joinable()) worker.join();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].Msg, 3134u);
    EXPECT_EQ(got[0].WParam, 0x1234u);
    EXPECT_EQ(got[0].LParam >> 16, 11001);
    netlib::ReleaseCallbackWindow(w);
  }
}

TEST(CallbackWindow, KeepAliveTimerStopsAndRestartsFromItsOwnProcedure) {
  int ticks = 0;
  HWND w = nullptr;
  w = netlib::AllocateCallbackWindow([&](TMessage& m) {
    if (m.Msg != WM_TIMER || m.WParam != 1) return;
    KillTimer(w, 1);
    ++ticks;
    SetTimer(w, 1, 15);
  });
  ASSERT_TRUE(SetTimer(w, 1, 15));
  EXPECT_TRUE(PumpUntil([&] { return ticks >= 3; }));
  netlib::ReleaseCallbackWindow(w);
  int before = ticks;
  std::this_thread::sleep_for(std::chrono::milliseconds(40));
  ProcessMessages();
  EXPECT_EQ(ticks, before) << "a released window gets no more timer messages";
}

TEST(CallbackWindow, ReleaseDropsQueuedMessagesAndToleratesNull) {
  int calls = 0;
  HWND w = netlib::AllocateCallbackWindow([&](TMessage&) { ++calls; });
  PostMessage(w, WM_USER, 0, 0);
  netlib::ReleaseCallbackWindow(w);
  netlib::ReleaseCallbackWindow(nullptr);
  ProcessMessages();
  EXPECT_EQ(calls, 0);
  EXPECT_FALSE(PostMessage(w, WM_USER, 0, 0));
}

TEST(CallbackWindow, ManyThreadsAllocateAndReleaseConcurrently) {
  std::vector<std::thread> threads;
  std::atomic<int> delivered{0};
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 200; ++i) {
        HWND w = netlib::AllocateCallbackWindow([&](TMessage&) { ++delivered; });
        PostMessage(w, WM_USER, 0, 0);
        ProcessMessages();
        netlib::ReleaseCallbackWindow(w);
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(delivered, 800);
}

}  // namespace

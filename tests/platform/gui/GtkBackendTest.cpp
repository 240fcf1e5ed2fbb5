// The GTK backend under a private Xvfb: the wait on GLib's context, timers and posted messages
// in GTK's loops, modal boxes, the first activation, the file chooser.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <thread>

#include "GtkLeakSuppressions.h"
#include "SmallForm.h"
#include "XvfbDisplay.h"
#include "platform/LastError.h"
#if defined(KRV_HAVE_CALLBACK_WINDOW)
#include "netlib/text/clCallbackWindow.h"
#endif
#include "platform/gui/Dialogs.h"
#include "platform/gui/Forms.h"
#include "rtl/Exception.h"

using namespace platform::gui;
using Clock = std::chrono::steady_clock;
using krvtest::PumpFor;
using krvtest::TSmallForm;

namespace {

class GtkApp : public testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!krvtest::TXvfb::Start(why)) GTEST_SKIP() << "no X server for the GTK tests: " << why;
    Application().Initialize();
    ASSERT_STREQ(Application().BackendName(), "gtk") << "the GTK module did not load or open the display";
  }
  void TearDown() override {
    Application().DestroyForms();
    Application().OnException = nullptr;
    ProcessMessages();
  }
};

int64_t MsSince(Clock::time_point t0) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
}

// Closes the next modal box or dialog whose title matches, from a timer inside its own loop.
struct TModalCloser {
  TTimer Timer;
  std::string SeenTitle;
  int Closed = 0;
  TModalCloser(const rtl::String& title, int result) {
    Timer.SetInterval(50);
    Timer.OnTimer = [this, title, result](TObject*) {
      if (Application().ModalOpen() && Application().ModalTitle() == title) {
        SeenTitle = rtl::U8(Application().ModalTitle());
        if (Application().EndModal(result)) ++Closed;
      }
    };
  }
};

TEST_F(GtkApp, WaitReturnsTheSignalledEventAndTimesOut) {
  TEvent e(false);
  TWaitHandle h(e);
  ProcessMessages();
  auto t0 = Clock::now();
  uint32_t r;
  // GTK's own start-up work may still be pending: drain it, then the handle must time out.
  while ((r = MsgWaitForMultipleObjects(&h, 1, 60)) == WAIT_OBJECT_0 + 1 && MsSince(t0) < 3000) ProcessMessages();
  EXPECT_EQ(r, WAIT_TIMEOUT);
  e.Set();
  EXPECT_EQ(MsgWaitForMultipleObjects(&h, 1, 1000), WAIT_OBJECT_0);
  EXPECT_FALSE(e.IsSet());
}

TEST_F(GtkApp, PostedMessageIsReportedThenDispatched) {
  std::vector<uint32_t> got;
  HWND w = AllocateHWnd([&](TMessage& m) { got.push_back(m.Msg); });
  PostMessage(w, WM_USER + 1, 0, 0);
  TEvent e(false);
  TWaitHandle h(e);
  EXPECT_EQ(MsgWaitForMultipleObjects(&h, 1, 1000), WAIT_OBJECT_0 + 1);
  EXPECT_TRUE(got.empty());
  EXPECT_TRUE(ProcessMessages());
  EXPECT_EQ(got, std::vector<uint32_t>{WM_USER + 1});
  DeallocateHWnd(w);
}

// The networking library's callback window when it is part of the build, else a plain one.
HWND MakeCallbackWindow(TWndMethod m) {
#if defined(KRV_HAVE_CALLBACK_WINDOW)
  return netlib::AllocateCallbackWindow(std::move(m));
#else
  return AllocateHWnd(std::move(m));
#endif
}

void FreeCallbackWindow(HWND w) {
#if defined(KRV_HAVE_CALLBACK_WINDOW)
  netlib::ReleaseCallbackWindow(w);
#else
  DeallocateHWnd(w);
#endif
}

TEST_F(GtkApp, TimerAndWorkerPostToACallbackWindowArriveDuringWaits) {
  int ticks = 0;
  std::atomic<bool> workerMsg{false};
  bool ownMsg = false;
  HWND w = MakeCallbackWindow([&](TMessage& m) {
    if (m.Msg == WM_TIMER) ++ticks;
    if (m.Msg == WM_USER + 5) workerMsg = true;
    if (m.Msg == WM_USER + 6) ownMsg = true;
  });
  PostMessage(w, WM_USER + 6, 0, 0);
  SetTimer(w, 3, 20);
  std::thread worker([w] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    PostMessage(w, WM_USER + 5, 0, 0);
  });
  auto t0 = Clock::now();
  while ((ticks < 3 || !workerMsg) && MsSince(t0) < 5000)
    if (MsgWaitForMultipleObjects(nullptr, 0, INFINITE) == WAIT_OBJECT_0) ProcessMessages();
  worker.join();
  EXPECT_GE(ticks, 3);
  EXPECT_TRUE(workerMsg);
  EXPECT_TRUE(ownMsg);
  FreeCallbackWindow(w);
}

TEST_F(GtkApp, MessageBoxIsModalAndReturnsWhenClosed) {
  TModalCloser closer(u"Error", IDOK);
  auto t0 = Clock::now();
  int r = Application().MessageBox(u"File \"x.7z\" could not be downloaded", u"Error", MB_OK | MB_ICONERROR);
  EXPECT_EQ(r, IDOK);
  EXPECT_EQ(closer.Closed, 1);
  EXPECT_EQ(closer.SeenTitle, "Error");
  EXPECT_LT(MsSince(t0), 5000);
  EXPECT_FALSE(Application().ModalOpen());
  // the answer follows the button pressed
  TModalCloser no(u"Question", IDNO);
  EXPECT_EQ(Application().MessageBox(u"Go on?", u"Question", MB_YESNO | MB_ICONQUESTION), IDNO);
}

// A handler that runs inside GTK's nested loop (dispatched by GLib, not by our loop) and waits
// there, as a download started from a timer would: posts from a worker and timers must still
// wake that inner wait.
TEST_F(GtkApp, WaitInsideAHandlerDispatchedByGtksNestedLoopStillSeesThePosts) {
  std::atomic<int64_t> postedAt{0};
  int64_t receivedAt = 0;
  auto now = [] { return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count(); };
  HWND target = AllocateHWnd([&](TMessage& m) {
    if (m.Msg == WM_USER) receivedAt = now();
  });
  TTimer t;
  t.SetInterval(30);
  bool ran = false;
  t.OnTimer = [&](TObject*) {
    if (!Application().ModalOpen() || ran) return;
    ran = true;
    t.SetEnabled(false);
    PumpFor(300);  // let the box settle: GTK has nothing more to do
    std::thread worker([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      postedAt = now();
      PostMessage(target, WM_USER, 0, 0);
    });
    auto t0 = Clock::now();
    while (!receivedAt && MsSince(t0) < 3000)
      if (MsgWaitForMultipleObjects(nullptr, 0, 3000) == WAIT_OBJECT_0) ProcessMessages();
    worker.join();
    Application().EndModal(IDOK);
  };
  EXPECT_EQ(Application().MessageBox(u"inner wait", u"Nested", MB_OK), IDOK);
  EXPECT_TRUE(ran);
  ASSERT_NE(receivedAt, 0);
  // Woken by the post itself (about 0 ms), not by some later toolkit work (about 90 ms here).
  EXPECT_LT(receivedAt - postedAt, 50) << "the post did not wake the inner wait";
  DeallocateHWnd(target);
}

TEST_F(GtkApp, ActivateFiresOnceEvenAfterAnErrorBox) {
  auto* f = Application().CreateForm<TSmallForm>();
  f->progress->SetStyle(pbstMarquee);
  uint64_t marquee = 0;
  f->OnActivate = [&](TObject*) {
    f->lblMessage->SetCaption(u"Downloading KorvelFA.exe");
    TModalCloser closer(u"Error", IDOK);
    Application().MessageBox(u"Execute command 'x' failed!", u"Error", MB_OK | MB_ICONERROR);
    PumpFor(300);  // focus comes back to the window: no second activation
    marquee = f->progress->MarqueeSteps();
    f->Close();
  };
  auto t0 = Clock::now();
  Application().Run();
  EXPECT_LT(MsSince(t0), 10000);
  EXPECT_EQ(f->ActivateCount(), 1);
  EXPECT_GE(marquee, 10u) << "the marquee moves while messages are dispatched";
}

TEST_F(GtkApp, ExceptionFromTimerShowsTheErrorBoxAndTheLoopGoesOn) {
  auto* f = Application().CreateForm<TSmallForm>();
  TTimer* t = new TTimer(f);
  t->SetInterval(30);
  int ticks = 0;
  TModalCloser closer(Application().Title, IDOK);
  t->OnTimer = [&](TObject*) {
    if (++ticks == 1) throw rtl::Exception("Timer failed");
    if (ticks == 3) f->Close();
  };
  Application().Run();
  EXPECT_EQ(ticks, 3);
  EXPECT_EQ(closer.Closed, 1) << "the default handler showed one box";
}

TEST_F(GtkApp, FileDialogCancelOrOpenInTheInitialFolderWithTheFilter) {
  char dir[] = "/tmp/krv-gui-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string base = dir;
  std::ofstream(base + "/data.001") << "a";
  std::ofstream(base + "/data.002") << "b";
  TOpenDialogOptions o;
  o.Title = u"Select the next volume";
  o.FilterDescription = u"data-volumes";
  o.FilterPattern = u"data.*";
  o.InitialDir = rtl::S(base);
  {
    TModalCloser closer(o.Title, IDCANCEL);
    rtl::String name = u"unchanged";
    EXPECT_FALSE(ExecuteOpenDialog(o, name));
    EXPECT_EQ(closer.Closed, 1);
    EXPECT_EQ(name, u"unchanged");
  }
  {
    // Open takes the file the chooser selected in the initial folder, through the filter
    // (the chooser may need the response twice: once to take the selection, once to end).
    std::ofstream(base + "/other.txt") << "c";
    TModalCloser closer(o.Title, IDOK);
    rtl::String name = u"unchanged";
    platform::SetLastErrorValue(5);
    EXPECT_TRUE(ExecuteOpenDialog(o, name));
    EXPECT_GE(closer.Closed, 1);
    EXPECT_TRUE(name == rtl::S(base + "/data.001") || name == rtl::S(base + "/data.002")) << rtl::U8(name);
    EXPECT_EQ(platform::GetLastErrorValue(), 0u);
    std::remove((base + "/other.txt").c_str());
  }
  std::remove((base + "/data.001").c_str());
  std::remove((base + "/data.002").c_str());
  rmdir(dir);
}

}  // namespace

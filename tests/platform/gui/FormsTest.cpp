// The toolkit on the headless backend: form events and their order, timers, the marquee, the
// default exception handling, message boxes and the file dialog without a display. Built with
// KRV_FORMS_REAL_TOOLKIT, the cases that need no headless output run on the system's windows.
#include "platform/gui/Forms.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "../../PosixCompat.h"
#include "platform/LastError.h"
#include "platform/gui/Dialogs.h"
#include "SmallForm.h"
#include "rtl/Exception.h"

using namespace platform::gui;
using krvtest::PumpFor;
using krvtest::PumpUntil;
using krvtest::TSmallForm;
using Clock = std::chrono::steady_clock;

namespace {

class ToolkitApp : public testing::Test {
 protected:
  void SetUp() override {
#ifdef KRV_FORMS_REAL_TOOLKIT
    krvtest::ExpectRealToolkit();
#else
    setenv("KRV_GUI", "headless", 1);
    Application().Initialize();
    ASSERT_STREQ(Application().BackendName(), "headless");
#endif
  }
  void TearDown() override {
    Application().DestroyForms();
    Application().OnException = nullptr;
  }
};

TEST_F(ToolkitApp, FormEventsFireInOrderAndActivateOnlyOnce) {
  std::vector<std::string> log;
  auto* f = Application().CreateForm<TSmallForm>();
  EXPECT_EQ(Application().MainForm(), f);
  f->OnActivate = [&](TObject* s) {
    EXPECT_EQ(s, f);
    log.push_back("activate");
    f->lblMessage->SetCaption(u"Downloading KorvelFA.exe");
    PumpFor(50);
    f->Hide();      // hiding and showing again within the application is no new activation
    f->Show();
    PumpFor(30);
    f->Close();
  };
  f->OnClose = [&](TObject*, TCloseAction& a) {
    log.push_back("close");
    EXPECT_EQ(a, caHide);
  };
  log.push_back("run");
  Application().Run();
  log.push_back("ended");
  EXPECT_EQ(log, (std::vector<std::string>{"run", "activate", "close", "ended"}));
  EXPECT_EQ(f->ActivateCount(), 1);
  EXPECT_EQ(f->lblMessage->Caption(), u"Downloading KorvelFA.exe");
  EXPECT_FALSE(f->Visible());
}

class TCreatingForm : public TForm {
 public:
  static inline int Created = 0;
  TCreatingForm() {
    OnCreate = [](TObject*) { ++Created; };
  }
};

TEST_F(ToolkitApp, OnCreateRunsWhenTheFormIsCreated) {
  TCreatingForm::Created = 0;
  Application().CreateForm<TCreatingForm>();
  EXPECT_EQ(TCreatingForm::Created, 1);
}

TEST_F(ToolkitApp, TimerAndMarqueeRunWhileAHandlerPumpsMessages) {
  auto* f = Application().CreateForm<TSmallForm>();
  int ticks = 0;
  uint64_t stepsDuring = 0, stepsAfter = 0;
  f->Timer1->OnTimer = [&](TObject* s) {
    EXPECT_EQ(s, f->Timer1);
    ++ticks;
    f->progress->StepIt();
  };
  f->OnActivate = [&](TObject*) {
    f->progress->SetStyle(pbstMarquee);
    f->progress->SetMarqueeInterval(10);
    f->progress->SetMax(400);
    PumpFor(300);
    stepsDuring = f->progress->MarqueeSteps();
    // no dispatch: the marquee stands still, like the window during an extraction
    auto t0 = Clock::now();
    while (Clock::now() - t0 < std::chrono::milliseconds(60)) {
    }
    stepsAfter = f->progress->MarqueeSteps();
    f->Close();
  };
  Application().Run();
  EXPECT_GE(ticks, 5);
  EXPECT_EQ(f->progress->Position(), ticks * 10);
  EXPECT_GE(stepsDuring, 10u);
  EXPECT_EQ(stepsAfter, stepsDuring);
}

TEST_F(ToolkitApp, DisabledTimerDoesNotFireAndZeroIntervalStopsIt) {
  TTimer a, b;
  int na = 0, nb = 0;
  a.SetInterval(10);
  a.OnTimer = [&](TObject*) { ++na; };
  a.SetEnabled(false);
  b.SetInterval(10);
  b.OnTimer = [&](TObject*) { ++nb; };
  PumpUntil([&] { return nb >= 2; }, 10000);
  EXPECT_EQ(na, 0);
  EXPECT_GE(nb, 2);
  b.SetInterval(0);
  int before = nb;
  PumpFor(40);
  EXPECT_EQ(nb, before);
  a.SetEnabled(true);
  PumpUntil([&] { return na >= 2; }, 10000);
  EXPECT_GE(na, 2);
}

#ifndef KRV_FORMS_REAL_TOOLKIT  // the box goes to stderr only without a display
TEST_F(ToolkitApp, ExceptionFromTimerGoesToTheErrorBoxAndTheLoopGoesOn) {
  auto* f = Application().CreateForm<TSmallForm>();
  int ticks = 0;
  f->Timer1->OnTimer = [&](TObject*) {
    ++ticks;
    if (ticks == 1) throw rtl::Exception("The archive could not be read");
    if (ticks == 2) throw rtl::EAbort("silent");
    if (ticks == 3) f->Close();
  };
  testing::internal::CaptureStderr();
  Application().Run();
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(ticks, 3);
  EXPECT_EQ(err, "KRVDownload: The archive could not be read.\n") << "EAbort shows nothing";
}
#endif

TEST_F(ToolkitApp, ExceptionFromActivateIsHandledAndOnExceptionReplacesTheBox) {
  auto* f = Application().CreateForm<TSmallForm>();
  std::string seen;
  Application().OnException = [&](TObject*, std::exception_ptr p) {
    try {
      std::rethrow_exception(p);
    } catch (const rtl::Exception& e) {
      seen = e.ClassName() + std::string(": ") + rtl::U8(e.Message());
    }
  };
  f->OnActivate = [&](TObject*) {
    struct Closer {
      TForm* F;
      ~Closer() { F->Close(); }  // the window closes whatever the update did
    } closer{f};
    throw rtl::EFCreateError("Cannot create file");
  };
  Application().Run();
  EXPECT_EQ(seen, "EFCreateError: Cannot create file");
}

TEST_F(ToolkitApp, CloseCanBeRefusedAndACloseRequestDuringWorkWaitsForIt) {
  auto* f = Application().CreateForm<TSmallForm>();
  int closes = 0;
  bool workFinished = false;
  f->OnClose = [&](TObject*, TCloseAction& a) {
    if (++closes == 1) a = caNone;
  };
  f->OnActivate = [&](TObject*) {
    f->Close();                       // refused
    EXPECT_FALSE(Application().Terminated());
    f->Close();                       // accepted: the loop ends, but only after this handler
    PumpFor(20);
    workFinished = true;
  };
  Application().Run();
  EXPECT_EQ(closes, 2);
  EXPECT_TRUE(workFinished);
}

#ifndef KRV_FORMS_REAL_TOOLKIT  // headless output, and rules no toolkit owns
TEST_F(ToolkitApp, MessageBoxWritesTitleAndTextAndAnswersTheDefaultButton) {
  struct Case { uint32_t flags; int answer; };
  const Case cases[] = {
      {MB_OK | MB_ICONERROR, IDOK}, {MB_OKCANCEL, IDOK}, {MB_OKCANCEL | MB_DEFBUTTON2, IDCANCEL},
      {MB_YESNO, IDYES}, {MB_YESNO | MB_DEFBUTTON2, IDNO}, {MB_YESNOCANCEL | MB_DEFBUTTON3, IDCANCEL},
      {MB_ABORTRETRYIGNORE | MB_DEFBUTTON2, IDRETRY}, {MB_RETRYCANCEL, IDRETRY},
      {MB_OK | MB_DEFBUTTON3, IDOK},  // no third button: the first
  };
  for (const Case& c : cases) {
    testing::internal::CaptureStderr();
    int r = Application().MessageBox(u"Execute command '/tmp/x/KorvelFA.exe' failed!", u"Error", c.flags);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(r, c.answer) << std::hex << c.flags;
    EXPECT_EQ(err, "Error: Execute command '/tmp/x/KorvelFA.exe' failed!\n");
  }
  EXPECT_FALSE(Application().ModalOpen());
  EXPECT_FALSE(Application().EndModal(IDOK));
}

TEST_F(ToolkitApp, FileDialogAnswersCancelledAndLeavesTheNameAlone) {
  TOpenDialogOptions o;
  o.Title = u"Select next volume";
  o.FilterDescription = u"data-volumes";
  o.FilterPattern = u"data.*";
  o.InitialDir = u"/tmp";
  rtl::String name = u"/tmp/data.001";
  platform::SetLastErrorValue(5);
  testing::internal::CaptureStderr();
  EXPECT_FALSE(ExecuteOpenDialog(o, name));
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(name, u"/tmp/data.001");
  EXPECT_NE(err.find("Select next volume"), std::string::npos);
}

TEST(ProgressBar, StepItWrapsAndPositionIsClamped) {
  struct Case { int min, max, step, start, steps, expect; };
  const Case cases[] = {
      {0, 100, 10, 0, 3, 30}, {0, 100, 10, 95, 1, 4},  {0, 400, 10, 400, 1, 9},
      {0, 10, 3, 9, 1, 1},    {5, 10, 2, 10, 1, 6},    {0, 100, -10, 5, 1, 0},
      {0, 100, 0, 50, 5, 50}, {0, 0, 1, 0, 3, 0},
  };
  for (const Case& c : cases) {
    TProgressBar p(nullptr);
    p.SetMax(c.max);
    p.SetMin(c.min);
    p.SetStep(c.step);
    p.SetPosition(c.start);
    for (int i = 0; i < c.steps; ++i) p.StepIt();
    EXPECT_EQ(p.Position(), c.expect) << c.min << ".." << c.max << " step " << c.step << " from " << c.start;
  }
  TProgressBar p(nullptr);
  p.SetPosition(1000);
  EXPECT_EQ(p.Position(), 100);
  p.SetPosition(-5);
  EXPECT_EQ(p.Position(), 0);
  p.SetMax(-3);  // a maximum below the minimum drags the minimum along
  EXPECT_EQ(p.Min(), -3);
  EXPECT_EQ(p.Position(), -3);
}

TEST(Colors, SystemColoursAndRgb) {
  EXPECT_TRUE(IsSystemColor(clBtnFace));
  EXPECT_TRUE(IsSystemColor(clWindowText));
  EXPECT_FALSE(IsSystemColor(0x123456));
  EXPECT_EQ(ColorToRGB(clBtnFace), 0xF0F0F0u);
  EXPECT_EQ(ColorToRGB(clWindowText), 0u);
  EXPECT_EQ(ColorToRGB(0x00123456), 0x123456u);
}
#endif

}  // namespace

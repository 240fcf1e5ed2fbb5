// What the toolkit tests share: the downloader's window in miniature, a message-pumping pause,
// the check that a program meant for the system's own windows runs on them.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include "platform/gui/Forms.h"

namespace krvtest {

// Pumps messages for a while, as the transport's waits do inside a handler.
inline void PumpFor(int ms) {
  using namespace platform::gui;
  auto t0 = std::chrono::steady_clock::now();
  while (std::chrono::steady_clock::now() - t0 < std::chrono::milliseconds(ms)) {
    uint32_t r = MsgWaitForMultipleObjects(nullptr, 0, 5);
    if (r == WAIT_OBJECT_0) ProcessMessages();
  }
}

// Pumps until done() holds, at most ms: a count the test waits for, whatever the machine's load.
template <class F>
void PumpUntil(F done, int ms) {
  using namespace platform::gui;
  auto t0 = std::chrono::steady_clock::now();
  while (!done() && std::chrono::steady_clock::now() - t0 < std::chrono::milliseconds(ms)) {
    uint32_t r = MsgWaitForMultipleObjects(nullptr, 0, 5);
    if (r == WAIT_OBJECT_0) ProcessMessages();
  }
}

class TSmallForm : public platform::gui::TForm {
 public:
  platform::gui::TLabel* lblMessage;
  platform::gui::TProgressBar* progress;
  platform::gui::TTimer* Timer1;
  TSmallForm() {
    using namespace platform::gui;
    SetCaption(u"Downloader");
    BorderStyle = bsSingle;
    BorderIcons = biSystemMenu;
    Position = poScreenCenter;
    ClientWidth = 437;
    ClientHeight = 96;
    lblMessage = new TLabel(this);
    lblMessage->SetBounds(16, 20, 401, 20);
    lblMessage->AutoSize = false;
    lblMessage->Font.Height = -12;
    lblMessage->Font.Bold = lblMessage->Font.Italic = true;
    progress = new TProgressBar(this);
    progress->SetBounds(16, 47, 401, 25);
    Timer1 = new TTimer(this);
    Timer1->SetInterval(20);
  }
};

// Where the runner gave a display (KRV_TEST_DESKTOP) the system's toolkit must be chosen;
// elsewhere a case that needs it is skipped.
inline void ExpectRealToolkit() {
  platform::gui::Application().Initialize();
  const std::string backend = platform::gui::Application().BackendName();
  if (std::getenv("KRV_TEST_DESKTOP")) {
    ASSERT_EQ(backend, "win32") << "a display was given, but no window could be made";
  }
  if (backend == "headless") GTEST_SKIP() << "no desktop to show windows on (win32/with-xvfb.sh gives one)";
}

}  // namespace krvtest

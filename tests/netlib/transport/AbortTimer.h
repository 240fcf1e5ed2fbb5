// Calls a connection's Abort from a window timer's handler, as a Cancel button would, and notes
// when, so a test can tell how soon the interrupted call came back.
#pragma once

#include <chrono>
#include <cstdint>

#include "netlib/transport/clSocket.h"
#include "platform/gui/MessageLoop.h"

namespace transport_test {

class TAbortTimer {
 public:
  using Clock = std::chrono::steady_clock;

  TAbortTimer(netlib::TclConnection& AConnection, int AAfterMs) {
    FWnd = platform::gui::AllocateHWnd([this, &AConnection](platform::gui::TMessage& m) {
      if (m.Msg != platform::gui::WM_TIMER || FFired) return;
      platform::gui::KillTimer(FWnd, 1);
      FFired = true;
      FAt = Clock::now();
      AConnection.Abort();
    });
    platform::gui::SetTimer(FWnd, 1, uint32_t(AAfterMs));
  }
  ~TAbortTimer() { platform::gui::DeallocateHWnd(FWnd); }
  TAbortTimer(const TAbortTimer&) = delete;
  TAbortTimer& operator=(const TAbortTimer&) = delete;

  bool Fired() const { return FFired; }
  // Milliseconds from the abort to now; -1 when it did not fire.
  int64_t MsSinceAbort() const {
    return FFired ? std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - FAt).count() : -1;
  }

 private:
  platform::gui::HWND FWnd = nullptr;
  bool FFired = false;
  Clock::time_point FAt;
};

}  // namespace transport_test

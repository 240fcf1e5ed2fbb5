// Hidden message windows for the networking library (resolver completions, keep-alive timers).
// Window creation and destruction go through one process-wide lock.
#pragma once

#include "platform/gui/MessageLoop.h"

namespace netlib {

// A hidden window owned by the calling thread whose messages go to method; nullptr (with the
// last-error value set) when it cannot be made.
platform::gui::HWND AllocateCallbackWindow(platform::gui::TWndMethod method);
// Destroys the window and drops its queued messages and timers; nullptr is ignored.
void ReleaseCallbackWindow(platform::gui::HWND wnd);

}  // namespace netlib

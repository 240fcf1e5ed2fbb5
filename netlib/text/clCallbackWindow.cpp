#include "netlib/text/clCallbackWindow.h"

#include <mutex>

#include "rtl/SyncObjs.h"

namespace netlib {

namespace {

// Created on first use, so that windows made while other modules initialise find it ready.
rtl::TCriticalSection& WindowLock() {
  static rtl::TCriticalSection lock;
  return lock;
}

}  // namespace

platform::gui::HWND AllocateCallbackWindow(platform::gui::TWndMethod method) {
  std::lock_guard<rtl::TCriticalSection> guard(WindowLock());
  return platform::gui::AllocateHWnd(std::move(method));
}

void ReleaseCallbackWindow(platform::gui::HWND wnd) {
  if (!wnd) return;
  std::lock_guard<rtl::TCriticalSection> guard(WindowLock());
  platform::gui::DeallocateHWnd(wnd);
}

}  // namespace netlib

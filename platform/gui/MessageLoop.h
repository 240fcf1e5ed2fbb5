// The thread message queue: event objects, hidden windows, posted messages, window timers and the
// message-pumping wait. Works without any display; when a toolkit runs on a thread, that thread's
// waits also cover the toolkit's input and paint work.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>

namespace platform {
class TSocketEvent;
}

namespace platform::gui {

using HWND = struct TWindowHandle*;            // a form's window or a hidden callback window
struct TMessage { uint32_t Msg; uintptr_t WParam; intptr_t LParam; intptr_t Result; };
using TWndMethod = std::function<void(TMessage&)>;
constexpr uint32_t WM_TIMER = 0x0113, WM_USER = 0x0400;
constexpr uint32_t INFINITE = 0xFFFFFFFF, WAIT_OBJECT_0 = 0, WAIT_TIMEOUT = 258, WAIT_FAILED = 0xFFFFFFFF;
// The most handles one wait takes (the platform's limit less the slot of the queue).
constexpr uint32_t MAXIMUM_WAIT_OBJECTS = 63;

namespace detail {
struct TWaitAccess;  // each operating system's wait looks behind the handles through it
}

// An event object of the system, set and reset from any thread. Non-copyable.
class TEvent {
 public:
  // Raises rtl::EOSError when the system has no event to give.
  explicit TEvent(bool manualReset, bool initialState = false);
  ~TEvent();
  TEvent(const TEvent&) = delete;
  TEvent& operator=(const TEvent&) = delete;
  void Set(); void Reset(); bool IsSet() const;
  bool ManualReset() const { return FManualReset; }
  // Resets the event when it is set; answers whether this call took the signal (so that of two
  // waiters on an auto-reset event only one reports it).
  bool TryConsume();

 private:
  friend struct detail::TWaitAccess;
  intptr_t FHandle;  // the system's object: an eventfd, an event HANDLE
  bool FManualReset;
};

// What a wait waits on: an event, or a socket event (the socket's readiness as its event
// selection reports it, see platform/Sockets.h). A default handle names nothing, and a wait on
// it fails with ERROR_INVALID_HANDLE. An auto-reset event that a wait reports is reset by it.
class TWaitHandle {
 public:
  TWaitHandle() = default;
  explicit TWaitHandle(TEvent& event) : FEvent(&event) {}
  explicit TWaitHandle(TSocketEvent* event) : FSocketEvent(event) {}

 private:
  friend struct detail::TWaitAccess;
  TEvent* FEvent = nullptr;
  TSocketEvent* FSocketEvent = nullptr;
};

// MsgWaitForMultipleObjects with QS_ALLEVENTS: answers WAIT_OBJECT_0 + i for the first signalled
// handle i, WAIT_OBJECT_0 + count when GUI work (posted messages, timers, toolkit input/paint) is
// pending for this thread, WAIT_TIMEOUT, or WAIT_FAILED. It dispatches nothing itself.
// WAIT_FAILED sets the last-error value (ERROR_INVALID_PARAMETER for a bad count or list,
// ERROR_INVALID_HANDLE for a handle that names nothing or a closed object).
uint32_t MsgWaitForMultipleObjects(const TWaitHandle* handles, uint32_t count, uint32_t timeoutMs);
// Dispatches one pending message / toolkit event of this thread; false when none was pending.
bool ProcessOneMessage();
// Dispatches everything pending; answers whether anything was handled.
bool ProcessMessages();
HWND AllocateHWnd(TWndMethod method);           // hidden window owned by the calling thread
void DeallocateHWnd(HWND wnd);                  // drops its queued messages and timers
bool PostMessage(HWND wnd, uint32_t msg, uintptr_t wParam, intptr_t lParam);  // any thread; wakes the owner's wait
bool SetTimer(HWND wnd, uintptr_t id, uint32_t periodMs);  // WM_TIMER with WParam = id, on the owner thread
bool KillTimer(HWND wnd, uintptr_t id);
void RemovePendingMessages(HWND wnd);

// Calls the window's method at once on the calling thread (the platform's SendMessage for a
// window of the same thread); answers the message's Result, 0 for an unknown window.
intptr_t SendMessage(HWND wnd, uint32_t msg, uintptr_t wParam, intptr_t lParam);
// Whether the handle names a live window.
bool IsWindow(HWND wnd);
// Number of messages and due timers waiting for this thread (for diagnostics and tests).
size_t PendingMessageCount();

// Where an exception that escapes a message handler goes: the dispatch catches it and hands it
// to this handler (the application's default exception handling), then the loop goes on.
// Without one the message "Exception <class>: <text>" goes to stderr.
using TDispatchExceptionHandler = void (*)(std::exception_ptr error);
void SetDispatchExceptionHandler(TDispatchExceptionHandler handler);
// Routes an exception to the handler above (used by the toolkit for its own event handlers).
void HandleDispatchException(std::exception_ptr error);

}  // namespace platform::gui

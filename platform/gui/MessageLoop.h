// The thread message queue: event objects, hidden windows, posted messages, window timers and the
// message-pumping wait. Works without any display; when the GTK backend runs on a thread, that
// thread's waits also cover the toolkit's input and paint work.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>

namespace platform::gui {

using HWND = struct TWindowHandle*;            // a form's window or a hidden callback window
struct TMessage { uint32_t Msg; uintptr_t WParam; intptr_t LParam; intptr_t Result; };
using TWndMethod = std::function<void(TMessage&)>;
constexpr uint32_t WM_TIMER = 0x0113, WM_USER = 0x0400;
constexpr uint32_t INFINITE = 0xFFFFFFFF, WAIT_OBJECT_0 = 0, WAIT_TIMEOUT = 258, WAIT_FAILED = 0xFFFFFFFF;
// The most handles one wait takes (the platform's limit less the slot of the queue).
constexpr uint32_t MAXIMUM_WAIT_OBJECTS = 63;

class TEvent {                                  // eventfd based, non-copyable
 public:
  explicit TEvent(bool manualReset, bool initialState = false);
  ~TEvent();
  TEvent(const TEvent&) = delete;
  TEvent& operator=(const TEvent&) = delete;
  void Set(); void Reset(); bool IsSet() const;
  int Fd() const;                               // readable while set
  bool ManualReset() const;
  // Resets the event when it is set; answers whether this call took the signal (so that of two
  // waiters on an auto-reset event only one reports it).
  bool TryConsume();

 private:
  int FFd;
  bool FManualReset;
};

struct TWaitHandle {                            // what a wait waits on
  int Fd = -1; short Events = 0x001 /*POLLIN*/; // a descriptor and the poll events that signal it
  TEvent* Event = nullptr;                      // when set: the wait resets an auto-reset event it reports
};

// MsgWaitForMultipleObjects with QS_ALLEVENTS: answers WAIT_OBJECT_0 + i for the first signalled
// handle i, WAIT_OBJECT_0 + count when GUI work (posted messages, timers, toolkit input/paint) is
// pending for this thread, WAIT_TIMEOUT, or WAIT_FAILED. It dispatches nothing itself.
// WAIT_FAILED sets the last-error value (ERROR_INVALID_PARAMETER for a bad count or list,
// ERROR_INVALID_HANDLE for a closed or negative descriptor).
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

// Internal to the POSIX GUI platform: what stands behind the wait handles, how a toolkit plugs
// its own event loop into a thread's waits, and the queue services that loop needs. Shared with
// the GTK module, so only plain types and virtual calls cross it.
#pragma once

#include <cstdint>

#include "platform/gui/MessageLoop.h"
#include "platform/gui/Toolkit.h"

namespace platform::gui {

namespace detail {

struct TWaitAccess {
  // The descriptor an event is readable on while it is set.
  static int EventFd(const TEvent& AEvent) { return static_cast<int>(AEvent.FHandle); }
  static intptr_t& Handle(TEvent& AEvent) { return AEvent.FHandle; }
  static TEvent* Event(const TWaitHandle& AHandle) { return AHandle.FEvent; }
  static TSocketEvent* SocketEvent(const TWaitHandle& AHandle) { return AHandle.FSocketEvent; }
};

// The descriptor and poll events that signal a handle now (a socket event's depend on its
// socket's state); fd -1 for a handle that names nothing.
void HandlePollSpec(const TWaitHandle& AHandle, int& fd, short& events);

// The calling thread's queue as the toolkit sees it.
struct TQueueServices {
  int (*WakeFd)();            // eventfd written on every post and queue change
  int (*TimerFd)();           // timerfd armed for the earliest window timer
  bool (*Pending)();          // a posted message or a due timer waits
  int (*MsUntilNextTimer)();  // -1 when no timer is set
  void (*DrainFds)();         // empties both descriptors (their state is re-read by Pending)
  bool (*DispatchOne)();      // one posted message or due timer; false when none
  // What a wait handle polls (HandlePollSpec).
  void (*PollSpec)(const TWaitHandle* handle, int* fd, short* events);
  // Given the poll entries of the handles (descriptor, events and results): the index of the
  // first signalled one (an auto-reset event it names is reset), count when none, WAIT_FAILED
  // (last error set) for a closed one.
  uint32_t (*FirstSignalled)(const TWaitHandle* handles, uint32_t count, const short* events, const short* revents);
};

// A toolkit's loop for the thread it runs on.
class IThreadLoop {
 public:
  virtual ~IThreadLoop() = default;
  // The wait with the toolkit's own pending work counted as GUI work; same answers as
  // MsgWaitForMultipleObjects (the handle list is already validated).
  virtual uint32_t Wait(const TWaitHandle* handles, uint32_t count, uint32_t timeoutMs) = 0;
  // Dispatches pending toolkit work without blocking; answers whether anything ran.
  virtual bool DispatchToolkitOne() = 0;
};

// Installs (or with nullptr removes) the toolkit loop of the calling thread.
void InstallThreadLoop(IThreadLoop* loop);
const TQueueServices& QueueServices();

// Polls for the first signalled handle without blocking: its index, count when none, or
// WAIT_FAILED. Auto-reset events reported are reset. Used by both loops.
uint32_t PollHandlesOnce(const TWaitHandle* handles, uint32_t count);
// Validates a handle list (and sets the last-error value when it is bad).
bool ValidateHandles(const TWaitHandle* handles, uint32_t count);

// The GTK module's single entry point: answers the toolkit when the display could be opened,
// nullptr otherwise (and then the module may be unloaded).
using TCreateToolkitFn = IToolkit* (*)(const TQueueServices* services, int abiVersion);
constexpr int kToolkitAbiVersion = 3;
constexpr const char* kToolkitEntryName = "krv_gui_create_toolkit";

}  // namespace detail

}  // namespace platform::gui

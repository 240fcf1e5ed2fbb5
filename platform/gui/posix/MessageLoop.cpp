// The thread message queue and the headless wait on POSIX (poll over the handles, the queue's
// eventfd and its timerfd). A toolkit loop installed on a thread (the GTK backend) takes over
// that thread's waits; posting, timers and dispatch stay here for every backend.
#include "platform/gui/MessageLoop.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <deque>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "platform/LastError.h"
#include "platform/gui/posix/LoopBackend.h"
#include "platform/posix/Errors.h"
#include "platform/posix/SocketEvent.h"
#include "rtl/Exception.h"

namespace platform::gui {

// ---------------------------------------------------------------------------------------------
// Events

TEvent::TEvent(bool manualReset, bool initialState) : FManualReset(manualReset) {
  FHandle = eventfd(initialState ? 1 : 0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (FHandle < 0) {
    uint32_t code = SetLastErrorFromErrno(errno);
    throw rtl::EOSError(WindowsErrorMessage(code), int(code));
  }
}

TEvent::~TEvent() { close(detail::TWaitAccess::EventFd(*this)); }

void TEvent::Set() {
  uint64_t one = 1;
  // EAGAIN only when the counter is at its limit, which is still "set".
  while (write(detail::TWaitAccess::EventFd(*this), &one, sizeof one) < 0 && errno == EINTR) {
  }
}

bool TEvent::TryConsume() {
  uint64_t v;
  for (;;) {
    if (read(detail::TWaitAccess::EventFd(*this), &v, sizeof v) == sizeof v) return true;
    if (errno != EINTR) return false;
  }
}

void TEvent::Reset() { TryConsume(); }

bool TEvent::IsSet() const {
  pollfd p{detail::TWaitAccess::EventFd(*this), POLLIN, 0};
  return poll(&p, 1, 0) == 1 && (p.revents & POLLIN);
}

// ---------------------------------------------------------------------------------------------
// Queues and windows

namespace {

int64_t NowNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

struct TQueued {
  HWND Wnd;
  TMessage Msg;
};

struct TTimer {
  HWND Wnd;
  uintptr_t Id;
  uint32_t Period;
  int64_t Due;  // CLOCK_MONOTONIC nanoseconds
};

struct TThreadQueue {
  std::mutex Lock;
  std::deque<TQueued> Posted;
  std::vector<TTimer> Timers;
  int WakeFd = -1;
  int TimerFd = -1;
  bool Alive = true;

  TThreadQueue() {
    WakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    TimerFd = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
    if (WakeFd < 0 || TimerFd < 0) {
      uint32_t code = SetLastErrorFromErrno(errno);
      if (WakeFd >= 0) close(WakeFd);
      if (TimerFd >= 0) close(TimerFd);
      throw rtl::EOSError(WindowsErrorMessage(code), int(code));
    }
  }
  ~TThreadQueue() {
    close(WakeFd);
    close(TimerFd);
  }

  void Wake() {
    uint64_t one = 1;
    while (write(WakeFd, &one, sizeof one) < 0 && errno == EINTR) {
    }
  }

  // Arms the timerfd for the earliest timer; called with Lock held.
  void RearmLocked() {
    itimerspec spec{};
    if (!Timers.empty()) {
      int64_t due = Timers.front().Due;
      for (const TTimer& t : Timers) due = std::min(due, t.Due);
      if (due <= 0) due = 1;  // zero would disarm
      spec.it_value.tv_sec = due / 1000000000;
      spec.it_value.tv_nsec = due % 1000000000;
    }
    timerfd_settime(TimerFd, TFD_TIMER_ABSTIME, &spec, nullptr);
  }

  bool PendingLocked(int64_t now) const {
    if (!Posted.empty()) return true;
    for (const TTimer& t : Timers)
      if (t.Due <= now) return true;
    return false;
  }

  void Drain() {
    uint64_t v;
    while (read(WakeFd, &v, sizeof v) == sizeof v) {
    }
    while (read(TimerFd, &v, sizeof v) == sizeof v) {
    }
  }
};

struct TWindowRecord {
  std::shared_ptr<TThreadQueue> Queue;
  std::shared_ptr<TWndMethod> Method;
};

// Window handles are numbers that are never reused, so a stale handle can never reach a new
// window; the registry maps them to their owner queue and method.
std::mutex gWindowsLock;
std::unordered_map<uintptr_t, TWindowRecord> gWindows;
uintptr_t gNextWindow = 0x10000;

// The thread's queue lives as long as the thread (and as long as windows refer to it); a post to
// the window of a finished thread fails instead of queueing forever.
struct TQueueHolder {
  std::shared_ptr<TThreadQueue> Queue;
  ~TQueueHolder() {
    if (Queue) {
      std::lock_guard<std::mutex> g(Queue->Lock);
      Queue->Alive = false;
      Queue->Posted.clear();
      Queue->Timers.clear();
    }
  }
};
thread_local TQueueHolder tQueue;
thread_local detail::IThreadLoop* tLoop = nullptr;

TThreadQueue& MyQueue() {
  if (!tQueue.Queue) tQueue.Queue = std::make_shared<TThreadQueue>();
  return *tQueue.Queue;
}

// The thread's queue, or nullptr (last-error value set) when the system refuses its descriptors;
// the entry points answer their failure value instead of throwing.
TThreadQueue* TryMyQueue() {
  try {
    return &MyQueue();
  } catch (const rtl::Exception&) {
    return nullptr;
  }
}

bool FindWindow(HWND wnd, TWindowRecord& out) {
  std::lock_guard<std::mutex> g(gWindowsLock);
  auto it = gWindows.find(reinterpret_cast<uintptr_t>(wnd));
  if (it == gWindows.end()) return false;
  out = it->second;
  return true;
}

void Deliver(HWND wnd, TMessage& msg) {
  TWindowRecord rec;
  if (!FindWindow(wnd, rec)) return;  // deallocated meanwhile: dropped
  try {
    (*rec.Method)(msg);
  } catch (...) {
    HandleDispatchException(std::current_exception());
  }
}

bool DispatchQueued() {
  TThreadQueue& q = MyQueue();
  TQueued item;
  bool isTimer = false;
  int64_t setDue = 0;
  {
    std::unique_lock<std::mutex> g(q.Lock);
    if (!q.Posted.empty()) {
      item = q.Posted.front();
      q.Posted.pop_front();
    } else {
      // Timer messages come only when nothing is posted, earliest first, one per period at most.
      int64_t now = NowNs();
      TTimer* due = nullptr;
      for (TTimer& t : q.Timers)
        if (t.Due <= now && (!due || t.Due < due->Due)) due = &t;
      if (!due) return false;
      due->Due = setDue = now + int64_t(due->Period) * 1000000;
      item.Wnd = due->Wnd;
      item.Msg = TMessage{WM_TIMER, due->Id, 0, 0};
      isTimer = true;
      q.RearmLocked();
    }
  }
  Deliver(item.Wnd, item.Msg);
  if (isTimer) {
    // The next period counts from the handler's end: a handler slower than its period must not
    // keep a "dispatch everything pending" loop busy for ever. A timer the handler set again or
    // killed is left as the handler made it.
    std::lock_guard<std::mutex> g(q.Lock);
    for (TTimer& t : q.Timers)
      if (t.Wnd == item.Wnd && t.Id == item.Msg.WParam && t.Due == setDue) {
        t.Due = NowNs() + int64_t(t.Period) * 1000000;
        q.RearmLocked();
        break;
      }
  }
  return true;
}

int ServiceWakeFd() { return MyQueue().WakeFd; }
int ServiceTimerFd() { return MyQueue().TimerFd; }
bool ServicePending() {
  TThreadQueue& q = MyQueue();
  std::lock_guard<std::mutex> g(q.Lock);
  return q.PendingLocked(NowNs());
}
int ServiceMsUntilNextTimer() {
  TThreadQueue& q = MyQueue();
  std::lock_guard<std::mutex> g(q.Lock);
  if (q.Timers.empty()) return -1;
  int64_t due = q.Timers.front().Due;
  for (const TTimer& t : q.Timers) due = std::min(due, t.Due);
  int64_t left = due - NowNs();
  if (left <= 0) return 0;
  return int((left + 999999) / 1000000);
}
void ServiceDrain() { MyQueue().Drain(); }

void ServicePollSpec(const TWaitHandle* h, int* fd, short* events) { detail::HandlePollSpec(*h, *fd, *events); }
uint32_t ServiceFirstSignalled(const TWaitHandle* handles, uint32_t count, const short* events,
                               const short* revents);

const detail::TQueueServices kServices{ServiceWakeFd,  ServiceTimerFd,  ServicePending,
                                       ServiceMsUntilNextTimer, ServiceDrain, DispatchQueued,
                                       ServicePollSpec, ServiceFirstSignalled};

uint32_t Fail(uint32_t code) {
  SetLastErrorValue(code);
  return WAIT_FAILED;
}

}  // namespace

namespace detail {

void InstallThreadLoop(IThreadLoop* loop) { tLoop = loop; }
const TQueueServices& QueueServices() { return kServices; }

void HandlePollSpec(const TWaitHandle& AHandle, int& fd, short& events) {
  fd = -1;
  events = POLLIN;
  if (TEvent* e = TWaitAccess::Event(AHandle))
    fd = TWaitAccess::EventFd(*e);
  else if (TSocketEvent* se = TWaitAccess::SocketEvent(AHandle))
    se->WaitDescriptor(fd, events);
}

bool ValidateHandles(const TWaitHandle* handles, uint32_t count) {
  if (count > MAXIMUM_WAIT_OBJECTS || (count > 0 && !handles)) {
    SetLastErrorValue(ERROR_INVALID_PARAMETER);
    return false;
  }
  // Cheap on purpose: a socket event's descriptor is asked for once, by the wait itself.
  for (uint32_t i = 0; i < count; ++i)
    if (!TWaitAccess::Event(handles[i]) && !TWaitAccess::SocketEvent(handles[i])) {
      SetLastErrorValue(ERROR_INVALID_HANDLE);
      return false;
    }
  return true;
}

// Reads the poll results of the handles (the first count entries of fds): index of the first
// signalled one, count when none, WAIT_FAILED for a closed descriptor.
uint32_t FirstSignalled(const TWaitHandle* handles, uint32_t count, const pollfd* fds) {
  for (uint32_t i = 0; i < count; ++i) {
    short re = fds[i].revents;
    if (re & POLLNVAL) return Fail(ERROR_INVALID_HANDLE);
    // Errors and hang-ups count as signalled: the owner of the descriptor finds out what happened.
    if (!(re & (fds[i].events | POLLERR | POLLHUP))) continue;
    TEvent* ev = TWaitAccess::Event(handles[i]);
    if (ev && !ev->ManualReset() && !ev->TryConsume()) continue;  // another waiter took it
    return i;
  }
  return count;
}

}  // namespace detail

namespace {
uint32_t ServiceFirstSignalled(const TWaitHandle* handles, uint32_t count, const short* events,
                               const short* revents) {
  pollfd fds[MAXIMUM_WAIT_OBJECTS];
  for (uint32_t i = 0; i < count && i < MAXIMUM_WAIT_OBJECTS; ++i) fds[i] = pollfd{-1, events[i], revents[i]};
  return detail::FirstSignalled(handles, count, fds);
}
}  // namespace

uint32_t MsgWaitForMultipleObjects(const TWaitHandle* handles, uint32_t count, uint32_t timeoutMs) {
  if (!detail::ValidateHandles(handles, count)) return WAIT_FAILED;
  if (tLoop) return tLoop->Wait(handles, count, timeoutMs);

  TThreadQueue* queue = TryMyQueue();
  if (!queue) return WAIT_FAILED;
  TThreadQueue& q = *queue;
  pollfd fds[MAXIMUM_WAIT_OBJECTS + 2];
  for (uint32_t i = 0; i < count; ++i) {
    fds[i].revents = 0;
    detail::HandlePollSpec(handles[i], fds[i].fd, fds[i].events);
  }
  fds[count] = pollfd{q.WakeFd, POLLIN, 0};
  fds[count + 1] = pollfd{q.TimerFd, POLLIN, 0};
  const int64_t deadline = timeoutMs == INFINITE ? 0 : NowNs() + int64_t(timeoutMs) * 1000000;
  for (;;) {
    bool pending = ServicePending();
    int waitMs;
    if (pending) {
      waitMs = 0;  // the handles still come first
    } else if (timeoutMs == INFINITE) {
      waitMs = -1;
    } else {
      int64_t left = deadline - NowNs();
      waitMs = left <= 0 ? 0 : int((left + 999999) / 1000000);
    }
    for (auto& f : fds) f.revents = 0;
    int n = poll(fds, count + 2, waitMs);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Fail(WindowsErrorFromErrno(errno));
    }
    if (n > 0) {
      uint32_t r = detail::FirstSignalled(handles, count, fds);
      if (r != count) return r;
      if (fds[count].revents || fds[count + 1].revents) q.Drain();
    }
    if (pending || ServicePending()) return WAIT_OBJECT_0 + count;
    if (timeoutMs != INFINITE && NowNs() >= deadline) return WAIT_TIMEOUT;
  }
}

bool ProcessOneMessage() {
  if (!TryMyQueue()) return false;
  if (DispatchQueued()) return true;
  return tLoop && tLoop->DispatchToolkitOne();
}

bool ProcessMessages() {
  bool any = false;
  while (ProcessOneMessage()) any = true;
  return any;
}

HWND AllocateHWnd(TWndMethod method) {
  if (!method) {
    SetLastErrorValue(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (!TryMyQueue()) return nullptr;
  TWindowRecord rec{tQueue.Queue, std::make_shared<TWndMethod>(std::move(method))};
  std::lock_guard<std::mutex> g(gWindowsLock);
  uintptr_t id = gNextWindow;
  gNextWindow += 4;
  gWindows.emplace(id, std::move(rec));
  return reinterpret_cast<HWND>(id);
}

void DeallocateHWnd(HWND wnd) {
  TWindowRecord rec;
  {
    std::lock_guard<std::mutex> g(gWindowsLock);
    auto it = gWindows.find(reinterpret_cast<uintptr_t>(wnd));
    if (it == gWindows.end()) return;
    rec = std::move(it->second);
    gWindows.erase(it);
  }
  std::lock_guard<std::mutex> g(rec.Queue->Lock);
  auto& p = rec.Queue->Posted;
  p.erase(std::remove_if(p.begin(), p.end(), [&](const TQueued& m) { return m.Wnd == wnd; }), p.end());
  auto& t = rec.Queue->Timers;
  t.erase(std::remove_if(t.begin(), t.end(), [&](const TTimer& x) { return x.Wnd == wnd; }), t.end());
  rec.Queue->RearmLocked();
  // The method may still be running (a window freed from its own handler): the shared pointer
  // held by the dispatch keeps it alive until it returns.
}

bool PostMessage(HWND wnd, uint32_t msg, uintptr_t wParam, intptr_t lParam) {
  // The registry lock is held while queueing so that DeallocateHWnd cannot slip in between the
  // lookup and the push and leave a message for a dead window.
  std::lock_guard<std::mutex> g(gWindowsLock);
  auto it = gWindows.find(reinterpret_cast<uintptr_t>(wnd));
  if (it == gWindows.end()) {
    SetLastErrorValue(1400);  // ERROR_INVALID_WINDOW_HANDLE
    return false;
  }
  TThreadQueue& q = *it->second.Queue;
  {
    std::lock_guard<std::mutex> qg(q.Lock);
    if (!q.Alive) {
      SetLastErrorValue(1400);
      return false;
    }
    q.Posted.push_back(TQueued{wnd, TMessage{msg, wParam, lParam, 0}});
  }
  q.Wake();
  return true;
}

bool SetTimer(HWND wnd, uintptr_t id, uint32_t periodMs) {
  // The platform raises periods below its minimum to 10 ms; a period of 0 would spin.
  periodMs = std::max<uint32_t>(periodMs, 10);
  periodMs = std::min<uint32_t>(periodMs, 0x7FFFFFFF);
  // Under the registry lock, like PostMessage: a window being freed cannot get a timer.
  std::lock_guard<std::mutex> rg(gWindowsLock);
  auto w = gWindows.find(reinterpret_cast<uintptr_t>(wnd));
  if (w == gWindows.end()) {
    SetLastErrorValue(1400);
    return false;
  }
  TThreadQueue& q = *w->second.Queue;
  {
    std::lock_guard<std::mutex> g(q.Lock);
    if (!q.Alive) {
      SetLastErrorValue(1400);
      return false;
    }
    int64_t due = NowNs() + int64_t(periodMs) * 1000000;
    auto it = std::find_if(q.Timers.begin(), q.Timers.end(),
                           [&](const TTimer& t) { return t.Wnd == wnd && t.Id == id; });
    if (it != q.Timers.end()) {
      it->Period = periodMs;  // setting an existing timer restarts it with the new period
      it->Due = due;
    } else {
      q.Timers.push_back(TTimer{wnd, id, periodMs, due});
    }
    q.RearmLocked();
  }
  q.Wake();  // a waiting owner recomputes its time-out
  return true;
}

bool KillTimer(HWND wnd, uintptr_t id) {
  TWindowRecord rec;
  if (!FindWindow(wnd, rec)) {
    SetLastErrorValue(1400);
    return false;
  }
  TThreadQueue& q = *rec.Queue;
  std::lock_guard<std::mutex> g(q.Lock);
  auto it = std::find_if(q.Timers.begin(), q.Timers.end(),
                         [&](const TTimer& t) { return t.Wnd == wnd && t.Id == id; });
  if (it == q.Timers.end()) {
    SetLastErrorValue(ERROR_INVALID_PARAMETER);  // no such timer
    return false;
  }
  q.Timers.erase(it);
  q.RearmLocked();
  return true;
}

void RemovePendingMessages(HWND wnd) {
  TWindowRecord rec;
  if (!FindWindow(wnd, rec)) return;
  std::lock_guard<std::mutex> g(rec.Queue->Lock);
  auto& p = rec.Queue->Posted;
  p.erase(std::remove_if(p.begin(), p.end(), [&](const TQueued& m) { return m.Wnd == wnd; }), p.end());
}

intptr_t SendMessage(HWND wnd, uint32_t msg, uintptr_t wParam, intptr_t lParam) {
  TMessage m{msg, wParam, lParam, 0};
  TWindowRecord rec;
  if (!FindWindow(wnd, rec)) return 0;
  (*rec.Method)(m);
  return m.Result;
}

bool IsWindow(HWND wnd) {
  std::lock_guard<std::mutex> g(gWindowsLock);
  return gWindows.count(reinterpret_cast<uintptr_t>(wnd)) != 0;
}

size_t PendingMessageCount() {
  TThreadQueue* queue = TryMyQueue();
  if (!queue) return 0;
  TThreadQueue& q = *queue;
  std::lock_guard<std::mutex> g(q.Lock);
  int64_t now = NowNs();
  size_t n = q.Posted.size();
  for (const TTimer& t : q.Timers)
    if (t.Due <= now) ++n;
  return n;
}

}  // namespace platform::gui

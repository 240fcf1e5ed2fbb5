// The thread message queue on Windows is the system's: hidden windows are message-only windows,
// posts are PostMessageW, timers SetTimer, and the wait is MsgWaitForMultipleObjectsEx with
// QS_ALLEVENTS over event objects and Winsock's events. Kept on top, as on POSIX: window handles
// are numbers of ours that are never reused, the next timer period counts from the end of its
// handler, GUI work counts as long as it is pending, and no exception crosses the system's frames.
#include "platform/gui/MessageLoop.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <string_view>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "platform/LastError.h"
#include "platform/win32/SocketEvent.h"
#include "rtl/Exception.h"

#include "rtl/win32/WinApi.h"
#undef MAXIMUM_WAIT_OBJECTS  // ours leaves the queue's slot out

// The parent of message-only windows (the macro names HWND, which is ours inside the namespace).
static const ::HWND kMessageOnlyParent = HWND_MESSAGE;

namespace platform::gui {

namespace detail {
struct TWaitAccess {
  static HANDLE Handle(const TEvent& e) { return reinterpret_cast<HANDLE>(e.FHandle); }
  static intptr_t& RawHandle(TEvent& e) { return e.FHandle; }
  static TEvent* Event(const TWaitHandle& h) { return h.FEvent; }
  static TSocketEvent* SocketEvent(const TWaitHandle& h) { return h.FSocketEvent; }
};
}  // namespace detail

using detail::TWaitAccess;

// ---------------------------------------------------------------------------------------------
// Events

TEvent::TEvent(bool manualReset, bool initialState) : FManualReset(manualReset) {
  HANDLE h = ::CreateEventW(nullptr, manualReset, initialState, nullptr);
  if (!h) {
    uint32_t code = ::GetLastError();
    throw rtl::EOSError(WindowsErrorMessage(code), int(code));
  }
  FHandle = reinterpret_cast<intptr_t>(h);
}

TEvent::~TEvent() { ::CloseHandle(TWaitAccess::Handle(*this)); }
void TEvent::Set() { ::SetEvent(TWaitAccess::Handle(*this)); }
void TEvent::Reset() { ::ResetEvent(TWaitAccess::Handle(*this)); }

bool TEvent::TryConsume() {
  if (::WaitForSingleObject(TWaitAccess::Handle(*this), 0) != WAIT_OBJECT_0) return false;
  if (FManualReset) ::ResetEvent(TWaitAccess::Handle(*this));
  return true;
}

bool TEvent::IsSet() const {
  HANDLE h = TWaitAccess::Handle(*this);
  if (::WaitForSingleObject(h, 0) != WAIT_OBJECT_0) return false;
  if (!FManualReset) ::SetEvent(h);  // looking took the signal of an auto-reset event: give it back
  return true;
}

// ---------------------------------------------------------------------------------------------
// Hidden windows

namespace {

constexpr wchar_t kClassName[] = L"KRVHiddenWindow";
// Posted to a window freed from another thread: its own thread destroys it (the system lets no
// other thread do that).
constexpr UINT kDestroyLater = WM_APP + 0x3FF0;

// What a thread knows of its windows: the messages we posted and nobody has taken yet.
struct TThreadQueue {
  DWORD ThreadId = ::GetCurrentThreadId();
  std::atomic<long> Posted{0};
};

struct TTimerRecord {
  UINT Period;
  uint64_t Generation;  // changed by every SetTimer and KillTimer
};

struct TWindowRecord {
  ::HWND Native = nullptr;
  std::shared_ptr<TThreadQueue> Queue;
  std::shared_ptr<TWndMethod> Method;
  std::unordered_map<uintptr_t, TTimerRecord> Timers;
};

std::mutex gWindowsLock;
std::unordered_map<uintptr_t, TWindowRecord> gWindows;
uintptr_t gNextWindow = 0x10000;
uint64_t gTimerGeneration = 0;

uintptr_t Id(HWND wnd) { return reinterpret_cast<uintptr_t>(wnd); }

// The system destroys a thread's windows when it ends; their numbers go with them, so a post to
// one fails instead of reaching a window the system may give to someone else.
struct TThreadWindows {
  std::shared_ptr<TThreadQueue> Queue;
  ~TThreadWindows() {
    if (!Queue) return;
    std::vector<::HWND> natives;
    {
      std::lock_guard<std::mutex> g(gWindowsLock);
      for (auto it = gWindows.begin(); it != gWindows.end();) {
        if (it->second.Queue == Queue) {
          natives.push_back(it->second.Native);
          it = gWindows.erase(it);
        } else {
          ++it;
        }
      }
    }
    for (::HWND h : natives) ::DestroyWindow(h);
  }
};
thread_local TThreadWindows tWindows;

std::shared_ptr<TThreadQueue> MyQueue() {
  if (!tWindows.Queue) tWindows.Queue = std::make_shared<TThreadQueue>();
  return tWindows.Queue;
}

// Takes a window's posted messages out of this thread's queue (timers' included), keeping the
// count of ours right.
void DropQueuedMessages(::HWND native, TThreadQueue& q) {
  MSG m;
  while (::PeekMessageW(&m, native, 0, 0, PM_REMOVE | PM_NOYIELD))
    if (m.message != WM_TIMER && m.message != kDestroyLater) q.Posted.fetch_sub(1);
}

LRESULT CALLBACK HiddenWindowProc(::HWND native, UINT msg, WPARAM wParam, LPARAM lParam) {
  const uintptr_t id = static_cast<uintptr_t>(::GetWindowLongPtrW(native, GWLP_USERDATA));
  std::shared_ptr<TWndMethod> method;
  uint64_t timerGeneration = 0;
  {
    std::lock_guard<std::mutex> g(gWindowsLock);
    auto it = id ? gWindows.find(id) : gWindows.end();
    if (it != gWindows.end()) {
      method = it->second.Method;
      if (msg == WM_TIMER) {
        auto t = it->second.Timers.find(wParam);
        if (t == it->second.Timers.end()) return 0;  // killed while its message was on the way
        timerGeneration = t->second.Generation;
      }
    }
  }
  if (!method) {
    if (msg == kDestroyLater) {
      if (auto q = MyQueue()) DropQueuedMessages(native, *q);
      ::DestroyWindow(native);
      return 0;
    }
    return ::DefWindowProcW(native, msg, wParam, lParam);
  }
  TMessage m{msg, wParam, lParam, 0};
  try {
    (*method)(m);
  } catch (...) {
    HandleDispatchException(std::current_exception());
  }
  if (msg == WM_TIMER) {
    // The next period counts from the handler's end, unless the handler set or killed it.
    std::lock_guard<std::mutex> g(gWindowsLock);
    auto it = gWindows.find(id);
    if (it != gWindows.end()) {
      auto t = it->second.Timers.find(wParam);
      if (t != it->second.Timers.end() && t->second.Generation == timerGeneration)
        ::SetTimer(native, wParam, t->second.Period, nullptr);
    }
  }
  return m.Result;
}

bool RegisterClassOnce() {
  static const bool ok = [] {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = HiddenWindowProc;
    wc.hInstance = ::GetModuleHandleW(nullptr);
    wc.lpszClassName = kClassName;
    return ::RegisterClassExW(&wc) != 0 || ::GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
  }();
  return ok;
}

uint32_t Fail(uint32_t code) {
  SetLastErrorValue(code);
  return WAIT_FAILED;
}

// Posted messages, timers and input of this thread that wait to be dispatched (seen or not).
bool GuiWorkPending() { return HIWORD(::GetQueueStatus(QS_ALLEVENTS)) != 0; }

}  // namespace

// ---------------------------------------------------------------------------------------------
// The wait

uint32_t MsgWaitForMultipleObjects(const TWaitHandle* handles, uint32_t count, uint32_t timeoutMs) {
  if (count > MAXIMUM_WAIT_OBJECTS || (count > 0 && !handles)) return Fail(ERROR_INVALID_PARAMETER);
  HANDLE native[MAXIMUM_WAIT_OBJECTS];
  for (uint32_t i = 0; i < count; ++i) {
    if (TEvent* e = TWaitAccess::Event(handles[i]))
      native[i] = TWaitAccess::Handle(*e);
    else if (TSocketEvent* se = TWaitAccess::SocketEvent(handles[i]))
      native[i] = se->SystemHandle();
    else
      native[i] = nullptr;
    if (!native[i]) return Fail(ERROR_INVALID_HANDLE);
  }
  // The tick count moves in steps of up to 16 ms: the time-out is measured on the steady clock
  // and each wait rounded up, so it is never reported before the time has passed.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    // Handles come before GUI work; a socket event may have a report the system will not signal.
    for (uint32_t i = 0; i < count; ++i) {
      TSocketEvent* se = TWaitAccess::SocketEvent(handles[i]);
      DWORD r = se && se->ReadyWithoutSignal() ? WAIT_OBJECT_0 : ::WaitForSingleObject(native[i], 0);
      if (r == WAIT_OBJECT_0) return i;
      if (r == WAIT_FAILED) return Fail(::GetLastError());
    }
    if (GuiWorkPending()) return WAIT_OBJECT_0 + count;
    DWORD waitMs = INFINITE;
    if (timeoutMs != INFINITE) {
      const auto left = deadline - std::chrono::steady_clock::now();
      if (left <= std::chrono::steady_clock::duration::zero()) return WAIT_TIMEOUT;
      waitMs = DWORD(std::chrono::ceil<std::chrono::milliseconds>(left).count());
    }
    DWORD r = ::MsgWaitForMultipleObjectsEx(count, native, waitMs, QS_ALLEVENTS, MWMO_INPUTAVAILABLE);
    if (r == WAIT_FAILED) return Fail(::GetLastError());
    if (r < WAIT_OBJECT_0 + count) {
      // The system has reset an auto-reset event it reports; for a manual one the loop above
      // answers the same index.
      TEvent* e = TWaitAccess::Event(handles[r - WAIT_OBJECT_0]);
      if (e && !e->ManualReset()) return r - WAIT_OBJECT_0;
    }
    // Otherwise look again: handles first, then the queue, then the time.
  }
}

bool ProcessOneMessage() {
  MSG m;
  if (!::PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) return false;
  // Our hidden windows' posted messages are counted for PendingMessageCount.
  wchar_t cls[32];
  if (m.hwnd && m.message != WM_TIMER && m.message != kDestroyLater &&
      ::GetClassNameW(m.hwnd, cls, 32) > 0 && std::wstring_view(cls) == kClassName)
    MyQueue()->Posted.fetch_sub(1);
  ::TranslateMessage(&m);
  ::DispatchMessageW(&m);
  return true;
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
  if (!RegisterClassOnce()) return nullptr;
  ::HWND native = ::CreateWindowExW(0, kClassName, L"", 0, 0, 0, 0, 0, kMessageOnlyParent, nullptr,
                                    ::GetModuleHandleW(nullptr), nullptr);
  if (!native) return nullptr;
  uintptr_t id;
  {
    std::lock_guard<std::mutex> g(gWindowsLock);
    id = gNextWindow;
    gNextWindow += 4;
    gWindows.emplace(id, TWindowRecord{native, MyQueue(), std::make_shared<TWndMethod>(std::move(method)), {}});
  }
  ::SetWindowLongPtrW(native, GWLP_USERDATA, static_cast<LONG_PTR>(id));
  return reinterpret_cast<HWND>(id);
}

void DeallocateHWnd(HWND wnd) {
  TWindowRecord rec;
  {
    std::lock_guard<std::mutex> g(gWindowsLock);
    auto it = gWindows.find(Id(wnd));
    if (it == gWindows.end()) return;
    rec = std::move(it->second);
    gWindows.erase(it);
  }
  // The method may still be running (a window freed from its own handler): the dispatch holds it.
  if (rec.Queue->ThreadId == ::GetCurrentThreadId()) {
    DropQueuedMessages(rec.Native, *rec.Queue);
    ::DestroyWindow(rec.Native);
  } else {
    ::PostMessageW(rec.Native, kDestroyLater, 0, 0);
  }
}

bool PostMessage(HWND wnd, uint32_t msg, uintptr_t wParam, intptr_t lParam) {
  // Under the registry lock, so that a window being freed cannot get a message.
  std::lock_guard<std::mutex> g(gWindowsLock);
  auto it = gWindows.find(Id(wnd));
  if (it == gWindows.end()) {
    SetLastErrorValue(ERROR_INVALID_WINDOW_HANDLE);
    return false;
  }
  it->second.Queue->Posted.fetch_add(1);
  if (!::PostMessageW(it->second.Native, msg, wParam, lParam)) {
    it->second.Queue->Posted.fetch_sub(1);
    return false;
  }
  return true;
}

bool SetTimer(HWND wnd, uintptr_t id, uint32_t periodMs) {
  // The system raises periods below 10 ms itself; the cap keeps them in its range.
  periodMs = std::clamp<uint32_t>(periodMs, 10, 0x7FFFFFFF);
  std::lock_guard<std::mutex> g(gWindowsLock);
  auto it = gWindows.find(Id(wnd));
  if (it == gWindows.end()) {
    SetLastErrorValue(ERROR_INVALID_WINDOW_HANDLE);
    return false;
  }
  if (!::SetTimer(it->second.Native, id, periodMs, nullptr)) return false;
  it->second.Timers[id] = TTimerRecord{periodMs, ++gTimerGeneration};
  return true;
}

bool KillTimer(HWND wnd, uintptr_t id) {
  std::lock_guard<std::mutex> g(gWindowsLock);
  auto it = gWindows.find(Id(wnd));
  if (it == gWindows.end()) {
    SetLastErrorValue(ERROR_INVALID_WINDOW_HANDLE);
    return false;
  }
  if (it->second.Timers.erase(id) == 0) {
    SetLastErrorValue(ERROR_INVALID_PARAMETER);  // no such timer
    return false;
  }
  ++gTimerGeneration;
  ::KillTimer(it->second.Native, id);
  return true;
}

void RemovePendingMessages(HWND wnd) {
  ::HWND native = nullptr;
  std::shared_ptr<TThreadQueue> queue;
  {
    std::lock_guard<std::mutex> g(gWindowsLock);
    auto it = gWindows.find(Id(wnd));
    if (it == gWindows.end()) return;
    native = it->second.Native;
    queue = it->second.Queue;
  }
  if (queue->ThreadId != ::GetCurrentThreadId()) return;  // only the owner can look into its queue
  MSG m;
  // Posted messages only: a due timer stays due.
  while (::PeekMessageW(&m, native, 0, WM_TIMER - 1, PM_REMOVE | PM_NOYIELD) ||
         ::PeekMessageW(&m, native, WM_TIMER + 1, 0xFFFFFFFF, PM_REMOVE | PM_NOYIELD))
    if (m.message != kDestroyLater) queue->Posted.fetch_sub(1);
}

intptr_t SendMessage(HWND wnd, uint32_t msg, uintptr_t wParam, intptr_t lParam) {
  std::shared_ptr<TWndMethod> method;
  {
    std::lock_guard<std::mutex> g(gWindowsLock);
    auto it = gWindows.find(Id(wnd));
    if (it == gWindows.end()) return 0;
    method = it->second.Method;
  }
  TMessage m{msg, wParam, lParam, 0};
  (*method)(m);
  return m.Result;
}

bool IsWindow(HWND wnd) {
  std::lock_guard<std::mutex> g(gWindowsLock);
  return gWindows.count(Id(wnd)) != 0;
}

size_t PendingMessageCount() {
  // The system tells only whether a timer is due, not how many: one counts for all of them.
  long posted = tWindows.Queue ? std::max(0L, tWindows.Queue->Posted.load()) : 0;
  return size_t(posted) + ((HIWORD(::GetQueueStatus(QS_TIMER)) & QS_TIMER) ? 1 : 0);
}

}  // namespace platform::gui

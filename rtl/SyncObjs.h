// Critical sections: re-entrant, like the platform's.
#pragma once

#include <mutex>

namespace rtl {

class TCriticalSection {
 public:
  void Enter() { FMutex.lock(); }
  void Leave() { FMutex.unlock(); }
  bool TryEnter() { return FMutex.try_lock(); }
  // BasicLockable, so std::lock_guard works.
  void lock() { Enter(); }
  void unlock() { Leave(); }

 private:
  std::recursive_mutex FMutex;
};

}  // namespace rtl

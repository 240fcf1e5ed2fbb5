// Hands work from the library's threads to the thread that called Extract, synchronously: the
// library's worker waits until the calling thread has run it. Events thus reach their handlers on
// the caller's thread while the library keeps decoding in parallel.
#pragma once

#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>

namespace sevenzip {

class TCallerGate {
 public:
  // Runs f on the serving thread and waits for it; directly when called on that thread or when
  // nobody serves. An exception thrown by f is rethrown here, in the asking thread.
  void Run(const std::function<void()>& f) {
    std::unique_lock<std::mutex> lock(FMutex);
    if (!FServing || std::this_thread::get_id() == FServer) {
      lock.unlock();
      f();
      return;
    }
    FWaitFree.wait(lock, [&] { return FTask == nullptr; });
    FTask = &f;
    FTaskError = nullptr;
    FTaskDone = false;
    FWakeServer.notify_one();
    FWaitDone.wait(lock, [&] { return FTaskDone; });
    std::exception_ptr error = FTaskError;
    FTask = nullptr;
    FWaitFree.notify_one();
    lock.unlock();
    if (error) std::rethrow_exception(error);
  }

  // Runs work on a helper thread while this thread serves the hand-overs until work returns.
  template <class Work>
  void ServeWhile(Work work) {
    {
      std::lock_guard<std::mutex> lock(FMutex);
      FServing = true;
      FFinished = false;
      FServer = std::this_thread::get_id();
    }
    std::thread helper([&] {
      work();
      std::lock_guard<std::mutex> lock(FMutex);
      FFinished = true;
      FWakeServer.notify_one();
    });
    std::unique_lock<std::mutex> lock(FMutex);
    for (;;) {
      FWakeServer.wait(lock, [&] { return FFinished || (FTask && !FTaskDone); });
      if (FTask && !FTaskDone) {
        const std::function<void()>* task = FTask;
        lock.unlock();
        std::exception_ptr error;
        try {
          (*task)();
        } catch (...) {
          error = std::current_exception();
        }
        lock.lock();
        FTaskError = error;
        FTaskDone = true;
        FWaitDone.notify_one();
        continue;
      }
      if (FFinished) break;
    }
    FServing = false;
    lock.unlock();
    helper.join();
  }

 private:
  std::mutex FMutex;
  std::condition_variable FWakeServer, FWaitDone, FWaitFree;
  const std::function<void()>* FTask = nullptr;
  std::exception_ptr FTaskError;
  bool FTaskDone = false;
  bool FServing = false;
  bool FFinished = false;
  std::thread::id FServer;
};

}  // namespace sevenzip

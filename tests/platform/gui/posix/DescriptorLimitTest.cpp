// The POSIX queue needs descriptors of its own (eventfd, timerfd); what happens without them.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/LastError.h"
#include "platform/gui/MessageLoop.h"

using namespace platform::gui;

namespace {

// Out of descriptors, a thread cannot get its queue: the entry points answer their failure
// values with the last-error value set, and nothing throws or crashes.
TEST(Resources, NoDescriptorsLeftGivesFailureValuesNotExceptions) {
#if defined(KRV_SANITIZE)
  GTEST_SKIP() << "UndefinedBehaviorSanitizer's type checks open a pipe themselves and fail without descriptors";
#endif
  pid_t pid = fork();
  if (pid == 0) {
    rlimit lim{0, 0};
    getrlimit(RLIMIT_NOFILE, &lim);
    int top = dup(0);  // the highest descriptor in use now, roughly
    lim.rlim_cur = rlim_t(top);
    setrlimit(RLIMIT_NOFILE, &lim);
    while (dup(0) >= 0) {
    }
    static int code = 0;
    // A plain thread: a new thread has no queue yet (the sanitizers' own checks of std::thread
    // need descriptors that are gone here).
    pthread_t t;
    auto body = [](void*) -> void* {
      platform::SetLastErrorValue(0);
      if (MsgWaitForMultipleObjects(nullptr, 0, 0) != WAIT_FAILED) code |= 1;
      if (platform::GetLastErrorValue() != platform::ERROR_TOO_MANY_OPEN_FILES) code |= 2;
      if (AllocateHWnd([](TMessage&) {}) != nullptr) code |= 4;
      if (ProcessOneMessage()) code |= 8;
      if (PendingMessageCount() != 0) code |= 16;
      return nullptr;
    };
    if (pthread_create(&t, nullptr, body, nullptr) != 0) _exit(100);
    pthread_join(t, nullptr);
    _exit(code);
  }
  int status = -1;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0) << "bits: 1 wait, 2 error code, 4 window, 8 dispatch, 16 count";
}

}  // namespace

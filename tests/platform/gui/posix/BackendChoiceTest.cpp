// The toolkit choice on POSIX: GTK only with a display that opens, else headless.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "platform/gui/Forms.h"

using namespace platform::gui;

namespace {

// The backend is chosen once per process, so each choice runs in a child process.
int BackendInChild(const char* display, const char* mode) {
  pid_t pid = fork();
  if (pid == 0) {
    if (display) setenv("DISPLAY", display, 1);
    else unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    if (mode) setenv("KRV_GUI", mode, 1);
    else unsetenv("KRV_GUI");
    Application().Initialize();
    _exit(std::string(Application().BackendName()) == "headless" ? 10 : 11);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(BackendChoice, NoOrUnreachableDisplaySilentlySelectsHeadless) {
  struct Case { const char* display; const char* mode; };
  for (Case c : {Case{nullptr, nullptr}, Case{"", nullptr}, Case{":4077", nullptr}, Case{"bad:display:", nullptr},
                 Case{":0", "headless"}}) {
    EXPECT_EQ(BackendInChild(c.display, c.mode), 10) << (c.display ? c.display : "(unset)");
  }
}

}  // namespace

// Starts a private Xvfb on a free display for the tests of one process and points DISPLAY at
// it; stops it at exit. Answers false (with the reason) when no X server can be started here.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace krvtest {

class TXvfb {
 public:
  static bool Start(std::string& why) {
    static TXvfb instance;
    if (!instance.FStarted) instance.FStarted = instance.Launch(instance.FWhy);
    why = instance.FWhy;
    return instance.FStarted;
  }
  ~TXvfb() {
    if (FPid > 0) {
      kill(FPid, SIGTERM);
      waitpid(FPid, nullptr, 0);
    }
  }

 private:
  bool Launch(std::string& why) {
    const char* xvfb = "/usr/bin/Xvfb";
    if (access(xvfb, X_OK) != 0) {
      why = "Xvfb is not installed (scripts/setup.sh installs it)";
      return false;
    }
    int p[2];
    if (pipe(p) != 0) {
      why = "pipe failed";
      return false;
    }
    FPid = fork();
    if (FPid == 0) {
      close(p[0]);
      int devnull = open("/dev/null", O_RDWR);
      dup2(devnull, 1);
      dup2(devnull, 2);
      // -displayfd: the server picks a free display itself and tells us which.
      std::string fd = std::to_string(p[1]);
      execl(xvfb, "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1024x768x24", "-nolisten", "tcp",
            "-noreset", (char*)nullptr);
      _exit(127);
    }
    close(p[1]);
    std::string number;
    char c;
    // Bounded: Xvfb writes the number once it accepts connections, or exits.
    while (read(p[0], &c, 1) == 1 && c != '\n') number += c;
    close(p[0]);
    if (number.empty()) {
      why = "Xvfb did not start";
      return false;
    }
    setenv("DISPLAY", (":" + number).c_str(), 1);
    unsetenv("WAYLAND_DISPLAY");
    unsetenv("KRV_GUI");
    return true;
  }

  bool FStarted = false;
  std::string FWhy;
  pid_t FPid = -1;
};

}  // namespace krvtest

// A program started from a file that runs (its file in use) until the object ends: on Linux a
// copy of sleep, on Windows a copy of the test program itself, started suspended.
#pragma once

#include <filesystem>
#include <string>

#ifdef _WIN32
#include "rtl/win32/WinApi.h"
#else
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

extern char** environ;
#endif

namespace krvtest {

class TRunningProgram {
 public:
  explicit TRunningProgram(const std::string& path) {
    namespace fs = std::filesystem;
    fs::remove(path);
#ifdef _WIN32
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    fs::copy_file(self, path);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    std::wstring line = L"\"" + fs::path(path).wstring() + L"\"";
    if (CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr, nullptr, &si, &FInfo))
      CloseHandle(FInfo.hThread);
#else
    fs::copy_file("/bin/sleep", path);
    std::string arg = "300";
    char* argv[] = {const_cast<char*>(path.c_str()), arg.data(), nullptr};
    if (::posix_spawn(&FPid, path.c_str(), nullptr, nullptr, argv, environ) != 0) return;
    // Busy once the kernel has mapped it: wait (bounded) until writing is refused.
    for (int i = 0; i < 500; ++i, ::usleep(10000)) {
      int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
      if (fd < 0 && errno == ETXTBSY) break;
      if (fd >= 0) ::close(fd);
    }
#endif
  }
  ~TRunningProgram() {
#ifdef _WIN32
    TerminateProcess(FInfo.hProcess, 0);
    WaitForSingleObject(FInfo.hProcess, INFINITE);
    CloseHandle(FInfo.hProcess);
#else
    if (FPid > 0) ::kill(FPid, SIGKILL), ::waitpid(FPid, nullptr, 0);
#endif
  }
  TRunningProgram(const TRunningProgram&) = delete;
  TRunningProgram& operator=(const TRunningProgram&) = delete;

  bool Running() const {
#ifdef _WIN32
    return FInfo.hProcess && WaitForSingleObject(FInfo.hProcess, 0) == WAIT_TIMEOUT;
#else
    return FPid > 0 && ::kill(FPid, 0) == 0;
#endif
  }
#ifndef _WIN32
  pid_t Pid() const { return FPid; }
#endif

 private:
#ifdef _WIN32
  PROCESS_INFORMATION FInfo{};
#else
  pid_t FPid = -1;
#endif
};

}  // namespace krvtest

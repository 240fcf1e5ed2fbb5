// Runs a shell command of the host (the Linux machine the tests run on) from a test program and
// answers its exit status, -1 when it could not be run or did not end in time.
//
// Under Wine a Windows process can start a Linux program, but Wine neither waits for it nor
// hands back its status. So the command writes its status into a file of a fresh folder as its
// last step (a rename, so the file appears whole), and the test waits on that folder's change
// notification: an event, never a sleep.
#pragma once

#include <string>

#ifdef _WIN32
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#else
#include <sys/wait.h>

#include <cstdlib>
#endif

namespace krvtest {

#ifdef _WIN32

// The command line quoted as CommandLineToArgvW splits it (Wine builds the Linux argv that way).
inline std::string QuoteWindowsArgument(const std::string& arg) {
  std::string out = "\"";
  size_t backslashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    if (c == '"') backslashes = backslashes * 2 + 1;
    out.append(backslashes, '\\');
    backslashes = 0;
    out.push_back(c);
  }
  out.append(backslashes * 2, '\\');
  return out + "\"";
}

inline int RunHostCommand(const std::string& command, DWORD timeoutMs = 300000) {
  static std::atomic<int> counter{0};
  // A folder of the current directory: the Linux program starts in the same directory.
  std::string dir = "krv-host-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(counter++);
  if (!CreateDirectoryA(dir.c_str(), nullptr)) return -1;
  std::string status = dir + "/status";
  int result = -1;
  HANDLE change = FindFirstChangeNotificationA(dir.c_str(), FALSE, FILE_NOTIFY_CHANGE_FILE_NAME);
  if (change != INVALID_HANDLE_VALUE) {
    std::string script = "( " + command + " ); echo $? > " + status + ".tmp && mv " + status + ".tmp " + status;
    std::string line = "/bin/sh -c " + QuoteWindowsArgument(script);
    int wide = MultiByteToWideChar(CP_UTF8, 0, line.c_str(), -1, nullptr, 0);
    std::wstring wline(static_cast<size_t>(wide), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, line.c_str(), -1, wline.data(), wide);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (CreateProcessW(nullptr, wline.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
      // Wine hands back no process or thread handle for a Linux program (the fields hold
      // nothing to close, at times not even null).
      ULONGLONG deadline = GetTickCount64() + timeoutMs;
      for (;;) {
        std::ifstream in(status);
        if (in && (in >> result)) break;
        ULONGLONG now = GetTickCount64();
        if (now >= deadline || WaitForSingleObject(change, static_cast<DWORD>(deadline - now)) != WAIT_OBJECT_0) {
          std::fprintf(stderr, "host command did not end in time (error %lu): %s\n",
                       static_cast<unsigned long>(GetLastError()), command.c_str());
          result = -1;
          break;
        }
        FindNextChangeNotification(change);
      }
    }
    FindCloseChangeNotification(change);
  }
  DeleteFileA(status.c_str());
  RemoveDirectoryA(dir.c_str());
  return result;
}

#else

inline int RunHostCommand(const std::string& command) {
  int rc = std::system(command.c_str());
  return rc != -1 && WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

#endif

}  // namespace krvtest

// Runs a shell command of the host (the Linux machine the tests run on) from a test program and
// answers its exit status, -1 when it could not be run or did not end in time.
//
// Under Wine a Windows process can start a Linux program, but Wine neither waits for it nor
// hands back its status. So the command writes its status into a file of a fresh folder as its
// last step (a rename, so the file appears whole), and the test waits on that folder's change
// notification: an event, never a sleep.
//
// RunHostCaptured adds what the tools' tests share: standard input empty, the output caught in
// files, a time limit; BuildProgram names a program of this build as the host's shell starts it.
#pragma once

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#ifdef _WIN32
#include <windows.h>
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

// A word quoted for the host's shell.
inline std::string ShellQuote(const std::string& text) {
  std::string q = "'";
  for (char c : text) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

inline std::string ReadHostFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// How a host command ended (-1: not run or not ended) and what it printed.
struct THostRun {
  int Code = -1;
  std::string Out, Err;
};

// Runs the command line with sh, standard input empty, ended after timeoutSeconds: a hang is a
// failure, not a stuck suite.
inline THostRun RunHostCaptured(const std::string& command, int timeoutSeconds = 120) {
  static std::atomic<int> counter{0};
  // CTest runs the cases as parallel processes: each keeps its own files, beside the build.
  const std::string base =
      std::string(KRV_BINARY_DIR) + "/host-run-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
  THostRun r;
  r.Code = RunHostCommand("timeout " + std::to_string(timeoutSeconds) + " sh -c " + ShellQuote(command) +
                          " </dev/null >" + ShellQuote(base + ".out") + " 2>" + ShellQuote(base + ".err"));
  r.Out = ReadHostFile(base + ".out");
  r.Err = ReadHostFile(base + ".err");
  std::remove((base + ".out").c_str());
  std::remove((base + ".err").c_str());
  return r;
}

// A program of this build (its path without ".exe") as its users start it from the host's
// shell: in the Windows build the .exe, through wine-run.
inline std::string BuildProgram(const std::string& path) {
#ifdef _WIN32
  return ShellQuote(std::string(KRV_BINARY_DIR) + "/wine-run") + " " + ShellQuote(path + ".exe");
#else
  return ShellQuote(path);
#endif
}

}  // namespace krvtest

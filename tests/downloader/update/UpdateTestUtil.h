// Helpers of the update tests: the update server as a child process on a port of the test's
// choosing, archives made by the real 7z program, and runs of a downloader edition. Under Wine
// the peer is the host's Linux update server and the archives come from the host's 7z, both
// started through the host's shell (UpdateTestHost.cpp).
#pragma once

#include <gtest/gtest.h>

#ifndef _WIN32
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <atomic>
#include <csignal>
#include <chrono>
#include <functional>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "../TestUtil.h"
#ifndef _WIN32
#include "tests/TestSockets.h"
#endif

namespace krvtest {

#if defined(_WIN32) && !defined(SIGKILL)
#define SIGKILL 9
#endif

// A peer program of the host, started with argv (the program and its arguments) and followed
// through what it prints, a line at a time; its first line names its address ("...:PORT").
// Under Wine it is started in the background by the host's shell with its output in a log file
// (UpdateTestHost.cpp); on Linux it is a child with a pipe.
class THostPeer {
 public:
  explicit THostPeer(const std::vector<std::string>& argv);
  ~THostPeer();
  THostPeer(const THostPeer&) = delete;
  THostPeer& operator=(const THostPeer&) = delete;
  bool Running() const { return FStarted && Port > 0; }
  // Sends the signal and waits for the peer to end.
  void Kill(int sig);
  // One line, waiting at most timeoutMs; empty when none came.
  std::string ReadLine(int timeoutMs);
  // The log lines of requests that have ended, each waited for up to timeoutMs, fewer when no
  // more came. Connections are served at once, each on its own thread, and each logs when its
  // answer is out: a client that has its bytes may send the next request, and have it answered
  // and logged, before the thread of the first one logs. So lines of consecutive requests come
  // in either order.
  std::vector<std::string> ReadLines(size_t count, int timeoutMs) {
    std::vector<std::string> lines;
    while (lines.size() < count) {
      std::string line = ReadLine(timeoutMs);
      if (line.empty()) break;
      lines.push_back(line);
    }
    return lines;
  }
  int Port = 0;

 private:
  bool FStarted = false;
  std::string FBuffer;
#ifdef _WIN32
  std::string FDir, FPid;
  size_t FRead = 0;
#else
  pid_t FPid = -1;
  int FOut = -1;
#endif
};

// The update server (krv-update-server; under Wine the host's) serving root; port 0 lets the
// system choose.
class TUpdateServer : public THostPeer {
 public:
  TUpdateServer(const std::string& root, int port, const std::vector<std::string>& extra = {})
      : THostPeer(Command(root, port, extra)) {}

 private:
  static std::vector<std::string> Command(const std::string& root, int port, const std::vector<std::string>& extra) {
    std::vector<std::string> argv{KRV_UPDATE_SERVER, "--root", root, "--port", std::to_string(port)};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return argv;
  }
};

#ifndef _WIN32
inline THostPeer::THostPeer(const std::vector<std::string>& argv) {
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return;
  std::vector<std::string> copy = argv;
  std::vector<char*> args;
  for (auto& a : copy) args.push_back(a.data());
  args.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, out[1], 1);
  if (::posix_spawn(&FPid, args[0], &fa, nullptr, args.data(), environ) != 0) FPid = -1;
  posix_spawn_file_actions_destroy(&fa);
  ::close(out[1]);
  FOut = out[0];
  FStarted = FPid > 0;
  // The first line names the address; bounded wait.
  std::string first = ReadLine(10000);
  auto at = first.rfind(':');
  if (FStarted && at != std::string::npos) Port = std::atoi(first.c_str() + at + 1);
}

inline void THostPeer::Kill(int sig) {
  if (FPid > 0) {
    ::kill(FPid, sig);
    ::waitpid(FPid, nullptr, 0);
    FPid = -1;
  }
}

inline THostPeer::~THostPeer() {
  Kill(SIGTERM);
  if (FOut >= 0) ::close(FOut);
}

inline std::string THostPeer::ReadLine(int timeoutMs) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    auto nl = FBuffer.find('\n');
    if (nl != std::string::npos) {
      std::string line = FBuffer.substr(0, nl);
      FBuffer.erase(0, nl + 1);
      return line;
    }
    int left = int(std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count());
    if (left <= 0 || FOut < 0) return {};
    pollfd p{FOut, POLLIN, 0};
    if (::poll(&p, 1, left) <= 0) return {};
    char buf[4096];
    ssize_t n = ::read(FOut, buf, sizeof buf);
    if (n <= 0) return {};
    FBuffer.append(buf, size_t(n));
  }
}
#endif

// Waits until a file in folder, other than those named in ignored, holds at least minBytes: a
// transfer is under way there. False after timeoutMs without one.
inline bool WaitForTransfer(const std::string& folder, std::uintmax_t minBytes, int timeoutMs,
                            const std::vector<std::string>& ignored = {}) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  do {
    std::error_code ec;
    for (auto it = std::filesystem::directory_iterator(folder, ec); !ec && it != std::filesystem::directory_iterator();
         it.increment(ec)) {
      const std::string name = it->path().filename().string();
      bool skip = false;
      for (const std::string& n : ignored) skip = skip || name == n;
      std::error_code sizeError;
      if (!skip && it->is_regular_file(sizeError) && it->file_size(sizeError) >= minBytes && !sizeError) return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  } while (std::chrono::steady_clock::now() < end);
  return false;
}

#ifndef _WIN32
// A loopback listener on a port of the test's choosing whose every connection is handed to
// AServe on its thread, one at a time (the socket is closed after it); ends with the object.
class TLoopbackAcceptor {
 public:
  TLoopbackAcceptor(int APort, std::function<void(int)> AServe) : FServe(std::move(AServe)) {
    FListen = tsock::Open();
    if (FListen < 0) return;
    tsock::SetReuseAddress(FListen);
    if (tsock::BindLoopback(FListen, false, APort) >= 0 && tsock::Listen(FListen, 8) == 0)
      FThread = std::thread([this] { Run(); });
  }
  ~TLoopbackAcceptor() { Stop(); }
  void Stop() {
    Stopping = true;
    if (FThread.joinable()) FThread.join();
    if (FListen >= 0) tsock::Close(FListen);
    FListen = -1;
  }
  bool Listening() const { return FThread.joinable(); }
  std::atomic<bool> Stopping{false};

 private:
  void Run() {
    while (!Stopping) {
      if (!(tsock::PollOne(FListen, POLLIN, 100) & POLLIN)) continue;
      int fd = tsock::Accept(FListen);
      if (fd < 0) continue;
      tsock::SetTimeouts(fd, 10);
      FServe(fd);
      tsock::Close(fd);
    }
  }
  std::function<void(int)> FServe;
  int FListen = -1;
  std::thread FThread;
};

#endif

// Whether one of the lines holds text.
inline bool AnyHolds(const std::vector<std::string>& lines, const std::string& text) {
  for (const std::string& l : lines)
    if (l.find(text) != std::string::npos) return true;
  return false;
}

// A 7z archive made by the real 7z program from files of a folder (names relative to it).
inline bool Make7z(const std::string& archive, const std::string& folder, const std::string& names,
                   const std::string& options = "-mx=1") {
  return Shell("cd '" + folder + "' && 7z a -t7z " + options + " '" + archive + "' " + names + " >/dev/null 2>&1");
}

// The edition's archive in root: the product and 20 MiB of random bytes, stored, so a
// server held to a rate takes seconds to send it (the window can be watched meanwhile).
inline bool MakeLargeProductArchive(const std::string& product, const std::string& src, const std::string& root) {
  fs::create_directories(src);
  fs::copy_file(product, src + "/KorvelFA.exe");
  return Shell("head -c 20971520 /dev/urandom > '" + src + "/data.bin'") &&
         Make7z(root + "/dlKorvelFA_SQL_KO_KO_1001820.7z", src, "KorvelFA.exe data.bin", "-mx=0");
}

struct TDownloaderRun {
  TRun Run;
  std::string Stderr;
};

// The test's folder as the host's tools name it (they make archives and serve files there).
inline std::string HostFolder(const TTempDir& dir) {
#ifdef _WIN32
  return dir.Path().generic_string();  // "/work/...": the same folder to Wine, on drive Z:
#else
  return fs::canonical(dir.Path()).string();
#endif
}

#ifdef _WIN32
// A path as the system names it ("Z:\\work\\..." under Wine for the host's "/work/..."), as the
// downloader reports its own folder.
inline std::string SystemPath(const std::string& p) { return fs::absolute(fs::path(p)).make_preferred().string(); }
// The edition copied to Exe (named with ".exe"), with the 7-Zip library beside it.
inline std::string PlaceDownloader(const std::string& edition, const std::string& folder) {
  fs::copy_file(KRV_7Z_DLL, folder + "/7z.dll");
  fs::copy_file(edition, folder + "/KRVDownload.exe");
  return folder + "/KRVDownload.exe";
}
// Runs the downloader edition in Folder (its own folder and current directory), headless unless
// told otherwise, stderr kept, no proxy variable but those of env ("NAME=value"), bounded to
// 120 s; then waits for what it started (the product stand-in records into a file).
TDownloaderRun RunDownloader(const std::string& exe, const std::string& folder, const std::string& desktop,
                             const std::vector<std::string>& args, bool headless = true,
                             const std::vector<std::string>& env = {});
// The shell's desktop folder: the test cannot choose it, so a case removes the shortcuts it
// looks for first.
std::string ShortcutFolder(const std::string& testDesktop);
// The link's target, arguments and working folder, one a line, read back through the shell.
std::string ReadShortcut(const std::string& file);
#else
inline std::string SystemPath(const std::string& p) { return p; }
inline std::string PlaceDownloader(const std::string& edition, const std::string& folder) {
  fs::copy_file(edition, folder + "/KRVDownload");
  return folder + "/KRVDownload";
}
inline std::string ShortcutFolder(const std::string& testDesktop) { return testDesktop; }
inline std::string ReadShortcut(const std::string& file) { return ReadFile(file); }

// Runs the downloader edition in Folder (its own folder and current directory) with the product's
// report pipe, stderr kept, XDG_DESKTOP_DIR pointing at Desktop, no proxy variable but those of
// env ("NAME=value"), bounded to 120 s.
inline TDownloaderRun RunDownloader(const std::string& exe, const std::string& folder, const std::string& desktop,
                                    const std::vector<std::string>& args, bool headless = true,
                                    const std::vector<std::string>& env = {}) {
  std::string errFile = folder + "/../stderr.txt";
  // env(1) sets the variables over any the test itself inherited.
  std::vector<std::string> argv{"/usr/bin/timeout", "120", "/usr/bin/env", "-u", "KRV_GUI", "XDG_DESKTOP_DIR=" + desktop};
  for (const char* proxy : {"http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY", "no_proxy", "NO_PROXY"})
    argv.insert(argv.begin() + 3, {"-u", proxy});
  argv.insert(argv.end(), env.begin(), env.end());
  if (headless) argv.push_back("KRV_GUI=headless");
  for (const char* s : {"/bin/sh", "-c"}) argv.push_back(s);
  argv.push_back("exec \"$0\" \"$@\" 2>'" + errFile + "'");
  argv.push_back(exe);
  argv.insert(argv.end(), args.begin(), args.end());
  TDownloaderRun r;
  r.Run = RunWithProductPipe(argv, folder);
  r.Stderr = ReadFile(errFile);
  return r;
}
#endif

// The product's shortcuts (names starting "KorvelFA") in the desktop folder the downloader uses.
inline std::vector<std::string> ProductShortcuts(const std::string& testDesktop) {
  std::vector<std::string> names;
  std::error_code ec;
  for (auto it = fs::directory_iterator(ShortcutFolder(testDesktop), ec); !ec && it != fs::directory_iterator();
       it.increment(ec))
    if (it->path().filename().string().rfind("KorvelFA", 0) == 0) names.push_back(it->path().filename().string());
  return names;
}

}  // namespace krvtest

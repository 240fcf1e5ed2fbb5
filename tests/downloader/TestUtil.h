// Helpers of the launcher tests: temporary folders, files, PE files made by GNU binutils for
// mingw-w64, and child processes whose product stand-in reports through a pipe.
#pragma once

#include <gtest/gtest.h>

#ifndef _WIN32
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cstdint>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#ifdef _WIN32
#include <process.h>
#else
extern char** environ;
#endif

namespace krvtest {

namespace fs = std::filesystem;

class TTempDir {
 public:
  // Under the build tree: the tests run programs from these folders, and a temporary file system
  // may be mounted without execute rights. Under Wine the host's tools see the same path.
  TTempDir() {
    fs::path base = fs::path(KRV_BINARY_DIR) / "tests" / "downloader" / "tmp";
    fs::create_directories(base);
#ifdef _WIN32
    static std::atomic<int> counter{0};
    FPath = base / ("krv-launch-" + std::to_string(::_getpid()) + "-" + std::to_string(counter++));
    fs::remove_all(FPath);
    fs::create_directory(FPath);
#else
    std::string pattern = (base / "krv-launch-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    FPath = pattern;
#endif
  }
  TTempDir(const TTempDir&) = delete;
  TTempDir& operator=(const TTempDir&) = delete;
  ~TTempDir() {
    std::error_code ec;
    fs::remove_all(FPath, ec);
  }
  const fs::path& Path() const { return FPath; }
  // With "/" on both systems, so the host's tools take the path as it is.
  std::string operator/(const std::string& name) const { return FPath.generic_string() + "/" + name; }

 private:
  fs::path FPath;
};

inline void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out << bytes;
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Runs a shell command line of the host; true when it exits with 0.
#ifdef _WIN32
// tests/HostCommand.h's RunHostCommand, kept out of this header with the system's headers (their
// ERROR_* macros would replace the platform's names in the tests).
int HostCommandStatus(const std::string& command);
inline bool Shell(const std::string& command) { return HostCommandStatus(command) == 0; }
#else
inline bool Shell(const std::string& command) { return std::system(command.c_str()) == 0; }
#endif

// Compiles a resource script into a PE executable: x86_64 (PE32+) or i686 (PE32).
inline std::string MakePe(const TTempDir& dir, const std::string& name, const std::string& rc, bool pe32 = false) {
  const std::string prefix = pe32 ? "i686-w64-mingw32-" : "x86_64-w64-mingw32-";
  WriteFile(dir / (name + ".rc"), rc);
  std::string obj = dir / (name + ".o"), exe = dir / (name + ".exe");
  bool ok = Shell(prefix + "windres --preprocessor=cpp -c 65001 -i '" + (dir / (name + ".rc")) + "' -o '" + obj +
                  "'") &&
            Shell(prefix + "ld -o '" + exe + "' '" + obj + "' 2>/dev/null");
  if (!ok) ADD_FAILURE() << "binutils could not build " << name;
  return exe;
}

// A VERSIONINFO script with the given product version and string-table body.
inline std::string VersionRc(const std::string& product, const std::string& tables = "",
                             const std::string& file = "1,0,0,0") {
  return "1 VERSIONINFO\nFILEVERSION " + file + "\nPRODUCTVERSION " + product +
         "\nFILEFLAGSMASK 0x3f\nFILEFLAGS 0\nFILEOS 0x40004\nFILETYPE 1\nFILESUBTYPE 0\nBEGIN\n"
         "  BLOCK \"StringFileInfo\"\n  BEGIN\n" + tables +
         "  END\n  BLOCK \"VarFileInfo\"\n  BEGIN\n    VALUE \"Translation\", 0x0409, 1252\n  END\nEND\n";
}

inline std::string Table(const std::string& name, const std::string& values) {
  return "    BLOCK \"" + name + "\"\n    BEGIN\n" + values + "    END\n";
}

// What a run of a program reports: its exit status and everything the product stand-in wrote.
struct TRun {
  int ExitCode = -1;
  bool ProductStarted = false;
  std::string Cwd;
  std::vector<std::string> Args;

  // The stand-in's record: the current directory, then each argument, each ended by a zero.
  void Record(const std::string& data) {
    if (data.empty()) return;
    ProductStarted = true;
    std::vector<std::string> parts;
    for (size_t p = 0; p < data.size();) {
      size_t z = data.find('\0', p);
      if (z == std::string::npos) z = data.size();
      parts.push_back(data.substr(p, z - p));
      p = z + 1;
    }
    Cwd = parts.front();
    Args.assign(parts.begin() + 1, parts.end());
  }
};

// A path as a user's program names files: absolute, with the system's separators.
inline std::u16string NativePath(const fs::path& p) { return fs::absolute(p).make_preferred().u16string(); }

// The product stand-in opened through the shell: its record, and the shell's result and last-error
// value as the call left them.
struct TShellRun : TRun {
  intptr_t Result = 0;
  uint32_t Error = 0xFFFFFFFF;
};
// How the record comes back differs per system: ShellTest.cpp (a pipe), WindowsShellTest.cpp (a file).
TShellRun OpenProduct(const std::u16string& verb, const std::u16string& params, const std::u16string& directory);

#ifndef _WIN32
// Everything on the descriptor until every writer has closed it, waiting at most timeoutMs;
// false when a writer still held it then (a started program that never ended).
inline bool ReadToEnd(int fd, std::string& data, int timeoutMs = 60000) {
  char buf[4096];
  for (int waited = 0; waited < timeoutMs;) {
    pollfd p{fd, POLLIN, 0};
    int ready = ::poll(&p, 1, 100);
    if (ready < 0 && errno == EINTR) continue;
    if (ready == 0) {
      waited += 100;
      continue;
    }
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return true;
    data.append(buf, static_cast<size_t>(n));
  }
  return false;
}

// Starts argv[0] in cwd with a pipe on descriptor 100 that a product stand-in reports on, waits
// for the program, then reads until every holder of the pipe has closed it, so a product started
// in the background is waited for and one that never started is known for sure.
inline TRun RunWithProductPipe(const std::vector<std::string>& argv, const std::string& cwd,
                               const std::vector<std::string>& extraEnv = {}) {
  TRun r;
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe";
    return r;
  }
  std::vector<std::string> env{"KRV_PRODUCT_FD=100"};
  for (char** e = environ; *e; ++e)
    if (std::string(*e).rfind("KRV_PRODUCT_FD=", 0) != 0) env.push_back(*e);
  for (const std::string& e : extraEnv) env.push_back(e);
  std::vector<char*> envp, args;
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::vector<std::string> argCopy = argv;
  for (std::string& a : argCopy) args.push_back(a.data());
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 100);
  posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
  pid_t pid;
  int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(fds[1]);
  if (rc != 0) {
    ::close(fds[0]);
    ADD_FAILURE() << "cannot start " << argv[0];
    return r;
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  r.ExitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  std::string data;
  bool ended = ReadToEnd(fds[0], data);
  ::close(fds[0]);
  r.Record(data);
  // Something started from the folder still holds the pipe: a product was started (and hangs).
  if (!ended) r.ProductStarted = true;
  return r;
}

#endif

// Runs a program (a path in double quotes, and its arguments) and answers its standard output.
inline std::string Capture(const std::string& command) {
  std::string out;
#ifdef _WIN32
  // cmd.exe takes a leading "/" for a switch: the path's separators become the system's.
  std::string line = command;
  std::replace(line.begin(), line.end(), '/', '\\');
  FILE* f = ::_popen(line.c_str(), "r");
#else
  FILE* f = ::popen(command.c_str(), "r");
#endif
  if (!f) return out;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
#ifdef _WIN32
  ::_pclose(f);
#else
  ::pclose(f);
#endif
  return out;
}

}  // namespace krvtest

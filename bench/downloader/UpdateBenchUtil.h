// One headless update by the bench edition of KRVDownload against krv-update-server, both as
// child processes: its wall time, its rusage and whether it ended well.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace krvbench {

inline pid_t Spawn(const std::vector<std::string>& argv, const std::string& cwd, const std::vector<std::string>& env,
                   const std::string& out) {
  std::vector<std::string> envs = env;
  for (char** e = environ; *e; ++e) envs.push_back(*e);
  std::vector<char*> args, envp;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  for (auto& e : envs) envp.push_back(e.data());
  envp.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addchdir_np(&fa, cwd.c_str());
  posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&fa, 1, 2);
  pid_t pid = -1;
  if (posix_spawnp(&pid, args[0], &fa, nullptr, args.data(), envp.data()) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&fa);
  return pid;
}

// Waits for pid, at most ten minutes (then it is killed); its status and rusage.
inline int WaitBounded(pid_t pid, rusage& ru) {
  int status = -1;
  for (int i = 0; i < 60000 && pid > 0; ++i) {
    if (wait4(pid, &status, WNOHANG, &ru) == pid) return status;
    if (i == 59999) {
      kill(pid, SIGKILL);
      wait4(pid, &status, 0, &ru);
      return status;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return status;
}

struct TUpdateRun {
  bool Ok = false;
  double Seconds = 0;
  timespec Started{};  // wall clock at the start, against a file's time stamp
  rusage Usage{};
};

// The downloader in folder (already there, named KRVDownload) updates from the server serving
// root on port (serverOptions added to its command line); the server is up before the clock
// starts. Ok when it ended with 0 and the product named in check exists afterwards.
inline TUpdateRun RunUpdate(const std::filesystem::path& work, const std::filesystem::path& folder,
                            const std::string& server, const std::string& root, int port, const std::string& check,
                            const std::vector<std::string>& serverOptions = {}) {
  std::filesystem::path desktop = work / "desktop";
  std::filesystem::create_directories(desktop);
  std::vector<std::string> serverArgs{server, "--root", root, "--port", std::to_string(port)};
  serverArgs.insert(serverArgs.end(), serverOptions.begin(), serverOptions.end());
  pid_t srv = Spawn(serverArgs, work.string(), {}, (work / "server.log").string());
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  TUpdateRun r;
  clock_gettime(CLOCK_REALTIME, &r.Started);
  auto t0 = std::chrono::steady_clock::now();
  pid_t dl = Spawn({(folder / "KRVDownload").string()}, folder.string(),
                   {"KRV_GUI=headless", "XDG_DESKTOP_DIR=" + desktop.string(),
                    "KRV_DEMO_RECORD=" + (work / "product.txt").string()},
                   (work / "downloader.log").string());
  int status = WaitBounded(dl, r.Usage);
  r.Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  kill(srv, SIGTERM);
  waitpid(srv, nullptr, 0);
  r.Ok = WIFEXITED(status) && WEXITSTATUS(status) == 0 && std::filesystem::exists(folder / check);
  if (!r.Ok) std::fprintf(stderr, "the update failed (status %d); see %s\n", status, (work / "downloader.log").c_str());
  return r;
}

// Seconds from the run's start to the last write of path (the product's record, written as it
// starts): what a user waits for, while the downloader still removes the replaced files.
inline double SecondsUntilWritten(const TUpdateRun& r, const std::filesystem::path& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return -1;
  return double(st.st_mtim.tv_sec - r.Started.tv_sec) + double(st.st_mtim.tv_nsec - r.Started.tv_nsec) / 1e9;
}

}  // namespace krvbench

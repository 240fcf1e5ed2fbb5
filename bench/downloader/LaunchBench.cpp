// Launch-path latency: KRVDownload starting an accepted product, against starting that product
// directly, in the same run. Each measurement ends when the product has written its record and
// every holder of the record pipe has closed it, so both sides include the product's own run and
// the difference of the medians is the downloader's own cost.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "BenchUtil.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

// CPU time (user and system, ms) of the last program RunOnce waited for, without its children.
double gLastCpuMs = 0;

// Runs the program, waits for it and for the pipe's end; false when nothing was recorded.
bool RunOnce(const std::string& program, const std::vector<std::string>& args) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return false;
  std::vector<std::string> argv{program};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> ptrs;
  for (std::string& a : argv) ptrs.push_back(a.data());
  ptrs.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 100);
  pid_t pid;
  int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, ptrs.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(fds[1]);
  if (rc != 0) {
    ::close(fds[0]);
    return false;
  }
  struct rusage ru {};
  while (::wait4(pid, nullptr, 0, &ru) < 0 && errno == EINTR) {
  }
  gLastCpuMs = (ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1e3 + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e3;
  size_t total = 0;
  char buf[4096];
  ssize_t n;
  while ((n = ::read(fds[0], buf, sizeof buf)) != 0) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    total += static_cast<size_t>(n);
  }
  ::close(fds[0]);
  return total > 0;
}

}  // namespace

int main() {
  char pattern[] = "/tmp/krv-bench-launch-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) return 1;
  fs::path dir = pattern;
  fs::copy_file(KRV_DOWNLOADER_EXE, dir / "KRVDownload");
  fs::copy_file(KRV_LAUNCH_PRODUCT, dir / "KorvelFA.exe");
  ::setenv("KRV_PRODUCT_FD", "100", 1);
  const std::string downloader = (dir / "KRVDownload").string();
  const std::string product = (dir / "KorvelFA.exe").string();
  const std::vector<std::string> args{"/ini=/home/user/My Files/a.ini", "/L=EN", "x"};
  bool ok = true;
  auto ours = [&] { ok = RunOnce(downloader, args) && ok; };
  auto reference = [&] { ok = RunOnce(product, args) && ok; };

  std::vector<double> a, b, cpuA, cpuB;
  ours();
  reference();
  for (int i = 0; i < 31; ++i) {
    a.push_back(krvbench::Seconds(ours) * 1000);
    cpuA.push_back(gLastCpuMs);
    b.push_back(krvbench::Seconds(reference) * 1000);
    cpuB.push_back(gLastCpuMs);
  }
  std::error_code ec;
  fs::remove_all(dir, ec);
  if (!ok) {
    std::fprintf(stderr, "bench_launch: the product did not record a start\n");
    return 1;
  }
  double ma = krvbench::Median(a), mb = krvbench::Median(b);
  krvbench::Report("launch", ma, mb, "ms");
  std::printf("launch: the downloader's own cost (difference of the medians) %.3f ms\n", ma - mb);
  // Independent of how busy the machine is: the CPU time of KRVDownload itself (the product it
  // starts is not its child once it has ended) against the CPU time of the product started directly.
  krvbench::Report("launch_cpu", krvbench::Median(cpuA), krvbench::Median(cpuB), "ms");
  return 0;
}

// Launch-path latency: KRVDownload starting an accepted product, against starting that product
// directly, in the same run. Each measurement ends when the product has recorded its start and
// the program started has ended, so both sides include the product's own run and the difference
// of the medians is the downloader's own cost (version gate and shell open). On Linux the record
// is the pipe whose every holder has closed it; on Windows (run under Wine by scripts/bench.sh
// --windows) the product's named event, set once its record file is complete.
#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;
#endif

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "BenchUtil.h"

namespace {

namespace fs = std::filesystem;

// CPU time (user and system, ms) of the last program RunOnce waited for, without its children.
double gLastCpuMs = 0;

#ifdef _WIN32
const char* const kExeSuffix = ".exe";
const char* const kName = "windows_launch";
fs::path gRecordDir;
HANDLE gRecorded = nullptr;  // set by the product stand-in (KRV_PRODUCT_EVENT)
int gRuns = 0;

// One argument as CommandLineToArgvW splits it back (the benchmark's arguments hold no quotes).
std::wstring QuoteArgument(const std::wstring& w) {
  return w.find_first_of(L" \t") == std::wstring::npos && !w.empty() ? w : L"\"" + w + L"\"";
}

fs::path MakeScratch() {
  fs::path dir = fs::temp_directory_path() / ("krv-bench-launch-" + std::to_string(::GetCurrentProcessId()));
  std::error_code ec;
  fs::remove_all(dir, ec);
  return fs::create_directory(dir, ec) ? dir : fs::path();
}

void Prepare(const fs::path& dir) {
  gRecordDir = dir;
  const std::wstring name = L"krv-bench-launch-" + std::to_wstring(::GetCurrentProcessId());
  gRecorded = ::CreateEventW(nullptr, TRUE, FALSE, name.c_str());
  ::SetEnvironmentVariableW(L"KRV_PRODUCT_EVENT", name.c_str());
}

double Ms(const FILETIME& t) {
  return double((uint64_t(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 1e4;
}

// Runs the program, waits for it and for the product's record; false when nothing was recorded.
bool RunOnce(const fs::path& program, const std::vector<std::string>& args) {
  // A fresh record file each run: the stand-in renames its record into place, which the system
  // refuses over an existing file.
  const fs::path record = gRecordDir / ("record-" + std::to_string(gRuns++));
  ::SetEnvironmentVariableW(L"KRV_PRODUCT_FILE", record.wstring().c_str());
  ::ResetEvent(gRecorded);
  std::wstring line = QuoteArgument(program.wstring());
  for (const std::string& a : args) line += L" " + QuoteArgument(fs::path(std::u8string(a.begin(), a.end())).wstring());
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!gRecorded || !::CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
    return false;
  HANDLE both[2] = {pi.hProcess, gRecorded};
  const bool done = ::WaitForMultipleObjects(2, both, TRUE, 60000) < WAIT_OBJECT_0 + 2;
  FILETIME created, exited, kernel, user;
  gLastCpuMs = ::GetProcessTimes(pi.hProcess, &created, &exited, &kernel, &user) ? Ms(kernel) + Ms(user) : 0;
  ::CloseHandle(pi.hThread);
  ::CloseHandle(pi.hProcess);
  std::error_code ec;
  return done && fs::file_size(record, ec) > 0 && !ec;
}
#else
const char* const kExeSuffix = "";
const char* const kName = "launch";

fs::path MakeScratch() {
  char pattern[] = "/tmp/krv-bench-launch-XXXXXX";
  return ::mkdtemp(pattern) ? fs::path(pattern) : fs::path();
}

void Prepare(const fs::path&) { ::setenv("KRV_PRODUCT_FD", "100", 1); }

// Runs the program, waits for it and for the pipe's end; false when nothing was recorded.
bool RunOnce(const fs::path& program, const std::vector<std::string>& args) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return false;
  std::vector<std::string> argv{program.string()};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> ptrs;
  for (std::string& a : argv) ptrs.push_back(a.data());
  ptrs.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 100);
  pid_t pid;
  int rc = posix_spawn(&pid, argv[0].c_str(), &actions, nullptr, ptrs.data(), environ);
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
#endif

}  // namespace

int main() {
  const fs::path dir = MakeScratch();
  if (dir.empty()) return 1;
  const fs::path downloader = dir / (std::string("KRVDownload") + kExeSuffix), product = dir / "KorvelFA.exe";
  fs::copy_file(KRV_DOWNLOADER_EXE, downloader);
  fs::copy_file(KRV_LAUNCH_PRODUCT, product);
  Prepare(dir);
  const std::vector<std::string> args{"/ini=/home/user/My Files/a.ini", "/L=EN", "x"};
  bool ok = true;
  auto ours = [&] { ok = RunOnce(downloader, args) && ok; };
  auto reference = [&] { ok = RunOnce(product, args) && ok; };
#ifdef KRV_LAUNCH_PATH_ALONE
  const fs::path alone = dir / "KRVLaunchPathAlone.exe";
  fs::copy_file(KRV_LAUNCH_PATH_ALONE, alone);
#endif

  std::vector<double> a, b, c, cpuA, cpuB;
  ours();
  reference();
  for (int i = 0; i < 31; ++i) {
    a.push_back(krvbench::Seconds(ours) * 1000);
    cpuA.push_back(gLastCpuMs);
    b.push_back(krvbench::Seconds(reference) * 1000);
    cpuB.push_back(gLastCpuMs);
#ifdef KRV_LAUNCH_PATH_ALONE
    c.push_back(krvbench::Seconds([&] { ok = RunOnce(alone, args) && ok; }) * 1000);
#endif
  }
  std::error_code ec;
  fs::remove_all(dir, ec);
  if (!ok) {
    std::fprintf(stderr, "bench_launch: the product did not record a start\n");
    return 1;
  }
  double ma = krvbench::Median(a), mb = krvbench::Median(b);
  krvbench::Report(kName, ma, mb, "ms");
  std::printf("%s: the downloader's own cost (difference of the medians) %.3f ms\n", kName, ma - mb);
  // The gate and the shell open alone (no window toolkit, networking or archive modules linked)
  // against the same product: what is left of the figure above is the whole program's own start.
  if (!c.empty()) krvbench::Report(std::string(kName) + "_path_alone", krvbench::Median(c), mb, "ms");
  // Independent of how busy the machine is: the CPU time of KRVDownload itself (the product it
  // starts is not its child once it has ended) against the CPU time of the product started directly.
  krvbench::Report(std::string(kName) + "_cpu", krvbench::Median(cpuA), krvbench::Median(cpuB), "ms");
  return 0;
}

// krv-7z x against 7z x on the same 256 MiB archive (many small files and one large one, LZMA2
// in several blocks), made in a scratch folder at run time: wall time and peak memory, and the
// component with progress handlers assigned (every event handed over to the calling thread).
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "BenchUtil.h"
#include "rtl/SysUtils.h"
#include "sevenzip/SevenZip.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

struct TRun {
  double Seconds;
  double PeakMiB;
};

// Runs a program, waiting for it; wall time and its peak resident size.
TRun RunProgram(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  auto t0 = std::chrono::steady_clock::now();
  if (posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), environ) != 0) {
    std::fprintf(stderr, "cannot start %s\n", argv[0]);
    std::exit(1);
  }
  int status = 0;
  struct rusage ru {};
  wait4(pid, &status, 0, &ru);
  double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  posix_spawn_file_actions_destroy(&fa);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "%s failed (status %d)\n", argv[0], status);
    std::exit(1);
  }
  return {secs, ru.ru_maxrss / 1024.0};
}

}  // namespace

int main() {
  char tmpl[] = "/tmp/bench-sevenzip-XXXXXX";
  if (!mkdtemp(tmpl)) return 1;
  fs::path root(tmpl);
  fs::path src = root / "src";
  krvbench::MakeProductTree(src, 256u << 20);
  fs::path archive = root / "bench.7z";
  std::string cmd = "cd '" + src.string() + "' && 7z a -bd -y -mx1 -mmt=2 '" + archive.string() + "' . >/dev/null";
  if (std::system(cmd.c_str()) != 0) {
    std::fprintf(stderr, "7z a failed\n");
    return 1;
  }

  // A spawned program reports at least this process's own peak: show that floor.
  struct rusage self {};
  getrusage(RUSAGE_SELF, &self);
  std::fprintf(stderr, "bench process peak: %.2f MiB (the floor of the peak figures)\n", self.ru_maxrss / 1024.0);
  fs::path ours = root / "ours", ref = root / "ref", comp = root / "component";
  std::vector<double> oursT, refT, oursM, refM;
  const int kRuns = 5;
  for (int i = 0; i <= kRuns; ++i) {  // the first pair warms the cache and is not counted
    fs::remove_all(ours);
    TRun a = RunProgram({KRV_7Z_TOOL, "x", archive.string(), "-o", ours.string()});
    fs::remove_all(ref);
    TRun b = RunProgram({"7z", "x", "-bd", "-y", "-o" + ref.string(), archive.string()});
    if (i == 0) continue;
    oursT.push_back(a.Seconds);
    refT.push_back(b.Seconds);
    oursM.push_back(a.PeakMiB);
    refM.push_back(b.PeakMiB);
  }
  krvbench::Report("sevenzip_extract", krvbench::Median(oursT), krvbench::Median(refT), "s");
  krvbench::Report("sevenzip_extract_peak_memory", krvbench::Median(oursM), krvbench::Median(refM), "MiB");

  // In process, with progress handlers: every report is handed over to this thread.
  uint64_t events = 0;
  krvbench::CompareTime(
      "sevenzip_extract_with_events",
      [&] {
        fs::remove_all(comp);
        sevenzip::TSevenZip zip;
        zip.SetSZFileName(rtl::S(archive.string()));
        zip.SetExtrBaseDir(rtl::S(comp.string()));
        zip.OnProgress = [&](sevenzip::TSevenZip*, const rtl::String&, int64_t, int64_t) { ++events; };
        zip.OnExtractfile = [&](sevenzip::TSevenZip*, const rtl::String&, int64_t) { ++events; };
        if (zip.Extract(false) != 0) std::exit(1);
      },
      [&] {
        fs::remove_all(ref);
        RunProgram({"7z", "x", "-bd", "-y", "-o" + ref.string(), archive.string()});
      },
      kRuns);
  std::fprintf(stderr, "events handed over: %llu\n", static_cast<unsigned long long>(events));
  fs::remove_all(root);
  return 0;
}

// The downloader's peak memory for a whole headless update of a 512 MiB archive against the
// same for a 16 MiB archive (both 7z, LZMA2 with a 4 MiB dictionary, incompressible contents):
// the archive is streamed to disk and through the 7-Zip library, never held in memory, so the
// larger one may cost at most 8 MiB more. Runs alternate; medians of 5 (the ratio line), and the
// program fails when the growth is above 8 MiB.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "BenchUtil.h"
#include "UpdateBenchUtil.h"

extern char** environ;
namespace fs = std::filesystem;

namespace {

const char* kRemote = "dlKorvelFA_SQL_KO_KO_1001820.7z";

bool Sh(const std::string& cmd) { return std::system(cmd.c_str()) == 0; }

// One update in an empty folder; the downloader's own peak resident size in MiB, or -1.
double PeakOfUpdate(const fs::path& work, const std::string& root) {
  fs::path folder = work / "folder";
  fs::remove_all(folder);
  fs::create_directories(folder);
  fs::copy_file(KRV_BENCH_EDITION, folder / "KRVDownload");
  krvbench::TUpdateRun r =
      krvbench::RunUpdate(work, folder, KRV_UPDATE_SERVER, root, KRV_BENCH_EDITION_PORT, "data.bin");
  bool ok = r.Ok && fs::exists(folder / "KorvelFA.exe");
  fs::remove_all(folder);
  return ok ? r.Usage.ru_maxrss / 1024.0 : -1;  // KiB on Linux
}

bool MakeArchive(const fs::path& work, const std::string& name, int mib) {
  fs::path src = work / ("src-" + name), root = work / name;
  fs::create_directories(src);
  fs::create_directories(root);
  fs::copy_file(KRV_DEMO_PRODUCT, src / "KorvelFA.exe", fs::copy_options::overwrite_existing);
  bool ok = Sh("head -c " + std::to_string(mib) + "M /dev/urandom > '" + (src / "data.bin").string() + "'") &&
            Sh("cd '" + src.string() + "' && 7z a -t7z -m0=LZMA2:d=4m -mx=1 -bd -bso0 -bsp0 '" +
               (root / kRemote).string() + "' KorvelFA.exe data.bin");
  fs::remove_all(src);
  return ok;
}

}  // namespace

int main() {
  fs::path work = fs::path(KRV_BINARY_DIR) / "bench" / "update-memory";
  fs::remove_all(work);
  fs::create_directories(work);
  if (!MakeArchive(work, "small", 16) || !MakeArchive(work, "large", 512)) {
    std::fprintf(stderr, "bench_update_memory: 7z could not make the archives\n");
    return 1;
  }
  std::vector<double> large, small;
  for (int i = 0; i < 5; ++i) {
    double l = PeakOfUpdate(work, (work / "large").string());
    double s = PeakOfUpdate(work, (work / "small").string());
    if (l < 0 || s < 0) return 1;
    large.push_back(l);
    small.push_back(s);
  }
  fs::remove_all(work);
  double l = krvbench::Median(large), s = krvbench::Median(small);
  krvbench::Report("update_memory_512MiB_vs_16MiB", l, s, "MiB");
  double growth = 0;
  for (size_t i = 0; i < large.size(); ++i) growth = std::max(growth, large[i] - krvbench::Median(small));
  std::printf("bench update_memory: peak growth %.2f MiB at most over 5 runs (limit 8 MiB)\n", growth);
  return growth <= 8.0 ? 0 : 1;
}

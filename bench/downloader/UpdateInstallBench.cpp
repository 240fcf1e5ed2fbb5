// The whole update of a 256 MiB archive (download over loopback from krv-update-server, staged
// extraction, the moves into place, the start of the product) against `7z x` of the same
// archive. Both write over the files of the run before: the update finds an old product (so the
// version gate sends it to the update) and the previous run's other files, which its moves
// replace; 7z x overwrites its previous output. Runs alternate after one warm-up pair; medians
// of 5.
#include <sys/resource.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "BenchUtil.h"
#include "UpdateBenchUtil.h"

namespace fs = std::filesystem;

int main() {
  fs::path work = fs::path(KRV_BINARY_DIR) / "bench" / "update-install";
  fs::remove_all(work);
  fs::path src = work / "src", root = work / "root", folder = work / "folder", ref = work / "ref";
  krvbench::MakeProductTree(src, 256u << 20);
  fs::copy_file(KRV_DEMO_PRODUCT, src / "KorvelFA.exe");
  fs::create_directories(root);
  fs::path archive = root / "dlKorvelFA_SQL_KO_KO_1001820.7z";
  std::string cmd = "cd '" + src.string() + "' && 7z a -bd -y -mx1 -mmt=2 '" + archive.string() + "' . >/dev/null";
  if (std::system(cmd.c_str()) != 0) {
    std::fprintf(stderr, "bench_update_install: 7z a failed\n");
    return 1;
  }
  fs::remove_all(src);
  fs::create_directories(folder);
  fs::copy_file(KRV_BENCH_EDITION, folder / "KRVDownload");

  std::vector<double> ours, reference;
  const int kRuns = 5;
  for (int i = 0; i <= kRuns; ++i) {  // the first pair warms the cache and is not counted
    // An old product: the gate sends the downloader to the update.
    fs::copy_file(KRV_OLD_PRODUCT, folder / "KorvelFA.exe", fs::copy_options::overwrite_existing);
    krvbench::TUpdateRun u =
        krvbench::RunUpdate(work, folder, KRV_UPDATE_SERVER, root.string(), KRV_BENCH_EDITION_PORT, "large.bin");
    // The product starts detached: its record may come a moment after the downloader ended.
    for (int wait = 0; wait < 100 && !fs::exists(work / "product.txt"); ++wait)
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (!u.Ok || !fs::exists(work / "product.txt")) {
      std::fprintf(stderr, "bench_update_install: the update failed or did not start the product\n");
      return 1;
    }
    fs::remove(work / "product.txt");
    rusage ru{};
    auto t0 = std::chrono::steady_clock::now();
    pid_t z = krvbench::Spawn({"7z", "x", "-bd", "-y", "-o" + ref.string(), archive.string()}, work.string(), {},
                              (work / "7z.log").string());
    int status = krvbench::WaitBounded(z, ru);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      std::fprintf(stderr, "bench_update_install: 7z x failed (status %d)\n", status);
      return 1;
    }
    if (i == 0) continue;
    ours.push_back(u.Seconds);
    reference.push_back(seconds);
  }
  fs::remove_all(work);
  krvbench::Report("update_install_256MiB", krvbench::Median(ours), krvbench::Median(reference), "s");
  return 0;
}

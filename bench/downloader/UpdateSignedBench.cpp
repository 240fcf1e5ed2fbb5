// The whole headless update of a 256 MiB archive by the signed bench edition (the archive hashed
// on a worker thread while it arrives, its .sig fetched and checked before the extraction)
// against the same update by the unsigned bench edition. The archive is stored (7z -mx=0,
// incompressible contents), so the extraction is little more than a copy and the download is as
// large a share of the update as it can be. Two settings of the server:
//  - paced at 125,000,000 bytes a second (a gigabit link, faster than most users' way to an
//    update host): the hashing keeps up with the download and hides behind it;
//  - unpaced loopback, the worst case: the server, the download and the hashing share the
//    machine's processors, and the download outruns SHA-512 (about 600 MB/s here).
// Both editions update over an old product each time. Per setting one warm-up pair, then 5
// alternating pairs; medians.
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

namespace {

const char* kRemote = "dlKorvelFA_SQL_KO_KO_1001820.7z";

bool Sh(const std::string& cmd) { return std::system(cmd.c_str()) == 0; }

// One update by the edition in its own folder over an old product; its wall time, or -1.
double Update(const fs::path& work, const std::string& edition, const std::string& name,
              const std::vector<std::string>& serverOptions) {
  fs::path folder = work / name;
  fs::create_directories(folder);
  fs::copy_file(edition, folder / "KRVDownload", fs::copy_options::overwrite_existing);
  fs::copy_file(KRV_OLD_PRODUCT, folder / "KorvelFA.exe", fs::copy_options::overwrite_existing);
  fs::remove(work / "product.txt");
  krvbench::TUpdateRun r =
      krvbench::RunUpdate(work, folder, KRV_UPDATE_SERVER, (work / "root").string(), KRV_BENCH_EDITION_PORT, "data.bin",
                         serverOptions);
  // The product starts detached: its record may come a moment after the downloader ended.
  for (int wait = 0; wait < 100 && !fs::exists(work / "product.txt"); ++wait)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  if (!r.Ok || !fs::exists(work / "product.txt")) return -1;
  return r.Seconds;
}

}  // namespace

int main() {
  fs::path work = fs::path(KRV_BINARY_DIR) / "bench" / "update-signed";
  fs::remove_all(work);
  fs::path src = work / "src", root = work / "root";
  fs::create_directories(src);
  fs::create_directories(root);
  fs::copy_file(KRV_DEMO_PRODUCT, src / "KorvelFA.exe");
  const std::string archive = (root / kRemote).string();
  if (!Sh("head -c 256M /dev/urandom > '" + (src / "data.bin").string() + "'") ||
      !Sh("cd '" + src.string() + "' && 7z a -t7z -mx=0 -bd -bso0 -bsp0 '" + archive + "' KorvelFA.exe data.bin") ||
      !Sh("'" KRV_SIGN "' sign '" KRV_TEST_PUBLISHER_KEY "' '" + archive + "' >/dev/null")) {
    std::fprintf(stderr, "bench_update_signed: the signed archive could not be made\n");
    return 1;
  }
  fs::remove_all(src);

  struct Setting {
    const char* Name;
    std::vector<std::string> ServerOptions;
  } const settings[] = {
      {"update_signed_256MiB_gigabit", {"--rate", "125000000"}},
      {"update_signed_256MiB_loopback", {}},
  };
  for (const Setting& setting : settings) {
    std::vector<double> signedRuns, plainRuns;
    const int kRuns = 5;
    for (int i = 0; i <= kRuns; ++i) {  // the first pair warms the cache and is not counted
      double s = Update(work, KRV_BENCH_SIGNED_EDITION, "signed", setting.ServerOptions);
      double p = s < 0 ? 0 : Update(work, KRV_BENCH_EDITION, "plain", setting.ServerOptions);
      if (s < 0 || p < 0) {
        std::fprintf(stderr, "bench_update_signed: the %s update failed; see %s\n", s < 0 ? "signed" : "unsigned",
                     (work / "downloader.log").c_str());
        return 1;
      }
      if (i == 0) continue;
      signedRuns.push_back(s);
      plainRuns.push_back(p);
    }
    krvbench::Report(setting.Name, krvbench::Median(signedRuns), krvbench::Median(plainRuns), "s");
  }
  fs::remove_all(work);
  return 0;
}

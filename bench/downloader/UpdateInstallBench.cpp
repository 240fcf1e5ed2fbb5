// The whole update of a 256 MiB archive (download over loopback from krv-update-server, staged
// extraction, the moves into place, the start of the product) against `7z x` of the same
// archive: to the downloader's end, and to the product's start (after which the downloader
// removes the files it replaced while the user works). Both write over the files of the run
// before: the update finds an old product (so the version gate sends it to the update) and the
// previous run's other files, which its moves replace; 7z x overwrites its previous output. Runs
// alternate after one warm-up pair; medians of 5. Then where the time goes: the update's steps,
// each timed alone after every pair and reported against the same 7z x.
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
#include "downloader/ExtractJob.h"
#include "platform/Files.h"
#include "platform/crypto/Signature.h"

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

  // Where the time goes: after each pair the update's steps run one by one, in the same
  // minutes: the transfer (krv-fetch --retry, the download job's client and buffered file), the
  // digest a signed edition takes as the archive arrives (SHA-512; the bench edition is unsigned
  // and takes none), the extraction as the update runs it (ExtractArchive into a new staging
  // folder), the sync of that folder before the moves and the removal of as many files as the
  // update replaces (it removes the old ones after the product started). The rest of each
  // update's time is the moves into place and the start of the product.
  const std::string url = "http://127.0.0.1:" + std::to_string(KRV_BENCH_EDITION_PORT) +
                          "/mainweb/upgrade/GETFILE.ASP?FNM=dlKorvelFA_SQL_KO_KO_1001820.7z&XE3=1&VER=600000";
  auto steps = [&](double (&AStep)[5]) {
    pid_t srv = krvbench::Spawn({KRV_UPDATE_SERVER, "--root", root.string(), "--port",
                                 std::to_string(KRV_BENCH_EDITION_PORT)},
                                work.string(), {}, (work / "server.log").string());
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    fs::path fetched = work / "fetched.7z", staging = work / "staging";
    bool ok = true;
    rusage ru{};
    AStep[0] = krvbench::Seconds([&] {
      pid_t f = krvbench::Spawn({KRV_FETCH, "--retry", "3", "-o", fetched.string(), url}, work.string(), {},
                                (work / "fetch.log").string());
      int status = krvbench::WaitBounded(f, ru);
      ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    });
    kill(srv, SIGTERM);
    waitpid(srv, nullptr, 0);
    AStep[1] = krvbench::Seconds([&] { platform::Sha512OfFile(rtl::S(fetched.string())); });
    fs::remove_all(staging);
    fs::create_directories(staging);
    rtl::String error;
    AStep[2] = krvbench::Seconds(
        [&] { ok = ok && downloader::ExtractArchive(rtl::S(fetched.string()), rtl::S(staging.string()), error); });
    platform::TFileHandle folder = platform::OpenFolder(rtl::S(staging.string()));
    AStep[3] = krvbench::Seconds([&] { ok = ok && platform::SyncFileSystem(folder); });
    platform::CloseHandle(folder);
    platform::TFileHandle parent = platform::OpenFolder(rtl::S(work.string()));
    AStep[4] = krvbench::Seconds([&] { ok = ok && platform::RemoveTreeIn(parent, "staging"); });
    platform::CloseHandle(parent);
    fs::remove(fetched);
    return ok;
  };

  std::vector<double> ours, productStart, reference, transfer, digest, extraction, sync, removal, rest;
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
    const double untilStart = krvbench::SecondsUntilWritten(u, work / "product.txt");
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
    productStart.push_back(untilStart);
    reference.push_back(seconds);
    double step[5];
    if (!steps(step)) {
      std::fprintf(stderr, "bench_update_install: a step of the breakdown failed\n");
      return 1;
    }
    transfer.push_back(step[0]);
    digest.push_back(step[1]);
    extraction.push_back(step[2]);
    sync.push_back(step[3]);
    removal.push_back(step[4]);
    rest.push_back(u.Seconds - step[0] - step[2] - step[3] - step[4]);
  }
  fs::remove_all(work);
  const double sevenZip = krvbench::Median(reference);
  krvbench::Report("update_install_256MiB", krvbench::Median(ours), sevenZip, "s");
  krvbench::Report("update_install_256MiB_until_product_start", krvbench::Median(productStart), sevenZip, "s");
  krvbench::Report("update_install_256MiB_transfer", krvbench::Median(transfer), sevenZip, "s");
  krvbench::Report("update_install_256MiB_digest_if_signed", krvbench::Median(digest), sevenZip, "s");
  krvbench::Report("update_install_256MiB_extraction", krvbench::Median(extraction), sevenZip, "s");
  krvbench::Report("update_install_256MiB_sync", krvbench::Median(sync), sevenZip, "s");
  krvbench::Report("update_install_256MiB_removal_after_start", krvbench::Median(removal), sevenZip, "s");
  krvbench::Report("update_install_256MiB_moves_start", krvbench::Median(rest), sevenZip, "s");
  return 0;
}

// The update tried as an attacker would, end to end through the headless test editions: another
// local user who can write the product folder (swapping the archive, planting links, a second
// start), a server that drips or never ends, and an archive that asks for world-writable files,
// names no install should hold, a tree deeper than any product, or a product that is not newer
// than the gate. Every attack ends in a refusal that says why, with the install as it was. (The
// signed statement's attacks and the release edition's modules: VerifiedUpdateTest.cpp.)
#include <sys/resource.h>
#include <sys/stat.h>

#include <map>

#include "UpdateTestUtil.h"

using namespace krvtest;

namespace {

const std::string kRemoteName = "dlKorvelFA_SQL_KO_KO_1001820.7z";
const std::string kLocalName = "dlDownloadFA_SQL_KO_KO_1001820.7z";
const std::string kExecuteFailed = "Error: Execute command '";
const std::string kDownloadFailed = "Error: File \"" + kRemoteName + "\" could not be downloaded from ftp!";

class TrustedUpdate : public ::testing::Test {
 protected:
  void SetUp() override {
    Base = fs::canonical(Dir.Path()).string();
    Root = Base + "/root";
    for (const std::string& d : {Folder(), Root, Desktop()}) fs::create_directories(d);
  }
  std::string Folder() const { return Base + "/folder"; }
  std::string Desktop() const { return Base + "/desktop"; }
  std::string Product() const { return Folder() + "/KorvelFA.exe"; }
  // A fresh install of the edition over an old (10.0.0.1) product.
  void Install(const std::string& AEdition) {
    fs::remove_all(Folder());
    fs::create_directories(Folder());
    fs::copy_file(AEdition, Folder() + "/KRVDownload");
    fs::copy_file(KRV_OLD_PRODUCT, Product());
  }
  // An archive of the new product and a readme, plus the extra files of AFill (run in its folder).
  std::string MakeArchive(const std::string& AName, const std::string& AReadme, const std::string& AFill = "",
                          const std::string& AProduct = KRV_UPDATE_PRODUCT) {
    std::string src = Base + "/src-" + AName;
    fs::remove_all(src);
    fs::create_directories(src);
    fs::copy_file(AProduct, src + "/KorvelFA.exe");
    WriteFile(src + "/readme.txt", AReadme);
    EXPECT_TRUE(AFill.empty() || Shell("cd '" + src + "' && " + AFill));
    std::string archive = Base + "/" + AName;
    fs::remove(archive);
    EXPECT_TRUE(Make7z(archive, src, "."));
    return archive;
  }
  void Serve(const std::string& AArchive) {
    fs::copy_file(AArchive, Root + "/" + kRemoteName, fs::copy_options::overwrite_existing);
  }
  // Every entry of the folder but the downloaded archive: kind, mode and bytes.
  std::map<std::string, std::string> Snapshot() {
    std::map<std::string, std::string> r;
    for (auto& e : fs::recursive_directory_iterator(Folder())) {
      if (e.path().filename() == kLocalName) continue;
      struct stat st {};
      ::lstat(e.path().c_str(), &st);
      r[fs::relative(e.path(), Folder()).string()] =
          std::to_string(st.st_mode) + " " + (S_ISREG(st.st_mode) ? ReadFile(e.path().string()) : "");
    }
    return r;
  }
  TDownloaderRun Run() { return RunDownloader(Folder() + "/KRVDownload", Folder(), Desktop(), {"a"}); }
  void ExpectRefused(const TDownloaderRun& r, const std::map<std::string, std::string>& ABefore,
                     const std::string& ABox, const std::string& AReason) {
    EXPECT_FALSE(r.Run.ProductStarted);
    EXPECT_NE(r.Stderr.find(ABox), std::string::npos) << r.Stderr;
    EXPECT_NE(r.Stderr.find(AReason), std::string::npos) << r.Stderr;
    EXPECT_TRUE(Snapshot() == ABefore) << "the install changed";
    for (auto& e : fs::directory_iterator(Folder()))
      EXPECT_NE(e.path().filename().string()[0], '.') << "left behind: " << e.path();
  }

  TTempDir Dir;
  std::string Base, Root;
};

// Another local user who may write the product folder swaps the archive for their own the
// moment it appears, or plants links at its name: what is extracted is what was downloaded (and
// so, in a signed edition, what was checked), and no link is followed.
TEST_F(TrustedUpdate, ALocalUserCannotSwapTheArchiveOrPlantLinks) {
  const std::string good = MakeArchive("good.7z", "Korvel\n", "head -c 600000 /dev/urandom > noise.bin");
  const std::string evil = MakeArchive("evil.7z", "evil\n");
  for (bool swap : {true, false}) {
    SCOPED_TRACE(swap ? "swapped while it arrives" : "links at its names");
    Install(KRV_TEST_EDITION);
    Serve(good);
    WriteFile(Base + "/victim", "victim");
    if (!swap) fs::create_symlink(Base + "/victim", Folder() + "/" + kLocalName);
    TUpdateServer server(Root, KRV_TEST_EDITION_PORT, {"--rate", "400000"});
    ASSERT_TRUE(server.Running()) << "port " << KRV_TEST_EDITION_PORT << " is taken";
    std::atomic<bool> done{false};
    std::atomic<int> swapped{0};
    std::thread attacker([&] {
      while (swap && !done && swapped == 0) {
        for (auto& e : fs::directory_iterator(Folder())) {
          const std::string n = e.path().filename().string();
          if (n == "KRVDownload" || n == "KorvelFA.exe" || !e.is_regular_file() || e.file_size() == 0) continue;
          fs::copy_file(evil, Base + "/planted", fs::copy_options::overwrite_existing);
          fs::rename(Base + "/planted", e.path());  // what a user with write access to the folder can do
          ++swapped;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    });
    TDownloaderRun r = Run();
    done = true;
    attacker.join();
    EXPECT_EQ(swapped, swap ? 1 : 0) << "the archive was seen while it arrived";
    EXPECT_TRUE(r.Run.ProductStarted) << r.Stderr;
    EXPECT_EQ(ReadFile(Folder() + "/readme.txt"), "Korvel\n") << "the checked archive was installed";
    EXPECT_EQ(ReadFile(Base + "/victim"), "victim");
    // Named only after our own file: the planted one never takes the archive's name.
    EXPECT_EQ(ReadFile(Folder() + "/" + kLocalName) == ReadFile(good), !swap);
    EXPECT_FALSE(ReadFile(Folder() + "/" + kLocalName) == ReadFile(evil));
  }
}

// A second start while the first downloads waits for it and never touches its file: both end
// with the product installed and started.
TEST_F(TrustedUpdate, ASecondStartWaitsForTheFirst) {
  const std::string good = MakeArchive("good.7z", "Korvel\n", "head -c 1000000 /dev/urandom > noise.bin");
  Install(KRV_TEST_EDITION);
  Serve(good);
  TUpdateServer server(Root, KRV_TEST_EDITION_PORT, {"--rate", "500000"});
  ASSERT_TRUE(server.Running()) << "port " << KRV_TEST_EDITION_PORT << " is taken";
  TDownloaderRun first;
  std::thread firstRun([&] { first = RunDownloader(Folder() + "/KRVDownload", Folder(), Desktop(), {"1"}); });
  // The second starts once the first's download is under way.
  auto started = [&] {
    for (auto& e : fs::directory_iterator(Folder()))
      if (e.path().filename().string()[0] == '.' || e.path().filename() == kLocalName) return true;
    return false;
  };
  for (int i = 0; i < 1000 && !started(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  TDownloaderRun second = RunDownloader(Folder() + "/KRVDownload", Folder(), Desktop(), {"2"});
  firstRun.join();
  EXPECT_TRUE(first.Run.ProductStarted) << first.Stderr;
  EXPECT_TRUE(second.Run.ProductStarted) << second.Stderr;
  EXPECT_EQ(ReadFile(Folder() + "/readme.txt"), "Korvel\n");
  EXPECT_TRUE(ReadFile(Folder() + "/" + kLocalName) == ReadFile(good));
}

// Bounded transfers (an edition taking at most 1 MiB, with a floor of 1000 bytes a second over
// 2 s): an announced length above the limit, a body that never ends, and a server that drips.
TEST_F(TrustedUpdate, TransfersAreBounded) {
  const std::string head = "HTTP/1.1 200 OK\r\nConnection: close\r\n";
  std::atomic<bool> stop{false};
  // Sends while the client takes it and the case runs.
  auto send = [&](int fd, const std::string& data) {
    return !stop && ::send(fd, data.data(), data.size(), MSG_NOSIGNAL) == ssize_t(data.size());
  };
  struct Case {
    const char* Name;
    std::function<void(int)> Serve;
    const char* Reason;
  } cases[] = {
      {"announced above the limit", [&](int fd) { send(fd, head + "Content-Length: 2000000\r\n\r\n" + std::string(65536, 'z')); },
       "is 2000000 bytes, more than the 1048576 bytes"},
      {"a body without end", [&](int fd) { for (bool go = send(fd, head + "\r\n"); go;) go = send(fd, std::string(65536, 'z')); },
       "larger than the 1048576 bytes the download may take"},
      {"a drip of a byte every half second",
       [&](int fd) {
         for (bool go = send(fd, head + "Content-Length: 100000\r\n\r\n"); go; go = send(fd, "z"))
           std::this_thread::sleep_for(std::chrono::milliseconds(500));
       },
       "The transfer was slower than 1000 bytes a second for 2 seconds"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    Install(KRV_BOUNDS_EDITION);
    const auto before = Snapshot();
    stop = false;
    TLoopbackAcceptor server(KRV_TEST_EDITION_PORT, [&](int fd) {
      char buf[4096];
      for (std::string h; h.find("\r\n\r\n") == std::string::npos;) {
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) return;
        h.append(buf, size_t(n));
      }
      c.Serve(fd);
    });
    ASSERT_TRUE(server.Listening()) << "port " << KRV_TEST_EDITION_PORT << " is taken";
    auto start = std::chrono::steady_clock::now();
    TDownloaderRun r = RunDownloader(Folder() + "/KRVDownload", Folder(), Desktop(), {"a"}, true, {"KRV_TEST_LOG=1"});
    stop = true;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
    ExpectRefused(r, before, kDownloadFailed, c.Reason);
  }
}

// What the archive controls is tamed: modes through the umask and never group- or
// other-writable (under a umask of 000), names with control characters refused and shown
// escaped, a tree deeper than 256 levels refused under a limit of 1024 descriptors without a
// staging folder left to block the next update, and a product not newer than the gate undone.
TEST_F(TrustedUpdate, WhatTheArchiveControlsIsTamed) {
  std::string deep = "d";
  for (int i = 1; i < 1100; ++i) deep += "/d";
  struct Case {
    const char* Name;
    std::string Fill;
    const char* Product;
    const char* Reason;  // empty: installed
  } cases[] = {
      {"world-writable modes", "mkdir bin && echo x > bin/tool && chmod 0777 bin bin/tool", KRV_UPDATE_PRODUCT, ""},
      {"a control character in a name", "echo x > \"$(printf 'bad\\001name.txt')\"", KRV_UPDATE_PRODUCT,
       "Ni možno kreirati datoteko! "},
      {"1100 levels", "mkdir -p " + deep + " && echo x > " + deep + "/f", KRV_UPDATE_PRODUCT,
       "Ni možno kreirati datoteko! "},
      {"a product not newer than the gate", "", KRV_OLD_PRODUCT,
       "The update brought KorvelFA.exe 10.0.0.1, which is not newer than 10.0.0.1: nothing was installed"},
  };
  // The downloader runs with at most 1024 descriptors and a umask of 000.
  struct rlimit oldFiles {};
  ::getrlimit(RLIMIT_NOFILE, &oldFiles);
  struct rlimit files = oldFiles;
  files.rlim_cur = std::min<rlim_t>(1024, oldFiles.rlim_max);
  auto run = [&] {
    ::setrlimit(RLIMIT_NOFILE, &files);
    TDownloaderRun r = Run();
    ::setrlimit(RLIMIT_NOFILE, &oldFiles);
    return r;
  };
  const mode_t oldMask = ::umask(0);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    Install(KRV_TEST_EDITION);
    Serve(MakeArchive("a.7z", "Korvel\n", c.Fill, c.Product));
    const auto before = Snapshot();
    TUpdateServer server(Root, KRV_TEST_EDITION_PORT);
    ASSERT_TRUE(server.Running()) << "port " << KRV_TEST_EDITION_PORT << " is taken";
    TDownloaderRun r = run();
    if (*c.Reason) {
      ExpectRefused(r, before, kExecuteFailed, c.Reason);
      if (std::string(c.Name) == "a control character in a name") {
        EXPECT_NE(r.Stderr.find("bad\\x01name.txt"), std::string::npos) << r.Stderr;
      }
      // Nothing blocks the next update.
      Serve(MakeArchive("b.7z", "Korvel\n"));
      TDownloaderRun next = run();
      EXPECT_TRUE(next.Run.ProductStarted) << next.Stderr;
    } else {
      EXPECT_TRUE(r.Run.ProductStarted) << r.Stderr;
      struct stat st {};
      for (const char* name : {"bin", "bin/tool", "readme.txt", "KorvelFA.exe"}) {
        ASSERT_EQ(::lstat((Folder() + "/" + name).c_str(), &st), 0) << name;
        EXPECT_EQ(st.st_mode & 022, 0u) << name << " is writable by others: " << std::oct << st.st_mode;
      }
      EXPECT_EQ(st.st_mode & 0777, 0755u) << "the product keeps its execute bits";
    }
  }
  ::umask(oldMask);
}

}  // namespace

// The test edition of KRVDownload (its update host on this build's reserved loopback port)
// against krv-update-server, headless: success, missing and corrupt archives, damaged items over
// an installed product, a running old product, a server that dies mid-transfer, and an archive
// file that cannot be created. The same cases run under Wine with KRVDownload.exe against the
// host's server.
#include <map>
#include <set>

#include "UpdateTestUtil.h"
#include "tests/RunningProgram.h"

using namespace krvtest;

namespace {

const std::string kLocalName = "dlDownloadFA_SQL_KO_KO_1001820.7z";
const std::string kRemoteName = "dlKorvelFA_SQL_KO_KO_1001820.7z";

class UpdateEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    Base = HostFolder(Dir);
    Folder = Base + "/folder";
    Root = Base + "/root";
    Desktop = Base + "/desktop";
    for (const std::string& d : {Folder, Root, Desktop}) fs::create_directories(d);
    Exe = PlaceDownloader(KRV_TEST_EDITION, Folder);
    Product = Folder + "/KorvelFA.exe";
    for (const std::string& link : Shortcuts()) fs::remove(ShortcutFolder(Desktop) + "/" + link);
  }
  // The product archive: the stand-in as KorvelFA.exe (version 10.0.18.20) and a readme.
  void MakeProductArchive() {
    std::string src = Base + "/src";
    fs::create_directories(src);
    fs::copy_file(KRV_UPDATE_PRODUCT, src + "/KorvelFA.exe");
    WriteFile(src + "/readme.txt", "Korvel\n");
    ASSERT_TRUE(Make7z(Root + "/" + kRemoteName, src, "KorvelFA.exe readme.txt"));
  }
  // A stored archive (7z a -mx=0) of name/source-file pairs, so the product's bytes can be found
  // and damaged.
  void MakeStoredArchive(const std::vector<std::pair<std::string, std::string>>& files) {
    std::string src = Base + "/src";
    fs::remove_all(src);
    fs::create_directories(src);
    std::string names;
    for (auto& [name, from] : files) {
      fs::create_directories(fs::path(src + "/" + name).parent_path());
      fs::copy_file(from, src + "/" + name);
      names += " '" + name + "'";
    }
    fs::remove(Root + "/" + kRemoteName);
    ASSERT_TRUE(Make7z(Root + "/" + kRemoteName, src, names, "-mx=0"));
  }
  // One byte in the middle of a file's bytes inside the stored archive.
  void DamageInArchive(const std::string& file) {
    std::string bytes = ReadFile(Root + "/" + kRemoteName), content = ReadFile(file);
    ASSERT_GT(content.size(), 4096u);
    size_t at = bytes.find(content.substr(content.size() / 2, 256));
    ASSERT_NE(at, std::string::npos);
    bytes[at + 100] ^= 0x20;
    WriteFile(Root + "/" + kRemoteName, bytes);
  }
  // Everything in the folder but the downloaded archive: name, kind, permissions, size and a
  // hash of the bytes (binaries printed whole would make a failure's report unreadable).
  std::map<std::string, std::string> Install() {
    std::map<std::string, std::string> r;
    for (auto& e : fs::recursive_directory_iterator(Folder)) {
      // The folder's lock file (Windows) stays from the first run on, by design.
      if (e.path().filename() == kLocalName || e.path().filename() == ".krv-lock") continue;
      fs::file_status st = e.symlink_status();
      std::string bytes = fs::is_regular_file(st) ? ReadFile(e.path().string()) : "";
      r[fs::relative(e.path(), Folder).generic_string()] =
          std::to_string(int(st.type())) + " " + std::to_string(int(st.permissions())) + " " +
          std::to_string(bytes.size()) + " " + std::to_string(std::hash<std::string>()(bytes));
    }
    return r;
  }
  // The product's shortcuts on the desktop.
  std::vector<std::string> Shortcuts() { return ProductShortcuts(Desktop); }
  TDownloaderRun Run(const std::vector<std::string>& args = {}) { return RunDownloader(Exe, Folder, Desktop, args); }

  TTempDir Dir;
  std::string Base, Folder, Root, Desktop, Exe, Product;
};

TEST_F(UpdateEndToEnd, SuccessfulUpdateStartsProductAndMakesShortcut) {
  MakeProductArchive();
  TUpdateServer server(Root, KRV_TEST_EDITION_PORT);
  ASSERT_TRUE(server.Running()) << "port " << KRV_TEST_EDITION_PORT << " is taken";
  TDownloaderRun r = Run({"/ini=" + Base + "/My Files/a.ini", "/L=EN", "x"});
  EXPECT_EQ(r.Run.ExitCode, 0);
  ASSERT_TRUE(r.Run.ProductStarted) << r.Stderr;
  EXPECT_EQ(r.Run.Args, (std::vector<std::string>{"/ini=" + Base + "/My Files/a.ini", "/L=EN", "x"}));
  EXPECT_EQ(r.Stderr.find("Error"), std::string::npos) << r.Stderr;
  EXPECT_TRUE(fs::exists(Folder + "/" + kLocalName)) << "the archive stays";
  EXPECT_EQ(ReadFile(Folder + "/readme.txt"), "Korvel\n");
  std::vector<std::string> links = Shortcuts();
  ASSERT_EQ(links.size(), 1u);
  std::string entry = ReadShortcut(ShortcutFolder(Desktop) + "/" + links[0]);
  EXPECT_NE(entry.find(SystemPath(Product)), std::string::npos) << entry;
  EXPECT_NE(entry.find("My Files/a.ini"), std::string::npos) << entry;
  EXPECT_EQ(entry.find("/L=EN"), std::string::npos) << entry;
  EXPECT_NE(server.ReadLine(10000).find("FNM=" + kRemoteName + "&XE3=1&VER=600000 HTTP/1.1\" 200"), std::string::npos);

  // A second run launches the product at once: no request reaches the server.
  TDownloaderRun again = Run({"y"});
  ASSERT_TRUE(again.Run.ProductStarted);
  EXPECT_EQ(again.Run.Args, std::vector<std::string>{"y"});
  EXPECT_EQ(server.ReadLine(500), "");
}

TEST_F(UpdateEndToEnd, FailuresShowTheirBoxAndLeaveNoShortcut) {
  struct Case {
    const char* Name;
    int Kind;  // 0 missing archive, 1 corrupt archive, 2 server dies mid-transfer, 3 archive cannot be created
    std::string Box;
    bool ArchiveLeft;
  } cases[] = {
      {"missing", 0,
       "Error: File \"dlKorvelFA_SQL_KO_KO_1001820.7z\" could not be downloaded from ftp! Probably does not exists on "
       "ftp yet.",
       false},
      // The archive takes its name only once it is installed.
      {"corrupt", 1, "Error: Execute command '" + SystemPath(Product) + "' failed!", false},
      {"server dies", 2,
       "Error: File \"dlKorvelFA_SQL_KO_KO_1001820.7z\" could not be downloaded from ftp! Probably does not exists on "
       "ftp yet.",
       false},
      {"cannot create", 3, "Cannot create file", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    fs::remove_all(Root);
    fs::create_directories(Root);
    fs::remove_all(Folder + "/" + kLocalName);
    if (c.Kind == 1) WriteFile(Root + "/" + kRemoteName, "7z\xBC\xAF\x27\x1C this is not an archive");
    if (c.Kind == 2) {
      std::string data(6 << 20, '\0');
      for (size_t i = 0; i < data.size(); ++i) data[i] = char(i * 2654435761u >> 24);
      WriteFile(Root + "/" + kRemoteName, data);
    }
    if (c.Kind == 3) fs::create_directories(Folder + "/" + kLocalName);
    TUpdateServer server(Root, KRV_TEST_EDITION_PORT, c.Kind == 2 ? std::vector<std::string>{"--rate", "1000000"}
                                                                  : std::vector<std::string>{});
    ASSERT_TRUE(server.Running()) << "port " << KRV_TEST_EDITION_PORT << " is taken";
    std::thread killer;
    if (c.Kind == 2)
      killer = std::thread([&] {
        // Killed once a good part of the archive has arrived, wherever the machine's load put that.
        EXPECT_TRUE(WaitForTransfer(Folder, 1 << 20, 30000, {fs::path(Exe).filename().string(), "KorvelFA.exe", "7z.dll"}));
        server.Kill(SIGKILL);
      });
    TDownloaderRun r = Run({"a"});
    if (killer.joinable()) killer.join();
    EXPECT_EQ(r.Run.ExitCode, 0) << "the window closed and the program ended by itself";
    EXPECT_FALSE(r.Run.ProductStarted);
    EXPECT_NE(r.Stderr.find(c.Box), std::string::npos) << r.Stderr;
    // One box only.
    EXPECT_EQ(r.Stderr.find('\n'), r.Stderr.rfind('\n')) << r.Stderr;
    EXPECT_EQ(fs::exists(Folder + "/" + kLocalName), c.ArchiveLeft);
    EXPECT_TRUE(Shortcuts().empty());
    EXPECT_FALSE(fs::exists(Product));
  }
}

// A stored archive with one damaged byte, in the product or in a library beside it, over an
// installed product: the box tells of the failure, every file of the install stays byte for
// byte, nothing is started, and a second start again starts nothing damaged.
TEST_F(UpdateEndToEnd, DamagedArchiveLeavesTheInstalledProductAndStartsNothing) {
  std::string lib = Base + "/lib.bin";
  std::string data(64 << 10, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = char(i * 2654435761u >> 19);
  WriteFile(lib, data);
  for (const std::string& damaged : {std::string(KRV_UPDATE_PRODUCT), lib}) {
    SCOPED_TRACE(damaged);
    fs::remove_all(Folder);
    fs::create_directories(Folder + "/lib");
    PlaceDownloader(KRV_TEST_EDITION, Folder);
    fs::copy_file(KRV_OLD_PRODUCT, Product);
    WriteFile(Folder + "/lib/Korvel.dll", "old library");
    MakeStoredArchive({{"KorvelFA.exe", KRV_UPDATE_PRODUCT}, {"lib/Korvel.dll", lib}});
    DamageInArchive(damaged);
    const auto before = Install();
    TUpdateServer server(Root, KRV_TEST_EDITION_PORT);
    ASSERT_TRUE(server.Running()) << "port " << KRV_TEST_EDITION_PORT << " is taken";
    for (int run = 0; run < 2; ++run) {
      SCOPED_TRACE(run);
      TDownloaderRun r = Run({"a"});
      EXPECT_EQ(r.Run.ExitCode, 0);
      EXPECT_FALSE(r.Run.ProductStarted) << "started: " << (r.Run.Args.empty() ? "" : r.Run.Args[0]);
      EXPECT_NE(r.Stderr.find("Error: Execute command '" + SystemPath(Product) + "' failed!"), std::string::npos) << r.Stderr;
      EXPECT_EQ(Install(), before);
      EXPECT_TRUE(ReadFile(Product) == ReadFile(KRV_OLD_PRODUCT));
      EXPECT_FALSE(fs::exists(Product + ".1001820.0"));
      EXPECT_TRUE(Shortcuts().empty());
    }
  }
}

// A good update over an old install: the new files take their places, the product starts, and
// no staging folder or temporary file is left.
TEST_F(UpdateEndToEnd, GoodUpdateReplacesTheOldInstall) {
  fs::create_directories(Folder + "/lib");
  fs::copy_file(KRV_OLD_PRODUCT, Product);
  WriteFile(Folder + "/lib/Korvel.dll", "old library");
  WriteFile(Folder + "/keep.txt", "not in the archive");
  std::string lib = Base + "/lib.bin";
  WriteFile(lib, "new library");
  MakeStoredArchive({{"KorvelFA.exe", KRV_UPDATE_PRODUCT}, {"lib/Korvel.dll", lib}, {"new/readme.txt", lib}});
  TUpdateServer server(Root, KRV_TEST_EDITION_PORT);
  ASSERT_TRUE(server.Running());
  TDownloaderRun r = Run({"c"});
  ASSERT_TRUE(r.Run.ProductStarted) << r.Stderr;
  EXPECT_EQ(r.Run.Args, std::vector<std::string>{"c"});
  EXPECT_TRUE(ReadFile(Product) == ReadFile(KRV_UPDATE_PRODUCT));
  EXPECT_EQ(ReadFile(Folder + "/lib/Korvel.dll"), "new library");
  EXPECT_EQ(ReadFile(Folder + "/new/readme.txt"), "new library");
  EXPECT_EQ(ReadFile(Folder + "/keep.txt"), "not in the archive");
  std::set<std::string> names;
  for (auto& e : fs::directory_iterator(Folder)) names.insert(e.path().filename().string());
  std::set<std::string> expected{fs::path(Exe).filename().string(), "KorvelFA.exe", "lib", "new", "keep.txt", kLocalName};
#ifdef _WIN32
  expected.insert({"7z.dll", ".krv-lock"});  // the library beside the program; the folder's lock file stays
#endif
  EXPECT_EQ(names, expected);
  EXPECT_EQ(Shortcuts().size(), 1u);
}

#ifdef _WIN32
// The launch decision with KRVDownload.exe itself: a product newer than 10.0.0.1 starts at once
// with the arguments (no request), one of 10.0.0.1 is updated (the archive is asked for).
TEST_F(UpdateEndToEnd, GateStartsOnlyAProductNewerThan10001) {
  const struct {
    const char* Product;
    bool Started;
  } cases[] = {{KRV_PRODUCT_10002, true}, {KRV_OLD_PRODUCT, false}};
  TUpdateServer server(Root, KRV_TEST_EDITION_PORT);
  ASSERT_TRUE(server.Running());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Product);
    fs::remove(Product);
    fs::copy_file(c.Product, Product);
    TDownloaderRun r = Run({"/INI=C:\\My Files\\", "two words"});
    EXPECT_EQ(r.Run.ProductStarted, c.Started) << r.Stderr;
    // "/INI=" values arrive whole; other arguments are handed on unquoted, as designed.
    if (c.Started) {
      EXPECT_EQ(r.Run.Args, (std::vector<std::string>{"/INI=C:\\My Files\\", "two", "words"}));
    }
    EXPECT_EQ(server.ReadLine(c.Started ? 500 : 10000).find(" 404 ") != std::string::npos, !c.Started);
  }
}
#endif

// The old product runs (Linux: a copy of sleep; Windows: a copy of the test program, held
// suspended): its file cannot be written, only renamed. The update installs and starts the new
// product, and the running one is left alone, running from the displaced file.
TEST_F(UpdateEndToEnd, RunningOldProductIsMovedAsideAndUpdateSucceeds) {
  MakeProductArchive();
  TRunningProgram old(SystemPath(Product));
  ASSERT_TRUE(old.Running());
  const std::string oldBytes = ReadFile(Product);
  TUpdateServer server(Root, KRV_TEST_EDITION_PORT);
  ASSERT_TRUE(server.Running());
  TDownloaderRun r = Run({"b"});
  EXPECT_TRUE(old.Running());
#ifndef _WIN32
  std::error_code ec;
  EXPECT_EQ(fs::read_symlink("/proc/" + std::to_string(old.Pid()) + "/exe", ec).string(), Product + ".1001820.0");
#endif
  ASSERT_TRUE(r.Run.ProductStarted) << r.Stderr;
  EXPECT_EQ(r.Run.Args, std::vector<std::string>{"b"});
  EXPECT_EQ(r.Stderr.find("Error"), std::string::npos) << r.Stderr;
  ASSERT_TRUE(fs::exists(Product + ".1001820.0"));
  EXPECT_EQ(ReadFile(Product + ".1001820.0"), oldBytes);
  EXPECT_EQ(ReadFile(Product), ReadFile(KRV_UPDATE_PRODUCT));
  EXPECT_EQ(Shortcuts().size(), 1u);
}

}  // namespace

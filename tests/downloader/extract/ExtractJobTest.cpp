// The extraction step against archives made by the 7z program: replacing the product, moving it
// aside when the first attempt fails, the error texts, and item errors the library answers 0 for.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>

#include <signal.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <climits>
#include <map>

#include "downloader/ExtractJob.h"
#include "downloader/Utils.h"
#include "tests/downloader/TestUtil.h"

namespace {

using namespace downloader;
using krvtest::ReadFile;
using krvtest::TTempDir;
using krvtest::WriteFile;
namespace fs = std::filesystem;

std::string Q(const std::string& s) {
  std::string r = "'";
  for (char c : s) r += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return r + "'";
}

// Counts opens of one file: each extraction attempt opens the archive the same number of times.
// Closes are watched too: the kernel merges identical events that follow each other unread.
class TOpenCounter {
 public:
  explicit TOpenCounter(const std::string& path) {
    FFd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (FFd >= 0) ::inotify_add_watch(FFd, path.c_str(), IN_OPEN | IN_CLOSE);
  }
  ~TOpenCounter() {
    if (FFd >= 0) ::close(FFd);
  }
  int Take() {
    int count = 0;
    alignas(inotify_event) char buf[4096];
    ssize_t n;
    while ((n = ::read(FFd, buf, sizeof buf)) > 0)
      for (char* p = buf; p < buf + n; p += sizeof(inotify_event) + reinterpret_cast<inotify_event*>(p)->len)
        if (reinterpret_cast<inotify_event*>(p)->mask & IN_OPEN) ++count;
    return count;
  }

 private:
  int FFd = -1;
};

class ExtractJob : public ::testing::Test {
 protected:
  void SetUp() override {
    // The shipped settings are embedded in this test program.
    ASSERT_EQ(Version, u"1001820");
    ASSERT_EQ(DestinationExe, u"KorvelFA.exe");
    Folder = Dir.Path().string() + "/dl/";
    fs::create_directories(Folder);
    Archive = Folder + "dlDownloadFA_SQL_KO_KO_1001820.7z";
    Product = Folder + "KorvelFA.exe";
  }

  // An archive made by the 7z program from name/content pairs, stored (not compressed) so a
  // byte of an item's data can be found and damaged.
  void MakeArchive(const std::map<std::string, std::string>& files) {
    std::string src = Dir / "src";
    fs::remove_all(src);
    for (auto& [name, content] : files) {
      fs::create_directories(fs::path(src + "/" + name).parent_path());
      WriteFile(src + "/" + name, content);
    }
    fs::remove(Archive);
    ASSERT_TRUE(krvtest::Shell("cd " + Q(src) + " && 7z a -bd -y -mx0 " + Q(Archive) + " . >/dev/null 2>&1"));
  }

  bool Retry() { return ExtractWithRetry(Localization, Version, rtl::S(Folder), rtl::S(Product)); }
  std::string Staging() { return Folder + ".dlDownloadFA_SQL_KO_KO_1001820.7z.staging"; }

  // Everything in the folder but the archive: kind, mode, bytes (or link text) and time. A
  // folder's time is left out: moving an entry out and back sets it to the moment of the move,
  // which a run that crosses a second boundary sees.
  std::map<std::string, std::string> Snapshot() {
    std::map<std::string, std::string> r;
    for (auto& e : fs::recursive_directory_iterator(Folder)) {
      if (e.path() == Archive) continue;
      struct stat st {};
      ::lstat(e.path().c_str(), &st);
      std::string what = std::to_string(st.st_mode) + " " +
                         (S_ISDIR(st.st_mode) ? std::string() : std::to_string(st.st_mtim.tv_sec)) + " ";
      if (S_ISREG(st.st_mode)) what += ReadFile(e.path());
      if (S_ISLNK(st.st_mode)) what += fs::read_symlink(e.path()).string();
      r[fs::relative(e.path(), Folder).string()] = what;
    }
    return r;
  }
  // The stored archive with one byte of the named item's content damaged.
  void Damage(const std::string& content) {
    std::string bytes = ReadFile(Archive);
    size_t at = bytes.find(content);
    ASSERT_NE(at, std::string::npos);
    bytes[at + content.size() / 2] ^= 1;
    WriteFile(Archive, bytes);
  }
  std::string Displaced(int n) { return Product + ".1001820." + std::to_string(n); }

  TTempDir Dir;
  std::string Folder, Archive, Product;
};

TEST_F(ExtractJob, GoodArchiveReplacesProductAndKeepsStoredFolders) {
  WriteFile(Product, "old product");
  MakeArchive({{"KorvelFA.exe", "new product"}, {"lib/a.dll", "library"}});
  EXPECT_TRUE(Retry());
  EXPECT_EQ(ReadFile(Product), "new product");
  EXPECT_EQ(ReadFile(Folder + "lib/a.dll"), "library");
  EXPECT_FALSE(fs::exists(Displaced(0)));
}

// Writing over a running program fails with ETXTBSY, which the archive component reports: the
// running product is moved to the first displaced name (it keeps running from there) and the
// second attempt writes the new one.
TEST_F(ExtractJob, RunningProductIsDisplacedAndReplaced) {
  fs::copy_file("/bin/sleep", Product);
  pid_t pid;
  std::string arg = "300";
  char* argv[] = {Product.data(), arg.data(), nullptr};
  ASSERT_EQ(::posix_spawn(&pid, Product.c_str(), nullptr, nullptr, argv, environ), 0);
  struct TKill {
    pid_t pid;
    ~TKill() {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
  } killer{pid};
  // Busy once the kernel has mapped it: wait (bounded) until writing is refused.
  int fd = -1, err = 0;
  for (int i = 0; i < 500; ++i, ::usleep(10000)) {
    fd = ::open(Product.c_str(), O_WRONLY | O_CLOEXEC);
    err = errno;
    if (fd < 0) break;
    ::close(fd);
  }
  ASSERT_LT(fd, 0);
  ASSERT_EQ(err, ETXTBSY);

  std::string running = ReadFile(Product);
  MakeArchive({{"KorvelFA.exe", "new product"}});
  EXPECT_TRUE(Retry());
  EXPECT_EQ(ReadFile(Product), "new product");
  EXPECT_EQ(ReadFile(Displaced(0)), running);
  EXPECT_EQ(::kill(pid, 0), 0) << "the running product was disturbed";
}

// A product the first attempt cannot write (read-only: create-always refuses it, code 11) is
// moved to the first free displaced name and the second attempt writes the new one; the next
// run takes the next counter. The library answers 0 here: only the reported item error fails
// the first attempt.
TEST_F(ExtractJob, UnwritableProductIsDisplacedAndReplaced) {
  MakeArchive({{"KorvelFA.exe", "new product"}, {"a.dll", "library"}});
  for (int run = 0; run < 2; ++run) {
    SCOPED_TRACE(run);
    WriteFile(Product, "old " + std::to_string(run));
    ASSERT_EQ(::chmod(Product.c_str(), 0555), 0);
    EXPECT_TRUE(Retry());
    EXPECT_EQ(ReadFile(Product), "new product");
    EXPECT_EQ(ReadFile(Displaced(run)), "old " + std::to_string(run));
    EXPECT_FALSE(fs::exists(Displaced(run + 1)));
  }
  EXPECT_EQ(ReadFile(Displaced(0)), "old 0");
}

// A corrupt archive is refused while it is extracted into the staging folder: nothing of the
// install is moved or changed, and the archive is read once.
TEST_F(ExtractJob, CorruptArchiveLeavesTheProductWhereItIs) {
  WriteFile(Product, "old product");
  WriteFile(Archive, std::string("7z\xBC\xAF\x27\x1C", 6) + std::string(200, '\0'));
  TOpenCounter opens(Archive);
  rtl::String text;
  EXPECT_FALSE(ExtractArchive(rtl::S(Archive), rtl::S(Folder), text));
  int perAttempt = opens.Take();
  ASSERT_GT(perAttempt, 0);
  EXPECT_EQ(text, u"7-Zip Datoteka ne obstaja! " + rtl::S(Archive));

  auto before = Snapshot();
  EXPECT_FALSE(Retry());
  EXPECT_EQ(opens.Take(), perAttempt);
  EXPECT_EQ(Snapshot(), before);
  EXPECT_FALSE(fs::exists(Displaced(0)));
}

// Counters 0 to 100 taken (by a file, a folder or a dangling link alike): nothing is moved or
// replaced, the move cannot be retried and the update fails; the archive is extracted once.
TEST_F(ExtractJob, AllDisplacedNamesTakenMovesNothingAndFails) {
  WriteFile(Product, "old product");
  ASSERT_EQ(::chmod(Product.c_str(), 0555), 0);
  for (int n = 0; n <= 100; ++n) {
    if (n == 7)
      fs::create_directory(Displaced(n));
    else if (n == 50)
      fs::create_symlink(Folder + "nowhere", Displaced(n));
    else
      WriteFile(Displaced(n), "displaced " + std::to_string(n));
  }
  MakeArchive({{"KorvelFA.exe", "new product"}});
  TOpenCounter opens(Archive);
  rtl::String text;
  EXPECT_FALSE(ExtractArchive(rtl::S(Archive), rtl::S(Folder), text));
  EXPECT_EQ(text, u"7-Zip Ni možno kreirati datoteko! " + rtl::S(Product));
  int perAttempt = opens.Take();
  ASSERT_GT(perAttempt, 0);

  EXPECT_FALSE(Retry());
  EXPECT_EQ(opens.Take(), perAttempt);
  EXPECT_EQ(ReadFile(Product), "old product");
  EXPECT_FALSE(fs::exists(Displaced(101)));
  for (int n = 0; n <= 100; ++n) {
    if (n != 7 && n != 50) {
      EXPECT_EQ(ReadFile(Displaced(n)), "displaced " + std::to_string(n));
    }
  }
  EXPECT_TRUE(fs::is_directory(Displaced(7)));
  EXPECT_TRUE(fs::is_symlink(Displaced(50)));
}

// The library answers 0 for an item that failed its CRC check; the attempt must fail anyway, or
// the update would start a product with corrupt files.
TEST_F(ExtractJob, CrcDamagedItemFails) {
  WriteFile(Product, "old product");
  MakeArchive({{"KorvelFA.exe", "new product"}, {"a.dll", "library bytes"}});
  std::string bytes = ReadFile(Archive);
  size_t at = bytes.find("library bytes");
  ASSERT_NE(at, std::string::npos);
  bytes[at] ^= 1;
  WriteFile(Archive, bytes);

  {
    sevenzip::TSevenZip plain;  // the fault this step guards against is real
    plain.SetSZFileName(rtl::S(Archive));
    plain.SetExtrBaseDir(rtl::S(Dir / "plain"));
    EXPECT_EQ(plain.Extract(false), 0);
    EXPECT_EQ(plain.ErrCode(), sevenzip::SZ_CRC_ERROR);
  }

  rtl::String text;
  EXPECT_FALSE(ExtractArchive(rtl::S(Archive), rtl::S(Folder), text));
  EXPECT_EQ(rtl::U8(text), "7-Zip CRC napaka! " + Folder + "a.dll");
  EXPECT_FALSE(Retry());
}

// Nothing of a damaged archive ever stands in the folder: the extraction goes to the staging
// folder, and a CRC error there (in the product or in a library beside it) leaves every file of
// the install byte for byte as it was, and no staging folder.
TEST_F(ExtractJob, DamagedArchiveLeavesTheInstallAsItWas) {
  for (const char* damaged : {"new product bytes", "new library bytes"}) {
    SCOPED_TRACE(damaged);
    fs::remove_all(Folder);
    fs::create_directories(Folder + "lib");
    WriteFile(Product, "old product");
    ::chmod(Product.c_str(), 0755);
    WriteFile(Folder + "lib/a.dll", "old library");
    WriteFile(Folder + "readme.txt", "old readme");
    MakeArchive({{"KorvelFA.exe", "new product bytes"}, {"lib/a.dll", "new library bytes"},
                 {"readme.txt", "new readme"}, {"new/b.dll", "new folder"}});
    Damage(damaged);
    auto before = Snapshot();
    EXPECT_FALSE(Retry());
    EXPECT_EQ(Snapshot(), before);
    EXPECT_FALSE(fs::exists(Staging()));
  }
}

// A failure in the middle of the moves (a library that cannot be replaced and whose displaced
// names are all taken) puts back every file already moved: the install is as it was.
TEST_F(ExtractJob, FailedMoveUndoesTheEarlierOnes) {
  fs::create_directories(Folder + "lib");
  WriteFile(Product, "old product");
  WriteFile(Folder + "lib/a.dll", "old a");
  WriteFile(Folder + "lib/b.dll", "old b");
  ::chmod((Folder + "lib/b.dll").c_str(), 0444);
  for (int n = 0; n <= 100; ++n) WriteFile(Folder + "lib/b.dll.1001820." + std::to_string(n), "taken");
  MakeArchive({{"KorvelFA.exe", "new product"}, {"lib/a.dll", "new a"}, {"lib/b.dll", "new b"},
               {"lib/c.dll", "new c"}, {"fresh/d.dll", "new d"}, {"top.txt", "new top"}});
  auto before = Snapshot();
  EXPECT_FALSE(Retry());
  EXPECT_EQ(Snapshot(), before);
  EXPECT_FALSE(fs::exists(Staging()));
}

// A write that fails while the archive is staged (the disk full, here the file-size limit): the
// install stays as it was.
TEST_F(ExtractJob, FailedWriteLeavesTheInstallAsItWas) {
  WriteFile(Product, "old product");
  MakeArchive({{"KorvelFA.exe", "new product"}, {"big.bin", std::string(300000, 'x')}});
  auto before = Snapshot();
  struct rlimit old {};
  ::getrlimit(RLIMIT_FSIZE, &old);
  struct rlimit small = old;
  small.rlim_cur = 100000;
  auto oldSignal = ::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  bool ok = Retry();
  ::setrlimit(RLIMIT_FSIZE, &old);
  ::signal(SIGXFSZ, oldSignal);
  EXPECT_FALSE(ok);
  EXPECT_EQ(Snapshot(), before);
}

// What an interrupted run left in the staging folder (read-only folders, a link to a folder
// outside) is removed before the new attempt, without following the link.
TEST_F(ExtractJob, LeftoverStagingIsRemovedFirst) {
  WriteFile(Product, "old product");
  fs::create_directories(Staging() + "/ro/deep");
  WriteFile(Staging() + "/ro/deep/KorvelFA.exe", "half of an earlier update");
  ::chmod((Staging() + "/ro/deep").c_str(), 0555);
  ::chmod((Staging() + "/ro").c_str(), 0555);
  fs::create_directories(Dir / "outside");
  WriteFile(Dir / "outside/keep.txt", "keep");
  fs::create_directory_symlink(Dir / "outside", Staging() + "/link");
  fs::create_directories(Dir / "ro-src/ro");
  WriteFile(Dir / "ro-src/KorvelFA.exe", "new product");
  WriteFile(Dir / "ro-src/ro/file.txt", "in a read-only folder");
  ::chmod((Dir / "ro-src/ro").c_str(), 0555);
  ASSERT_TRUE(krvtest::Shell("cd " + Q(Dir / "ro-src") + " && 7z a -bd -y -mx0 " + Q(Archive) + " . >/dev/null 2>&1"));
  EXPECT_TRUE(Retry());
  EXPECT_FALSE(fs::exists(Staging()));
  EXPECT_EQ(ReadFile(Dir / "outside/keep.txt"), "keep");
  EXPECT_EQ(ReadFile(Product), "new product");
  EXPECT_EQ(ReadFile(Folder + "ro/file.txt"), "in a read-only folder");
  struct stat st {};
  ::stat((Folder + "ro").c_str(), &st);
  EXPECT_EQ(st.st_mode & 0777, 0555u) << "the folder keeps the archive's mode";
  ::chmod((Folder + "ro").c_str(), 0755);
  ::chmod((Dir / "ro-src/ro").c_str(), 0755);
}

// Kept for the caller, the staging folder holds exactly what the install replaced.
TEST_F(ExtractJob, KeptStagingHoldsTheReplacedFiles) {
  WriteFile(Product, "old product");
  fs::create_directories(Folder + "lib");
  WriteFile(Folder + "lib/a.dll", "old library");
  MakeArchive({{"KorvelFA.exe", "new product"}, {"lib/a.dll", "library"}, {"new/b.dll", "new"}});
  platform::TOwnedFile folder(platform::OpenFolder(rtl::S(Folder.substr(0, Folder.size() - 1))));
  platform::TOwnedFile archive(platform::OpenFileIn(folder.Get(), fs::path(Archive).filename().string()));
  TInstallTarget target{folder.Get(), rtl::S(Folder), rtl::S(Product), Version};
  rtl::String error;
  std::string kept;
  ASSERT_TRUE(InstallOpenArchive(target, archive.Get(), rtl::S(Archive), nullptr, error, &kept)) << rtl::U8(error);
  EXPECT_EQ(Folder + kept, Staging());
  EXPECT_EQ(ReadFile(Product), "new product");
  EXPECT_EQ(ReadFile(Folder + "lib/a.dll"), "library");
  EXPECT_EQ(ReadFile(Staging() + "/KorvelFA.exe"), "old product");
  EXPECT_EQ(ReadFile(Staging() + "/lib/a.dll"), "old library");
  EXPECT_FALSE(fs::exists(Staging() + "/new")) << "a new folder was moved in whole";
}

// A second update of the same folder waits for the first, but a first one that never ends fails
// it instead of hanging it; nothing is touched then.
TEST_F(ExtractJob, UpdateHeldByAnotherFailsAfterItsWait) {
  WriteFile(Product, "old product");
  MakeArchive({{"KorvelFA.exe", "new product"}});
  int other = ::open(Folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_EQ(::flock(other, LOCK_EX), 0);
  const uint32_t wait = downloader::InstallLockWaitMs;
  downloader::InstallLockWaitMs = 300;
  EXPECT_FALSE(Retry());
  downloader::InstallLockWaitMs = wait;
  EXPECT_EQ(ReadFile(Product), "old product");
  EXPECT_FALSE(fs::exists(Staging()));
  ::close(other);
  EXPECT_TRUE(Retry());
  EXPECT_EQ(ReadFile(Product), "new product");
}

TEST_F(ExtractJob, MissingLibraryRaisesAndMovesNothing) {
  WriteFile(Product, "old product");
  MakeArchive({{"KorvelFA.exe", "new product"}});
  ::setenv("KRV_7Z_LIBRARY", (Dir / "no-such-7z.so").c_str(), 1);
  EXPECT_THROW(Retry(), rtl::Exception);
  ::unsetenv("KRV_7Z_LIBRARY");
  EXPECT_EQ(ReadFile(Product), "old product");
  EXPECT_FALSE(fs::exists(Displaced(0)));
}

TEST(SevenZipMsg, ErrorTextsByCodeAndTheLastOneWins) {
  std::unique_ptr<TSevenZipMsg> sz(CreateSevenZipMsg(nullptr));
  ASSERT_TRUE(sz->OnMessage);
  const std::map<int32_t, const char*> texts = {
      {1, "Datoteka ne obstaja!"},
      {2, "Podatkovna napaka!"},
      {3, "CRC napaka!"},
      {4, "Metoda ni podprta!"},
      {5, "Kazalo izven obmo\xC4\x8Dja!"},
      {6, "Uporabnik je preklical operacijo!"},
      {7, "Datoteka ni 7z SFX arhiv!"},
      {8, "Napaka v SFX modulu!"},
      {9, "Ni mo\xC5\xBEno kreirati SFX!"},
      {10, "Ni mo\xC5\xBEno dodati datoteko!"},
      {11, "Ni mo\xC5\xBEno kreirati datoteko!"},
  };
  const std::string file = "mapa/\xC4\x8D\xC5\xA1\xC5\xBE.dll";
  for (auto& [code, text] : texts) {
    sz->OnMessage(sz.get(), code, u"ignored", rtl::S(file));
    EXPECT_EQ(rtl::U8(sz->cSevenZipError), std::string("7-Zip ") + text + " " + file) << code;
  }
  for (int32_t code : {0, 12, 13, -1, INT_MIN, INT_MAX}) {
    sz->OnMessage(sz.get(), code, u"ignored", u"other.dll");
    EXPECT_EQ(rtl::U8(sz->cSevenZipError), "7-Zip Ni mo\xC5\xBEno kreirati datoteko! " + file) << code;
  }
  std::unique_ptr<TSevenZipMsg> fresh(CreateSevenZipMsg(nullptr));
  fresh->OnMessage(fresh.get(), 0, u"ignored", u"a.dll");
  EXPECT_TRUE(fresh->cSevenZipError.empty());
  fresh->OnMessage(fresh.get(), 3, u"ignored", u"a.dll");
  EXPECT_EQ(fresh->cSevenZipError, u"7-Zip CRC napaka! a.dll");
}

}  // namespace

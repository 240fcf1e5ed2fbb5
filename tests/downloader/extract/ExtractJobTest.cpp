// The extraction step against archives made by the 7z program: replacing the product, moving it
// aside when the first attempt fails, the error texts, and item errors the library answers 0 for.
// The same cases run on Windows (under Wine), where a running program is a process started from
// the file and a read-only file has the read-only attribute.
#include <gtest/gtest.h>

#include <climits>
#include <map>
#include <optional>

#include "downloader/ExtractJob.h"
#include "downloader/Utils.h"
#include "tests/PosixCompat.h"
#include "tests/RunningProgram.h"
#include "tests/downloader/TestUtil.h"

#ifdef _WIN32
#include "rtl/win32/WinApi.h"

#include <aclapi.h>
#include <sddl.h>
#else
#include <signal.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#endif

namespace {

using namespace downloader;
using krvtest::ReadFile;
using krvtest::TRunningProgram;
using krvtest::TTempDir;
using krvtest::WriteFile;
namespace fs = std::filesystem;

std::string Q(const std::string& s) {
  std::string r = "'";
  for (char c : s) r += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return r + "'";
}

constexpr bool kWindows =
#ifdef _WIN32
    true;
#else
    false;
#endif

#ifdef _WIN32
// The access list of a file, as text.
std::wstring AccessOf(const std::string& path) {
  PSECURITY_DESCRIPTOR sd = nullptr;
  LPWSTR text = nullptr;
  GetNamedSecurityInfoW(fs::path(path).c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, 0, 0, 0, 0, &sd);
  ConvertSecurityDescriptorToStringSecurityDescriptorW(sd, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, 0);
  std::wstring r = text ? text : L"";
  LocalFree(text), LocalFree(sd);
  return r;
}
#endif

void MakeReadOnly(const std::string& path) {
  fs::permissions(path, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);
}

#ifndef _WIN32  // inotify: Windows has no count of a file's opens
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
#endif

class ExtractJob : public ::testing::Test {
 protected:
  void SetUp() override {
    // The shipped settings are embedded in this test program.
    ASSERT_EQ(Version, u"1001820");
    ASSERT_EQ(DestinationExe, u"KorvelFA.exe");
    Folder = Dir / "dl/";
    fs::create_directories(Folder);
    Archive = Folder + "dlDownloadFA_SQL_KO_KO_1001820.7z";
    Product = Folder + "KorvelFA.exe";
  }
  // Windows removes no read-only file, and a folder left behind is taken again by a later
  // process of the same id: every file is made writable for the folder's removal.
  void TearDown() override {
    std::error_code ec;
    for (auto& e : fs::recursive_directory_iterator(Dir.Path(), ec))
      fs::permissions(e.path(), fs::perms::owner_write, fs::perm_options::add, ec);
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
  // The install of the open archive, as the update makes it.
  bool Install(const TInstalledCheck& check, rtl::String& error, std::string* kept = nullptr) {
    platform::TOwnedFile folder(platform::OpenFolder(rtl::S(Folder.substr(0, Folder.size() - 1))));
    platform::TOwnedFile archive(platform::OpenFileIn(folder.Get(), fs::path(Archive).filename().string()));
    TInstallTarget target{folder.Get(), rtl::S(Folder), rtl::S(Product), Version};
    return InstallOpenArchive(target, archive.Get(), rtl::S(Archive), check, error, kept);
  }
  std::string Staging() { return Folder + ".dlDownloadFA_SQL_KO_KO_1001820.7z.staging"; }

  // Everything in the folder but the archive (and Windows' lock file): kind, mode, bytes (or link
  // text) and time. A folder's time is left out: moving an entry out and back sets it to the
  // moment of the move, which a run that crosses a second boundary sees.
  std::map<std::string, std::string> Snapshot() {
    std::map<std::string, std::string> r;
    for (auto& e : fs::recursive_directory_iterator(Folder)) {
      const std::string rel = fs::relative(e.path(), Folder).generic_string();
      if (e.path() == fs::path(Archive) || rel == ".krv-lock") continue;
      fs::file_status st = e.symlink_status();
      std::string what = std::to_string(int(st.type())) + " " + std::to_string(int(st.permissions())) + " ";
      if (st.type() == fs::file_type::regular)
        what += std::to_string(fs::last_write_time(e.path()).time_since_epoch().count()) + " " + ReadFile(Folder + rel);
      if (st.type() == fs::file_type::symlink) what += fs::read_symlink(e.path()).string();
      r[rel] = what;
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
  // The extraction is refused with that text, and the update that follows fails without a second
  // attempt (the archive opened as often as by one extraction; Windows counts no opens) and
  // without touching the folder.
  void ExpectRefusedOnce(const std::string& text) {
#ifndef _WIN32
    TOpenCounter opens(Archive);
#endif
    rtl::String error;
    EXPECT_FALSE(ExtractArchive(rtl::S(Archive), rtl::S(Folder), error));
    EXPECT_EQ(rtl::U8(error), text);
#ifndef _WIN32
    int perAttempt = opens.Take();
    ASSERT_GT(perAttempt, 0);
#endif
    auto before = Snapshot();
    EXPECT_FALSE(Retry());
#ifndef _WIN32
    EXPECT_EQ(opens.Take(), perAttempt);
#endif
    EXPECT_EQ(Snapshot(), before);
  }

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
#ifdef _WIN32
  // Staged in a private folder, installed with the access rules of a file made in the install.
  WriteFile(Folder + "made-here.txt", "");
  EXPECT_FALSE(AccessOf(Product).empty());
  EXPECT_EQ(AccessOf(Product), AccessOf(Folder + "made-here.txt"));
  EXPECT_EQ(AccessOf(Folder + "lib/a.dll"), AccessOf(Folder + "made-here.txt"));
#endif
}

// A running program cannot be written over (nor, on Windows, removed), but it can be renamed:
// the running product is moved to the first displaced name (it keeps running from there) and the
// new one takes its place. Refused after the moves, the install puts it back under its name.
TEST_F(ExtractJob, RunningProductIsDisplacedAndReplaced) {
  TRunningProgram product(Product);
  ASSERT_TRUE(product.Running());
  std::string running = ReadFile(Product);
  MakeArchive({{"KorvelFA.exe", "new product"}});
  auto before = Snapshot();
  rtl::String error;
  EXPECT_FALSE(Install([] { return rtl::String(u"refused"); }, error));
  EXPECT_EQ(error, u"refused");
  EXPECT_EQ(Snapshot(), before);
  EXPECT_TRUE(Retry());
  EXPECT_EQ(ReadFile(Product), "new product");
  EXPECT_EQ(ReadFile(Displaced(0)), running);
  EXPECT_TRUE(product.Running()) << "the running product was disturbed";
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
    MakeReadOnly(Product);
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
  ExpectRefusedOnce("7-Zip Datoteka ne obstaja! " + Archive);
  EXPECT_EQ(ReadFile(Product), "old product");
  EXPECT_FALSE(fs::exists(Displaced(0)));
}

// Counters 0 to 100 taken (by a file, a folder or a dangling link alike): nothing is moved or
// replaced, the move cannot be retried and the update fails; the archive is extracted once.
TEST_F(ExtractJob, AllDisplacedNamesTakenMovesNothingAndFails) {
  WriteFile(Product, "old product");
  MakeReadOnly(Product);
  // Wine makes no links of Windows' kind (a host's link looks like what it points to).
  const bool link = !kWindows;
  for (int n = 0; n <= 100; ++n) {
    if (n == 7)
      fs::create_directory(Displaced(n));
    else if (n == 50 && link)
      fs::create_symlink(Folder + "nowhere", Displaced(n));
    else
      WriteFile(Displaced(n), "displaced " + std::to_string(n));
  }
  MakeArchive({{"KorvelFA.exe", "new product"}});
  ExpectRefusedOnce("7-Zip Ni možno kreirati datoteko! " + Product);
  EXPECT_EQ(ReadFile(Product), "old product");
  EXPECT_FALSE(fs::exists(Displaced(101)));
  for (int n = 0; n <= 100; ++n) {
    if (n != 7 && (n != 50 || !link)) {
      EXPECT_EQ(ReadFile(Displaced(n)), "displaced " + std::to_string(n));
    }
  }
  EXPECT_TRUE(fs::is_directory(Displaced(7)));
  EXPECT_EQ(fs::is_symlink(Displaced(50)), link);
}

// The library answers 0 for an item that failed its CRC check; the attempt must fail anyway, or
// the update would start a product with corrupt files.
TEST_F(ExtractJob, CrcDamagedItemFails) {
  WriteFile(Product, "old product");
  MakeArchive({{"KorvelFA.exe", "new product"}, {"a.dll", "library bytes"}});
  Damage("library bytes");

  {
    sevenzip::TSevenZip plain;  // the fault this step guards against is real
    plain.SetSZFileName(rtl::S(Archive));
    plain.SetExtrBaseDir(rtl::S(Dir / "plain"));
    EXPECT_EQ(plain.Extract(false), 0);
    EXPECT_EQ(plain.ErrCode(), sevenzip::SZ_CRC_ERROR);
  }
  ExpectRefusedOnce("7-Zip CRC napaka! " + Folder + "a.dll");
}

// Nothing of a damaged archive ever stands in the folder: the extraction goes to the staging
// folder, and a CRC error there (in the product or in a library beside it) leaves every file of
// the install byte for byte as it was, and no staging folder; also while the product runs.
TEST_F(ExtractJob, DamagedArchiveLeavesTheInstallAsItWas) {
  for (bool running : {false, true})
    for (const char* damaged : {"new product bytes", "new library bytes"}) {
      SCOPED_TRACE(std::string(damaged) + (running ? ", product running" : ""));
      fs::remove_all(Folder);
      fs::create_directories(Folder + "lib");
      WriteFile(Product, "old product");
      std::optional<TRunningProgram> product;
      if (running) product.emplace(Product);
      WriteFile(Folder + "lib/a.dll", "old library");
      WriteFile(Folder + "readme.txt", "old readme");
      MakeArchive({{"KorvelFA.exe", "new product bytes"}, {"lib/a.dll", "new library bytes"},
                   {"readme.txt", "new readme"}, {"new/b.dll", "new folder"}});
      Damage(damaged);
      auto before = Snapshot();
      EXPECT_FALSE(Retry());
      EXPECT_EQ(Snapshot(), before);
      EXPECT_FALSE(fs::exists(Staging()));
      EXPECT_TRUE(!running || product->Running());
    }
}

// A failure in the middle of the moves (a library that cannot be replaced and whose displaced
// names are all taken; on Windows also one that another program holds open without letting it
// be renamed) puts back every file already moved: the install is as it was.
TEST_F(ExtractJob, FailedMoveUndoesTheEarlierOnes) {
  MakeArchive({{"KorvelFA.exe", "new product"}, {"lib/a.dll", "new a"}, {"lib/b.dll", "new b"},
               {"lib/c.dll", "new c"}, {"fresh/d.dll", "new d"}, {"top.txt", "new top"}});
  for (int held = int(kWindows); held >= 0; --held) {  // the read-only one last: Windows removes no such file
    fs::remove_all(Folder + "lib");
    fs::create_directories(Folder + "lib");
    WriteFile(Product, "old product");
    WriteFile(Folder + "lib/a.dll", "old a");
    WriteFile(Folder + "lib/b.dll", "old b");
    if (!held) MakeReadOnly(Folder + "lib/b.dll");
    for (int n = 0; n <= 100 && !held; ++n) WriteFile(Folder + "lib/b.dll.1001820." + std::to_string(n), "taken");
#ifdef _WIN32
    HANDLE other = held ? CreateFileW(fs::path(Folder + "lib/b.dll").wstring().c_str(), GENERIC_READ, FILE_SHARE_READ,
                                      nullptr, OPEN_EXISTING, 0, nullptr)
                        : INVALID_HANDLE_VALUE;
#endif
    auto before = Snapshot();
    rtl::String text;
    EXPECT_FALSE(InstallArchive(rtl::S(Archive), rtl::S(Folder), rtl::S(Product), Version, text));
    EXPECT_NE(rtl::U8(text).find("lib/b.dll ("), std::string::npos) << rtl::U8(text);
    EXPECT_EQ(Snapshot(), before);
    EXPECT_FALSE(fs::exists(Staging()));
#ifdef _WIN32
    if (other != INVALID_HANDLE_VALUE) CloseHandle(other);
#endif
  }
}

#ifndef _WIN32  // Windows has no limit of a file's size to set
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
#endif

// What an interrupted run left in the staging folder (read-only folders, a link to a folder
// outside) is removed before the new attempt, without following the link (Wine makes no links
// of Windows' kind: there the link is left out).
TEST_F(ExtractJob, LeftoverStagingIsRemovedFirst) {
  WriteFile(Product, "old product");
  fs::create_directories(Staging() + "/ro/deep");
  WriteFile(Staging() + "/ro/deep/KorvelFA.exe", "half of an earlier update");
  MakeReadOnly(Staging() + "/ro/deep");
  MakeReadOnly(Staging() + "/ro");
  fs::create_directories(Dir / "outside");
  WriteFile(Dir / "outside/keep.txt", "keep");
  if (!kWindows) fs::create_directory_symlink(Dir / "outside", Staging() + "/link");
  fs::create_directories(Dir / "ro-src/ro");
  WriteFile(Dir / "ro-src/KorvelFA.exe", "new product");
  WriteFile(Dir / "ro-src/ro/file.txt", "in a read-only folder");
  ASSERT_TRUE(krvtest::Shell("cd " + Q(Dir / "ro-src") + " && chmod 555 ro && 7z a -bd -y -mx0 " + Q(Archive) +
                             " . >/dev/null 2>&1 && chmod 755 ro"));
#ifdef _WIN32  // a file in use (Linux removes an open file) keeps its folder to a later run, the staging goes beside it
  HANDLE held = CreateFileW(fs::path(Staging() + "/ro/deep/KorvelFA.exe").c_str(), GENERIC_READ, FILE_SHARE_READ,
                            nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_TRUE(Retry());
  EXPECT_TRUE(fs::exists(Staging() + "/ro/deep/KorvelFA.exe"));
  EXPECT_FALSE(fs::exists(Staging() + ".1"));
  CloseHandle(held);
#endif
  EXPECT_TRUE(Retry());
  EXPECT_FALSE(fs::exists(Staging()));
  EXPECT_EQ(ReadFile(Dir / "outside/keep.txt"), "keep");
  EXPECT_EQ(ReadFile(Product), "new product");
  EXPECT_EQ(ReadFile(Folder + "ro/file.txt"), "in a read-only folder");
  if (!kWindows) {  // Wine keeps no read-only attribute on a folder
    EXPECT_EQ(int(fs::status(Folder + "ro").permissions() & fs::perms::all), 0555) << "the archive's mode";
  }
  fs::permissions(Folder + "ro", fs::perms::owner_write, fs::perm_options::add);
}

// Kept for the caller, the staging folder holds exactly what the install replaced.
TEST_F(ExtractJob, KeptStagingHoldsTheReplacedFiles) {
  WriteFile(Product, "old product");
  fs::create_directories(Folder + "lib");
  WriteFile(Folder + "lib/a.dll", "old library");
  MakeArchive({{"KorvelFA.exe", "new product"}, {"lib/a.dll", "library"}, {"new/b.dll", "new"}});
  rtl::String error;
  std::string kept;
  ASSERT_TRUE(Install(nullptr, error, &kept)) << rtl::U8(error);
  EXPECT_EQ(Folder + kept, Staging());
  EXPECT_EQ(ReadFile(Product), "new product");
  EXPECT_EQ(ReadFile(Folder + "lib/a.dll"), "library");
  EXPECT_EQ(ReadFile(Staging() + "/KorvelFA.exe"), "old product");
  EXPECT_EQ(ReadFile(Staging() + "/lib/a.dll"), "old library");
  EXPECT_FALSE(fs::exists(Staging() + "/new")) << "a new folder was moved in whole";
}

// Names Windows does not allow (a device's, a trailing dot or blank, a stream's) fail the install
// there, with the name and the system's reason, and the install stays as it was; Linux takes
// them as they are.
TEST_F(ExtractJob, NamesWindowsRefusesFailThereOnly) {
  WriteFile(Product, "old product");
  for (std::string name : {"CON", "aux.txt", "Com1.log", "lpt9", "nul .txt", "name.", "name ", "a:b"}) {
    SCOPED_TRACE(name);
    MakeArchive({{"KorvelFA.exe", "new product"}});
    // Made and removed by the host: Windows would open the device, or the stream, itself.
    ASSERT_TRUE(krvtest::Shell("cd " + Q(Dir / "src") + " && mkdir lib && echo x >" + Q("lib/" + name) +
                               " && 7z a -bd -y -mx0 " + Q(Archive) + " lib >/dev/null 2>&1 && rm -r lib"));
    auto before = Snapshot();
    rtl::String error;
    EXPECT_EQ(InstallArchive(rtl::S(Archive), rtl::S(Folder), rtl::S(Product), Version, error), !kWindows);
    if (kWindows) {
      EXPECT_NE(rtl::U8(error).find(name + " ("), std::string::npos) << rtl::U8(error);
      EXPECT_EQ(Snapshot(), before);
    }
    fs::remove_all(Folder + "lib");
    WriteFile(Product, "old product");
  }
}

// A second update of the same folder waits for the first, but a first one that never ends fails
// it instead of hanging it; nothing is touched then.
TEST_F(ExtractJob, UpdateHeldByAnotherFailsAfterItsWait) {
  WriteFile(Product, "old product");
  MakeArchive({{"KorvelFA.exe", "new product"}});
  platform::TOwnedFile folder(platform::OpenFolder(rtl::S(Folder.substr(0, Folder.size() - 1))));
  platform::TOwnedFile other(platform::LockFolder(folder.Get(), 0));
  ASSERT_TRUE(other.Valid());
  const uint32_t wait = downloader::InstallLockWaitMs;
  downloader::InstallLockWaitMs = 300;
  EXPECT_FALSE(Retry());
  downloader::InstallLockWaitMs = wait;
  EXPECT_EQ(ReadFile(Product), "old product");
  EXPECT_FALSE(fs::exists(Staging()));
  other.Reset();
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

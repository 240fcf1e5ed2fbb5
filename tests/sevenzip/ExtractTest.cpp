// TSevenZip against archives the 7z program makes at test time, compared with what `7z x` gives.
#include <fstream>
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <thread>

#include "platform/LastError.h"
#include "sevenzip/SevenZip.h"
#include "sevenzip/SevenZipCallbacks.h"
#include "TestUtil.h"
#include "tests/PosixCompat.h"
#ifdef _WIN32
#include <tlhelp32.h>
// The test helpers bring the system's header: its macros of these names would hide ours.
#undef S_OK
#undef S_FALSE
#undef E_NOINTERFACE
#endif

using namespace sztest;
using sevenzip::TSevenZip;

namespace {

struct TMessage {
  int32_t Code;
  std::string Text;
  std::string File;
};

int ThreadsOfThisProcess() {
#ifdef _WIN32
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return -1;
  int n = 0;
  THREADENTRY32 t{};
  t.dwSize = sizeof t;
  for (BOOL more = Thread32First(snapshot, &t); more; more = Thread32Next(snapshot, &t))
    if (t.th32OwnerProcessID == GetCurrentProcessId()) ++n;
  CloseHandle(snapshot);
  return n;
#endif
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("Threads:", 0) == 0) return std::stoi(line.substr(8));
  return -1;
}

// A component with its messages recorded, and every prompt failing the test unless allowed.
class ExtractTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Zip = std::make_unique<TSevenZip>();
    Zip->OnMessage = [this](TSevenZip*, int32_t code, const rtl::String& text, const rtl::String& file) {
      Messages.push_back({code, rtl::U8(text), rtl::U8(file)});
    };
    sevenzip::SetBrowseForFileHandler([this](const sevenzip::TBrowseRequest& r, rtl::String&) {
      Browses.push_back(r);
      return false;
    });
  }
  void TearDown() override { sevenzip::SetBrowseForFileHandler(nullptr); }

  // The sample tree: nested folders, an empty folder, modes, odd-second times, non-ASCII and
  // non-BMP names.
  void MakeSampleTree(const fs::path& src) {
    WriteFile(src / "top.txt", "top level\n");
    WriteFile(src / "a/b/c/deep.txt", std::string(100000, 'x') + "end");
    WriteFile(src / "run.sh", "#!/bin/sh\necho hi\n");
    fs::permissions(src / "run.sh", fs::perms(0755));
    WriteFile(src / "readonly.txt", "do not touch\n");
    fs::permissions(src / "readonly.txt", fs::perms(0444));
    WriteFile(src / u8"gr\u00FC\u00DF e/\u00F1.txt", "non-ascii\n");
    WriteFile(src / u8"\U0001F600 smile.txt", "non-bmp\n");
    fs::create_directories(src / "empty");
    fs::create_directories(src / "private");
    WriteFile(src / "private/secret.txt", "s\n");
    fs::permissions(src / "private", fs::perms(0700));
    int64_t t = 1700000001;  // an odd second: kept to two-second steps
    for (auto& e : fs::recursive_directory_iterator(src))
      if (e.is_regular_file()) SetMTime(e.path(), t += 2);
  }

  int32_t ExtractTo(const fs::path& archive, const fs::path& dir, bool test = false) {
    Zip->SetSZFileName(rtl::S(archive.string()));
    Zip->SetExtrBaseDir(rtl::S(dir.string()));
    return Zip->Extract(test);
  }

  // 7z x keeps exact times; ours are DOS times (two-second steps, rounded down).
  static std::map<std::string, TEntry> DosRounded(std::map<std::string, TEntry> t) {
    for (auto& [k, v] : t) v.MTime -= v.MTime % 2;
    return t;
  }

  // The most threads seen while the library extracts the archive (its big.txt holds data).
  int PeakThreads(const char* archive, uint32_t threads, uint64_t limit, const char* out, const std::string& data) {
    int peak = 0;
    Zip->SetDecoderThreads(threads);
    Zip->SetDecoderMemoryLimit(limit);
    Zip->OnProgress = [&](TSevenZip*, const rtl::String&, int64_t, int64_t) {
      peak = std::max(peak, ThreadsOfThisProcess());
    };
    EXPECT_EQ(ExtractTo(S / archive, S / out), 0) << out;
    EXPECT_EQ(ReadFile(S / out / "big.txt"), data) << out;
    return peak;
  }

  TScratch S;
  std::unique_ptr<TSevenZip> Zip;
  std::vector<TMessage> Messages;
  std::vector<sevenzip::TBrowseRequest> Browses;
};

TEST_F(ExtractTest, TreeMatchesWhatSevenZipExtracts) {
  MakeSampleTree(S / "src");
  ASSERT_TRUE(Make7z(S / "t.7z", S / "src"));
  ASSERT_TRUE(Extract7z(S / "t.7z", S / "ref"));
  EXPECT_EQ(ExtractTo(S / "t.7z", S / "out"), 0);
  EXPECT_EQ(Zip->ErrCode(), 0);
  EXPECT_TRUE(Messages.empty());
  auto ours = Tree(S / "out"), ref = DosRounded(Tree(S / "ref"));
  EXPECT_EQ(Describe(ours), Describe(ref));
  EXPECT_EQ(ours, ref);
#ifndef _WIN32  // Windows keeps no mode bits: the tree compared the read-only attribute
  EXPECT_EQ(ModeOf(S / "out/run.sh"), 0755u);
  EXPECT_EQ(ModeOf(S / "out/readonly.txt"), 0444u);
  EXPECT_EQ(ModeOf(S / "out/private"), 0700u);
#endif
  EXPECT_TRUE(fs::is_directory(S / "out/empty"));
  EXPECT_EQ(MTimeOf(S / "out/top.txt") % 2, 0);
  EXPECT_TRUE(Browses.empty());
}

TEST_F(ExtractTest, BaseDirWithAndWithoutSlashAndEmpty) {
  WriteFile(S / "src/x/y.txt", "y");
  ASSERT_TRUE(Make7z(S / "t.7z", S / "src"));
  EXPECT_EQ(ExtractTo(S / "t.7z", S / "one/"), 0);
  EXPECT_EQ(ExtractTo(S / "t.7z", S / "two"), 0);
  EXPECT_EQ(ReadFile(S / "one/x/y.txt"), "y");
  EXPECT_EQ(ReadFile(S / "two/x/y.txt"), "y");
  // An empty folder means the current one; a relative one-letter folder is created.
  fs::path old = fs::current_path();
  fs::create_directories(S / "cwd");
  fs::current_path(S / "cwd");
  Zip->SetSZFileName(rtl::S((S / "t.7z").string()));
  Zip->SetExtrBaseDir(u"");
  EXPECT_EQ(Zip->Extract(false), 0);
  Zip->SetExtrBaseDir(u"a");
  EXPECT_EQ(Zip->Extract(false), 0);
  fs::current_path(old);
  EXPECT_EQ(ReadFile(S / "cwd/x/y.txt"), "y");
  EXPECT_EQ(ReadFile(S / "cwd/a/x/y.txt"), "y");
}

TEST_F(ExtractTest, FolderMadeForAFileTakesNoFileMode) {
  WriteFile(S / "src/d/e/f.txt", "f");
  // Only the file is stored, no folder items.
  ASSERT_TRUE(Make7z(S / "t.7z", S / "src", "", "d/e/f.txt"));
  EXPECT_EQ(ExtractTo(S / "t.7z", S / "out"), 0);
  EXPECT_EQ(ReadFile(S / "out/d/e/f.txt"), "f");
  EXPECT_EQ(ModeOf(S / "out/d/e"), platform::MadeFolderMode());
}

TEST_F(ExtractTest, TestModeCreatesNothingAndReportsStoredPaths) {
  MakeSampleTree(S / "src");
  ASSERT_TRUE(Make7z(S / "t.7z", S / "src"));
  std::vector<std::string> progressNames;
  Zip->OnProgress = [&](TSevenZip*, const rtl::String& f, int64_t, int64_t) { progressNames.push_back(rtl::U8(f)); };
  int64_t pre = 0;
  Zip->OnPreProgress = [&](TSevenZip*, int64_t max) { pre = max; };
  EXPECT_EQ(ExtractTo(S / "t.7z", S / "out", true), 0);
  EXPECT_FALSE(fs::exists(S / "out"));
  EXPECT_GT(pre, 100000);
  ASSERT_FALSE(progressNames.empty());
  for (auto& n : progressNames) EXPECT_EQ(n.find(S.Root.string()), std::string::npos) << n;
}

TEST_F(ExtractTest, PasswordRightAndWrong) {
  WriteFile(S / "src/p.txt", "protected");
  ASSERT_TRUE(Make7z(S / "plainhdr.7z", S / "src", "-pSecret"));
  ASSERT_TRUE(Make7z(S / "enchdr.7z", S / "src", "-pSecret -mhe=on"));
  struct {
    const char* archive;
    const char* password;
    int32_t result;
    int32_t code;
    bool extracted;
    int32_t otherCode = -1;  // another code the same case may end with
  } cases[] = {
      {"plainhdr.7z", "Secret", 0, 0, true},
      {"enchdr.7z", "Secret", 0, 0, true},
      // The wrong key decrypts the item into noise: the decoder fails on it (data error), or
      // decodes it into bytes whose CRC fails. Which one depends on the archive's random salt.
      {"plainhdr.7z", "wrong", 0, 2, false, 3},
      {"enchdr.7z", "wrong", -1, 1, false},  // headers can't be read
      {"enchdr.7z", "", -1, 1, false},
  };
  int n = 0;
  for (auto& c : cases) {
    SCOPED_TRACE(std::string(c.archive) + " / " + c.password);
    Messages.clear();
    Zip->SetPassword(rtl::S(c.password));
    fs::path out = S / ("out" + std::to_string(n++));
    EXPECT_EQ(ExtractTo(S / c.archive, out), c.result);
    const int32_t code = Zip->ErrCode() == c.otherCode ? c.otherCode : c.code;
    EXPECT_EQ(Zip->ErrCode(), code);
    if (c.extracted) {
      EXPECT_EQ(ReadFile(out / "p.txt"), "protected");
    } else {
      EXPECT_FALSE(fs::exists(out / "p.txt"));
      ASSERT_EQ(Messages.size(), 1u);
      EXPECT_EQ(Messages[0].Code, code);
    }
  }
}

TEST_F(ExtractTest, SplitVolumesThroughTheFirstWithoutPrompt) {
  std::string big = PseudoRandom(300000, 1);
  WriteFile(S / "src/big.txt", big);
  ASSERT_TRUE(Make7z(S / "vol.7z", S / "src", "-v100k -mx1"));
  ASSERT_TRUE(fs::exists(S / "vol.7z.003"));
  bool asked = false;
  Zip->OnOpenVolume = [&](rtl::String&, bool, bool& cancel) {
    asked = true;
    cancel = true;
  };
  EXPECT_EQ(ExtractTo(S / "vol.7z.001", S / "out"), 0);
  EXPECT_EQ(ReadFile(S / "out/big.txt"), big);
  EXPECT_FALSE(asked);
  EXPECT_TRUE(Browses.empty());
  EXPECT_EQ(Zip->GetIndexByFilename(u"BIG.TXT"), 0);
}

TEST_F(ExtractTest, MissingMiddleVolumeAsksOnOpenVolume) {
  std::string big = PseudoRandom(300000, 2);
  WriteFile(S / "src/big.txt", big);
  ASSERT_TRUE(Make7z(S / "vol.7z", S / "src", "-v100k -mx1"));
  fs::create_directories(S / "elsewhere");
  fs::rename(S / "vol.7z.002", S / "elsewhere/moved.bin");

  // Cancelled: the archive can't be opened.
  std::vector<std::string> asked;
  bool removableSeen = true;
  Zip->OnOpenVolume = [&](rtl::String& name, bool removable, bool& cancel) {
    asked.push_back(rtl::U8(name));
    removableSeen = removable;
    cancel = true;
  };
  EXPECT_EQ(ExtractTo(S / "vol.7z.001", S / "out1"), -1);
  EXPECT_EQ(Zip->ErrCode(), 1);
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_EQ(asked[0], (S / "vol.7z.002").string());
  EXPECT_FALSE(removableSeen);
  ASSERT_EQ(Messages.size(), 1u);
  EXPECT_EQ(Messages[0].File, (S / "vol.7z.001").string());

  // Replaced: the handler names the file where it now lives.
  asked.clear();
  Zip->OnOpenVolume = [&](rtl::String& name, bool, bool&) {
    asked.push_back(rtl::U8(name));
    name = rtl::S((S / "elsewhere/moved.bin").string());
  };
  EXPECT_EQ(ExtractTo(S / "vol.7z.001", S / "out2"), 0);
  EXPECT_EQ(asked.size(), 1u);
  EXPECT_EQ(ReadFile(S / "out2/big.txt"), big);
  EXPECT_TRUE(Browses.empty());
}

TEST_F(ExtractTest, MissingVolumeWithoutHandlerShowsTheDialog) {
  std::string big = PseudoRandom(250000, 3);
  WriteFile(S / "src/big.txt", big);
  ASSERT_TRUE(Make7z(S / "vol.7z", S / "src", "-v50k -mx0"));
  fs::remove(S / "vol.7z.002");
  EXPECT_EQ(ExtractTo(S / "vol.7z.001", S / "out"), -1);
  ASSERT_EQ(Browses.size(), 1u);
  EXPECT_EQ(rtl::U8(Browses[0].Title), "Select volume");
  EXPECT_EQ(rtl::U8(Browses[0].FilterDescription), "vol.7z-volumes");
  EXPECT_EQ(rtl::U8(Browses[0].FilterPattern), "vol.7z.*");
  EXPECT_EQ(rtl::U8(Browses[0].InitialDir), S.Root.string());
  EXPECT_EQ(Zip->ErrCode(), 1);
}

TEST_F(ExtractTest, TruncatedArchiveAsksForTheLastVolumeThenFails) {
  WriteFile(S / "src/a.txt", std::string(50000, 'a'));
  ASSERT_TRUE(Make7z(S / "full.7z", S / "src", "-mx0"));
  std::string bytes = ReadFile(S / "full.7z");
  WriteFile(S / "data.7z", bytes.substr(0, bytes.size() / 2));
  EXPECT_EQ(ExtractTo(S / "data.7z", S / "out"), -1);
  EXPECT_EQ(Zip->ErrCode(), 1);
  ASSERT_EQ(Messages.size(), 1u);
  EXPECT_EQ(Messages[0].Text, "File not found");
  ASSERT_EQ(Browses.size(), 1u);
  EXPECT_EQ(rtl::U8(Browses[0].Title), "Select last volume");
  EXPECT_EQ(rtl::U8(Browses[0].FilterDescription), "-volumes");
  EXPECT_EQ(rtl::U8(Browses[0].FilterPattern), ".*");
  EXPECT_EQ(rtl::U8(Browses[0].InitialDir), "");
  EXPECT_FALSE(fs::exists(S / "out/a.txt"));
}

TEST_F(ExtractTest, MissingOrGarbageArchiveIsFileNotFound) {
  WriteFile(S / "garbage.7z", std::string(1000, '\x37'));
  struct {
    const char* name;
    int32_t lastError;
  } cases[] = {{"missing.7z", 2}, {"garbage.7z", 0}};
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    Messages.clear();
    Zip->SetLastError(0);
    EXPECT_EQ(ExtractTo(S / c.name, S / "out"), -1);
    EXPECT_EQ(Zip->ErrCode(), 1);
    EXPECT_EQ(Zip->LastError(), c.lastError);
    ASSERT_EQ(Messages.size(), 1u);
    EXPECT_EQ(Messages[0].File, (S / c.name).string());
  }
  EXPECT_FALSE(fs::exists(S / "out"));
  EXPECT_TRUE(Browses.empty());
}

// A damaged item gives its message ("CRC Error") and never stands under its name: it is written
// under a temporary name and takes the name only when its result is correct; a file that was there
// before stays as it was. The code is the last item's: a correct one after the damage sets it back.
TEST_F(ExtractTest, DamagedItemLeavesThePreviousFileAndNoTemporary) {
  WriteFile(S / "src/1first.txt", std::string(4000, 'A'));
  WriteFile(S / "src/2second.txt", std::string(4000, 'B'));
  WriteFile(S / "src/3third.txt", std::string(4000, 'C'));
  ASSERT_TRUE(Make7z(S / "t.7z", S / "src", "-mx0 -ms=off", "1first.txt 2second.txt 3third.txt"));
  const std::string good = ReadFile(S / "t.7z");
  Zip->SetExtractOptions(sevenzip::OptBit(sevenzip::ExtractOverwrite));
  for (bool lastToo : {false, true}) {
    SCOPED_TRACE(lastToo ? "the first and the last item damaged" : "the first item damaged");
    std::string bytes = good;
    // Stored data begins right after the 32-byte start header.
    for (auto [at, was] : {std::pair{32 + 10, 'A'}, std::pair{32 + 8000 + 10, 'C'}}) {
      if (was == 'C' && !lastToo) break;
      ASSERT_EQ(bytes[at], was);
      bytes[at] = 'Z';
    }
    WriteFile(S / "t.7z", bytes);
    fs::remove_all(S / "out");
    WriteFile(S / "out/1first.txt", "previous");
    Messages.clear();
    EXPECT_EQ(ExtractTo(S / "t.7z", S / "out"), 0);
    std::vector<std::string> damaged = {(S / "out/1first.txt").string()};
    if (lastToo) damaged.push_back((S / "out/3third.txt").string());
    ASSERT_EQ(Messages.size(), damaged.size());
    for (size_t i = 0; i < damaged.size(); ++i) {
      EXPECT_EQ(Messages[i].Code, 3);
      EXPECT_EQ(Messages[i].Text, "CRC Error");
      EXPECT_EQ(Messages[i].File, damaged[i]);
    }
    EXPECT_EQ(Zip->ErrCode(), lastToo ? 3 : 0);
    EXPECT_EQ(ReadFile(S / "out/1first.txt"), "previous");
    EXPECT_EQ(ReadFile(S / "out/2second.txt"), std::string(4000, 'B'));
    std::set<std::string> names;
    for (auto& e : fs::directory_iterator(S / "out")) names.insert(e.path().filename().string());
    std::set<std::string> expected = {"1first.txt", "2second.txt", "3third.txt"};
    if (lastToo) expected.erase("3third.txt");
    EXPECT_EQ(names, expected);
  }
}

// A link already in the target folder, in a folder's place on an item's path or in a file's
// place, is never followed: the item is refused like a path that leaves the folder, and nothing
// outside is written.
TEST_F(ExtractTest, LinksInTheTargetFolderAreNotFollowed) {
  WriteFile(S / "src/linked/secret.txt", "from the archive");
  WriteFile(S / "src/linked/deeper/x.txt", "from the archive");
  WriteFile(S / "src/f.txt", "from the archive");
  WriteFile(S / "src/ok.txt", "ok");
  fs::create_directories(S / "src/linkdir");
  ASSERT_TRUE(Make7z(S / "t.7z", S / "src", "-ms=on", "linked f.txt ok.txt linkdir"));
  WriteFile(S / "outside/secret.txt", "secret");
  WriteFile(S / "outside/victim.txt", "victim");
  fs::create_directories(S / "out");
  fs::create_directory_symlink(S / "outside", S / "out/linked");
  fs::create_directory_symlink(S / "outside", S / "out/linkdir");
  fs::create_symlink(S / "outside/victim.txt", S / "out/f.txt");
  Zip->SetExtractOptions(sevenzip::OptBit(sevenzip::ExtractOverwrite));
  EXPECT_EQ(ExtractTo(S / "t.7z", S / "out"), 0);
  EXPECT_EQ(ReadFile(S / "outside/secret.txt"), "secret");
  EXPECT_EQ(ReadFile(S / "outside/victim.txt"), "victim");
  EXPECT_FALSE(fs::exists(S / "outside/deeper"));
  EXPECT_EQ((std::set<std::string>{"secret.txt", "victim.txt"}).size(),
            size_t(std::distance(fs::directory_iterator(S / "outside"), fs::directory_iterator())));
  EXPECT_TRUE(fs::is_symlink(S / "out/f.txt"));
  EXPECT_TRUE(fs::is_symlink(S / "out/linked"));
  EXPECT_EQ(ReadFile(S / "out/ok.txt"), "ok");
  std::set<std::string> refused;
  for (auto& m : Messages) {
    EXPECT_EQ(m.Code, 11) << m.File;
    refused.insert(m.File);
  }
  EXPECT_EQ(refused, (std::set<std::string>{(S / "out/linked/secret.txt").string(),
                                            (S / "out/linked/deeper/x.txt").string(),
                                            (S / "out/linked/deeper").string(), (S / "out/linked").string(),
                                            (S / "out/linkdir").string(), (S / "out/f.txt").string()}));
  EXPECT_EQ(Zip->LastError(), 123);
}

TEST_F(ExtractTest, SelectionByIndexHexAndName) {
  for (const char* n : {"a.txt", "b.txt", "c.txt", "d.txt"}) WriteFile(S / "src/Dir" / n, n);
  ASSERT_TRUE(Make7z(S / "t.7z", S / "src", "", "Dir/a.txt Dir/b.txt Dir/c.txt Dir/d.txt"));
  struct {
    std::vector<const char*> entries;
    std::vector<const char*> expected;
  } cases[] = {
      {{"0"}, {"a.txt"}},
      {{"$3"}, {"d.txt"}},
      {{"0x2", " 1"}, {"b.txt", "c.txt"}},
      {{"x1"}, {"b.txt"}},
      {{"dir/C.TXT"}, {"c.txt"}},
      {{"DIR/D.txt", "0"}, {"a.txt", "d.txt"}},
  };
  int n = 0;
  for (auto& c : cases) {
    SCOPED_TRACE(c.entries[0]);
    Zip->Files().Clear();
    for (auto* e : c.entries) Zip->Files().Add(rtl::S(e));
    int64_t pre = -1;
    Zip->OnPreProgress = [&](TSevenZip*, int64_t v) { pre = v; };
    fs::path out = S / ("out" + std::to_string(n++));
    EXPECT_EQ(ExtractTo(S / "t.7z", out), 0);
    std::vector<std::string> got;
    for (auto& e : fs::directory_iterator(out / "Dir")) got.push_back(e.path().filename().string());
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, std::vector<std::string>(c.expected.begin(), c.expected.end()));
    EXPECT_EQ(pre, int64_t(5 * c.expected.size()));
  }
  EXPECT_TRUE(Messages.empty());
}

TEST_F(ExtractTest, IndexOutOfRange) {
  WriteFile(S / "src/a.txt", "a");
  ASSERT_TRUE(Make7z(S / "t.7z", S / "src"));
  ASSERT_TRUE(Make7z(S / "empty.7z", S / "src", "-x!a.txt"));
  struct {
    const char* archive;
    const char* entry;
  } cases[] = {{"t.7z", "1"}, {"t.7z", "-1"}, {"t.7z", "nosuch.txt"}, {"empty.7z", "0"}};
  for (auto& c : cases) {
    SCOPED_TRACE(c.entry);
    Messages.clear();
    Zip->Files().Clear();
    Zip->Files().Add(rtl::S(c.entry));
    EXPECT_EQ(ExtractTo(S / c.archive, S / "out"), -1);
    EXPECT_EQ(Zip->ErrCode(), 5);
    ASSERT_EQ(Messages.size(), 1u);
    EXPECT_EQ(Messages[0].Text, "Index out of Range");
    EXPECT_EQ(Messages[0].File, "");
  }
  EXPECT_FALSE(fs::exists(S / "out"));
}

TEST_F(ExtractTest, NoPathOption) {
  WriteFile(S / "src/a/b/c.txt", "c");
  ASSERT_TRUE(Make7z(S / "t.7z", S / "src"));
  Zip->SetExtractOptions(sevenzip::OptBit(sevenzip::ExtractNoPath));
  EXPECT_EQ(ExtractTo(S / "t.7z", S / "out"), 0);
  EXPECT_EQ(ReadFile(S / "out/c.txt"), "c");
  EXPECT_FALSE(fs::exists(S / "out/a/b/c.txt"));
}

TEST_F(ExtractTest, OverwriteRules) {
  WriteFile(S / "src/f.txt", "new");
  ASSERT_TRUE(Make7z(S / "t.7z", S / "src"));
  struct {
    bool option;
    int handler;  // 0 none, 1 says no, 2 says yes
    const char* expected;
  } cases[] = {{false, 0, "old"}, {false, 1, "old"}, {false, 2, "new"}, {true, 0, "new"}};
  for (auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.option) + "/" + std::to_string(c.handler));
    WriteFile(S / "out/f.txt", "old");
    Zip->SetExtractOptions(c.option ? sevenzip::OptBit(sevenzip::ExtractOverwrite) : 0);
    int calls = 0;
    Zip->OnExtractOverwrite = nullptr;
    if (c.handler)
      Zip->OnExtractOverwrite = [&](TSevenZip*, const rtl::String& name, bool& doIt) {
        ++calls;
        EXPECT_EQ(rtl::U8(name), (S / "out/f.txt").string());
        doIt = c.handler == 2;
      };
    Zip->SetErrCode(7);
    EXPECT_EQ(ExtractTo(S / "t.7z", S / "out"), 0);
    EXPECT_EQ(ReadFile(S / "out/f.txt"), c.expected);
    EXPECT_EQ(calls, c.handler ? 1 : 0);
    EXPECT_EQ(Zip->ErrCode(), 0);
  }
  EXPECT_TRUE(Messages.empty());
}

TEST_F(ExtractTest, SetExtractNameRenames) {
  WriteFile(S / "src/f.txt", "f");
  WriteFile(S / "src/g.txt", "g");
  ASSERT_TRUE(Make7z(S / "t.7z", S / "src"));
  Zip->OnSetExtractName = [&](TSevenZip*, uint32_t, rtl::String& name) {
    if (rtl::ExtractFileName(name) == u"f.txt") name = rtl::S((S / "renamed/ff.txt").string());
  };
  EXPECT_EQ(ExtractTo(S / "t.7z", S / "out"), 0);
  EXPECT_EQ(ReadFile(S / "renamed/ff.txt"), "f");
  EXPECT_EQ(ReadFile(S / "out/g.txt"), "g");
  EXPECT_FALSE(fs::exists(S / "out/f.txt"));

  // A failure names the target as composed before the handler changed it.
  fs::create_directories(S / "blocked");
  WriteFile(S / "blocked/ff.txt", "ro");
  fs::permissions(S / "blocked/ff.txt", fs::perms(0444));
  Zip->OnSetExtractName = [&](TSevenZip*, uint32_t, rtl::String& name) {
    if (rtl::ExtractFileName(name) == u"f.txt") name = rtl::S((S / "blocked/ff.txt").string());
  };
  Zip->SetExtractOptions(sevenzip::OptBit(sevenzip::ExtractOverwrite));
  EXPECT_EQ(ExtractTo(S / "t.7z", S / "out2"), 0);
  ASSERT_EQ(Messages.size(), 1u);
  EXPECT_EQ(Messages[0].Code, 11);
  EXPECT_EQ(Messages[0].File, (S / "out2/f.txt").string());
  EXPECT_EQ(ReadFile(S / "blocked/ff.txt"), "ro");
}

TEST_F(ExtractTest, ReadOnlyTargetIsCode11WithAccessDenied) {
  WriteFile(S / "src/a.txt", "new a");
  WriteFile(S / "src/b.txt", "new b");
  WriteFile(S / "src/c.txt", "new c");
  // One solid block: the refused item must not take the rest of its block with it.
  ASSERT_TRUE(Make7z(S / "t.7z", S / "src", "-ms=on", "a.txt b.txt c.txt"));
  WriteFile(S / "out/b.txt", "old b");
  fs::permissions(S / "out/b.txt", fs::perms(0444));
  Zip->SetExtractOptions(sevenzip::OptBit(sevenzip::ExtractOverwrite));
  EXPECT_EQ(ExtractTo(S / "t.7z", S / "out"), 0);
  ASSERT_EQ(Messages.size(), 1u);
  EXPECT_EQ(Messages[0].Code, 11);
  EXPECT_EQ(Messages[0].Text, "Could not create file");
  EXPECT_EQ(Messages[0].File, (S / "out/b.txt").string());
  EXPECT_EQ(Zip->LastError(), 5);
  EXPECT_EQ(ReadFile(S / "out/b.txt"), "old b");
  EXPECT_EQ(ReadFile(S / "out/a.txt"), "new a");
  EXPECT_EQ(ReadFile(S / "out/c.txt"), "new c");
  // The next correct item set the code back.
  EXPECT_EQ(Zip->ErrCode(), 0);
}

// A path with the system's separator.
std::string Native(std::string p) {
  std::replace(p.begin(), p.end(), '/', char(fs::path::preferred_separator));
  return p;
}
const std::string kSep = Native("/");

TEST_F(ExtractTest, PathsLeavingTheFolderAreRefused) {
  WriteFile(S / "inner/keep.txt", "keep");
  WriteFile(S / "victim.txt", "victim");
  WriteFile(S / "inner/sub/ok.txt", "ok");
  // -spf keeps the names as given: one climbing out, one absolute.
  ASSERT_TRUE(Make7z(S / "evil.7z", S / "inner", "-spf -ms=on",
                     "../victim.txt " + Quote(S / "victim.txt") + " sub/ok.txt keep.txt"));
  fs::remove(S / "victim.txt");
  EXPECT_EQ(ExtractTo(S / "evil.7z", S / "out"), 0);
  EXPECT_FALSE(fs::exists(S / "victim.txt"));
  EXPECT_EQ(ReadFile(S / "out/sub/ok.txt"), "ok");
  EXPECT_EQ(ReadFile(S / "out/keep.txt"), "keep");
  ASSERT_EQ(Messages.size(), 2u);
  std::set<std::string> refused;
  for (auto& m : Messages) {
    EXPECT_EQ(m.Code, 11);
    refused.insert(m.File);
  }
  EXPECT_EQ(refused, (std::set<std::string>{(S / "out/../victim.txt").string(),
                                            (S / "out").string() + kSep + Native(HostPath(S / "victim.txt"))}));
  // Without paths the file-name part is what counts, and it is harmless.
  Messages.clear();
  Zip->SetExtractOptions(sevenzip::OptBit(sevenzip::ExtractNoPath) | sevenzip::OptBit(sevenzip::ExtractOverwrite));
  EXPECT_EQ(ExtractTo(S / "evil.7z", S / "flat"), 0);
  EXPECT_EQ(ReadFile(S / "flat/victim.txt"), "victim");
  EXPECT_TRUE(Messages.empty());
}

TEST_F(ExtractTest, ElfSelfExtractor) {
  WriteFile(S / "src/in.txt", "inside");
  ASSERT_TRUE(Make7z(S / "setup.exe", S / "src", "-sfx"));
  int64_t stub = static_cast<int64_t>(fs::file_size("/usr/lib/p7zip/7zCon.sfx"));
  EXPECT_TRUE(Zip->SFXCheck(rtl::S((S / "setup.exe").string())));
  EXPECT_TRUE(Zip->IsSFX());
  EXPECT_EQ(Zip->SFXOffset(), stub);
  Zip->SetIsSFX(false);
  Zip->SetSFXOffset(0);
  EXPECT_EQ(ExtractTo(S / "setup.exe", S / "out"), 0);
  EXPECT_EQ(ReadFile(S / "out/in.txt"), "inside");
  EXPECT_TRUE(Zip->IsSFX());
}

TEST_F(ExtractTest, WindowsStubsBothWaysAndTheOffsetStays) {
  WriteFile(S / "src/w.txt", "windows stub");
  ASSERT_TRUE(Make7z(S / "inner.7z", S / "src"));
  std::string archive = ReadFile(S / "inner.7z");

  // Window scan: the archive right at 70536.
  std::string stub(70536, '\0');
  stub[0] = 'M';
  stub[1] = 'Z';
  WriteFile(S / "scan.EXE", stub + archive);
  EXPECT_EQ(ExtractTo(S / "scan.EXE", S / "out1"), 0);
  EXPECT_TRUE(Zip->IsSFX());
  EXPECT_EQ(Zip->SFXOffset(), 70536);
  EXPECT_EQ(ReadFile(S / "out1/w.txt"), "windows stub");

  // Header candidate: past the window, named by the section table.
  const uint32_t lfanew = 128, sections = 3, at = 200000;
  std::string pe(at, '\0');
  pe[0] = 'M';
  pe[1] = 'Z';
  auto put32 = [&](size_t off, uint32_t v) {
    for (int i = 0; i < 4; ++i) pe[off + i] = char(v >> (8 * i));
  };
  put32(60, lfanew);
  pe[lfanew + 6] = char(sections);
  put32(lfanew + 248 + 40 * (sections + 1) - 20, at);
  WriteFile(S / "cand.exe", pe + archive);
  EXPECT_EQ(ExtractTo(S / "cand.exe", S / "out2"), 0);
  EXPECT_EQ(Zip->SFXOffset(), at);
  EXPECT_EQ(ReadFile(S / "out2/w.txt"), "windows stub");

  // A later plain archive is still read from the old offset.
  WriteFile(S / "prefixed.7z", std::string(at, 'j') + archive);
  EXPECT_EQ(ExtractTo(S / "prefixed.7z", S / "out3"), 0);
  EXPECT_EQ(ReadFile(S / "out3/w.txt"), "windows stub");
  EXPECT_TRUE(Zip->IsSFX());
  EXPECT_EQ(Zip->SFXOffset(), at);
  Messages.clear();
  EXPECT_EQ(ExtractTo(S / "inner.7z", S / "out4"), -1);
  EXPECT_EQ(Zip->ErrCode(), 1);
}

TEST_F(ExtractTest, ExeWithoutArchiveIsCode7) {
  struct {
    const char* name;
    size_t size;
  } cases[] = {{"plain.exe", 200000}, {"short.Exe", 1000}, {"missing.exe", 0}};
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    Messages.clear();
    if (c.size) WriteFile(S / c.name, std::string(c.size, 'M'));
    EXPECT_FALSE(Zip->SFXCheck(rtl::S((S / c.name).string())));
    EXPECT_EQ(ExtractTo(S / c.name, S / "out"), -1);
    EXPECT_EQ(Zip->ErrCode(), 7);
    ASSERT_EQ(Messages.size(), 1u);
    EXPECT_EQ(Messages[0].Text, "File is not an 7z SFX archive");
    EXPECT_EQ(Messages[0].File, (S / c.name).string());
  }
  // Not an .exe: nothing checked, nothing changed.
  Zip->SetIsSFX(true);
  Zip->SetSFXOffset(5);
  EXPECT_FALSE(Zip->SFXCheck(u"x.7z"));
  EXPECT_TRUE(Zip->IsSFX());
  EXPECT_EQ(Zip->SFXOffset(), 5);
}

TEST_F(ExtractTest, EventsRunOnTheCallingThreadWithParallelDecoding) {
  // Several LZMA2 blocks decode on the library's threads.
  std::string data = PseudoRandom(2000000, 4);
  WriteFile(S / "src/big1.txt", data);
  WriteFile(S / "src/big2.txt", data.substr(100));
  ASSERT_TRUE(Make7z(S / "t.7z", S / "src", "-m0=lzma2:c=256k -mmt=2 -mx1"));
  const auto me = std::this_thread::get_id();
  int progress = 0, files = 0, wrong = 0;
  Zip->OnProgress = [&](TSevenZip*, const rtl::String&, int64_t, int64_t) {
    ++progress;
    if (std::this_thread::get_id() != me) ++wrong;
  };
  Zip->OnExtractfile = [&](TSevenZip*, const rtl::String&, int64_t) {
    ++files;
    if (std::this_thread::get_id() != me) ++wrong;
  };
  Zip->OnSetExtractName = [&](TSevenZip*, uint32_t, rtl::String&) {
    if (std::this_thread::get_id() != me) ++wrong;
  };
  EXPECT_EQ(ExtractTo(S / "t.7z", S / "out"), 0);
  EXPECT_GT(progress, 0);
  EXPECT_GT(files, 0);
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(ReadFile(S / "out/big1.txt"), data);
}

TEST_F(ExtractTest, DecoderThreadsLimitsTheLibrarysDecodingThreads) {
  std::string data = PseudoRandom(3000000, 9);
  WriteFile(S / "src/big.txt", data);
  ASSERT_TRUE(Make7z(S / "t.7z", S / "src", "-m0=lzma2:c=256k -mmt=2 -mx1"));
  // One thread, then the library's choice again on the same component: the limit must not stay.
  int single = PeakThreads("t.7z", 1, 0, "out1", data);
  EXPECT_GT(single, 0);
  EXPECT_LT(single, PeakThreads("t.7z", 0, 0, "out0", data));
}

// The memory limit decides how many blocks decode at once: small blocks in parallel when they
// fit, one thread when they do not; a dictionary far above the limit still extracts.
TEST_F(ExtractTest, DecoderMemoryLimitBoundsTheParallelDecoder) {
  std::string data = PseudoRandom(3000000, 9);
  WriteFile(S / "src/big.txt", data);
  ASSERT_TRUE(Make7z(S / "small.7z", S / "src", "-m0=lzma2:d=256k:c=256k -mmt=2 -mx1"));
  ASSERT_TRUE(Make7z(S / "large.7z", S / "src", "-m0=lzma2:d=64m -mx9"));
  int single = PeakThreads("small.7z", 1, 0, "single", data);
  EXPECT_GT(PeakThreads("small.7z", 2, 8 << 20, "roomy", data), single);
  EXPECT_EQ(PeakThreads("small.7z", 2, 256 << 10, "tight", data), single);
  PeakThreads("large.7z", 2, 8 << 20, "large", data);
}

TEST_F(ExtractTest, HandlerExceptionLeavesExtractAndTheComponentStaysUsable) {
  WriteFile(S / "src/a.txt", "a");
  ASSERT_TRUE(Make7z(S / "t.7z", S / "src"));
  Zip->OnSetExtractName = [](TSevenZip* z, uint32_t, rtl::String&) {
    z->SetMainCancel(true);
    throw rtl::EAbort("stop here");
  };
  EXPECT_THROW(ExtractTo(S / "t.7z", S / "out"), rtl::EAbort);
  EXPECT_FALSE(Zip->MainCancel());
  Zip->OnSetExtractName = nullptr;
  EXPECT_EQ(ExtractTo(S / "t.7z", S / "out"), 0);
  EXPECT_EQ(ReadFile(S / "out/a.txt"), "a");
}

TEST_F(ExtractTest, CancelFromAHandler) {
  std::string data(3000000, 'c');
  WriteFile(S / "src/a.bin", data);
  WriteFile(S / "src/b.bin", data);
  ASSERT_TRUE(Make7z(S / "t.7z", S / "src", "-mx0"));
  Zip->OnExtractfile = [&](TSevenZip* z, const rtl::String&, int64_t) { z->SetMainCancel(true); };
  int32_t r = ExtractTo(S / "t.7z", S / "out");
  EXPECT_NE(r, 0);
  ASSERT_FALSE(Messages.empty());
  EXPECT_EQ(Messages[0].Code, 6);
  EXPECT_EQ(Messages[0].Text, "User canceled operation");
  EXPECT_FALSE(Zip->MainCancel());
}

TEST_F(ExtractTest, GetIndexByFilename) {
  for (const char* n : {"x/One.txt", "x/two.txt"}) WriteFile(S / "src" / n, n);
  ASSERT_TRUE(Make7z(S / "t.7z", S / "src", "", "x/One.txt x/two.txt"));
  Zip->SetSZFileName(rtl::S((S / "t.7z").string()));
  EXPECT_EQ(Zip->GetIndexByFilename(u"X/ONE.TXT"), 0);
  EXPECT_EQ(Zip->GetIndexByFilename(u"x/two.txt"), 1);
  EXPECT_EQ(Zip->GetIndexByFilename(u"two.txt"), -1);
  Zip->SetSZFileName(rtl::S((S / "none.7z").string()));
  EXPECT_EQ(Zip->GetIndexByFilename(u"x/two.txt"), -1);
}

TEST(SevenZipSetters, VolumeSizeAndSFXCreateRules) {
  TScratch S;
  TSevenZip z;
  EXPECT_EQ(z.NumberOfFiles(), -1);
  EXPECT_EQ(rtl::U8(z.SFXModule()), "7z.sfx");
  EXPECT_EQ(z.LPPMDsize(), 10);
  EXPECT_EQ(z.LPPMDmem(), 30);
  EXPECT_EQ(z.ErrCode(), 0);

  z.SetSFXModule(rtl::S((S / "missing.sfx").string()));
  z.SetSFXCreate(true);
  EXPECT_FALSE(z.SFXCreate());

  WriteFile(S / "stub.sfx", std::string(1000, 's'));
  z.SetSFXModule(rtl::S((S / "stub.sfx").string()));
  z.SetVolumeSize(10);
  z.SetSFXCreate(true);
  EXPECT_TRUE(z.SFXCreate());
  EXPECT_EQ(z.SFXOffset(), 1000);
  EXPECT_EQ(z.VolumeSize(), 1007);

  z.SetSFXOffset(150000);
  z.SetVolumeSize(100);
  EXPECT_EQ(z.VolumeSize(), 150007);
  z.SetVolumeSize(200000);
  EXPECT_EQ(z.VolumeSize(), 200000);
  z.SetVolumeSize(0);
  EXPECT_EQ(z.VolumeSize(), 0);
  z.SetSFXCreate(false);
  z.SetVolumeSize(100);
  EXPECT_EQ(z.VolumeSize(), 100);
}

TEST(SevenZipSetters, AnOwnerFreesTheComponent) {
  auto owner = std::make_unique<platform::gui::TComponent>(nullptr);
  auto* zip = new TSevenZip(owner.get());
  EXPECT_EQ(zip->Owner(), owner.get());
  owner.reset();  // frees zip with it; the sanitizer build sees a leak or a double free otherwise
}

// The library can't be bound: the exact two-line text. On Windows a name that is not an
// absolute path is refused too (the loader would search the current folder and PATH for it),
// even where the current folder holds the real library.
TEST(SevenZipLoad, MissingLibraryMessage) {
  TScratch S;
#ifdef _WIN32
  const std::string name = "7z.dll";
  const std::vector<std::string> paths = {(S / "absent.dll").string(), (S / "not-a-library.dll").string(),
                                          "C:\\windows\\system32\\kernel32.dll", name};
  const fs::path cwd = fs::current_path();
  fs::current_path(fs::path(KRV_BINARY_DIR) / "tests/sevenzip");
  ASSERT_TRUE(fs::exists(name));
#else
  const std::string name = "7z.so";
  const std::vector<std::string> paths = {(S / "absent.so").string(), (S / "not-a-library.so").string(), "libz.so.1"};
#endif
  WriteFile(S / ("not-a-library" + name.substr(2)), "nothing here");
  const char* old = std::getenv("KRV_7Z_LIBRARY");
  std::string saved = old ? old : "";
  for (const std::string& path : paths) {
    SCOPED_TRACE(path);
    ::setenv("KRV_7Z_LIBRARY", path.c_str(), 1);
    try {
      TSevenZip z;
      ADD_FAILURE() << "constructed";
    } catch (const rtl::Exception& e) {
      EXPECT_EQ(rtl::U8(e.Message()),
                "Could not load CreateObject function from " + name + "\r\nPerhaps " + name + " not found");
    }
  }
#ifdef _WIN32
  fs::current_path(cwd);
#endif
  if (old)
    ::setenv("KRV_7Z_LIBRARY", saved.c_str(), 1);
  else
    ::unsetenv("KRV_7Z_LIBRARY");
  EXPECT_NO_THROW(TSevenZip());
}

}  // namespace

namespace {

// The extraction callback on its own, as the library would drive it.
TEST(ExtractCallback, ItemResultsProgressAndPassword) {
  TSevenZip zip;
  std::vector<std::pair<int32_t, std::string>> messages;
  zip.OnMessage = [&](TSevenZip*, int32_t code, const rtl::String& text, const rtl::String&) {
    messages.push_back({code, rtl::U8(text)});
  };
  sevenzip::TComPtr<sevenzip::TMyArchiveExtractCallback> cb(new sevenzip::TMyArchiveExtractCallback(&zip));
  struct {
    int32_t result;
    int32_t code;
    const char* text;
  } cases[] = {
      {0, 0, nullptr},           {1, 4, "Unsupported Method"}, {2, 2, "Data Error"}, {3, 3, "CRC Error"},
      {4, 2, "Data Error"},      {5, 2, "Data Error"},         {6, 2, "Data Error"}, {7, 2, "Data Error"},
      {8, 2, "Data Error"},      {9, 2, "Data Error"},         {0, 0, nullptr},      {77, 2, "Data Error"},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.result);
    messages.clear();
    EXPECT_EQ(cb->SetOperationResult(c.result), sevenzip::S_OK);
    EXPECT_EQ(zip.ErrCode(), c.code);
    if (c.text) {
      ASSERT_EQ(messages.size(), 1u);
      EXPECT_EQ(messages[0].first, c.code);
      EXPECT_EQ(messages[0].second, c.text);
    } else {
      EXPECT_TRUE(messages.empty());
    }
  }

  // Announced only while no selection counts down.
  int64_t pre = -1;
  zip.OnPreProgress = [&](TSevenZip*, int64_t v) { pre = v; };
  cb->FFilestoextract = 2;
  cb->SetTotal(500);
  EXPECT_EQ(pre, -1);
  cb->FFilestoextract = 0;
  cb->SetTotal(600);
  EXPECT_EQ(pre, 600);

  // Progress: OnExtractfile while the item's position is 0, the stop once all selected are done.
  int files = 0;
  std::vector<int64_t> positions;
  zip.OnExtractfile = [&](TSevenZip*, const rtl::String&, int64_t) { ++files; };
  zip.OnProgress = [&](TSevenZip*, const rtl::String&, int64_t arc, int64_t file) {
    positions.push_back(arc);
    positions.push_back(file);
  };
  uint64_t v = 0;
  EXPECT_EQ(cb->SetCompleted(&v), sevenzip::S_OK);
  v = 100;
  EXPECT_EQ(cb->SetCompleted(&v), sevenzip::S_OK);
  v = 250;
  EXPECT_EQ(cb->SetCompleted(&v), sevenzip::S_OK);
  EXPECT_EQ(cb->SetCompleted(nullptr), sevenzip::S_OK);
  EXPECT_EQ(files, 2);
  EXPECT_EQ(positions, (std::vector<int64_t>{0, 0, 100, 100, 250, 250}));
  cb->FAllFilesExt = true;
  EXPECT_EQ(cb->SetCompleted(&v), sevenzip::S_FALSE);
  cb->FAllFilesExt = false;
  messages.clear();
  zip.SetMainCancel(true);
  EXPECT_EQ(cb->SetCompleted(&v), sevenzip::S_FALSE);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].first, 6);
  zip.SetMainCancel(false);

  // The password: none answers S_FALSE and leaves the value; one comes as a library string.
  sevenzip::BSTR pw = reinterpret_cast<sevenzip::BSTR>(0x1);
  EXPECT_EQ(cb->CryptoGetTextPassword(&pw), sevenzip::S_FALSE);
  EXPECT_EQ(pw, reinterpret_cast<sevenzip::BSTR>(0x1));
  zip.SetPassword(u"p\u00E4ss");
  sevenzip::TComPtr<sevenzip::TMyArchiveOpenCallback> open(new sevenzip::TMyArchiveOpenCallback(&zip));
  pw = nullptr;
  ASSERT_EQ(open->CryptoGetTextPassword(&pw), sevenzip::S_OK);
  ASSERT_NE(pw, nullptr);
  EXPECT_EQ(rtl::U8(sevenzip::BStrToString(pw)), "p\xC3\xA4ss");
  zip.Library().SysFreeString(pw);
  EXPECT_EQ(open->SetTotal(nullptr, nullptr), sevenzip::S_OK);
  void* none = nullptr;
  EXPECT_EQ(open->QueryInterface(sevenzip::IID_IInStream, &none), sevenzip::E_NOINTERFACE);
  EXPECT_EQ(none, nullptr);
}

}  // namespace

// Volume names, self-extractor detection, stored-path rules, the hand-over gate, the input and
// output streams and the platform file services, without the library where it isn't needed.
#include <gtest/gtest.h>
#include <fcntl.h>
#ifndef _WIN32
#include <sys/resource.h>
#include <sys/wait.h>
#endif

#include <atomic>
#include <functional>
#include <set>
#include <thread>

#include "platform/Files.h"
#include "platform/LastError.h"
#include "sevenzip/SFXCheck.h"
#include "sevenzip/SevenZipReader.h"
#include "sevenzip/VolumeNames.h"
#include "TestUtil.h"
#include "tests/RunningProgram.h"

#ifdef _WIN32
// The test helpers bring the system's header: its macros of these names would hide ours.
#undef ERROR_INVALID_NAME
#undef ERROR_FILENAME_EXCED_RANGE
#undef ERROR_SHARING_VIOLATION
#undef DRIVE_FIXED
#undef GetDriveType
#undef S_OK
#undef S_FALSE
#endif

using namespace sztest;
using namespace sevenzip;

namespace {

TEST(VolumeNames, NumberOf) {
  struct {
    const char* name;
    int number;
  } cases[] = {
      {"data.7z.001", 1}, {"data.7z.002", 2}, {"a/b.c/data.7z.1000", 1000}, {"data.7z", -1},
      {"data.7z.", -1},   {"data.7z.-1", -1}, {"data.7z.$10", -1},         {"data.7z. 12", -1},
      {"dir.003/file", -1}, {"x.0000000000", -1}, {"x.999999999", 999999999}, {"x.00a", -1},
  };
  for (auto& c : cases) EXPECT_EQ(VolumeNumberOf(rtl::S(c.name)), c.number) << c.name;
}

TEST(VolumeNames, Compose) {
  struct {
    const char* arc;
    int k;
    bool sfx;
    const char* expected;
  } cases[] = {
      {"data.7z.001", 2, false, "data.7z.002"}, {"data.7z.001", 12, false, "data.7z.012"},
      {"/d/data.7z.001", 1234, false, "/d/data.7z.1234"}, {"setup.exe", 2, true, "setup.exe.002"},
      {"setup.exe", 3, true, "setup.exe.003"},  {"data.7z", 2, false, "data.002"},
      {"noext", 2, false, "noext.002"},
  };
  for (auto& c : cases) EXPECT_EQ(rtl::U8(VolumeName(rtl::S(c.arc), c.k, c.sfx)), c.expected) << c.arc;
}

TEST(VolumeNames, GuessAndBelong) {
  std::set<std::string> present = {"v.7z.001", "v.7z.002", "v.7z.003", "v.7z.005", "w.7z.010", "w.7z.011"};
  auto exists = [&](const rtl::String& n) { return present.count(rtl::U8(n)) > 0; };
  struct {
    const char* name;
    const char* guess;
  } cases[] = {{"v.7z.001", "v.7z.003"}, {"v.7z.003", "v.7z.003"}, {"v.7z.004", "v.7z.005"},
               {"w.7z.010", "w.7z.011"}, {"v.7z", ""}, {"x.7z.001", "x.7z.001"}};
  for (auto& c : cases) EXPECT_EQ(rtl::U8(GuessLastVolume(rtl::S(c.name), exists)), c.guess) << c.name;

  struct {
    const char* chosen;
    const char* first;
    bool sfx;
    bool belongs;
  } belong[] = {
      {"/x/DATA.7Z.004", "/y/data.7z.001", false, true}, {"/x/other.7z.004", "/y/data.7z.001", false, false},
      {"data.002", "data.7z", false, true},              {"setup.exe.002", "setup.exe", true, true},
      {"setup.002", "setup.exe", true, false},           {"SETUP.EXE.9", "/p/setup.exe", true, true},
  };
  for (auto& b : belong)
    EXPECT_EQ(BelongsToArchive(rtl::S(b.chosen), rtl::S(b.first), b.sfx), b.belongs) << b.chosen;
}

TEST(StoredPaths, UnsafeOnes) {
  // On Windows the backslash separates folders and ":" names a drive or a file's stream.
#ifdef _WIN32
  const bool windows = true;
#else
  const bool windows = false;
#endif
  struct {
    const char* path;
    bool unsafe;
  } cases[] = {
      {"a/b.txt", false}, {"../a", true},     {"a/../../b", true}, {"/etc/passwd", true}, {"..", true},
      {"a/..", true},     {"..a/b", false},   {"a/b..", false},    {"./a", false},        {"a\\..\\b", windows},
      {"", false},        {"a//..//b", true}, {"...", false},      {"\\x", windows},     {"C:x", windows},
      {"a:b", windows},   {"a\\b", false},
  };
  for (auto& c : cases) EXPECT_EQ(IsUnsafeStoredPath(rtl::S(c.path)), c.unsafe) << c.path;
}

TEST(DosTimes, RoundedDownToEvenSecondsInRange) {
  rtl::TDateTime t = rtl::EncodeDate(2020, 5, 17) + rtl::EncodeTime(12, 0, 1, 500);
  uint64_t ft = 0;
  ASSERT_TRUE(DosRoundedFileTime(t, ft));
  rtl::TDateTime back = rtl::UTCToLocal(rtl::FileTimeToDateTime(ft));
  int y, mo, d, h, mi, s, ms;
  rtl::DecodeDateTime(back, y, mo, d, h, mi, s, ms);
  EXPECT_EQ(h * 3600 + mi * 60 + s, 12 * 3600);
  EXPECT_FALSE(DosRoundedFileTime(rtl::EncodeDate(1975, 1, 1), ft));
  EXPECT_FALSE(DosRoundedFileTime(rtl::EncodeDate(2108, 1, 1), ft));
}

class TMemSource : public TSFXSource {
 public:
  explicit TMemSource(std::string d) : Data(std::move(d)) {}
  int64_t Size() override { return static_cast<int64_t>(Data.size()); }
  uint32_t ReadAt(int64_t off, void* buf, uint32_t n) override {
    if (off < 0 || off >= Size()) return 0;
    size_t k = std::min<size_t>(n, Data.size() - size_t(off));
    std::memcpy(buf, Data.data() + off, k);
    return uint32_t(k);
  }
  std::string Data;
};

const std::string kSig("\x37\x7A\xBC\xAF\x27\x1C", 6);

TEST(SFXDetection, WindowAndCandidate) {
  auto pe = [](size_t size, uint32_t lfanew, uint16_t n, uint32_t candidate) {
    std::string s(size, '\0');
    s[0] = 'M';
    s[1] = 'Z';
    auto put = [&](size_t off, uint32_t v, int bytes) {
      for (int i = 0; i < bytes && off + i < s.size(); ++i) s[off + i] = char(v >> (8 * i));
    };
    put(60, lfanew, 4);
    put(lfanew + 6, n, 2);
    put(lfanew + 248 + 40 * (n + 1) - 20, candidate, 4);
    return s;
  };
  struct {
    const char* what;
    std::string data;
    int64_t expected;
  } cases[] = {
      {"window start", std::string(65536, 'M') + kSig + "rest", 65536},
      {"window end", std::string(65536 + 81920 - 6, 'M') + kSig, 65536 + 81920 - 6},
      {"just past the window", std::string(65536 + 81920 - 5, 'M') + kSig, -1},
      {"before the window", std::string(100, 'M') + kSig + std::string(70000, 'M'), -1},
      {"candidate", pe(150000, 64, 2, 150000 - 10) .substr(0, 149990) + kSig + "tail", 149990},
      {"candidate equal to size", pe(150000, 64, 2, 150000), -1},
      {"candidate without signature", pe(150000, 64, 2, 149000), -1},
      {"short file, candidate", pe(1000, 64, 1, 900).substr(0, 900) + kSig, 900},
      {"garbage header", std::string(70, '\xFF'), -1},
      {"empty", std::string(), -1},
  };
  for (auto& c : cases) {
    TMemSource src(c.data);
    EXPECT_EQ(FindEmbeddedArchive(src), c.expected) << c.what;
  }
}

TEST(SFXDetection, RealElfStubEndsWhereTheArchiveBegins) {
  std::string stub = ReadFile("/usr/lib/p7zip/7zCon.sfx");
  ASSERT_GT(stub.size(), 100000u);
  TMemSource alone(stub);
  EXPECT_EQ(ElfImageEnd(alone), int64_t(stub.size()));
  EXPECT_EQ(FindEmbeddedArchive(alone), -1);
  TMemSource joined(stub + kSig + std::string(26, '\0'));
  EXPECT_EQ(FindEmbeddedArchive(joined), int64_t(stub.size()));
  // Truncated or lying headers are no image.
  TMemSource cut(stub.substr(0, 1000));
  EXPECT_EQ(ElfImageEnd(cut), -1);
}

TEST(CallerGate, RunsHandedWorkOnTheServingThread) {
  TCallerGate gate;
  const auto me = std::this_thread::get_id();
  std::atomic<int> onServer{0}, total{0};
  bool threw = false;
  gate.ServeWhile([&] {
    std::vector<std::thread> workers;
    for (int w = 0; w < 3; ++w)
      workers.emplace_back([&] {
        for (int i = 0; i < 50; ++i)
          gate.Run([&] {
            ++total;
            if (std::this_thread::get_id() == me) ++onServer;
          });
      });
    for (auto& t : workers) t.join();
    try {
      gate.Run([] { throw rtl::EAbort("from the handler"); });
    } catch (const rtl::EAbort&) {
      threw = true;
    }
  });
  EXPECT_EQ(total, 150);
  EXPECT_EQ(onServer, 150);
  EXPECT_TRUE(threw);
  // Nobody serving: run in place.
  int ran = 0;
  gate.Run([&] { ++ran; });
  EXPECT_EQ(ran, 1);
}

// The reader over files, without an owner.
struct ReaderTest : ::testing::Test {
  TScratch S;
  std::string Part1, Part2, Part3;
  void SetUp() override {
    for (int i = 0; i < 50; ++i) Part1 += char('A' + i % 26);
    for (int i = 0; i < 200; ++i) Part2 += char('a' + i % 26);
    for (int i = 0; i < 30; ++i) Part3 += char('0' + i % 10);
    WriteFile(S / "v.7z.001", Part1);
    WriteFile(S / "v.7z.002", Part2);
    WriteFile(S / "v.7z.003", Part3);
  }
};

TEST_F(ReaderTest, SizeRequestJoinsTheVolumesAndReadsSpanThem) {
  TComPtr<TMyStreamReader> r(new TMyStreamReader(nullptr, S.U("v.7z.001"), true));
  uint64_t size = 0, pos = 0;
  EXPECT_EQ(r->Seek(0, 2, &pos), S_OK);
  EXPECT_EQ(pos, 280u);
  EXPECT_EQ(r->GetSize(&size), S_OK);
  EXPECT_EQ(size, 280u);
  EXPECT_TRUE(r->Multivolume());
  EXPECT_EQ(r->VolumeCount(), 3);
  std::string all = Part1 + Part2 + Part3;
  struct {
    int64_t at;
    uint32_t want;
    uint32_t got;
  } reads[] = {{40, 100, 100}, {0, 280, 280}, {249, 31, 31}, {270, 100, 10}, {280, 5, 0}, {10, 5, 5}};
  for (auto& c : reads) {
    std::string buf(c.want, '?');
    uint32_t done = 12345;
    r->Seek(c.at, 0, nullptr);
    EXPECT_EQ(r->Read(buf.data(), c.want, &done), S_OK) << c.at;
    EXPECT_EQ(done, c.got) << c.at;
    EXPECT_EQ(buf.substr(0, done), all.substr(size_t(c.at), done)) << c.at;
    EXPECT_EQ(r->Seek(0, 1, &pos), S_OK);
    EXPECT_EQ(pos, uint64_t(c.at) + c.got);
  }
}

TEST_F(ReaderTest, SingleFileAndMissingFile) {
  WriteFile(S / "one.7z", "0123456789");
  TComPtr<TMyStreamReader> r(new TMyStreamReader(nullptr, S.U("one.7z"), true));
  uint64_t size = 0;
  EXPECT_EQ(r->GetSize(&size), S_OK);
  EXPECT_EQ(size, 10u);
  EXPECT_FALSE(r->Multivolume());
  char buf[20];
  uint32_t done = 0;
  r->Seek(5, 0, nullptr);
  EXPECT_EQ(r->Read(buf, 20, &done), S_OK);
  EXPECT_EQ(std::string(buf, done), "56789");

  TComPtr<TMyStreamReader> m(new TMyStreamReader(nullptr, S.U("none.7z"), true));
  uint64_t pos = 77;
  EXPECT_EQ(m->Seek(0, 2, &pos), S_FALSE);
  EXPECT_EQ(pos, 0u);
  EXPECT_EQ(m->GetSize(&size), S_FALSE);
  EXPECT_EQ(m->Read(buf, 10, &done), S_OK);
  EXPECT_EQ(done, 0u);
  EXPECT_EQ(m->MyLastErrorValue(), 2);
}

TEST_F(ReaderTest, DialogRequestsAndMissingVolumes) {
  std::vector<TBrowseRequest> asked;
  std::string answer;
  SetBrowseForFileHandler([&](const TBrowseRequest& r, rtl::String& name) {
    asked.push_back(r);
    if (answer.empty()) return false;
    name = rtl::S(answer);
    return true;
  });
  fs::rename(S / "v.7z.002", S / "kept.bin");
  TComPtr<TMyStreamReader> r(new TMyStreamReader(nullptr, S.U("v.7z.001"), true));
  uint64_t size = 0;
  EXPECT_EQ(r->GetSize(&size), S_OK);
  EXPECT_EQ(size, 50u);  // the next volume is missing: just the first file
  EXPECT_FALSE(r->ProvideMissingVolumes(280));
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_EQ(rtl::U8(asked[0].Title), "Select volume");
  EXPECT_EQ(rtl::U8(asked[0].FilterDescription), "v.7z-volumes");
  EXPECT_EQ(rtl::U8(asked[0].FilterPattern), "v.7z.*");
  EXPECT_EQ(rtl::U8(asked[0].InitialDir), S.Root.string());
  answer = (S / "kept.bin").string();
  EXPECT_TRUE(r->ProvideMissingVolumes(280));
  EXPECT_TRUE(r->Multivolume());
  EXPECT_EQ(r->OfferedSize(), 280);
  std::string buf(280, '?');
  uint32_t done = 0;
  r->Seek(0, 0, nullptr);
  EXPECT_EQ(r->Read(buf.data(), 280, &done), S_OK);
  EXPECT_EQ(buf, Part1 + Part2 + Part3);
  SetBrowseForFileHandler(nullptr);
}

TEST_F(ReaderTest, LastVolumeSearchRejectsOtherArchives) {
  // Volumes of a name without a number are named after it without its extension.
  WriteFile(S / "v.003", Part3);
  std::vector<std::string> answers = {(S / "other.7z.002").string(), (S / "v.003").string()};
  int asks = 0;
  SetBrowseForFileHandler([&](const TBrowseRequest& r, rtl::String& name) {
    EXPECT_EQ(rtl::U8(r.Title), "Select last volume");
    if (asks >= int(answers.size())) return false;
    name = rtl::S(answers[asks++]);
    return true;
  });
  WriteFile(S / "v.7z", Part1);
  TComPtr<TMyStreamReader> r(new TMyStreamReader(nullptr, S.U("v.7z"), true));
  // The name carries no number, so the user is asked; the other archive's volume is refused.
  EXPECT_TRUE(r->OpenLastVolume());
  EXPECT_EQ(asks, 2);
  EXPECT_EQ(r->VolumeCount(), 3);
  SetBrowseForFileHandler(nullptr);
}

TEST(OutputStream, PositionsAndTimes) {
  TScratch S;
  rtl::TDateTime when = rtl::UTCToLocal(rtl::UnixToDateTime(1600000001));
  int32_t err = -1;
  TMyStreamWriter* w = TMyStreamWriter::Create(&err, S.U("o.bin"), when, 0x81A48020, 0, false);
  ASSERT_NE(w, nullptr);
  TComPtr<TMyStreamWriter> ref(w);
  uint32_t done = 0;
  uint64_t pos = 0;
  EXPECT_EQ(w->Write("hello", 5, &done), S_OK);
  EXPECT_EQ(done, 5u);
  EXPECT_EQ(w->Seek(1, 0, &pos), S_OK);
  EXPECT_EQ(pos, 1u);
  EXPECT_EQ(w->Write("EL", 2, nullptr), S_OK);
  EXPECT_EQ(w->Seek(0, 2, &pos), S_OK);
  EXPECT_EQ(pos, 5u);
  EXPECT_EQ(w->Seek(-1, 1, &pos), S_OK);
  EXPECT_EQ(pos, 4u);
  EXPECT_EQ(w->SetSize(1), S_FALSE);
  ref.Reset();
  EXPECT_EQ(ReadFile(S / "o.bin"), "hELlo");
  EXPECT_EQ(ModeOf(S / "o.bin"), 0644u);
  EXPECT_EQ(MTimeOf(S / "o.bin"), 1600000000);  // kept after the writes, two-second step

  WriteFile(S / "ro.bin", "keep");
  fs::permissions(S / "ro.bin", fs::perms(0444));
  EXPECT_EQ(TMyStreamWriter::Create(&err, S.U("ro.bin"), when, 0, 0, false), nullptr);
  EXPECT_EQ(err, 5);
  EXPECT_EQ(ReadFile(S / "ro.bin"), "keep");
  EXPECT_EQ(TMyStreamWriter::Create(&err, S.U("no/such/dir/x"), when, 0, 0, false), nullptr);
  EXPECT_EQ(err, 3);
}

// What the archive asks for goes through the umask and never makes anything writable by the
// group or others.
TEST(PlatformFiles, ModesFromAttributes) {
  auto tamed = [](uint32_t m) { return m & ~platform::ProcessUmask() & ~022u; };
  struct {
    uint32_t attr;
    uint32_t mode;
  } cases[] = {
      {0x81A48020, tamed(0644)}, {0x81ED8020, tamed(0755)}, {0x8FFF8020, tamed(0755)},  // setuid/setgid/sticky dropped
      {0x81B68020, tamed(0644)},                                                       // 0666 asked
      {0x81248020, tamed(0444)}, {0xA1FF8020, tamed(0644)},  // a stored symbolic link
      {0x01A48020, tamed(0644)}, {0x20, tamed(0644)},        {0x21, tamed(0444)}, {0, tamed(0644)},
  };
  for (auto& c : cases) EXPECT_EQ(platform::FileModeFromAttributes(c.attr), c.mode) << std::hex << c.attr;
  EXPECT_EQ(platform::FolderModeFromAttributes(0x41ED8010), int32_t(tamed(0755)));
  EXPECT_EQ(platform::FolderModeFromAttributes(0x41FF8010), int32_t(tamed(0755)));
  EXPECT_EQ(platform::FolderModeFromAttributes(0x10), -1);
}

// Stored names no install should hold: C0 controls, DEL, text that is not valid Unicode, more
// than 256 folders; shown escaped.
TEST(StoredNames, RefusedNamesAndTheirEscapedForm) {
  std::u16string deep;
  for (int i = 0; i < 256; ++i) deep += u"d/";
  struct {
    std::u16string Path;
    uint32_t Refusal;
    std::u16string Shown;
  } const cases[] = {
      {u"a/b.txt", 0, u"a/b.txt"},
      {u"Korvel \u010d \U0001F600.txt", 0, u"Korvel \u010d \U0001F600.txt"},
      {u"bad\x01name", platform::ERROR_INVALID_NAME, u"bad\\x01name"},
      {u"del\x7f", platform::ERROR_INVALID_NAME, u"del\\x7F"},
      {std::u16string(u"lone") + char16_t(0xD800), platform::ERROR_INVALID_NAME, u"lone\\uD800"},
      // Shown doubled where it is part of a name, as it stands where it separates folders.
      {u"a\\b", 0, rtl::IsPathDelimiter(u'\\') ? u"a\\b" : u"a\\\\b"},
      {deep + u"f", 0, {}},
      {deep + u"d/f", platform::ERROR_FILENAME_EXCED_RANGE, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(rtl::U8(c.Path.substr(0, 40)));
    EXPECT_EQ(sevenzip::StoredNameRefusal(c.Path), c.Refusal);
    if (!c.Shown.empty()) {
      EXPECT_EQ(rtl::U8(sevenzip::EscapedStoredPath(c.Path)), rtl::U8(c.Shown));
    }
  }
  EXPECT_EQ(sevenzip::EscapedStoredPath(deep).size(), 123u) << "cut after 120 characters";
}

TEST(PlatformFiles, CreateAlwaysRules) {
  TScratch S;
  WriteFile(S / "ro", "x");
  fs::permissions(S / "ro", fs::perms(0444));
  fs::create_directories(S / "dir");
  struct {
    const char* name;
    uint32_t error;
  } refused[] = {{"ro", 5}, {"dir", 5}, {"missing/x", 3}};
  for (auto& c : refused) {
    EXPECT_EQ(platform::CreateFileAlways(S.U(c.name), 0), platform::INVALID_FILE_HANDLE) << c.name;
    EXPECT_EQ(platform::GetLastErrorValue(), c.error) << c.name;
  }
  WriteFile(S / "rw", "long old content");
  platform::TFileHandle h = platform::CreateFileAlways(S.U("rw"), 0x81248020);
  ASSERT_NE(h, platform::INVALID_FILE_HANDLE);
  uint32_t done = 0;
  EXPECT_TRUE(platform::WriteFileAt(h, 0, "new", 3, &done));
  platform::CloseHandle(h);
  EXPECT_EQ(ReadFile(S / "rw"), "new");
  EXPECT_EQ(ModeOf(S / "rw"), 0444u);
  EXPECT_TRUE(platform::PathExists(S.U("rw")));
  EXPECT_FALSE(platform::PathExists(S.U("nothing")));
  EXPECT_EQ(platform::GetDriveType(S.U("")), platform::DRIVE_FIXED);
}

// A folder held open, renamed away, and another one put at its old path: every name below the
// held folder is looked up in it, never in the one now at the path. Wine's server renames and
// removes by the path noted at open: there those steps must be refused, never done at the path.
TEST(PlatformFiles, NamesBelowAHeldFolderStayInIt) {
  TScratch S;
  for (const char* d : {"held", "moved"}) {  // the same names in both, a decoy's own one too
    fs::create_directories(S / (std::string(d) + "/sub/deep"));
    for (const char* f : {"old", "gone", "sub/deep/f"}) WriteFile(S / (std::string(d) + "/" + f), d);
  }
  WriteFile(S / "moved/decoy-only", "");
  platform::TOwnedFile held(platform::OpenFolder(S.U("held")));
  ASSERT_TRUE(held.Valid());
  fs::rename(S / "held", S / "away");
  fs::rename(S / "moved", S / "held");
  auto snapshot = [&] {
    std::string all;
    for (auto& e : fs::recursive_directory_iterator(S / "held"))
      all += e.path().string() + (e.is_directory() ? "/\n" : " " + ReadFile(e.path()) + "\n");
    return all;
  };
  const std::string decoy = snapshot();
#ifdef _WIN32
  const bool wine = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
#else
  const bool wine = false;
#endif
  const platform::TFileHandle h = held.Get();
  std::string temp;
  const struct {
    const char* Op;
    std::function<bool()> Act;
    const char* Appears;  // below the held folder, now at "away"
    const char* Vanishes;
    bool UnderWine;
  } rows[] = {
      {"create", [&] { return platform::TOwnedFile(platform::CreateTempFileIn(h, 0, temp, "t-", "")).Valid(); },
       nullptr, nullptr, true},
      {"rename into", [&] { return platform::RenameIn(h, temp, h, "created", platform::TRenameMode::NoReplace); },
       "created", nullptr, false},
      {"rename", [&] { return platform::RenameIn(h, "old", h, "renamed"); }, "renamed", "old", false},
      {"replace", [&] { return platform::RenameIn(h, "created", h, "renamed"); }, "renamed", "created", false},
      {"make folders", [&] { return platform::TOwnedFile(platform::OpenFolderBelow(h, "sub/new", true)).Valid(); },
       "sub/new", nullptr, false},
      {"delete", [&] { return platform::DeleteIn(h, "gone"); }, nullptr, "gone", false},
      {"kind", [&] { return platform::EntryKindIn(h, "decoy-only") == platform::TEntryKind::None; }, nullptr, nullptr,
       true},
      {"list",
       [&] {
         std::vector<platform::TFolderEntry> e;
         std::set<std::string> names, there;
         for (auto& x : fs::directory_iterator(S / "away")) there.insert(x.path().filename().string());
         if (!platform::ListFolder(h, e)) return false;
         for (auto& x : e) names.insert(x.Name);
         return names == there;
       },
       nullptr, nullptr, true},
      {"remove tree", [&] { return platform::RemoveTreeIn(h, "sub"); }, nullptr, "sub", false},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.Op);
    const bool done = !wine || r.UnderWine;
    EXPECT_EQ(r.Act(), done) << platform::GetLastErrorValue();
    if (done && r.Appears) {
      EXPECT_TRUE(fs::exists(S / "away" / r.Appears));
    }
    if (done && r.Vanishes) {
      EXPECT_FALSE(fs::exists(S / "away" / r.Vanishes));
    }
    EXPECT_EQ(snapshot(), decoy);
  }
}

#ifdef _WIN32
// A name that the system resolves through another entry's 8.3 short name reaches nothing; a long
// name with a tilde in it is still reached.
TEST(PlatformFiles, ShortNamesReachNoOtherEntry) {
  TScratch S;
  WriteFile(S / "Program Files.txt", "long");
  WriteFile(S / "KORVEL~1.EXE", "tilde");
  platform::TOwnedFile dir(platform::OpenFolder(S.U("")));
  wchar_t shortPath[MAX_PATH];
  ASSERT_GT(GetShortPathNameW((S / "Program Files.txt").c_str(), shortPath, MAX_PATH), 0u);
  const std::string alias = fs::path(shortPath).filename().string();
  if (alias == "Program Files.txt") GTEST_SKIP() << "8.3 names are off on this volume";
  const platform::TFileHandle f = dir.Get();
  const struct {
    const char* Op;
    std::function<bool()> Act;
  } refused[] = {
      {"open", [&] { return platform::TOwnedFile(platform::OpenFileIn(f, alias)).Valid(); }},
      {"kind", [&] { return platform::EntryKindIn(f, alias) != platform::TEntryKind::None; }},
      {"delete", [&] { return platform::DeleteIn(f, alias); }},
      {"replace", [&] { return platform::RenameIn(f, "KORVEL~1.EXE", f, alias); }},
  };
  for (const auto& r : refused) {
    EXPECT_FALSE(r.Act()) << r.Op << " " << alias;
    EXPECT_EQ(platform::GetLastErrorValue(), platform::ERROR_INVALID_NAME) << r.Op;
  }
  EXPECT_TRUE(platform::TOwnedFile(platform::OpenFileIn(f, "KORVEL~1.EXE")).Valid());
  EXPECT_EQ(ReadFile(S / "Program Files.txt"), "long");
}
#endif

// A program running from the file: creating the file anew is refused as a sharing violation, and
// the file stays as it was, the program running.
TEST(PlatformFiles, RunningExecutableIsRefusedAndLeftAlone) {
  TScratch S;
  krvtest::TRunningProgram program((S / "prog.exe").string());
  ASSERT_TRUE(program.Running());
  std::string before = ReadFile(S / "prog.exe");
  platform::TFileHandle h = platform::CreateFileAlways(S.U("prog.exe"), 0x81ED8020);
  EXPECT_EQ(h, platform::INVALID_FILE_HANDLE);
  EXPECT_EQ(platform::GetLastErrorValue(), platform::ERROR_SHARING_VIOLATION);
  if (h != platform::INVALID_FILE_HANDLE) platform::CloseHandle(h);
  EXPECT_EQ(ReadFile(S / "prog.exe"), before);
  EXPECT_TRUE(program.Running());
}

}  // namespace

namespace {

TEST(LibraryStrings, Utf32AndSurrogateHalves) {
  const wchar_t pair[] = {L'a', wchar_t(0xD83D), wchar_t(0xDE00), 0};
  EXPECT_EQ(BStrToString(pair), u"a\U0001F600");
#ifndef _WIN32  // UTF-32 units: Windows' strings are UTF-16 already
  const wchar_t whole[] = {L'a', wchar_t(0x1F600), 0};
  const wchar_t bad[] = {wchar_t(0x110000), 0};
  EXPECT_EQ(BStrToString(whole), u"a\U0001F600");
  EXPECT_EQ(BStrToString(bad), u"\uFFFD");
#endif
  EXPECT_EQ(BStrToString(nullptr), u"");
  sevenzip::PROPVARIANT v{};
  struct {
    sevenzip::VARTYPE vt;
    uint64_t raw;
    uint64_t expected;
  } cases[] = {{sevenzip::VT_EMPTY, 5, 0}, {sevenzip::VT_UI4, 0x1FFFFFFFFULL, 0xFFFFFFFF},
               {sevenzip::VT_UI8, 1ULL << 40, 1ULL << 40}, {sevenzip::VT_UI1, 0x1FF, 0xFF}, {sevenzip::VT_BSTR, 7, 0}};
  for (auto& c : cases) {
    v.vt = c.vt;
    v.uhVal = c.raw;
    EXPECT_EQ(VariantToUInt64(v), c.expected) << c.vt;
  }
}

}  // namespace

#ifndef _WIN32
// A tree far deeper than the descriptors a process may hold is removed whole, and a link inside
// it is removed, never followed.
TEST(PlatformFiles, RemoveTreeHoldsNoDescriptorPerLevel) {
  TScratch S;
  fs::create_directories(S / "tree");
  WriteFile(S / "outside", "keep");
  // Made one level at a time: the whole path would be too long for one call.
  int fd = ::open((S / "tree").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  for (int i = 0; i < 1100 && fd >= 0; ++i) {
    ASSERT_EQ(::mkdirat(fd, "d", 0755), 0);
    int next = ::openat(fd, "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ::close(fd);
    fd = next;
  }
  ASSERT_GE(fd, 0);
  ::close(::openat(fd, "f", O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
  ASSERT_EQ(::symlinkat((S / "outside").c_str(), fd, "link"), 0);
  ::close(fd);
  fs::permissions(S / "tree/d", fs::perms(0500));  // read-only on the way
  platform::TFileHandle base = platform::OpenFolder(S.U(""));
  ASSERT_NE(base, platform::INVALID_FILE_HANDLE);
  struct rlimit old {};
  ::getrlimit(RLIMIT_NOFILE, &old);
  struct rlimit few = old;
  few.rlim_cur = 32;
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &few), 0);
  bool removed = platform::RemoveTreeIn(base, "tree");
  ::setrlimit(RLIMIT_NOFILE, &old);
  platform::CloseHandle(base);
  EXPECT_TRUE(removed);
  EXPECT_FALSE(fs::exists(S / "tree"));
  EXPECT_EQ(ReadFile(S / "outside"), "keep");
}
#endif

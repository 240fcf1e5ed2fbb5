// The desktop shortcut: entry names, the arguments the product gets when a desktop launcher
// (GLib's, through `gio launch`) starts the entry, desktop-file-validate, replacement, failures.
#include <gtest/gtest.h>

#include <pwd.h>
#include <sys/stat.h>

#include <chrono>
#include <set>
#include <thread>

#include "downloader/Shortcut.h"
#include "downloader/Utils.h"
#include "platform/DesktopEntry.h"
#include "platform/Shell.h"
#include "tests/downloader/TestUtil.h"

namespace {

using namespace downloader;
using krvtest::ReadFile;
using krvtest::TTempDir;
using krvtest::WriteFile;
namespace fs = std::filesystem;

std::vector<rtl::String> gLog;
void Watch(const rtl::String& s) { gLog.push_back(s); }

std::string Q(const std::string& s) {
  std::string r = "'";
  for (char c : s) r += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return r + "'";
}

void SetArgs(const std::vector<std::string>& args) {
  std::vector<std::string> all{"KRVDownload"};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : all) argv.push_back(a.data());
  rtl::SetCommandLine(static_cast<int>(argv.size()), argv.data());
}

// Names and contents of everything below a folder.
std::map<std::string, std::string> Snapshot(const fs::path& root) {
  std::map<std::string, std::string> r;
  for (auto& e : fs::recursive_directory_iterator(root))
    r[fs::relative(e.path(), root).string()] = e.is_regular_file() ? ReadFile(e.path().string()) : "<other>";
  return r;
}

class Shortcut : public ::testing::Test {
 protected:
  void SetUp() override {
    Folder = Dir.Path().string() + "/product/";
    Desktop = Dir.Path().string() + "/Desktop";
    fs::create_directories(Folder);
    fs::create_directories(Desktop);
    ::setenv("XDG_DESKTOP_DIR", Desktop.c_str(), 1);
    gLog.clear();
    SetWriteLogWatcher(Watch);
    SetArgs({});
  }
  void TearDown() override {
    SetWriteLogWatcher(nullptr);
    ::unsetenv("XDG_DESKTOP_DIR");
    SetArgs({});
  }
  void Create(const std::string& exeName = "KorvelFA.exe") {
    CreateDesktopShortcut(rtl::S(Folder + exeName), rtl::S(exeName));
  }

 public:  // the failure cases prepare through a reference
  TTempDir Dir;
  std::string Folder, Desktop;
};

TEST_F(Shortcut, EntryNameIsTheFileNameBeforeItsFirstDot) {
  const std::pair<const char*, const char*> cases[] = {
      {"KorvelFA.exe", "KorvelFA.desktop"},
      {"Korvel.beta.exe", "Korvel.desktop"},
      {"Korvel", "Korvel.desktop"},
      {"Korvel čšž.exe", "Korvel čšž.desktop"},
  };
  for (auto& [exe, entry] : cases) {
    SCOPED_TRACE(exe);
    fs::remove_all(Desktop);
    fs::create_directories(Desktop);
    Create(exe);
    EXPECT_TRUE(gLog.empty());
    std::set<std::string> names;
    for (auto& e : fs::directory_iterator(Desktop)) names.insert(e.path().filename().string());
    EXPECT_EQ(names, std::set<std::string>{entry});
    std::string path = Desktop + "/" + entry;
    std::string text = ReadFile(path);
    std::string name = std::string(entry).substr(0, std::string(entry).size() - 8);
    EXPECT_NE(text.find("\nName=" + name + "\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\nPath=" + Folder + "\n"), std::string::npos) << text;
    struct stat st{};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_TRUE(st.st_mode & S_IXUSR);
    EXPECT_EQ(std::system(("desktop-file-validate " + Q(path)).c_str()), 0) << text;
  }
}

// What a desktop launcher hands the product must be what the shell "open" would: the forwarded
// parameter string split by the shell's rules.
TEST_F(Shortcut, LauncherGivesTheProductTheShellsArguments) {
  if (std::system("command -v gio >/dev/null 2>&1") != 0) GTEST_SKIP() << "gio (libglib2.0-bin) not installed";
  std::string out = Dir / "args.out";
  std::string product = Folder + "KorvelFA.exe";
  WriteFile(product, "#!/bin/sh\nprintf '%s\\0' \"$PWD\" \"$@\" > " + Q(out + ".tmp") + " && mv " + Q(out + ".tmp") +
                         " " + Q(out) + "\n");
  ::chmod(product.c_str(), 0755);

  const std::vector<std::vector<std::string>> cases = {
      {"/INI=C:\\x y\\a.ini", "/L=EN"},
      {"/UKREXE=1", "/umode=2", "/UXE3=3", "/l=SI", "plain"},
      {"$HOME", "100%", "%f", "back\\slash", "`id`", "semi;colon", "~x", "'single'", "a>b|c&d", "*?#()"},
      {"/INI=tab\there", "čšž €", "new\nline", "trailing\\", "/ini=lower case"},
      {"/INI=C:\\dir\\", "a\"b", "/ini=say \"hi\"\\", "c d"},
  };
  // The last case as the product must receive it: "/INI=" values exactly, no arguments joined.
  const std::vector<std::string> exact = {"/INI=C:\\dir\\", "a\"b", "/ini=say \"hi\"\\", "c", "d"};
  for (const auto& args : cases) {
    SCOPED_TRACE(args.front());
    SetArgs(args);
    fs::remove(out);
    Create();
    ASSERT_TRUE(gLog.empty()) << rtl::U8(gLog.front());
    std::string entry = Desktop + "/KorvelFA.desktop";
    EXPECT_EQ(std::system(("desktop-file-validate " + Q(entry)).c_str()), 0) << ReadFile(entry);
    ASSERT_EQ(std::system(("gio launch " + Q(entry) + " >/dev/null 2>&1").c_str()), 0);
    for (int i = 0; i < 1000 && !fs::exists(out); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(fs::exists(out));
    krvtest::TRun run;
    run.Record(ReadFile(out));
    std::vector<std::string> expected;
    for (const rtl::String& a : platform::CommandLineToArgs(ForwardedParameters(true))) expected.push_back(rtl::U8(a));
    EXPECT_EQ(run.Args, expected) << ReadFile(entry);
    if (&args == &cases.back()) EXPECT_EQ(run.Args, exact) << ReadFile(entry);
    EXPECT_EQ(run.Cwd + "/", Folder);
  }
  // The first case as the shortcut's rules put it: only the re-quoted INI switch, after a blank.
  SetArgs(cases[0]);
  EXPECT_EQ(ForwardedParameters(true), u" /INI=\"C:\\x y\\a.ini\"");
}

TEST_F(Shortcut, ExistingEntryIsReplaced) {
  std::string entry = Desktop + "/KorvelFA.desktop";
  WriteFile(entry, "[Desktop Entry]\nType=Application\nName=Old\nExec=/old\n");
  ::chmod(entry.c_str(), 0444);
  Create();
  EXPECT_TRUE(gLog.empty());
  std::string text = ReadFile(entry);
  EXPECT_EQ(text.find("/old"), std::string::npos);
  EXPECT_NE(text.find("Exec=\"" + Folder + "KorvelFA.exe\"\n"), std::string::npos) << text;
  EXPECT_EQ(Snapshot(Desktop).size(), 1u);  // no temporary file left behind
}

// Every failure: nothing changes and exactly one WriteLog line "class name: message".
TEST_F(Shortcut, FailuresChangeNothingAndLogOneLine) {
  struct TCase {
    const char* Name;
    std::function<void(Shortcut&)> Prepare;
    const char* LogStart;
  };
  const TCase cases[] = {
      {"desktop below a regular file",
       [](Shortcut& t) {
         WriteFile(t.Dir / "file", "a file");
         ::setenv("XDG_DESKTOP_DIR", (t.Dir / "file/Desktop").c_str(), 1);
       },
       "EOSError: Cannot write the desktop entry"},
      {"desktop folder missing",
       [](Shortcut& t) { ::setenv("XDG_DESKTOP_DIR", (t.Dir / "gone").c_str(), 1); },
       "EOSError: Cannot write the desktop entry"},
      {"entry name taken by a folder",
       [](Shortcut& t) { fs::create_directories(t.Desktop + "/KorvelFA.desktop/inside"); },
       "EOSError: Cannot write the desktop entry"},
      {"argument with a control character", [](Shortcut&) { SetArgs({"bell\a"}); },
       "EArgumentException: A desktop entry cannot hold the control character 7"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    gLog.clear();
    c.Prepare(*this);
    auto before = Snapshot(Dir.Path());
    Create();
    EXPECT_EQ(Snapshot(Dir.Path()), before);
    ASSERT_EQ(gLog.size(), 1u);
    EXPECT_EQ(rtl::U8(gLog[0]).rfind(c.LogStart, 0), 0u) << rtl::U8(gLog[0]);
    ::setenv("XDG_DESKTOP_DIR", Desktop.c_str(), 1);
    SetArgs({});
  }
}

// No home folder and no XDG settings: the desktop folder cannot be determined, and no entry is
// written anywhere (not at the root).
TEST_F(Shortcut, NoDesktopFolderWritesNothing) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const uid_t stranger = 54321;
  ASSERT_EQ(::getpwuid(stranger), nullptr);
  EXPECT_EXIT(
      {
        ::unsetenv("XDG_DESKTOP_DIR");
        ::unsetenv("XDG_CONFIG_HOME");
        ::unsetenv("HOME");
        if (::setresuid(stranger, stranger, stranger) != 0) std::_Exit(3);
        if (!GetDesktopFolder().empty()) std::_Exit(4);
        gLog.clear();
        Create();
        bool ok = gLog.size() == 1 && gLog[0] == u"EOSError: The desktop folder cannot be determined" &&
                  !fs::exists("/KorvelFA.desktop");
        std::_Exit(ok ? 0 : 5);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(DesktopFolder, FromEnvironmentUserDirsOrHome) {
  TTempDir dir;
  std::string home = dir / "home", config = dir / "config";
  fs::create_directories(config);
  struct TCase {
    const char* Env;  // XDG_DESKTOP_DIR, nullptr: unset
    const char* UserDirs;  // nullptr: no file
    std::string Expected;
  };
  const TCase cases[] = {
      {"/abs/Desk//", nullptr, "/abs/Desk"},
      {"relative", nullptr, home + "/Desktop"},
      {nullptr, nullptr, home + "/Desktop"},
      {nullptr, "XDG_DESKTOP_DIR=\"$HOME/Namizje\"\n", home + "/Namizje"},
      {"/env/wins", "XDG_DESKTOP_DIR=\"$HOME/Namizje\"\n", "/env/wins"},
      {nullptr, "# c\nXDG_DESKTOP_DIR=\"/srv/d\"\nXDG_DESKTOP_DIR=\"$HOME/b/\"\n", home + "/b"},
      {nullptr, "XDG_DESKTOP_DIR=\"$HOME\"\n", home},
      {nullptr, "XDG_DESKTOP_DIR=\"Desktop\"\n", home + "/Desktop"},
      {nullptr, "XDG_DESKTOP_DIR=\"$HOMEX\"\n", home + "/Desktop"},
      {nullptr, "XDG_DESKTOP_DIR=\"/a\\\"b\"\n", "/a\"b"},
      {nullptr, "XDG_DESKTOP_DIR=\"/unterminated\n", home + "/Desktop"},
      {nullptr, "XDG_DOWNLOAD_DIR=\"/dl\"\n", home + "/Desktop"},
      {nullptr, "  XDG_DESKTOP_DIR = \"/spaced\"\r\n", "/spaced"},
      {nullptr, "XDG_DESKTOP_DIR=\"/\"\n", "/"},
  };
  std::string oldHome = std::getenv("HOME") ? std::getenv("HOME") : "";
  ::setenv("HOME", home.c_str(), 1);
  ::setenv("XDG_CONFIG_HOME", config.c_str(), 1);
  for (const TCase& c : cases) {
    SCOPED_TRACE(std::string(c.Env ? c.Env : "-") + " | " + (c.UserDirs ? c.UserDirs : "-"));
    if (c.Env)
      ::setenv("XDG_DESKTOP_DIR", c.Env, 1);
    else
      ::unsetenv("XDG_DESKTOP_DIR");
    fs::remove(config + "/user-dirs.dirs");
    if (c.UserDirs) WriteFile(config + "/user-dirs.dirs", c.UserDirs);
    EXPECT_EQ(rtl::U8(GetDesktopFolder()), c.Expected);
  }
  ::unsetenv("XDG_DESKTOP_DIR");
  // A FIFO in place of the file is not waited on.
  fs::remove(config + "/user-dirs.dirs");
  ASSERT_EQ(::mkfifo((config + "/user-dirs.dirs").c_str(), 0600), 0);
  EXPECT_EQ(rtl::U8(GetDesktopFolder()), home + "/Desktop");
  fs::remove(config + "/user-dirs.dirs");
  // A home of "/" gives no doubled separator.
  ::setenv("HOME", "/", 1);
  EXPECT_EQ(rtl::U8(GetDesktopFolder()), "/Desktop");
  WriteFile(config + "/user-dirs.dirs", "XDG_DESKTOP_DIR=\"$HOME\"\n");
  EXPECT_EQ(rtl::U8(GetDesktopFolder()), "/");
  ::unsetenv("XDG_CONFIG_HOME");
  ::setenv("HOME", oldHome.c_str(), 1);
}

}  // namespace

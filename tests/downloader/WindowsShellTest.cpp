// The launcher's Windows services against the system itself: the shell's splitting, the shell
// "open" with what the child receives, the .lnk read back through IShellLinkW, and the launch
// path (version gate and shell open) of a launcher copied beside a product.
#include <gtest/gtest.h>

#include "downloader/Shortcut.h"
#include "downloader/Utils.h"
#include "platform/DesktopEntry.h"
#include "platform/LastError.h"
#include "platform/Shell.h"
#include "rtl/Exception.h"
#include "TestUtil.h"

// After our headers, which define names the system's headers make macros of (the system's
// ERROR_* and SE_ERR_* macros are the numbers below).
#include <windows.h>
#include <objbase.h>
#include <shellapi.h>
#include <shlobj.h>

using krvtest::TTempDir;
using rtl::String;

namespace {

namespace fs = std::filesystem;

std::wstring Wide(const String& s) { return std::wstring(s.begin(), s.end()); }
String FromWide(const wchar_t* s) { return String(reinterpret_cast<const char16_t*>(s)); }
fs::path PathOf(const std::string& utf8) { return fs::path(std::u8string(utf8.begin(), utf8.end())); }
// Absolute, with the system's separators, as a user's program names files.
String WindowsPath(const fs::path& p) { return String(fs::absolute(p).make_preferred().u16string()); }

// The product stand-in's record file and the event it sets once the file is complete and closed
// (under Wine a renamed file shows before the rename's own handle is closed, so the file's
// appearance is not the moment to read it).
class TRecordWatch {
 public:
  explicit TRecordWatch(const TTempDir& dir, const std::string& name) : FPath(dir / name) {
    static int counter = 0;
    std::wstring event = L"krv-product-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(counter++);
    FEvent = CreateEventW(nullptr, TRUE, FALSE, event.c_str());
    SetEnvironmentVariableW(L"KRV_PRODUCT_FILE", fs::path(FPath).wstring().c_str());
    SetEnvironmentVariableW(L"KRV_PRODUCT_EVENT", event.c_str());
  }
  ~TRecordWatch() {
    SetEnvironmentVariableW(L"KRV_PRODUCT_FILE", nullptr);
    SetEnvironmentVariableW(L"KRV_PRODUCT_EVENT", nullptr);
    if (FEvent) CloseHandle(FEvent);
  }
  // The record, once the product has written it; no record after timeoutMs.
  krvtest::TRun Wait(DWORD timeoutMs = 60000) {
    krvtest::TRun run;
    if (FEvent && WaitForSingleObject(FEvent, timeoutMs) == WAIT_OBJECT_0) run.Record(krvtest::ReadFile(FPath));
    return run;
  }
  const std::string& Path() const { return FPath; }

 private:
  std::string FPath;
  HANDLE FEvent;
};

std::vector<std::string> Utf8(const std::vector<String>& args) {
  std::vector<std::string> out;
  for (const String& a : args) out.push_back(rtl::U8(a));
  return out;
}

// Lines with every rule of the splitting; the system's own splitting is the reference.
const char16_t* const kLines[] = {
    u"", u"   \t ", u"a b", u"\"a b\" c", u" /ini=\"C:\\My Files\\a.ini\" /L=EN x", u"a\\\\b", u"a\\\"b",
    u"a\\\\\\\"b", u"\"a\\\\\" b", u"\"\"", u"a \"\" b", u"\"a\"\"b\"", u"\"a\"\"b c\"", u"\"\"\"",
    u"a\"b c\"d", u"\"unterminated arg", u" /INI=\"C:\\dir\\\\\" next", u"Čšž \"€ x\" 😀",
};

TEST(CommandLineToArgs, AgreesWithTheSystem) {
  for (const char16_t* line : kLines) {
    SCOPED_TRACE(rtl::U8(line));
    std::wstring full = L"prog.exe " + Wide(line);
    int count = 0;
    wchar_t** argv = CommandLineToArgvW(full.c_str(), &count);
    ASSERT_NE(argv, nullptr);
    std::vector<String> system;
    for (int i = 1; i < count; ++i) system.push_back(FromWide(argv[i]));
    LocalFree(argv);
    EXPECT_EQ(platform::CommandLineToArgs(line), system);
  }
}

TEST(ShellOpen, TheProgramReceivesExactlyTheSplitArguments) {
  TTempDir dir;
  int n = 0;
  for (const char16_t* line : kLines) {
    SCOPED_TRACE(rtl::U8(line));
    // Every other case names a working folder; the others keep ours.
    bool named = n % 2 == 1;
    TRecordWatch watch(dir, "record" + std::to_string(n++));
    intptr_t r = platform::ShellExecuteW(nullptr, u"open", WindowsPath(KRV_PRODUCT_NOVER), line,
                                         named ? WindowsPath(dir.Path()) : String(), SW_SHOWNORMAL);
    EXPECT_GT(r, 32);
    EXPECT_EQ(platform::GetLastErrorValue(), 0u);
    krvtest::TRun run = watch.Wait();
    ASSERT_TRUE(run.ProductStarted);
    EXPECT_EQ(run.Args, Utf8(platform::CommandLineToArgs(line)));
    EXPECT_TRUE(fs::equivalent(PathOf(run.Cwd), named ? dir.Path() : fs::current_path())) << run.Cwd;
  }
}

TEST(ShellOpen, FailuresGiveTheirNumbers) {
  TTempDir dir;
  krvtest::WriteFile(dir / "garbage.exe", "this is no program");
  fs::create_directory(dir / "folder");
  struct Case {
    const char* name;
    const char16_t* verb;
    std::string file, directory;
    intptr_t result;
  };
  const std::string product = KRV_PRODUCT_NOVER;
  const Case cases[] = {
      {"missing file", u"open", dir / "missing.exe", "", ERROR_FILE_NOT_FOUND},
      {"missing folder", u"open", dir / "nowhere/missing.exe", "", ERROR_PATH_NOT_FOUND},
      {"not a program", u"open", dir / "garbage.exe", "", ERROR_BAD_FORMAT},
      {"a folder", u"open", dir / "folder", "", SE_ERR_NOASSOC},
      {"another verb", u"runas", product, "", SE_ERR_NOASSOC},
      {"empty file name", u"open", "", "", ERROR_FILE_NOT_FOUND},
      {"missing working folder", u"open", product, dir / "nowhere", ERROR_PATH_NOT_FOUND},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    String file = c.file.empty() ? String() : WindowsPath(c.file);
    String directory = c.directory.empty() ? String() : WindowsPath(c.directory);
    intptr_t r = platform::ShellExecuteW(nullptr, c.verb, file, u"a b", directory, SW_SHOWNORMAL);
    EXPECT_EQ(r, c.result);
    EXPECT_EQ(platform::GetLastErrorValue(), static_cast<uint32_t>(c.result));
  }
}

// What the system reads back from a .lnk file.
struct TLinkContents {
  String Path, Arguments, WorkingDirectory, IconPath;
  int IconIndex = -1;
};

TLinkContents ReadLink(const String& fileName) {
  TLinkContents c;
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  IShellLinkW* link = nullptr;
  IPersistFile* file = nullptr;
  if (SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                 reinterpret_cast<void**>(&link))) &&
      SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file))) &&
      SUCCEEDED(file->Load(Wide(fileName).c_str(), STGM_READ))) {
    wchar_t buf[32768];
    if (SUCCEEDED(link->GetPath(buf, 32768, nullptr, SLGP_RAWPATH))) c.Path = FromWide(buf);
    if (SUCCEEDED(link->GetArguments(buf, 32768))) c.Arguments = FromWide(buf);
    if (SUCCEEDED(link->GetWorkingDirectory(buf, 32768))) c.WorkingDirectory = FromWide(buf);
    if (SUCCEEDED(link->GetIconLocation(buf, 32768, &c.IconIndex))) c.IconPath = FromWide(buf);
  } else {
    ADD_FAILURE() << "the shell cannot load " << rtl::U8(fileName);
  }
  if (file) file->Release();
  if (link) link->Release();
  CoUninitialize();
  return c;
}


TEST(ShellLink, SavedLinkReadsBackAndReplacesTheOldOne) {
  TTempDir dir;
  String target = WindowsPath(KRV_PRODUCT_NOVER);
  String file = platform::ShellLinkFileName(WindowsPath(dir.Path()), u"Korvel Č");
  EXPECT_EQ(file, WindowsPath(dir.Path()) + u"\\Korvel Č.lnk");
  const String arguments[] = {u" /INI=\"C:\\My Files\\\\\" x", u" /L"};
  for (const String& args : arguments) {
    platform::TShellLink link;
    link.SetPath(target);
    link.SetArguments(args);
    link.SetWorkingDirectory(WindowsPath(dir.Path()));
    link.Save(file);
    TLinkContents c = ReadLink(file);
    EXPECT_TRUE(rtl::SameText(c.Path, target)) << rtl::U8(c.Path);
    EXPECT_EQ(c.Arguments, args);
    EXPECT_EQ(c.WorkingDirectory, WindowsPath(dir.Path()));
    EXPECT_EQ(c.IconPath, u"");  // nothing but target, arguments and folder is set
  }
  // Replaced in one step: nothing but the link is left beside it.
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir.Path())) names.push_back(rtl::U8(String(e.path().filename().u16string())));
  EXPECT_EQ(names, std::vector<std::string>{"Korvel Č.lnk"});
}

TEST(ShellLink, NamesThatAreNotOneFileNameAreRefused) {
  for (const char16_t* name : {u"", u".", u"..", u"a/b", u"a\\b", u"c:x", u"a*", u"a?", u"a\"b", u"a<b>", u"a|b", u"dot."}) {
    SCOPED_TRACE(rtl::U8(name));
    try {
      platform::ShellLinkFileName(u"C:\\Desktop", name);
      ADD_FAILURE() << "accepted";
    } catch (const rtl::EOSError& e) {
      EXPECT_EQ(e.ErrorCode(), ERROR_INVALID_NAME);
    }
  }
}

// The launcher's shortcut lands in the shell's desktop folder with the launcher's own share of
// our arguments.
TEST(ShellLink, DesktopShortcutOfTheProduct) {
  String desktop = downloader::GetDesktopFolder();
  ASSERT_FALSE(desktop.empty());
  fs::create_directories(fs::path(Wide(desktop)));
  String target = WindowsPath(KRV_PRODUCT_NOVER);
  String file = rtl::IncludeTrailingPathDelimiter(desktop) + u"KorvelShortcutTest.lnk";
  DeleteFileW(Wide(file).c_str());
  downloader::CreateDesktopShortcut(target, u"KorvelShortcutTest.exe");
  ASSERT_TRUE(fs::exists(fs::path(Wide(file))));
  TLinkContents c = ReadLink(file);
  DeleteFileW(Wide(file).c_str());
  EXPECT_TRUE(rtl::SameText(c.Path, target));
  EXPECT_EQ(c.Arguments, downloader::ForwardedParameters(true));
  EXPECT_TRUE(rtl::SameText(rtl::IncludeTrailingPathDelimiter(c.WorkingDirectory), rtl::ExtractFilePath(target)));
}

// The launch path as a user starts it: the launcher copied beside a product of each version.
TEST(Launch, GateAndShellOpenEndToEnd) {
  TTempDir app, work;
  struct Case {
    const char* name;
    const char* product;
    bool started;
  };
  const Case cases[] = {{"10.0.0.2 starts", KRV_PRODUCT_10002, true},
                        {"10.0.0.1 is updated", KRV_PRODUCT_10001, false},
                        {"no version is updated", KRV_PRODUCT_NOVER, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::path folder = app.Path() / c.name;
    fs::create_directory(folder);
    fs::copy_file(KRV_DOWNLOADER_EXE, folder / "KRVDownload.exe");
    fs::copy_file(c.product, folder / "KorvelFA.exe");
    TRecordWatch watch(work, std::string("record-") + c.name);
    std::wstring line = L"\"" + (folder / "KRVDownload.exe").wstring() +
                        L"\" \"/INI=C:\\My Files\\\\\" /L=EN \"two words\" \"say \\\"hi\\\"\" Čš";
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    ASSERT_TRUE(CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                               work.Path().wstring().c_str(), &si, &pi));
    ASSERT_EQ(WaitForSingleObject(pi.hProcess, 60000), WAIT_OBJECT_0);
    DWORD code = 99;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    if (!c.started) {
      EXPECT_EQ(code, 3u);  // the launcher's "the update would run"
      EXPECT_FALSE(fs::exists(watch.Path()));
      continue;
    }
    EXPECT_EQ(code, 0u);
    krvtest::TRun run = watch.Wait();
    ASSERT_TRUE(run.ProductStarted);
    EXPECT_TRUE(fs::equivalent(PathOf(run.Cwd), work.Path())) << run.Cwd;
    // "/INI=" values arrive exactly; other arguments are split at their blanks, as designed.
    EXPECT_EQ(run.Args, (std::vector<std::string>{"/INI=C:\\My Files\\", "/L=EN", "two", "words", "say", "\"hi\"", "Čš"}));
  }
}

}  // namespace

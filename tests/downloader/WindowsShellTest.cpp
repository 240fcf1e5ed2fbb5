// The launcher's Windows services against the system itself: the .lnk read back through
// IShellLinkW and the launch path of a launcher copied beside products of each version; and the
// Windows side of the shared helpers (the product's record, the host's commands).
#include <gtest/gtest.h>

#include <set>

#include "downloader/Shortcut.h"
#include "downloader/Utils.h"
#include "platform/DesktopEntry.h"
#include "platform/LastError.h"
#include "platform/Shell.h"
#include "rtl/Exception.h"
#include "TestUtil.h"
#include "tests/HostCommand.h"

// After our headers: the system's ERROR_*, SE_ERR_* and SW_* macros are the numbers below.
#include <windows.h>
#include <objbase.h>
#include <shellapi.h>
#include <shlobj.h>

using krvtest::TTempDir;
using rtl::String;
namespace fs = std::filesystem;

namespace {

const wchar_t* W(const String& s) { return reinterpret_cast<const wchar_t*>(s.c_str()); }
String S(const wchar_t* s) { return reinterpret_cast<const char16_t*>(s); }
fs::path PathOf(const std::string& utf8) { return fs::path(std::u8string(utf8.begin(), utf8.end())); }

// The product stand-in records into a file and then sets a named event: under Wine a renamed
// file shows before the rename's own handle is closed (measured: an empty read).
class TRecordWatch {
 public:
  TRecordWatch(const TTempDir& dir, const std::string& name) : FPath(dir / name) {
    static int counter = 0;
    std::wstring event = L"krv-product-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(counter++);
    FEvent = CreateEventW(nullptr, TRUE, FALSE, event.c_str());
    SetEnvironmentVariableW(L"KRV_PRODUCT_FILE", PathOf(FPath).c_str());
    SetEnvironmentVariableW(L"KRV_PRODUCT_EVENT", event.c_str());
  }
  ~TRecordWatch() {
    SetEnvironmentVariableW(L"KRV_PRODUCT_FILE", nullptr);
    SetEnvironmentVariableW(L"KRV_PRODUCT_EVENT", nullptr);
    CloseHandle(FEvent);
  }
  krvtest::TRun Wait() {
    krvtest::TRun run;
    if (WaitForSingleObject(FEvent, 60000) == WAIT_OBJECT_0) run.Record(krvtest::ReadFile(FPath));
    return run;
  }
  std::string FPath;
  HANDLE FEvent;
};

// Target, arguments, working folder and icon file as the shell reads them from a .lnk.
std::vector<String> ReadLink(const String& fileName) {
  std::vector<String> fields;
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  IShellLinkW* link = nullptr;
  IPersistFile* file = nullptr;
  wchar_t buf[4][MAX_PATH] = {};
  int icon = 0;
  if (SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                 reinterpret_cast<void**>(&link))) &&
      SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file))) &&
      SUCCEEDED(file->Load(W(fileName), STGM_READ)) && SUCCEEDED(link->GetPath(buf[0], MAX_PATH, nullptr, SLGP_RAWPATH)) &&
      SUCCEEDED(link->GetArguments(buf[1], MAX_PATH)) && SUCCEEDED(link->GetWorkingDirectory(buf[2], MAX_PATH)) &&
      SUCCEEDED(link->GetIconLocation(buf[3], MAX_PATH, &icon)))
    fields = {S(buf[0]), S(buf[1]), S(buf[2]), S(buf[3])};
  if (file) file->Release();
  if (link) link->Release();
  CoUninitialize();
  return fields;
}

TEST(ShellLink, SavedLinkReadsBackAndReplacesTheOldOne) {
  TTempDir dir;
  String folder = krvtest::NativePath(dir.Path()), target = krvtest::NativePath(KRV_PRODUCT_NOVER);
  String file = platform::ShellLinkFileName(folder, u"Korvel Č");
  EXPECT_EQ(file, folder + u"\\Korvel Č.lnk");
  for (const String& args : {String(u" /INI=\"C:\\My Files\\\\\" x"), String(u" /L")}) {
    platform::TShellLink link;
    link.SetPath(target);
    link.SetArguments(args);
    link.SetWorkingDirectory(folder);
    link.Save(file);
    // Nothing but target, arguments and folder is set: no icon.
    EXPECT_EQ(ReadLink(file), (std::vector<String>{target, args, folder, u""}));
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.Path()), fs::directory_iterator()), 1);  // no temporary left
  for (const char16_t* name : {u"", u"..", u"a/b", u"a\\b", u"c:x", u"a*", u"a\"b", u"a|b", u"dot."})
    EXPECT_THROW(platform::ShellLinkFileName(folder, name), rtl::EOSError) << rtl::U8(name);

  // The launcher's shortcut: in the shell's desktop folder, with the launcher's share of our
  // arguments and the product's folder.
  String desktop = downloader::GetDesktopFolder();
  ASSERT_FALSE(desktop.empty());
  fs::create_directories(fs::path(W(desktop)));
  String shortcut = rtl::IncludeTrailingPathDelimiter(desktop) + u"KorvelShortcutTest.lnk";
  downloader::CreateDesktopShortcut(target, u"KorvelShortcutTest.exe");
  EXPECT_EQ(ReadLink(shortcut), (std::vector<String>{target, downloader::ForwardedParameters(true),
                                                     rtl::ExtractFilePath(target), u""}));
  DeleteFileW(W(shortcut));
}

// The launch path as a user starts it: the launcher copied beside a product of each version.
TEST(Launch, GateAndShellOpenEndToEnd) {
  TTempDir app, work;
  const struct {
    const char* name;
    const char* product;
    bool started;
  } cases[] = {{"10.0.0.2 starts", KRV_PRODUCT_10002, true},
               {"10.0.0.1 is updated", KRV_PRODUCT_10001, false},
               {"no version is updated", KRV_PRODUCT_NOVER, false}};
  for (const auto& c : cases) {
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
    EXPECT_EQ(code, c.started ? 0u : 3u);  // 3: the update would run
    if (!c.started) {
      EXPECT_FALSE(fs::exists(watch.FPath));
      continue;
    }
    krvtest::TRun run = watch.Wait();
    // Started in our folder; "/INI=" values arrive exactly, other arguments split at blanks.
    EXPECT_TRUE(run.ProductStarted && fs::equivalent(PathOf(run.Cwd), work.Path())) << run.Cwd;
    EXPECT_EQ(run.Args, (std::vector<std::string>{"/INI=C:\\My Files\\", "/L=EN", "two", "words", "say", "\"hi\"", "Čš"}));
  }
}

// KRVDownload.exe's launch path maps none of the DLLs only its update calls (each loads at the
// update's first call into it); the system's debug events name every DLL a process maps.
TEST(Launch, LaunchPathLoadsNoneOfTheUpdatesDlls) {
  TTempDir app, work;
  fs::copy_file(KRV_EDITION_EXE, app.Path() / "KRVDownload.exe");
  fs::copy_file(KRV_PRODUCT_10002, app.Path() / "KorvelFA.exe");
  std::wstring line = L"\"" + (app.Path() / "KRVDownload.exe").wstring() + L"\" x";
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  ASSERT_TRUE(CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, DEBUG_ONLY_THIS_PROCESS, nullptr,
                             work.Path().wstring().c_str(), &si, &pi));
  std::set<std::wstring> loaded;
  DEBUG_EVENT e{};
  while (e.dwDebugEventCode != EXIT_PROCESS_DEBUG_EVENT && WaitForDebugEvent(&e, 60000)) {
    wchar_t path[1024] = L"?";
    if (e.dwDebugEventCode == LOAD_DLL_DEBUG_EVENT && e.u.LoadDll.hFile &&
        GetFinalPathNameByHandleW(e.u.LoadDll.hFile, path, 1024, 0))
      loaded.insert(fs::path(_wcslwr(path)).filename().wstring());
    if (e.dwDebugEventCode == LOAD_DLL_DEBUG_EVENT) CloseHandle(e.u.LoadDll.hFile);
    if (e.dwDebugEventCode == CREATE_PROCESS_DEBUG_EVENT) CloseHandle(e.u.CreateProcessInfo.hFile);
    bool own = e.dwDebugEventCode == EXCEPTION_DEBUG_EVENT && e.u.Exception.ExceptionRecord.ExceptionCode != EXCEPTION_BREAKPOINT;
    ContinueDebugEvent(e.dwProcessId, e.dwThreadId, own ? DBG_EXCEPTION_NOT_HANDLED : DBG_CONTINUE);
  }
  if (e.dwDebugEventCode != EXIT_PROCESS_DEBUG_EVENT) TerminateProcess(pi.hProcess, 1);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  ASSERT_EQ(e.dwDebugEventCode, DWORD(EXIT_PROCESS_DEBUG_EVENT)) << "KRVDownload.exe did not end";
  // The launch path ran (the update path would map the others).
  for (const wchar_t* dll : {L"version.dll", L"shell32.dll"}) EXPECT_TRUE(loaded.count(dll)) << fs::path(dll);
  for (const wchar_t* dll : {L"comctl32.dll", L"comdlg32.dll", L"secur32.dll", L"crypt32.dll", L"ws2_32.dll",
                             L"oleaut32.dll", L"bcrypt.dll", L"7z.dll"})
    EXPECT_FALSE(loaded.count(dll)) << fs::path(dll) << " mapped on the launch path";
}

}  // namespace

namespace krvtest {

TShellRun OpenProduct(const String& verb, const String& params, const String& directory) {
  TTempDir records;
  TRecordWatch watch(records, "record");
  TShellRun run;
  run.Result = platform::ShellExecuteW(nullptr, verb, NativePath(KRV_PRODUCT_NOVER), params, directory, SW_SHOWNORMAL);
  run.Error = platform::GetLastErrorValue();
  if (run.Result > 32) static_cast<TRun&>(run) = watch.Wait();
  return run;
}

}  // namespace krvtest

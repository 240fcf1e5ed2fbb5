// The update tests' peers and runs under Wine: the host's update server started by the host's
// shell, the downloader started as a Windows program with what it started waited for, and the
// shell's desktop and links.
#include "UpdateTestUtil.h"

#include "tests/HostCommand.h"

#include <algorithm>
#include <cstring>

#include <objbase.h>
#include <shlobj.h>
#include <tlhelp32.h>

namespace krvtest {

THostPeer::THostPeer(const std::vector<std::string>& argv) {
  static int counter = 0;
  // A folder of the current directory, where the host's shell starts too.
  FDir = "krv-peer-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(counter++);
  fs::remove_all(FDir);
  fs::create_directories(FDir);
  std::string program;
  for (const std::string& a : argv) program += (program.empty() ? "" : " ") + ShellQuote(a);
  // In a process group of its own and bounded in time, so nothing outlives the test for long
  // even when the test itself is killed.
  std::string command = "cd " + ShellQuote(FDir) + " && { setsid timeout 900 " + program +
                        " </dev/null >log 2>&1 & echo $! >pid; }";
  if (RunHostCommand(command, 30000) != 0) return;
  FPid = ReadFile(FDir + "/pid");
  while (!FPid.empty() && (FPid.back() == '\n' || FPid.back() == '\r')) FPid.pop_back();
  FStarted = !FPid.empty();
  // The first line names the address.
  std::string first = ReadLine(10000);
  auto at = first.rfind(':');
  if (at != std::string::npos && first.find("serving") != std::string::npos) Port = std::atoi(first.c_str() + at + 1);
}

THostPeer::~THostPeer() {
  Kill(15);
  std::error_code ec;
  fs::remove_all(FDir, ec);
}

void THostPeer::Kill(int sig) {
  if (FPid.empty()) return;
  // The whole group; the server is gone when the command returns.
  RunHostCommand("kill -" + std::to_string(sig) + " -" + FPid + "; timeout 20 sh -c 'while kill -0 -" + FPid +
                     " 2>/dev/null; do sleep 0.05; done'",
                 30000);
  FPid.clear();
}

std::string THostPeer::ReadLine(int timeoutMs) {
  const ULONGLONG deadline = GetTickCount64() + ULONGLONG(timeoutMs);
  HANDLE change = FindFirstChangeNotificationA(FDir.c_str(), FALSE, FILE_NOTIFY_CHANGE_SIZE | FILE_NOTIFY_CHANGE_LAST_WRITE);
  std::string line;
  for (;;) {
    std::string log = ReadFile(FDir + "/log");
    if (log.size() > FRead) {
      FBuffer += log.substr(FRead);
      FRead = log.size();
    }
    auto nl = FBuffer.find('\n');
    if (nl != std::string::npos) {
      line = FBuffer.substr(0, nl);
      FBuffer.erase(0, nl + 1);
      break;
    }
    ULONGLONG now = GetTickCount64();
    if (now >= deadline) break;
    // The host's writes reach Wine's notification through inotify; a short bound covers a
    // write the notification missed between the read and the wait.
    if (change != INVALID_HANDLE_VALUE) {
      WaitForSingleObject(change, DWORD(std::min<ULONGLONG>(deadline - now, 200)));
      FindNextChangeNotification(change);
    } else {
      Sleep(20);
    }
  }
  if (change != INVALID_HANDLE_VALUE) FindCloseChangeNotification(change);
  return line;
}

namespace {

std::wstring Wide(const std::string& s) {
  int n = MultiByteToWideChar(CP_UTF8, 0, s.c_str(), -1, nullptr, 0);
  std::wstring w(size_t(n > 0 ? n - 1 : 0), L'\0');
  if (n > 1) MultiByteToWideChar(CP_UTF8, 0, s.c_str(), -1, w.data(), n);
  return w;
}

std::string Narrow(const wchar_t* w) {
  int n = WideCharToMultiByte(CP_UTF8, 0, w, -1, nullptr, 0, nullptr, nullptr);
  std::string s(size_t(n > 0 ? n - 1 : 0), '\0');
  if (n > 1) WideCharToMultiByte(CP_UTF8, 0, w, -1, s.data(), n, nullptr, nullptr);
  return s;
}

// This process's environment without the variables the run must not inherit, and with extra.
std::wstring EnvironmentBlock(const std::vector<std::string>& extra) {
  static const char* const kDropped[] = {"KRV_GUI=",     "http_proxy=", "https_proxy=",      "all_proxy=",
                                         "no_proxy=",    "KRV_PRODUCT", "KRV_TEST_DESKTOP="};
  std::wstring block;
  wchar_t* env = GetEnvironmentStringsW();
  for (const wchar_t* e = env; *e; e += wcslen(e) + 1) {
    std::string entry = Narrow(e);
    bool dropped = false;
    for (const char* d : kDropped) dropped = dropped || _strnicmp(entry.c_str(), d, strlen(d)) == 0;
    if (!dropped) block += std::wstring(e) + L'\0';
  }
  FreeEnvironmentStringsW(env);
  for (const std::string& e : extra) block += Wide(e) + L'\0';
  return block + L'\0';
}

// The processes whose parent is pid, opened for waiting, with their names.
std::vector<std::pair<HANDLE, std::string>> Children(DWORD pid) {
  std::vector<std::pair<HANDLE, std::string>> children;
  HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  PROCESSENTRY32W e{};
  e.dwSize = sizeof e;
  for (BOOL more = snap != INVALID_HANDLE_VALUE && Process32FirstW(snap, &e); more; more = Process32NextW(snap, &e))
    if (e.th32ParentProcessID == pid && e.th32ProcessID != pid)
      if (HANDLE h = OpenProcess(SYNCHRONIZE, FALSE, e.th32ProcessID)) children.push_back({h, Narrow(e.szExeFile)});
  if (snap != INVALID_HANDLE_VALUE) CloseHandle(snap);
  return children;
}

}  // namespace

TDownloaderRun RunDownloader(const std::string& exe, const std::string& folder, const std::string&,
                             const std::vector<std::string>& args, bool headless, const std::vector<std::string>& env) {
  TDownloaderRun r;
  const std::string errFile = folder + "/../stderr.txt", record = folder + "/../record.bin";
  std::error_code ec;
  fs::remove(record, ec);
  std::vector<std::string> vars = env;
  vars.push_back("KRV_PRODUCT_FILE=" + SystemPath(record));
  if (headless) vars.push_back("KRV_GUI=headless");
  std::wstring block = EnvironmentBlock(vars);
  std::string line = QuoteWindowsArgument(SystemPath(exe));
  for (const std::string& a : args) line += " " + QuoteWindowsArgument(a);
  std::wstring wline = Wide(line);

  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE err = CreateFileW(Wide(SystemPath(errFile)).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           &inherit, CREATE_ALWAYS, 0, nullptr);
  HANDLE nul = CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr);
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = nul;
  si.hStdOutput = nul;
  si.hStdError = err;
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(nullptr, wline.data(), nullptr, nullptr, TRUE, CREATE_UNICODE_ENVIRONMENT, block.data(),
                      Wide(SystemPath(folder)).c_str(), &si, &pi)) {
    ADD_FAILURE() << "cannot start " << exe << ": error " << GetLastError();
  } else {
    if (WaitForSingleObject(pi.hProcess, 120000) == WAIT_OBJECT_0) {
      DWORD code = 0;
      GetExitCodeProcess(pi.hProcess, &code);
      r.Run.ExitCode = int(code);
      // The product it started (the shipped settings' KorvelFA.exe) exists by now: wait for it to
      // have recorded. Wine's own helpers it started (explorer.exe for the shell) stay.
      for (auto& [child, name] : Children(pi.dwProcessId)) {
        if (_stricmp(name.c_str(), "KorvelFA.exe") == 0) {
          EXPECT_EQ(WaitForSingleObject(child, 60000), WAIT_OBJECT_0) << "the started " << name << " did not end";
        }
        CloseHandle(child);
      }
    } else {
      TerminateProcess(pi.hProcess, 1);
      ADD_FAILURE() << exe << " did not end within 120 s";
    }
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
  }
  CloseHandle(err);
  CloseHandle(nul);
  r.Run.Record(ReadFile(record));
  // A text stream: lines end in CR LF.
  for (char c : ReadFile(errFile))
    if (c != '\r') r.Stderr.push_back(c);
  return r;
}

std::string ShortcutFolder(const std::string&) {
  wchar_t path[MAX_PATH] = {};
  if (FAILED(SHGetFolderPathW(nullptr, CSIDL_DESKTOPDIRECTORY, nullptr, SHGFP_TYPE_CURRENT, path))) return {};
  return Narrow(path);
}

std::string ReadShortcut(const std::string& file) {
  std::string fields;
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  IShellLinkW* link = nullptr;
  IPersistFile* persist = nullptr;
  wchar_t target[MAX_PATH] = {}, arguments[1024] = {}, folder[MAX_PATH] = {};
  if (SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                 reinterpret_cast<void**>(&link))) &&
      SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&persist))) &&
      SUCCEEDED(persist->Load(Wide(SystemPath(file)).c_str(), STGM_READ)) &&
      SUCCEEDED(link->GetPath(target, MAX_PATH, nullptr, SLGP_RAWPATH)) &&
      SUCCEEDED(link->GetArguments(arguments, 1024)) && SUCCEEDED(link->GetWorkingDirectory(folder, MAX_PATH)))
    fields = Narrow(target) + "\n" + Narrow(arguments) + "\n" + Narrow(folder) + "\n";
  if (persist) persist->Release();
  if (link) link->Release();
  CoUninitialize();
  return fields;
}

}  // namespace krvtest

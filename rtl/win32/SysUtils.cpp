// rtl's operating-system services on Windows: files with wide paths, the process, the thread's
// last-error value and its texts, the system's Unicode case mapping.
#include "rtl/OsServices.h"
#include "rtl/SysUtils.h"

#include "rtl/win32/WinApi.h"

#include <fcntl.h>
#include <io.h>
#include <shellapi.h>

#include <cstdio>
#include <cwchar>

namespace rtl {

namespace {
std::wstring Wide(std::u16string_view s) { return std::wstring(s.begin(), s.end()); }
String FromWide(const wchar_t* s, size_t n) { return String(reinterpret_cast<const char16_t*>(s), n); }

DWORD Attributes(std::u16string_view path) {
  return path.empty() ? INVALID_FILE_ATTRIBUTES : GetFileAttributesW(Wide(path).c_str());
}
}  // namespace

bool FileExists(std::u16string_view f) {
  DWORD a = Attributes(f);
  return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}
bool DirectoryExists(std::u16string_view d) {
  DWORD a = Attributes(d);
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}
bool DeleteFile(std::u16string_view f) { return DeleteFileW(Wide(f).c_str()); }
// As the system renames: an existing target is not replaced.
bool RenameFile(std::u16string_view a, std::u16string_view b) { return MoveFileW(Wide(a).c_str(), Wide(b).c_str()); }
bool CreateDir(std::u16string_view d) { return CreateDirectoryW(Wide(d).c_str(), nullptr); }
bool RemoveDir(std::u16string_view d) { return RemoveDirectoryW(Wide(d).c_str()); }
int64_t FileSizeOf(std::u16string_view f) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (f.empty() || !GetFileAttributesExW(Wide(f).c_str(), GetFileExInfoStandard, &data)) return -1;
  return (int64_t(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}
void UseBinaryStandardOutput() {
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
}

String GetCurrentDir() {
  DWORD n = GetCurrentDirectoryW(0, nullptr);
  std::wstring buf(n, L'\0');
  n = GetCurrentDirectoryW(n, buf.data());
  return FromWide(buf.data(), n);
}

// The system folds "." and "..", takes the current drive or folder for what is relative and
// turns "/" into its separator.
String ExpandFileName(std::u16string_view f) {
  std::wstring name = Wide(f);
  if (name.empty()) name = L".";
  std::wstring buf(MAX_PATH, L'\0');
  for (;;) {
    DWORD n = GetFullPathNameW(name.c_str(), static_cast<DWORD>(buf.size()), buf.data(), nullptr);
    if (n == 0) return String(f);  // a name the system cannot take stays as it was
    if (n < buf.size()) return FromWide(buf.data(), n);
    buf.resize(n);  // the size asked for, terminator included
  }
}

bool TryGetEnvironmentVariable(std::u16string_view name, String& value) {
  value.clear();
  std::wstring n = Wide(name);
  std::wstring buf(256, L'\0');
  for (;;) {
    SetLastError(ERROR_SUCCESS);
    DWORD got = GetEnvironmentVariableW(n.c_str(), buf.data(), static_cast<DWORD>(buf.size()));
    if (got == 0) return GetLastError() != ERROR_ENVVAR_NOT_FOUND;  // set to "" otherwise
    if (got < buf.size()) {
      value = FromWide(buf.data(), got);
      return true;
    }
    buf.resize(got);  // the size asked for, terminator included
  }
}

int GetLastOSError() { return static_cast<int>(GetLastError()); }

String SysErrorMessage(int code) {
  DWORD saved = GetLastError();
  wchar_t* text = nullptr;
  DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                           nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  String result;
  if (n > 0 && text) result = FromWide(text, n);
  if (text) LocalFree(text);
  // The system's texts end in a line break.
  while (!result.empty() && (result.back() == u'\n' || result.back() == u'\r' || result.back() == u' '))
    result.pop_back();
  SetLastError(saved);
  return result;
}

namespace os {

String ExecutablePath() {
  std::wstring buf(MAX_PATH, L'\0');
  for (;;) {
    DWORD n = GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
    if (n == 0) return String();
    if (n < buf.size()) return FromWide(buf.data(), n);
    buf.resize(buf.size() * 2);  // cut short: ask again with more room
  }
}

std::vector<String> CommandLineArguments(int, char**) {
  std::vector<String> args;
  int count = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &count);
  if (!argv) return args;
  for (int i = 0; i < count; ++i) args.push_back(FromWide(argv[i], wcslen(argv[i])));
  LocalFree(argv);
  return args;
}

namespace {
// The system's simple case mapping: a mapping that changes the number of code units is not taken.
uint32_t MapCase(uint32_t codePoint, DWORD flags) {
  wchar_t in[2], out[4];
  int n = 1;
  if (codePoint >= 0x10000) {
    if (codePoint > 0x10FFFF) return codePoint;
    in[0] = static_cast<wchar_t>(0xD800 + ((codePoint - 0x10000) >> 10));
    in[1] = static_cast<wchar_t>(0xDC00 + ((codePoint - 0x10000) & 0x3FF));
    n = 2;
  } else {
    if (codePoint >= 0xD800 && codePoint <= 0xDFFF) return codePoint;
    in[0] = static_cast<wchar_t>(codePoint);
  }
  int m = LCMapStringEx(LOCALE_NAME_INVARIANT, flags, in, n, out, 4, nullptr, nullptr, 0);
  if (m != n) return codePoint;
  if (n == 1) return out[0];
  return 0x10000 + ((uint32_t(out[0]) - 0xD800) << 10) + (uint32_t(out[1]) - 0xDC00);
}
}  // namespace

uint32_t UnicodeUpperCase(uint32_t codePoint) { return MapCase(codePoint, LCMAP_UPPERCASE); }
uint32_t UnicodeLowerCase(uint32_t codePoint) { return MapCase(codePoint, LCMAP_LOWERCASE); }

}  // namespace os

}  // namespace rtl

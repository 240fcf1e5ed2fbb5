// rtl's operating-system services on POSIX: files, the process, errno and its texts, the
// Unicode case mapping of the C.UTF-8 locale.
#include <limits.h>
#include <locale.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <cwctype>

#include "rtl/OsServices.h"
#include "rtl/SysUtils.h"

namespace rtl {

bool FileExists(std::u16string_view f) {
  struct stat st;
  return !f.empty() && ::stat(U8(f).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}
bool DirectoryExists(std::u16string_view d) {
  struct stat st;
  return !d.empty() && ::stat(U8(d).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}
bool DeleteFile(std::u16string_view f) { return ::unlink(U8(f).c_str()) == 0; }
bool RenameFile(std::u16string_view a, std::u16string_view b) { return ::rename(U8(a).c_str(), U8(b).c_str()) == 0; }
bool CreateDir(std::u16string_view d) { return ::mkdir(U8(d).c_str(), 0777) == 0; }
bool RemoveDir(std::u16string_view d) { return ::rmdir(U8(d).c_str()) == 0; }
int64_t FileSizeOf(std::u16string_view f) {
  struct stat st;
  if (::stat(U8(f).c_str(), &st) != 0) return -1;
  return st.st_size;
}
void UseBinaryStandardOutput() {}

String GetCurrentDir() {
  char buf[PATH_MAX];
  if (!::getcwd(buf, sizeof buf)) return String();
  return S(buf);
}

bool TryGetEnvironmentVariable(std::u16string_view name, String& value) {
  value.clear();
  const char* v = ::getenv(U8(name).c_str());
  if (!v) return false;
  value = S(v);
  return true;
}

String ExpandFileName(std::u16string_view f) {
  String path(f);
  if (!IsAbsolutePath(path)) path = IncludeTrailingPathDelimiter(GetCurrentDir()) + path;
  std::vector<String> parts;
  size_t i = 0;
  while (i <= path.size()) {
    size_t j = path.find(PathDelim, i);
    if (j == String::npos) j = path.size();
    String part = path.substr(i, j - i);
    if (part == u"..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != u".") {
      parts.push_back(part);
    }
    i = j + 1;
  }
  String r;
  for (auto& p : parts) r += PathDelim + p;
  if (r.empty() || (!path.empty() && path.back() == PathDelim && path.size() > 1)) r.push_back(PathDelim);
  return r;
}

int GetLastOSError() { return errno; }

String SysErrorMessage(int code) {
  char buf[256];
  const char* m = ::strerror_r(code, buf, sizeof buf);
  return S(m);
}

namespace os {

String ExecutablePath() {
  char buf[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return String();
  buf[n] = 0;
  return S(buf);
}

std::vector<String> CommandLineArguments(int argc, char** argv) {
  std::vector<String> args;
  for (int i = 0; i < argc; ++i) args.push_back(S(argv[i]));
  return args;
}

namespace {
locale_t UnicodeLocale() {
  static locale_t loc = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
  return loc;
}
}  // namespace

uint32_t UnicodeUpperCase(uint32_t codePoint) {
  locale_t loc = UnicodeLocale();
  return loc ? static_cast<uint32_t>(towupper_l(static_cast<wint_t>(codePoint), loc)) : codePoint;
}

uint32_t UnicodeLowerCase(uint32_t codePoint) {
  locale_t loc = UnicodeLocale();
  return loc ? static_cast<uint32_t>(towlower_l(static_cast<wint_t>(codePoint), loc)) : codePoint;
}

}  // namespace os

}  // namespace rtl

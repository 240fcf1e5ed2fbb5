// A stand-in for the product: records its current directory and its arguments, each followed by
// a zero byte, on the descriptor named by KRV_PRODUCT_FD or into the file named by
// KRV_PRODUCT_FILE (written beside it and renamed, so it appears whole; on Windows the event
// named by KRV_PRODUCT_EVENT is then set), then ends.
#ifdef _WIN32
#include <windows.h>
#include <shellapi.h>
#else
#include <unistd.h>
#endif

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

#ifdef _WIN32
std::string Utf8(const wchar_t* s) {
  int n = WideCharToMultiByte(CP_UTF8, 0, s, -1, nullptr, 0, nullptr, nullptr);
  std::string out(n > 0 ? static_cast<size_t>(n - 1) : 0, '\0');
  if (n > 1) WideCharToMultiByte(CP_UTF8, 0, s, -1, out.data(), n, nullptr, nullptr);
  return out;
}

// The arguments as the system's own UTF-16 command line holds them (argv is in the ANSI code page).
std::string Record() {
  wchar_t cwd[32768];
  std::string record = GetCurrentDirectoryW(32768, cwd) ? Utf8(cwd) : "?";
  record.push_back('\0');
  int count = 0;
  wchar_t** args = CommandLineToArgvW(GetCommandLineW(), &count);
  for (int i = 1; args && i < count; ++i) {
    record += Utf8(args[i]);
    record.push_back('\0');
  }
  LocalFree(args);
  return record;
}
#else
std::string Record(int argc, char** argv) {
  char cwd[PATH_MAX];
  std::string record = ::getcwd(cwd, sizeof cwd) ? cwd : "?";
  record.push_back('\0');
  for (int i = 1; i < argc; ++i) {
    record += argv[i];
    record.push_back('\0');
  }
  return record;
}
#endif

int WriteRecordFile(const char* path, const std::string& record) {
  std::string temp = std::string(path) + ".tmp";
  FILE* f = std::fopen(temp.c_str(), "wb");
  if (!f) return 1;
  bool ok = std::fwrite(record.data(), 1, record.size(), f) == record.size();
  ok = std::fclose(f) == 0 && ok;
  return ok && std::rename(temp.c_str(), path) == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
  std::string record = Record();
#else
  std::string record = Record(argc, argv);
#endif
  if (const char* file = std::getenv("KRV_PRODUCT_FILE")) {
    int status = WriteRecordFile(file, record);
#ifdef _WIN32
    // The record is complete and every handle to it closed: the waiting test may read it.
    if (const char* event = std::getenv("KRV_PRODUCT_EVENT")) {
      HANDLE h = OpenEventA(EVENT_MODIFY_STATE, FALSE, event);
      if (h) {
        SetEvent(h);
        CloseHandle(h);
      }
    }
#endif
    return status;
  }
#ifndef _WIN32
  const char* fdText = std::getenv("KRV_PRODUCT_FD");
  if (fdText == nullptr) return 0;
  int fd = std::atoi(fdText);
  const char* p = record.data();
  size_t left = record.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n <= 0) return 1;
    p += n;
    left -= static_cast<size_t>(n);
  }
#endif
  return 0;
}

// A stand-in for the product: records its current directory and its arguments, each followed by
// a zero byte, on the descriptor named by KRV_PRODUCT_FD or into the file named by
// KRV_PRODUCT_FILE (written beside it and renamed, so it appears whole; on Windows the event
// named by KRV_PRODUCT_EVENT is set then), and ends.
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>

#ifdef _WIN32
#include <windows.h>
#include <shellapi.h>

// The arguments of the process's own UTF-16 command line (argv is in the ANSI code page).
std::string Record(int, char**) {
  auto utf8 = [](const wchar_t* s) {
    char buf[32768];
    return std::string(buf, WideCharToMultiByte(CP_UTF8, 0, s, -1, buf, sizeof buf, nullptr, nullptr));
  };
  wchar_t cwd[32768];
  std::string record = GetCurrentDirectoryW(32768, cwd) ? utf8(cwd) : std::string("?", 2);
  int count = 0;
  wchar_t** args = CommandLineToArgvW(GetCommandLineW(), &count);
  for (int i = 1; i < count; ++i) record += utf8(args[i]);
  LocalFree(args);
  return record;
}
#else
#include <unistd.h>

std::string Record(int argc, char** argv) {
  char cwd[PATH_MAX];
  std::string record = ::getcwd(cwd, sizeof cwd) ? cwd : "?";
  record.push_back('\0');
  for (int i = 1; i < argc; ++i) (record += argv[i]).push_back('\0');
  return record;
}
#endif

int main(int argc, char** argv) {
  std::string record = Record(argc, argv);
  if (const char* path = std::getenv("KRV_PRODUCT_FILE")) {
    std::string temp = std::string(path) + ".tmp";
    FILE* f = std::fopen(temp.c_str(), "wb");
    bool ok = f && std::fwrite(record.data(), 1, record.size(), f) == record.size();
    ok = f && std::fclose(f) == 0 && ok && std::rename(temp.c_str(), path) == 0;
#ifdef _WIN32
    // Complete, and every handle to it closed: the waiting test may read it now.
    HANDLE event = std::getenv("KRV_PRODUCT_EVENT") ? OpenEventA(EVENT_MODIFY_STATE, FALSE, std::getenv("KRV_PRODUCT_EVENT")) : nullptr;
    if (event) SetEvent(event), CloseHandle(event);
#endif
    return ok ? 0 : 1;
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

#include "platform/Files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/LastError.h"

namespace platform {

namespace {
bool Fail() {
  SetLastErrorFromErrno(errno);
  return false;
}
}  // namespace

uint32_t ProcessUmask() {
  static uint32_t mask = [] {
    // /proc tells it without the set-and-restore race of umask().
    uint32_t m = 022;
    if (FILE* f = std::fopen("/proc/self/status", "r")) {
      char line[256];
      while (std::fgets(line, sizeof line, f)) {
        unsigned v;
        if (std::sscanf(line, "Umask: %o", &v) == 1) {
          m = v & 0777;
          break;
        }
      }
      std::fclose(f);
    }
    return m;
  }();
  return mask;
}

uint32_t FileModeFromAttributes(uint32_t attributes) {
  // Only a regular file's mode is taken: a stored link (0777) or device is written as an ordinary
  // file and must not come out world-writable.
  uint32_t type = (attributes >> 16) & 0170000;
  if ((attributes & FILE_ATTRIBUTE_UNIX_EXTENSION) && (type == 0100000 || type == 0)) return (attributes >> 16) & 0777;
  uint32_t mode = 0666 & ~ProcessUmask();
  if (attributes & FILE_ATTRIBUTE_READONLY) mode &= ~0222u;
  return mode;
}

int32_t FolderModeFromAttributes(uint32_t attributes) {
  if (attributes & FILE_ATTRIBUTE_UNIX_EXTENSION) return static_cast<int32_t>((attributes >> 16) & 0777);
  return -1;
}

bool PathExists(const rtl::String& path) {
  if (path.empty()) return false;
  struct stat st;
  return ::lstat(rtl::U8(path).c_str(), &st) == 0;
}

THandle CreateFileAlways(const rtl::String& path, uint32_t attributes) {
  std::string p = rtl::U8(path);
  uint32_t mode = FileModeFromAttributes(attributes);
  struct stat st;
  if (::stat(p.c_str(), &st) == 0) {
    // Root may write anything; a read-only file must still be refused, as on Windows.
    if (S_ISDIR(st.st_mode) || !(st.st_mode & S_IWUSR)) {
      SetLastErrorValue(ERROR_ACCESS_DENIED);
      return INVALID_HANDLE_VALUE;
    }
  }
  // A running executable (ETXTBSY) is refused as a sharing violation, as Windows refuses it: the
  // extraction job then moves it aside and extracts again.
  int fd = ::open(p.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) {
    int e = errno;
    // As on Windows: a missing folder on the way is "path not found", not "file not found".
    if (e == ENOENT) {
      size_t slash = p.rfind('/');
      std::string dir = slash == std::string::npos ? std::string(".") : p.substr(0, slash == 0 ? 1 : slash);
      struct stat ds;
      if (::stat(dir.c_str(), &ds) != 0 || !S_ISDIR(ds.st_mode)) {
        SetLastErrorValue(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
      }
    }
    SetLastErrorFromErrno(e);
    return INVALID_HANDLE_VALUE;
  }
  // open() applies the umask and leaves an existing file's mode: set the archive's bits exactly.
  ::fchmod(fd, mode);
  SetLastErrorValue(ERROR_SUCCESS);
  return fd;
}

THandle OpenFileForRead(const rtl::String& path) {
  std::string p = rtl::U8(path);
  int fd = ::open(p.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    Fail();
    return INVALID_HANDLE_VALUE;
  }
  struct stat st;
  if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    ::close(fd);
    SetLastErrorValue(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  return fd;
}

bool CloseHandle(THandle h) {
  if (h < 0) {
    SetLastErrorValue(ERROR_INVALID_HANDLE);
    return false;
  }
  return ::close(h) == 0 || Fail();
}

int64_t GetFileSizeOfHandle(THandle h) {
  struct stat st;
  if (::fstat(h, &st) != 0) {
    Fail();
    return -1;
  }
  return st.st_size;
}

bool ReadFileAt(THandle h, int64_t offset, void* buffer, uint32_t size, uint32_t* done) {
  *done = 0;
  if (offset < 0) {
    SetLastErrorValue(ERROR_INVALID_PARAMETER);
    return false;
  }
  auto* p = static_cast<uint8_t*>(buffer);
  while (*done < size) {
    ssize_t n = ::pread(h, p + *done, size - *done, offset + *done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Fail();
    }
    if (n == 0) break;
    *done += static_cast<uint32_t>(n);
  }
  return true;
}

bool WriteFileAt(THandle h, int64_t offset, const void* buffer, uint32_t size, uint32_t* done) {
  *done = 0;
  if (offset < 0) {
    SetLastErrorValue(ERROR_INVALID_PARAMETER);
    return false;
  }
  auto* p = static_cast<const uint8_t*>(buffer);
  while (*done < size) {
    ssize_t n = ::pwrite(h, p + *done, size - *done, offset + *done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Fail();
    }
    *done += static_cast<uint32_t>(n);
  }
  return true;
}

bool SetFileLastWriteTime(THandle h, uint64_t fileTimeUtc) {
  constexpr uint64_t kUnixEpoch = 116444736000000000ULL;
  int64_t ticks = static_cast<int64_t>(fileTimeUtc - kUnixEpoch);
  int64_t secs = ticks / 10000000, rem = ticks % 10000000;
  if (rem < 0) {
    rem += 10000000;
    --secs;
  }
  struct timespec ts[2];
  ts[0].tv_sec = 0;
  ts[0].tv_nsec = UTIME_OMIT;
  ts[1].tv_sec = secs;
  ts[1].tv_nsec = rem * 100;
  return ::futimens(h, ts) == 0 || Fail();
}

uint64_t GetFileLastWriteTime(const rtl::String& path) {
  struct stat st;
  if (::stat(rtl::U8(path).c_str(), &st) != 0) return 0;
  return 116444736000000000ULL + static_cast<uint64_t>(st.st_mtim.tv_sec) * 10000000ULL +
         static_cast<uint64_t>(st.st_mtim.tv_nsec / 100);
}

bool SetPathMode(const rtl::String& path, uint32_t mode) {
  return ::chmod(rtl::U8(path).c_str(), mode & 0777) == 0 || Fail();
}

bool CreateDirectoryW(const rtl::String& path) {
  return ::mkdir(rtl::U8(path).c_str(), 0777) == 0 || Fail();
}

uint32_t GetDriveType(const rtl::String&) { return DRIVE_FIXED; }

}  // namespace platform

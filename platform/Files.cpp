#include "platform/Files.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>

#include "platform/LastError.h"
#include "platform/posix/Errors.h"

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

namespace {
// What the archive asks for, as far as we let it: through the umask, and never writable by the
// group or others, whatever the archive or a umask of 000 says.
uint32_t Tamed(uint32_t mode) { return mode & 0777 & ~ProcessUmask() & ~uint32_t(022); }
}  // namespace

uint32_t FileModeFromAttributes(uint32_t attributes) {
  // Only a regular file's mode is taken: a stored link (0777) or device is written as an ordinary
  // file.
  uint32_t type = (attributes >> 16) & 0170000;
  if ((attributes & FILE_ATTRIBUTE_UNIX_EXTENSION) && (type == 0100000 || type == 0)) return Tamed(attributes >> 16);
  uint32_t mode = Tamed(0666);
  if (attributes & FILE_ATTRIBUTE_READONLY) mode &= ~0222u;
  return mode;
}

int32_t FolderModeFromAttributes(uint32_t attributes) {
  if (attributes & FILE_ATTRIBUTE_UNIX_EXTENSION) return static_cast<int32_t>(Tamed(attributes >> 16));
  return -1;
}

uint32_t MadeFolderMode() { return Tamed(0755); }

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

uint32_t GetDriveType(const rtl::String&) { return DRIVE_FIXED; }

namespace {

THandle FailWith(uint32_t code) {
  SetLastErrorValue(code);
  return INVALID_HANDLE_VALUE;
}

// Why a component could not be opened as a folder: a link is "leaves the folder", anything else
// there or nothing at all is a path that is not found.
uint32_t FolderOpenError(THandle folder, const std::string& name, int e) {
  struct stat st;
  if (::fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) return ERROR_INVALID_NAME;
  if (e == ENOENT || e == ENOTDIR || e == ELOOP) return ERROR_PATH_NOT_FOUND;
  return WindowsErrorFromErrno(e);
}

constexpr int kFolderFlags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// openat2 resolves the whole path in the kernel, refusing links and escapes; older kernels and
// sandboxes without it get the walk below, which gives the same answers.
std::atomic<bool> gNoOpenat2{false};

THandle Openat2Beneath(THandle base, const std::string& rel) {
#ifdef SYS_openat2
  if (gNoOpenat2.load(std::memory_order_relaxed)) return INVALID_HANDLE_VALUE;
  struct open_how how {};
  how.flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
  long fd = ::syscall(SYS_openat2, base, rel.c_str(), &how, sizeof how);
  if (fd < 0 && (errno == ENOSYS || errno == EPERM)) gNoOpenat2 = true;
  return fd < 0 ? INVALID_HANDLE_VALUE : static_cast<THandle>(fd);
#else
  (void)base;
  (void)rel;
  return INVALID_HANDLE_VALUE;
#endif
}

}  // namespace

THandle OpenFolder(const rtl::String& path) {
  std::string p = path.empty() ? std::string(".") : rtl::U8(path);
  int fd = ::open(p.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return FailWith(errno == ENOENT || errno == ENOTDIR ? ERROR_PATH_NOT_FOUND : WindowsErrorFromErrno(errno));
  return fd;
}

THandle OpenFolderBelow(THandle base, std::string_view rel, bool create, std::vector<std::string>* created) {
  std::vector<std::string> parts;
  for (size_t start = 0; start <= rel.size();) {
    size_t end = rel.find('/', start);
    if (end == std::string_view::npos) end = rel.size();
    std::string_view part = rel.substr(start, end - start);
    if (part == "..") return FailWith(ERROR_INVALID_NAME);
    if (!part.empty() && part != ".") parts.emplace_back(part);
    start = end + 1;
  }
  std::string joined;
  for (const std::string& part : parts) joined += (joined.empty() ? "" : "/") + part;
  if (joined.empty()) joined = ".";
  THandle fd = Openat2Beneath(base, joined);
  if (fd != INVALID_HANDLE_VALUE) return fd;
  // One component at a time, each opened without following a link.
  int cur = ::openat(base, ".", kFolderFlags);
  if (cur < 0) return FailWith(WindowsErrorFromErrno(errno));
  std::string done;
  for (const std::string& part : parts) {
    done += (done.empty() ? "" : "/") + part;
    int next = ::openat(cur, part.c_str(), kFolderFlags);
    if (next < 0 && errno == ENOENT && create) {
      if (::mkdirat(cur, part.c_str(), MadeFolderMode()) == 0) {
        if (created) created->push_back(done);
      } else if (errno != EEXIST) {
        int e = errno;
        ::close(cur);
        return FailWith(WindowsErrorFromErrno(e));
      }
      next = ::openat(cur, part.c_str(), kFolderFlags);
    }
    if (next < 0) {
      uint32_t code = FolderOpenError(cur, part, errno);
      ::close(cur);
      return FailWith(code);
    }
    ::close(cur);
    cur = next;
  }
  return cur;
}

uint32_t CheckReplaceable(THandle folder, const std::string& name) {
  struct stat st;
  if (::fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
    return errno == ENOENT ? ERROR_SUCCESS : WindowsErrorFromErrno(errno);
  if (S_ISLNK(st.st_mode)) return ERROR_INVALID_NAME;
  // Root may write anything; a read-only file is still refused, as on Windows.
  if (S_ISDIR(st.st_mode) || !(st.st_mode & S_IWUSR)) return ERROR_ACCESS_DENIED;
  if (!S_ISREG(st.st_mode)) return ERROR_SUCCESS;
  // Only an open for writing tells a running program (ETXTBSY); it changes nothing.
  int fd = ::openat(folder, name.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return WindowsErrorFromErrno(errno);
  ::close(fd);
  return ERROR_SUCCESS;
}

THandle CreateTempFileIn(THandle folder, uint32_t attributes, std::string& tempName) {
  return CreateTempFileIn(folder, attributes, tempName, ".krv-", ".tmp");
}

THandle CreateTempFileIn(THandle folder, uint32_t attributes, std::string& tempName, const std::string& prefix,
                         const std::string& suffix) {
  static std::atomic<uint64_t> counter{0};
  uint32_t mode = FileModeFromAttributes(attributes);
  struct timespec now {};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  uint64_t seed = (uint64_t(::getpid()) << 40) ^ uint64_t(now.tv_nsec) ^ (uint64_t(now.tv_sec) << 20);
  for (int attempt = 0; attempt < 100; ++attempt) {
    char hex[20];
    std::snprintf(hex, sizeof hex, "%016llx",
                  static_cast<unsigned long long>((seed + counter++) * 0x9E3779B97F4A7C15ULL));
    const std::string name = prefix + hex + suffix;
    int fd = ::openat(folder, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd >= 0) {
      ::fchmod(fd, mode);  // open() applied the umask: the archive's bits exactly
      tempName = name;
      SetLastErrorValue(ERROR_SUCCESS);
      return fd;
    }
    if (errno != EEXIST) {
      if (errno == ENOENT) return FailWith(ERROR_PATH_NOT_FOUND);
      return FailWith(WindowsErrorFromErrno(errno));
    }
  }
  return FailWith(ERROR_FILE_EXISTS);
}

bool RenameIn(THandle fromFolder, const std::string& from, THandle toFolder, const std::string& to, unsigned flags) {
  unsigned sysFlags = (flags & kRenameNoReplace ? RENAME_NOREPLACE : 0) | (flags & kRenameExchange ? RENAME_EXCHANGE : 0);
  if (::renameat2(fromFolder, from.c_str(), toFolder, to.c_str(), sysFlags) == 0) return true;
  if (errno == EINVAL && (flags & kRenameExchange)) {
    SetLastErrorValue(ERROR_NOT_SUPPORTED);
    return false;
  }
  if (errno == EINVAL && (flags & kRenameNoReplace)) {
    // File systems without the flag: a hard link refuses an existing name too.
    if (::linkat(fromFolder, from.c_str(), toFolder, to.c_str(), 0) != 0) return Fail();
    return ::unlinkat(fromFolder, from.c_str(), 0) == 0 || Fail();
  }
  return Fail();
}

bool DeleteIn(THandle folder, const std::string& name) {
  if (::unlinkat(folder, name.c_str(), 0) == 0) return true;
  if (errno == EISDIR) return ::unlinkat(folder, name.c_str(), AT_REMOVEDIR) == 0 || Fail();
  return Fail();
}

bool SetModeIn(THandle folder, const std::string& name, uint32_t mode) {
  return ::fchmodat(folder, name.c_str(), mode & 0777, AT_SYMLINK_NOFOLLOW) == 0 || Fail();
}

namespace {

// A folder opened for listing (O_PATH descriptors cannot be read).
int OpenForListing(THandle folder, const std::string& rel) {
  THandle at = OpenFolderBelow(folder, rel, false);
  if (at == INVALID_HANDLE_VALUE) return -1;
  int fd = ::openat(at, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) SetLastErrorFromErrno(errno);
  ::close(at);
  return fd;
}

std::string Join(const std::vector<std::string>& parts, size_t count) {
  std::string rel;
  for (size_t i = 0; i < count; ++i) rel += (i ? "/" : "") + parts[i];
  return rel;
}

}  // namespace

bool ListFolderNames(THandle folder, std::vector<std::string>& names) {
  int listFd = ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* d = listFd >= 0 ? ::fdopendir(listFd) : nullptr;
  if (!d) {
    Fail();
    if (listFd >= 0) ::close(listFd);
    return false;
  }
  while (dirent* e = ::readdir(d))
    if (std::string_view(e->d_name) != "." && std::string_view(e->d_name) != "..") names.emplace_back(e->d_name);
  ::closedir(d);
  return true;
}

bool RemoveTreeIn(THandle folder, const std::string& name) {
  if (::unlinkat(folder, name.c_str(), 0) == 0 || errno == ENOENT) return true;
  if (errno != EISDIR) return Fail();
  // Depth first without recursion: the path of the folder being emptied is kept as names, and
  // each folder is opened again from the top (beneath folder, never through a link), so only a
  // few descriptors are open at any depth. Folders that cannot be emptied are remembered and
  // skipped, so the walk always ends.
  std::vector<std::string> path{name};
  std::vector<std::string> stuck;
  bool ok = true;
  uint32_t firstError = ERROR_SUCCESS;
  auto failHere = [&] {
    if (ok) firstError = GetLastErrorValue();
    ok = false;
  };
  while (!path.empty()) {
    const std::string rel = Join(path, path.size());
    const std::string parentRel = Join(path, path.size() - 1);
    THandle parent = OpenFolderBelow(folder, parentRel, false);
    if (parent == INVALID_HANDLE_VALUE) {
      failHere();
      break;
    }
    // Its own rights first: the archive may have made it read-only.
    ::fchmodat(parent, path.back().c_str(), 0700, AT_SYMLINK_NOFOLLOW);
    std::string descend;
    int fd = OpenForListing(folder, rel);
    std::vector<std::string> names;
    if (fd < 0 || !ListFolderNames(fd, names)) {
      failHere();
    } else {
      for (const std::string& n : names) {
        if (::unlinkat(fd, n.c_str(), 0) == 0 || errno == ENOENT) continue;
        if (errno != EISDIR) {
          Fail();
          failHere();
          continue;
        }
        const std::string child = rel + "/" + n;
        if (std::find(stuck.begin(), stuck.end(), child) == stuck.end()) {
          descend = n;
          break;
        }
      }
    }
    if (fd >= 0) ::close(fd);
    if (!descend.empty()) {
      ::close(parent);
      path.push_back(descend);
      continue;
    }
    if (::unlinkat(parent, path.back().c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT) {
      Fail();
      failHere();
      stuck.push_back(rel);
    }
    ::close(parent);
    path.pop_back();
  }
  if (!ok) SetLastErrorValue(firstError);
  return ok;
}

TEntryKind EntryKindIn(THandle folder, const std::string& name) {
  struct stat st;
  if (::fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return TEntryKind::None;
  if (S_ISREG(st.st_mode)) return TEntryKind::File;
  if (S_ISDIR(st.st_mode)) return TEntryKind::Folder;
  return S_ISLNK(st.st_mode) ? TEntryKind::Link : TEntryKind::Other;
}

THandle LockFolder(THandle folder, uint32_t waitMs) {
  int fd = ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return FailWith(WindowsErrorFromErrno(errno));
  struct timespec start {};
  ::clock_gettime(CLOCK_MONOTONIC, &start);
  while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    int e = errno;
    if (e == EINTR) continue;
    if (e != EWOULDBLOCK) {
      ::close(fd);
      return FailWith(WindowsErrorFromErrno(e));
    }
    struct timespec now {};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    int64_t elapsedMs = (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
    if (elapsedMs >= int64_t(waitMs)) {
      ::close(fd);
      return FailWith(ERROR_LOCK_VIOLATION);
    }
    // The holder is another process: nothing to wait on but time.
    ::usleep(50 * 1000);
  }
  return fd;
}

int32_t ModeIn(THandle folder, const std::string& name) {
  struct stat st;
  if (::fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    Fail();
    return -1;
  }
  return static_cast<int32_t>(st.st_mode & 07777);
}

bool MakeFolderIn(THandle folder, const std::string& name, uint32_t mode) {
  return ::mkdirat(folder, name.c_str(), mode & 0777) == 0 || Fail();
}

bool IsPrivateFolder(THandle folder) {
  struct stat st;
  return ::fstat(folder, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() && (st.st_mode & 077) == 0;
}

bool SameFileIn(THandle folder, const std::string& name, THandle file) {
  struct stat a, b;
  return ::fstatat(folder, name.c_str(), &a, AT_SYMLINK_NOFOLLOW) == 0 && ::fstat(file, &b) == 0 &&
         a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

THandle OpenFileIn(THandle folder, const std::string& name) {
  int fd = ::openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ELOOP) return FailWith(ERROR_INVALID_NAME);
    return FailWith(errno == ENOENT ? ERROR_FILE_NOT_FOUND : WindowsErrorFromErrno(errno));
  }
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return FailWith(ERROR_ACCESS_DENIED);
  }
  return fd;
}

bool SyncFolder(THandle folder) {
  int fd = ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return Fail();
  bool ok = ::fsync(fd) == 0 || Fail();
  ::close(fd);
  return ok;
}

bool SyncFileSystem(THandle folder) {
  // syncfs wants a descriptor opened for reading; an O_PATH one is refused.
  int fd = ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return Fail();
  bool ok = ::syncfs(fd) == 0 || Fail();
  ::close(fd);
  return ok;
}

}  // namespace platform

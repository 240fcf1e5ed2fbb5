// Files and folders over POSIX: descriptors, *at calls beneath an open folder, openat2 where the
// kernel has it, advisory flock locks.
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
#include <chrono>
#include <cstdio>
#include <thread>

#include "platform/LastError.h"
#include "platform/posix/Errors.h"

namespace platform {

namespace {

int Fd(TFileHandle h) { return static_cast<int>(static_cast<intptr_t>(h)); }
TFileHandle Handle(int fd) { return fd < 0 ? INVALID_FILE_HANDLE : TFileHandle(fd); }

bool Fail() {
  SetLastErrorFromErrno(errno);
  return false;
}

TFileHandle FailWith(uint32_t code) {
  SetLastErrorValue(code);
  return INVALID_FILE_HANDLE;
}

constexpr uint64_t kUnixEpochTicks = 116444736000000000ULL;

uint64_t FileTimeOf(const struct timespec& t) {
  return kUnixEpochTicks + static_cast<uint64_t>(t.tv_sec) * 10000000ULL + static_cast<uint64_t>(t.tv_nsec / 100);
}

TEntryKind KindOfMode(mode_t mode) {
  if (S_ISREG(mode)) return TEntryKind::File;
  if (S_ISDIR(mode)) return TEntryKind::Folder;
  return S_ISLNK(mode) ? TEntryKind::Link : TEntryKind::Other;
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

bool PathExists(const rtl::String& path) {
  if (path.empty()) return false;
  struct stat st;
  return ::lstat(rtl::U8(path).c_str(), &st) == 0;
}

TFileHandle CreateFileAlways(const rtl::String& path, uint32_t attributes) {
  std::string p = rtl::U8(path);
  uint32_t mode = FileModeFromAttributes(attributes);
  struct stat st;
  if (::stat(p.c_str(), &st) == 0) {
    // Root may write anything; a read-only file must still be refused, as on Windows.
    if (S_ISDIR(st.st_mode) || !(st.st_mode & S_IWUSR)) return FailWith(ERROR_ACCESS_DENIED);
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
      if (::stat(dir.c_str(), &ds) != 0 || !S_ISDIR(ds.st_mode)) return FailWith(ERROR_PATH_NOT_FOUND);
    }
    SetLastErrorFromErrno(e);
    return INVALID_FILE_HANDLE;
  }
  // open() applies the umask and leaves an existing file's mode: set the archive's bits exactly.
  ::fchmod(fd, mode);
  SetLastErrorValue(ERROR_SUCCESS);
  return Handle(fd);
}

TFileHandle OpenFileForRead(const rtl::String& path) {
  // Non-blocking: a FIFO under the name must not hold us until a writer comes.
  int fd = ::open(rtl::U8(path).c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    Fail();
    return INVALID_FILE_HANDLE;
  }
  struct stat st;
  if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    ::close(fd);
    return FailWith(ERROR_ACCESS_DENIED);
  }
  return Handle(fd);
}

bool CloseHandle(TFileHandle h) {
  if (Fd(h) < 0) {
    SetLastErrorValue(ERROR_INVALID_HANDLE);
    return false;
  }
  return ::close(Fd(h)) == 0 || Fail();
}

bool GetFileInfo(TFileHandle h, TFileInfo& info) {
  struct stat st;
  if (::fstat(Fd(h), &st) != 0) return Fail();
  info.Kind = KindOfMode(st.st_mode);
  info.Size = st.st_size;
  info.LastWriteTime = FileTimeOf(st.st_mtim);
  info.FileId = st.st_ino;
  return true;
}

int64_t GetFileSizeOfHandle(TFileHandle h) {
  struct stat st;
  if (::fstat(Fd(h), &st) != 0) {
    Fail();
    return -1;
  }
  return st.st_size;
}

bool ReadFileAt(TFileHandle h, int64_t offset, void* buffer, uint32_t size, uint32_t* done) {
  *done = 0;
  if (offset < 0) {
    SetLastErrorValue(ERROR_INVALID_PARAMETER);
    return false;
  }
  auto* p = static_cast<uint8_t*>(buffer);
  while (*done < size) {
    ssize_t n = ::pread(Fd(h), p + *done, size - *done, offset + *done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Fail();
    }
    if (n == 0) break;
    *done += static_cast<uint32_t>(n);
  }
  return true;
}

bool WriteFileAt(TFileHandle h, int64_t offset, const void* buffer, uint32_t size, uint32_t* done) {
  *done = 0;
  if (offset < 0) {
    SetLastErrorValue(ERROR_INVALID_PARAMETER);
    return false;
  }
  auto* p = static_cast<const uint8_t*>(buffer);
  while (*done < size) {
    ssize_t n = ::pwrite(Fd(h), p + *done, size - *done, offset + *done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Fail();
    }
    *done += static_cast<uint32_t>(n);
  }
  return true;
}

bool SetFileLastWriteTime(TFileHandle h, uint64_t fileTimeUtc) {
  int64_t ticks = static_cast<int64_t>(fileTimeUtc - kUnixEpochTicks);
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
  return ::futimens(Fd(h), ts) == 0 || Fail();
}

bool SyncFile(TFileHandle h) { return ::fsync(Fd(h)) == 0 || Fail(); }

TFileHandle StandardOutput() {
  int fd = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0);
  if (fd < 0) Fail();
  return Handle(fd);
}

bool SetPathMode(const rtl::String& path, uint32_t mode) {
  return ::chmod(rtl::U8(path).c_str(), mode & 0777) == 0 || Fail();
}

uint32_t GetDriveType(const rtl::String&) { return DRIVE_FIXED; }

namespace {

// Why a component could not be opened as a folder: a link is "leaves the folder", anything else
// there or nothing at all is a path that is not found.
uint32_t FolderOpenError(int folder, const std::string& name, int e) {
  struct stat st;
  if (::fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) return ERROR_INVALID_NAME;
  if (e == ENOENT || e == ENOTDIR || e == ELOOP) return ERROR_PATH_NOT_FOUND;
  return WindowsErrorFromErrno(e);
}

constexpr int kFolderFlags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// openat2 resolves the whole path in the kernel, refusing links and escapes; older kernels and
// sandboxes without it get the walk below, which gives the same answers.
std::atomic<bool> gNoOpenat2{false};

int Openat2Beneath(int base, const std::string& rel) {
#ifdef SYS_openat2
  if (gNoOpenat2.load(std::memory_order_relaxed)) return -1;
  struct open_how how {};
  how.flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
  long fd = ::syscall(SYS_openat2, base, rel.c_str(), &how, sizeof how);
  if (fd < 0 && (errno == ENOSYS || errno == EPERM)) gNoOpenat2 = true;
  return fd < 0 ? -1 : static_cast<int>(fd);
#else
  (void)base;
  (void)rel;
  return -1;
#endif
}

// A descriptor of the folder that can be read (listed, synced, locked): O_PATH ones cannot.
int OpenReadable(TFileHandle folder) { return ::openat(Fd(folder), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC); }

}  // namespace

TFileHandle OpenFolder(const rtl::String& path) {
  std::string p = path.empty() ? std::string(".") : rtl::U8(path);
  int fd = ::open(p.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return FailWith(errno == ENOENT || errno == ENOTDIR ? ERROR_PATH_NOT_FOUND : WindowsErrorFromErrno(errno));
  return Handle(fd);
}

TFileHandle OpenFolderBelow(TFileHandle base, std::string_view rel, bool create, std::vector<std::string>* created) {
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
  int fd = Openat2Beneath(Fd(base), joined);
  if (fd >= 0) return Handle(fd);
  // One component at a time, each opened without following a link.
  int cur = ::openat(Fd(base), ".", kFolderFlags);
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
  return Handle(cur);
}

TEntryKind EntryKindIn(TFileHandle folder, const std::string& name) {
  struct stat st;
  if (::fstatat(Fd(folder), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return TEntryKind::None;
  return KindOfMode(st.st_mode);
}

bool ListFolder(TFileHandle folder, std::vector<TFolderEntry>& entries) {
  int listFd = OpenReadable(folder);
  DIR* d = listFd >= 0 ? ::fdopendir(listFd) : nullptr;
  if (!d) {
    Fail();
    if (listFd >= 0) ::close(listFd);
    return false;
  }
  while (dirent* e = ::readdir(d)) {
    std::string_view name(e->d_name);
    if (name == "." || name == "..") continue;
    TEntryKind kind = e->d_type == DT_REG   ? TEntryKind::File
                      : e->d_type == DT_DIR ? TEntryKind::Folder
                      : e->d_type == DT_LNK ? TEntryKind::Link
                                            : TEntryKind::Other;
    // File systems that do not tell the type in the listing are asked per name.
    if (e->d_type == DT_UNKNOWN) kind = EntryKindIn(folder, e->d_name);
    entries.push_back({std::string(name), kind});
  }
  ::closedir(d);
  return true;
}

uint32_t CheckReplaceable(TFileHandle folder, const std::string& name) {
  struct stat st;
  if (::fstatat(Fd(folder), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
    return errno == ENOENT ? ERROR_SUCCESS : WindowsErrorFromErrno(errno);
  if (S_ISLNK(st.st_mode)) return ERROR_INVALID_NAME;
  // Root may write anything; a read-only file is still refused, as on Windows.
  if (S_ISDIR(st.st_mode) || !(st.st_mode & S_IWUSR)) return ERROR_ACCESS_DENIED;
  // Only a program can be running, and only one with an execute bit can have been started.
  if (!S_ISREG(st.st_mode) || !(st.st_mode & 0111)) return ERROR_SUCCESS;
  // Only an open for writing tells a running program (ETXTBSY); it changes nothing.
  int fd = ::openat(Fd(folder), name.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return WindowsErrorFromErrno(errno);
  ::close(fd);
  return ERROR_SUCCESS;
}

TFileHandle CreateTempFileIn(TFileHandle folder, uint32_t attributes, std::string& tempName) {
  return CreateTempFileIn(folder, attributes, tempName, ".krv-", ".tmp");
}

TFileHandle CreateTempFileIn(TFileHandle folder, uint32_t attributes, std::string& tempName, const std::string& prefix,
                             const std::string& suffix) {
  static std::atomic<uint64_t> counter{0};
  static const uint64_t pid = uint64_t(::getpid());  // one system call a process, not a file
  uint32_t mode = FileModeFromAttributes(attributes);
  struct timespec now {};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  uint64_t seed = (pid << 40) ^ uint64_t(now.tv_nsec) ^ (uint64_t(now.tv_sec) << 20);
  for (int attempt = 0; attempt < 100; ++attempt) {
    char hex[20];
    std::snprintf(hex, sizeof hex, "%016llx",
                  static_cast<unsigned long long>((seed + counter++) * 0x9E3779B97F4A7C15ULL));
    const std::string name = prefix + hex + suffix;
    int fd = ::openat(Fd(folder), name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd >= 0) {
      // open() applied the umask: the archive's bits exactly (the mode is already within the
      // umask read at start, so this is needed only if the umask was changed since).
      if (mode & ProcessUmask()) ::fchmod(fd, mode);
      tempName = name;
      SetLastErrorValue(ERROR_SUCCESS);
      return Handle(fd);
    }
    if (errno != EEXIST) {
      if (errno == ENOENT) return FailWith(ERROR_PATH_NOT_FOUND);
      return FailWith(WindowsErrorFromErrno(errno));
    }
  }
  return FailWith(ERROR_FILE_EXISTS);
}

TFileHandle OpenFileIn(TFileHandle folder, const std::string& name) {
  int fd = ::openat(Fd(folder), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ELOOP) return FailWith(ERROR_INVALID_NAME);
    return FailWith(errno == ENOENT ? ERROR_FILE_NOT_FOUND : WindowsErrorFromErrno(errno));
  }
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return FailWith(ERROR_ACCESS_DENIED);
  }
  return Handle(fd);
}

bool SameFileIn(TFileHandle folder, const std::string& name, TFileHandle file) {
  struct stat a, b;
  return ::fstatat(Fd(folder), name.c_str(), &a, AT_SYMLINK_NOFOLLOW) == 0 && ::fstat(Fd(file), &b) == 0 &&
         a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

int32_t ModeIn(TFileHandle folder, const std::string& name) {
  struct stat st;
  if (::fstatat(Fd(folder), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    Fail();
    return -1;
  }
  return static_cast<int32_t>(st.st_mode & 07777);
}

bool SetModeIn(TFileHandle folder, const std::string& name, uint32_t mode) {
  return ::fchmodat(Fd(folder), name.c_str(), mode & 0777, AT_SYMLINK_NOFOLLOW) == 0 || Fail();
}

bool MakeFolderIn(TFileHandle folder, const std::string& name, uint32_t mode) {
  return ::mkdirat(Fd(folder), name.c_str(), mode & 0777) == 0 || Fail();
}

bool InheritAccessIn(TFileHandle folder, const std::string& name) {
  (void)folder;
  (void)name;
  return true;  // a file's mode is its own, wherever it is moved
}

bool IsPrivateFolder(TFileHandle folder) {
  struct stat st;
  return ::fstat(Fd(folder), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() && (st.st_mode & 077) == 0;
}

bool RenameIn(TFileHandle fromFolder, const std::string& from, TFileHandle toFolder, const std::string& to,
              TRenameMode mode) {
  const unsigned flags = mode == TRenameMode::NoReplace  ? RENAME_NOREPLACE
                         : mode == TRenameMode::Exchange ? RENAME_EXCHANGE
                                                         : 0;
  if (::renameat2(Fd(fromFolder), from.c_str(), Fd(toFolder), to.c_str(), flags) == 0) return true;
  if (errno == EINVAL && mode == TRenameMode::Exchange) {
    SetLastErrorValue(ERROR_NOT_SUPPORTED);
    return false;
  }
  if (errno == EINVAL && mode == TRenameMode::NoReplace) {
    // File systems without the flag: a hard link refuses an existing name too.
    if (::linkat(Fd(fromFolder), from.c_str(), Fd(toFolder), to.c_str(), 0) != 0) return Fail();
    return ::unlinkat(Fd(fromFolder), from.c_str(), 0) == 0 || Fail();
  }
  return Fail();
}

bool DeleteIn(TFileHandle folder, const std::string& name) {
  if (::unlinkat(Fd(folder), name.c_str(), 0) == 0) return true;
  if (errno == EISDIR) return ::unlinkat(Fd(folder), name.c_str(), AT_REMOVEDIR) == 0 || Fail();
  return Fail();
}

namespace {

std::string Join(const std::vector<std::string>& parts, size_t count) {
  std::string rel;
  for (size_t i = 0; i < count; ++i) rel += (i ? "/" : "") + parts[i];
  return rel;
}

}  // namespace

bool RemoveTreeIn(TFileHandle folder, const std::string& name) {
  if (::unlinkat(Fd(folder), name.c_str(), 0) == 0 || errno == ENOENT) return true;
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
    TOwnedFile parent(OpenFolderBelow(folder, Join(path, path.size() - 1), false));
    if (!parent.Valid()) {
      failHere();
      break;
    }
    // Its own rights first: the archive may have made it read-only.
    ::fchmodat(Fd(parent.Get()), path.back().c_str(), 0700, AT_SYMLINK_NOFOLLOW);
    std::string descend;
    TOwnedFile here(OpenFolderBelow(folder, rel, false));
    std::vector<TFolderEntry> entries;
    if (!here.Valid() || !ListFolder(here.Get(), entries)) {
      failHere();
    } else {
      for (const TFolderEntry& e : entries) {
        if (::unlinkat(Fd(here.Get()), e.Name.c_str(), 0) == 0 || errno == ENOENT) continue;
        if (errno != EISDIR) {
          Fail();
          failHere();
          continue;
        }
        const std::string child = rel + "/" + e.Name;
        if (std::find(stuck.begin(), stuck.end(), child) == stuck.end()) {
          descend = e.Name;
          break;
        }
      }
    }
    here.Reset();
    if (!descend.empty()) {
      path.push_back(descend);
      continue;
    }
    if (::unlinkat(Fd(parent.Get()), path.back().c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT) {
      Fail();
      failHere();
      stuck.push_back(rel);
    }
    path.pop_back();
  }
  if (!ok) SetLastErrorValue(firstError);
  return ok;
}

TFileHandle LockFolder(TFileHandle folder, uint32_t waitMs) {
  int fd = OpenReadable(folder);
  if (fd < 0) return FailWith(WindowsErrorFromErrno(errno));
  // The holder is another process, with nothing to wait on but time: short pauses first, so a
  // lock given up at once is taken at once, then 50 ms ones.
  const auto start = std::chrono::steady_clock::now();
  auto pause = std::chrono::milliseconds(1);
  while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    int e = errno;
    if (e == EINTR) continue;
    if (e != EWOULDBLOCK) {
      ::close(fd);
      return FailWith(WindowsErrorFromErrno(e));
    }
    const auto elapsed = std::chrono::steady_clock::now() - start;
    if (elapsed >= std::chrono::milliseconds(waitMs)) {
      ::close(fd);
      return FailWith(ERROR_LOCK_VIOLATION);
    }
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
        pause, std::chrono::milliseconds(waitMs) - elapsed));
    pause = std::min(pause * 2, std::chrono::milliseconds(50));
  }
  return Handle(fd);
}

bool SyncFolder(TFileHandle folder) {
  int fd = OpenReadable(folder);
  if (fd < 0) return Fail();
  bool ok = ::fsync(fd) == 0 || Fail();
  ::close(fd);
  return ok;
}

bool SyncFileSystem(TFileHandle folder) {
  // syncfs wants a descriptor opened for reading; an O_PATH one is refused.
  int fd = OpenReadable(folder);
  if (fd < 0) return Fail();
  bool ok = ::syncfs(fd) == 0 || Fail();
  ::close(fd);
  return ok;
}

}  // namespace platform

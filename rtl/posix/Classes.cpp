// Streams over files on POSIX: descriptors, and the share modes as flock locks.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "rtl/Classes.h"

namespace rtl {

namespace {
int Fd(intptr_t handle) { return static_cast<int>(handle); }
}  // namespace

THandleStream::~THandleStream() {
  if (FHandle >= 0) ::close(Fd(FHandle));
}

int64_t THandleStream::Read(void* buffer, int64_t count) {
  if (count <= 0) return 0;
  auto* p = static_cast<uint8_t*>(buffer);
  int64_t done = 0;
  while (done < count) {
    ssize_t n = ::read(Fd(FHandle), p + done, static_cast<size_t>(std::min<int64_t>(count - done, 1 << 30)));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += n;
  }
  return done;
}

int64_t THandleStream::Write(const void* buffer, int64_t count) {
  if (count <= 0) return 0;
  const auto* p = static_cast<const uint8_t*>(buffer);
  int64_t done = 0;
  while (done < count) {
    ssize_t n = ::write(Fd(FHandle), p + done, static_cast<size_t>(std::min<int64_t>(count - done, 1 << 30)));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += n;
  }
  return done;
}

int64_t THandleStream::Seek(int64_t offset, TSeekOrigin origin) {
  int whence = origin == soBeginning ? SEEK_SET : (origin == soCurrent ? SEEK_CUR : SEEK_END);
  off_t r = ::lseek(Fd(FHandle), offset, whence);
  return r < 0 ? -1 : static_cast<int64_t>(r);
}

void THandleStream::SetSize(int64_t newSize) {
  int64_t pos = Position();
  if (::ftruncate(Fd(FHandle), newSize) != 0) throw EStreamError(u"Stream size error: " + SysErrorMessage(errno));
  if (pos > newSize) Seek(newSize, soBeginning);
}

namespace {
int OpenFile(const String& fileName, uint16_t mode, uint32_t rights, bool& created) {
  std::string path = StringToUtf8(fileName);
  int flags = O_CLOEXEC;
  created = (mode & 0xFF00) == fmCreate;
  if (created) flags |= O_RDWR | O_CREAT | O_TRUNC;
  else if ((mode & 3) == fmOpenWrite) flags |= O_WRONLY;
  else if ((mode & 3) == fmOpenReadWrite) flags |= O_RDWR;
  else flags |= O_RDONLY;
  int fd = ::open(path.c_str(), flags, rights);
  if (fd < 0) return -1;
  struct stat st;
  if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    ::close(fd);
    errno = EISDIR;
    return -1;
  }
  uint16_t share = mode & 0xF0;
  int lock = 0;
  if (share == fmShareExclusive) lock = LOCK_EX;
  else if (share == fmShareDenyWrite || share == fmShareDenyRead) lock = LOCK_SH;
  if (lock && ::flock(fd, lock | LOCK_NB) != 0) {
    int e = errno;
    ::close(fd);
    errno = e;
    return -1;
  }
  return fd;
}
}  // namespace

TFileStream::TFileStream(const String& fileName, uint16_t mode, uint32_t rights)
    : THandleStream(-1), FFileName(fileName) {
  bool create;
  FHandle = OpenFile(fileName, mode, rights, create);
  if (FHandle < 0) {
    String reason = SysErrorMessage(errno);
    if (create)
      throw EFCreateError(Format(u"Cannot create file \"%s\". %s", {fileName, reason}));
    throw EFOpenError(Format(u"Cannot open file \"%s\". %s", {fileName, reason}));
  }
}

}  // namespace rtl

#include "KeyFiles.h"

#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/Files.h"

namespace krvsign {

namespace {

[[noreturn]] void FailErrno(const std::string& AWhat) { Fail(AWhat + ": " + std::strerror(errno)); }

bool WriteAll(int AFd, const void* AData, size_t ASize) {
  auto* p = static_cast<const char*>(AData);
  while (ASize > 0) {
    ssize_t n = ::write(AFd, p, ASize);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    ASize -= size_t(n);
  }
  return true;
}

// Closes a file just written; when writing it (AOk false, errno telling why) or closing it failed,
// or when AFd is -1 (a later step failed), removes APath and fails naming AName.
void CloseWritten(int AFd, bool AOk, const std::string& APath, const std::string& AName) {
  int e = errno;
  if (AFd >= 0 && ::close(AFd) != 0 && AOk) {
    AOk = false;
    e = errno;
  }
  if (AOk && AFd >= 0) return;
  ::unlink(APath.c_str());
  errno = e;
  FailErrno("cannot write " + AName);
}

}  // namespace

void UseBinaryOutput() {}

void WriteNewKeyFile(const std::string& APath, std::string_view AData) {
  int fd = ::open(APath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0 && errno == EEXIST) Fail(APath + " exists; a key file is never overwritten");
  if (fd < 0) FailErrno("cannot create " + APath);
  // The umask can only take bits away; make it exactly owner read and write.
  bool ok = ::fchmod(fd, 0600) == 0 && WriteAll(fd, AData.data(), AData.size()) && ::fsync(fd) == 0;
  CloseWritten(fd, ok, APath, APath);
}

std::string ReadKeyFile(const std::string& APath) {
  int fd = ::open(APath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) FailErrno("cannot open " + APath);
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    Fail(APath + " is not a regular file");
  }
  std::string pem;
  char buf[4096];
  pem.reserve(65536 + sizeof(buf));  // no reallocation leaves a copy of the key behind
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof(buf));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    pem.append(buf, size_t(n));
    if (pem.size() > 65536) break;
  }
  Wipe(buf, sizeof(buf));
  ::close(fd);
  return pem;
}

void WriteReplacing(const std::string& APath, std::string_view AText) {
  std::string temp = APath + ".XXXXXX";
  int fd = ::mkstemp(temp.data());
  if (fd < 0) FailErrno("cannot create a file beside " + APath);
  bool ok = ::fchmod(fd, 0644 & ~platform::ProcessUmask()) == 0 && WriteAll(fd, AText.data(), AText.size()) &&
            ::fsync(fd) == 0;
  CloseWritten(fd, ok, temp, APath);
  if (::rename(temp.c_str(), APath.c_str()) != 0) CloseWritten(-1, false, temp, APath);
}

void Wipe(void* AData, size_t ASize) { ::explicit_bzero(AData, ASize); }

}  // namespace krvsign

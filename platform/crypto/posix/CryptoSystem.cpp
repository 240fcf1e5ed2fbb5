// The signature services on POSIX: OpenSSL in the module libkrvcrypto.so, opened on first use
// (programs that never check a signature never load it), and files read through descriptors.
#include "platform/crypto/CryptoSystem.h"

#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>

#include "platform/Modules.h"

namespace platform::detail {

const TCryptoEngine& CryptoEngine() {
  static std::once_flag once;
  static TCryptoEngine engine;
  std::call_once(once, [] {
    TOwnModule m = LoadOwnModule("KRV_CRYPTO_MODULE", "libkrvcrypto.so", "krv_crypto_get_api",
                                 KRV_CRYPTO_API_VERSION, "signature");
    engine.Api = static_cast<const krv_crypto_api*>(m.Api);
    engine.Path = m.Path;
    engine.Error = m.Error;
  });
  return engine;
}

TRegularFile::TRegularFile(const rtl::String& AFileName) : FName(AFileName) {
  // O_NONBLOCK: a FIFO in the file's place must not block the open.
  int fd = ::open(rtl::U8(AFileName).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    int e = errno;
    if (e == ENOENT) throw ESignatureError(AFileName + u" does not exist");
    throw ESignatureError(AFileName + u" cannot be read: " + rtl::SysErrorMessage(e));
  }
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    throw ESignatureError(AFileName + u" is not a regular file");
  }
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  FHandle = fd;
  FSize = st.st_size;
}

TRegularFile::~TRegularFile() { ::close(int(FHandle)); }

size_t TRegularFile::Read(void* ABuffer, size_t ASize) {
  auto* p = static_cast<uint8_t*>(ABuffer);
  size_t done = 0;
  while (done < ASize) {
    ssize_t n = ::read(int(FHandle), p + done, ASize - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw ESignatureError(FName + u" cannot be read: " + rtl::SysErrorMessage(errno));
    if (n == 0) break;
    done += size_t(n);
  }
  return done;
}

void SecureZero(void* AData, size_t ASize) { ::explicit_bzero(AData, ASize); }

}  // namespace platform::detail

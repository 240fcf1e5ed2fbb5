#include "platform/Random.h"

#include <sys/random.h>

#include <cerrno>
#include <cstdint>

#include "platform/posix/Errors.h"

namespace platform {

bool GenerateRandomBytes(void* buffer, size_t size) {
  auto* p = static_cast<uint8_t*>(buffer);
  size_t got = 0;
  while (got < size) {
    ssize_t n = ::getrandom(p + got, size - got, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      SetLastErrorFromErrno(errno);
      return false;
    }
    got += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace platform

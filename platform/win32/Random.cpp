#include "platform/Random.h"

#include <cstdint>

#include "platform/LastError.h"

#include "rtl/win32/WinApi.h"
#include <bcrypt.h>

namespace platform {

bool GenerateRandomBytes(void* buffer, size_t size) {
  auto* p = static_cast<uint8_t*>(buffer);
  while (size > 0) {
    ULONG chunk = size > 0x40000000 ? 0x40000000 : static_cast<ULONG>(size);
    NTSTATUS status = BCryptGenRandom(nullptr, p, chunk, BCRYPT_USE_SYSTEM_PREFERRED_RNG);
    if (status < 0) {
      SetLastErrorValue(ERROR_GEN_FAILURE);
      return false;
    }
    p += chunk;
    size -= chunk;
  }
  return true;
}

}  // namespace platform

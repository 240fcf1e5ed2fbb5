// Internal to the signature services: the engine each operating system's room provides to the
// shared code (posix/: OpenSSL's module opened on first use; win32/: CNG and libgcrypt linked in).
#pragma once

#include "platform/crypto/CryptoEngine.h"
#include "platform/crypto/Signature.h"

namespace platform::detail {

struct TCryptoEngine {
  const krv_crypto_api* Api = nullptr;  // null when it cannot be had; Error says why
  rtl::String Path;                     // where a module came from (empty when linked in)
  rtl::String Error;
};
// Made once, on first use, thread-safely.
const TCryptoEngine& CryptoEngine();

}  // namespace platform::detail

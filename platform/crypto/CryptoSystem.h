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

// The value of one base64 digit (RFC 4648's standard alphabet), -1 for any other byte.
inline int Base64Digit(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace platform::detail

// Ed25519 private keys in PEM as a key file holds them (the Windows build reads them itself): any
// text ends in a seed or in a reason, never a crash; a seed read is written back as a key that
// reads as the same seed.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/crypto/Pkcs8.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  platform::TEd25519Seed seed{}, again{};
  std::string reason;
  if (!platform::ReadEd25519PrivateKeyPem(text, seed, reason)) {
    if (reason.empty()) std::abort();
    return 0;
  }
  if (!platform::ReadEd25519PrivateKeyPem(platform::Ed25519PrivateKeyPem(seed), again, reason) || again != seed)
    std::abort();
  return 0;
}

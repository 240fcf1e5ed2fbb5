// The signature engine on Windows: linked in (CNG and libgcrypt, CryptoEngine.cpp beside this
// file); there is no module to load.
#include "platform/crypto/CryptoSystem.h"

namespace platform::detail {

const TCryptoEngine& CryptoEngine() {
  static const TCryptoEngine engine{krv_crypto_get_api(), rtl::String(), rtl::String()};
  return engine;
}

}  // namespace platform::detail

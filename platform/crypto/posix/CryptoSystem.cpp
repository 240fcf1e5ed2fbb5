// The signature engine on POSIX: OpenSSL in the module libkrvcrypto.so, opened on first use
// (programs that never check a signature never load it).
#include "platform/crypto/CryptoSystem.h"

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

}  // namespace platform::detail

// The OpenSSL engine is the module libkrvtls.so beside the program (test builds: KRV_TLS_MODULE,
// then the one built with this library).
#include "netlib/transport/tls/clTlsProvider.h"

#include "platform/Modules.h"

namespace netlib {

TTlsProvider LoadTlsProvider() {
  platform::TOwnModule m =
      platform::LoadOwnModule("KRV_TLS_MODULE", "libkrvtls.so", "krv_tls_get_api", KRV_TLS_API_VERSION, "TLS");
  return TTlsProvider{static_cast<const krv_tls_api*>(m.Api), m.Path, m.Error};
}

}  // namespace netlib

// Internal: where the TLS engine of this system comes from. On POSIX the OpenSSL module of ours,
// opened on first need; on Windows Schannel, the system's own provider, linked in.
#pragma once

#include "netlib/transport/tls/clTlsEngine.h"
#include "rtl/SysUtils.h"

namespace netlib {

struct TTlsProvider {
  const krv_tls_api* Api = nullptr;  // null: not available, for Error's reason
  rtl::String Path;                  // the module's file, "" when linked in
  rtl::String Error;
};

TTlsProvider LoadTlsProvider();

}  // namespace netlib

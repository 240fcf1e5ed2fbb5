// A server's bytes from outside, cut into pieces, fed to a client TLS session of our engine with
// every certificate check switched off (so a hostile certificate is parsed and formatted, not
// refused early). The session must end in a clear error, a wait for more bytes or a finished
// handshake; every answer must keep to the engine's contract, and the certificate fields must be
// zero-terminated texts of the length they claim.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "netlib/transport/tls/clTlsEngine.h"
#include "netlib/transport/tls/clTlsNetworkStream.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

// Empties what the session has for the peer; the bytes are not looked at.
void Drain(const krv_tls_api& api, krv_tls_session* s) {
  char buffer[4096];
  for (int round = 0; round < 1000; ++round) {
    int pending = api.pending_out(s);
    Check(pending >= 0);
    if (pending == 0) return;
    int n = api.take_out(s, buffer, sizeof(buffer));
    Check(n > 0 && n <= static_cast<int>(sizeof(buffer)));
  }
  std::abort();  // a session that never stops producing output
}

void CheckFields(const krv_tls_api& api, krv_tls_session* s) {
  for (int field = KRV_TLS_FIELD_SUBJECT; field <= KRV_TLS_FIELD_CIPHER; ++field) {
    char small[8];
    std::memset(small, 'x', sizeof(small));
    int full = api.peer_field(s, field, small, sizeof(small));
    if (full < 0) continue;
    Check(std::memchr(small, 0, sizeof(small)) != nullptr);
    Check(std::strlen(small) == static_cast<size_t>(full < 7 ? full : 7));
  }
  char text[256];
  std::memset(text, 'x', sizeof(text));
  int code = api.verify_result(s, text, sizeof(text));
  Check(code >= 0);
  Check(std::memchr(text, 0, sizeof(text)) != nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const krv_tls_api& api = netlib::TlsApi();
  if (size < 1) return 0;
  // The first byte picks how the rest is cut: 1 to 256 bytes a piece.
  const size_t piece = static_cast<size_t>(data[0]) + 1;
  ++data;
  --size;

  krv_tls_settings settings{};
  settings.server_name = "localhost";
  // A folder that holds no certificate: looked into only when a chain is checked, whereas the
  // system's store would be parsed for every input.
  settings.ca_path = "/nonexistent/krv-fuzz-ca";
  settings.ignore = KRV_TLS_IGNORE_UNKNOWN_CA | KRV_TLS_IGNORE_NAME | KRV_TLS_IGNORE_DATE |
                    KRV_TLS_IGNORE_REVOCATION | KRV_TLS_IGNORE_USAGE;
  char err[256];
  krv_tls_session* s = api.create(&settings, err, sizeof(err));
  Check(s != nullptr);

  size_t at = 0;
  bool handshaking = true, failed = false;
  for (int step = 0; step < 100000 && !failed; ++step) {
    std::memset(err, 'x', sizeof(err));
    if (handshaking) {
      int r = api.handshake(s, err, sizeof(err));
      Drain(api, s);
      if (r == KRV_TLS_ERROR) {
        Check(std::memchr(err, 0, sizeof(err)) != nullptr && err[0] != 0);
        failed = true;
        break;
      }
      if (r == KRV_TLS_WANT_CERT) {
        Check(api.set_client_cert(s, nullptr, nullptr, err, sizeof(err)) == 0);
        continue;
      }
      if (r == KRV_TLS_OK) {
        handshaking = false;
        continue;
      }
      Check(r == KRV_TLS_WANT_READ);
    } else {
      char plain[1024];
      int r = api.read(s, plain, sizeof(plain), err, sizeof(err));
      Drain(api, s);
      if (r == KRV_TLS_ERROR || r == -KRV_TLS_CLOSED) {
        failed = true;
        break;
      }
      Check(r >= 0 && r <= static_cast<int>(sizeof(plain)));
      if (r > 0) continue;
    }
    if (at >= size) break;  // waits for bytes that never come: the caller's time-out ends it
    size_t n = size - at < piece ? size - at : piece;
    int taken = api.feed(s, data + at, static_cast<int>(n));
    Check(taken == static_cast<int>(n) || taken == KRV_TLS_ERROR);
    if (taken == KRV_TLS_ERROR) break;
    at += n;
  }
  CheckFields(api, s);
  api.destroy(s);
  return 0;
}

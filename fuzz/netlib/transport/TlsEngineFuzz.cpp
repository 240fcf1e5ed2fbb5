// A server's bytes from outside, cut into pieces, received by a client TLS session of our engine
// (through its receive function, as from a socket that has one piece at a time and then ends)
// with every certificate check switched off (so a hostile certificate is parsed and formatted, not
// refused early). The session must end in a clear error, a wait for more bytes or a finished
// handshake; every answer must keep to the engine's contract (buffered never receives), and the
// certificate fields must be zero-terminated texts of the length they claim.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "netlib/transport/tls/clTlsEngine.h"
#include "netlib/transport/tls/clTlsNetworkStream.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
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

// The socket: the bytes up to PieceEnd are there, then none for now; after the last one, the end.
struct TSource {
  const uint8_t* Data;
  size_t Size;
  size_t At = 0;
  size_t PieceEnd = 0;
  bool Holding = false;  // inside buffered, which must not receive
  size_t Sent = 0;
};

// Our records for the peer: counted, not looked at.
int Send(void* ctx, const void*, int size) {
  auto* src = static_cast<TSource*>(ctx);
  Check(size > 0);
  src->Sent += size_t(size);
  Check(src->Sent < (size_t(1) << 30));  // a session that never stops producing output
  return size;
}

int Receive(void* ctx, void* buffer, int size) {
  auto* src = static_cast<TSource*>(ctx);
  Check(!src->Holding && size > 0);
  if (src->At >= src->Size) return 0;
  if (src->At >= src->PieceEnd) return -1;
  size_t n = src->PieceEnd - src->At < size_t(size) ? src->PieceEnd - src->At : size_t(size);
  std::memcpy(buffer, src->Data + src->At, n);
  src->At += n;
  return static_cast<int>(n);
}

void CheckBuffered(const krv_tls_api& api, krv_tls_session* s, TSource& src) {
  src.Holding = true;
  int b = api.buffered(s);
  src.Holding = false;
  Check(b == 0 || b == 1);
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
#ifndef _WIN32
  // A folder that holds no certificate: looked into only when a chain is checked, whereas the
  // system's store would be parsed for every input (Schannel reads no folder: its store is the
  // system's, opened once).
  settings.ca_path = "/nonexistent/krv-fuzz-ca";
#endif
  settings.ignore = KRV_TLS_IGNORE_UNKNOWN_CA | KRV_TLS_IGNORE_NAME | KRV_TLS_IGNORE_DATE |
                    KRV_TLS_IGNORE_REVOCATION | KRV_TLS_IGNORE_USAGE;
  TSource src{data, size};
  settings.recv = Receive;
  settings.send = Send;
  settings.recv_ctx = &src;
  settings.read_buffer = 16896;
  char err[256];
  krv_tls_session* s = api.create(&settings, err, sizeof(err));
  Check(s != nullptr);

  bool handshaking = true, failed = false;
  for (int step = 0; step < 100000 && !failed; ++step) {
    std::memset(err, 'x', sizeof(err));
    if (handshaking) {
      int r = api.handshake(s, err, sizeof(err));
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
        CheckBuffered(api, s, src);
        continue;
      }
      Check(r == KRV_TLS_WANT_READ);
    } else {
      char plain[1024];
      int r = api.read(s, plain, sizeof(plain), err, sizeof(err));
      if (r == KRV_TLS_ERROR || r == -KRV_TLS_CLOSED) {
        failed = true;
        break;
      }
      Check(r >= 0 && r <= static_cast<int>(sizeof(plain)));
      CheckBuffered(api, s, src);
      if (r > 0) continue;
    }
    // The end was received: nothing more comes.
    if (src.At >= src.Size && src.PieceEnd >= src.Size) break;
    src.PieceEnd = src.Size - src.PieceEnd < piece ? src.Size : src.PieceEnd + piece;
  }
  CheckFields(api, s);
  api.destroy(s);
  return 0;
}

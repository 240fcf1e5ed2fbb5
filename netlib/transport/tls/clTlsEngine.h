// The boundary between the TLS network stream and the module that holds OpenSSL. The module is
// opened with dlopen on first need, so nothing that never speaks TLS loads libssl or libcrypto.
// Plain C types only: the two sides share no objects, only bytes and texts.
#pragma once

extern "C" {

enum {
  KRV_TLS_API_VERSION = 2,
  // Results of handshake / read / write.
  KRV_TLS_OK = 0,
  KRV_TLS_WANT_READ = 1,    // more bytes from the peer are needed
  KRV_TLS_WANT_CERT = 2,    // the server asks for a client certificate: call set_client_cert
  KRV_TLS_CLOSED = 3,       // the peer sent its closing message
  KRV_TLS_ERROR = -1,       // the text tells why
  // Checks a caller may switch off (bits of krv_tls_settings.ignore).
  KRV_TLS_IGNORE_UNKNOWN_CA = 1,
  KRV_TLS_IGNORE_NAME = 2,
  KRV_TLS_IGNORE_DATE = 4,
  KRV_TLS_IGNORE_REVOCATION = 8,
  KRV_TLS_IGNORE_USAGE = 16,
  // Fields of the server's certificate.
  KRV_TLS_FIELD_SUBJECT = 0,
  KRV_TLS_FIELD_ISSUER = 1,
  KRV_TLS_FIELD_NOT_BEFORE = 2,  // "YYYY-MM-DD hh:mm:ss" UTC
  KRV_TLS_FIELD_NOT_AFTER = 3,
  KRV_TLS_FIELD_SHA256 = 4,      // upper-case hex, bytes separated by ':'
  KRV_TLS_FIELD_PEM = 5,
  KRV_TLS_FIELD_PROTOCOL = 6,    // "TLSv1.3"
  KRV_TLS_FIELD_CIPHER = 7,
};

struct krv_tls_settings {
  const char* server_name;  // UTF-8; checked against the certificate, sent as SNI unless a literal
  const char* ca_file;      // PEM; with ca_path empty too: the system's trusted certificates
  const char* ca_path;
  unsigned ignore;          // KRV_TLS_IGNORE_* bits
  const char* cipher_list;  // TLS 1.2 ciphers; null: OpenSSL's default
  // The session takes the peer's bytes through this, straight into its own buffer: answers the
  // count, 0 at the peer's end, -1 when none are there now, -2 on a failure whose reason the
  // caller keeps. Required.
  int (*recv)(void* ctx, void* buffer, int size);
  void* recv_ctx;
  int read_buffer;  // the most bytes one recv asks for (0: one full record)
  // The session's records for the peer go straight to this, as they are made: the caller keeps
  // them (all of them) until the socket takes them; answers size, or -1 on a failure whose reason
  // the caller keeps. Required; called with recv_ctx.
  int (*send)(void* ctx, const void* data, int size);
};

typedef struct krv_tls_session krv_tls_session;

struct krv_tls_api {
  int version;
  // Null on failure with the reason in err.
  krv_tls_session* (*create)(const krv_tls_settings* settings, char* err, int err_size);
  void (*destroy)(krv_tls_session* s);
  // One step of the handshake: KRV_TLS_OK when complete, KRV_TLS_WANT_READ, KRV_TLS_WANT_CERT
  // or KRV_TLS_ERROR.
  int (*handshake)(krv_tls_session* s, char* err, int err_size);
  // The answer to KRV_TLS_WANT_CERT; null texts send no certificate. 0 or KRV_TLS_ERROR.
  int (*set_client_cert)(krv_tls_session* s, const char* cert_pem, const char* key_pem, char* err, int err_size);
  // Plain bytes out: a count above 0; 0 when more bytes from the peer are needed (also after
  // recv answered the peer's end without its closing message: the caller knows that end);
  // -KRV_TLS_CLOSED after the peer's closing message; KRV_TLS_ERROR with the reason.
  int (*read)(krv_tls_session* s, void* buffer, int size, char* err, int err_size);
  // Plain bytes in (all of them): the count, or -1 with the reason.
  int (*write)(krv_tls_session* s, const void* data, int size, char* err, int err_size);
  // Queues our closing message.
  void (*shutdown)(krv_tls_session* s);
  // True when a read would deliver something without receiving: plain bytes, or a whole record
  // received but not decoded yet (its bytes, the peer's close or a fault). Never receives.
  int (*buffered)(krv_tls_session* s);
  // The first failed check that was not switched off: its code (0 when none) and text.
  int (*verify_result)(krv_tls_session* s, char* text, int text_size);
  // A field of the server's certificate; answers the full length (the copy is cut to size - 1
  // and ends with a zero), -1 when there is no certificate.
  int (*peer_field)(krv_tls_session* s, int field, char* buffer, int size);
};

// The one symbol the module exports.
const krv_tls_api* krv_tls_get_api(void);
typedef const krv_tls_api* (*krv_tls_get_api_fn)(void);

}  // extern "C"

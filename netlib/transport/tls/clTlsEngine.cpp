// The OpenSSL side of the TLS network stream: one SSL object whose two BIOs call the stream: the
// peer's bytes come through its receive function, our records go to its send function, which
// keeps them for the socket. Nothing here touches a socket.
//
// OpenSSL's error queue is emptied after every failure, so the calls of the transfer (read,
// write) start with an empty queue without clearing it each time (that cost a few percent of a
// download).
#include "netlib/transport/tls/clTlsEngine.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <arpa/inet.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "platform/crypto/OpenSslText.h"

struct krv_tls_session {
  SSL_CTX* ctx = nullptr;
  SSL* ssl = nullptr;
  BIO* in = nullptr;   // the peer's side, both directions (owned by ssl)
  int (*recv)(void*, void*, int) = nullptr;
  int (*send)(void*, const void*, int) = nullptr;
  void* recv_ctx = nullptr;
  bool eof = false;    // recv answered the peer's end
  bool hold = false;   // no receiving now: only what the session holds is looked at
  unsigned ignore = 0;
  int verify_code = 0;  // first failed check not switched off
  bool cert_asked = false;
  bool cert_given = false;
  X509* client_cert = nullptr;
  EVP_PKEY* client_key = nullptr;
};

namespace {

int SessionIndex() {
  static int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
  return index;
}

bool Ignored(unsigned ignore, int code) {
  switch (code) {
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_CERT_UNTRUSTED:
      return ignore & KRV_TLS_IGNORE_UNKNOWN_CA;
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
      return ignore & KRV_TLS_IGNORE_NAME;
    case X509_V_ERR_CERT_NOT_YET_VALID:
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_ERROR_IN_CERT_NOT_BEFORE_FIELD:
    case X509_V_ERR_ERROR_IN_CERT_NOT_AFTER_FIELD:
      return ignore & KRV_TLS_IGNORE_DATE;
    case X509_V_ERR_CERT_REVOKED:
    case X509_V_ERR_UNABLE_TO_GET_CRL:
    case X509_V_ERR_CRL_HAS_EXPIRED:
    case X509_V_ERR_CRL_NOT_YET_VALID:
      return ignore & KRV_TLS_IGNORE_REVOCATION;
    // Key usage and purpose only: a certificate that is not a CA never signs another
    // (X509_V_ERR_INVALID_CA stays fatal whatever the caller switched off).
    case X509_V_ERR_INVALID_PURPOSE:
    case X509_V_ERR_KEYUSAGE_NO_CERTSIGN:
      return ignore & KRV_TLS_IGNORE_USAGE;
    default:
      return false;
  }
}

// Every failed check is noted; the handshake goes on so that the verdict (with the server's
// certificate at hand) is taken once it is complete.
int VerifyCallback(int ok, X509_STORE_CTX* store) {
  if (ok) return 1;
  SSL* ssl = static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
  auto* s = ssl ? static_cast<krv_tls_session*>(SSL_get_ex_data(ssl, SessionIndex())) : nullptr;
  int code = X509_STORE_CTX_get_error(store);
  if (s && s->verify_code == 0 && !Ignored(s->ignore, code)) s->verify_code = code;
  return 1;
}

int ClientCertCallback(SSL* ssl, X509** x509, EVP_PKEY** pkey) {
  auto* s = static_cast<krv_tls_session*>(SSL_get_ex_data(ssl, SessionIndex()));
  if (!s) return 0;
  if (!s->cert_given) {
    s->cert_asked = true;
    return -1;  // the handshake stops with SSL_ERROR_WANT_X509_LOOKUP until the caller answers
  }
  if (!s->client_cert || !s->client_key) return 0;
  // The library frees what it is given.
  X509_up_ref(s->client_cert);
  EVP_PKEY_up_ref(s->client_key);
  *x509 = s->client_cert;
  *pkey = s->client_key;
  return 1;
}

// What tells a changed certificate file from the one a store was made of.
std::string FileStamp(const std::string& file) {
  struct stat st {};
  if (file.empty() || ::stat(file.c_str(), &st) != 0) return "-";
  return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino) + ":" + std::to_string(st.st_size) + ":" +
         std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec) + ":" +
         std::to_string(st.st_ctim.tv_sec) + "." + std::to_string(st.st_ctim.tv_nsec);
}

// The trusted certificates for a session, with a reference for the caller, or null. Parsing the
// system's bundle (some hundred certificates) costs tens of milliseconds, which every connection
// paid; a store is kept per file and folder, and made again when the file changes. Folders are
// looked into per certificate, when a chain is checked, so they need no stamp.
X509_STORE* TrustedStore(const char* caFile, const char* caPath) {
  std::string file = caFile ? caFile : "", path = caPath ? caPath : "";
  bool own = !file.empty() || !path.empty();
  std::string key = own ? "own\n" + file + "\n" + path : std::string("system");
  std::string stampOf = file;
  if (!own) {
    const char* env = std::getenv(X509_get_default_cert_file_env());
    stampOf = env && *env ? env : X509_get_default_cert_file();
    const char* dirEnv = std::getenv(X509_get_default_cert_dir_env());
    key += "\n" + stampOf + "\n" + (dirEnv ? dirEnv : X509_get_default_cert_dir());
  }
  std::string stamp = FileStamp(stampOf);

  struct TEntry {
    std::string Stamp;
    X509_STORE* Store;
  };
  // Never freed: sessions may be made until the process ends.
  static auto* lock = new std::mutex;
  static auto* stores = new std::map<std::string, TEntry>;
  std::lock_guard<std::mutex> guard(*lock);
  auto it = stores->find(key);
  if (it != stores->end() && it->second.Stamp == stamp) {
    X509_STORE_up_ref(it->second.Store);
    return it->second.Store;
  }
  X509_STORE* store = X509_STORE_new();
  bool ok = store && (own ? X509_STORE_load_locations(store, file.empty() ? nullptr : file.c_str(),
                                                      path.empty() ? nullptr : path.c_str()) == 1
                          : X509_STORE_set_default_paths(store) == 1);
  if (!ok) {
    X509_STORE_free(store);  // not kept: the next session tries again
    return nullptr;
  }
  if (it != stores->end()) {
    X509_STORE_free(it->second.Store);  // sessions that use it hold their own references
    it->second = {stamp, store};
  } else {
    stores->emplace(key, TEntry{stamp, store});
  }
  X509_STORE_up_ref(store);
  return store;
}

// The input BIO of a session with a receive function: every read goes straight to it.
int ReceiveRead(BIO* b, char* out, int size) {
  auto* s = static_cast<krv_tls_session*>(BIO_get_data(b));
  BIO_clear_retry_flags(b);
  if (!s || size <= 0) return 0;
  if (s->hold) {
    BIO_set_retry_read(b);
    return -1;
  }
  int n = s->recv(s->recv_ctx, out, size);
  if (n > 0) return n;
  if (n == 0) {
    s->eof = true;
    return 0;
  }
  if (n == -1) BIO_set_retry_read(b);
  return -1;
}

// The output BIO: every record goes to the caller's send function, which keeps it.
int SendWrite(BIO* b, const char* data, int size) {
  auto* s = static_cast<krv_tls_session*>(BIO_get_data(b));
  BIO_clear_retry_flags(b);
  if (!s || size <= 0) return 0;
  return s->send(s->recv_ctx, data, size) == size ? size : -1;
}

long PeerCtrl(BIO* b, int cmd, long, void*) {
  auto* s = static_cast<krv_tls_session*>(BIO_get_data(b));
  switch (cmd) {
    case BIO_CTRL_FLUSH: return 1;
    case BIO_CTRL_EOF: return s && s->eof ? 1 : 0;
    default: return 0;
  }
}

int PeerCreate(BIO* b) {
  BIO_set_init(b, 1);
  return 1;
}

// The BIO method of the peer's side: reads through recv, writes through send.
const BIO_METHOD* PeerMethod() {
  static BIO_METHOD* method = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "krv peer");
    if (m) {
      BIO_meth_set_read(m, ReceiveRead);
      BIO_meth_set_write(m, SendWrite);
      BIO_meth_set_ctrl(m, PeerCtrl);
      BIO_meth_set_create(m, PeerCreate);
    }
    return m;
  }();
  return method;
}

void Destroy(krv_tls_session* s) {
  if (!s) return;
  if (s->ssl) SSL_free(s->ssl);  // frees both BIOs
  if (s->ctx) SSL_CTX_free(s->ctx);
  X509_free(s->client_cert);
  EVP_PKEY_free(s->client_key);
  delete s;
}

bool IsIpLiteral(const char* name) {
  unsigned char buf[16];
  return inet_pton(AF_INET, name, buf) == 1 || inet_pton(AF_INET6, name, buf) == 1;
}

krv_tls_session* Create(const krv_tls_settings* settings, char* err, int errSize) {
  ERR_clear_error();
  auto* s = new krv_tls_session;
  auto fail = [&](const char* what) -> krv_tls_session* {
    platform::CopyCText(platform::OpenSslErrorText(what), err, errSize);
    Destroy(s);
    return nullptr;
  };
  s->ignore = settings->ignore;
  s->ctx = SSL_CTX_new(TLS_client_method());
  if (!s->ctx) return fail("cannot create the TLS context");
  // TLS 1.2 and 1.3 only, whatever the caller's protocol flags name.
  SSL_CTX_set_min_proto_version(s->ctx, TLS1_2_VERSION);
  SSL_CTX_set_mode(s->ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  if (settings->cipher_list && *settings->cipher_list &&
      SSL_CTX_set_cipher_list(s->ctx, settings->cipher_list) != 1)
    return fail("no usable cipher in the cipher list");
  bool own = (settings->ca_file && *settings->ca_file) || (settings->ca_path && *settings->ca_path);
  X509_STORE* store = TrustedStore(settings->ca_file, settings->ca_path);
  if (!store) return fail(own ? "cannot load the trusted certificates" : "cannot load the system's trusted certificates");
  SSL_CTX_set1_cert_store(s->ctx, store);  // takes a reference of its own
  X509_STORE_free(store);
  SSL_CTX_set_verify(s->ctx, SSL_VERIFY_PEER, VerifyCallback);
  SSL_CTX_set_client_cert_cb(s->ctx, ClientCertCallback);
  s->ssl = SSL_new(s->ctx);
  if (!s->ssl) return fail("cannot create the TLS session");
  SSL_set_ex_data(s->ssl, SessionIndex(), s);
  s->recv = settings->recv;
  s->send = settings->send;
  s->recv_ctx = settings->recv_ctx;
  const BIO_METHOD* peer = PeerMethod();
  if (!s->recv || !s->send) return fail("the TLS session needs a receive and a send function");
  // One BIO for both directions: the peer's side.
  s->in = peer ? BIO_new(peer) : nullptr;
  if (!s->in) return fail("cannot create the TLS buffers");
  BIO_set_data(s->in, s);
  // As many bytes as the buffer takes with every receive, not a record header and then its body.
  SSL_set_read_ahead(s->ssl, 1);
  if (settings->read_buffer > 0) SSL_set_default_read_buffer_len(s->ssl, size_t(settings->read_buffer));
  SSL_set_bio(s->ssl, s->in, s->in);  // the one BIO is owned by the session for both sides
  const char* name = settings->server_name ? settings->server_name : "";
  if (*name) {
    if (IsIpLiteral(name)) {
      if (X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(s->ssl), name) != 1) return fail("invalid server address");
    } else {
      if (SSL_set_tlsext_host_name(s->ssl, name) != 1) return fail("invalid server name");
      if (SSL_set1_host(s->ssl, name) != 1) return fail("invalid server name");
    }
  }
  SSL_set_connect_state(s->ssl);
  ERR_clear_error();
  return s;
}

int Handshake(krv_tls_session* s, char* err, int errSize) {
  ERR_clear_error();
  int r = SSL_do_handshake(s->ssl);
  if (r == 1) return KRV_TLS_OK;
  switch (SSL_get_error(s->ssl, r)) {
    case SSL_ERROR_WANT_READ:
    case SSL_ERROR_WANT_WRITE:
      return KRV_TLS_WANT_READ;
    case SSL_ERROR_WANT_X509_LOOKUP:
      return KRV_TLS_WANT_CERT;
    case SSL_ERROR_ZERO_RETURN:
      platform::CopyCText("the server closed the session during the handshake", err, errSize);
      ERR_clear_error();
      return KRV_TLS_ERROR;
    default:
      if (s->eof) {
        ERR_clear_error();
        platform::CopyCText("the server closed the connection", err, errSize);
      } else {
        platform::CopyCText(platform::OpenSslErrorText("the handshake failed"), err, errSize);
      }
      return KRV_TLS_ERROR;
  }
}

int SetClientCert(krv_tls_session* s, const char* certPem, const char* keyPem, char* err, int errSize) {
  ERR_clear_error();
  s->cert_given = true;
  if (!certPem || !*certPem || !keyPem || !*keyPem) return KRV_TLS_OK;
  BIO* cb = BIO_new_mem_buf(certPem, -1);
  BIO* kb = BIO_new_mem_buf(keyPem, -1);
  X509* cert = cb ? PEM_read_bio_X509(cb, nullptr, nullptr, nullptr) : nullptr;
  EVP_PKEY* key = kb ? PEM_read_bio_PrivateKey(kb, nullptr, nullptr, nullptr) : nullptr;
  BIO_free(cb);
  BIO_free(kb);
  if (!cert || !key || X509_check_private_key(cert, key) != 1) {
    platform::CopyCText(platform::OpenSslErrorText("the client certificate or its key is not valid PEM or they do not match"), err, errSize);
    X509_free(cert);
    EVP_PKEY_free(key);
    return KRV_TLS_ERROR;
  }
  s->client_cert = cert;
  s->client_key = key;
  ERR_clear_error();
  return KRV_TLS_OK;
}

int Read(krv_tls_session* s, void* buffer, int size, char* err, int errSize) {
  if (size <= 0) return 0;
  int r = SSL_read(s->ssl, buffer, size);
  if (r > 0) return r;
  switch (SSL_get_error(s->ssl, r)) {
    case SSL_ERROR_WANT_READ:
    case SSL_ERROR_WANT_WRITE:
      return 0;
    case SSL_ERROR_ZERO_RETURN:
      return -KRV_TLS_CLOSED;
    default:
      if (s->eof) {
        // The end without the closing message: whether that cut the data short is the caller's
        // to judge, who knows what it has had.
        ERR_clear_error();
        return 0;
      }
      platform::CopyCText(platform::OpenSslErrorText("the TLS record could not be read"), err, errSize);
      return KRV_TLS_ERROR;
  }
}

int Write(krv_tls_session* s, const void* data, int size, char* err, int errSize) {
  if (size <= 0) return 0;
  int done = 0;
  // The send function keeps every record it is handed, so partial writes only split the data into records.
  while (done < size) {
    int r = SSL_write(s->ssl, static_cast<const char*>(data) + done, size - done);
    if (r <= 0) {
      platform::CopyCText(platform::OpenSslErrorText("the TLS record could not be written"), err, errSize);
      return KRV_TLS_ERROR;
    }
    done += r;
  }
  return done;
}

void Shutdown(krv_tls_session* s) {
  ERR_clear_error();
  if (!(SSL_get_shutdown(s->ssl) & SSL_SENT_SHUTDOWN)) SSL_shutdown(s->ssl);
  ERR_clear_error();
}

int Buffered(krv_tls_session* s) {
  if (SSL_pending(s->ssl) > 0) return 1;
  if (!SSL_has_pending(s->ssl)) return 0;
  // Received bytes not decoded yet: whether they hold a whole record (which a read would deliver,
  // or report as the close or a fault) or only part of one, which needs the socket again.
  s->hold = true;
  char c;
  size_t n = 0;
  int r = SSL_peek_ex(s->ssl, &c, 1, &n);
  s->hold = false;
  int held = r == 1 || SSL_get_error(s->ssl, r) != SSL_ERROR_WANT_READ;
  ERR_clear_error();
  return held;
}

int VerifyResult(krv_tls_session* s, char* text, int size) {
  if (s->verify_code == 0) {
    platform::CopyCText("ok", text, size);
    return 0;
  }
  platform::CopyCText(X509_verify_cert_error_string(s->verify_code), text, size);
  return s->verify_code;
}

std::string Name(const X509_NAME* name) {
  BIO* b = BIO_new(BIO_s_mem());
  X509_NAME_print_ex(b, name, 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB);
  char* data = nullptr;
  long n = BIO_get_mem_data(b, &data);
  std::string r(data ? data : "", size_t(n > 0 ? n : 0));
  BIO_free(b);
  return r;
}

std::string Time(const ASN1_TIME* t) {
  struct tm tm {};
  if (!t || ASN1_TIME_to_tm(t, &tm) != 1) return "";
  char buf[64];
  std::snprintf(buf, sizeof(buf), "%04d-%02d-%02d %02d:%02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                tm.tm_hour, tm.tm_min, tm.tm_sec);
  return buf;
}

int PeerField(krv_tls_session* s, int field, char* buffer, int size) {
  std::string text;
  if (field == KRV_TLS_FIELD_PROTOCOL) {
    text = SSL_get_version(s->ssl);
  } else if (field == KRV_TLS_FIELD_CIPHER) {
    text = SSL_get_cipher_name(s->ssl);
  } else {
    X509* cert = SSL_get0_peer_certificate(s->ssl);
    if (!cert) return -1;
    switch (field) {
      case KRV_TLS_FIELD_SUBJECT: text = Name(X509_get_subject_name(cert)); break;
      case KRV_TLS_FIELD_ISSUER: text = Name(X509_get_issuer_name(cert)); break;
      case KRV_TLS_FIELD_NOT_BEFORE: text = Time(X509_get0_notBefore(cert)); break;
      case KRV_TLS_FIELD_NOT_AFTER: text = Time(X509_get0_notAfter(cert)); break;
      case KRV_TLS_FIELD_SHA256: {
        unsigned char md[EVP_MAX_MD_SIZE];
        unsigned int n = 0;
        if (X509_digest(cert, EVP_sha256(), md, &n) != 1) return -1;
        static const char hex[] = "0123456789ABCDEF";
        for (unsigned i = 0; i < n; ++i) {
          if (i) text += ':';
          text += hex[md[i] >> 4];
          text += hex[md[i] & 15];
        }
        break;
      }
      case KRV_TLS_FIELD_PEM: {
        BIO* b = BIO_new(BIO_s_mem());
        PEM_write_bio_X509(b, cert);
        char* data = nullptr;
        long n = BIO_get_mem_data(b, &data);
        text.assign(data ? data : "", size_t(n > 0 ? n : 0));
        BIO_free(b);
        break;
      }
      default: return -1;
    }
  }
  ERR_clear_error();
  platform::CopyCText(text, buffer, size);
  return int(text.size());
}

const krv_tls_api TheApi = {KRV_TLS_API_VERSION, Create,   Destroy,  Handshake,    SetClientCert, Read,
                            Write,               Shutdown, Buffered, VerifyResult, PeerField};

}  // namespace

extern "C" __attribute__((visibility("default"))) const krv_tls_api* krv_tls_get_api(void) { return &TheApi; }

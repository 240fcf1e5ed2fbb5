// Helpers of the TLS tests: a certificate authority and server certificates made at test time
// with the OpenSSL API, and a TLS peer on loopback (the transport tests' scripted server with a
// TLS session on the accepted socket).
#pragma once

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
// The OpenSSL peers use the system's sockets directly (these tests are Linux-only).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "../LoopbackServer.h"

namespace tls_test {

using transport_test::TLoopbackServer;

inline std::string PemOf(X509* c) {
  BIO* b = BIO_new(BIO_s_mem());
  PEM_write_bio_X509(b, c);
  char* d = nullptr;
  long n = BIO_get_mem_data(b, &d);
  std::string r(d, size_t(n));
  BIO_free(b);
  return r;
}

inline std::string PemOf(EVP_PKEY* k) {
  BIO* b = BIO_new(BIO_s_mem());
  PEM_write_bio_PrivateKey(b, k, nullptr, nullptr, 0, nullptr, nullptr);
  char* d = nullptr;
  long n = BIO_get_mem_data(b, &d);
  std::string r(d, size_t(n));
  BIO_free(b);
  return r;
}

struct TKeyPair {
  EVP_PKEY* Key = nullptr;
  X509* Cert = nullptr;
  TKeyPair() = default;
  TKeyPair(const TKeyPair&) = delete;
  TKeyPair& operator=(const TKeyPair&) = delete;
  ~TKeyPair() {
    X509_free(Cert);
    EVP_PKEY_free(Key);
  }
};

// A certificate for ACommonName with the subject names ASans ("DNS:localhost,IP:127.0.0.1"),
// valid from ADaysFrom to ADaysTo (relative to now), signed by AIssuer (self-signed when null).
// A leaf is for AUsage ("serverAuth,clientAuth" unless given).
inline std::unique_ptr<TKeyPair> MakeCert(const char* ACommonName, const char* ASans, long ADaysFrom, long ADaysTo,
                                          const TKeyPair* AIssuer, bool ACa, const char* AUsage = nullptr) {
  static long serial = 1;
  auto p = std::make_unique<TKeyPair>();
  p->Key = EVP_EC_gen("P-256");
  p->Cert = X509_new();
  X509_set_version(p->Cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(p->Cert), serial++);
  X509_gmtime_adj(X509_getm_notBefore(p->Cert), ADaysFrom * 86400);
  X509_gmtime_adj(X509_getm_notAfter(p->Cert), ADaysTo * 86400);
  X509_set_pubkey(p->Cert, p->Key);
  X509_NAME* name = X509_get_subject_name(p->Cert);
  X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("KRV test"), -1, -1, 0);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(ACommonName), -1, -1, 0);
  X509_set_issuer_name(p->Cert, AIssuer ? X509_get_subject_name(AIssuer->Cert) : name);
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, AIssuer ? AIssuer->Cert : p->Cert, p->Cert, nullptr, nullptr, 0);
  auto add = [&](int nid, const char* value) {
    X509_EXTENSION* e = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    if (e) {
      X509_add_ext(p->Cert, e, -1);
      X509_EXTENSION_free(e);
    }
  };
  if (ACa) {
    add(NID_basic_constraints, "critical,CA:TRUE");
    add(NID_key_usage, "critical,keyCertSign,cRLSign");
  } else {
    add(NID_basic_constraints, "CA:FALSE");
    add(NID_ext_key_usage, AUsage ? AUsage : "serverAuth,clientAuth");
    if (ASans && *ASans) add(NID_subject_alt_name, ASans);
  }
  X509_sign(p->Cert, AIssuer ? AIssuer->Key : p->Key, EVP_sha256());
  return p;
}

// The authority and the server certificates of one test program, made once.
struct TPki {
  std::unique_ptr<TKeyPair> Ca, Good, NameOnly, Expired, SelfSigned, Client, ClientOnly, Leaf, SignedByLeaf;
  std::string CaFile;
  TPki() {
    Ca = MakeCert("KRV Test CA", nullptr, -1, 30, nullptr, true);
    Good = MakeCert("localhost", "DNS:localhost,IP:127.0.0.1,IP:::1", -1, 30, Ca.get(), false);
    // Fit for clients only: a usage check fails.
    ClientOnly = MakeCert("localhost", "DNS:localhost,IP:127.0.0.1", -1, 30, Ca.get(), false, "clientAuth");
    // Signed by Leaf, which is no CA: served with Leaf as its chain.
    Leaf = MakeCert("krv leaf", "DNS:localhost", -1, 30, Ca.get(), false);
    SignedByLeaf = MakeCert("localhost", "DNS:localhost,IP:127.0.0.1", -1, 30, Leaf.get(), false);
    NameOnly = MakeCert("localhost", "DNS:localhost", -1, 30, Ca.get(), false);
    Expired = MakeCert("localhost", "DNS:localhost,IP:127.0.0.1", -30, -1, Ca.get(), false);
    SelfSigned = MakeCert("localhost", "DNS:localhost,IP:127.0.0.1", -1, 30, nullptr, false);
    Client = MakeCert("krv client", nullptr, -1, 30, Ca.get(), false);
    CaFile = std::string(KRV_BINARY_DIR) + "/tls-test-ca-" + std::to_string(::getpid()) + ".pem";
    FILE* f = std::fopen(CaFile.c_str(), "w");
    std::string pem = PemOf(Ca->Cert);
    std::fwrite(pem.data(), 1, pem.size(), f);
    std::fclose(f);
  }
  ~TPki() { std::remove(CaFile.c_str()); }
  static TPki& Get() {
    static TPki pki;
    return pki;
  }
};

// A TLS session on an accepted socket (blocking; the socket's receive time-out bounds it).
class TServerTls {
 public:
  // AChain: a certificate sent after the identity's own (its issuer).
  TServerTls(int fd, const TKeyPair& AIdentity, bool ARequireClientCert = false, const TKeyPair* AChain = nullptr) {
    FCtx = SSL_CTX_new(TLS_server_method());
    SSL_CTX_use_certificate(FCtx, AIdentity.Cert);
    SSL_CTX_use_PrivateKey(FCtx, AIdentity.Key);
    if (AChain) SSL_CTX_add1_chain_cert(FCtx, AChain->Cert);
    if (ARequireClientCert) {
      X509_STORE_add_cert(SSL_CTX_get_cert_store(FCtx), TPki::Get().Ca->Cert);
      SSL_CTX_set_verify(FCtx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    }
    FSsl = SSL_new(FCtx);
    SSL_set_fd(FSsl, fd);
  }
  ~TServerTls() {
    SSL_free(FSsl);
    SSL_CTX_free(FCtx);
  }
  bool Accept() { return SSL_accept(FSsl) == 1; }
  SSL* Ssl() { return FSsl; }
  bool Send(const std::string& s) { return s.empty() || SSL_write(FSsl, s.data(), int(s.size())) == int(s.size()); }
  // Reads until ATerminator was seen (or the peer's close, or an error).
  std::string ReadUntil(const std::string& ATerminator) {
    std::string r;
    char buf[4096];
    while (r.find(ATerminator) == std::string::npos) {
      int n = SSL_read(FSsl, buf, sizeof buf);
      if (n <= 0) break;
      r.append(buf, size_t(n));
    }
    return r;
  }
  // Reads to the end: true when the end was the peer's closing message.
  bool ReadToCloseNotify(std::string* AData = nullptr) {
    char buf[4096];
    for (;;) {
      int n = SSL_read(FSsl, buf, sizeof buf);
      if (n > 0) {
        if (AData) AData->append(buf, size_t(n));
        continue;
      }
      return SSL_get_error(FSsl, n) == SSL_ERROR_ZERO_RETURN;
    }
  }
  void Shutdown() { SSL_shutdown(FSsl); }

 private:
  SSL_CTX* FCtx = nullptr;
  SSL* FSsl = nullptr;
};

// A loopback peer that accepts up to ACount connections one after the other and runs the script
// on each (with its number); accept and receives are bounded like TLoopbackServer's.
class TSequentialServer {
 public:
  using TScript = std::function<void(int& fd, int index)>;
  TSequentialServer(int ACount, TScript AScript) {
    FListen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(a);
    if (::bind(FListen, reinterpret_cast<sockaddr*>(&a), len) != 0 || ::listen(FListen, 4) != 0) return;
    ::getsockname(FListen, reinterpret_cast<sockaddr*>(&a), &len);
    FPort = ntohs(a.sin_port);
    FThread = std::thread([this, ACount, AScript] {
      for (int i = 0; i < ACount; ++i) {
        pollfd p{FListen, POLLIN, 0};
        if (::poll(&p, 1, 5000) != 1) return;
        int fd = ::accept4(FListen, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) return;
        timeval tv{10, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
        AScript(fd, i);
        if (fd >= 0) ::close(fd);
        {
          std::lock_guard<std::mutex> lock(FLock);
          ++FServed;
        }
        FServedChanged.notify_all();
      }
    });
  }
  ~TSequentialServer() {
    Join();
    if (FListen >= 0) ::close(FListen);
  }
  void Join() {
    if (FThread.joinable()) FThread.join();
  }
  int Port() const { return FPort; }
  // Waits (bounded) until AConnections connections have been served and closed; false when that
  // did not happen in time.
  bool WaitServed(int AConnections) {
    std::unique_lock<std::mutex> lock(FLock);
    return FServedChanged.wait_for(lock, std::chrono::seconds(10), [&] { return FServed >= AConnections; });
  }

 private:
  int FListen = -1;
  int FPort = 0;
  std::thread FThread;
  std::mutex FLock;
  std::condition_variable FServedChanged;
  int FServed = 0;
};

}  // namespace tls_test

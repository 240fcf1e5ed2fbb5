// The OpenSSL side of the signature services: SHA-512 contexts and pure Ed25519 (RFC 8032),
// which OpenSSL runs through the one-shot EVP_DigestSign / EVP_DigestVerify with no digest of
// its own. Each call leaves this thread's OpenSSL error queue empty, so that a failure here never
// shows up later as the reason of an unrelated TLS failure.
#include "platform/crypto/CryptoEngine.h"

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cstring>
#include <string>

#include "platform/crypto/OpenSslText.h"

namespace {

// Fetched once: an implicit fetch on every init would look the algorithm up each time.
const EVP_MD* Sha512() {
  static EVP_MD* md = EVP_MD_fetch(nullptr, "SHA512", nullptr);
  return md;
}

int Fail(const char* AWhat, char* err, int errSize) {
  platform::CopyCText(platform::OpenSslErrorText(AWhat), err, errSize);
  return KRV_CRYPTO_ERROR;
}

krv_sha512* Sha512Create() {
  EVP_MD_CTX* ctx = Sha512() ? EVP_MD_CTX_new() : nullptr;
  if (ctx && EVP_DigestInit_ex(ctx, Sha512(), nullptr) != 1) {
    EVP_MD_CTX_free(ctx);
    ctx = nullptr;
  }
  ERR_clear_error();
  return reinterpret_cast<krv_sha512*>(ctx);
}

void Sha512Destroy(krv_sha512* h) { EVP_MD_CTX_free(reinterpret_cast<EVP_MD_CTX*>(h)); }

int Sha512Update(krv_sha512* h, const void* data, size_t size) {
  if (EVP_DigestUpdate(reinterpret_cast<EVP_MD_CTX*>(h), data, size) == 1) return KRV_CRYPTO_OK;
  ERR_clear_error();
  return KRV_CRYPTO_ERROR;
}

int Sha512Final(krv_sha512* h, unsigned char* digest) {
  auto* ctx = reinterpret_cast<EVP_MD_CTX*>(h);
  unsigned int n = 0;
  bool ok = EVP_DigestFinal_ex(ctx, digest, &n) == 1 && n == KRV_CRYPTO_SHA512_SIZE;
  ok = EVP_DigestInit_ex(ctx, Sha512(), nullptr) == 1 && ok;
  ERR_clear_error();
  return ok ? KRV_CRYPTO_OK : KRV_CRYPTO_ERROR;
}

int Ed25519Verify(const unsigned char* publicKey, const void* message, size_t size, const unsigned char* signature,
                  char* err, int errSize) {
  ERR_clear_error();
  EVP_PKEY* key = EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, publicKey, KRV_CRYPTO_ED25519_KEY_SIZE);
  if (!key) return Fail("the public key is not an Ed25519 key", err, errSize);
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  int result;
  if (!ctx || EVP_DigestVerifyInit(ctx, nullptr, nullptr, nullptr, key) != 1) {
    result = Fail("the signature check could not start", err, errSize);
  } else {
    // 1: made by this key over this message; 0 (or below, for a signature that does not even
    // decode): it was not. Either way the update is not the publisher's.
    int r = EVP_DigestVerify(ctx, signature, KRV_CRYPTO_ED25519_SIG_SIZE, static_cast<const unsigned char*>(message),
                             size);
    result = r == 1 ? KRV_CRYPTO_OK : KRV_CRYPTO_MISMATCH;
    ERR_clear_error();
  }
  EVP_MD_CTX_free(ctx);
  EVP_PKEY_free(key);
  return result;
}

// The raw public key of AKey.
bool RawPublicKey(EVP_PKEY* AKey, unsigned char* APublicKey) {
  size_t n = KRV_CRYPTO_ED25519_KEY_SIZE;
  return EVP_PKEY_get_raw_public_key(AKey, APublicKey, &n) == 1 && n == KRV_CRYPTO_ED25519_KEY_SIZE;
}

int Ed25519Generate(char* pem, int pemSize, unsigned char* publicKey, char* err, int errSize) {
  ERR_clear_error();
  EVP_PKEY* key = EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519");
  if (!key) return Fail("no Ed25519 key could be generated", err, errSize);
  int result = KRV_CRYPTO_ERROR;
  // Secure-heap memory: the private key's text is wiped when the BIO goes.
  BIO* bio = BIO_new(BIO_s_secmem());
  if (!bio || PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr) != 1 ||
      !RawPublicKey(key, publicKey)) {
    Fail("the new key could not be written as PEM", err, errSize);
  } else {
    char* data = nullptr;
    long n = BIO_get_mem_data(bio, &data);
    if (n <= 0 || n >= pemSize) {
      platform::CopyCText("the key's PEM text does not fit the buffer", err, errSize);
    } else {
      std::memcpy(pem, data, size_t(n));
      pem[n] = 0;
      result = int(n);
    }
  }
  BIO_free(bio);
  EVP_PKEY_free(key);
  return result;
}

// An encrypted key would make OpenSSL ask for a passphrase on the terminal: note it, refuse.
int NoPassphrase(char*, int, int, void* asked) {
  *static_cast<bool*>(asked) = true;
  return -1;
}

int Ed25519Sign(const char* pem, int pemSize, const void* message, size_t size, unsigned char* signature,
                unsigned char* publicKey, char* err, int errSize) {
  ERR_clear_error();
  bool asked = false;
  BIO* bio = pem && pemSize > 0 ? BIO_new_mem_buf(pem, pemSize) : nullptr;
  EVP_PKEY* key = bio ? PEM_read_bio_PrivateKey(bio, nullptr, NoPassphrase, &asked) : nullptr;
  BIO_free(bio);
  if (!key) {
    // OpenSSL's own reasons ("unsupported", "bad object header") say less than this.
    ERR_clear_error();
    platform::CopyCText(asked ? "the private key is encrypted; signing needs it unencrypted"
                              : "no unencrypted PEM private key",
                        err, errSize);
    return KRV_CRYPTO_ERROR;
  }
  int result = KRV_CRYPTO_ERROR;
  EVP_MD_CTX* ctx = nullptr;
  if (EVP_PKEY_get_base_id(key) != EVP_PKEY_ED25519) {
    std::string kind = EVP_PKEY_get0_type_name(key) ? EVP_PKEY_get0_type_name(key) : "another kind";
    platform::CopyCText("the private key is " + kind + ", not Ed25519", err, errSize);
  } else if (!RawPublicKey(key, publicKey) || !(ctx = EVP_MD_CTX_new()) ||
             EVP_DigestSignInit(ctx, nullptr, nullptr, nullptr, key) != 1) {
    Fail("the signature could not start", err, errSize);
  } else {
    size_t n = KRV_CRYPTO_ED25519_SIG_SIZE;
    if (EVP_DigestSign(ctx, signature, &n, static_cast<const unsigned char*>(message), size) != 1 ||
        n != KRV_CRYPTO_ED25519_SIG_SIZE)
      Fail("the signature could not be made", err, errSize);
    else
      result = KRV_CRYPTO_OK;
  }
  EVP_MD_CTX_free(ctx);
  EVP_PKEY_free(key);
  ERR_clear_error();
  return result;
}

const krv_crypto_api TheApi = {KRV_CRYPTO_API_VERSION, Sha512Create,  Sha512Destroy,   Sha512Update,
                               Sha512Final,            Ed25519Verify, Ed25519Generate, Ed25519Sign};

}  // namespace

extern "C" __attribute__((visibility("default"))) const krv_crypto_api* krv_crypto_get_api(void) { return &TheApi; }

// The boundary between the signature services and the module that holds OpenSSL's libcrypto.
// The module is opened with dlopen on first need, so a program that never hashes or checks a
// signature (the launch path of the downloader) never loads libcrypto. Plain C types only.
#pragma once

#include <stddef.h>

extern "C" {

enum {
  KRV_CRYPTO_API_VERSION = 1,
  KRV_CRYPTO_OK = 0,
  KRV_CRYPTO_MISMATCH = 1,  // a well-formed signature that the key did not make over the message
  KRV_CRYPTO_ERROR = -1,    // the text tells why
  KRV_CRYPTO_SHA512_SIZE = 64,
  KRV_CRYPTO_ED25519_KEY_SIZE = 32,
  KRV_CRYPTO_ED25519_SIG_SIZE = 64,
};

typedef struct krv_sha512 krv_sha512;

struct krv_crypto_api {
  int version;  // first, as every module table of ours
  // A SHA-512 context ready for a message; null when OpenSSL cannot make one.
  krv_sha512* (*sha512_create)(void);
  void (*sha512_destroy)(krv_sha512* h);
  // Cheap per call (no allocation): the downloader feeds every received piece. 0 or KRV_CRYPTO_ERROR.
  int (*sha512_update)(krv_sha512* h, const void* data, size_t size);
  // The 64-byte digest; the context is ready for a new message afterwards. 0 or KRV_CRYPTO_ERROR.
  int (*sha512_final)(krv_sha512* h, unsigned char* digest);
  // Pure Ed25519 (RFC 8032) with a raw 32-byte public key: KRV_CRYPTO_OK, KRV_CRYPTO_MISMATCH,
  // or KRV_CRYPTO_ERROR with the reason in err.
  int (*ed25519_verify)(const unsigned char* public_key, const void* message, size_t size,
                        const unsigned char* signature, char* err, int err_size);
  // A new key: its PKCS#8 PEM text into pem (answers its length, or KRV_CRYPTO_ERROR when it does
  // not fit or generation failed) and its raw public key.
  int (*ed25519_generate)(char* pem, int pem_size, unsigned char* public_key, char* err, int err_size);
  // Signs with the unencrypted Ed25519 private key in pem (PEM text of pem_size bytes); the raw
  // public key of that key comes back too. 0 or KRV_CRYPTO_ERROR.
  int (*ed25519_sign)(const char* pem, int pem_size, const void* message, size_t size, unsigned char* signature,
                      unsigned char* public_key, char* err, int err_size);
};

// The one symbol the module exports.
const krv_crypto_api* krv_crypto_get_api(void);

}  // extern "C"

// The signature engine of the Windows build, linked in: SHA-512 through CNG (the system's own),
// pure Ed25519 (RFC 8032) through libgcrypt, since CNG has no Ed25519. Keys travel as OpenSSL's
// PKCS#8 PEM (Pkcs8.h), so a key made by either build signs on both; new seeds come from the
// system's generator (BCryptGenRandom), not from libgcrypt's own entropy gathering.
#include "platform/crypto/CryptoEngine.h"

#include <cstring>
#include <mutex>
#include <string>

#include "platform/Random.h"
#include "platform/crypto/CryptoSystem.h"
#include "platform/crypto/Pkcs8.h"

#include "rtl/win32/WinApi.h"
#include <bcrypt.h>
#include <gcrypt.h>

struct krv_sha512 {
  BCRYPT_HASH_HANDLE Hash = nullptr;
  // The hash object lives in our memory, so a new message after Final allocates nothing.
  std::string Object;
};

namespace {

BCRYPT_ALG_HANDLE Sha512Algorithm() {
  static BCRYPT_ALG_HANDLE algorithm = [] {
    BCRYPT_ALG_HANDLE h = nullptr;
    if (BCryptOpenAlgorithmProvider(&h, BCRYPT_SHA512_ALGORITHM, nullptr, 0) < 0) h = nullptr;
    return h;
  }();
  return algorithm;
}

bool StartMessage(krv_sha512* h) {
  return BCryptCreateHash(Sha512Algorithm(), &h->Hash, reinterpret_cast<PUCHAR>(h->Object.data()),
                          static_cast<ULONG>(h->Object.size()), nullptr, 0, 0) >= 0;
}

krv_sha512* Sha512Create() {
  DWORD size = 0;
  ULONG got = 0;
  if (!Sha512Algorithm() || BCryptGetProperty(Sha512Algorithm(), BCRYPT_OBJECT_LENGTH, reinterpret_cast<PUCHAR>(&size),
                                              sizeof size, &got, 0) < 0)
    return nullptr;
  auto* h = new krv_sha512;
  h->Object.resize(size);
  if (!StartMessage(h)) {
    delete h;
    return nullptr;
  }
  return h;
}

void Sha512Destroy(krv_sha512* h) {
  if (!h) return;
  if (h->Hash) BCryptDestroyHash(h->Hash);
  delete h;
}

int Sha512Update(krv_sha512* h, const void* data, size_t size) {
  auto* p = static_cast<const uint8_t*>(data);
  while (size > 0) {
    ULONG piece = size > 0x40000000 ? 0x40000000 : static_cast<ULONG>(size);
    if (BCryptHashData(h->Hash, const_cast<PUCHAR>(p), piece, 0) < 0) return KRV_CRYPTO_ERROR;
    p += piece;
    size -= piece;
  }
  return KRV_CRYPTO_OK;
}

int Sha512Final(krv_sha512* h, unsigned char* digest) {
  bool ok = BCryptFinishHash(h->Hash, digest, KRV_CRYPTO_SHA512_SIZE, 0) >= 0;
  BCryptDestroyHash(h->Hash);
  h->Hash = nullptr;
  ok = StartMessage(h) && ok;
  return ok ? KRV_CRYPTO_OK : KRV_CRYPTO_ERROR;
}

// --- Ed25519 through libgcrypt ----------------------------------------------------------------

int Fail(const std::string& AWhat, gcry_error_t AError, char* err, int errSize) {
  std::string text = AWhat;
  if (AError) text += std::string(": ") + gcry_strerror(AError);
  size_t n = errSize > 0 ? std::min(text.size(), size_t(errSize - 1)) : 0;
  if (errSize > 0) {
    std::memcpy(err, text.data(), n);
    err[n] = 0;
  }
  return KRV_CRYPTO_ERROR;
}

bool Initialised() {
  static std::once_flag once;
  static bool ready = false;
  std::call_once(once, [] {
    if (!gcry_check_version(GCRYPT_VERSION)) return;
    // Keys pass through our own buffers, which are wiped; libgcrypt's locked pool adds nothing
    // here and Windows would refuse the locking to an ordinary user.
    gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
    gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
    ready = true;
  });
  return ready;
}

// Frees an S-expression at the end of a scope.
struct TSexp {
  gcry_sexp_t P = nullptr;
  ~TSexp() { gcry_sexp_release(P); }
};

// The 32 bytes of an octet-string element (r, s, q) of AList, left-padded when libgcrypt cut
// leading zeros.
bool Element(gcry_sexp_t AList, const char* AName, unsigned char* AOut) {
  TSexp item;
  item.P = gcry_sexp_find_token(AList, AName, 0);
  size_t n = 0;
  const char* data = item.P ? gcry_sexp_nth_data(item.P, 1, &n) : nullptr;
  if (!data || n == 0 || n > 32) return false;
  std::memset(AOut, 0, 32 - n);
  std::memcpy(AOut + 32 - n, data, n);
  return true;
}

// The public key of a seed: libgcrypt derives it from d as "q@eddsa".
gcry_error_t PublicKeyOf(const unsigned char* seed, unsigned char* publicKey) {
  TSexp key;
  gcry_error_t e = gcry_sexp_build(&key.P, nullptr, "(private-key(ecc(curve Ed25519)(flags eddsa)(d %b)))", 32, seed);
  if (e) return e;
  gcry_ctx_t ctx = nullptr;
  if ((e = gcry_mpi_ec_new(&ctx, key.P, nullptr))) return e;
  gcry_mpi_t q = gcry_mpi_ec_get_mpi("q@eddsa", ctx, 1);
  unsigned int bits = 0;
  const void* bytes = q ? gcry_mpi_get_opaque(q, &bits) : nullptr;
  if (bytes && bits == 256)
    std::memcpy(publicKey, bytes, 32);
  else
    e = gcry_error(GPG_ERR_INV_OBJ);
  gcry_mpi_release(q);
  gcry_ctx_release(ctx);
  return e;
}

int Ed25519Verify(const unsigned char* publicKey, const void* message, size_t size, const unsigned char* signature,
                  char* err, int errSize) {
  if (!Initialised()) return Fail("libgcrypt could not be initialised", 0, err, errSize);
  if (size > 0x7FFFFFFF) return Fail("the message is too large to check", 0, err, errSize);
  TSexp key, sig, data;
  gcry_error_t e = gcry_sexp_build(&key.P, nullptr, "(public-key(ecc(curve Ed25519)(flags eddsa)(q %b)))", 32, publicKey);
  if (!e) e = gcry_sexp_build(&sig.P, nullptr, "(sig-val(eddsa(r %b)(s %b)))", 32, signature, 32, signature + 32);
  if (!e)
    e = gcry_sexp_build(&data.P, nullptr, "(data(flags eddsa)(hash-algo sha512)(value %b))", int(size), message);
  if (e) return Fail("the signature check could not start", e, err, errSize);
  // Anything but success, a key that is no point of the curve included, means the update is
  // not the publisher's.
  return gcry_pk_verify(sig.P, data.P, key.P) == 0 ? KRV_CRYPTO_OK : KRV_CRYPTO_MISMATCH;
}

int Ed25519Generate(char* pem, int pemSize, unsigned char* publicKey, char* err, int errSize) {
  if (!Initialised()) return Fail("libgcrypt could not be initialised", 0, err, errSize);
  platform::TEd25519Seed seed;
  if (!platform::GenerateRandomBytes(seed.data(), seed.size()))
    return Fail("the system's random generator failed", 0, err, errSize);
  int result = KRV_CRYPTO_ERROR;
  if (gcry_error_t e = PublicKeyOf(seed.data(), publicKey)) {
    Fail("no Ed25519 key could be generated", e, err, errSize);
  } else {
    std::string text = platform::Ed25519PrivateKeyPem(seed);
    if (text.size() >= size_t(pemSize)) {
      Fail("the key's PEM text does not fit the buffer", 0, err, errSize);
    } else {
      std::memcpy(pem, text.c_str(), text.size() + 1);
      result = int(text.size());
    }
    platform::SecureZero(text.data(), text.size());
  }
  platform::SecureZero(seed.data(), seed.size());
  return result;
}

int Ed25519Sign(const char* pem, int pemSize, const void* message, size_t size, unsigned char* signature,
                unsigned char* publicKey, char* err, int errSize) {
  if (!Initialised()) return Fail("libgcrypt could not be initialised", 0, err, errSize);
  if (size > 0x7FFFFFFF) return Fail("the message is too large to sign", 0, err, errSize);
  platform::TEd25519Seed seed;
  std::string reason;
  if (!pem || pemSize <= 0 || !platform::ReadEd25519PrivateKeyPem(std::string_view(pem, size_t(pemSize)), seed, reason))
    return Fail(reason.empty() ? "no unencrypted PEM private key" : reason, 0, err, errSize);
  int result = KRV_CRYPTO_ERROR;
  TSexp key, data, sig;
  gcry_error_t e = PublicKeyOf(seed.data(), publicKey);
  if (!e)
    e = gcry_sexp_build(&key.P, nullptr, "(private-key(ecc(curve Ed25519)(flags eddsa)(q %b)(d %b)))", 32, publicKey,
                        32, seed.data());
  if (!e)
    e = gcry_sexp_build(&data.P, nullptr, "(data(flags eddsa)(hash-algo sha512)(value %b))", int(size), message);
  if (e) {
    Fail("the signature could not start", e, err, errSize);
  } else if ((e = gcry_pk_sign(&sig.P, data.P, key.P)) || !Element(sig.P, "r", signature) ||
             !Element(sig.P, "s", signature + 32)) {
    Fail("the signature could not be made", e, err, errSize);
  } else {
    result = KRV_CRYPTO_OK;
  }
  platform::SecureZero(seed.data(), seed.size());
  return result;
}

const krv_crypto_api TheApi = {KRV_CRYPTO_API_VERSION, Sha512Create,  Sha512Destroy,   Sha512Update,
                               Sha512Final,            Ed25519Verify, Ed25519Generate, Ed25519Sign};

}  // namespace

const krv_crypto_api* krv_crypto_get_api(void) { return &TheApi; }

// Signed updates: SHA-512 and pure Ed25519 (RFC 8032). The publisher signs a statement that
// names the archive, its length and its SHA-512 digest (Statement.h); an edition carries the
// publisher's raw 32-byte public key as base64. OpenSSL does the arithmetic in the module libkrvcrypto.so, opened on first need
// (KRV_CRYPTO_MODULE names another), so programs that never check a signature never load it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "rtl/Exception.h"

struct krv_crypto_api;
struct krv_sha512;

namespace platform {

// Every failure here: the module is missing, a key or a signature file is unusable, a file
// cannot be read. The message is one line that names the reason.
class ESignatureError : public rtl::Exception {
 public:
  using Exception::Exception;
  const char* ClassName() const noexcept override { return "ESignatureError"; }
};

using TSha512Digest = std::array<uint8_t, 64>;
using TEd25519PublicKey = std::array<uint8_t, 32>;
using TEd25519Signature = std::array<uint8_t, 64>;

// Pieces the file helpers read at a time; callers that stream on their own do well with the same.
constexpr size_t Sha512PieceSize = 256 * 1024;

// A streaming SHA-512. Update costs one call into the module and allocates nothing, so it can
// follow every received piece; one object belongs to one thread at a time (any thread: the
// module is loaded once, thread-safely).
class TSha512 {
 public:
  TSha512();  // ESignatureError when the module cannot be loaded
  ~TSha512();
  TSha512(const TSha512&) = delete;
  TSha512& operator=(const TSha512&) = delete;

  void Update(const void* AData, size_t ASize);
  // The digest of everything given since construction or the last Final; starts a new message.
  TSha512Digest Final();

 private:
  const krv_crypto_api* FApi;
  krv_sha512* FContext;
};

// The digest of a regular file's bytes, read in Sha512PieceSize pieces (never whole); ALength,
// when given, receives the number of bytes hashed.
TSha512Digest Sha512OfFile(const rtl::String& AFileName, int64_t* ALength = nullptr);

// True when ASignature was made by the key over the message. Any other answer, a signature by
// another key as much as a damaged one, is false; ESignatureError only when the check could not
// run at all.
bool Ed25519Verify(const TEd25519PublicKey& APublicKey, const void* AMessage, size_t ASize,
                   const TEd25519Signature& ASignature);

// The public key from its base64 form (standard alphabet, "=" padding optional, blanks around
// it ignored). ESignatureError "... is not base64 ..." or "... is N bytes ...".
TEd25519PublicKey DecodePublicKey(std::string_view ABase64);
std::string EncodePublicKey(const TEd25519PublicKey& APublicKey);  // 44 characters, padded
// Standard base64 with "=" padding.
std::string EncodeBase64(const uint8_t* AData, size_t ASize);
// A signature from its base64 form, read as strictly as a public key.
TEd25519Signature DecodeSignatureText(std::string_view ABase64);

// The bytes of a regular file of at most AMaxSize bytes. ESignatureError "... does not exist",
// "... is larger than N bytes", "... is not a regular file", or why it cannot be read.
std::string ReadSmallFile(const rtl::String& AFileName, size_t AMaxSize);

// For the publisher's tool. The private key travels as its PKCS#8 PEM text.
struct TEd25519KeyPair {
  std::string PrivateKeyPem;
  TEd25519PublicKey PublicKey;
};
TEd25519KeyPair Ed25519GenerateKey();
// Signs with an unencrypted Ed25519 private key in PEM; APublicKey, when given, receives the
// key's public half (so the caller can show which key signed).
TEd25519Signature Ed25519Sign(std::string_view APrivateKeyPem, const void* AMessage, size_t ASize,
                              TEd25519PublicKey* APublicKey = nullptr);

// Clears secret bytes (a private key's text) in a way the compiler keeps.
void SecureZero(void* AData, size_t ASize);

// Where the module was loaded from; empty before the first use.
rtl::String CryptoModulePath();

}  // namespace platform

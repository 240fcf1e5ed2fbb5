#include "platform/crypto/Signature.h"

#include <cstring>
#include <memory>

#include "platform/Files.h"
#include "platform/LastError.h"
#include "platform/crypto/CryptoSystem.h"

namespace platform {

namespace {

const krv_crypto_api& Api() {
  const detail::TCryptoEngine& engine = detail::CryptoEngine();
  if (!engine.Api) throw ESignatureError(u"Signatures cannot be checked: " + engine.Error);
  return *engine.Api;
}

[[noreturn]] void Raise(const rtl::String& AText) { throw ESignatureError(AText); }

// A file of ours to read: a regular file, opened so that a FIFO in its place cannot block us.
TOwnedFile OpenRegularFile(const rtl::String& AFileName, int64_t& ASize) {
  TOwnedFile file(OpenFileForRead(AFileName));
  if (!file.Valid()) {
    const uint32_t code = GetLastErrorValue();
    if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) Raise(AFileName + u" does not exist");
    if (rtl::DirectoryExists(AFileName)) Raise(AFileName + u" is not a regular file");
    Raise(AFileName + u" cannot be read: " + WindowsErrorMessage(code));
  }
  TFileInfo info;
  if (!GetFileInfo(file.Get(), info) || info.Kind != TEntryKind::File) Raise(AFileName + u" is not a regular file");
  ASize = info.Size;
  return file;
}

// Reads up to ASize bytes at AOffset (fewer only at the end of the file).
uint32_t ReadAt(TFileHandle AFile, int64_t AOffset, uint8_t* ABuffer, uint32_t ASize, const rtl::String& AFileName) {
  uint32_t done = 0;
  if (!ReadFileAt(AFile, AOffset, ABuffer, ASize, &done))
    Raise(AFileName + u" cannot be read: " + WindowsErrorMessage(GetLastErrorValue()));
  return done;
}

const char Base64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

}  // namespace

TSha512::TSha512() : FApi(&Api()), FContext(FApi->sha512_create()) {
  if (!FContext) Raise(u"No SHA-512 context could be made");
}

TSha512::~TSha512() { FApi->sha512_destroy(FContext); }

void TSha512::Update(const void* AData, size_t ASize) {
  if (FApi->sha512_update(FContext, AData, ASize) != KRV_CRYPTO_OK) Raise(u"SHA-512 failed");
}

TSha512Digest TSha512::Final() {
  TSha512Digest digest;
  if (FApi->sha512_final(FContext, digest.data()) != KRV_CRYPTO_OK) Raise(u"SHA-512 failed");
  return digest;
}

TSha512Digest Sha512OfFile(const rtl::String& AFileName, int64_t* ALength) {
  TSha512 hash;
  int64_t length = 0, size = 0;
  TOwnedFile file = OpenRegularFile(AFileName, size);
  std::unique_ptr<uint8_t[]> buffer(new uint8_t[Sha512PieceSize]);
  while (uint32_t n = ReadAt(file.Get(), length, buffer.get(), uint32_t(Sha512PieceSize), AFileName)) {
    hash.Update(buffer.get(), n);
    length += n;
  }
  if (ALength) *ALength = length;
  return hash.Final();
}

bool Ed25519Verify(const TEd25519PublicKey& APublicKey, const void* AMessage, size_t ASize,
                   const TEd25519Signature& ASignature) {
  char err[256] = "";
  int r = Api().ed25519_verify(APublicKey.data(), AMessage, ASize, ASignature.data(), err, sizeof(err));
  if (r == KRV_CRYPTO_ERROR) Raise(u"The signature could not be checked: " + rtl::S(err));
  return r == KRV_CRYPTO_OK;
}

namespace {

// Standard base64 of exactly ASize bytes into AOut: blanks around it ignored, "=" padding optional
// (but right when present), no spare bits; AWhat names the value in the reasons.
void DecodeBase64Exact(std::string_view ABase64, uint8_t* AOut, size_t ASize, const rtl::String& AWhat,
                       const rtl::String& ASizeNote) {
  while (!ABase64.empty() && IsBlank(ABase64.front())) ABase64.remove_prefix(1);
  while (!ABase64.empty() && IsBlank(ABase64.back())) ABase64.remove_suffix(1);
  if (ABase64.empty()) Raise(AWhat + u" is empty");
  size_t padding = 0;
  while (padding < 2 && padding < ABase64.size() && ABase64[ABase64.size() - 1 - padding] == '=') ++padding;
  std::string_view body = ABase64.substr(0, ABase64.size() - padding);
  for (size_t i = 0; i < body.size(); ++i) {
    if (detail::Base64Digit(body[i]) >= 0) continue;
    unsigned char c = static_cast<unsigned char>(body[i]);
    rtl::String shown = c > 0x20 && c < 0x7F ? u"'" + rtl::String(1, char16_t(c)) + u"'"
                                            : rtl::Format(u"byte 0x%.2X", {int(c)});
    Raise(AWhat + u" is not base64: character " + rtl::IntToStr(int64_t(i) + 1) + u" is " + shown);
  }
  if (padding > 0 && ABase64.size() % 4 != 0) Raise(AWhat + u" is not base64: its \"=\" padding is wrong");
  size_t count = 0;  // bytes the text holds (only the first ASize are kept)
  uint32_t bits = 0;
  int held = 0;
  for (char c : body) {
    bits = (bits << 6) | uint32_t(detail::Base64Digit(c));
    held += 6;
    if (held >= 8) {
      held -= 8;
      if (count < ASize) AOut[count] = uint8_t(bits >> held);
      ++count;
      bits &= (1u << held) - 1;
    }
  }
  // A lone last character, or one whose spare bits are set, is not how any encoder ends a text.
  if (held >= 6 || bits != 0) Raise(AWhat + u" is not base64: it ends in the middle of a byte");
  if (count != ASize) Raise(AWhat + u" is " + rtl::IntToStr(int64_t(count)) + u" bytes, " + ASizeNote);
}

}  // namespace

std::string EncodeBase64(const uint8_t* AData, size_t ASize) {
  std::string out;
  for (size_t i = 0; i < ASize; i += 3) {
    uint32_t v = uint32_t(AData[i]) << 16;
    if (i + 1 < ASize) v |= uint32_t(AData[i + 1]) << 8;
    if (i + 2 < ASize) v |= AData[i + 2];
    out += Base64Alphabet[(v >> 18) & 63];
    out += Base64Alphabet[(v >> 12) & 63];
    out += i + 1 < ASize ? Base64Alphabet[(v >> 6) & 63] : '=';
    out += i + 2 < ASize ? Base64Alphabet[v & 63] : '=';
  }
  return out;
}

TEd25519PublicKey DecodePublicKey(std::string_view ABase64) {
  TEd25519PublicKey key{};
  DecodeBase64Exact(ABase64, key.data(), key.size(), u"the public key", u"an Ed25519 public key is 32");
  return key;
}

std::string EncodePublicKey(const TEd25519PublicKey& APublicKey) { return EncodeBase64(APublicKey.data(), APublicKey.size()); }

TEd25519Signature DecodeSignatureText(std::string_view ABase64) {
  TEd25519Signature signature{};
  DecodeBase64Exact(ABase64, signature.data(), signature.size(), u"the signature", u"an Ed25519 signature is 64");
  return signature;
}

std::string ReadSmallFile(const rtl::String& AFileName, size_t AMaxSize) {
  int64_t size = 0;
  TOwnedFile file = OpenRegularFile(AFileName, size);
  // One byte more than allowed: a file that grew since it was opened is caught as well.
  std::string bytes(AMaxSize + 1, '\0');
  size_t n = size <= int64_t(AMaxSize) ? ReadAt(file.Get(), 0, reinterpret_cast<uint8_t*>(bytes.data()),
                                                uint32_t(bytes.size()), AFileName)
                                       : AMaxSize + 1;
  if (n > AMaxSize)
    Raise(AFileName + u" is larger than " + rtl::IntToStr(int64_t(AMaxSize)) + u" bytes");
  bytes.resize(n);
  return bytes;
}

TEd25519KeyPair Ed25519GenerateKey() {
  TEd25519KeyPair pair;
  char pem[1024];
  char err[256] = "";
  int n = Api().ed25519_generate(pem, sizeof(pem), pair.PublicKey.data(), err, sizeof(err));
  if (n < 0) Raise(u"No key could be made: " + rtl::S(err));
  pair.PrivateKeyPem.assign(pem, size_t(n));
  SecureZero(pem, sizeof(pem));
  return pair;
}

TEd25519Signature Ed25519Sign(std::string_view APrivateKeyPem, const void* AMessage, size_t ASize,
                              TEd25519PublicKey* APublicKey) {
  TEd25519Signature signature;
  TEd25519PublicKey publicKey;
  char err[256] = "";
  // A key file is a few hundred bytes; anything far larger is not one.
  if (APrivateKeyPem.size() > 65536) Raise(u"the private key file is too large to be a PEM key");
  if (Api().ed25519_sign(APrivateKeyPem.data(), int(APrivateKeyPem.size()), AMessage, ASize, signature.data(),
                         publicKey.data(), err, sizeof(err)) != KRV_CRYPTO_OK)
    Raise(u"cannot sign: " + rtl::S(err));
  if (APublicKey) *APublicKey = publicKey;
  return signature;
}

void SecureZero(void* AData, size_t ASize) {
  // Through a volatile pointer: the compiler may not drop stores to memory nobody reads later.
  volatile uint8_t* p = static_cast<volatile uint8_t*>(AData);
  while (ASize--) *p++ = 0;
}

rtl::String CryptoModulePath() { return detail::CryptoEngine().Path; }

}  // namespace platform

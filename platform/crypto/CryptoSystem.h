// Internal to the signature services: what each operating system's room provides to the shared
// code (posix/: OpenSSL's module opened on first use and descriptors; win32/: CNG and libgcrypt
// linked in, and the system's file handles).
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/crypto/CryptoEngine.h"
#include "platform/crypto/Signature.h"

namespace platform::detail {

struct TCryptoEngine {
  const krv_crypto_api* Api = nullptr;  // null when it cannot be had; Error says why
  rtl::String Path;                     // where a module came from (empty when linked in)
  rtl::String Error;
};
// Made once, on first use, thread-safely.
const TCryptoEngine& CryptoEngine();

// A regular file open for reading, never waiting on a FIFO or device in its place.
// ESignatureError "<name> does not exist", "<name> is not a regular file" or
// "<name> cannot be read: <why>".
class TRegularFile {
 public:
  explicit TRegularFile(const rtl::String& AFileName);
  ~TRegularFile();
  TRegularFile(const TRegularFile&) = delete;
  TRegularFile& operator=(const TRegularFile&) = delete;

  int64_t Size() const { return FSize; }
  // Up to ASize bytes, fewer only at the end of the file; raises when the read fails.
  size_t Read(void* ABuffer, size_t ASize);

 private:
  rtl::String FName;
  intptr_t FHandle;
  int64_t FSize = 0;
};

// Wipes secrets in a way the compiler cannot leave out.
void SecureZero(void* AData, size_t ASize);

}  // namespace platform::detail

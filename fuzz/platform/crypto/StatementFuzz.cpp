// The signed statement (<archive>.sig) as the update server hands it over: any bytes end in a
// statement or in ESignatureError with a reason, and a statement is only ever taken from its one
// canonical text, so what a signature covers is exactly what was read.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/crypto/Statement.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  platform::TSignedStatement s;
  try {
    s = platform::ParseSignatureFile(bytes);
  } catch (const platform::ESignatureError& e) {
    if (e.Message().empty()) std::abort();
    return 0;
  }
  if (size > platform::MaxSignatureFileSize) std::abort();
  if (s.SignedText != platform::StatementText(s.Statement)) std::abort();
  if (platform::SignatureFileText(s.Statement, s.Signature) != bytes) std::abort();
  if (s.Statement.FileName.find_first_of("/\\") != std::string::npos || s.Statement.Length < 0) std::abort();
  return 0;
}

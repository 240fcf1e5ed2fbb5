// The public key's base64 form, as an edition's build option or krv-sign's argument carries it:
// any text ends in a key or in ESignatureError, and a key is only ever taken from its one
// canonical text (blanks around it and the final "=" aside), so no two texts name one key.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/crypto/Signature.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  platform::TEd25519PublicKey key;
  try {
    key = platform::DecodePublicKey(text);
  } catch (const platform::ESignatureError& e) {
    if (e.Message().empty()) std::abort();
    return 0;
  }
  std::string canonical = platform::EncodePublicKey(key);
  if (canonical.size() != 44 || platform::DecodePublicKey(canonical) != key) std::abort();
  size_t first = text.find_first_not_of(" \t\r\n");
  size_t last = text.find_last_not_of(" \t\r\n");
  std::string core(text.substr(first, last - first + 1));
  if (core.size() == 43) core += '=';
  if (core != canonical) std::abort();
  return 0;
}

#include "platform/crypto/OpenSslText.h"

#include <openssl/err.h>

namespace platform {

std::string OpenSslErrorText(const char* AFallback) {
  std::string text;
  unsigned long e;
  while ((e = ERR_get_error()) != 0) {
    char line[256];
    ERR_error_string_n(e, line, sizeof(line));
    // Only the reason: "error:0A00010B:SSL routines::wrong version number" -> "wrong version number".
    const char* reason = ERR_reason_error_string(e);
    if (!text.empty()) text += "; ";
    text += reason ? reason : line;
  }
  return text.empty() ? std::string(AFallback) : text;
}

}  // namespace platform

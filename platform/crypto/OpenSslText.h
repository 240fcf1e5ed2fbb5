// Texts across the boundary of our OpenSSL modules (TLS, signatures): both answer reasons as C
// texts in the caller's buffer. Included only by the modules, which link OpenSSL.
#pragma once

#include <openssl/err.h>

#include <cstring>
#include <string>

namespace platform {

// Copies AText into ABuffer (cut to ASize - 1 bytes, always ended with a zero).
inline void CopyCText(const std::string& AText, char* ABuffer, int ASize) {
  if (!ABuffer || ASize <= 0) return;
  size_t n = AText.size() < size_t(ASize - 1) ? AText.size() : size_t(ASize - 1);
  std::memcpy(ABuffer, AText.data(), n);
  ABuffer[n] = 0;
}

// The OpenSSL error queue of this thread as one text (emptied), or AFallback when it is empty.
inline std::string OpenSslErrorText(const char* AFallback) {
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

// Texts across the boundary of our OpenSSL modules (TLS, signatures): both answer reasons as C
// texts in the caller's buffer. Used only by the modules, which link OpenSSL (OpenSslText.cpp is
// compiled into each).
#pragma once

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

// The OpenSSL error queue of this thread as one text of the reasons (emptied), or AFallback when
// it is empty.
std::string OpenSslErrorText(const char* AFallback);

}  // namespace platform

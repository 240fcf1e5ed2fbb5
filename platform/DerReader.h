// A view of DER bytes from outside (SPNEGO tokens, PKCS #8 keys): Next reads one element with a
// one-byte tag and a definite length and advances; every read is checked against what is left.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

struct TDerReader {
  const uint8_t* P = nullptr;
  size_t N = 0;

  bool AtEnd() const { return N == 0; }
  // One element; false when it does not fit, has a multi-byte tag (none occurs in what we read)
  // or an indefinite or absurd length.
  bool Next(uint8_t& ATag, TDerReader& AValue) {
    if (N < 2) return false;
    ATag = P[0];
    if ((ATag & 0x1F) == 0x1F) return false;
    size_t len = P[1], at = 2;
    if (len & 0x80) {
      const size_t count = len & 0x7F;
      if (count == 0 || count > 4 || N - 2 < count) return false;
      len = 0;
      for (size_t i = 0; i < count; ++i) len = (len << 8) | P[2 + i];
      at += count;
    }
    if (len > N - at) return false;
    AValue = {P + at, len};
    P += at + len;
    N -= at + len;
    return true;
  }
  bool Expect(uint8_t ATag, TDerReader& AValue) {
    uint8_t tag;
    return Next(tag, AValue) && tag == ATag;
  }
};

}  // namespace platform

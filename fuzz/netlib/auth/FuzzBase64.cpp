// Base64 decoding of arbitrary text (as UTF-8 and byte for byte), and encoding of arbitrary
// bytes: whatever decodes re-encodes and decodes to the same bytes, whatever is encoded decodes
// back, and bad input ends in EclEncoderError only.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "netlib/auth/clEncoder.h"

using namespace netlib;

namespace {

void CheckDecode(const rtl::String& text) {
  rtl::Bytes decoded;
  try {
    decoded = TclEncoder::DecodeBase64(text);
  } catch (const EclEncoderError&) {
    return;
  }
  if (decoded.size() > text.size()) std::abort();
  rtl::String again = TclEncoder::EncodeBase64(decoded.data(), decoded.size(), 76);
  if (TclEncoder::DecodeBase64(again) != decoded) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CheckDecode(rtl::Utf8ToString(std::string(reinterpret_cast<const char*>(data), size)));
  CheckDecode(rtl::String(data, data + size));

  const int perLine = size > 0 ? data[0] % 90 - 10 : 0;
  rtl::String encoded = TclEncoder::EncodeBase64(data, size, perLine);
  if (encoded.size() < (size + 2) / 3 * 4) std::abort();
  if (TclEncoder::DecodeBase64(encoded) != rtl::Bytes(data, data + size)) std::abort();
  return 0;
}

// The library's UTF-8 decoder over arbitrary bytes: never a read past the input, never more
// characters than bytes, and what it encodes again decodes to the same text.
#include <cstdint>
#include <cstdlib>

#include "netlib/text/clTranslator.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using netlib::TclTranslator;
  rtl::String s = TclTranslator::TranslateFromUtf8(data, size);
  if (s.size() > size) std::abort();
  // The string form (one byte per code unit) must agree with the byte form.
  if (TclTranslator::TranslateFromUtf8(rtl::String(data, data + size)) != s) std::abort();
  if (TclTranslator::TranslateFromUtf8(TclTranslator::TranslateToUtf8Bytes(s)) != s) std::abort();
  return 0;
}

// Cookie expiry dates come from servers: any text must parse, give 0 or raise a conversion error.
#include <cmath>
#include <cstdint>
#include <cstdlib>

#include "netlib/text/clUtils.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  rtl::String text = rtl::Utf8ToString(std::string_view(reinterpret_cast<const char*>(data), size));
  try {
    double d = netlib::ParseInternetDate(text);
    if (!std::isfinite(d)) std::abort();
  } catch (const rtl::EConvertError&) {
  }
  return 0;
}

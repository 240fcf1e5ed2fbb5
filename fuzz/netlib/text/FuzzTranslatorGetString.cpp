// Response text in a server-named character set: the first byte picks the set, the rest is the
// body. Decoding and encoding again must never crash, whatever the bytes.
#include <cstdint>
#include <cstdlib>
#include <iterator>

#include "netlib/text/clTranslator.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using netlib::TclTranslator;
  static const char16_t* const kSets[] = {u"utf-8", u"ISO-8859-1", u"ISO-8859-2", u"koi8-r", u"ibm866",
                                          u"utf-16", u"unicodeFFFE", u"utf-7", u"ISO-2022-JP", u"Shift_JIS",
                                          u"gb18030", u"Big5", u"EUC-KR", u"us-ascii", u"", u"x-unknown"};
  if (size == 0) return 0;
  const char16_t* set = kSets[data[0] % std::size(kSets)];
  const uint8_t* body = data + 1;
  int count = static_cast<int>(size - 1);
  rtl::String s = TclTranslator::GetString(body, count, set);
  rtl::Bytes b = TclTranslator::GetBytes(s, set);
  if (TclTranslator::GetByteCount(s, set) != static_cast<int>(b.size())) std::abort();
  // A limited buffer never receives more than its size.
  uint8_t small[8];
  int n = TclTranslator::GetBytes(s, small, static_cast<int>(data[0] % 9), set);
  if (n < 0 || n > data[0] % 9) std::abort();
  return 0;
}

// Host names split at dots, header words split at delimiters: the first byte is the delimiter,
// the rest the text (UTF-8).
#include <cstdint>
#include <cstdlib>

#include "netlib/text/clUtils.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  rtl::Char delimiter = data[0];
  rtl::String text = rtl::Utf8ToString(std::string_view(reinterpret_cast<const char*>(data + 1), size - 1));
  rtl::TStringList list;
  netlib::SplitToList(text, list, delimiter);
  if (static_cast<size_t>(list.Count()) > text.size() + 1) std::abort();
  for (const rtl::String& item : list)
    for (rtl::Char c : item)
      if (c < 32 || c == delimiter) std::abort();

  netlib::TSysCharSet set{delimiter, u' '};
  int words = netlib::CountWords(text, set);
  for (int n = 0; n <= words + 1 && n < 64; ++n) {
    int start = netlib::WordStart(n, text, set);
    rtl::String word = netlib::GetWord(n, text, set);
    if ((start == 0) != word.empty()) std::abort();
    if (start > 0 && (n < 1 || n > words)) std::abort();
  }
  return 0;
}

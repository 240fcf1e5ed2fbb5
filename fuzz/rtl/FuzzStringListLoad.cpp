// String lists loaded from files and resources: byte-order marks, any line breaks, and the
// delimited form that dotted versions are parsed with.
#include <cstdint>
#include <cstdlib>

#include "rtl/Classes.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  rtl::TBytesStream stream(rtl::Bytes(data, data + size));
  rtl::TStringList list;
  list.LoadFromStream(stream);
  // The text form loads back to the same lines.
  rtl::TStringList again;
  again.SetText(list.Text());
  if (!again.Equals(list)) std::abort();
  for (int i = 0; i < list.Count(); ++i) {
    list.Names(i);
    list.ValueFromIndex(i);
  }

  rtl::String text = rtl::DecodeTextWithBom(data, size);
  rtl::TStringList parts;
  parts.Delimiter = u'.';
  parts.SetDelimitedText(text);
  if (static_cast<size_t>(parts.Count()) > text.size() + 1) std::abort();
  return 0;
}

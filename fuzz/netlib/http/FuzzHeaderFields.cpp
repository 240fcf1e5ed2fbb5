// The header field list on arbitrary lines: look-ups, values, items and edits, with the check
// that a field added (and folded) reads back with the value it was given.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "netlib/http/clHeaderFieldList.h"
#include "rtl/Exception.h"

using namespace netlib;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const int startFrom = data[0] % 8 - 2;
  const int charsPerLine = data[1] % 4 == 0 ? 0 : data[1] % 64;
  const bool newLine = data[2] & 1;
  rtl::String text = rtl::Utf8ToString(std::string(reinterpret_cast<const char*>(data + 3), size - 3));
  // The last line is the value to add; the rest is the header.
  size_t cut = text.rfind(u'\n');
  rtl::String value = cut == rtl::String::npos ? text : text.substr(cut + 1);
  rtl::TStringList lines;
  lines.SetText(cut == rtl::String::npos ? rtl::String() : text.substr(0, cut));

  TclHeaderFieldList list;
  list.SetCharsPerLine(charsPerLine);
  list.Parse(startFrom, &lines);
  try {
    for (int i = 0; i < list.FieldList().Count(); ++i) {
      rtl::String v = list.GetFieldValue(i);
      list.GetFieldName(i);
      list.GetFieldEnd(i);
      list.GetFieldValueItem(v, u"");
      list.GetFieldValueItem(v, u"charset");
      list.GetFieldValueItem(v, list.FieldList()[i]);
      list.RemoveItem(v, u"boundary");
      list.ClearItem(v, u"");
    }
    const rtl::String probe = u"X-Fuzz-Probe";
    list.AddField(probe, value);
    list.AddFieldItem(0, u"item", value, newLine);
    list.AddQuotedFieldItem(probe, u"q", value);
    if (!value.empty()) {
      // The last field of that name is the one just added; its items came after it.
      int last = -1;
      for (int i = 0; i < list.FieldList().Count(); ++i)
        if (list.FieldList()[i] == u"x-fuzz-probe") last = i;
      if (last < 0) std::abort();
      rtl::String got = list.GetFieldValue(last);
      rtl::String want = rtl::Trim(value);
      if (got.compare(0, want.size(), want) != 0) std::abort();
    }
    list.RemoveField(probe);
    list.RemoveField(0);
  } catch (const rtl::EAssertionFailed&) {
    // A line break inside an added value is refused.
  }
  return 0;
}

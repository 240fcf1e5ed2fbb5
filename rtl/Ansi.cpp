#include "rtl/Ansi.h"

namespace rtl {

namespace {
// 0x80..0x9F of Windows-1252; the five undefined bytes keep their C1 control value.
constexpr Char kHigh[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};
}  // namespace

Char AnsiByteToChar(uint8_t b) { return (b >= 0x80 && b <= 0x9F) ? kHigh[b - 0x80] : b; }

bool AnsiCharToByte(Char c, uint8_t& b) {
  if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) { b = static_cast<uint8_t>(c); return true; }
  for (int i = 0; i < 32; ++i)
    if (kHigh[i] == c) { b = static_cast<uint8_t>(0x80 + i); return true; }
  return false;
}

String AnsiToString(const uint8_t* data, size_t size) {
  String r;
  r.resize(size);
  for (size_t i = 0; i < size; ++i) r[i] = AnsiByteToChar(data[i]);
  return r;
}

Bytes StringToAnsi(std::u16string_view s) {
  Bytes r;
  r.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    uint8_t b;
    Char c = s[i];
    // A surrogate pair is one character: one "?".
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) ++i;
    r.push_back(AnsiCharToByte(c, b) ? b : static_cast<uint8_t>('?'));
  }
  return r;
}

}  // namespace rtl

// The operating system's converters on Windows: MultiByteToWideChar / WideCharToMultiByte by
// code page. The Unicode forms the API does not convert (UTF-16 and UTF-32 of either order) are
// done here.
#include <cstring>
#include <string>

#include "platform/SystemEncoding.h"

#include "rtl/win32/WinApi.h"

namespace platform {

namespace {

// The code page of a charset the neutral table left without one ("CP437", "IBM850",
// "ISO-8859-2"...); 0 when the name carries none.
unsigned CodePageOfCharset(const std::string& n) {
  for (const char* prefix : {"CP", "WINDOWS-", "IBM"}) {
    size_t len = std::strlen(prefix);
    if (n.size() > len && n.size() <= len + 5 && n.compare(0, len, prefix) == 0 &&
        n.find_first_not_of("0123456789", len) == std::string::npos)
      return static_cast<unsigned>(std::stoul(n.substr(len)));
  }
  if (n.size() > 9 && n.size() <= 11 && n.compare(0, 9, "ISO-8859-") == 0 &&
      n.find_first_not_of("0123456789", 9) == std::string::npos)
    return 28590 + static_cast<unsigned>(std::stoul(n.substr(9)));
  return 0;
}

bool IsUnicodeForm(unsigned cp) { return cp == 1200 || cp == 1201 || cp == 12000 || cp == 12001; }

// No best fit ("a" for "\u0101"): a character the set lacks becomes "?", as everywhere else. The
// code pages that take no flags never fit characters that way.
DWORD EncodeFlags(unsigned cp) {
  bool noFlags = (cp >= 50220 && cp <= 50229) || cp == 52936 || cp == 54936 || (cp >= 57002 && cp <= 57011) ||
                 cp == 65000 || cp == 65001 || cp == 42;
  return noFlags ? 0 : WC_NO_BEST_FIT_CHARS;
}

class TWinEncoding : public TEncoding {
 public:
  TWinEncoding(std::string name, unsigned codePage) : FName(std::move(name)), FCodePage(codePage) {}
  unsigned CodePage() const override { return FCodePage; }
  rtl::String EncodingName() const override { return rtl::S(FName); }

  rtl::Bytes DoGetBytes(std::u16string_view text) const override {
    if (IsUnicodeForm(FCodePage)) return UnicodeBytes(text);
    // The API stops at nothing: unpaired surrogates and characters the set lacks come out as
    // its default character ("?"), or U+FFFD for UTF-8.
    // One "?" for a character beyond the Basic Multilingual Plane, not one for each of its
    // surrogates, where the set cannot carry such characters at all.
    std::u16string narrowed;
    auto pairAt = [&](size_t i) {
      return text[i] >= 0xD800 && text[i] <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
             text[i + 1] <= 0xDFFF;
    };
    if (FCodePage != 54936 && FCodePage != 65000 && FCodePage != 65001) {
      bool any = false;
      for (size_t i = 0; i < text.size() && !any; ++i) any = pairAt(i);
      if (any) {
        for (size_t i = 0; i < text.size(); ++i) {
          narrowed.push_back(pairAt(i) ? u'?' : text[i]);
          if (pairAt(i)) ++i;
        }
        text = narrowed;
      }
    }
    const wchar_t* src = reinterpret_cast<const wchar_t*>(text.data());
    DWORD flags = EncodeFlags(FCodePage);
    int n = WideCharToMultiByte(FCodePage, flags, src, static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    rtl::Bytes out(static_cast<size_t>(n > 0 ? n : 0));
    if (n > 0)
      WideCharToMultiByte(FCodePage, flags, src, static_cast<int>(text.size()), reinterpret_cast<char*>(out.data()), n,
                          nullptr, nullptr);
    return out;
  }

  rtl::String DoGetString(const uint8_t* bytes, size_t count) const override {
    if (IsUnicodeForm(FCodePage)) return UnicodeString(bytes, count);
    const char* src = reinterpret_cast<const char*>(bytes);
    int n = MultiByteToWideChar(FCodePage, 0, src, static_cast<int>(count), nullptr, 0);
    rtl::String out(static_cast<size_t>(n > 0 ? n : 0), u'\0');
    if (n > 0) MultiByteToWideChar(FCodePage, 0, src, static_cast<int>(count), reinterpret_cast<wchar_t*>(out.data()), n);
    return out;
  }

 private:
  bool BigEndian() const { return FCodePage == 1201 || FCodePage == 12001; }
  size_t Unit() const { return FCodePage >= 12000 ? 4 : 2; }

  void PutUnit(rtl::Bytes& out, uint32_t v) const {
    size_t n = Unit();
    for (size_t i = 0; i < n; ++i) {
      size_t shift = 8 * (BigEndian() ? n - 1 - i : i);
      out.push_back(static_cast<uint8_t>(v >> shift));
    }
  }

  rtl::Bytes UnicodeBytes(std::u16string_view text) const {
    rtl::Bytes out;
    out.reserve(text.size() * Unit());
    for (size_t i = 0; i < text.size(); ++i) {
      uint32_t c = text[i];
      bool high = c >= 0xD800 && c <= 0xDBFF, low = c >= 0xDC00 && c <= 0xDFFF;
      if (high && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
        uint32_t cp = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
        if (Unit() == 4) {
          PutUnit(out, cp);
        } else {
          PutUnit(out, c);
          PutUnit(out, text[i + 1]);
        }
        ++i;
        continue;
      }
      PutUnit(out, high || low ? 0xFFFD : c);  // a lone surrogate
    }
    return out;
  }

  rtl::String UnicodeString(const uint8_t* bytes, size_t count) const {
    rtl::String out;
    size_t n = Unit();
    out.reserve(count / n + 1);
    size_t i = 0;
    for (; i + n <= count; i += n) {
      uint32_t v = 0;
      for (size_t k = 0; k < n; ++k) v |= uint32_t(bytes[i + k]) << (8 * (BigEndian() ? n - 1 - k : k));
      if (n == 2) {
        out.push_back(static_cast<char16_t>(v));
      } else if (v >= 0x10000 && v <= 0x10FFFF) {
        out.push_back(static_cast<char16_t>(0xD800 + ((v - 0x10000) >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + ((v - 0x10000) & 0x3FF)));
      } else {
        out.push_back(v > 0xFFFF || (v >= 0xD800 && v <= 0xDFFF) ? u'\uFFFD' : static_cast<char16_t>(v));
      }
    }
    if (i < count) out.push_back(u'\uFFFD');  // a unit cut short
    return out;
  }

  std::string FName;
  unsigned FCodePage;
};

}  // namespace

std::unique_ptr<TEncoding> OpenSystemEncoding(const std::string& charset, unsigned codePage) {
  if (codePage == 0) codePage = CodePageOfCharset(charset);
  if (codePage == 0 || (!IsUnicodeForm(codePage) && !IsValidCodePage(codePage))) return nullptr;
  return std::make_unique<TWinEncoding>(charset, codePage);
}

}  // namespace platform

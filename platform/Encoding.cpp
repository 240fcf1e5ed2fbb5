#include "platform/Encoding.h"

#include <errno.h>
#include <iconv.h>

#include <bit>
#include <cstring>
#include <string>

#include "rtl/Ansi.h"

namespace platform {

namespace {

// The platform's texts for the two ways a conversion fails.
const char16_t kNoMapping[] = u"No mapping for the Unicode character exists in the target multi-byte code page";
const char16_t kBufferTooSmall[] = u"The data area passed to a system call is too small";

constexpr const char* kUtf16Native = std::endian::native == std::endian::little ? "UTF-16LE" : "UTF-16BE";

// Names that need more than iconv's own table: the Windows meaning of "utf-16" (little-endian,
// no byte-order mark), the Windows "x-" names, and the code-page numbers iconv does not know.
struct TNameAlias {
  const char* Name;     // upper case
  const char* Iconv;    // nullptr: the ANSI code page
  unsigned CodePage;
};
constexpr TNameAlias kAliases[] = {
    {"WINDOWS-1252", nullptr, 1252}, {"CP1252", nullptr, 1252}, {"MS-ANSI", nullptr, 1252},
    {"X-CP1252", nullptr, 1252},     {"IBM-1252", nullptr, 1252},
    {"UTF-8", "UTF-8", 65001},       {"UTF8", "UTF-8", 65001},   {"CP65001", "UTF-8", 65001},
    {"UTF-7", "UTF-7", 65000},       {"CP65000", "UTF-7", 65000},
    {"UTF-16", "UTF-16LE", 1200},    {"UNICODE", "UTF-16LE", 1200}, {"UTF-16LE", "UTF-16LE", 1200},
    {"CP1200", "UTF-16LE", 1200},    {"UNICODEFFFE", "UTF-16BE", 1201}, {"UTF-16BE", "UTF-16BE", 1201},
    {"CP1201", "UTF-16BE", 1201},    {"UTF-32", "UTF-32LE", 12000}, {"UTF-32LE", "UTF-32LE", 12000},
    {"CP12000", "UTF-32LE", 12000},  {"UTF-32BE", "UTF-32BE", 12001}, {"CP12001", "UTF-32BE", 12001},
    {"US-ASCII", "US-ASCII", 20127}, {"ASCII", "US-ASCII", 20127}, {"CP20127", "US-ASCII", 20127},
    {"X-MAC-CYRILLIC", "MAC-CYRILLIC", 10007}, {"MAC-CYRILLIC", "MAC-CYRILLIC", 10007},
    {"CP10007", "MAC-CYRILLIC", 10007}, {"MACINTOSH", "MACINTOSH", 10000}, {"CP10000", "MACINTOSH", 10000},
    {"KOI8-R", "KOI8-R", 20866},     {"CP20866", "KOI8-R", 20866},
    {"KOI8-U", "KOI8-U", 21866},     {"CP21866", "KOI8-U", 21866},
    {"IBM866", "IBM866", 866},       {"CP866", "IBM866", 866},
    {"LATIN1", "ISO-8859-1", 28591}, {"ISO-8859-1", "ISO-8859-1", 28591}, {"CP28591", "ISO-8859-1", 28591},
    {"ISO-8859-2", "ISO-8859-2", 28592}, {"CP28592", "ISO-8859-2", 28592},
    {"ISO-8859-3", "ISO-8859-3", 28593}, {"CP28593", "ISO-8859-3", 28593},
    {"ISO-8859-4", "ISO-8859-4", 28594}, {"CP28594", "ISO-8859-4", 28594},
    {"ISO-8859-5", "ISO-8859-5", 28595}, {"CP28595", "ISO-8859-5", 28595},
    {"ISO-8859-6", "ISO-8859-6", 28596}, {"CP28596", "ISO-8859-6", 28596},
    {"ISO-8859-7", "ISO-8859-7", 28597}, {"CP28597", "ISO-8859-7", 28597},
    {"ISO-8859-8", "ISO-8859-8", 28598}, {"CP28598", "ISO-8859-8", 28598},
    {"ISO-8859-9", "ISO-8859-9", 28599}, {"CP28599", "ISO-8859-9", 28599},
    {"ISO-8859-13", "ISO-8859-13", 28603}, {"CP28603", "ISO-8859-13", 28603},
    {"ISO-8859-15", "ISO-8859-15", 28605}, {"CP28605", "ISO-8859-15", 28605},
    {"SHIFT_JIS", "SHIFT_JIS", 932}, {"CP932", "CP932", 932},
    {"GB2312", "GB2312", 936},       {"GBK", "GBK", 936},        {"CP936", "GBK", 936},
    {"GB18030", "GB18030", 54936},   {"CP54936", "GB18030", 54936},
    {"KS_C_5601-1987", "CP949", 949}, {"CP949", "CP949", 949},
    {"BIG5", "BIG5", 950},           {"CP950", "BIG5", 950},
    {"EUC-JP", "EUC-JP", 51932},     {"CP51932", "EUC-JP", 51932}, {"CP20932", "EUC-JP", 20932},
    {"EUC-KR", "EUC-KR", 51949},     {"CP51949", "EUC-KR", 51949},
    {"ISO-2022-JP", "ISO-2022-JP", 50220}, {"CP50220", "ISO-2022-JP", 50220},
};

// Upper-cased ASCII name without surrounding blanks; false when it cannot be a set name.
bool NormaliseName(std::u16string_view name, std::string& out) {
  rtl::String t = rtl::Trim(name);
  if (t.empty() || t.size() > 64) return false;
  out.clear();
  for (char16_t c : t) {
    // Letters, digits and the punctuation set names use; never iconv's "//" suffixes.
    bool ok = (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') || (c >= u'0' && c <= u'9') ||
              c == u'-' || c == u'_' || c == u'.' || c == u':' || c == u'+';
    if (!ok) return false;
    out.push_back(static_cast<char>(c >= u'a' && c <= u'z' ? c - 32 : c));
  }
  return true;
}

class TAnsiEncoding : public TEncoding {
 public:
  unsigned CodePage() const override { return rtl::AnsiCodePage; }
  rtl::String EncodingName() const override { return u"windows-1252"; }
  rtl::Bytes DoGetBytes(std::u16string_view text) const override { return rtl::StringToAnsi(text); }
  rtl::String DoGetString(const uint8_t* bytes, size_t count) const override {
    return rtl::AnsiToString(bytes, count);
  }
};

class TIconvEncoding : public TEncoding {
 public:
  TIconvEncoding(std::string name, unsigned codePage, iconv_t encoder, iconv_t decoder)
      : FName(std::move(name)), FCodePage(codePage), FEncoder(encoder), FDecoder(decoder) {
    FUnicodeForm = FName.rfind("UTF", 0) == 0 || FName.rfind("UCS", 0) == 0 || FName == "GB18030";
  }
  ~TIconvEncoding() override {
    iconv_close(FEncoder);
    iconv_close(FDecoder);
  }

  unsigned CodePage() const override { return FCodePage; }
  rtl::String EncodingName() const override { return rtl::S(FName); }

  rtl::Bytes DoGetBytes(std::u16string_view text) const override {
    rtl::Bytes out;
    iconv(FEncoder, nullptr, nullptr, nullptr, nullptr);  // initial shift state
    const char16_t replacement[1] = {FUnicodeForm ? u'\uFFFD' : u'?'};
    size_t i = 0;
    while (i < text.size()) {
      size_t used = 0;
      int err = Convert(FEncoder, reinterpret_cast<const char*>(text.data() + i), (text.size() - i) * 2, out, used);
      i += used / 2;
      if (err == 0) break;
      // A character the set cannot carry, or a lone surrogate: one replacement, through the same
      // descriptor so a stateful set keeps its shift state right.
      size_t skip = 1;
      if (text[i] >= 0xD800 && text[i] <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
          text[i + 1] <= 0xDFFF)
        skip = 2;
      size_t dummy = 0;
      Convert(FEncoder, reinterpret_cast<const char*>(replacement), 2, out, dummy);
      i += skip;
    }
    Flush(out);
    return out;
  }

  rtl::String DoGetString(const uint8_t* bytes, size_t count) const override {
    rtl::String out;
    iconv(FDecoder, nullptr, nullptr, nullptr, nullptr);
    size_t i = 0;
    while (i < count) {
      size_t used = 0;
      int err = Convert(FDecoder, reinterpret_cast<const char*>(bytes + i), count - i, out, used);
      i += used;
      if (err == 0) break;
      // An undecodable byte (or an incomplete sequence at the end) becomes U+FFFD.
      out.push_back(u'\uFFFD');
      if (err == EINVAL) break;
      i += 1;
    }
    return out;
  }

 private:
  // Converts as much as it can, growing the output; answers 0 when everything was converted,
  // else the errno of the stop (EILSEQ or EINVAL), with `used` the input bytes consumed.
  // Converts as much as it can, growing the output; answers 0 when everything was converted,
  // else the errno of the stop (EILSEQ or EINVAL), with `used` the input bytes consumed.
  // Encoding grows a byte array, decoding writes UTF-16 code units straight into the string.
  template <typename Out>
  static int Convert(iconv_t cd, const char* in, size_t inSize, Out& out, size_t& used) {
    constexpr size_t unit = sizeof(typename Out::value_type);
    char* src = const_cast<char*>(in);
    size_t left = inSize;
    for (;;) {
      size_t start = out.size();
      // Room for the usual worst case (decoding: a unit per byte; encoding: four bytes per
      // UTF-16 unit); E2BIG asks for more when a set needs it.
      size_t room = (unit == 1 ? left * 2 : left) + 16;
      out.resize(start + room);
      char* dst = reinterpret_cast<char*>(out.data() + start);
      size_t outLeft = room * unit;
      size_t r = iconv(cd, &src, &left, &dst, &outLeft);
      int e = errno;
      out.resize(start + room - outLeft / unit);
      used = inSize - left;
      if (r != static_cast<size_t>(-1)) return 0;
      if (e == E2BIG) continue;
      return e == EINVAL ? EINVAL : EILSEQ;
    }
  }

  void Flush(rtl::Bytes& out) const {
    for (;;) {
      size_t start = out.size();
      size_t room = 64;
      out.resize(start + room);
      char* dst = reinterpret_cast<char*>(out.data() + start);
      size_t outLeft = room;
      size_t r = iconv(FEncoder, nullptr, nullptr, &dst, &outLeft);
      out.resize(start + (room - outLeft));
      if (r != static_cast<size_t>(-1) || errno != E2BIG) return;
    }
  }

  std::string FName;
  unsigned FCodePage;
  iconv_t FEncoder;
  iconv_t FDecoder;
  bool FUnicodeForm = false;
};

std::unique_ptr<TEncoding> OpenIconv(const std::string& iconvName, unsigned codePage) {
  iconv_t enc = iconv_open(iconvName.c_str(), kUtf16Native);
  if (enc == reinterpret_cast<iconv_t>(-1)) return nullptr;
  iconv_t dec = iconv_open(kUtf16Native, iconvName.c_str());
  if (dec == reinterpret_cast<iconv_t>(-1)) {
    iconv_close(enc);
    return nullptr;
  }
  return std::make_unique<TIconvEncoding>(iconvName, codePage, enc, dec);
}

}  // namespace

std::unique_ptr<TEncoding> TEncoding::Default() { return std::make_unique<TAnsiEncoding>(); }

std::unique_ptr<TEncoding> TEncoding::TryGetEncoding(std::u16string_view name) {
  std::string n;
  if (!NormaliseName(name, n)) return nullptr;
  for (const TNameAlias& a : kAliases) {
    if (n == a.Name) {
      if (!a.Iconv) return Default();
      return OpenIconv(a.Iconv, a.CodePage);
    }
  }
  // "cp" and a number iconv knows by that name (CP437, CP850, CP1250...).
  unsigned codePage = 0;
  if (n.size() > 2 && n.compare(0, 2, "CP") == 0 && n.size() <= 7 &&
      n.find_first_not_of("0123456789", 2) == std::string::npos) {
    codePage = static_cast<unsigned>(std::stoul(n.substr(2)));
    if (codePage >= 1250 && codePage <= 1258) return OpenIconv("WINDOWS-" + std::to_string(codePage), codePage);
  }
  if (n.rfind("WINDOWS-", 0) == 0 && n.size() == 12 && n.compare(8, 3, "125") == 0)
    codePage = static_cast<unsigned>(std::stoul(n.substr(8)));
  return OpenIconv(n, codePage);
}

std::unique_ptr<TEncoding> TEncoding::GetEncoding(std::u16string_view name) {
  std::unique_ptr<TEncoding> e = TryGetEncoding(name);
  if (!e) throw rtl::EEncodingError(rtl::Format(u"Unknown character set '%s'", {rtl::String(name)}));
  return e;
}

rtl::Bytes TEncoding::GetBytes(std::u16string_view text) const {
  rtl::Bytes b = DoGetBytes(text);
  if (b.empty() && !text.empty()) throw rtl::EEncodingError(kNoMapping);
  return b;
}

int TEncoding::GetByteCount(std::u16string_view text) const { return static_cast<int>(GetBytes(text).size()); }

rtl::String TEncoding::GetString(const uint8_t* bytes, size_t count) const {
  if (count == 0) return rtl::String();
  rtl::String s = DoGetString(bytes, count);
  if (s.empty()) throw rtl::EEncodingError(kNoMapping);
  return s;
}

int TEncoding::GetBytes(std::u16string_view text, uint8_t* bytes, int byteCount) const {
  rtl::Bytes b = GetBytes(text);
  if (byteCount < 0 || b.size() > static_cast<size_t>(byteCount) || (!bytes && !b.empty()))
    throw rtl::EEncodingError(kBufferTooSmall);
  if (!b.empty()) std::memcpy(bytes, b.data(), b.size());
  return static_cast<int>(b.size());
}

}  // namespace platform

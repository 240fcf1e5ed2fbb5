// Character-set names, our Windows-1252 table, and the checks every conversion shares; the other
// sets come from the operating system's converters (SystemEncoding.h).
#include "platform/Encoding.h"

#include <cstring>
#include <string>

#include "platform/SystemEncoding.h"
#include "rtl/Ansi.h"

namespace platform {

namespace {

// The platform's texts for the two ways a conversion fails.
const char16_t kNoMapping[] = u"No mapping for the Unicode character exists in the target multi-byte code page";
const char16_t kBufferTooSmall[] = u"The data area passed to a system call is too small";

// Names that need more than the converters' own tables: the Windows meaning of "utf-16"
// (little-endian, no byte-order mark), the Windows "x-" names, and the code-page numbers.
struct TNameAlias {
  const char* Name;     // upper case
  const char* Charset;  // the converters' name; nullptr: the ANSI code page
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
    // Letters, digits and the punctuation set names use; never the converters' "//" suffixes.
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

}  // namespace

std::unique_ptr<TEncoding> TEncoding::Default() { return std::make_unique<TAnsiEncoding>(); }

std::unique_ptr<TEncoding> TEncoding::TryGetEncoding(std::u16string_view name) {
  std::string n;
  if (!NormaliseName(name, n)) return nullptr;
  for (const TNameAlias& a : kAliases) {
    if (n == a.Name) {
      if (!a.Charset) return Default();
      return OpenSystemEncoding(a.Charset, a.CodePage);
    }
  }
  // "cp" and a number the converters know by that name (CP437, CP850, CP1250...).
  unsigned codePage = 0;
  if (n.size() > 2 && n.compare(0, 2, "CP") == 0 && n.size() <= 7 &&
      n.find_first_not_of("0123456789", 2) == std::string::npos) {
    codePage = static_cast<unsigned>(std::stoul(n.substr(2)));
    if (codePage >= 1250 && codePage <= 1258) return OpenSystemEncoding("WINDOWS-" + std::to_string(codePage), codePage);
  }
  if (n.rfind("WINDOWS-", 0) == 0 && n.size() == 12 && n.compare(8, 3, "125") == 0)
    codePage = static_cast<unsigned>(std::stoul(n.substr(8)));
  return OpenSystemEncoding(n, codePage);
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

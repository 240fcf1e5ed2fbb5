#include "rtl/SysUtils.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "rtl/Exception.h"
#include "rtl/OsServices.h"

namespace rtl {

// ---------------------------------------------------------------------------------------------
// UTF-8

String Utf8ToString(std::string_view s) {
  String out;
  out.reserve(s.size());
  const auto* p = reinterpret_cast<const uint8_t*>(s.data());
  size_t n = s.size(), i = 0;
  while (i < n) {
    uint8_t b = p[i];
    if (b < 0x80) {
      out.push_back(b);
      ++i;
      continue;
    }
    uint32_t cp;
    size_t len;
    uint32_t min;
    if (b >= 0xC2 && b <= 0xDF) { cp = b & 0x1F; len = 2; min = 0x80; }
    else if (b >= 0xE0 && b <= 0xEF) { cp = b & 0x0F; len = 3; min = 0x800; }
    else if (b >= 0xF0 && b <= 0xF4) { cp = b & 0x07; len = 4; min = 0x10000; }
    else { out.push_back(0xFFFD); ++i; continue; }
    size_t j = 1;
    for (; j < len && i + j < n; ++j) {
      uint8_t c = p[i + j];
      if ((c & 0xC0) != 0x80) break;
      // Reject overlongs and surrogates at the second byte, as a maximal subpart.
      if (j == 1) {
        if (b == 0xE0 && c < 0xA0) break;
        if (b == 0xED && c > 0x9F) break;
        if (b == 0xF0 && c < 0x90) break;
        if (b == 0xF4 && c > 0x8F) break;
      }
      cp = (cp << 6) | (c & 0x3F);
    }
    if (j < len) {
      out.push_back(0xFFFD);
      i += j;
      continue;
    }
    i += len;
    if (cp < min) { out.push_back(0xFFFD); continue; }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
  }
  return out;
}

std::string StringToUtf8(std::u16string_view s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    uint32_t cp = s[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (s[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;
    }
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  return out;
}

// ---------------------------------------------------------------------------------------------
// Trimming and case

String GetEnvironmentVariable(std::u16string_view name) {
  String value;
  TryGetEnvironmentVariable(name, value);
  return value;
}

String Trim(std::u16string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && s[b] <= 32) ++b;
  while (e > b && s[e - 1] <= 32) --e;
  return String(s.substr(b, e - b));
}
String TrimLeft(std::u16string_view s) {
  size_t b = 0;
  while (b < s.size() && s[b] <= 32) ++b;
  return String(s.substr(b));
}
String TrimRight(std::u16string_view s) {
  size_t e = s.size();
  while (e > 0 && s[e - 1] <= 32) --e;
  return String(s.substr(0, e));
}

Char UpCaseAscii(Char c) { return (c >= u'a' && c <= u'z') ? static_cast<Char>(c - 32) : c; }
Char LowCaseAscii(Char c) { return (c >= u'A' && c <= u'Z') ? static_cast<Char>(c + 32) : c; }

String UpperCase(std::u16string_view s) {
  String r(s);
  for (auto& c : r) c = UpCaseAscii(c);
  return r;
}
String LowerCase(std::u16string_view s) {
  String r(s);
  for (auto& c : r) c = LowCaseAscii(c);
  return r;
}

namespace {
template <typename F>
String MapCase(std::u16string_view s, F f) {
  String r;
  r.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    uint32_t cp = s[i];
    bool pair = cp >= 0xD800 && cp <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF;
    if (pair) cp = 0x10000 + ((cp - 0xD800) << 10) + (s[i + 1] - 0xDC00);
    uint32_t m = cp < 0x80 || (cp >= 0xD800 && cp <= 0xDFFF) ? f(cp, true) : f(cp, false);
    // Keep the length in code units: a mapping across the BMP boundary is not taken.
    if ((cp >= 0x10000) != (m >= 0x10000)) m = cp;
    if (m >= 0x10000) {
      m -= 0x10000;
      r.push_back(static_cast<Char>(0xD800 + (m >> 10)));
      r.push_back(static_cast<Char>(0xDC00 + (m & 0x3FF)));
      ++i;
    } else {
      r.push_back(static_cast<Char>(m));
    }
  }
  return r;
}
}  // namespace

String AnsiUpperCase(std::u16string_view s) {
  return MapCase(s, [](uint32_t c, bool ascii) -> uint32_t {
    if (ascii) return c < 0x80 ? UpCaseAscii(static_cast<Char>(c)) : c;
    return os::UnicodeUpperCase(c);
  });
}
String AnsiLowerCase(std::u16string_view s) {
  return MapCase(s, [](uint32_t c, bool ascii) -> uint32_t {
    if (ascii) return c < 0x80 ? LowCaseAscii(static_cast<Char>(c)) : c;
    return os::UnicodeLowerCase(c);
  });
}

int CompareStr(std::u16string_view a, std::u16string_view b) {
  int r = a.compare(b);
  return r < 0 ? -1 : (r > 0 ? 1 : 0);
}
int CompareText(std::u16string_view a, std::u16string_view b) {
  size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    Char x = UpCaseAscii(a[i]), y = UpCaseAscii(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
}
bool SameText(std::u16string_view a, std::u16string_view b) { return a.size() == b.size() && CompareText(a, b) == 0; }
bool SameStr(std::u16string_view a, std::u16string_view b) { return a == b; }
bool StartsText(std::u16string_view p, std::u16string_view s) { return s.size() >= p.size() && SameText(s.substr(0, p.size()), p); }
bool EndsText(std::u16string_view p, std::u16string_view s) { return s.size() >= p.size() && SameText(s.substr(s.size() - p.size()), p); }
bool StartsStr(std::u16string_view p, std::u16string_view s) { return s.substr(0, p.size()) == p; }
bool EndsStr(std::u16string_view p, std::u16string_view s) { return s.size() >= p.size() && s.substr(s.size() - p.size()) == p; }

// ---------------------------------------------------------------------------------------------
// Positions

int Pos(std::u16string_view sub, std::u16string_view s, int offset) {
  if (sub.empty() || offset < 1 || static_cast<size_t>(offset) > s.size()) return 0;
  size_t p = s.find(sub, static_cast<size_t>(offset - 1));
  return p == std::u16string_view::npos ? 0 : static_cast<int>(p) + 1;
}

String Copy(std::u16string_view s, int index, int count) {
  if (index < 1) index = 1;
  if (count <= 0 || static_cast<size_t>(index) > s.size()) return String();
  return String(s.substr(static_cast<size_t>(index - 1), static_cast<size_t>(count)));
}

void Delete(String& s, int index, int count) {
  if (index < 1 || count <= 0 || static_cast<size_t>(index) > s.size()) return;
  s.erase(static_cast<size_t>(index - 1), static_cast<size_t>(count));
}

void Insert(std::u16string_view sub, String& s, int index) {
  if (index < 1) index = 1;
  if (static_cast<size_t>(index) > s.size() + 1) index = static_cast<int>(s.size()) + 1;
  s.insert(static_cast<size_t>(index - 1), sub);
}

String StringReplace(std::u16string_view s, std::u16string_view oldP, std::u16string_view newP, unsigned flags) {
  if (oldP.empty()) return String(s);
  String r;
  String hay = (flags & rfIgnoreCase) ? AnsiUpperCase(s) : String(s);
  String pat = (flags & rfIgnoreCase) ? AnsiUpperCase(oldP) : String(oldP);
  size_t i = 0;
  while (i <= s.size()) {
    size_t p = hay.find(pat, i);
    if (p == String::npos) break;
    r.append(s.substr(i, p - i));
    r.append(newP);
    i = p + oldP.size();
    if (!(flags & rfReplaceAll)) break;
  }
  if (i < s.size()) r.append(s.substr(i));
  return r;
}

String StringOfChar(Char c, int count) { return count > 0 ? String(static_cast<size_t>(count), c) : String(); }

// ---------------------------------------------------------------------------------------------
// Integers

String IntToStr(int64_t v) { return S(std::to_string(v)); }
String UIntToStr(uint64_t v) { return S(std::to_string(v)); }

String IntToHex(uint64_t v, int digits) {
  static const char16_t* hex = u"0123456789ABCDEF";
  String r;
  do {
    r.insert(r.begin(), hex[v & 0xF]);
    v >>= 4;
  } while (v != 0);
  while (static_cast<int>(r.size()) < digits) r.insert(r.begin(), u'0');
  return r;
}

namespace {
// Parses like the runtime's Val: leading blanks, sign, "$"/"x"/"0x" hexadecimal. Hexadecimal
// values may use the whole unsigned range and wrap, as the runtime allows for $FFFFFFFF.
bool ParseInteger(std::u16string_view s, int bits, int64_t& out) {
  size_t i = 0, n = s.size();
  while (i < n && s[i] == u' ') ++i;
  bool neg = false;
  if (i < n && (s[i] == u'-' || s[i] == u'+')) { neg = s[i] == u'-'; ++i; }
  bool hex = false;
  if (i < n && (s[i] == u'$' || s[i] == u'x' || s[i] == u'X')) { hex = true; ++i; }
  else if (i + 1 < n && s[i] == u'0' && (s[i + 1] == u'x' || s[i + 1] == u'X')) { hex = true; i += 2; }
  if (i >= n) return false;
  uint64_t v = 0;
  const uint64_t limitUnsigned = bits == 32 ? 0xFFFFFFFFULL : ~0ULL;
  for (; i < n; ++i) {
    Char c = s[i];
    unsigned d;
    if (c >= u'0' && c <= u'9') d = c - u'0';
    else if (hex && c >= u'a' && c <= u'f') d = c - u'a' + 10;
    else if (hex && c >= u'A' && c <= u'F') d = c - u'A' + 10;
    else return false;
    unsigned base = hex ? 16 : 10;
    if (v > (limitUnsigned - d) / base) return false;
    v = v * base + d;
  }
  if (hex) {
    // Wraps into the signed range, then the sign applies.
    int64_t sv = bits == 32 ? static_cast<int64_t>(static_cast<int32_t>(static_cast<uint32_t>(v)))
                            : static_cast<int64_t>(v);
    out = neg ? static_cast<int64_t>(0ULL - static_cast<uint64_t>(sv)) : sv;
    if (bits == 32) out = static_cast<int32_t>(static_cast<uint32_t>(out));
    return true;
  }
  uint64_t maxPos = bits == 32 ? 0x7FFFFFFFULL : 0x7FFFFFFFFFFFFFFFULL;
  if (neg) {
    if (v > maxPos + 1) return false;
    out = static_cast<int64_t>(0ULL - v);
  } else {
    if (v > maxPos) return false;
    out = static_cast<int64_t>(v);
  }
  return true;
}

[[noreturn]] void RaiseInvalidInteger(std::u16string_view s) {
  throw EConvertError(Format(u"'%s' is not a valid integer value", {String(s)}));
}
}  // namespace

bool TryStrToInt(std::u16string_view s, int32_t& v) {
  int64_t r;
  if (!ParseInteger(s, 32, r)) return false;
  v = static_cast<int32_t>(r);
  return true;
}
bool TryStrToInt64(std::u16string_view s, int64_t& v) { return ParseInteger(s, 64, v); }
int32_t StrToInt(std::u16string_view s) {
  int32_t v;
  if (!TryStrToInt(s, v)) RaiseInvalidInteger(s);
  return v;
}
int64_t StrToInt64(std::u16string_view s) {
  int64_t v;
  if (!TryStrToInt64(s, v)) RaiseInvalidInteger(s);
  return v;
}
int32_t StrToIntDef(std::u16string_view s, int32_t def) {
  int32_t v;
  return TryStrToInt(s, v) ? v : def;
}
int64_t StrToInt64Def(std::u16string_view s, int64_t def) {
  int64_t v;
  return TryStrToInt64(s, v) ? v : def;
}

// ---------------------------------------------------------------------------------------------
// Format

namespace {
[[noreturn]] void RaiseFormatError(std::u16string_view fmt) {
  throw EConvertError(u"Format '" + String(fmt) + u"' invalid or incompatible with argument");
}

String Pad(String body, int width, bool left) {
  if (width > static_cast<int>(body.size())) {
    String pad(static_cast<size_t>(width) - body.size(), u' ');
    return left ? body + pad : pad + body;
  }
  return body;
}

String ThousandSep(const std::string& digits) {
  // digits: optional sign, integer part, optional fraction
  size_t start = (!digits.empty() && digits[0] == '-') ? 1 : 0;
  size_t dot = digits.find('.');
  size_t intEnd = dot == std::string::npos ? digits.size() : dot;
  std::string r = digits.substr(0, start);
  for (size_t i = start; i < intEnd; ++i) {
    r.push_back(digits[i]);
    size_t left = intEnd - i - 1;
    if (left > 0 && left % 3 == 0) r.push_back(',');
  }
  r += digits.substr(intEnd);
  return S(r);
}
}  // namespace

String Format(std::u16string_view fmt, std::initializer_list<TVarRec> args) {
  return Format(fmt, std::vector<TVarRec>(args));
}

String Format(std::u16string_view fmt, const std::vector<TVarRec>& args) {
  String out;
  size_t argIndex = 0;
  size_t i = 0, n = fmt.size();
  auto nextArg = [&]() -> const TVarRec& {
    if (argIndex >= args.size()) RaiseFormatError(fmt);
    return args[argIndex++];
  };
  while (i < n) {
    Char c = fmt[i];
    if (c != u'%') { out.push_back(c); ++i; continue; }
    ++i;
    if (i >= n) RaiseFormatError(fmt);
    if (fmt[i] == u'%') { out.push_back(u'%'); ++i; continue; }
    // Optional index "n:"
    size_t save = i;
    int num = 0;
    bool haveNum = false;
    while (i < n && fmt[i] >= u'0' && fmt[i] <= u'9') { num = num * 10 + (fmt[i] - u'0'); haveNum = true; ++i; if (num > 100000) RaiseFormatError(fmt); }
    if (haveNum && i < n && fmt[i] == u':') { argIndex = static_cast<size_t>(num); ++i; }
    else i = save;
    bool left = false;
    if (i < n && fmt[i] == u'-') { left = true; ++i; }
    int width = -1, prec = -1;
    auto readNumber = [&](int& target) {
      if (i < n && fmt[i] == u'*') {
        const TVarRec& a = nextArg();
        if (a.kind != TVarRec::vtInt && a.kind != TVarRec::vtUInt) RaiseFormatError(fmt);
        target = static_cast<int>(a.kind == TVarRec::vtInt ? a.i : static_cast<int64_t>(a.u));
        ++i;
        return;
      }
      bool any = false;
      int v = 0;
      while (i < n && fmt[i] >= u'0' && fmt[i] <= u'9') { v = v * 10 + (fmt[i] - u'0'); any = true; ++i; if (v > 100000) RaiseFormatError(fmt); }
      if (any) target = v;
    };
    readNumber(width);
    if (i < n && fmt[i] == u'.') { ++i; prec = 0; readNumber(prec); }
    if (i >= n) RaiseFormatError(fmt);
    Char t = fmt[i++];
    const TVarRec& a = nextArg();
    String body;
    switch (t) {
      case u'd': case u'D': case u'u': case u'U': {
        bool neg = false;
        uint64_t mag;
        if (a.kind == TVarRec::vtInt) { neg = a.i < 0; mag = neg ? 0ULL - static_cast<uint64_t>(a.i) : static_cast<uint64_t>(a.i); }
        else if (a.kind == TVarRec::vtUInt) mag = a.u;
        else RaiseFormatError(fmt);
        String digits = UIntToStr(mag);
        if (prec > 0 && static_cast<int>(digits.size()) < prec) digits.insert(0, static_cast<size_t>(prec) - digits.size(), u'0');
        body = (neg ? u"-" : u"") + digits;
        break;
      }
      case u'x': case u'X': {
        uint64_t v;
        if (a.kind == TVarRec::vtInt) v = static_cast<uint64_t>(a.i);
        else if (a.kind == TVarRec::vtUInt) v = a.u;
        else RaiseFormatError(fmt);
        if (a.kind == TVarRec::vtInt && a.i >= INT32_MIN && a.i <= INT32_MAX) v = static_cast<uint32_t>(a.i);
        body = IntToHex(v, prec > 0 ? prec : 0);
        break;
      }
      case u's': case u'S': {
        if (a.kind != TVarRec::vtString) RaiseFormatError(fmt);
        body = a.s;
        if (prec >= 0 && static_cast<int>(body.size()) > prec) body.resize(static_cast<size_t>(prec));
        break;
      }
      case u'f': case u'F': case u'e': case u'E': case u'g': case u'G': case u'n': case u'N': {
        double v;
        if (a.kind == TVarRec::vtFloat) v = a.d;
        else if (a.kind == TVarRec::vtInt) v = static_cast<double>(a.i);
        else if (a.kind == TVarRec::vtUInt) v = static_cast<double>(a.u);
        else RaiseFormatError(fmt);
        char buf[512];
        Char lt = LowCaseAscii(t);
        if (lt == u'f' || lt == u'n') {
          std::snprintf(buf, sizeof buf, "%.*f", prec < 0 ? 2 : std::min(prec, 100), v);
          body = lt == u'n' ? ThousandSep(buf) : S(buf);
        } else if (lt == u'e') {
          std::snprintf(buf, sizeof buf, "%.*E", prec < 0 ? 14 : std::min(std::max(prec - 1, 0), 100), v);
          body = S(buf);
        } else {
          std::snprintf(buf, sizeof buf, "%.*G", prec < 0 ? 15 : std::min(std::max(prec, 1), 100), v);
          body = S(buf);
        }
        break;
      }
      default:
        RaiseFormatError(fmt);
    }
    out += Pad(std::move(body), width, left);
  }
  return out;
}

// ---------------------------------------------------------------------------------------------
// Paths

namespace {
constexpr size_t npos = std::u16string_view::npos;

// Ends a folder or a drive: what name splitting looks for.
constexpr bool IsNameDelimiter(Char c) {
#ifdef _WIN32
  if (c == DriveDelim) return true;
#endif
  return IsPathDelimiter(c);
}

size_t LastNameDelimiter(std::u16string_view f) {
  for (size_t i = f.size(); i > 0; --i)
    if (IsNameDelimiter(f[i - 1])) return i - 1;
  return npos;
}

// The last "." of the file-name part, npos when the name has none.
size_t ExtensionDot(std::u16string_view f) {
  size_t dot = f.rfind(u'.');
  size_t delim = LastNameDelimiter(f);
  return dot == npos || (delim != npos && dot < delim) ? npos : dot;
}
}  // namespace

String IncludeTrailingPathDelimiter(std::u16string_view path) {
  String r(path);
  if (r.empty() || !IsPathDelimiter(r.back())) r.push_back(PathDelim);
  return r;
}
String ExcludeTrailingPathDelimiter(std::u16string_view path) {
  String r(path);
  if (r.size() > 1 && IsPathDelimiter(r.back())) r.pop_back();
  return r;
}
String ExtractFilePath(std::u16string_view f) {
  size_t p = LastNameDelimiter(f);
  return p == npos ? String() : String(f.substr(0, p + 1));
}
String ExtractFileDir(std::u16string_view f) {
  size_t p = LastNameDelimiter(f);
  if (p == npos) return String();
  // A root keeps its separator ("/", "C:\", the "\\" of a UNC name), a drive its colon ("C:" of
  // "C:file"); elsewhere only the last separator goes ("/a//b" gives "/a/", as it always has).
  bool root = p == 0;
#ifdef _WIN32
  root = root || f[p - 1] == DriveDelim || (p == 1 && IsPathDelimiter(f[0]));
#endif
  if (!IsPathDelimiter(f[p]) || root) return String(f.substr(0, p + 1));
  return String(f.substr(0, p));
}
String ExtractFileName(std::u16string_view f) {
  size_t p = LastNameDelimiter(f);
  return p == npos ? String(f) : String(f.substr(p + 1));
}
String ExtractFileExt(std::u16string_view f) {
  size_t dot = ExtensionDot(f);
  return dot == npos ? String() : String(f.substr(dot));
}
String ChangeFileExt(std::u16string_view f, std::u16string_view ext) {
  size_t dot = ExtensionDot(f);
  return String(f.substr(0, dot == npos ? f.size() : dot)) + String(ext);
}
bool IsAbsolutePath(std::u16string_view f) {
#ifdef _WIN32
  auto letter = [](Char c) { return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z'); };
  if (f.size() >= 3 && letter(f[0]) && f[1] == DriveDelim && IsPathDelimiter(f[2])) return true;
  return f.size() >= 2 && IsPathDelimiter(f[0]) && IsPathDelimiter(f[1]);
#else
  return !f.empty() && f[0] == PathDelim;
#endif
}

// ---------------------------------------------------------------------------------------------
// Files

bool ForceDirectories(std::u16string_view d) {
  String dir = ExcludeTrailingPathDelimiter(d);
  if (dir.empty()) return false;
  if (DirectoryExists(dir)) return true;
  String parent = ExtractFileDir(dir);
  if (!parent.empty() && parent != dir && !ForceDirectories(parent)) return false;
  return CreateDir(dir) || DirectoryExists(dir);
}

namespace {
std::vector<String>& Args() {
  // Windows keeps the command line for the process: it is there before main() hands argv over.
  static std::vector<String> args = os::CommandLineArguments(0, nullptr);
  return args;
}
}  // namespace

void SetCommandLine(int argc, char** argv) { Args() = os::CommandLineArguments(argc, argv); }
String ExecutablePath() { return os::ExecutablePath(); }
String GetModuleFileName() {
  String path = os::ExecutablePath();
  if (path.empty() && !Args().empty()) return Args()[0];
  return path;
}
int ParamCount() { return Args().empty() ? 0 : static_cast<int>(Args().size()) - 1; }
String ParamStr(int index) {
  if (index == 0) return GetModuleFileName();
  if (index < 0 || static_cast<size_t>(index) >= Args().size()) return String();
  return Args()[static_cast<size_t>(index)];
}
}  // namespace rtl

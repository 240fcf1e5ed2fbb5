#include "netlib/http/clUriUtils.h"

#include <bitset>
#include <cstring>
#include <string>
#include <vector>

#include "netlib/http/clIdnTranslator.h"
#include "netlib/text/clTranslator.h"
#include "platform/LastError.h"

namespace netlib {

namespace {

// Buffer sizes of the URL record's components and of the re-assembled URL.
constexpr size_t SchemeSize = 32, HostSize = 256, UserSize = 128, PasswordSize = 128,
                 PathSize = 2048, ExtraSize = 4096, UrlSize = 2055;

// The characters that are always percent-encoded, as "us-ascii" bytes. Empty when the translator
// cannot convert them: then only the control and 8-bit rule applies.
const std::bitset<256>& AlwaysEncoded() {
  static const std::bitset<256> set = [] {
    std::bitset<256> s;
    try {
      for (uint8_t b : TclTranslator::GetBytes(u" <>\"#%{}|\\^~[]`", u"us-ascii")) s.set(b);
    } catch (const rtl::Exception&) {
      s.reset();
    }
    return s;
  }();
  return set;
}

bool IsHexDigit(uint8_t b) {
  return (b >= '0' && b <= '9') || (b >= 'a' && b <= 'f') || (b >= 'A' && b <= 'F');
}

rtl::String BufferText(const std::vector<char>& buffer) {
  return rtl::Utf8ToString(std::string_view(buffer.data(), strnlen(buffer.data(), buffer.size())));
}

}  // namespace

void TclUrlParser::ResetComponents() {
  FUrlType = utUnknown;
  FHost.clear();
  FUserName.clear();
  FPassword.clear();
  FUrlpath.clear();
  FExtra.clear();
  FPort = 0;
}

rtl::String TclUrlParser::ParseUrl(const rtl::String& AUrl) {
  ResetComponents();
  // The check for a missing scheme reads the last error: start from a clean value.
  platform::SetLastErrorValue(0);
  std::string url = rtl::StringToUtf8(AUrl);
  std::vector<char> scheme(SchemeSize, 0), host(HostSize, 0), user(UserSize, 0),
      password(PasswordSize, 0), path(PathSize, 0), extra(ExtraSize, 0);
  URL_COMPONENTS uc{};
  uc.dwStructSize = sizeof(URL_COMPONENTS);
  uc.lpszScheme = scheme.data();
  uc.dwSchemeLength = SchemeSize;
  uc.lpszHostName = host.data();
  uc.dwHostNameLength = HostSize;
  uc.lpszUserName = user.data();
  uc.dwUserNameLength = UserSize;
  uc.lpszPassword = password.data();
  uc.dwPasswordLength = PasswordSize;
  uc.lpszUrlPath = path.data();
  uc.dwUrlPathLength = PathSize;
  uc.lpszExtraInfo = extra.data();
  uc.dwExtraInfoLength = ExtraSize;
  if (url.empty()) {
    // A zero length would mean "NUL-terminated": the empty text is no URL either way.
    platform::SetLastErrorValue(ERROR_INTERNET_UNRECOGNIZED_SCHEME);
    return {};
  }
  if (!InternetCrackUrlA(url.data(), static_cast<uint32_t>(url.size()), 0, &uc)) return {};

  if (static_cast<uint32_t>(uc.nScheme) <= utMAILTO) FUrlType = static_cast<TclUrlType>(uc.nScheme);
  if (OnUrlParsing) OnUrlParsing(this, uc);
  // The rebuilt URL never carries an empty user name or password.
  if (user[0] == '\0') {
    uc.lpszUserName = nullptr;
    uc.dwUserNameLength = 0;
  }
  if (password[0] == '\0') {
    uc.lpszPassword = nullptr;
    uc.dwPasswordLength = 0;
  }
  FHost = BufferText(host);
  FUserName = BufferText(user);
  FPassword = BufferText(password);
  FUrlpath = BufferText(path);
  FExtra = BufferText(extra);
  FPort = uc.nPort;

  FHost = TclIdnTranslator::GetDomainAscii(FHost);
  std::string asciiHost = rtl::StringToUtf8(FHost);
  if (asciiHost.size() >= HostSize) {
    // No host name is that long; treat it like a URL the splitter rejects.
    ResetComponents();
    platform::SetLastErrorValue(ERROR_INTERNET_INVALID_URL);
    return {};
  }
  std::fill(host.begin(), host.end(), '\0');
  std::memcpy(host.data(), asciiHost.data(), asciiHost.size());
  // Points at our buffer again, whatever a handler did with the record.
  uc.lpszHostName = host.data();
  uc.dwHostNameLength = static_cast<uint32_t>(strnlen(host.data(), HostSize));

  std::vector<char> out(UrlSize, 0);
  uint32_t length = UrlSize;
  if (!InternetCreateUrlA(&uc, 0, out.data(), &length)) return {};
  if (length > UrlSize) length = UrlSize;
  rtl::String result = rtl::Utf8ToString(std::string_view(out.data(), length));
  return EncodeUrl(result, FCharSet);
}

rtl::String TclUrlParser::Parse(const rtl::String& AFullUrl, const rtl::String& ACharSet) {
  FCharSet = ACharSet;
  rtl::String result = ParseUrl(AFullUrl);
  if (result.empty() && !AFullUrl.empty() &&
      platform::GetLastErrorValue() == ERROR_INTERNET_UNRECOGNIZED_SCHEME)
    result = ParseUrl(u"http://" + AFullUrl);
  FAbsoluteUri = result;
  return result;
}

rtl::String TclUrlParser::EncodeUrl(const rtl::String& AUrl, const rtl::String& ACharSet) {
  rtl::Bytes bytes = TclTranslator::GetBytes(AUrl, ACharSet);
  if (bytes.empty()) return rtl::StringReplace(rtl::Trim(AUrl), u" ", u"%20", rtl::rfReplaceAll);
  static const char16_t hex[] = u"0123456789ABCDEF";
  const std::bitset<256>& encoded = AlwaysEncoded();
  rtl::String out;
  out.reserve(bytes.size() * 3);
  for (size_t i = 0; i < bytes.size(); ++i) {
    uint8_t b = bytes[i];
    if (b == '%' && i + 2 < bytes.size() && IsHexDigit(bytes[i + 1]) && IsHexDigit(bytes[i + 2])) {
      out += u'%';
      out += static_cast<rtl::Char>(bytes[i + 1]);
      out += static_cast<rtl::Char>(bytes[i + 2]);
      i += 2;
    } else if (encoded.test(b) || b >= 0x7F || b < 0x20) {
      out += u'%';
      out += hex[b >> 4];
      out += hex[b & 15];
    } else {
      out += static_cast<rtl::Char>(b);
    }
  }
  return out;
}

rtl::String TclUrlParser::AbsolutePath() const {
  if (FHost == u"*") return u"*";
  // The fragment belongs to the client alone: it never goes out in a request.
  const rtl::String query = FExtra.substr(0, FExtra.find(u'#'));
  // A request target starts with "/": "http://h?x" asks for "/?x", not "?x".
  rtl::String target = FUrlpath.empty() && !query.empty() ? rtl::String(1, u'/') : FUrlpath;
  if (!query.empty()) {
    if (query[0] != u'?' && !target.empty() && target.back() != u'?') target += u'?';
    target += query;
  }
  if (target.empty()) target.push_back(u'/');
  return EncodeUrl(target, FCharSet);
}

rtl::String TclUrlParser::CombineUrl(const rtl::String& AUrl, const rtl::String& ABaseUrl,
                                     const rtl::String& ACharSet) {
  std::string base = rtl::StringToUtf8(ABaseUrl), reference = rtl::StringToUtf8(AUrl);
  std::vector<char> buffer(UrlSize, 0);
  uint32_t length = UrlSize;
  InternetCombineUrlA(base.c_str(), reference.c_str(), buffer.data(), &length, ICU_BROWSER_MODE);
  TclUrlParser parser;
  return parser.Parse(BufferText(buffer), ACharSet);
}

void TclUrlParser::Assign(const TclUrlParser& Source) {
  FAbsoluteUri = Source.FAbsoluteUri;
  FHost = Source.FHost;
  FUserName = Source.FUserName;
  FPassword = Source.FPassword;
  FUrlpath = Source.FUrlpath;
  FExtra = Source.FExtra;
  FPort = Source.FPort;
  FUrlType = Source.FUrlType;
}

}  // namespace netlib

#include "netlib/http/clWinInet.h"

#include <cstring>
#include <string>
#include <string_view>

#include "platform/LastError.h"
#include "rtl/Exception.h"

namespace netlib {

namespace {

struct TSchemeInfo {
  const char* Name;
  int32_t Number;
  uint16_t DefaultPort;
  bool NeedsHost;  // hierarchical: "//" and a host are required
  bool Opaque;     // written as "name:" + path, never with "//"
};

const TSchemeInfo Schemes[] = {
    {"ftp", INTERNET_SCHEME_FTP, INTERNET_DEFAULT_FTP_PORT, true, false},
    {"gopher", INTERNET_SCHEME_GOPHER, INTERNET_DEFAULT_GOPHER_PORT, true, false},
    {"http", INTERNET_SCHEME_HTTP, INTERNET_DEFAULT_HTTP_PORT, true, false},
    {"https", INTERNET_SCHEME_HTTPS, INTERNET_DEFAULT_HTTPS_PORT, true, false},
    {"file", INTERNET_SCHEME_FILE, INTERNET_INVALID_PORT_NUMBER, false, false},
    {"news", INTERNET_SCHEME_NEWS, INTERNET_INVALID_PORT_NUMBER, false, true},
    {"mailto", INTERNET_SCHEME_MAILTO, INTERNET_INVALID_PORT_NUMBER, false, true},
    {"socks", INTERNET_SCHEME_SOCKS, INTERNET_DEFAULT_SOCKS_PORT, true, false},
    {"javascript", INTERNET_SCHEME_JAVASCRIPT, INTERNET_INVALID_PORT_NUMBER, false, true},
    {"vbscript", INTERNET_SCHEME_VBSCRIPT, INTERNET_INVALID_PORT_NUMBER, false, true},
    {"res", INTERNET_SCHEME_RES, INTERNET_INVALID_PORT_NUMBER, false, true},
};

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

bool SameAscii(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  return true;
}

const TSchemeInfo* FindScheme(std::string_view name) {
  for (const auto& s : Schemes)
    if (SameAscii(name, s.Name)) return &s;
  return nullptr;
}

const TSchemeInfo* FindScheme(int32_t number) {
  for (const auto& s : Schemes)
    if (s.Number == number) return &s;
  return nullptr;
}

bool IsAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsSchemeChar(char c) { return IsAlpha(c) || IsDigit(c) || c == '+' || c == '-' || c == '.'; }
// Blanks and control characters, as trimmed from both ends of a URL.
bool IsBlank(char c) { return static_cast<unsigned char>(c) <= 0x20; }

int Fail(uint32_t code) {
  platform::SetLastErrorValue(code);
  return 0;
}

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

// The scheme name when the text starts with one followed by ":", else an empty view.
std::string_view SchemeOf(std::string_view s) {
  if (s.empty() || !IsAlpha(s[0])) return {};
  size_t i = 1;
  while (i < s.size() && IsSchemeChar(s[i])) ++i;
  if (i < s.size() && s[i] == ':') return s.substr(0, i);
  return {};
}

bool IsBadHostChar(char c) {
  unsigned char u = static_cast<unsigned char>(c);
  return u <= 0x20 || u == 0x7F || std::strchr("<>\"{}|\\^`", c) != nullptr;
}

// Hands one component to the caller as the record asks (see the header).
bool PutComponent(std::string_view value, const char* urlBase, char*& pointer, uint32_t& length) {
  if (pointer != nullptr && length != 0) {
    if (value.size() + 1 > length) {
      length = static_cast<uint32_t>(value.size() + 1);
      return false;
    }
    if (!value.empty()) std::memcpy(pointer, value.data(), value.size());
    pointer[value.size()] = '\0';
    length = static_cast<uint32_t>(value.size());
  } else if (pointer == nullptr && length != 0) {
    // Points into the caller's URL text; an absent component points at its position anyway.
    pointer = const_cast<char*>(value.empty() && value.data() == nullptr ? urlBase : value.data());
    length = static_cast<uint32_t>(value.size());
  }
  return true;
}

int CrackUrl(const char* AUrl, uint32_t AUrlLength, uint32_t AFlags, URL_COMPONENTS* uc) {
  if (AUrl == nullptr || uc == nullptr || uc->dwStructSize != sizeof(URL_COMPONENTS))
    return Fail(platform::ERROR_INVALID_PARAMETER);
  std::string_view url(AUrl, AUrlLength != 0 ? AUrlLength : std::strlen(AUrl));
  if (url.find('\0') != std::string_view::npos) return Fail(ERROR_INTERNET_INVALID_URL);
  url = TrimBlanks(url);

  std::string_view scheme = SchemeOf(url);
  if (scheme.empty()) return Fail(ERROR_INTERNET_UNRECOGNIZED_SCHEME);
  std::string_view rest = url.substr(scheme.size() + 1);
  bool hasAuthority = rest.size() >= 2 && rest[0] == '/' && rest[1] == '/';
  const TSchemeInfo* info = FindScheme(scheme);
  int32_t number = info ? info->Number : INTERNET_SCHEME_UNKNOWN;
  // An unknown name without "//" is no scheme at all ("host:8080/path"): the caller may retry.
  if (!info && !hasAuthority) return Fail(ERROR_INTERNET_UNRECOGNIZED_SCHEME);
  bool needsHost = info ? info->NeedsHost : true;
  if (needsHost && !hasAuthority) return Fail(ERROR_INTERNET_INVALID_URL);

  std::string_view user, password, host, path, extra;
  uint16_t port = info ? info->DefaultPort : uint16_t(INTERNET_INVALID_PORT_NUMBER);
  if (hasAuthority && !(info && info->Opaque)) {
    rest.remove_prefix(2);
    size_t end = rest.find_first_of("/?#");
    std::string_view authority = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end);
    size_t at = authority.rfind('@');
    if (at != std::string_view::npos) {
      std::string_view userInfo = authority.substr(0, at);
      authority.remove_prefix(at + 1);
      size_t colon = userInfo.find(':');
      user = userInfo.substr(0, colon);
      if (colon != std::string_view::npos) password = userInfo.substr(colon + 1);
    }
    std::string_view portText;
    bool hasPort = false;
    if (!authority.empty() && authority[0] == '[') {
      size_t close = authority.find(']');
      if (close == std::string_view::npos) return Fail(ERROR_INTERNET_INVALID_URL);
      host = authority.substr(0, close + 1);
      std::string_view after = authority.substr(close + 1);
      if (!after.empty()) {
        if (after[0] != ':') return Fail(ERROR_INTERNET_INVALID_URL);
        hasPort = true;
        portText = after.substr(1);
      }
    } else {
      size_t colon = authority.find(':');
      host = authority.substr(0, colon);
      if (colon != std::string_view::npos) {
        hasPort = true;
        portText = authority.substr(colon + 1);
      }
    }
    for (char c : host)
      if (IsBadHostChar(c)) return Fail(ERROR_INTERNET_INVALID_URL);
    if (needsHost && host.empty()) return Fail(ERROR_INTERNET_INVALID_URL);
    // "host:" names the default port.
    if (hasPort && !portText.empty()) {
      if (portText.size() > 5) return Fail(ERROR_INTERNET_INVALID_URL);
      uint32_t value = 0;
      for (char c : portText) {
        if (!IsDigit(c)) return Fail(ERROR_INTERNET_INVALID_URL);
        value = value * 10 + static_cast<uint32_t>(c - '0');
      }
      // Port 0 is no port at all: the record would read as "default port" when rebuilt.
      if (value == 0 || value > 65535) return Fail(ERROR_INTERNET_INVALID_URL);
      port = static_cast<uint16_t>(value);
    }
  }
  size_t q = rest.find_first_of("?#");
  path = rest.substr(0, q);
  if (q != std::string_view::npos) extra = rest.substr(q);

  bool ok = true;
  ok &= PutComponent(scheme, url.data(), uc->lpszScheme, uc->dwSchemeLength);
  ok &= PutComponent(host, url.data(), uc->lpszHostName, uc->dwHostNameLength);
  ok &= PutComponent(user, url.data(), uc->lpszUserName, uc->dwUserNameLength);
  ok &= PutComponent(password, url.data(), uc->lpszPassword, uc->dwPasswordLength);
  ok &= PutComponent(path, url.data(), uc->lpszUrlPath, uc->dwUrlPathLength);
  ok &= PutComponent(extra, url.data(), uc->lpszExtraInfo, uc->dwExtraInfoLength);
  uc->nScheme = number;
  uc->nPort = port;
  if (!ok) return Fail(platform::ERROR_INSUFFICIENT_BUFFER);
  (void)AFlags;
  return 1;
}

std::string_view ComponentOf(const char* pointer, uint32_t length) {
  if (pointer == nullptr) return {};
  return std::string_view(pointer, length != 0 ? length : std::strlen(pointer));
}

int CreateUrl(URL_COMPONENTS* uc, uint32_t AFlags, char* AUrl, uint32_t* ALength) {
  if (uc == nullptr || ALength == nullptr || uc->dwStructSize != sizeof(URL_COMPONENTS))
    return Fail(platform::ERROR_INVALID_PARAMETER);
  std::string_view schemeText = ComponentOf(uc->lpszScheme, uc->dwSchemeLength);
  std::string_view host = ComponentOf(uc->lpszHostName, uc->dwHostNameLength);
  std::string_view user = ComponentOf(uc->lpszUserName, uc->dwUserNameLength);
  std::string_view password = ComponentOf(uc->lpszPassword, uc->dwPasswordLength);
  std::string_view path = ComponentOf(uc->lpszUrlPath, uc->dwUrlPathLength);
  std::string_view extra = ComponentOf(uc->lpszExtraInfo, uc->dwExtraInfoLength);

  // A known number wins over the text: a handler that changed the number gets its scheme.
  const TSchemeInfo* info = FindScheme(uc->nScheme);
  std::string scheme;
  if (info) {
    scheme = info->Name;
  } else if (!schemeText.empty()) {
    if (SchemeOf(std::string(schemeText) + ":") != schemeText)
      return Fail(ERROR_INTERNET_UNRECOGNIZED_SCHEME);
    scheme = schemeText;
    info = FindScheme(schemeText);
  } else if (uc->nScheme == INTERNET_SCHEME_DEFAULT) {
    scheme = "http";
    info = FindScheme(INTERNET_SCHEME_HTTP);
  } else if (uc->nScheme != INTERNET_SCHEME_PARTIAL) {
    return Fail(ERROR_INTERNET_UNRECOGNIZED_SCHEME);
  }
  if (host.find('\0') != std::string_view::npos) return Fail(ERROR_INTERNET_INVALID_URL);

  std::string out;
  if (info && info->Opaque) {
    out = scheme + ":";
    out += path;
  } else {
    if (!scheme.empty()) out = scheme + ":";
    out += "//";
    if (!user.empty() || !password.empty()) {
      out += user;
      if (!password.empty()) {
        out += ':';
        out += password;
      }
      out += '@';
    }
    out += host;
    uint16_t defaultPort = info ? info->DefaultPort : uint16_t(INTERNET_INVALID_PORT_NUMBER);
    if (uc->nPort != INTERNET_INVALID_PORT_NUMBER && uc->nPort != defaultPort)
      out += ":" + std::to_string(uc->nPort);
    // Keeps the authority's end visible: "http://h?x" becomes "http://h/?x", so an encoded "#"
    // or a ":" of the extra text can never be read back as part of the host.
    if ((!path.empty() && path[0] != '/') || (path.empty() && !extra.empty())) out += '/';
    out += path;
  }
  out += extra;

  if (AUrl == nullptr || *ALength < out.size() + 1) {
    *ALength = static_cast<uint32_t>(out.size() + 1);
    return Fail(platform::ERROR_INSUFFICIENT_BUFFER);
  }
  std::memcpy(AUrl, out.data(), out.size());
  AUrl[out.size()] = '\0';
  *ALength = static_cast<uint32_t>(out.size());
  (void)AFlags;
  return 1;
}

// The five parts of a URI reference (RFC 3986, appendix B).
struct TUriParts {
  std::string Scheme, Authority, Path, Query, Fragment;
  bool HasScheme = false, HasAuthority = false, HasQuery = false, HasFragment = false;
};

TUriParts SplitReference(std::string_view s) {
  TUriParts r;
  std::string_view scheme = SchemeOf(s);
  if (!scheme.empty()) {
    r.HasScheme = true;
    r.Scheme = scheme;
    s.remove_prefix(scheme.size() + 1);
  }
  if (s.size() >= 2 && s[0] == '/' && s[1] == '/') {
    s.remove_prefix(2);
    size_t end = s.find_first_of("/?#");
    r.HasAuthority = true;
    r.Authority = s.substr(0, end);
    s = end == std::string_view::npos ? std::string_view() : s.substr(end);
  }
  size_t end = s.find_first_of("?#");
  r.Path = s.substr(0, end);
  s = end == std::string_view::npos ? std::string_view() : s.substr(end);
  if (!s.empty() && s[0] == '?') {
    size_t hash = s.find('#');
    r.HasQuery = true;
    r.Query = s.substr(1, hash == std::string_view::npos ? std::string_view::npos : hash - 1);
    s = hash == std::string_view::npos ? std::string_view() : s.substr(hash);
  }
  if (!s.empty() && s[0] == '#') {
    r.HasFragment = true;
    r.Fragment = s.substr(1);
  }
  return r;
}

// RFC 3986 section 5.2.4.
std::string RemoveDotSegments(std::string_view in) {
  std::string out;
  while (!in.empty()) {
    if (in.substr(0, 3) == "../") {
      in.remove_prefix(3);
    } else if (in.substr(0, 2) == "./") {
      in.remove_prefix(2);
    } else if (in.substr(0, 3) == "/./") {
      in.remove_prefix(2);
    } else if (in == "/.") {
      in = "/";
    } else if (in.substr(0, 4) == "/../" || in == "/..") {
      // "/../x" becomes "/x", "/.." becomes "/", and the last output segment goes.
      bool whole = in == "/..";
      in.remove_prefix(3);
      size_t slash = out.rfind('/');
      out.erase(slash == std::string::npos ? 0 : slash);
      if (whole) {
        out += '/';
        break;
      }
    } else if (in == "." || in == "..") {
      in = {};
    } else {
      std::string_view segment = in.substr(0, in.find('/', 1));
      out += segment;
      in.remove_prefix(segment.size());
    }
  }
  return out;
}

// RFC 3986 section 5.2.3.
std::string MergePaths(const TUriParts& base, const std::string& refPath) {
  if (base.HasAuthority && base.Path.empty()) return "/" + refPath;
  size_t slash = base.Path.rfind('/');
  if (slash == std::string::npos) return refPath;
  return base.Path.substr(0, slash + 1) + refPath;
}

std::string Recompose(const TUriParts& t) {
  std::string out;
  if (t.HasScheme) out += t.Scheme + ":";
  if (t.HasAuthority) out += "//" + t.Authority;
  out += t.Path;
  if (t.HasQuery) out += "?" + t.Query;
  if (t.HasFragment) out += "#" + t.Fragment;
  return out;
}

void EncodeUnsafe(std::string& s, size_t from, size_t to) {
  static const char hex[] = "0123456789ABCDEF";
  std::string out = s.substr(0, from);
  for (size_t i = from; i < to && i < s.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c <= 0x20 || c == 0x7F) {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    } else {
      out += s[i];
    }
  }
  if (to < s.size()) out += s.substr(to);
  s = std::move(out);
}

// Leading blanks always go; trailing ones stay after a "?" or "#" in browser mode.
std::string_view TrimReference(std::string_view s, bool browserMode) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  if (!browserMode || s.find_first_of("?#") == std::string_view::npos)
    while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

int CombineUrl(const char* ABaseUrl, const char* ARelativeUrl, char* ABuffer, uint32_t* ALength,
               uint32_t AFlags) {
  if (ABaseUrl == nullptr || ARelativeUrl == nullptr || ALength == nullptr)
    return Fail(platform::ERROR_INVALID_PARAMETER);
  bool browserMode = (AFlags & ICU_BROWSER_MODE) != 0;
  TUriParts base = SplitReference(TrimReference(ABaseUrl, browserMode));
  TUriParts ref = SplitReference(TrimReference(ARelativeUrl, browserMode));

  // RFC 3986 section 5.2.2, strict: a reference with its own scheme is taken as it is.
  TUriParts t;
  if (ref.HasScheme) {
    t = ref;
    t.Path = RemoveDotSegments(ref.Path);
  } else {
    if (!base.HasScheme) return Fail(ERROR_INTERNET_INVALID_URL);
    t.HasScheme = true;
    t.Scheme = base.Scheme;
    if (ref.HasAuthority) {
      t.HasAuthority = true;
      t.Authority = ref.Authority;
      t.Path = RemoveDotSegments(ref.Path);
      t.HasQuery = ref.HasQuery;
      t.Query = ref.Query;
    } else {
      t.HasAuthority = base.HasAuthority;
      t.Authority = base.Authority;
      if (ref.Path.empty()) {
        t.Path = base.Path;
        t.HasQuery = ref.HasQuery || base.HasQuery;
        t.Query = ref.HasQuery ? ref.Query : base.Query;
      } else {
        t.Path = RemoveDotSegments(ref.Path[0] == '/' ? ref.Path : MergePaths(base, ref.Path));
        t.HasQuery = ref.HasQuery;
        t.Query = ref.Query;
      }
    }
    t.HasFragment = ref.HasFragment;
    t.Fragment = ref.Fragment;
  }

  std::string out = Recompose(t);
  if ((AFlags & ICU_NO_ENCODE) == 0) {
    // Only the path is encoded: the host must reach the IDN step as it is.
    size_t pathStart = (t.HasScheme ? t.Scheme.size() + 1 : 0) +
                       (t.HasAuthority ? t.Authority.size() + 2 : 0);
    size_t pathEnd = browserMode ? pathStart + t.Path.size() : out.size();
    EncodeUnsafe(out, pathStart, pathEnd);
  }
  if (ABuffer == nullptr || *ALength < out.size() + 1) {
    *ALength = static_cast<uint32_t>(out.size() + 1);
    return Fail(platform::ERROR_INSUFFICIENT_BUFFER);
  }
  std::memcpy(ABuffer, out.data(), out.size());
  ABuffer[out.size()] = '\0';
  *ALength = static_cast<uint32_t>(out.size());
  return 1;
}

const TclWinInetFunctions Builtin = {CrackUrl, CreateUrl, CombineUrl};

const TclWinInetFunctions* Library = nullptr;  // where the next binding resolves from
TclWinInetFunctions Bound = {};
bool Loaded = false;

}  // namespace

const TclWinInetFunctions& BuiltinWinInetFunctions() { return Builtin; }

void LoadWinInet() {
  if (Loaded) return;
  const TclWinInetFunctions& source = Library ? *Library : Builtin;
  if (!source.InternetCrackUrlA || !source.InternetCreateUrlA || !source.InternetCombineUrlA) {
    platform::SetLastErrorValue(platform::ERROR_PROC_NOT_FOUND);
    rtl::String text = platform::WindowsErrorMessage(platform::ERROR_PROC_NOT_FOUND);
    throw rtl::Exception(text.substr(0, 256));
  }
  Bound = source;
  Loaded = true;
}

void UnloadWinInet() {
  Bound = {};
  Loaded = false;
}

bool IsWinInetLoaded() { return Loaded; }

void SetWinInetLibrary(const TclWinInetFunctions* ALibrary) {
  UnloadWinInet();
  Library = ALibrary;
}

int InternetCrackUrlA(const char* AUrl, uint32_t AUrlLength, uint32_t AFlags,
                      URL_COMPONENTS* AComponents) {
  LoadWinInet();
  return Bound.InternetCrackUrlA(AUrl, AUrlLength, AFlags, AComponents);
}

int InternetCreateUrlA(URL_COMPONENTS* AComponents, uint32_t AFlags, char* AUrl, uint32_t* ALength) {
  LoadWinInet();
  return Bound.InternetCreateUrlA(AComponents, AFlags, AUrl, ALength);
}

int InternetCombineUrlA(const char* ABaseUrl, const char* ARelativeUrl, char* ABuffer,
                        uint32_t* ALength, uint32_t AFlags) {
  LoadWinInet();
  return Bound.InternetCombineUrlA(ABaseUrl, ARelativeUrl, ABuffer, ALength, AFlags);
}

}  // namespace netlib

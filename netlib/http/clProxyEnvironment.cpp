#include "netlib/http/clProxyEnvironment.h"

#include <cstdlib>
#include <cstring>

#include "platform/Sockets.h"

namespace netlib {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }
bool IsControl(unsigned char c) { return c < 0x20 || c == 0x7F; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

std::string Lower(std::string_view s) {
  std::string r(s);
  for (char& c : r)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  return r;
}

std::string Upper(std::string_view s) {
  std::string r(s);
  for (char& c : r)
    if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
  return r;
}

bool AllDigits(std::string_view s) {
  for (char c : s)
    if (!IsDigit(c)) return false;
  return true;
}

bool HasControl(std::string_view s) {
  for (unsigned char c : s)
    if (IsControl(c)) return true;
  return false;
}

[[noreturn]] void Invalid(std::string_view AVariable, const std::string& AWhy) {
  throw EclProxyEnvironmentError(rtl::S("Invalid proxy in " + std::string(AVariable) + ": " + AWhy));
}

int HexValue(char c) {
  if (IsDigit(c)) return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// "%XX" decoding of a user name or password; the result must be UTF-8 without control
// characters (a NUL would end a SOCKS user ID early).
rtl::String DecodeCredential(std::string_view AText, std::string_view AVariable, const char* AWhat) {
  std::string bytes;
  for (size_t i = 0; i < AText.size(); ++i) {
    if (AText[i] != '%') {
      bytes += AText[i];
      continue;
    }
    int hi = i + 2 < AText.size() ? HexValue(AText[i + 1]) : -1, lo = hi < 0 ? -1 : HexValue(AText[i + 2]);
    if (lo < 0) Invalid(AVariable, std::string("bad percent escape in the ") + AWhat);
    bytes += char(hi * 16 + lo);
    i += 2;
  }
  if (HasControl(bytes)) Invalid(AVariable, std::string("control character in the ") + AWhat);
  rtl::String text = rtl::Utf8ToString(bytes);
  if (rtl::StringToUtf8(text) != bytes) Invalid(AVariable, std::string("the ") + AWhat + " is not UTF-8");
  return text;
}

bool IsHostName(std::string_view AHost) {
  for (char c : AHost)
    if (!IsAlpha(c) && !IsDigit(c) && c != '-' && c != '.' && c != '_') return false;
  return true;
}

// The address bytes of an IPv4 (4) or IPv6 (16) literal; 0 when AText is neither.
int ParseAddress(std::string_view AText, unsigned char (&AAddress)[16]) {
  if (AText.empty() || AText.size() >= 64) return 0;
  return platform::ParseAddressLiteral(std::string(AText).c_str(), AAddress);
}

bool PrefixMatches(const unsigned char* A, const unsigned char* B, int ABits) {
  int whole = ABits / 8, rest = ABits % 8;
  if (std::memcmp(A, B, size_t(whole)) != 0) return false;
  if (rest == 0) return true;
  unsigned char mask = static_cast<unsigned char>(0xFF << (8 - rest));
  return (A[whole] & mask) == (B[whole] & mask);
}

// One exemption entry against an address target: an address of the same family, whole or as a
// CIDR block ("10.0.0.0/8", "fd00::/8").
bool AddressEntryMatches(std::string_view AEntry, std::string_view ABits, bool AHasBits,
                         const unsigned char (&ATarget)[16], int ATargetSize) {
  unsigned char address[16];
  if (ParseAddress(AEntry, address) != ATargetSize) return false;
  int bits = ATargetSize * 8;
  if (AHasBits) {
    if (ABits.empty() || ABits.size() > 3 || !AllDigits(ABits)) return false;
    bits = std::atoi(std::string(ABits).c_str());
    if (bits > ATargetSize * 8) return false;
  }
  return PrefixMatches(address, ATarget, bits);
}

// One exemption entry against a host name: the name itself or a domain above it, on a label
// boundary ("example.com" and ".example.com" both cover "www.example.com", not "myexample.com").
bool NameEntryMatches(std::string_view AEntry, const std::string& AHost) {
  if (AEntry.substr(0, 2) == "*.") AEntry.remove_prefix(1);
  if (!AEntry.empty() && AEntry.front() == '.') AEntry.remove_prefix(1);
  if (!AEntry.empty() && AEntry.back() == '.') AEntry.remove_suffix(1);
  if (AEntry.empty() || AEntry.size() > AHost.size()) return false;
  std::string entry = Lower(AEntry);
  if (entry.size() == AHost.size()) return entry == AHost;
  return AHost[AHost.size() - entry.size() - 1] == '.' && AHost.compare(AHost.size() - entry.size(), entry.size(), entry) == 0;
}

}  // namespace

std::optional<std::string> SystemEnvironment(const char* AName) {
  rtl::String value;
  if (!rtl::TryGetEnvironmentVariable(rtl::S(AName), value)) return std::nullopt;
  return rtl::U8(value);
}

TclProxyDecision ParseProxyUrl(std::string_view AText, std::string_view AVariable) {
  for (unsigned char c : AText) {
    if (IsControl(c)) Invalid(AVariable, "control character");
    if (c == ' ') Invalid(AVariable, "blank in the URL");
  }
  TclProxyDecision d;
  d.Kind = pkHttp;
  d.Variable = std::string(AVariable);
  std::string_view rest = AText;
  size_t schemeEnd = AText.find("://");
  if (schemeEnd != std::string_view::npos) {
    std::string scheme = Lower(AText.substr(0, schemeEnd));
    rest = AText.substr(schemeEnd + 3);
    bool wellFormed = !scheme.empty() && scheme.size() <= 16 && IsAlpha(scheme[0]);
    for (char c : scheme) wellFormed = wellFormed && (IsAlpha(c) || IsDigit(c) || c == '+' || c == '-' || c == '.');
    if (!wellFormed) Invalid(AVariable, "malformed scheme");
    if (scheme == "socks4" || scheme == "socks4a") {
      d.Kind = pkSocks4;
    } else if (scheme == "socks5" || scheme == "socks5h") {
      d.Kind = pkSocks5;
    } else if (scheme == "https") {
      Invalid(AVariable, "HTTPS proxies are not supported (an http:// proxy tunnels https requests)");
    } else if (scheme != "http") {
      Invalid(AVariable, "unsupported scheme \"" + scheme + "\" (http, socks4, socks4a, socks5 or socks5h)");
    }
    d.RemoteResolve = scheme == "socks4a" || scheme == "socks5h";
  }
  // The authority ends at a path, query or fragment, which a proxy URL has no use for.
  std::string_view authority = rest.substr(0, rest.find_first_of("/?#"));
  std::string_view hostPort = authority;
  size_t at = authority.rfind('@');
  if (at != std::string_view::npos) {
    std::string_view userInfo = authority.substr(0, at);
    hostPort = authority.substr(at + 1);
    size_t colon = userInfo.find(':');
    d.UserName = DecodeCredential(userInfo.substr(0, colon), AVariable, "user name");
    if (colon != std::string_view::npos) d.Password = DecodeCredential(userInfo.substr(colon + 1), AVariable, "password");
    // The SOCKS 5 sub-negotiation carries each in a one-byte length.
    if (d.Kind != pkHttp && (rtl::StringToUtf8(d.UserName).size() > 255 || rtl::StringToUtf8(d.Password).size() > 255))
      Invalid(AVariable, "SOCKS user names and passwords are limited to 255 bytes");
  }
  std::string_view host = hostPort, portText;
  bool hasPort = false;
  if (!hostPort.empty() && hostPort.front() == '[') {
    size_t close = hostPort.find(']');
    if (close == std::string_view::npos) Invalid(AVariable, "unclosed \"[\" in the host");
    host = hostPort.substr(1, close - 1);
    unsigned char address[16];
    if (ParseAddress(host, address) != 16) Invalid(AVariable, "invalid IPv6 address in brackets");
    std::string_view after = hostPort.substr(close + 1);
    if (!after.empty() && after.front() != ':') Invalid(AVariable, "unexpected text after the IPv6 address");
    hasPort = !after.empty();
    if (hasPort) portText = after.substr(1);
  } else {
    size_t colon = hostPort.find(':');
    if (colon != std::string_view::npos) {
      if (hostPort.find(':', colon + 1) != std::string_view::npos)
        Invalid(AVariable, "an IPv6 address needs brackets");
      host = hostPort.substr(0, colon);
      portText = hostPort.substr(colon + 1);
      hasPort = true;
    }
    if (host.empty()) Invalid(AVariable, "no host");
    if (!IsHostName(host)) Invalid(AVariable, "invalid host name");
    if (host.size() > 253) Invalid(AVariable, "host name longer than 253 characters");
  }
  d.Host = rtl::S(host);
  d.Port = DefaultProxyPort;
  // An empty port ("host:") is the default, as RFC 3986 reads it.
  if (hasPort && !portText.empty()) {
    // Only digits are quoted back: other text here may be a password with an unescaped "/".
    if (!AllDigits(portText)) Invalid(AVariable, "invalid port (not a number)");
    int port = portText.size() <= 5 ? std::atoi(std::string(portText).c_str()) : 0;
    if (port < 1 || port > 65535) Invalid(AVariable, "invalid port \"" + std::string(portText.substr(0, 8)) + "\"");
    d.Port = port;
  }
  return d;
}

bool NoProxyMatches(std::string_view ANoProxy, std::string_view AHost, std::string_view AVariable) {
  if (HasControl(ANoProxy))
    throw EclProxyEnvironmentError(rtl::S("Invalid no-proxy list in " + std::string(AVariable) + ": control character"));
  std::string_view list = ANoProxy;
  while (!list.empty() && IsBlank(list.front())) list.remove_prefix(1);
  while (!list.empty() && IsBlank(list.back())) list.remove_suffix(1);
  // "*" alone exempts every host; inside a list it is no pattern (curl's rule).
  if (list == "*") return true;
  if (AHost.size() >= 2 && AHost.front() == '[' && AHost.back() == ']') AHost = AHost.substr(1, AHost.size() - 2);
  if (AHost.empty()) return false;
  unsigned char target[16];
  int targetSize = ParseAddress(AHost, target);
  std::string host = Lower(AHost);
  if (!targetSize && host.back() == '.') host.pop_back();
  size_t p = 0;
  while (p < list.size()) {
    size_t end = p;
    while (end < list.size() && list[end] != ',' && !IsBlank(list[end])) ++end;
    std::string_view entry = list.substr(p, end - p);
    p = end + 1;
    if (entry.empty()) continue;
    std::string_view bits;
    size_t slash = entry.find('/');
    bool hasBits = slash != std::string_view::npos;
    if (hasBits) {
      bits = entry.substr(slash + 1);
      entry = entry.substr(0, slash);
    }
    // A port on the entry is ignored: the exemption covers the host on every port.
    if (!entry.empty() && entry.front() == '[') {
      size_t close = entry.find(']');
      if (close == std::string_view::npos) continue;
      std::string_view tail = entry.substr(close + 1);
      if (!tail.empty() && (tail.front() != ':' || !AllDigits(tail.substr(1)))) continue;
      entry = entry.substr(1, close - 1);
    } else {
      size_t colon = entry.find(':');
      if (colon != std::string_view::npos && entry.find(':', colon + 1) == std::string_view::npos &&
          AllDigits(entry.substr(colon + 1)))
        entry = entry.substr(0, colon);
    }
    bool match = targetSize ? AddressEntryMatches(entry, bits, hasBits, target, targetSize)
                            : !hasBits && NameEntryMatches(entry, host);
    if (match) return true;
  }
  return false;
}

TclProxyDecision GetEnvironmentProxy(std::string_view AScheme, std::string_view AHost,
                                     const TclEnvironmentLookup& AEnvironment,
                                     const std::optional<std::string>& ANoProxy) {
  // An empty variable counts as unset, as in curl.
  auto get = [&](const std::string& AName) -> std::optional<std::string> {
    std::optional<std::string> value = AEnvironment(AName.c_str());
    if (value && value->empty()) value.reset();
    return value;
  };
  std::string scheme = Lower(AScheme);
  bool schemeUsable = !scheme.empty() && scheme.size() <= 16;
  for (char c : scheme) schemeUsable = schemeUsable && (IsAlpha(c) || IsDigit(c));
  std::string name;
  std::optional<std::string> value;
  if (schemeUsable) {
    name = scheme + "_proxy";
    value = get(name);
    // Never HTTP_PROXY: a CGI program finds a request's "Proxy:" field there (httpoxy).
    if (!value && scheme != "http") value = get(name = Upper(name));
  }
  if (!value) value = get(name = "all_proxy");
  if (!value) value = get(name = "ALL_PROXY");
  if (!value) return {};
  std::optional<std::string> noProxy = ANoProxy;
  std::string noProxyName = "--noproxy";
  if (!noProxy) noProxy = get(noProxyName = "no_proxy");
  if (!noProxy) noProxy = get(noProxyName = "NO_PROXY");
  if (noProxy && NoProxyMatches(*noProxy, AHost, noProxyName)) return {};
  return ParseProxyUrl(*value, name);
}

}  // namespace netlib

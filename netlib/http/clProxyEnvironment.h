// The proxy environment of the machine, read the way curl reads it: which proxy a request to a
// given scheme and host takes, from http_proxy, https_proxy/HTTPS_PROXY, all_proxy/ALL_PROXY and
// the exemptions of no_proxy/NO_PROXY. Only the rules: applying a decision to a client is
// clProxyApply's part.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "rtl/Exception.h"
#include "rtl/SysUtils.h"

namespace netlib {

// A proxy variable or exemption list that cannot be used; the message names the variable, never
// the credentials it holds.
class EclProxyEnvironmentError : public rtl::Exception {
 public:
  using rtl::Exception::Exception;
  const char* ClassName() const noexcept override { return "EclProxyEnvironmentError"; }
};

enum TclProxyKind : uint8_t { pkNone, pkHttp, pkSocks4, pkSocks5 };

// The proxy one request takes. Host is a name or an address literal (IPv6 without brackets).
struct TclProxyDecision {
  TclProxyKind Kind = pkNone;
  // socks4a and socks5h: the proxy resolves the target's name; socks4 and socks5 resolve it here.
  bool RemoteResolve = false;
  rtl::String Host;
  int Port = 0;
  // Percent-decoded from "user:pass@"; for an HTTP proxy they are sent as Basic credentials.
  rtl::String UserName;
  rtl::String Password;
  // The variable the proxy came from ("https_proxy"); empty for pkNone.
  std::string Variable;
};

// A proxy given without a port listens on curl's default proxy port.
constexpr int DefaultProxyPort = 1080;

// Answers a variable's value, nullopt when it is not set. Tests pass their own.
using TclEnvironmentLookup = std::function<std::optional<std::string>(const char* AName)>;
// The process's environment.
std::optional<std::string> SystemEnvironment(const char* AName);

// Reads one proxy URL: "[scheme://][user[:password]@]host[:port][/...]" with the schemes http
// (also when none is given), socks4, socks4a, socks5 and socks5h, host a name, an IPv4 address
// or a bracketed IPv6 address. Raises EclProxyEnvironmentError "Invalid proxy in <AVariable>: ...".
TclProxyDecision ParseProxyUrl(std::string_view AText, std::string_view AVariable);

// Whether the exemption list (no_proxy syntax) exempts AHost, a name or an address (an IPv6
// address with or without brackets). Raises EclProxyEnvironmentError naming AVariable only for
// control characters; entries that mean nothing exempt nothing, as in curl.
bool NoProxyMatches(std::string_view ANoProxy, std::string_view AHost, std::string_view AVariable = "no_proxy");

// The proxy a request to AScheme://AHost takes. ANoProxy, when given (even empty), replaces the
// environment's no_proxy/NO_PROXY, as curl's --noproxy does; its errors name "--noproxy".
// Only the variable that decides is read and checked.
TclProxyDecision GetEnvironmentProxy(std::string_view AScheme, std::string_view AHost,
                                     const TclEnvironmentLookup& AEnvironment = SystemEnvironment,
                                     const std::optional<std::string>& ANoProxy = std::nullopt);

}  // namespace netlib

// The proxy environment's rules on arbitrary bytes: first line a proxy URL, second line a
// no_proxy list, third line the target host. A proxy URL that reads must name a host and a port
// in range, and read the same again when rebuilt from what was read.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "netlib/http/clProxyEnvironment.h"

using namespace netlib;

namespace {

std::string TakeLine(std::string& AText) {
  size_t nl = AText.find('\n');
  std::string line = AText.substr(0, nl);
  AText = nl == std::string::npos ? std::string() : AText.substr(nl + 1);
  return line;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  std::string proxy = TakeLine(text), noProxy = TakeLine(text), host = TakeLine(text);
  try {
    TclProxyDecision d = ParseProxyUrl(proxy, "all_proxy");
    if (d.Kind == pkNone || d.Host.empty() || d.Port < 1 || d.Port > 65535) std::abort();
    static const char* const schemes[] = {"", "http", "socks4", "socks5"};
    std::string host8 = rtl::U8(d.Host);
    if (host8.find(':') != std::string::npos) host8 = "[" + host8 + "]";
    std::string again = std::string(schemes[d.Kind]) + (d.RemoteResolve ? (d.Kind == pkSocks4 ? "a" : "h") : "") +
                        "://" + host8 + ":" + std::to_string(d.Port);
    TclProxyDecision e = ParseProxyUrl(again, "all_proxy");
    if (e.Kind != d.Kind || e.RemoteResolve != d.RemoteResolve || e.Host != d.Host || e.Port != d.Port) std::abort();
  } catch (const EclProxyEnvironmentError&) {
  }
  try {
    bool exempt = NoProxyMatches(noProxy, host);
    if (noProxy == "*" && !exempt) std::abort();
    auto lookup = [&](const char* AName) -> std::optional<std::string> {
      if (std::string(AName) == "all_proxy") return proxy;
      if (std::string(AName) == "no_proxy") return noProxy;
      return std::nullopt;
    };
    TclProxyDecision d = GetEnvironmentProxy("https", host, lookup);
    if (exempt && d.Kind != pkNone) std::abort();
  } catch (const EclProxyEnvironmentError&) {
  }
  return 0;
}

#include "netlib/http/clProxyApply.h"

#include "netlib/http/clHttp.h"

namespace netlib {

void ApplyProxyDecision(const TclProxyDecision& ADecision, TclHttpProxySettings& AProxy, TclFirewallSettings& AFirewall) {
  AProxy.Clear();
  AFirewall.Clear();
  switch (ADecision.Kind) {
    case pkNone:
      break;
    case pkHttp:
      AProxy.SetServer(ADecision.Host);
      AProxy.SetPort(ADecision.Port);
      AProxy.SetUserName(ADecision.UserName);
      AProxy.SetPassword(ADecision.Password);
      break;
    case pkSocks4:
    case pkSocks5:
      AFirewall.SetFirewallType(ADecision.Kind == pkSocks4 ? ftSocks4 : ftSocks5);
      AFirewall.SetServer(ADecision.Host);
      AFirewall.SetPort(ADecision.Port);
      AFirewall.SetUserName(ADecision.UserName);
      AFirewall.SetPassword(ADecision.Password);
      AFirewall.SetNeedResolveIP(ADecision.RemoteResolve);
      break;
  }
}

void ApplyProxyDecision(const TclProxyDecision& ADecision, TclHttp& AHttp) {
  ApplyProxyDecision(ADecision, AHttp.ProxySettings(), AHttp.FirewallSettings());
}

void UseEnvironmentProxy(TclHttp& AHttp, std::optional<std::string> ANoProxy, TclEnvironmentLookup AEnvironment) {
  AHttp.OnSelectProxy = [noProxy = std::move(ANoProxy), environment = std::move(AEnvironment)](
                            TclHttp* ASender, const TclUrlParser& AUrl) {
    // A URL that did not parse leaves the request to the client's own server.
    const rtl::String& host = AUrl.Host().empty() ? ASender->Server() : AUrl.Host();
    ApplyProxyDecision(
        GetEnvironmentProxy(AUrl.UrlType() == utHTTPS ? "https" : "http", rtl::U8(host), environment, noProxy),
        *ASender);
  };
}

}  // namespace netlib

// Puts a proxy decision (clProxyEnvironment) into a client's settings.
#pragma once

#include "netlib/http/clProxyEnvironment.h"

namespace netlib {

class TclHttp;
class TclHttpProxySettings;
class TclFirewallSettings;

// The decision replaces whatever proxy the settings held: an HTTP proxy goes into AProxy and clears
// AFirewall; a SOCKS proxy goes into AFirewall and clears AProxy; pkNone clears both. An HTTP
// proxy's credentials answer its challenge in the strongest scheme it offers (Negotiate, NTLM,
// Digest, then Basic); they are never sent before it asks, so a proxy that wants NTLM never sees
// the password in clear.
void ApplyProxyDecision(const TclProxyDecision& ADecision, TclHttpProxySettings& AProxy, TclFirewallSettings& AFirewall);
// The same on the client's ProxySettings and FirewallSettings.
void ApplyProxyDecision(const TclProxyDecision& ADecision, TclHttp& AHttp);

// Makes the client take its proxy from the environment for every request (OnSelectProxy), by the
// request's own scheme and host: a redirect from http to https moves from http_proxy to
// https_proxy, one to an exempt host goes direct. ANoProxy replaces no_proxy/NO_PROXY as in
// GetEnvironmentProxy. A malformed variable fails the request with EclProxyEnvironmentError.
void UseEnvironmentProxy(TclHttp& AHttp, std::optional<std::string> ANoProxy = std::nullopt,
                         TclEnvironmentLookup AEnvironment = SystemEnvironment);

}  // namespace netlib

// Puts a proxy decision (clProxyEnvironment) into a client's settings.
#pragma once

#include "netlib/http/clProxyEnvironment.h"

namespace netlib {

class TclHttp;
class TclHttpProxySettings;
class TclFirewallSettings;

// The decision replaces whatever proxy the settings held: an HTTP proxy goes into AProxy (with
// Basic credentials sent from the first request when it carries any, as curl does) and clears
// AFirewall; a SOCKS proxy goes into AFirewall and clears AProxy; pkNone clears both.
void ApplyProxyDecision(const TclProxyDecision& ADecision, TclHttpProxySettings& AProxy, TclFirewallSettings& AFirewall);
// The same on the client's ProxySettings and FirewallSettings.
void ApplyProxyDecision(const TclProxyDecision& ADecision, TclHttp& AHttp);

}  // namespace netlib

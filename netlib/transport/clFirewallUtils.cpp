#include "netlib/transport/clFirewallUtils.h"

namespace netlib {

void TclFirewallSettings::Assign(const TclFirewallSettings& ASource) {
  if (&ASource == this) return;
  FFirewallType = ASource.FFirewallType;
  FUserName = ASource.FUserName;
  FPassword = ASource.FPassword;
  FServer = ASource.FServer;
  FPort = ASource.FPort;
  FNeedResolveIP = ASource.FNeedResolveIP;
}

void TclFirewallSettings::Clear() { *this = TclFirewallSettings(); }

}  // namespace netlib

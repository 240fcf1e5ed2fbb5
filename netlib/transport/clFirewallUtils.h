// The SOCKS firewall settings of a client component.
#pragma once

#include "rtl/SysUtils.h"

namespace netlib {

enum TclFirewallType { ftSocks4, ftSocks5 };

class TclFirewallSettings {
 public:
  static constexpr int DefaultPort = 1080;

  TclFirewallType FirewallType() const { return FFirewallType; }
  void SetFirewallType(TclFirewallType AValue) { FFirewallType = AValue; }
  const rtl::String& UserName() const { return FUserName; }
  void SetUserName(const rtl::String& AValue) { FUserName = AValue; }
  const rtl::String& Password() const { return FPassword; }
  void SetPassword(const rtl::String& AValue) { FPassword = AValue; }
  // Empty: no firewall, the client connects directly.
  const rtl::String& Server() const { return FServer; }
  void SetServer(const rtl::String& AValue) { FServer = AValue; }
  int Port() const { return FPort; }
  void SetPort(int AValue) { FPort = AValue; }
  // True: the SOCKS server resolves the target's name; false: it is resolved here first.
  bool NeedResolveIP() const { return FNeedResolveIP; }
  void SetNeedResolveIP(bool AValue) { FNeedResolveIP = AValue; }

  void Assign(const TclFirewallSettings& ASource);
  void Clear();
  bool operator==(const TclFirewallSettings&) const = default;

 private:
  TclFirewallType FFirewallType = ftSocks4;
  rtl::String FUserName;
  rtl::String FPassword;
  rtl::String FServer;
  int FPort = DefaultPort;
  bool FNeedResolveIP = true;
};

}  // namespace netlib

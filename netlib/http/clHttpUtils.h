// HTTP enumerations and the proxy settings of the HTTP client.
#pragma once

#include <cstdint>
#include <string_view>

#include "netlib/http/clPersistent.h"
#include "rtl/SysUtils.h"

namespace netlib {

enum TclHttpVersion : uint8_t { hvHttp1_0, hvHttp1_1 };

// A decimal number as HTTP writes lengths and byte positions: digits only (no sign, no blanks,
// no hexadecimal), at most 18 of them, so it stays below 2^63. False for anything else.
bool ParseDecimal(std::u16string_view AText, int64_t& AValue);

// atBasic: send Basic credentials with the first request; atAutoDetect: answer challenges only.
enum TclAuthorizationType : uint8_t { atBasic, atAutoDetect };

// The HTTP proxy to use and its credentials. No proxy when Server is empty. The fields are
// plain settings: setting them raises no notification.
class TclHttpProxySettings : public TPersistent {
 public:
  TclHttpProxySettings() { Clear(); }

  void Clear();
  // From another TclHttpProxySettings: all five fields; anything else fails (EConvertError).
  void Assign(const TPersistent* Source) override;
  const char* ClassName() const override { return "TclHttpProxySettings"; }

  TclAuthorizationType AuthorizationType() const { return FAuthorizationType; }
  void SetAuthorizationType(TclAuthorizationType Value) { FAuthorizationType = Value; }
  const rtl::String& UserName() const { return FUserName; }
  void SetUserName(const rtl::String& Value) { FUserName = Value; }
  const rtl::String& Password() const { return FPassword; }
  void SetPassword(const rtl::String& Value) { FPassword = Value; }
  const rtl::String& Server() const { return FServer; }
  void SetServer(const rtl::String& Value) { FServer = Value; }
  int32_t Port() const { return FPort; }
  void SetPort(int32_t Value) { FPort = Value; }
  // All five fields alike.
  bool operator==(const TclHttpProxySettings& A) const {
    return FAuthorizationType == A.FAuthorizationType && FUserName == A.FUserName && FPassword == A.FPassword &&
           FServer == A.FServer && FPort == A.FPort;
  }

 private:
  TclAuthorizationType FAuthorizationType = atAutoDetect;
  rtl::String FUserName;
  rtl::String FPassword;
  rtl::String FServer;
  int32_t FPort = 8080;
};

}  // namespace netlib

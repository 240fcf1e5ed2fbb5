// The URL parser: splits an absolute URL into its components, converts an internationalised host
// to its ASCII form, rebuilds and percent-encodes the URL, builds the request target, and
// resolves a reference against a base URL.
#pragma once

#include <cstdint>
#include <functional>

#include "netlib/http/clWinInet.h"
#include "rtl/SysUtils.h"

namespace netlib {

// The URL splitter's scheme numbers 0..7.
enum TclUrlType : uint8_t { utUnknown, utFTP, utGOPHER, utHTTP, utHTTPS, utFILE, utNEWS, utMAILTO };

class TclUrlParser;
// Called between splitting and re-assembly; the handler may change any component of the record.
using TclOnUrlParsing = std::function<void(TclUrlParser* Sender, URL_COMPONENTS& URLComponents)>;

class TclUrlParser {
 public:
  // Replaces every component and answers the new AbsoluteUri: empty when the URL cannot be split
  // (components reset) or re-assembled (components kept). A URL without a scheme is tried once
  // more with "http://" in front. Raises EclIdnError when the host cannot be converted.
  rtl::String Parse(const rtl::String& AFullUrl, const rtl::String& ACharSet);
  // Percent-encodes the bytes of AUrl in ACharSet: valid escapes pass, the always-encoded
  // characters, controls and bytes from 0x7F up become "%XX".
  static rtl::String EncodeUrl(const rtl::String& AUrl, const rtl::String& ACharSet);
  // Resolves the reference AUrl against the absolute ABaseUrl and parses the result; empty when
  // the combination or the parse fails.
  static rtl::String CombineUrl(const rtl::String& AUrl, const rtl::String& ABaseUrl,
                                const rtl::String& ACharSet);
  // Copies the components and AbsoluteUri; CharSet and OnUrlParsing stay.
  void Assign(const TclUrlParser& Source);

  const rtl::String& CharSet() const { return FCharSet; }
  void SetCharSet(const rtl::String& Value) { FCharSet = Value; }
  const rtl::String& Host() const { return FHost; }
  const rtl::String& UserName() const { return FUserName; }
  const rtl::String& Password() const { return FPassword; }
  const rtl::String& Urlpath() const { return FUrlpath; }
  const rtl::String& Extra() const { return FExtra; }
  // The encoded request target: "*" for the host "*", else path and query ("/" when empty);
  // never the fragment.
  rtl::String AbsolutePath() const;
  int32_t Port() const { return FPort; }
  TclUrlType UrlType() const { return FUrlType; }
  const rtl::String& AbsoluteUri() const { return FAbsoluteUri; }
  TclOnUrlParsing OnUrlParsing;

 private:
  rtl::String ParseUrl(const rtl::String& AUrl);
  void ResetComponents();

  rtl::String FCharSet;
  rtl::String FHost;
  rtl::String FUserName;
  rtl::String FPassword;
  rtl::String FUrlpath;
  rtl::String FExtra;
  int32_t FPort = 0;
  TclUrlType FUrlType = utUnknown;
  rtl::String FAbsoluteUri;
};

}  // namespace netlib

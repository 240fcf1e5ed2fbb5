// Internationalised host names: the Punycode encoder (RFC 3492) with the "xn--" prefix, on
// UTF-16 code units, without case folding or other normalisation.
#pragma once

#include "rtl/Exception.h"
#include "rtl/SysUtils.h"

namespace netlib {

class EclIdnError : public rtl::Exception {
 public:
  using rtl::Exception::Exception;
  const char* ClassName() const noexcept override { return "EclIdnError"; }
};

class TclIdnTranslator {
 public:
  TclIdnTranslator() = delete;

  // One label: unchanged when every unit is below 0x80, else "xn--" and its Punycode form.
  // Raises EclIdnError "Input value needs wider integers to translate" when a delta does not fit
  // in a signed 32-bit integer.
  static rtl::String GetAscii(const rtl::String& AInput);
  // A host name: each "."-separated label through GetAscii, joined with ".".
  static rtl::String GetDomainAscii(const rtl::String& AInput);
  // A Punycode digit 0..35 as "a".."z", "0".."9"; EclIdnError "Bad input value for the IDN
  // translator" for any other value.
  static rtl::Char EncodeDigit(int ADigit);
  // The bias adaptation of RFC 3492 section 6.1.
  static int Adapt(int ADelta, int ANumPoints, bool AFirstTime);
};

}  // namespace netlib

#include "netlib/http/clIdnTranslator.h"

#include <cstdint>

#include "netlib/text/clUtils.h"

namespace netlib {

namespace {
// RFC 3492 parameters.
constexpr int Base = 36;
constexpr int TMin = 1;
constexpr int TMax = 26;
constexpr int Skew = 38;
constexpr int Damp = 700;
constexpr int InitialBias = 72;
constexpr int InitialN = 128;
constexpr rtl::Char Delimiter = u'-';
constexpr int32_t MaxInt = 2147483647;
const char16_t AcePrefix[] = u"xn--";

[[noreturn]] void Overflow() { throw EclIdnError(u"Input value needs wider integers to translate"); }
}  // namespace

rtl::Char TclIdnTranslator::EncodeDigit(int ADigit) {
  if (ADigit >= 0 && ADigit < 26) return static_cast<rtl::Char>(u'a' + ADigit);
  if (ADigit >= 26 && ADigit < 36) return static_cast<rtl::Char>(u'0' + (ADigit - 26));
  throw EclIdnError(u"Bad input value for the IDN translator");
}

int TclIdnTranslator::Adapt(int ADelta, int ANumPoints, bool AFirstTime) {
  int delta = AFirstTime ? ADelta / Damp : ADelta / 2;
  delta += delta / ANumPoints;
  int k = 0;
  while (delta > ((Base - TMin) * TMax) / 2) {
    delta /= Base - TMin;
    k += Base;
  }
  return k + (Base - TMin + 1) * delta / (delta + Skew);
}

rtl::String TclIdnTranslator::GetAscii(const rtl::String& AInput) {
  rtl::String basic;
  for (rtl::Char c : AInput)
    if (c < 0x80) basic += c;
  const int32_t length = static_cast<int32_t>(AInput.size());
  const int32_t b = static_cast<int32_t>(basic.size());
  if (b == length) return AInput;

  rtl::String output = AcePrefix + basic;
  if (b > 0) output += Delimiter;
  int32_t n = InitialN, delta = 0, bias = InitialBias, h = b;
  while (h < length) {
    // The smallest unit not yet handled.
    int32_t m = MaxInt;
    for (rtl::Char c : AInput)
      if (c >= n && c < m) m = c;
    if ((MaxInt - delta) / (h + 1) < m - n) Overflow();
    delta += (m - n) * (h + 1);
    n = m;
    for (rtl::Char c : AInput) {
      if (c < n) {
        if (delta == MaxInt) Overflow();
        ++delta;
      }
      if (c == n) {
        int32_t q = delta;
        for (int k = Base;; k += Base) {
          int t = k <= bias ? TMin : (k >= bias + TMax ? TMax : k - bias);
          if (q < t) break;
          output += EncodeDigit(t + (q - t) % (Base - t));
          q = (q - t) / (Base - t);
        }
        output += EncodeDigit(q);
        bias = Adapt(delta, h + 1, h == b);
        delta = 0;
        ++h;
      }
    }
    // Cannot overflow: delta was reset at the last emitted unit and counts at most the label.
    ++delta;
    ++n;
  }
  return output;
}

rtl::String TclIdnTranslator::GetDomainAscii(const rtl::String& AInput) {
  rtl::TStringList labels;
  SplitToList(AInput, labels, u'.');
  rtl::String result;
  for (int i = 0; i < labels.Count(); ++i) {
    if (i > 0) result += u'.';
    result += GetAscii(labels[i]);
  }
  return result;
}

}  // namespace netlib

#include "netlib/http/clHttpUtils.h"

namespace netlib {

bool ParseDecimal(std::u16string_view AText, int64_t& AValue) {
  if (AText.empty() || AText.size() > 18) return false;
  int64_t v = 0;
  for (char16_t c : AText) {
    if (c < u'0' || c > u'9') return false;
    v = v * 10 + (c - u'0');
  }
  AValue = v;
  return true;
}

void TclHttpProxySettings::Clear() {
  FAuthorizationType = atAutoDetect;
  FPort = 8080;
  FUserName.clear();
  FPassword.clear();
  FServer.clear();
}

void TclHttpProxySettings::Assign(const TPersistent* Source) {
  if (auto* s = dynamic_cast<const TclHttpProxySettings*>(Source)) {
    FAuthorizationType = s->FAuthorizationType;
    FUserName = s->FUserName;
    FPassword = s->FPassword;
    FServer = s->FServer;
    FPort = s->FPort;
    return;
  }
  TPersistent::Assign(Source);
}

}  // namespace netlib

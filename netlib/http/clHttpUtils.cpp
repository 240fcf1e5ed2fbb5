#include "netlib/http/clHttpUtils.h"

namespace netlib {

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

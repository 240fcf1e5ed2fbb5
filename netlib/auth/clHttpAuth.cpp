#include "netlib/auth/clHttpAuth.h"

#include "netlib/auth/clEncoder.h"
#include "netlib/auth/clSspiAuth.h"
#include "netlib/auth/clHttpAuthDigest.h"

namespace netlib {

namespace {

// The schemes every process starts with. Authorize walks the registry backwards, so the later
// a scheme stands here the more it is preferred: Basic, then Digest, then NTLM/Negotiate, each
// added here by its own module.
TclAuthorizationList CreateBuiltinAuthorizations() {
  TclAuthorizationList list;
  list.push_back(std::make_unique<TclHttpBasicAuthorization>());
  list.push_back(std::make_unique<TclHttpDigestAuthorization>());
  list.push_back(std::make_unique<TclHttpNtlmAuthorization>());
  return list;
}

}  // namespace

TclAuthorizationList& TclHttpAuthorization::RegisteredAuthorizations() {
  static TclAuthorizationList registry = CreateBuiltinAuthorizations();
  return registry;
}

void TclHttpAuthorization::RegisterAuthorization(std::unique_ptr<TclHttpAuthorization> Authorization) {
  if (Authorization) RegisteredAuthorizations().push_back(std::move(Authorization));
}

TclHttpAuthorization* TclHttpAuthorization::Authorize(const TclUrlParser& AUrl, const rtl::String& AMethod,
                                                      const rtl::String& AUserName, const rtl::String& APassword,
                                                      const rtl::TStringList& AuthChallenge,
                                                      TclAuthContext AContext) {
  TclAuthorizationList& list = RegisteredAuthorizations();
  for (size_t i = list.size(); i-- > 0;) {
    if (i >= list.size()) continue;
    TclHttpAuthorization* scheme = list[i].get();
    scheme->AnswerChallenge(AUrl, AMethod, AUserName, APassword, AuthChallenge, AContext);
    if (!scheme->AuthValue().empty()) return scheme;
  }
  return nullptr;
}

rtl::String FindChallenge(const rtl::TStringList& AChallengeList, const rtl::String& AScheme) {
  const rtl::String scheme = rtl::LowerCase(AScheme);
  for (const rtl::String& line : AChallengeList)
    if (rtl::LowerCase(line).find(scheme) != rtl::String::npos) return line;
  return {};
}

void TclHttpBasicAuthorization::AnswerChallenge(const TclUrlParser& AUrl, const rtl::String& AMethod,
                                                const rtl::String& AUserName, const rtl::String& APassword,
                                                const rtl::TStringList& AuthChallenge, TclAuthContext AContext) {
  if (FindChallenge(AuthChallenge, u"basic").empty()) {
    FAuthValue.clear();
    return;
  }
  FStartNewConnection = true;
  if (AUserName.empty() && APassword.empty()) {
    FAuthValue.clear();
    return;
  }
  // A password without a user name goes without the colon.
  rtl::String credentials = AUserName;
  if (!AUserName.empty()) credentials += u':';
  credentials += APassword;
  TclEncoder encoder;
  encoder.SetSuppressCrlf(true);
  FAuthValue = u"Basic " + encoder.EncodeToString(credentials, cmBase64);
}

}  // namespace netlib

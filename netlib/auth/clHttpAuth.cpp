#include "netlib/auth/clHttpAuth.h"

#include "netlib/auth/clEncoder.h"
#include "netlib/auth/clSspiAuth.h"
#include "netlib/auth/clHttpAuthDigest.h"
#include "netlib/text/clUtils.h"

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

namespace {

bool IsBlank(rtl::Char c) { return c == u' ' || c == u'\t'; }

// A token character of RFC 9110 (5.6.2).
bool IsTokenChar(rtl::Char c) {
  if ((c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9')) return true;
  return c < 0x80 && std::u16string_view(u"!#$%&'*+-.^_`|~").find(c) != std::u16string_view::npos;
}

// Where the challenge of AScheme starts in one header value and where it ends (blanks around it
// excluded); false when the value has none. A value may list several challenges, separated by
// commas like their parameters: an element that begins with a token followed by its end or by
// a blank and no "=" begins a challenge ("Basic realm=x", "NTLM", "Negotiate abc=="); any other
// element ("realm=x", "nonce = 1") is a parameter of the challenge before it.
bool FindSchemeIn(const rtl::String& ALine, const rtl::String& AScheme, size_t& AStart, size_t& AEnd) {
  bool found = false;
  VisitListElements(ALine, IsBlank, [&](std::u16string_view AElement) {
    size_t t = 0;
    while (t < AElement.size() && IsTokenChar(AElement[t])) ++t;
    size_t after = t;
    while (after < AElement.size() && IsBlank(AElement[after])) ++after;
    const bool begins =
        t > 0 && (t == AElement.size() || (after > t && (after == AElement.size() || AElement[after] != u'=')));
    const size_t at = size_t(AElement.data() - ALine.data());
    if (begins) {
      if (found) return true;
      if (rtl::SameText(AElement.substr(0, t), AScheme)) {
        found = true;
        AStart = at;
      }
    }
    if (found && !AElement.empty()) AEnd = at + AElement.size();
    return false;
  });
  return found;
}

}  // namespace

rtl::String FindChallenge(const rtl::TStringList& AChallengeList, const rtl::String& AScheme) {
  for (const rtl::String& line : AChallengeList) {
    size_t start = 0, end = 0;
    if (FindSchemeIn(line, AScheme, start, end)) return line.substr(start, end - start);
  }
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

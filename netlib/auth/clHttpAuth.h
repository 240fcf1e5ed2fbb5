// The authorization framework: the process-wide registry of schemes, the walk that offers a
// response's challenges to them, and the Basic scheme.
#pragma once

#include <memory>
#include <vector>

#include "netlib/http/clUriUtils.h"
#include "rtl/Classes.h"
#include "rtl/SysUtils.h"

namespace netlib {

class TclHttpAuthorization;
using TclAuthorizationList = std::vector<std::unique_ptr<TclHttpAuthorization>>;

// Identifies the caller across AnswerChallenge calls: the HTTP client passes itself. Only its
// identity is used, so the framework does not depend on the client's class.
using TclAuthContext = const void*;

class TclHttpAuthorization {
 public:
  TclHttpAuthorization() = default;
  virtual ~TclHttpAuthorization() = default;
  TclHttpAuthorization(const TclHttpAuthorization&) = delete;
  TclHttpAuthorization& operator=(const TclHttpAuthorization&) = delete;

  // Sets AuthValue to the header value answering one of the challenges (one challenge header
  // value per line), or empty when the scheme cannot answer any; may set StartNewConnection.
  virtual void AnswerChallenge(const TclUrlParser& AUrl, const rtl::String& AMethod,
                               const rtl::String& AUserName, const rtl::String& APassword,
                               const rtl::TStringList& AuthChallenge, TclAuthContext AContext) = 0;

  bool StartNewConnection() const { return FStartNewConnection; }
  const rtl::String& AuthValue() const { return FAuthValue; }

  // Appends a scheme to the registry, which takes ownership.
  static void RegisterAuthorization(std::unique_ptr<TclHttpAuthorization> Authorization);
  // The registry, created on first use with the built-in schemes in the order Basic, Digest,
  // NTLM; later registrations follow them.
  static TclAuthorizationList& RegisteredAuthorizations();
  // Offers the challenges to the registered schemes from the last to the first and answers the
  // first whose AuthValue is not empty afterwards, nullptr when none answers. Errors of a
  // scheme propagate.
  static TclHttpAuthorization* Authorize(const TclUrlParser& AUrl, const rtl::String& AMethod,
                                         const rtl::String& AUserName, const rtl::String& APassword,
                                         const rtl::TStringList& AuthChallenge, TclAuthContext AContext);

 protected:
  bool FStartNewConnection = false;
  rtl::String FAuthValue;
};

// The first challenge whose scheme token is AScheme (case ignored), from that token to the end
// of its parameters, as written; "" when none. A line may hold several challenges separated by
// commas; a scheme name inside another challenge's parameters is no match.
rtl::String FindChallenge(const rtl::TStringList& AChallengeList, const rtl::String& AScheme);

class TclHttpBasicAuthorization : public TclHttpAuthorization {
 public:
  void AnswerChallenge(const TclUrlParser& AUrl, const rtl::String& AMethod, const rtl::String& AUserName,
                       const rtl::String& APassword, const rtl::TStringList& AuthChallenge,
                       TclAuthContext AContext) override;
};

}  // namespace netlib

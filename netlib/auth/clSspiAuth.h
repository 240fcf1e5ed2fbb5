// Sessions with the security provider and the NTLM / Negotiate authorization scheme built on them.
#pragma once

#include <map>
#include <memory>

#include "netlib/auth/clHttpAuth.h"
#include "netlib/auth/clSspi.h"
#include "rtl/Classes.h"
#include "rtl/SyncObjs.h"

namespace netlib {

// A user and password for the provider. The record carries UTF-16 copies (the UNICODE flag),
// so names and passwords outside the system code page reach the provider intact.
class TclAuthIdentity {
 public:
  // DOMAIN\user or DOMAIN/user (the first backslash wins, then the first slash); without a
  // separator the domain is empty.
  TclAuthIdentity(const rtl::String& AUser, const rtl::String& APassword);
  TclAuthIdentity(const TclAuthIdentity&) = delete;
  TclAuthIdentity& operator=(const TclAuthIdentity&) = delete;

  const rtl::String& User() const { return FUser; }
  const rtl::String& Password() const { return FPassword; }
  const rtl::String& Domain() const { return FDomain; }
  // Rebuilt from the three texts on each call; valid while this object lives.
  platform::sspi::SEC_WINNT_AUTH_IDENTITY* Identity();

 private:
  rtl::String FUser, FPassword, FDomain;
  rtl::String FUserCopy, FPasswordCopy, FDomainCopy;
  platform::sspi::SEC_WINNT_AUTH_IDENTITY FIdentity{};
};

class TclNtAuthSspi : public TclSspi {
 public:
  ~TclNtAuthSspi() override;
  const platform::sspi::CredHandle& CredHandle() const { return FCredHandle; }
  const platform::sspi::CtxtHandle& CtxtHandle() const { return FCtxtHandle; }

 protected:
  // Deletes the context and frees the credentials, whichever are present.
  void ReleaseHandles();
  void AcquireCredentials(const rtl::String& APackage, TclAuthIdentity* AuthIdentity);
  static bool Present(const platform::sspi::SecHandle& h) { return h.dwLower || h.dwUpper; }

  platform::sspi::CredHandle FCredHandle{};
  platform::sspi::CtxtHandle FCtxtHandle{};
};

class TclNtAuthClientSspi : public TclNtAuthSspi {
 public:
  // One round: ABuffer holds the server's token from its position (nothing in the first
  // round) and receives the client's token at position 0. True when the exchange is complete.
  bool GenChallenge(const rtl::String& APackage, rtl::TStream& ABuffer, const rtl::String& ATargetName,
                    TclAuthIdentity* AuthIdentity);
};

// Negotiate (preferred) and NTLM: one provider session per calling client, dropped when the
// provider reports completion or the server's line is not an answer of the scheme.
class TclHttpNtlmAuthorization : public TclHttpAuthorization {
 public:
  ~TclHttpNtlmAuthorization() override;
  void AnswerChallenge(const TclUrlParser& AUrl, const rtl::String& AMethod, const rtl::String& AUserName,
                       const rtl::String& APassword, const rtl::TStringList& AuthChallenge,
                       TclAuthContext AContext) override;
  void CloseSessions();
  bool HasSession(TclAuthContext AContext);

 private:
  // The header value of one round; AFinished tells whether the session is over.
  rtl::String RunRound(TclNtAuthClientSspi& ASession, const TclUrlParser& AUrl, const rtl::String& AScheme,
                       const rtl::String& AChallenge, const rtl::String& AUserName, const rtl::String& APassword,
                       bool& AFinished);

  std::map<rtl::String, std::unique_ptr<TclNtAuthClientSspi>> FSessions;
  rtl::TCriticalSection FAccessor;
};

}  // namespace netlib

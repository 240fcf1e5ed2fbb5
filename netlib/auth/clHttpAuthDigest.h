// The Digest scheme (RFC 2617 with qop "auth" or none, MD5 and MD5-sess): one challenge's
// parameters and the answer built from them.
#pragma once

#include <cstdint>

#include "netlib/auth/clHttpAuth.h"

namespace netlib {

class TclDigestChallenge {
 public:
  // Fills every field from the items of one challenge line; absent items leave them empty.
  void Parse(const rtl::String& AChallenge);
  // The header value: "Digest " and the answer's items.
  rtl::String BuildAuthorization() const;

  bool Stale() const { return FStale; }
  void SetStale(bool Value) { FStale = Value; }
  const rtl::String& Realm() const { return FRealm; }
  void SetRealm(const rtl::String& Value) { FRealm = Value; }
  const rtl::String& Algorithm() const { return FAlgorithm; }
  void SetAlgorithm(const rtl::String& Value) { FAlgorithm = Value; }
  const rtl::String& QopOptions() const { return FQopOptions; }
  void SetQopOptions(const rtl::String& Value) { FQopOptions = Value; }
  const rtl::String& Nonce() const { return FNonce; }
  void SetNonce(const rtl::String& Value) { FNonce = Value; }
  const rtl::String& Domain() const { return FDomain; }
  void SetDomain(const rtl::String& Value) { FDomain = Value; }
  const rtl::String& Opaque() const { return FOpaque; }
  void SetOpaque(const rtl::String& Value) { FOpaque = Value; }
  uint32_t NonceCount() const { return FNonceCount; }
  void SetNonceCount(uint32_t Value) { FNonceCount = Value; }
  const rtl::String& UserName() const { return FUserName; }
  void SetUserName(const rtl::String& Value) { FUserName = Value; }
  const rtl::String& ClientNonce() const { return FClientNonce; }
  void SetClientNonce(const rtl::String& Value) { FClientNonce = Value; }
  const rtl::String& Response() const { return FResponse; }
  void SetResponse(const rtl::String& Value) { FResponse = Value; }
  const rtl::String& Uri() const { return FUri; }
  void SetUri(const rtl::String& Value) { FUri = Value; }
  const rtl::String& Method() const { return FMethod; }
  void SetMethod(const rtl::String& Value) { FMethod = Value; }
  const rtl::String& CharSet() const { return FCharSet; }
  void SetCharSet(const rtl::String& Value) { FCharSet = Value; }

 private:
  bool FStale = false;
  rtl::String FRealm;
  rtl::String FAlgorithm;
  rtl::String FQopOptions;
  rtl::String FNonce;
  rtl::String FDomain;
  rtl::String FOpaque;
  uint32_t FNonceCount = 0;
  rtl::String FUserName;
  rtl::String FClientNonce;
  rtl::String FResponse;
  rtl::String FUri;
  rtl::String FMethod;
  rtl::String FCharSet;
};

// "ab" and 30 lower-case hexadecimal digits from the operating system's random source;
// "" when that source fails.
rtl::String GenerateDigestClientNonce();

class TclHttpDigestAuthorization : public TclHttpAuthorization {
 public:
  // Answers the first challenge line naming "digest"; AuthValue stays empty for an empty user
  // name, an unknown algorithm or credentials that cannot travel in a header line.
  void AnswerChallenge(const TclUrlParser& AUrl, const rtl::String& AMethod, const rtl::String& AUserName,
                       const rtl::String& APassword, const rtl::TStringList& AuthChallenge,
                       TclAuthContext AContext) override;

 protected:
  // The header value answering AChallenge, "" when it cannot be answered.
  rtl::String GetAuthorization(const TclUrlParser& AUrl, const rtl::String& AMethod, const rtl::String& AChallenge,
                               const rtl::String& AUserName, const rtl::String& APassword);
  // Tests replace it to reproduce published examples.
  virtual rtl::String GenerateClientNonce() { return GenerateDigestClientNonce(); }
};

}  // namespace netlib

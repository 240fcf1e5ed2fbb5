#include "netlib/auth/clHttpAuthDigest.h"

#include <vector>

#include "netlib/auth/clCryptHash.h"
#include "netlib/http/clHeaderFieldList.h"
#include "netlib/text/clUtils.h"
#include "platform/Random.h"

namespace netlib {

namespace {

int HexDigit(rtl::Char c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

// A nonce count as sent: hexadecimal digits only, at most 32 bits; 0 for anything else.
uint32_t ReadNonceCount(const rtl::String& AText) {
  if (AText.empty()) return 0;
  uint64_t value = 0;
  for (rtl::Char c : AText) {
    int d = HexDigit(c);
    if (d < 0) return 0;
    value = value * 16 + static_cast<uint64_t>(d);
    if (value > 0xFFFFFFFFu) return 0;
  }
  return static_cast<uint32_t>(value);
}

bool IsBlank(rtl::Char c) { return c == u' ' || c == u'\t'; }

// The qop list is reduced to "auth" when one of its comma-separated items is "auth". Blanks
// around an item do not count: "auth-int, auth" offers auth as much as "auth-int,auth" does,
// and answering with the whole list would be no valid qop at all.
bool OffersAuth(const rtl::String& AQopOptions) {
  const rtl::String lower = rtl::LowerCase(AQopOptions);
  size_t start = 0;
  for (;;) {
    size_t comma = lower.find(u',', start);
    size_t end = comma == rtl::String::npos ? lower.size() : comma;
    size_t b = start, e = end;
    while (b < e && IsBlank(lower[b])) ++b;
    while (e > b && IsBlank(lower[e - 1])) --e;
    if (lower.compare(b, e - b, u"auth") == 0) return true;
    if (comma == rtl::String::npos) return false;
    start = comma + 1;
  }
}

void AddItem(rtl::String& AList, const char16_t* AName, const rtl::String& AValue, bool AQuoted) {
  if (!AList.empty()) AList += u", ";
  AList += AName;
  AList += u'=';
  AList += AQuoted ? QuoteText(AValue, u'"') : AValue;
}

}  // namespace

void TclDigestChallenge::Parse(const rtl::String& AChallenge) {
  TclHeaderFieldList list;
  auto item = [&](const char16_t* name) { return list.GetFieldValueItem(AChallenge, name); };
  FCharSet = item(u"charset");
  FRealm = item(u"realm");
  FDomain = item(u"domain");
  FNonce = item(u"nonce");
  FOpaque = item(u"opaque");
  FStale = rtl::SameText(item(u"stale"), u"true");
  FAlgorithm = item(u"algorithm");
  FQopOptions = item(u"qop");
  FUserName = item(u"username");
  FUri = item(u"uri");
  FClientNonce = item(u"cnonce");
  FNonceCount = ReadNonceCount(item(u"nc"));
  FResponse = item(u"response");
}

rtl::String TclDigestChallenge::BuildAuthorization() const {
  const bool qop = !FQopOptions.empty();
  rtl::String items;
  AddItem(items, u"username", FUserName, true);
  AddItem(items, u"realm", FRealm, true);
  if (qop) {
    AddItem(items, u"qop", FQopOptions, true);
    AddItem(items, u"algorithm", FAlgorithm, true);
  }
  AddItem(items, u"uri", FUri, true);
  AddItem(items, u"nonce", FNonce, true);
  if (qop) {
    AddItem(items, u"nc", rtl::IntToHex(FNonceCount, 8), false);
    AddItem(items, u"cnonce", FClientNonce, true);
  }
  AddItem(items, u"opaque", FOpaque, true);
  AddItem(items, u"response", FResponse, true);
  return u"Digest " + items;
}

rtl::String GenerateDigestClientNonce() {
  uint8_t random[15];
  if (!platform::GenerateRandomBytes(random, sizeof(random))) return {};
  static const char16_t kHex[] = u"0123456789abcdef";
  rtl::String nonce = u"ab";
  for (uint8_t b : random) {
    nonce += kHex[b >> 4];
    nonce += kHex[b & 15];
  }
  return nonce;
}

void TclHttpDigestAuthorization::AnswerChallenge(const TclUrlParser& AUrl, const rtl::String& AMethod,
                                                 const rtl::String& AUserName, const rtl::String& APassword,
                                                 const rtl::TStringList& AuthChallenge, TclAuthContext) {
  const rtl::String challenge = FindChallenge(AuthChallenge, u"digest");
  FAuthValue = challenge.empty() ? rtl::String() : GetAuthorization(AUrl, AMethod, challenge, AUserName, APassword);
}

rtl::String TclHttpDigestAuthorization::GetAuthorization(const TclUrlParser& AUrl, const rtl::String& AMethod,
                                                         const rtl::String& AChallenge, const rtl::String& AUserName,
                                                         const rtl::String& APassword) {
  if (AUserName.empty()) return {};
  TclDigestChallenge digest;
  digest.Parse(AChallenge);

  // The client nonce is ours alone: one named by the server would let it choose every input
  // of the digest, so a fresh one with the count 1 answers every challenge.
  digest.SetClientNonce({});
  if (!digest.QopOptions().empty()) {
    digest.SetClientNonce(GenerateClientNonce());
    if (digest.ClientNonce().empty()) return {};
    digest.SetNonceCount(1);
  }
  digest.SetMethod(AMethod);
  digest.SetUserName(AUserName);
  digest.SetUri(AUrl.AbsolutePath());

  const rtl::String credentials = AUserName + u":" + digest.Realm() + u":" + APassword;
  rtl::String a1;
  if (digest.Algorithm().empty() || rtl::SameText(digest.Algorithm(), u"md5"))
    a1 = credentials;
  else if (rtl::SameText(digest.Algorithm(), u"md5-sess"))
    a1 = GetMD5HashText(credentials) + u":" + digest.Nonce() + u":" + digest.ClientNonce();
  const rtl::String a2 = digest.Method() + u":" + digest.Uri();
  if (OffersAuth(digest.QopOptions())) digest.SetQopOptions(u"auth");
  if (a1.empty() || a2.empty()) return {};

  rtl::String middle = digest.Nonce() + u":";
  if (!digest.QopOptions().empty())
    middle += rtl::IntToHex(digest.NonceCount(), 8) + u":" + digest.ClientNonce() + u":" + digest.QopOptions() + u":";
  middle += GetMD5HashText(a2);
  digest.SetResponse(GetMD5HashText(GetMD5HashText(a1) + u":" + middle));
  if (digest.Response().empty()) return {};

  // A line break or NUL (from the user name, a server value or the address) would end or
  // split the header line: such an answer is not sent.
  rtl::String value = digest.BuildAuthorization();
  if (value.find_first_of(std::u16string_view(u"\r\n\0", 3)) != rtl::String::npos) return {};
  return value;
}

}  // namespace netlib

// The Digest scheme: challenge parsing, the answer's items and response digest, its place in the
// scheme registry, and the client nonce.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "../../http/HttpTestLines.h"
#include "netlib/auth/clHttpAuthDigest.h"
#include "rtl/Hash.h"

using namespace netlib;
using httptest::Url;
using httptest::Lines;
using httptest::A;

namespace {

// The oracle's MD5: plain ASCII bytes, independent of the scheme's text digest.
std::string Md5(const std::string& s) { return rtl::U8(rtl::DigestToHex(rtl::MD5(s.data(), s.size()))); }

// The scheme with a client nonce chosen by the test, counting how often one was asked for.
class TFixedNonceDigest : public TclHttpDigestAuthorization {
 public:
  explicit TFixedNonceDigest(rtl::String ANonce) : FNonce(std::move(ANonce)) {}
  int Generated = 0;

 protected:
  rtl::String GenerateClientNonce() override {
    ++Generated;
    return FNonce;
  }

 private:
  rtl::String FNonce;
};

rtl::String Answer(TclHttpDigestAuthorization& scheme, const rtl::String& challenge, const rtl::String& user = u"u",
                   const rtl::String& password = u"p", const rtl::String& url = u"http://127.0.0.1/a/b",
                   const rtl::String& method = u"GET") {
  rtl::TStringList lines;
  lines.Add(challenge);
  scheme.AnswerChallenge(Url(url), method, user, password, lines, nullptr);
  return scheme.AuthValue();
}

bool HasItem(const rtl::String& value, const char* name) {
  return A(value).find(std::string(", ") + name + "=") != std::string::npos ||
         A(value).rfind(std::string("Digest ") + name + "=", 0) == 0;
}

}  // namespace

TEST(DigestChallenge, ParseFillsEveryFieldFromItsItem) {
  TclDigestChallenge c;
  c.Parse(u"Digest realm=\"r, with comma\", domain=\"/a /b\", nonce=abc, opaque='op', stale=TRUE, "
          u"algorithm=MD5-sess, qop=\"auth,auth-int\", charset=UTF-8, username=\"bob\", uri=\"/x?y\", "
          u"cnonce=\"cn\", nc=0000001f, response=\"rr\"");
  EXPECT_EQ(A(c.Realm()), "r, with comma");
  EXPECT_EQ(A(c.Domain()), "/a /b");
  EXPECT_EQ(A(c.Nonce()), "abc");
  EXPECT_EQ(A(c.Opaque()), "op");
  EXPECT_TRUE(c.Stale());
  EXPECT_EQ(A(c.Algorithm()), "MD5-sess");
  EXPECT_EQ(A(c.QopOptions()), "auth,auth-int");
  EXPECT_EQ(A(c.CharSet()), "UTF-8");
  EXPECT_EQ(A(c.UserName()), "bob");
  EXPECT_EQ(A(c.Uri()), "/x?y");
  EXPECT_EQ(A(c.ClientNonce()), "cn");
  EXPECT_EQ(c.NonceCount(), 0x1fu);
  EXPECT_EQ(A(c.Response()), "rr");

  // Parsing again replaces everything, absent items included.
  c.Parse(u"Digest realm=x");
  EXPECT_EQ(A(c.Realm()), "x");
  EXPECT_EQ(A(c.Nonce()), "");
  EXPECT_EQ(A(c.QopOptions()), "");
  EXPECT_FALSE(c.Stale());
  EXPECT_EQ(c.NonceCount(), 0u);
}

TEST(DigestChallenge, StaleAndNonceCountValues) {
  struct Case {
    const char16_t* challenge;
    bool stale;
    uint32_t nc;
  } cases[] = {
      {u"Digest stale=true, nc=00000001", true, 1},
      {u"Digest stale=\"True\", nc=a", true, 10},
      {u"Digest stale=false, nc=FFFFFFFF", false, 0xFFFFFFFFu},
      {u"Digest stale=yes, nc=100000000", false, 0},  // beyond 32 bits
      {u"Digest stale=, nc=0x10", false, 0},
      {u"Digest nc=-1", false, 0},
      {u"Digest nc=\"\"", false, 0},
      {u"Digest", false, 0},
  };
  for (const Case& c : cases) {
    TclDigestChallenge d;
    d.Parse(c.challenge);
    EXPECT_EQ(d.Stale(), c.stale) << A(c.challenge);
    EXPECT_EQ(d.NonceCount(), c.nc) << A(c.challenge);
  }
}

TEST(DigestChallenge, BuildAuthorizationWritesItemsInOrder) {
  TclDigestChallenge c;
  c.SetUserName(u"u");
  c.SetRealm(u"\"pre-quoted\"");
  c.SetUri(u"/");
  c.SetNonce(u"n");
  c.SetResponse(u"r");
  // Without qop: no qop, algorithm, nc or cnonce; an empty opaque is still written.
  EXPECT_EQ(A(c.BuildAuthorization()),
            "Digest username=\"u\", realm=\"pre-quoted\", uri=\"/\", nonce=\"n\", opaque=\"\", response=\"r\"");
  c.SetQopOptions(u"auth");
  c.SetNonceCount(0xab);
  c.SetClientNonce(u"c");
  c.SetOpaque(u"o");
  EXPECT_EQ(A(c.BuildAuthorization()),
            "Digest username=\"u\", realm=\"pre-quoted\", qop=\"auth\", algorithm=\"\", uri=\"/\", nonce=\"n\", "
            "nc=000000AB, cnonce=\"c\", opaque=\"o\", response=\"r\"");
}

TEST(DigestAuthorization, ReproducesTheRfc2617Example) {
  TFixedNonceDigest digest(u"0a4f113b");
  rtl::String value = Answer(digest,
                             u"Digest realm=\"testrealm@host.com\", qop=\"auth,auth-int\", "
                             u"nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\", "
                             u"opaque=\"5ccc069c403ebaf9f0171e9517f40e41\"",
                             u"Mufasa", u"Circle Of Life", u"http://127.0.0.1/dir/index.html");
  EXPECT_EQ(A(value),
            "Digest username=\"Mufasa\", realm=\"testrealm@host.com\", qop=\"auth\", algorithm=\"\", "
            "uri=\"/dir/index.html\", nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\", nc=00000001, "
            "cnonce=\"0a4f113b\", opaque=\"5ccc069c403ebaf9f0171e9517f40e41\", "
            "response=\"6629fae49393a05397450978507c4ef1\"");
  EXPECT_FALSE(digest.StartNewConnection());
}

// Each case: the challenge's qop and algorithm, and what the answer must say. The expected
// response is computed here from RFC 2617's formulas with the test's own MD5 composition.
TEST(DigestAuthorization, QopAndAlgorithmVariants) {
  struct Case {
    const char* qop;        // nullptr: no qop item
    const char* algorithm;  // nullptr: no algorithm item
    const char* answeredQop;
    bool answered;
  } cases[] = {
      {"auth", nullptr, "auth", true},
      {"auth,auth-int", nullptr, "auth", true},
      {"auth-int,auth", "MD5", "auth", true},
      {"auth-int, auth", "md5", "auth", true},  // blanks after the comma
      {"AUTH", nullptr, "auth", true},
      {"auth-int", nullptr, "auth-int", true},  // kept as sent, computed without a body digest
      {"token", nullptr, "token", true},
      {nullptr, nullptr, nullptr, true},
      {nullptr, "MD5", nullptr, true},
      {"auth", "MD5-sess", "auth", true},
      {"auth", "md5-SESS", "auth", true},
      {nullptr, "MD5-sess", nullptr, true},
      {"auth", "SHA-256", nullptr, false},
      {nullptr, "SHA-512-256", nullptr, false},
      {"auth", "MD5-sess-x", nullptr, false},
  };
  const std::string user = "Jane", password = "pass word", realm = "area", nonce = "srv-nonce", cnonce = "abc123";
  for (const Case& c : cases) {
    std::string challenge = "Digest realm=\"" + realm + "\", nonce=\"" + nonce + "\"";
    if (c.qop) challenge += std::string(", qop=\"") + c.qop + "\"";
    if (c.algorithm) challenge += std::string(", algorithm=") + c.algorithm;
    SCOPED_TRACE(challenge);
    TFixedNonceDigest digest(rtl::Utf8ToString(cnonce));
    rtl::String value = Answer(digest, rtl::Utf8ToString(challenge), rtl::Utf8ToString(user),
                               rtl::Utf8ToString(password), u"http://127.0.0.1:8080/p/q?r=1", u"POST");
    if (!c.answered) {
      EXPECT_EQ(A(value), "");
      continue;
    }
    ASSERT_EQ(A(value.substr(0, 7)), "Digest ");
    TclDigestChallenge sent;
    sent.Parse(value);
    EXPECT_EQ(A(sent.UserName()), user);
    EXPECT_EQ(A(sent.Realm()), realm);
    EXPECT_EQ(A(sent.Uri()), "/p/q?r=1");
    EXPECT_EQ(A(sent.Nonce()), nonce);
    EXPECT_TRUE(HasItem(value, "opaque"));

    std::string a1 = user + ":" + realm + ":" + password;
    const std::string algorithm = c.algorithm ? c.algorithm : "";
    if (rtl::SameText(rtl::Utf8ToString(algorithm), u"md5-sess"))
      a1 = Md5(a1) + ":" + nonce + ":" + (c.qop ? cnonce : "");
    std::string middle = nonce + ":";
    if (c.qop) {
      EXPECT_EQ(A(sent.QopOptions()), c.answeredQop);
      EXPECT_EQ(A(sent.Algorithm()), algorithm);
      EXPECT_EQ(A(sent.ClientNonce()), cnonce);
      EXPECT_EQ(sent.NonceCount(), 1u);
      EXPECT_TRUE(HasItem(value, "nc"));
      middle += std::string("00000001:") + cnonce + ":" + c.answeredQop + ":";
      EXPECT_EQ(digest.Generated, 1);
    } else {
      for (const char* item : {"qop", "algorithm", "nc", "cnonce"}) EXPECT_FALSE(HasItem(value, item)) << item;
      EXPECT_EQ(digest.Generated, 0);
    }
    EXPECT_EQ(A(sent.Response()), Md5(Md5(a1) + ":" + middle + Md5("POST:/p/q?r=1")));
  }
}

TEST(DigestAuthorization, CasesWithoutAnAnswer) {
  struct Case {
    const char16_t* challenge;
    const char16_t* user;
  } cases[] = {
      {u"Digest realm=\"r\", nonce=\"n\", qop=\"auth\"", u""},  // empty user name
      {u"Basic realm=\"r\"", u"u"},                              // no Digest challenge
      {u"", u"u"},
      // A user name or a server value that would break the header line.
      {u"Digest realm=\"r\", nonce=\"n\"", u"u\r\nX-Injected: 1"},
      {u"Digest realm=\"r\", nonce=\"n\"", u"u\n"},
      {u"Digest realm=\"r\rX-Injected: 1\", nonce=\"n\"", u"u"},
  };
  for (const Case& c : cases) {
    TFixedNonceDigest digest(u"c");
    EXPECT_EQ(A(Answer(digest, c.challenge, c.user)), "") << A(c.challenge) << " / " << A(c.user);
  }
  // An empty password is a password like any other.
  TFixedNonceDigest digest(u"c");
  EXPECT_NE(A(Answer(digest, u"Digest realm=\"r\", nonce=\"n\"", u"u", u"")), "");
}

TEST(DigestAuthorization, AClientNonceFromTheServerIsNotTaken) {
  // Whatever cnonce, nc and stale the challenge carries, the answer uses a nonce of ours and 1.
  for (const char16_t* challenge :
       {u"Digest realm=\"r\", nonce=\"n\", qop=auth, cnonce=\"server-chosen\", nc=00000007",
        u"Digest realm=\"r\", nonce=\"n\", qop=auth, cnonce=\"server-chosen\", nc=00000007, stale=true"}) {
    TFixedNonceDigest digest(u"ours");
    TclDigestChallenge sent;
    sent.Parse(Answer(digest, challenge));
    EXPECT_EQ(A(sent.ClientNonce()), "ours") << A(challenge);
    EXPECT_EQ(sent.NonceCount(), 1u) << A(challenge);
  }
  // Without qop no cnonce goes out, and MD5-sess does not take the server's either.
  TFixedNonceDigest digest(u"ours");
  rtl::String value = Answer(digest, u"Digest realm=\"r\", nonce=\"n\", algorithm=MD5-sess, cnonce=\"srv\"");
  TclDigestChallenge sent;
  sent.Parse(value);
  EXPECT_FALSE(HasItem(value, "cnonce"));
  EXPECT_EQ(A(sent.Response()),
            Md5(Md5(Md5("u:r:p") + ":n:") + ":n:" + Md5("GET:/a/b")));
}

TEST(DigestAuthorization, UriIsTheEncodedRequestTarget) {
  struct Case {
    const char16_t* url;
    const char* uri;
  } cases[] = {
      {u"http://127.0.0.1", "/"},
      {u"http://127.0.0.1/dir/a b?x=1&y=%41", "/dir/a%20b?x=1&y=%41"},
      {u"https://[::1]:8443/s", "/s"},
  };
  for (const Case& c : cases) {
    TFixedNonceDigest digest(u"c");
    TclDigestChallenge sent;
    sent.Parse(Answer(digest, u"Digest realm=\"r\", nonce=\"n\"", u"u", u"p", c.url));
    EXPECT_EQ(A(sent.Uri()), c.uri) << A(c.url);
  }
}

TEST(DigestAuthorization, ClientNonceIsRandomInItsForm) {
  std::set<std::string> seen;
  for (int i = 0; i < 2000; ++i) {
    std::string nonce = A(GenerateDigestClientNonce());
    ASSERT_EQ(nonce.size(), 32u);
    ASSERT_EQ(nonce.substr(0, 2), "ab");
    ASSERT_EQ(nonce.find_first_not_of("0123456789abcdef", 2), std::string::npos) << nonce;
    seen.insert(nonce);
  }
  // 120 random bits: a repeat among 2000 means the source is not random.
  EXPECT_EQ(seen.size(), 2000u);
  // Every hexadecimal digit shows up in every position over the run, which a clock or a
  // counter in some of the digits would not give.
  for (size_t pos = 2; pos < 32; ++pos) {
    std::set<char> digits;
    for (const std::string& n : seen) digits.insert(n[pos]);
    EXPECT_EQ(digits.size(), 16u) << "position " << pos;
  }

  // The scheme itself takes a fresh one for every answer.
  TclHttpDigestAuthorization digest;
  TclDigestChallenge first, second;
  first.Parse(Answer(digest, u"Digest realm=\"r\", nonce=\"n\", qop=\"auth\""));
  second.Parse(Answer(digest, u"Digest realm=\"r\", nonce=\"n\", qop=\"auth\""));
  EXPECT_EQ(first.ClientNonce().size(), 32u);
  EXPECT_NE(A(first.ClientNonce()), A(second.ClientNonce()));
  EXPECT_NE(A(first.Response()), A(second.Response()));
}

TEST(DigestAuthorization, RegisteredBetweenBasicAndLaterSchemes) {
  auto& list = TclHttpAuthorization::RegisteredAuthorizations();
  ASSERT_GE(list.size(), 2u);
  EXPECT_NE(dynamic_cast<TclHttpBasicAuthorization*>(list[0].get()), nullptr);
  TclHttpAuthorization* registered = list[1].get();
  EXPECT_NE(dynamic_cast<TclHttpDigestAuthorization*>(registered), nullptr);

  TclUrlParser url = Url(u"http://127.0.0.1/x");
  struct Case {
    std::initializer_list<const char16_t*> challenges;
    const char16_t* user;
    const char* prefix;  // "" for no answer
  } cases[] = {
      {{u"Basic realm=\"r\"", u"Digest realm=\"r\", nonce=\"n\", qop=\"auth\""}, u"u", "Digest "},
      {{u"Digest realm=\"r\", nonce=\"n\", algorithm=SHA-256", u"Basic realm=\"r\""}, u"u", "Basic "},
      {{u"Digest realm=\"r\", nonce=\"n\"", u"Basic realm=\"r\""}, u"", "Basic "},  // password alone
      {{u"Digest realm=\"r\", nonce=\"n\", algorithm=SHA-256"}, u"u", ""},
  };
  for (const Case& c : cases) {
    TclHttpAuthorization* a =
        TclHttpAuthorization::Authorize(url, u"GET", c.user, u"p", Lines(c.challenges), nullptr);
    if (*c.prefix == 0) {
      EXPECT_EQ(a, nullptr);
      continue;
    }
    ASSERT_NE(a, nullptr) << c.prefix;
    EXPECT_EQ(A(a->AuthValue()).rfind(c.prefix, 0), 0u) << A(a->AuthValue());
    EXPECT_EQ(a == registered, std::string(c.prefix) == "Digest ");
  }
}

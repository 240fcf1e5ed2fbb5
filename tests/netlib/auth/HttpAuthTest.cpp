// The scheme registry and its walk, FindChallenge and the Basic scheme.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../http/HttpTestLines.h"
#include "netlib/auth/clEncoder.h"
#include "netlib/auth/clHttpAuth.h"

using namespace netlib;
using httptest::Url;
using httptest::Lines;
using httptest::A;

namespace {

TclHttpBasicAuthorization* RegisteredBasic() {
  for (auto& a : TclHttpAuthorization::RegisteredAuthorizations())
    if (auto* basic = dynamic_cast<TclHttpBasicAuthorization*>(a.get())) return basic;
  return nullptr;
}

// A scheme of the tests: answers "<name> ok" to a challenge that names it, records every call.
class TFakeScheme : public TclHttpAuthorization {
 public:
  TFakeScheme(rtl::String AName, std::vector<rtl::String>* ACalls, bool AThrows = false)
      : FName(std::move(AName)), FCalls(ACalls), FThrows(AThrows) {}
  void AnswerChallenge(const TclUrlParser& AUrl, const rtl::String& AMethod, const rtl::String& AUserName,
                       const rtl::String& APassword, const rtl::TStringList& AuthChallenge,
                       TclAuthContext AContext) override {
    FCalls->push_back(FName);
    LastContext = AContext;
    LastMethod = AMethod;
    if (FThrows) throw rtl::Exception(u"scheme failed");
    FAuthValue = FindChallenge(AuthChallenge, FName).empty() ? rtl::String() : FName + u" ok";
  }
  TclAuthContext LastContext = nullptr;
  rtl::String LastMethod;

 private:
  rtl::String FName;
  std::vector<rtl::String>* FCalls;
  bool FThrows;
};

// Registers fake schemes for one test and takes them out of the process-wide registry again.
class RegistryTest : public ::testing::Test {
 protected:
  TFakeScheme* Register(const rtl::String& name, bool throws = false) {
    auto scheme = std::make_unique<TFakeScheme>(name, &calls, throws);
    TFakeScheme* raw = scheme.get();
    TclHttpAuthorization::RegisterAuthorization(std::move(scheme));
    added.push_back(raw);
    return raw;
  }
  void TearDown() override {
    auto& list = TclHttpAuthorization::RegisteredAuthorizations();
    std::erase_if(list, [this](const auto& a) {
      return std::find(added.begin(), added.end(), a.get()) != added.end();
    });
  }
  std::vector<rtl::String> calls;
  std::vector<TclHttpAuthorization*> added;
};

}  // namespace

// A challenge is found by its scheme token, never by a name inside another challenge.
TEST(FindChallenge, MatchesTheSchemeTokenOfEachChallenge) {
  struct Case {
    std::initializer_list<const char16_t*> lines;
    const char16_t* scheme;
    const char16_t* found;
  } cases[] = {
      {{u"Basic realm=\"x\""}, u"basic", u"Basic realm=\"x\""},
      {{u"NTLM", u"BASIC realm=a"}, u"basic", u"BASIC realm=a"},
      {{u"Digest realm=a", u"Basic realm=b"}, u"Basic", u"Basic realm=b"},
      {{u"Negotiate", u"NTLM"}, u"basic", u""},
      {{}, u"basic", u""},
      {{u"", u"  basic  "}, u"BaSiC", u"basic"},
      // the name inside parameters, or as part of a longer token
      {{u"Digest realm=\"basic\", nonce=\"n\""}, u"basic", u""},
      {{u"Digest realm=basic, nonce = basic"}, u"basic", u""},
      {{u"Basicx realm=a", u"X-Basic realm=a", u"Basic=1"}, u"basic", u""},
      {{u"Basic realm=\"NTLM\"", u"NTLMSSP"}, u"NTLM", u""},
      {{u"Digest realm=\"a\\\", Basic b\", nonce=1"}, u"basic", u""},
      // several challenges in one value: only the matching one, with its parameters
      {{u"Digest realm=\"a, Basic b\", nonce=1, Basic realm=\"c\", charset=x"}, u"basic",
       u"Basic realm=\"c\", charset=x"},
      {{u"Basic realm=\"c\", Digest realm=\"d\", nonce=\"n\""}, u"digest", u"Digest realm=\"d\", nonce=\"n\""},
      {{u"Negotiate abc==, NTLM"}, u"negotiate", u"Negotiate abc=="},
      {{u"Negotiate abc== ,NTLM  "}, u"NTLM", u"NTLM"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(A(c.found));
    EXPECT_EQ(A(FindChallenge(Lines(c.lines), c.scheme)), A(c.found));
  }
}

TEST(BasicAuthorization, BuildsTheCredentialsValue) {
  struct Case {
    const char16_t* user;
    const char16_t* password;
    const char* value;
  } cases[] = {
      {u"Aladdin", u"open sesame", "Basic QWxhZGRpbjpvcGVuIHNlc2FtZQ=="},
      {u"", u"secret", "Basic c2VjcmV0"},    // no colon without a user name
      {u"bob", u"", "Basic Ym9iOg=="},       // "bob:"
      {u"", u"", ""},                        // nothing to send
      {u"jos\u00e9", u"\u20ac", "Basic am9z6TqA"},  // default code page: 0xE9, 0x80
      {u"\u0416", u"x", "Basic Pzp4"},       // outside the code page: "?"
      {u"a:b", u"c", "Basic YTpiOmM="},
  };
  TclUrlParser url = Url(u"http://127.0.0.1/x");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    TclHttpBasicAuthorization basic;
    basic.AnswerChallenge(url, u"GET", c.user, c.password, Lines({u"Basic realm=\"r\""}), nullptr);
    EXPECT_EQ(A(basic.AuthValue()), c.value);
    EXPECT_TRUE(basic.StartNewConnection());
  }
}

TEST(BasicAuthorization, AnswersOnlyWhenSomeLineNamesBasic) {
  TclUrlParser url = Url(u"http://127.0.0.1/x");
  TclHttpBasicAuthorization basic;
  basic.AnswerChallenge(url, u"GET", u"u", u"p", Lines({u"Digest realm=a", u"NTLM"}), nullptr);
  EXPECT_EQ(basic.AuthValue(), u"");
  EXPECT_FALSE(basic.StartNewConnection());

  // A Digest challenge whose realm is the word basic is not Basic's.
  basic.AnswerChallenge(url, u"GET", u"u", u"p", Lines({u"Digest realm=\"basic\", nonce=\"1\""}), nullptr);
  EXPECT_EQ(basic.AuthValue(), u"");
  basic.AnswerChallenge(url, u"GET", u"u", u"p", Lines({u"Digest realm=\"x\", Basic realm=\"y\""}), nullptr);
  EXPECT_EQ(A(basic.AuthValue()), "Basic dTpw");

  // A later call without a match clears the value again; the connection flag stays.
  basic.AnswerChallenge(url, u"GET", u"u", u"p", Lines({}), nullptr);
  EXPECT_EQ(basic.AuthValue(), u"");
  EXPECT_TRUE(basic.StartNewConnection());
}

TEST(BasicAuthorization, ValueDecodesBackToTheCredentials) {
  TclHttpBasicAuthorization basic;
  basic.AnswerChallenge(Url(u"http://localhost/"), u"GET", u"user name", u"p:a:s:s", Lines({u"basic"}), nullptr);
  ASSERT_EQ(A(basic.AuthValue().substr(0, 6)), "Basic ");
  rtl::Bytes raw = TclEncoder::DecodeBase64(basic.AuthValue().substr(6));
  EXPECT_EQ(std::string(raw.begin(), raw.end()), "user name:p:a:s:s");
}

TEST_F(RegistryTest, StartsWithBasicAndAnswersBasicChallenges) {
  auto& list = TclHttpAuthorization::RegisteredAuthorizations();
  ASSERT_FALSE(list.empty());
  EXPECT_NE(dynamic_cast<TclHttpBasicAuthorization*>(list[0].get()), nullptr);
  EXPECT_EQ(&list, &TclHttpAuthorization::RegisteredAuthorizations());

  TclUrlParser url = Url(u"http://127.0.0.1/x");
  TclHttpAuthorization* a =
      TclHttpAuthorization::Authorize(url, u"GET", u"u", u"p", Lines({u"Basic realm=x"}), nullptr);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a, RegisteredBasic());
  EXPECT_EQ(A(a->AuthValue()), "Basic dTpw");
  EXPECT_TRUE(a->StartNewConnection());
}

TEST_F(RegistryTest, NoAnswerGivesNone) {
  TclUrlParser url = Url(u"http://127.0.0.1/x");
  EXPECT_EQ(TclHttpAuthorization::Authorize(url, u"GET", u"u", u"p", Lines({}), nullptr), nullptr);
  EXPECT_EQ(TclHttpAuthorization::Authorize(url, u"GET", u"u", u"p", Lines({u"Bearer x"}), nullptr), nullptr);
  // Basic with empty credentials yields no value, so the walk falls through to none.
  EXPECT_EQ(TclHttpAuthorization::Authorize(url, u"GET", u"", u"", Lines({u"Basic realm=x"}), nullptr), nullptr);
}

TEST_F(RegistryTest, WalksFromTheLastRegisteredToTheFirst) {
  Register(u"first-fake");
  TFakeScheme* second = Register(u"second-fake");
  TclUrlParser url = Url(u"http://127.0.0.1/x");
  int context = 0;
  EXPECT_EQ(TclHttpAuthorization::Authorize(url, u"POST", u"u", u"p", Lines({u"Bearer"}), &context), nullptr);
  ASSERT_GE(calls.size(), 2u);
  EXPECT_EQ(A(calls[0]), "second-fake");
  EXPECT_EQ(A(calls[1]), "first-fake");
  EXPECT_EQ(second->LastContext, &context);
  EXPECT_EQ(A(second->LastMethod), "POST");

  // Both offered: the later registration wins and the earlier one is not asked.
  calls.clear();
  TclHttpAuthorization* a =
      TclHttpAuthorization::Authorize(url, u"GET", u"u", u"p", Lines({u"first-fake", u"second-fake"}), nullptr);
  EXPECT_EQ(a, second);
  ASSERT_EQ(calls.size(), 1u);
}

TEST_F(RegistryTest, APreferredSchemeKeepsBasicFromBeingAsked) {
  TclUrlParser url = Url(u"http://127.0.0.1/x");
  TclHttpBasicAuthorization* basic = RegisteredBasic();
  ASSERT_NE(basic, nullptr);
  basic->AnswerChallenge(url, u"GET", u"u", u"p", Lines({}), nullptr);  // leaves Basic's value empty
  TFakeScheme* negotiate = Register(u"negotiate");
  TclHttpAuthorization* a =
      TclHttpAuthorization::Authorize(url, u"GET", u"u", u"p", Lines({u"Negotiate", u"Basic realm=x"}), nullptr);
  EXPECT_EQ(a, negotiate);
  EXPECT_EQ(A(a->AuthValue()), "negotiate ok");
  // Basic would have answered this challenge; its value stayed empty, so it was never called.
  EXPECT_EQ(basic->AuthValue(), u"");

  // Without the preferred scheme's challenge, Basic answers.
  a = TclHttpAuthorization::Authorize(url, u"GET", u"u", u"p", Lines({u"Basic realm=x"}), nullptr);
  EXPECT_EQ(a, basic);
}

TEST_F(RegistryTest, ErrorsOfASchemePropagate) {
  Register(u"broken", true);
  TclUrlParser url = Url(u"http://127.0.0.1/x");
  EXPECT_THROW(TclHttpAuthorization::Authorize(url, u"GET", u"u", u"p", Lines({u"Basic"}), nullptr),
               rtl::Exception);
}

TEST_F(RegistryTest, RegisteringNothingIsIgnored) {
  size_t before = TclHttpAuthorization::RegisteredAuthorizations().size();
  TclHttpAuthorization::RegisterAuthorization(nullptr);
  EXPECT_EQ(TclHttpAuthorization::RegisteredAuthorizations().size(), before);
}

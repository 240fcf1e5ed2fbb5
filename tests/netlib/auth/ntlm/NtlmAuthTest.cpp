#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "../../http/HttpTestLines.h"
#include "SspiTestUtil.h"
#include "netlib/auth/clEncoder.h"
#include "netlib/auth/clHttpAuth.h"
#include "netlib/auth/clSspi.h"
#include "netlib/auth/clSspiAuth.h"
#include "tests/PosixCompat.h"

using namespace netlib;
using httptest::Url;
using httptest::Lines;
using namespace sspitest;

namespace {

// The token after "<scheme> " in a header value.
Bytes TokenOf(const rtl::String& value, const rtl::String& scheme) {
  EXPECT_EQ(value.substr(0, scheme.size() + 1), scheme + u" ");
  return TclEncoder::DecodeBase64(value.substr(std::min(value.size(), scheme.size() + 1)));
}

rtl::String B64(const Bytes& b) { return TclEncoder::EncodeBase64(b.data(), b.size()); }

const NtlmChallenge8 kServerChallenge = {9, 8, 7, 6, 5, 4, 3, 2};

// The server's answer to ANegotiate (an NTLM NEGOTIATE message).
Bytes Challenge(const Bytes& ANegotiate = BuildNtlmNegotiate()) {
  return BuildNtlmChallenge(GrantedFlags(ANegotiate), kServerChallenge, Utf16LE(u"DOM"),
                            BuildAvPairs({{MsvAvNbDomainName, Utf16LE(u"DOM")}, {MsvAvTimestamp, Bytes(8, 1)}}));
}

TEST(SspiError, MessagesByCode) {
  const struct {
    int32_t code;
    const char16_t* text;
  } cases[] = {
      {-1, u"Could not load the dll (schannel.dll, security.dll or secur32.dll)"},
      {-2, u"Could not get security initialization routine"},
      {-3, u"Could not initialize the security package"},
      {20, u"Out of memory"},
      {static_cast<int32_t>(0x80090308u), u"The token supplied to the function is invalid"},
      {static_cast<int32_t>(0x8009030Eu), u"No credentials are available in the security package"},
      {static_cast<int32_t>(0x80090316u), u"The requested security package does not exist"},
      {static_cast<int32_t>(0x80090320u), u"The unknown error was occured: 80090320"},
      {0x1234, u"The unknown error was occured: 1234"},
  };
  for (const auto& c : cases) {
    const EclSSPIError e(c.code);
    EXPECT_EQ(e.ErrorCode(), c.code);
    EXPECT_EQ(e.Message(), c.text);
    EXPECT_STREQ(e.ClassName(), "EclSSPIError");
  }
}

TEST(AuthIdentity, DomainSplitAndUtf16Record) {
  const struct {
    const char16_t *in, *domain, *user;
  } cases[] = {
      {u"DOMAIN\\user", u"DOMAIN", u"user"}, {u"DOMAIN/user", u"DOMAIN", u"user"}, {u"user", u"", u"user"},
      {u"a\\b/c", u"a", u"b/c"},             {u"a/b\\c", u"a/b", u"c"},           {u"\\user", u"", u"user"},
  };
  for (const auto& c : cases) {
    TclAuthIdentity id(c.in, u"pw");
    EXPECT_EQ(id.Domain(), c.domain) << rtl::U8(c.in);
    EXPECT_EQ(id.User(), c.user) << rtl::U8(c.in);
  }
  TclAuthIdentity id(u"Домен\\Иван", u"密码");
  const auto* rec = id.Identity();
  EXPECT_EQ(rec->Flags, SEC_WINNT_AUTH_IDENTITY_UNICODE);
  ASSERT_EQ(rec->UserLength, 4u);
  EXPECT_EQ(std::u16string(static_cast<const char16_t*>(rec->User), rec->UserLength), u"Иван");
  EXPECT_EQ(std::u16string(static_cast<const char16_t*>(rec->Domain), rec->DomainLength), u"Домен");
  EXPECT_EQ(std::u16string(static_cast<const char16_t*>(rec->Password), rec->PasswordLength), u"密码");
  TclAuthIdentity plain(u"user", u"");
  EXPECT_EQ(plain.Identity()->Domain, nullptr);
  EXPECT_EQ(plain.Identity()->Password, nullptr);
}

TEST(NtAuthClient, GenChallengeReadsFromThePositionAndWritesAtZero) {
  TclNtAuthClientSspi session;
  rtl::TMemoryStream buffer;
  TclAuthIdentity id(u"D\\u", u"p");
  EXPECT_FALSE(session.GenChallenge(u"NTLM", buffer, u"HTTP/h", &id));
  EXPECT_EQ(buffer.Position(), 0);
  Bytes negotiate(static_cast<size_t>(buffer.Size()));
  buffer.ReadBuffer(negotiate.data(), buffer.Size());
  EXPECT_EQ(NtlmTypeOf(negotiate), 1);
  // Junk ahead of the position is not part of the server's token.
  const Bytes challenge = Challenge(negotiate);
  buffer.SetSize(0);
  buffer.WriteBuffer("junk", 4);
  buffer.WriteBuffer(challenge.data(), static_cast<int64_t>(challenge.size()));
  buffer.SetPosition(4);
  EXPECT_TRUE(session.GenChallenge(u"NTLM", buffer, u"HTTP/h", &id));
  EXPECT_EQ(buffer.Position(), 0);
  Bytes auth(static_cast<size_t>(buffer.Size()));
  buffer.ReadBuffer(auth.data(), buffer.Size());
  const auto f = ParseNtlmAuthenticate(auth.data(), auth.size());
  ASSERT_TRUE(f);
  EXPECT_TRUE(ServerAccepts(*f, kServerChallenge, u"u", u"D", u"p"));
#ifndef _WIN32
  // Our provider names the service; secur32 under Wine leaves it to Samba, which does not.
  EXPECT_EQ(TargetNameOf(*f), u"HTTP/h");
#endif
  // A hostile token is the provider's "invalid token".
  rtl::TMemoryStream bad;
  bad.WriteBuffer("NTLMSSP\0\2\0\0\0", 12);
  bad.SetPosition(0);
  TclNtAuthClientSspi fresh;
  rtl::TMemoryStream empty;
  fresh.GenChallenge(u"NTLM", empty, u"HTTP/h", &id);
  try {
    fresh.GenChallenge(u"NTLM", bad, u"HTTP/h", &id);
    ADD_FAILURE() << "no error";
  } catch (const EclSSPIError& e) {
    EXPECT_EQ(static_cast<uint32_t>(e.ErrorCode()), 0x80090308u);
  }
}

class NtlmScheme : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* old = std::getenv("NTLM_USER_FILE")) saved = old, hadOld = true;
    ::unsetenv("NTLM_USER_FILE");
  }
  void TearDown() override {
    if (hadOld) ::setenv("NTLM_USER_FILE", saved.c_str(), 1);
    else ::unsetenv("NTLM_USER_FILE");
  }
  void Answer(std::initializer_list<const char16_t*> lines, const rtl::String& user = u"DOMAIN\\user",
              const rtl::String& password = u"secret", TclAuthContext ctx = nullptr) {
    scheme.AnswerChallenge(url, u"GET", user, password, Lines(lines), ctx ? ctx : this);
  }
  TclHttpNtlmAuthorization scheme;
  TclUrlParser url = Url(u"http://intranet.example:8080/doc");
  std::string saved;
  bool hadOld = false;
};

TEST_F(NtlmScheme, NegotiateIsPreferredOverNtlm) {
  Answer({u"NTLM", u"Negotiate", u"Basic realm=\"x\""});
  EXPECT_EQ(scheme.AuthValue().substr(0, 10), u"Negotiate ");
  EXPECT_EQ(NtlmTypeOf(NtlmOf(TokenOf(scheme.AuthValue(), u"Negotiate"))), 1);
  scheme.CloseSessions();
  Answer({u"Basic realm=\"x\"", u"NTLM"});
  EXPECT_EQ(NtlmTypeOf(TokenOf(scheme.AuthValue(), u"NTLM")), 1);
  scheme.CloseSessions();
  Answer({u"Basic realm=\"x\""});
  EXPECT_EQ(scheme.AuthValue(), u"");
  EXPECT_FALSE(scheme.HasSession(this));
}

struct Handshake {
  const char16_t* scheme;
  const char16_t* user;
  const char16_t* password;
  const char16_t* expectUser;
  const char16_t* expectDomain;
};

TEST_F(NtlmScheme, FullExchangeDropsTheSessionAndNamesTheService) {
  const Handshake cases[] = {
      {u"NTLM", u"DOMAIN\\user", u"secret", u"user", u"DOMAIN"},
      {u"NTLM", u"DOMAIN/user", u"secret", u"user", u"DOMAIN"},
      {u"NTLM", u"plain", u"secret", u"plain", u""},
      {u"NTLM", u"Домен\\Иван", u"пароль密码✓", u"Иван", u"Домен"},
      {u"Negotiate", u"DOMAIN\\user", u"secret", u"user", u"DOMAIN"},
      {u"Negotiate", u"Ελένη", u"κωδικός", u"Ελένη", u""},
  };
  for (const Handshake& c : cases) {
    SCOPED_TRACE(rtl::U8(c.user));
    const rtl::String schemeName = c.scheme;
    Answer({c.scheme}, c.user, c.password);
    EXPECT_TRUE(scheme.StartNewConnection());
    EXPECT_TRUE(scheme.HasSession(this));
    ASSERT_FALSE(scheme.AuthValue().empty());
    bool wrapped = false;
    Bytes serverToken = Challenge(NtlmOf(TokenOf(scheme.AuthValue(), schemeName), &wrapped));
    if (schemeName == u"Negotiate" && wrapped) {
      SpnegoResp r;
      r.NegState = SpnegoNegState::AcceptIncomplete;
      r.SupportedMech = kNtlmMechOid;
      r.ResponseToken = serverToken;
      serverToken = BuildSpnegoResp(r);
    }
    const rtl::String line = u"  " + schemeName + u" " + B64(serverToken) + u"  ";
    scheme.AnswerChallenge(url, u"GET", c.user, c.password, Lines({line.c_str()}), this);
    EXPECT_FALSE(scheme.StartNewConnection());
    EXPECT_FALSE(scheme.HasSession(this));
    Bytes auth = TokenOf(scheme.AuthValue(), schemeName);
    if (schemeName == u"Negotiate") auth = NtlmOf(auth);
    const auto f = ParseNtlmAuthenticate(auth.data(), auth.size());
    ASSERT_TRUE(f);
    EXPECT_EQ(f->User, Utf16LE(c.expectUser));
    EXPECT_TRUE(ServerAccepts(*f, kServerChallenge, c.expectUser, c.expectDomain, c.password));
#ifndef _WIN32
    EXPECT_EQ(TargetNameOf(*f), u"HTTP/intranet.example");
#endif
  }
}

TEST_F(NtlmScheme, LineNotStartingWithTheSchemeDropsTheSession) {
  Answer({u"NTLM"});
  ASSERT_TRUE(scheme.HasSession(this));
  Answer({u"Basic realm=\"NTLM\""});
  EXPECT_EQ(scheme.AuthValue(), u"");
  EXPECT_FALSE(scheme.HasSession(this));
  Answer({u"NTLM"});
  Answer({u"NTLMSSP"});  // another word that merely starts with the name
  EXPECT_EQ(scheme.AuthValue(), u"");
  EXPECT_FALSE(scheme.HasSession(this));
}

TEST_F(NtlmScheme, SessionsAreKeptPerCaller) {
  int a = 0, b = 0;
  Answer({u"NTLM"}, u"u", u"p", &a);
  const Bytes negotiate = TokenOf(scheme.AuthValue(), u"NTLM");
  Answer({u"NTLM"}, u"u", u"p", &b);
  const rtl::String line = u"NTLM " + B64(Challenge(negotiate));
  scheme.AnswerChallenge(url, u"GET", u"u", u"p", Lines({line.c_str()}), &a);
  EXPECT_FALSE(scheme.HasSession(&a));
  EXPECT_TRUE(scheme.HasSession(&b));
  scheme.CloseSessions();
  EXPECT_FALSE(scheme.HasSession(&b));
}

TEST_F(NtlmScheme, BadServerTokensRaiseAndKeepTheSession) {
  Answer({u"NTLM"});
  EXPECT_THROW(Answer({u"NTLM !!notbase64!!"}), EclEncoderError);
  EXPECT_TRUE(scheme.HasSession(this));
  EXPECT_EQ(scheme.AuthValue(), u"");
  try {
    Answer({u"NTLM AAAAAAAAAAAA"});
    ADD_FAILURE() << "no error";
  } catch (const EclSSPIError& e) {
    EXPECT_EQ(static_cast<uint32_t>(e.ErrorCode()), 0x80090308u);
    EXPECT_EQ(e.Message(), u"The token supplied to the function is invalid");
  }
  EXPECT_TRUE(scheme.HasSession(this));
  // A token for a caller with no exchange under way has no context to continue.
  int other = 0;
  EXPECT_THROW(Answer({(u"NTLM " + B64(Challenge())).c_str()}, u"u", u"p", &other), EclSSPIError);
}

TEST_F(NtlmScheme, WithoutUserNameTheUserFileOrNoCredentials) {
  try {
    Answer({u"NTLM"}, u"", u"");
    ADD_FAILURE() << "no error";
  } catch (const EclSSPIError& e) {
    EXPECT_EQ(static_cast<uint32_t>(e.ErrorCode()), 0x8009030Eu);
    EXPECT_EQ(e.Message(), u"No credentials are available in the security package");
  }
  const std::filesystem::path file =
      std::filesystem::temp_directory_path() / ("ntlm-scheme-" + std::to_string(::getpid()));
  std::ofstream(file) << "FILEDOM:fileuser:filepass\n";
  ::setenv("NTLM_USER_FILE", file.string().c_str(), 1);
  scheme.CloseSessions();
  Answer({u"NTLM"}, u"", u"");
  const rtl::String line = u"NTLM " + B64(Challenge(TokenOf(scheme.AuthValue(), u"NTLM")));
  Answer({line.c_str()}, u"", u"");
  std::filesystem::remove(file);
  const Bytes auth = TokenOf(scheme.AuthValue(), u"NTLM");
  const auto f = ParseNtlmAuthenticate(auth.data(), auth.size());
  ASSERT_TRUE(f);
  EXPECT_EQ(f->User, Utf16LE(u"fileuser"));
  EXPECT_EQ(ServerProof(*f, kServerChallenge, u"fileuser", u"FILEDOM", u"filepass"),
            ToHex(f->NtChallengeResponse.data(), 16));
}

TEST(NtlmRegistry, RegisteredAndChosenOverBasic) {
  bool found = false;
  for (const auto& a : TclHttpAuthorization::RegisteredAuthorizations())
    found = found || dynamic_cast<TclHttpNtlmAuthorization*>(a.get()) != nullptr;
  EXPECT_TRUE(found);
  EXPECT_NE(dynamic_cast<TclHttpNtlmAuthorization*>(TclHttpAuthorization::RegisteredAuthorizations().back().get()),
            nullptr);
  const TclUrlParser url = Url(u"http://127.0.0.1/");
  int ctx = 0;
  TclHttpAuthorization* chosen = TclHttpAuthorization::Authorize(
      url, u"GET", u"u", u"p", Lines({u"Basic realm=\"r\"", u"Negotiate"}), &ctx);
  ASSERT_NE(chosen, nullptr);
  EXPECT_EQ(chosen->AuthValue().substr(0, 10), u"Negotiate ");
  EXPECT_TRUE(chosen->StartNewConnection());
  static_cast<TclHttpNtlmAuthorization*>(chosen)->CloseSessions();
}

}  // namespace

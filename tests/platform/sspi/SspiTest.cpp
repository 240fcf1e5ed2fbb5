#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "SspiTestUtil.h"

using namespace sspitest;

namespace {

const NtlmChallenge8 kServerChallenge = {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef};
const NtlmChallenge8 kClientChallenge = {0xaa, 0xaa, 0xaa, 0xaa, 0xaa, 0xaa, 0xaa, 0xaa};

Bytes DomainServerTargetInfo() {
  return BuildAvPairs({{MsvAvNbDomainName, Utf16LE(u"Domain")}, {MsvAvNbComputerName, Utf16LE(u"Server")}});
}

TEST(NtlmV2Example, MatchesThePublishedValues) {
  EXPECT_EQ(ToHex(NtOwfV1(u"Password")), "a4f49c406510bdcab6824ee7c30fd852");
  const rtl::TDigest16 v2 = NtOwfV2(u"User", u"Password", u"Domain");
  EXPECT_EQ(ToHex(v2), "0c868a403bfd7a93a3001ef22ef02e3f");
  const NtlmV2Response r = ComputeNtlmV2Response(v2, kServerChallenge, kClientChallenge, 0, DomainServerTargetInfo());
  EXPECT_EQ(ToHex(r.LmChallengeResponse), "86c35097ac9cec102554764a57cccc19aaaaaaaaaaaaaaaa");
  EXPECT_EQ(ToHex(r.NtProofStr), "68cd0ab851e51c96aabc927bebef6a1c");
  EXPECT_EQ(ToHex(r.SessionBaseKey), "8de40ccadbc14a82f15cb0ad0de95ca3");
  // The NT response is the proof followed by the blob that carries the target information.
  ASSERT_EQ(r.NtChallengeResponse.size(), 16u + 28u + DomainServerTargetInfo().size() + 4u);
  EXPECT_EQ(ToHex(r.NtChallengeResponse.data(), 16), ToHex(r.NtProofStr));
}

TEST(NtlmV2Example, UserNameIsUpperCasedButDomainIsNot) {
  EXPECT_EQ(ToHex(NtOwfV2(u"user", u"Password", u"Domain")), ToHex(NtOwfV2(u"USER", u"Password", u"Domain")));
  EXPECT_NE(ToHex(NtOwfV2(u"User", u"Password", u"domain")), ToHex(NtOwfV2(u"User", u"Password", u"Domain")));
  EXPECT_EQ(ToHex(NtOwfV2(u"пользователь", u"p", u"D")), ToHex(NtOwfV2(u"ПОЛЬЗОВАТЕЛЬ", u"p", u"D")));
}

class Provider : public ::testing::Test {
 protected:
  void Acquire(const char* package, const Identity* id) {
    SEC_WINNT_AUTH_IDENTITY rec{};
    if (id) rec = id->Record();
    ASSERT_EQ(T().AcquireCredentialsHandleA(nullptr, package, SECPKG_CRED_OUTBOUND, nullptr, id ? &rec : nullptr,
                                            nullptr, nullptr, &cred, nullptr),
              SEC_E_OK);
    haveCred = true;
  }
  void TearDown() override {
    if (haveCtx) T().DeleteSecurityContext(&ctx);
    if (haveCred) T().FreeCredentialsHandle(&cred);
  }
  // First leg; returns the NEGOTIATE message (unwrapped for Negotiate).
  Bytes First() {
    Bytes out;
    EXPECT_EQ(Leg(cred, nullptr, nullptr, ctx, out), SEC_I_CONTINUE_NEEDED);
    haveCtx = true;
    return out;
  }
  CredHandle cred{};
  CtxtHandle ctx{};
  bool haveCred = false, haveCtx = false;
};

Bytes ChallengeWithTime(uint64_t time) {
  Bytes t(8);
  for (int i = 0; i < 8; ++i) t[i] = static_cast<uint8_t>(time >> (8 * i));
  return BuildNtlmChallenge(
      NTLMSSP_NEGOTIATE_UNICODE | NTLMSSP_NEGOTIATE_NTLM | NTLMSSP_NEGOTIATE_EXTENDED_SESSIONSECURITY,
      kServerChallenge, Utf16LE(u"Domain"),
      BuildAvPairs({{MsvAvNbDomainName, Utf16LE(u"Domain")}, {MsvAvNbComputerName, Utf16LE(u"Server")},
                    {MsvAvTimestamp, t}}));
}

TEST_F(Provider, NtlmHandshakeWithAnIdentityOutsideLatin1) {
  const Identity id{u"Пользователь", u"Домен", u"пароль✓密码"};
  Acquire("NTLM", &id);
  const Bytes negotiate = First();
  ASSERT_GE(negotiate.size(), 32u);
  EXPECT_EQ(std::string(negotiate.begin(), negotiate.begin() + 8), std::string("NTLMSSP\0", 8));
  EXPECT_EQ(negotiate[8], 1);

  const uint64_t serverTime = 0x01d9aabbccddeeffULL;
  Bytes auth;
  const Bytes challenge = ChallengeWithTime(serverTime);
  ASSERT_EQ(Leg(cred, &ctx, &challenge, ctx, auth), SEC_E_OK);
  const auto f = ParseNtlmAuthenticate(auth.data(), auth.size());
  ASSERT_TRUE(f);
  EXPECT_EQ(f->User, Utf16LE(id.User));
  EXPECT_EQ(f->Domain, Utf16LE(id.Domain));
  EXPECT_TRUE(f->Flags & NTLMSSP_NEGOTIATE_UNICODE);
  // The server's time stamp is echoed, and the LMv2 response is then zeros.
  ASSERT_GE(f->NtChallengeResponse.size(), 32u);
  uint64_t echoed = 0;
  for (int i = 0; i < 8; ++i) echoed |= static_cast<uint64_t>(f->NtChallengeResponse[24 + i]) << (8 * i);
  EXPECT_EQ(echoed, serverTime);
  EXPECT_EQ(f->LmChallengeResponse, Bytes(24, 0));
  EXPECT_EQ(TargetNameOf(*f), u"HTTP/localhost");
  const std::string proof = ToHex(f->NtChallengeResponse.data(), 16);
  EXPECT_EQ(ServerProof(*f, kServerChallenge, id.User, id.Domain, id.Password), proof);
  EXPECT_NE(ServerProof(*f, kServerChallenge, id.User, id.Domain, u"пароль"), proof);
  // A finished context takes no further token.
  Bytes again;
  EXPECT_EQ(Leg(cred, &ctx, &auth, ctx, again), SEC_E_OUT_OF_SEQUENCE);
}

TEST_F(Provider, AnsiIdentityIsReadAsUtf8) {
  const std::string user = "Jörg", pass = "pä:ss";
  SEC_WINNT_AUTH_IDENTITY rec{user.c_str(), static_cast<uint32_t>(user.size()), nullptr, 0, pass.c_str(),
                              static_cast<uint32_t>(pass.size()), SEC_WINNT_AUTH_IDENTITY_ANSI};
  ASSERT_EQ(T().AcquireCredentialsHandleA(nullptr, "ntlm", SECPKG_CRED_OUTBOUND, nullptr, &rec, nullptr, nullptr,
                                          &cred, nullptr),
            SEC_E_OK);
  haveCred = true;
  First();
  Bytes auth;
  const Bytes challenge = ChallengeWithTime(1);
  ASSERT_EQ(Leg(cred, &ctx, &challenge, ctx, auth), SEC_E_OK);
  const auto f = ParseNtlmAuthenticate(auth.data(), auth.size());
  ASSERT_TRUE(f);
  EXPECT_EQ(f->User, Utf16LE(u"Jörg"));
  EXPECT_EQ(ServerProof(*f, kServerChallenge, u"Jörg", u"", u"pä:ss"), ToHex(f->NtChallengeResponse.data(), 16));
}

TEST_F(Provider, NegotiateCarriesTheNtlmMessagesInSpnego) {
  const Identity id{u"User", u"Domain", u"Password"};
  Acquire("Negotiate", &id);
  const Bytes init = First();
  const auto parsed = ParseSpnegoInit(init.data(), init.size());
  ASSERT_TRUE(parsed);
  ASSERT_EQ(parsed->MechTypes.size(), 1u);
  EXPECT_EQ(parsed->MechTypes[0], kNtlmMechOid);
  ASSERT_TRUE(parsed->MechToken);
  EXPECT_EQ(*parsed->MechToken, BuildNtlmNegotiate());

  SpnegoResp resp;
  resp.NegState = SpnegoNegState::AcceptIncomplete;
  resp.SupportedMech = kNtlmMechOid;
  resp.ResponseToken = ChallengeWithTime(7);
  const Bytes serverToken = BuildSpnegoResp(resp);
  Bytes out;
  ASSERT_EQ(Leg(cred, &ctx, &serverToken, ctx, out), SEC_E_OK);
  const auto mine = ParseSpnegoResp(out.data(), out.size());
  ASSERT_TRUE(mine);
  ASSERT_TRUE(mine->ResponseToken);
  const auto f = ParseNtlmAuthenticate(mine->ResponseToken->data(), mine->ResponseToken->size());
  ASSERT_TRUE(f);
  EXPECT_EQ(ServerProof(*f, kServerChallenge, id.User, id.Domain, id.Password),
            ToHex(f->NtChallengeResponse.data(), 16));
}

struct NegotiateRefusal {
  const char* name;
  SpnegoNegState state;
  Bytes mech;
  bool withToken;
  SECURITY_STATUS expected;
};

TEST_F(Provider, NegotiateRefusalsAreErrors) {
  const Identity id{u"User", u"", u"Password"};
  const NegotiateRefusal cases[] = {
      {"reject", SpnegoNegState::Reject, {}, false, SEC_E_LOGON_DENIED},
      {"other mechanism", SpnegoNegState::AcceptIncomplete, {0x2a, 0x86, 0x48}, true, SEC_E_INVALID_TOKEN},
      {"no token", SpnegoNegState::AcceptIncomplete, {}, false, SEC_E_INVALID_TOKEN},
  };
  Acquire("Negotiate", &id);
  for (const NegotiateRefusal& c : cases) {
    SCOPED_TRACE(c.name);
    CtxtHandle local{};
    Bytes out;
    ASSERT_EQ(Leg(cred, nullptr, nullptr, local, out), SEC_I_CONTINUE_NEEDED);
    SpnegoResp resp;
    resp.NegState = c.state;
    if (!c.mech.empty()) resp.SupportedMech = c.mech;
    if (c.withToken) resp.ResponseToken = ChallengeWithTime(1);
    const Bytes token = BuildSpnegoResp(resp);
    EXPECT_EQ(Leg(cred, &local, &token, local, out), c.expected);
    EXPECT_EQ(T().DeleteSecurityContext(&local), SEC_E_OK);
  }
}

// Challenge messages broken in one place each; all must be refused as invalid tokens.
TEST_F(Provider, MalformedChallengesAreInvalidTokens) {
  const Identity id{u"User", u"Domain", u"Password"};
  const Bytes good = ChallengeWithTime(1);
  auto with = [&](size_t at, std::initializer_list<uint8_t> bytes) {
    Bytes b = good;
    size_t i = at;
    for (uint8_t v : bytes) b[i++] = v;
    return b;
  };
  const Bytes infoOnly = BuildAvPairs({{MsvAvNbDomainName, Utf16LE(u"D")}});
  Bytes noEol = BuildNtlmChallenge(NTLMSSP_NEGOTIATE_UNICODE, kServerChallenge, {}, infoOnly);
  noEol.resize(noEol.size() - 4);
  noEol[40] = static_cast<uint8_t>(noEol[40] - 4);  // target info length without the terminator
  noEol[42] = noEol[40];
  struct Case {
    const char* name;
    Bytes token;
  } cases[] = {
      {"empty", {}},
      {"signature only", Bytes(good.begin(), good.begin() + 8)},
      {"short of the target info field", Bytes(good.begin(), good.begin() + 47)},
      {"bad signature", with(0, {'X'})},
      {"type 3", with(8, {3})},
      {"target info past the end", with(44, {0xf0, 0xff, 0, 0})},
      {"target info offset near 2^32", with(44, {0xff, 0xff, 0xff, 0xff})},
      {"target info length past the end", with(40, {0xff, 0xff})},
      {"target name offset near 2^32", with(12, {2, 0, 2, 0, 0xfe, 0xff, 0xff, 0xff})},
      {"pair length past the list", with(size_t(good[44]) + 2, {0xff, 0x7f})},
      {"list without terminator", noEol},
      {"no target info", BuildNtlmChallenge(NTLMSSP_NEGOTIATE_UNICODE, kServerChallenge, {}, {})},
      {"time stamp of 4 bytes",
       BuildNtlmChallenge(NTLMSSP_NEGOTIATE_UNICODE, kServerChallenge, {},
                          BuildAvPairs({{MsvAvTimestamp, Bytes(4, 1)}}))},
      {"SPNEGO-looking garbage in NTLM", {0xa1, 0x05, 0x30, 0x03, 0xa2, 0x01, 0x04}},
  };
  Acquire("NTLM", &id);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CtxtHandle local{};
    Bytes out;
    ASSERT_EQ(Leg(cred, nullptr, nullptr, local, out), SEC_I_CONTINUE_NEEDED);
    EXPECT_EQ(Leg(cred, &local, &c.token, local, out), SEC_E_INVALID_TOKEN);
    EXPECT_TRUE(out.empty());
    T().DeleteSecurityContext(&local);
  }
  // The untouched message passes, so the failures above are the edits'.
  CtxtHandle local{};
  Bytes out;
  ASSERT_EQ(Leg(cred, nullptr, nullptr, local, out), SEC_I_CONTINUE_NEEDED);
  EXPECT_EQ(Leg(cred, &local, &good, local, out), SEC_E_OK);
  T().DeleteSecurityContext(&local);
}

TEST(SpnegoParse, MalformedDerIsRefused) {
  SpnegoResp r;
  r.ResponseToken = Bytes{1, 2, 3};
  const Bytes good = BuildSpnegoResp(r);
  ASSERT_TRUE(ParseSpnegoResp(good.data(), good.size()));
  const std::vector<Bytes> bad = {
      {},
      {0xa1},
      {0xa1, 0x84, 0xff, 0xff, 0xff, 0xff},          // length far past the end
      {0xa1, 0x80, 0x30, 0x00, 0x00, 0x00},          // indefinite length
      {0xa1, 0x89, 1, 1, 1, 1, 1, 1, 1, 1, 1},       // length of nine octets
      {0xa1, 0x02, 0x30, 0x00, 0x00},                // trailing byte
      {0xa1, 0x05, 0x30, 0x03, 0xa0, 0x01, 0x0a},    // negState without content
      {0xa1, 0x07, 0x30, 0x05, 0xa0, 0x03, 0x0a, 0x01, 0x09},  // negState out of range
      {0xa1, 0x04, 0x30, 0x02, 0xa7, 0x00},          // unknown field
      {0xa1, 0x04, 0x30, 0x02, 0x1f, 0x00},          // multi-byte tag
  };
  for (size_t i = 0; i < bad.size(); ++i) EXPECT_FALSE(ParseSpnegoResp(bad[i].data(), bad[i].size())) << i;
  // Every truncation of a good token is refused too.
  for (size_t n = 0; n < good.size(); ++n) EXPECT_FALSE(ParseSpnegoResp(good.data(), n)) << n;
}

TEST(SpnegoParse, LongFormLengthsRoundTrip) {
  SpnegoResp r;
  r.ResponseToken = Bytes(70000, 0x5a);
  const Bytes token = BuildSpnegoResp(r);
  const auto back = ParseSpnegoResp(token.data(), token.size());
  ASSERT_TRUE(back && back->ResponseToken);
  EXPECT_EQ(*back->ResponseToken, *r.ResponseToken);
}

TEST(ProviderHandles, MisuseGivesStatusesNotCrashes) {
  CredHandle cred{};
  EXPECT_EQ(T().AcquireCredentialsHandleA(nullptr, "Kerberos", SECPKG_CRED_OUTBOUND, nullptr, nullptr, nullptr,
                                          nullptr, &cred, nullptr),
            SEC_E_SECPKG_NOT_FOUND);
  const Identity id{u"User", u"", u"Password"};
  SEC_WINNT_AUTH_IDENTITY rec = id.Record();
  EXPECT_EQ(T().AcquireCredentialsHandleA(nullptr, "NTLM", 1, nullptr, &rec, nullptr, nullptr, &cred, nullptr),
            SEC_E_UNSUPPORTED_FUNCTION);
  ASSERT_EQ(T().AcquireCredentialsHandleA(nullptr, "NTLM", SECPKG_CRED_OUTBOUND, nullptr, &rec, nullptr, nullptr,
                                          &cred, nullptr),
            SEC_E_OK);
  // Output buffer of the caller's own that is too small.
  uint8_t small[8];
  SecBuffer outBuf{sizeof small, SECBUFFER_TOKEN, small};
  SecBufferDesc outDesc{SECBUFFER_VERSION, 1, &outBuf};
  CtxtHandle ctx{};
  EXPECT_EQ(T().InitializeSecurityContextA(&cred, nullptr, "HTTP/x", 0, 0, 0, nullptr, 0, &ctx, &outDesc, nullptr,
                                           nullptr),
            SEC_E_BUFFER_TOO_SMALL);
  uint8_t big[256];
  outBuf = {sizeof big, SECBUFFER_TOKEN, big};
  ASSERT_EQ(T().InitializeSecurityContextA(&cred, nullptr, "HTTP/x", 0, 0, 0, nullptr, 0, &ctx, &outDesc, nullptr,
                                           nullptr),
            SEC_I_CONTINUE_NEEDED);
  EXPECT_EQ(Bytes(big, big + outBuf.cbBuffer), BuildNtlmNegotiate());
  // A context with no input token, a context handle used as credentials, handles used twice.
  Bytes out;
  EXPECT_EQ(Leg(cred, &ctx, nullptr, ctx, out), SEC_E_INVALID_TOKEN);
  CtxtHandle other{};
  EXPECT_EQ(Leg(ctx, nullptr, nullptr, other, out), SEC_E_INVALID_HANDLE);
  EXPECT_EQ(T().CompleteAuthToken(&ctx, nullptr), SEC_E_OK);
  EXPECT_EQ(T().DeleteSecurityContext(&ctx), SEC_E_OK);
  EXPECT_EQ(T().DeleteSecurityContext(&ctx), SEC_E_INVALID_HANDLE);
  EXPECT_EQ(T().CompleteAuthToken(&ctx, nullptr), SEC_E_INVALID_HANDLE);
  const Bytes challenge = ChallengeWithTime(1);
  EXPECT_EQ(Leg(cred, &ctx, &challenge, ctx, out), SEC_E_INVALID_HANDLE);
  EXPECT_EQ(T().FreeCredentialsHandle(&cred), SEC_E_OK);
  EXPECT_EQ(T().FreeCredentialsHandle(&cred), SEC_E_INVALID_HANDLE);
  EXPECT_EQ(Leg(cred, nullptr, nullptr, ctx, out), SEC_E_INVALID_HANDLE);
}

// Default credentials: NTLM_USER_FILE or "no credentials".
class UserFile : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* old = std::getenv("NTLM_USER_FILE");
    if (old) saved = old, hadOld = true;
    path = std::filesystem::temp_directory_path() / ("ntlm-user-" + std::to_string(::getpid()));
  }
  void TearDown() override {
    if (hadOld)
      ::setenv("NTLM_USER_FILE", saved.c_str(), 1);
    else
      ::unsetenv("NTLM_USER_FILE");
    std::filesystem::remove(path);
  }
  SECURITY_STATUS AcquireDefault(CredHandle& cred) {
    return T().AcquireCredentialsHandleA(nullptr, "NTLM", SECPKG_CRED_OUTBOUND, nullptr, nullptr, nullptr, nullptr,
                                         &cred, nullptr);
  }
  std::filesystem::path path;
  std::string saved;
  bool hadOld = false;
};

TEST_F(UserFile, WithoutTheFileThereAreNoCredentials) {
  CredHandle cred{};
  ::unsetenv("NTLM_USER_FILE");
  EXPECT_EQ(AcquireDefault(cred), SEC_E_NO_CREDENTIALS);
  ::setenv("NTLM_USER_FILE", path.c_str(), 1);  // names a file that does not exist
  EXPECT_EQ(AcquireDefault(cred), SEC_E_NO_CREDENTIALS);
  std::ofstream(path) << "no separators here\n:onlydomain\nDOM::emptyuser\n";
  EXPECT_EQ(AcquireDefault(cred), SEC_E_NO_CREDENTIALS);
}

TEST_F(UserFile, FirstUsableLineIsUsed) {
  std::ofstream(path) << "junk\r\nWORKGROUP:Benutzer:pa:ss wört\r\nOTHER:second:x\n";
  ::setenv("NTLM_USER_FILE", path.c_str(), 1);
  CredHandle cred{};
  ASSERT_EQ(AcquireDefault(cred), SEC_E_OK);
  CtxtHandle ctx{};
  Bytes out;
  ASSERT_EQ(Leg(cred, nullptr, nullptr, ctx, out), SEC_I_CONTINUE_NEEDED);
  const Bytes challenge = ChallengeWithTime(3);
  ASSERT_EQ(Leg(cred, &ctx, &challenge, ctx, out), SEC_E_OK);
  const auto f = ParseNtlmAuthenticate(out.data(), out.size());
  ASSERT_TRUE(f);
  EXPECT_EQ(f->User, Utf16LE(u"Benutzer"));
  EXPECT_EQ(f->Domain, Utf16LE(u"WORKGROUP"));
  EXPECT_EQ(ServerProof(*f, kServerChallenge, u"Benutzer", u"WORKGROUP", u"pa:ss wört"),
            ToHex(f->NtChallengeResponse.data(), 16));
  T().DeleteSecurityContext(&ctx);
  T().FreeCredentialsHandle(&cred);
}

}  // namespace

// NTLMv2 values checked against an independent implementation (python3-ntlm-auth) at test time.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "SspiTestUtil.h"
#include "rtl/SysUtils.h"

using namespace sspitest;

namespace {

namespace fs = std::filesystem;

// Runs the oracle with a script and arguments; false when python or the package is missing.
struct Oracle {
  fs::path dir;
  bool available = false;
  std::string why;

  Oracle() {
    dir = fs::temp_directory_path() / ("ntlm-oracle-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    // The package's MD4 comes from OpenSSL, which keeps it in the legacy provider.
    std::ofstream(dir / "openssl.cnf") << "openssl_conf = init\n[init]\nproviders = prov\n"
                                          "[prov]\ndefault = def\nlegacy = leg\n"
                                          "[def]\nactivate = 1\n[leg]\nactivate = 1\n";
    if (access("/usr/bin/python3", X_OK) != 0) {
      why = "/usr/bin/python3 is missing";
      return;
    }
    const std::string probe = Run("import ntlm_auth.compute_hash, hashlib; hashlib.new('md4', b'')", {});
    available = probe == "ok";
    if (!available) why = "python3-ntlm-auth (or MD4 through OpenSSL's legacy provider) is unavailable: " + probe;
  }
  ~Oracle() {
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
  // The script's standard output, trimmed; the script prints "ok" when it has nothing to say.
  std::string Run(const std::string& script, const std::vector<std::string>& args) {
    const fs::path file = dir / "oracle.py";
    std::ofstream(file) << "import sys\n" << script << "\nif 'result' in dir(): print(result)\nelse: print('ok')\n";
    std::string cmd = "OPENSSL_CONF='" + (dir / "openssl.cnf").string() + "' /usr/bin/python3 '" + file.string() + "'";
    for (const std::string& a : args) cmd += " " + a;  // hex only, no quoting needed
    cmd += " 2>&1";
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return "popen failed";
    std::string out;
    char buf[512];
    while (fgets(buf, sizeof buf, p)) out += buf;
    pclose(p);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    return out;
  }
};

Oracle& TheOracle() {
  static Oracle o;
  return o;
}

#define REQUIRE_ORACLE()                                                               \
  if (!TheOracle().available) GTEST_SKIP() << "independent NTLM check skipped: " << TheOracle().why

// Texts from letters whose upper case is one letter in both implementations (no ß and the like).
std::u16string RandomText(std::mt19937& rng, size_t maxLen, bool asciiOnly = false) {
  static const std::u16string ascii = u"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  static const std::u16string wide =
      u"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 .-_éàöüçñабвгдежзийклмнопрстуфхцчшщыэюяЖЩΣλπ中文密码✓";
  const std::u16string& pool = asciiOnly ? ascii : wide;
  std::uniform_int_distribution<size_t> len(1, maxLen), pick(0, pool.size() - 1);
  std::u16string s;
  for (size_t n = len(rng); n; --n) s += pool[pick(rng)];
  return s;
}

std::string HexU8(const std::u16string& s) {
  const std::string u = rtl::U8(s);
  return ToHex(reinterpret_cast<const uint8_t*>(u.data()), u.size());
}

TEST(NtlmCrossCheck, KeysAndProofsMatchTheIndependentImplementation) {
  REQUIRE_ORACLE();
  std::mt19937 rng(std::random_device{}());
  const std::string script =
      "import hmac, hashlib\n"
      "from ntlm_auth.compute_hash import _ntowfv1, _ntowfv2\n"
      "t = lambda i: bytes.fromhex(sys.argv[i]).decode('utf-8')\n"
      "user, pw, dom = t(1), t(2), t(3)\n"
      "key = _ntowfv2(user, pw, dom)\n"
      "proof = hmac.new(key, bytes.fromhex(sys.argv[4]), hashlib.md5).digest()\n"
      "result = _ntowfv1(pw).hex() + ' ' + key.hex() + ' ' + proof.hex()\n";
  for (int round = 0; round < 8; ++round) {
    const std::u16string user = RandomText(rng, 20), pw = RandomText(rng, 24), dom = RandomText(rng, 12);
    NtlmChallenge8 server, client;
    for (auto& b : server) b = static_cast<uint8_t>(rng());
    for (auto& b : client) b = static_cast<uint8_t>(rng());
    const uint64_t time = (static_cast<uint64_t>(rng()) << 32) | rng();
    const Bytes info = BuildAvPairs({{MsvAvNbDomainName, Utf16LE(dom)}, {MsvAvNbComputerName, Utf16LE(RandomText(rng, 15))}});
    const rtl::TDigest16 key = NtOwfV2(user, pw, dom);
    const NtlmV2Response r = ComputeNtlmV2Response(key, server, client, time, info);
    // The oracle gets the server challenge and our blob, and computes the key itself.
    Bytes proofInput(server.begin(), server.end());
    proofInput.insert(proofInput.end(), r.NtChallengeResponse.begin() + 16, r.NtChallengeResponse.end());
    const std::string expected = ToHex(NtOwfV1(pw)) + " " + ToHex(key) + " " + ToHex(r.NtProofStr);
    EXPECT_EQ(TheOracle().Run(script, {HexU8(user), HexU8(pw), HexU8(dom), ToHex(proofInput)}), expected)
        << "user " << rtl::U8(user) << " password " << rtl::U8(pw) << " domain " << rtl::U8(dom);
  }
}

// The other direction: the oracle acts as client against our CHALLENGE message, and we check
// its AUTHENTICATE message with our computation.
TEST(NtlmCrossCheck, OurServerSideCheckAcceptsTheIndependentClient) {
  REQUIRE_ORACLE();
  std::mt19937 rng(std::random_device{}());
  const std::string script =
      "from ntlm_auth.ntlm import NtlmContext\n"
      "t = lambda i: bytes.fromhex(sys.argv[i]).decode('utf-8')\n"
      "ctx = NtlmContext(t(1), t(2), t(3), ntlm_compatibility=3)\n"
      "ctx.step()\n"
      "result = ctx.step(bytes.fromhex(sys.argv[4])).hex()\n";
  for (int round = 0; round < 4; ++round) {
    // Its NEGOTIATE message carries the domain in ASCII, so only the domain is kept ASCII.
    const std::u16string user = RandomText(rng, 16), pw = RandomText(rng, 16), dom = RandomText(rng, 10, true);
    NtlmChallenge8 server;
    for (auto& b : server) b = static_cast<uint8_t>(rng());
    Bytes time(8);
    for (auto& b : time) b = static_cast<uint8_t>(rng());
    const Bytes challenge = BuildNtlmChallenge(
        NTLMSSP_NEGOTIATE_UNICODE | NTLMSSP_NEGOTIATE_NTLM | NTLMSSP_NEGOTIATE_EXTENDED_SESSIONSECURITY, server,
        Utf16LE(dom), BuildAvPairs({{MsvAvNbDomainName, Utf16LE(dom)}, {MsvAvTimestamp, time}}));
    const std::string out = TheOracle().Run(script, {HexU8(user), HexU8(pw), HexU8(dom), ToHex(challenge)});
    ASSERT_EQ(out.find_first_not_of("0123456789abcdef"), std::string::npos) << out;
    const Bytes auth = HexBytes(out);
    const auto f = ParseNtlmAuthenticate(auth.data(), auth.size());
    ASSERT_TRUE(f) << out;
    EXPECT_EQ(f->User, Utf16LE(user));
    ASSERT_GE(f->NtChallengeResponse.size(), 16u);
    EXPECT_EQ(ServerProof(*f, server, user, dom, pw), ToHex(f->NtChallengeResponse.data(), 16));
    EXPECT_NE(ServerProof(*f, server, user, dom, pw + u"x"), ToHex(f->NtChallengeResponse.data(), 16));
  }
}

}  // namespace

// The test edition of KRVDownload through an HTTP proxy of the machine's environment (http_proxy)
// that asks for NTLM or Negotiate: the proxy is a loopback peer of this process that works the
// handshake, checks the proof and then serves the archive. The client's provider is ours on
// Linux and the system's secur32 under Wine; the same table runs on both.
#include "NtlmTestServer.h"
#include "UpdateTestUtil.h"

using namespace krvtest;

namespace {

TEST(UpdateProxyAuth, ThroughAProxyThatAsksForNtlmOrNegotiate) {
  TTempDir dir;
  const std::string base = HostFolder(dir), folder = base + "/folder", src = base + "/src";
  for (const std::string& d : {folder, src, base + "/desktop"}) fs::create_directories(d);
  const std::string exe = PlaceDownloader(KRV_TEST_EDITION, folder), product = folder + "/KorvelFA.exe";
  fs::copy_file(KRV_UPDATE_PRODUCT, src + "/KorvelFA.exe");
  WriteFile(src + "/readme.txt", "Korvel\n");
  ASSERT_TRUE(Make7z(base + "/update.7z", src, "KorvelFA.exe readme.txt"));
  const std::string archive = ReadFile(base + "/update.7z");
  const std::string served = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(archive.size()) + "\r\n\r\n" + archive;
  const struct {
    const char* Name;
    bool OfferNegotiate;
    const char* Offer;        // the only challenge, when given
    const char* Credentials;  // in the proxy URL
    bool Installs;
  } cases[] = {
      {"NTLM", false, "", "DOMAIN%5Cuser:Pass%40word@", true},
      {"Negotiate", true, "", "DOMAIN%5Cuser:Pass%40word@", true},
      {"wrong password", true, "", "DOMAIN%5Cuser:wrong@", false},
      {"a scheme we do not speak", false, "Bearer realm=\"corp\"", "DOMAIN%5Cuser:Pass%40word@", false},
      // Linux: no credentials at all (NTLM_USER_FILE unset). Windows: the logged-on user's, whom this
      // proxy does not know (under Wine the host's user, through ntlm_auth).
      {"no credentials", false, "", "", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    fs::remove(folder + "/readme.txt");
    fs::remove(product);
    fs::copy_file(KRV_OLD_PRODUCT, product);
    TNtlmServer proxy(u"user", u"DOMAIN", u"Pass@word", c.OfferNegotiate, true, served, c.Offer);
    TDownloaderRun r = RunDownloader(exe, folder, base + "/desktop", {"a"}, true,
                                     {"http_proxy=http://" + std::string(c.Credentials) + "127.0.0.1:" +
                                      std::to_string(proxy.Port())});
    const auto events = proxy.Events();
    SCOPED_TRACE(Joined(events) + r.Stderr);
    EXPECT_EQ(r.Run.ExitCode, 0);
    EXPECT_EQ(r.Run.ProductStarted, c.Installs);
    EXPECT_EQ(Count(events, "granted"), c.Installs ? 1 : 0);
    // Nothing but the handshake: no Basic credentials in clear, no token out of turn.
    EXPECT_EQ(Count(events, "bad"), 0);
    if (c.Installs) {
      EXPECT_EQ(ReadFile(folder + "/readme.txt"), "Korvel\n");
      // NTLM authenticates the connection: challenge and answer share one.
      EXPECT_EQ(ConnOf(events, "negotiate"), ConnOf(events, "granted"));
      EXPECT_EQ(proxy.RequestLines().back(), "GET http://127.0.0.1:" + std::to_string(KRV_TEST_EDITION_PORT) +
                                                 "/mainweb/upgrade/GETFILE.ASP?FNM=dlKorvelFA_SQL_KO_KO_1001820.7z"
                                                 "&XE3=1&VER=600000 HTTP/1.1");
    } else {
      EXPECT_NE(r.Stderr.find("Error: File \"dlKorvelFA_SQL_KO_KO_1001820.7z\" could not be downloaded"),
                std::string::npos);
      EXPECT_TRUE(ReadFile(product) == ReadFile(KRV_OLD_PRODUCT)) << "the old install stays";
      EXPECT_FALSE(fs::exists(folder + "/readme.txt"));
      EXPECT_LE(Count(events, "denied"), 1) << "refused credentials are not tried again";
    }
  }
}

}  // namespace

// The test edition of KRVDownload, headless, on flaky links and behind proxies: a server that
// cuts the archive at 30% and 70% (the update completes from ranged requests under If-Range),
// one that ignores ranges, one whose archive changes between attempts (never a spliced file), and
// proxies given only by environment variables: HTTP, SOCKS 5, no_proxy, a malformed variable.
#include "HttpTestServer.h"
#include "RangeTestServer.h"
#include "UpdateTestUtil.h"

#include <random>

using namespace krvtest;

namespace {

const std::string kLocalName = "dlDownloadFA_SQL_KO_KO_1001820.7z";
std::string FirstLine(const std::string& AHead) { return AHead.substr(0, AHead.find("\r\n")); }

const std::string kRequestPath = "/mainweb/upgrade/GETFILE.ASP?FNM=dlKorvelFA_SQL_KO_KO_1001820.7z&XE3=1&VER=600000";

class UpdateResume : public ::testing::Test {
 protected:
  void SetUp() override {
    Base = fs::canonical(Dir.Path()).string();
    Folder = Base + "/folder";
    Desktop = Base + "/desktop";
    for (const std::string& d : {Folder, Desktop}) fs::create_directories(d);
    Exe = Folder + "/KRVDownload";
    fs::copy_file(KRV_TEST_EDITION, Exe);
  }
  // The product archive's bytes: the stand-in product, a readme, and a MiB that does not
  // compress, so the cuts fall in the middle of many reads.
  std::string Archive(const std::string& readme) {
    std::string src = Base + "/src-" + std::to_string(++FArchives), archive = src + ".7z";
    fs::create_directories(src);
    fs::copy_file(KRV_UPDATE_PRODUCT, src + "/KorvelFA.exe");
    WriteFile(src + "/readme.txt", readme);
    std::string noise(1 << 20, '\0');
    std::mt19937 random(FArchives);
    for (char& c : noise) c = char(random());
    WriteFile(src + "/data.bin", noise);
    EXPECT_TRUE(Make7z(archive, src, "KorvelFA.exe readme.txt data.bin"));
    return ReadFile(archive);
  }
  TDownloaderRun Run(const std::vector<std::string>& env = {}) {
    fs::remove(Folder + "/" + kLocalName);
    fs::remove(Folder + "/KorvelFA.exe");
    fs::remove(Folder + "/readme.txt");
    return RunDownloader(Exe, Folder, Desktop, {"a"}, true, env);
  }
  // The update went through: the product started, the archive on disk is AArchive exactly.
  void ExpectUpdated(const TDownloaderRun& r, const std::string& AArchive, const std::string& AReadme) {
    EXPECT_TRUE(r.Run.ProductStarted) << r.Stderr;
    EXPECT_EQ(r.Stderr.find("Error"), std::string::npos) << r.Stderr;
    EXPECT_TRUE(ReadFile(Folder + "/" + kLocalName) == AArchive) << "never a spliced file";
    EXPECT_EQ(ReadFile(Folder + "/readme.txt"), AReadme);
  }
  static TRangeServerOptions OnEditionPort() {
    TRangeServerOptions o;
    o.Port = KRV_TEST_EDITION_PORT;
    return o;
  }
  static int64_t RangeFrom(const std::string& AHead) {
    std::string v = TRangeTestServer::Field(AHead, "Range");
    return v.size() > 6 ? std::stoll(v.substr(6)) : -1;
  }

  TTempDir Dir;
  std::string Base, Folder, Desktop, Exe;

 private:
  int FArchives = 0;
};

TEST_F(UpdateResume, CutsAt30And70PercentAreResumedUnderTheValidator) {
  const std::string archive = Archive("Korvel\n");
  const int64_t size = int64_t(archive.size()), at30 = size * 3 / 10, at70 = size * 7 / 10;
  TRangeAnswer first, second;
  first.CutAt = at30;
  second.CutAt = at70;
  second.Cut = ckReset;
  TRangeTestServer server(archive, {first, second}, OnEditionPort());
  ASSERT_TRUE(server.Running()) << "port " << KRV_TEST_EDITION_PORT << " is taken";
  ExpectUpdated(Run(), archive, "Korvel\n");
  std::vector<std::string> requests = server.Requests();
  ASSERT_EQ(requests.size(), 3u);
  const std::string etag = TRangeTestServer::ETagOf(0, archive.size());
  EXPECT_EQ(FirstLine(requests[0]), "GET " + kRequestPath + " HTTP/1.1");
  EXPECT_EQ(TRangeTestServer::Field(requests[0], "Range"), "");
  EXPECT_EQ(TRangeTestServer::Field(requests[1], "Range"), "bytes=" + std::to_string(at30) + "-");
  EXPECT_EQ(TRangeTestServer::Field(requests[1], "If-Range"), etag);
  // A reset may take bytes in flight with it: the second resume starts where the data stopped.
  EXPECT_GT(RangeFrom(requests[2]), at30);
  EXPECT_LE(RangeFrom(requests[2]), at70);
  EXPECT_EQ(TRangeTestServer::Field(requests[2], "If-Range"), etag);
}

TEST_F(UpdateResume, AServerWithoutRangesGivesOneWholeRestart) {
  const std::string archive = Archive("Korvel\n");
  TRangeAnswer cut, whole;
  cut.CutAt = int64_t(archive.size()) / 2;
  whole.IgnoreRange = true;
  TRangeTestServer server(archive, {cut, whole}, OnEditionPort());
  ASSERT_TRUE(server.Running());
  ExpectUpdated(Run(), archive, "Korvel\n");
  std::vector<std::string> requests = server.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(RangeFrom(requests[1]), int64_t(archive.size()) / 2) << "asked for the rest, got the whole";
}

// The archive is replaced while the downloader waits to resume. Whether the server honours
// If-Range (a 200 of the new archive) or not (a 206 of the new one, refused), the file on disk
// is the new archive whole, never the old one's start with the new one's end.
TEST_F(UpdateResume, AnArchiveChangedBetweenAttemptsIsTakenWhole) {
  const std::string oldArchive = Archive("Korvel 1\n"), newArchive = Archive("Korvel 2\n");
  ASSERT_NE(oldArchive.size(), 0u);
  for (bool ignoreIfRange : {false, true}) {
    SCOPED_TRACE(ignoreIfRange ? "If-Range ignored by the server" : "If-Range honoured");
    TRangeAnswer cut, changed;
    cut.CutAt = int64_t(oldArchive.size()) / 2;
    changed.NewContent = newArchive;
    changed.IgnoreIfRange = ignoreIfRange;
    TRangeTestServer server(oldArchive, {cut, changed}, OnEditionPort());
    ASSERT_TRUE(server.Running());
    ExpectUpdated(Run(), newArchive, "Korvel 2\n");
    EXPECT_EQ(server.Requests().size(), ignoreIfRange ? 3u : 2u);
  }
}

TEST_F(UpdateResume, ProxiesFromTheEnvironment) {
  const std::string archive = Archive("Korvel\n");
  const std::string ok = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(archive.size()) + "\r\n\r\n" + archive;
  const std::string origin = "127.0.0.1:" + std::to_string(KRV_TEST_EDITION_PORT);
  {
    SCOPED_TRACE("http_proxy");
    THttpTestServer proxy({{ok}});
    ExpectUpdated(Run({"http_proxy=http://127.0.0.1:" + std::to_string(proxy.Port())}), archive, "Korvel\n");
    ASSERT_EQ(proxy.Requests().size(), 1u);
    EXPECT_EQ(FirstLine(proxy.Requests()[0]), "GET http://" + origin + kRequestPath + " HTTP/1.1");
  }
  {
    SCOPED_TRACE("all_proxy=socks5://");
    THttpTestServer socks({{ok}}, false, smSocks5);
    ExpectUpdated(Run({"all_proxy=socks5://127.0.0.1:" + std::to_string(socks.Port())}), archive, "Korvel\n");
    EXPECT_EQ(socks.SocksTargets(), std::vector<std::string>{origin});
    ASSERT_EQ(socks.Requests().size(), 1u);
    EXPECT_EQ(FirstLine(socks.Requests()[0]), "GET " + kRequestPath + " HTTP/1.1");
  }
  {
    SCOPED_TRACE("no_proxy");
    TRangeTestServer direct(archive, {}, OnEditionPort());
    ASSERT_TRUE(direct.Running());
    // A proxy that answers nothing: a request sent there would end only by the time-out.
    THttpTestServer proxy({});
    ExpectUpdated(Run({"http_proxy=http://127.0.0.1:" + std::to_string(proxy.Port()), "no_proxy=localhost,127.0.0.1"}),
                  archive, "Korvel\n");
    EXPECT_EQ(direct.Requests().size(), 1u);
  }
}

// A signed edition hashes the archive as it arrives: a resumed transfer carries the digest on, one
// that starts again from zero starts it again, and the publisher's signature holds either way.
TEST_F(UpdateResume, ASignedEditionChecksTheResumedArchive) {
  const std::string archive = Archive("Korvel\n");
  // Signed under the name it is served by: that name is what the statement vouches for.
  fs::create_directories(Base + "/signing");
  const std::string remote = Base + "/signing/dlKorvelFA_SQL_KO_KO_1001820.7z";
  WriteFile(remote, archive);
  ASSERT_EQ(std::system(("'" KRV_SIGN "' sign '" KRV_TEST_PUBLISHER_KEY "' '" + remote + "' >/dev/null").c_str()), 0);
  fs::remove(Exe);
  fs::copy_file(KRV_SIGNED_EDITION, Exe);
  TRangeServerOptions options = OnEditionPort();
  options.SideSuffix = ".7z.sig&XE3=1&VER=600000";
  options.SideContent = ReadFile(remote + ".sig");
  for (bool ignoreRange : {false, true}) {
    SCOPED_TRACE(ignoreRange ? "started again from zero" : "resumed");
    TRangeAnswer cut, rest;
    // A close delivers every byte before it: the digest holds more than one piece at the cut.
    cut.CutAt = int64_t(archive.size()) * 6 / 10;
    rest.IgnoreRange = ignoreRange;
    TRangeTestServer server(archive, {cut, rest}, options);
    ASSERT_TRUE(server.Running());
    TDownloaderRun r = Run();
    ExpectUpdated(r, archive, "Korvel\n");
    EXPECT_EQ(server.Requests().size(), 2u);
    EXPECT_EQ(r.Stderr.find("not signed"), std::string::npos) << r.Stderr;
  }
}

// A proxy variable that cannot be used is reported by its name; nothing is downloaded or left.
TEST_F(UpdateResume, AMalformedProxyVariableIsReportedByName) {
  TDownloaderRun r = Run({"http_proxy=socks9://127.0.0.1:1080"});
  EXPECT_EQ(r.Run.ExitCode, 0);
  EXPECT_FALSE(r.Run.ProductStarted);
  EXPECT_NE(r.Stderr.find("Invalid proxy in http_proxy"), std::string::npos) << r.Stderr;
  EXPECT_FALSE(fs::exists(Folder + "/" + kLocalName));
}

}  // namespace

// The verified editions against loopback servers, headless: the signed edition takes only an
// archive signed with the publisher's key, the https edition only a server its authority
// certified for the update host. A refused update extracts and starts nothing.
#include <cstdlib>
#include <functional>
#include <map>

#include "UpdateTestUtil.h"

using namespace krvtest;

namespace {

const std::string kRemoteName = "dlKorvelFA_SQL_KO_KO_1001820.7z";
const std::string kLocalName = "dlDownloadFA_SQL_KO_KO_1001820.7z";
const std::string kNotSignedBox = "Error: File \"" + kRemoteName + "\" is not signed by the publisher!";
const std::string kDownloadFailedBox =
    "Error: File \"" + kRemoteName + "\" could not be downloaded from ftp! Probably does not exists on ftp yet.";

// https on the edition's port in front of krv-update-server (tests/downloader/update/TlsFront.cpp,
// a host program on both systems), with its authority written to the edition's CA file.
class TTlsFront : public THostPeer {
 public:
  TTlsFront(int port, const char* identity, int backendPort, bool redirect)
      : THostPeer({KRV_TLS_FRONT, std::to_string(port), std::to_string(backendPort), identity,
                   redirect ? "redirect" : "relay", KRV_HTTPS_EDITION_CAFILE}) {}
  // The handshakes completed so far.
  int Handshakes() {
    for (std::string line; !(line = ReadLine(300)).empty();) FHandshakes += line == "handshake";
    return FHandshakes;
  }

 private:
  int FHandshakes = 0;
};

class VerifiedUpdate : public ::testing::Test {
 protected:
  void SetUp() override {
    Base = HostFolder(Dir);
    Src = Base + "/src";
    Root = Base + "/root";
    fs::create_directories(Src);
    fs::copy_file(KRV_UPDATE_PRODUCT, Src + "/KorvelFA.exe");
    WriteFile(Src + "/readme.txt", "Korvel\n");
    ASSERT_TRUE(Make7z(Base + "/" + kRemoteName, Src, "KorvelFA.exe readme.txt"));
    ASSERT_EQ(Sign(KRV_TEST_PUBLISHER_KEY, Base + "/" + kRemoteName), 0);
    fs::copy_file(Base + "/" + kRemoteName, Src + ".7z");
  }
  static int Sign(const std::string& key, const std::string& archive) {
    return Shell("'" KRV_SIGN "' sign '" + key + "' '" + archive + "' >/dev/null") ? 0 : 1;
  }
  // A fresh install of the edition over an old (10.0.0.1) product, and the server's files.
  void Prepare(const std::string& edition) {
    for (const std::string& d : {Folder(), Root, Desktop()}) {
      fs::remove_all(d);
      fs::create_directories(d);
    }
    Exe = PlaceDownloader(edition, Folder());
    for (const std::string& link : ProductShortcuts(Desktop())) fs::remove(ShortcutFolder(Desktop()) + "/" + link);
    fs::copy_file(KRV_OLD_PRODUCT, Folder() + "/KorvelFA.exe");
    fs::copy_file(Base + "/" + kRemoteName, Root + "/" + kRemoteName);
    fs::copy_file(Base + "/" + kRemoteName + ".sig", Root + "/" + kRemoteName + ".sig");
  }
  // Every file of the folder with its bytes.
  std::map<std::string, std::string> Files() {
    std::map<std::string, std::string> files;
    for (auto& e : fs::recursive_directory_iterator(Folder()))
      if (e.path().filename() != ".krv-lock")  // the folder's lock (Windows) stays, by design
        files[fs::relative(e.path(), Folder()).string()] = e.is_regular_file() ? ReadFile(e.path().string()) : "";
    return files;
  }
  // A refused update: the box and the log line name the reason; the archive is gone, the install
  // is as it was (nothing extracted), nothing started, no shortcut.
  void ExpectRefused(const TDownloaderRun& r, const std::map<std::string, std::string>& before,
                     const std::string& box, const std::string& reason) {
    EXPECT_EQ(r.Run.ExitCode, 0);
    EXPECT_FALSE(r.Run.ProductStarted);
    EXPECT_NE(r.Stderr.find(box), std::string::npos) << r.Stderr;
    EXPECT_NE(r.Stderr.find(reason), std::string::npos) << r.Stderr;
    EXPECT_FALSE(fs::exists(Folder() + "/" + kLocalName));
    EXPECT_TRUE(Files() == before) << "the install changed";
    EXPECT_TRUE(ProductShortcuts(Desktop()).empty());
  }
  void ExpectAccepted(const TDownloaderRun& r) {
    EXPECT_EQ(r.Run.ExitCode, 0);
    ASSERT_TRUE(r.Run.ProductStarted) << r.Stderr;
    EXPECT_EQ(r.Run.Args, std::vector<std::string>{"a"});
    EXPECT_EQ(r.Stderr.find("Error"), std::string::npos) << r.Stderr;
    EXPECT_TRUE(ReadFile(Folder() + "/KorvelFA.exe") == ReadFile(KRV_UPDATE_PRODUCT));
    EXPECT_EQ(ReadFile(Folder() + "/readme.txt"), "Korvel\n");
    EXPECT_TRUE(ReadFile(Folder() + "/" + kLocalName) == ReadFile(Root + "/" + kRemoteName)) << "the archive stays";
    EXPECT_FALSE(fs::exists(Folder() + "/" + kLocalName + ".sig")) << "the signature is checked in memory";
    EXPECT_EQ(ProductShortcuts(Desktop()).size(), 1u);
  }
  TDownloaderRun Run() { return RunDownloader(Exe, Folder(), Desktop(), {"a"}); }
  std::string Folder() const { return Base + "/folder"; }
  std::string Desktop() const { return Base + "/desktop"; }

  TTempDir Dir;
  std::string Base, Src, Root, Exe;
};

TEST_F(VerifiedUpdate, SignedEditionTakesOnlyThePublishersSignature) {
  const std::string other = Base + "/other.pem";
  ASSERT_TRUE(Shell("'" KRV_SIGN "' keygen '" + other + "' >/dev/null"));
  struct Case {
    const char* Name;
    std::function<void()> Change;  // what happens to the server's files
    const char* Reason;            // empty: accepted
    bool ArchiveAsked;             // the statement is checked before the archive is asked for
  } cases[] = {
      {"signed by the publisher", [] {}, "", true},
      {"tampered after signing",
       [&] {
         std::string bytes = ReadFile(Root + "/" + kRemoteName);
         bytes[bytes.size() / 2] ^= 0x01;
         WriteFile(Root + "/" + kRemoteName, bytes);
       },
       "is not signed by the publisher: the digest does not match: ", true},
      {"unsigned", [&] { fs::remove(Root + "/" + kRemoteName + ".sig"); },
       "is not signed by the publisher: dlKorvelFA_SQL_KO_KO_1001820.7z.sig could not be fetched", false},
      {"signed by another key", [&] { ASSERT_EQ(Sign(other, Root + "/" + kRemoteName), 0); },
       "is not signed by the publisher: dlKorvelFA_SQL_KO_KO_1001820.7z.sig: the signature does not match: ", false},
      {"a signature file that is no signature",
       [&] { WriteFile(Root + "/" + kRemoteName + ".sig", std::string(1 << 20, 's')); },
       "is not signed by the publisher: dlKorvelFA_SQL_KO_KO_1001820.7z.sig is larger than 4096 bytes", false},
      // The statement binds the name and the length: another build's signed archive served
      // under this name, more and fewer bytes than signed.
      {"another build's signed archive",
       [&] {
         fs::copy_file(Root + "/" + kRemoteName, Root + "/dlKorvelFA_SQL_KO_KO_1001819.7z");
         ASSERT_EQ(Sign(KRV_TEST_PUBLISHER_KEY, Root + "/dlKorvelFA_SQL_KO_KO_1001819.7z"), 0);
         fs::rename(Root + "/dlKorvelFA_SQL_KO_KO_1001819.7z.sig", Root + "/" + kRemoteName + ".sig");
       },
       "the signature names \"dlKorvelFA_SQL_KO_KO_1001819.7z\", not dlKorvelFA_SQL_KO_KO_1001820.7z", false},
      {"more bytes than signed", [&] { WriteFile(Root + "/" + kRemoteName, ReadFile(Src + ".7z") + "more"); },
       "is longer than the", true},
      {"fewer bytes than signed", [&] { WriteFile(Root + "/" + kRemoteName, ReadFile(Src + ".7z").substr(9)); },
       "the publisher signed", true},
      {"a signature cut short",
       [&] { WriteFile(Root + "/" + kRemoteName + ".sig", ReadFile(Base + "/" + kRemoteName + ".sig").substr(0, 63)); },
       "is not signed by the publisher: dlKorvelFA_SQL_KO_KO_1001820.7z.sig: the signature file ends before line 3",
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    Prepare(KRV_SIGNED_EDITION);
    c.Change();
    const auto before = Files();
    TUpdateServer server(Root, KRV_TEST_EDITION_PORT);
    ASSERT_TRUE(server.Running()) << "port " << KRV_TEST_EDITION_PORT << " is taken";
    TDownloaderRun r = Run();
    if (*c.Reason) {
      ExpectRefused(r, before, kNotSignedBox, c.Reason);
    } else {
      ExpectAccepted(r);
    }
    // The signed statement, then (when it holds) the same request for the archive. The two log
    // lines come in either order (see ReadLines).
    std::vector<std::string> lines = server.ReadLines(c.ArchiveAsked ? 2 : 1, 10000);
    lines.push_back(server.ReadLine(c.ArchiveAsked ? 300 : 1000));
    EXPECT_TRUE(AnyHolds(lines, "FNM=" + kRemoteName + ".sig&XE3=1&VER=600000 HTTP/1.1\""));
    EXPECT_EQ(AnyHolds(lines, "FNM=" + kRemoteName + "&XE3=1&VER=600000 HTTP/1.1\""), c.ArchiveAsked);
  }
}

#ifndef _WIN32
// A release edition (no test build) loads its crypto module only from its own folder: missing
// there, the update fails closed whatever the environment names; beside it, the update works.
TEST_F(VerifiedUpdate, AReleaseEditionLoadsModulesOnlyFromItsFolder) {
  for (bool beside : {false, true}) {
    SCOPED_TRACE(beside ? "module beside it" : "module elsewhere");
    Prepare(KRV_RELEASE_SIGNED_EDITION);
    if (beside) fs::copy_file(KRV_CRYPTO_MODULE_FILE, Folder() + "/libkrvcrypto.so");
    const auto before = Files();
    TUpdateServer server(Root, KRV_TEST_EDITION_PORT);
    ASSERT_TRUE(server.Running()) << "port " << KRV_TEST_EDITION_PORT << " is taken";
    TDownloaderRun r = RunDownloader(Exe, Folder(), Desktop(), {"a"}, true,
                                     {"KRV_CRYPTO_MODULE=" KRV_CRYPTO_MODULE_FILE});
    if (beside)
      ExpectAccepted(r);
    else
      ExpectRefused(r, before, kNotSignedBox,
                    "Signatures cannot be checked: the signature module libkrvcrypto.so was not found at " + Folder());
  }
}

#endif

TEST_F(VerifiedUpdate, HttpsEditionTakesOnlyTheCertifiedServer) {
  struct Case {
    const char* Name;
    const char* Identity;  // the front's
    bool Redirect;
    const char* Reason;  // empty: accepted
  } cases[] = {
      {"certified by the authority", "certified", false, ""},
      {"certificate for another host", "other-host", false,
       "KRVDownload: EclTlsCertificateError: The server's certificate was refused: "},
      {"authority the edition does not trust", "untrusted", false,
       "KRVDownload: EclTlsCertificateError: The server's certificate was refused: "},
      {"redirect to plain http", "certified", true, "was refused: the update is fetched over https only"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    Prepare(KRV_HTTPS_EDITION);
    const auto before = Files();
    TUpdateServer server(Root, 0);
    ASSERT_TRUE(server.Running());
    TTlsFront front(KRV_TEST_EDITION_PORT, c.Identity, server.Port, c.Redirect);
    ASSERT_TRUE(front.Running()) << "port " << KRV_TEST_EDITION_PORT << " is taken";
    TDownloaderRun r = Run();
    if (*c.Reason) {
      ExpectRefused(r, before, kDownloadFailedBox, c.Reason);
      EXPECT_EQ(server.ReadLine(300), "") << "nothing reached the plain server";
    } else {
      ExpectAccepted(r);
      EXPECT_EQ(front.Handshakes(), 2) << "the archive and its signature, each over TLS";
      EXPECT_NE(r.Stderr.find("KRVDownload: https://" KRV_HTTPS_EDITION_HOST "/mainweb/upgrade/GETFILE.ASP?FNM=" +
                              kRemoteName + "&XE3=1&VER=600000"),
                std::string::npos)
          << r.Stderr;
    }
  }
}

}  // namespace

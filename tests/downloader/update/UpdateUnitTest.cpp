// The update's pieces on their own: the server's request rules and its answers over loopback,
// DownloadArchive against the server (port chosen by the system), the main window's design and
// its handlers headless, the messages and the icon resource.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

#include "UpdateServer.h"
#include "UpdateTestUtil.h"
#include "downloader/DownloadJob.h"
#include "downloader/Main.h"
#include "downloader/Utils.h"
#include "platform/Resources.h"
#include "rtl/Exception.h"

using namespace krvtest;

namespace {

// Sends raw bytes to the server on 127.0.0.1 and answers everything it sends back (bounded).
std::string RawRequest(int port, const std::string& bytes) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(uint16_t(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  timeval tv{10, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  std::string out;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
    ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    char buf[65536];
    ssize_t n;
    while ((n = ::recv(fd, buf, sizeof buf, 0)) > 0) out.append(buf, size_t(n));
  }
  ::close(fd);
  return out;
}

TEST(UpdateServerRequest, RequestLineRules) {
  struct Case {
    const char* Line;
    int Status;
    const char* Name;
  } cases[] = {
      {"GET /mainweb/upgrade/GETFILE.ASP?FNM=dlKorvelFA_SQL_KO_KO_1001820.7z&XE3=1&VER=600000 HTTP/1.1", 0,
       "dlKorvelFA_SQL_KO_KO_1001820.7z"},
      {"HEAD /mainweb/upgrade/getfile.asp?XE3=1&fnm=a%20b.7z HTTP/1.0", 0, "a b.7z"},
      {"GET /mainweb/upgrade/GETFILE.ASP?FNM=a&b.7z HTTP/1.1", 0, "a"},
      {"GET /mainweb/upgrade/GETFILE.ASP?FNM=../etc/passwd HTTP/1.1", 400, ""},
      {"GET /mainweb/upgrade/GETFILE.ASP?FNM=..%2Fsecret HTTP/1.1", 400, ""},
      {"GET /mainweb/upgrade/GETFILE.ASP?FNM=sub/x.7z HTTP/1.1", 400, ""},
      {"GET /mainweb/upgrade/GETFILE.ASP?FNM=sub%2fx.7z HTTP/1.1", 400, ""},
      {"GET /mainweb/upgrade/GETFILE.ASP?FNM=a\\b HTTP/1.1", 400, ""},
      {"GET /mainweb/upgrade/GETFILE.ASP?FNM=.. HTTP/1.1", 400, ""},
      {"GET /mainweb/upgrade/GETFILE.ASP?FNM=a%0Ab HTTP/1.1", 400, ""},
      {"GET /mainweb/upgrade/GETFILE.ASP?FNM=%zz HTTP/1.1", 400, ""},
      {"GET /mainweb/upgrade/GETFILE.ASP?FNM=%4 HTTP/1.1", 400, ""},
      {"GET /mainweb/upgrade/GETFILE.ASP?FNM= HTTP/1.1", 400, ""},
      {"GET /mainweb/upgrade/GETFILE.ASP?XE3=1 HTTP/1.1", 400, ""},
      {"GET /mainweb/upgrade/GETFILE.ASP HTTP/1.1", 400, ""},
      {"GET /other?FNM=a.7z HTTP/1.1", 404, ""},
      {"POST /mainweb/upgrade/GETFILE.ASP?FNM=a.7z HTTP/1.1", 405, ""},
      {"GET /mainweb/upgrade/GETFILE.ASP?FNM=a.7z HTTP/2", 400, ""},
      {"GET /mainweb/upgrade/GETFILE.ASP?FNM=a.7z", 400, ""},
      {"GET  /mainweb/upgrade/GETFILE.ASP?FNM=a.7z HTTP/1.1", 400, ""},
      {"", 400, ""},
  };
  for (const Case& c : cases) {
    krvupdate::TRequest r = krvupdate::ParseRequestLine(c.Line);
    EXPECT_EQ(r.Status, c.Status) << c.Line;
    if (c.Status == 0) {
      EXPECT_EQ(r.FileName, c.Name) << c.Line;
    } else {
      EXPECT_FALSE(r.Reason.empty()) << c.Line;
    }
  }
}

class UpdateServerTest : public ::testing::Test {
 protected:
  TTempDir Dir;
};

TEST_F(UpdateServerTest, AnswersFilesErrorsAndLogsOneLinePerRequest) {
  fs::create_directories(Dir.Path() / "root");
  WriteFile(Dir / "root/a.7z", std::string(100000, 'z'));
  WriteFile(Dir / "secret", "secret");
  fs::create_directories(Dir.Path() / "root/folder.7z");
  fs::create_symlink(Dir / "secret", Dir.Path() / "root/link.7z");
  TUpdateServer server(Dir / "root", 0);
  ASSERT_TRUE(server.Running());
  struct Case {
    std::string Request;
    std::string StatusLine;
    size_t BodySize;  // of a 200 answer
  } cases[] = {
      {"GET /mainweb/upgrade/GETFILE.ASP?FNM=a.7z&XE3=1&VER=600000 HTTP/1.1\r\nHost: x\r\n\r\n", "HTTP/1.1 200 OK",
       100000},
      {"HEAD /mainweb/upgrade/GETFILE.ASP?FNM=a.7z HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK", 0},
      {"GET /mainweb/upgrade/GETFILE.ASP?FNM=missing.7z HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found", 0},
      {"GET /mainweb/upgrade/GETFILE.ASP?FNM=folder.7z HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found", 0},
      {"GET /mainweb/upgrade/GETFILE.ASP?FNM=link.7z HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found", 0},
      {"GET /mainweb/upgrade/GETFILE.ASP?FNM=../secret HTTP/1.1\r\n\r\n", "HTTP/1.1 400 Bad Request", 0},
      {"GARBAGE\r\n\r\n", "HTTP/1.1 400 Bad Request", 0},
      {"GET /mainweb/upgrade/GETFILE.ASP?FNM=a.7z HTTP/1.1\r\nX: " + std::string(20000, 'x'),
       "HTTP/1.1 400 Bad Request", 0},
  };
  for (const Case& c : cases) {
    std::string answer = RawRequest(server.Port, c.Request);
    EXPECT_EQ(answer.substr(0, answer.find("\r\n")), c.StatusLine) << c.Request.substr(0, 80);
    EXPECT_EQ(answer.find("secret\n"), std::string::npos);
    if (c.StatusLine.find("200") != std::string::npos) {
      EXPECT_NE(answer.find("Content-Length: 100000\r\n"), std::string::npos);
      EXPECT_EQ(answer.size() - (answer.find("\r\n\r\n") + 4), c.BodySize);
    }
    std::string log = server.ReadLine(10000);
    EXPECT_NE(log.find("127.0.0.1:"), std::string::npos) << log;
    EXPECT_NE(log.find(" " + c.StatusLine.substr(9, 3) + " "), std::string::npos) << log;
  }
  EXPECT_EQ(server.ReadLine(300), "") << "one line per request";
}

TEST_F(UpdateServerTest, BadCommandLinesGetAClearErrorAndExitCode2) {
  const std::vector<std::string> cases = {"", "--root", "--root /nonexistent-krv-folder", "--root . --port x",
                                          "--root . --port 70000", "--root . --bind nohost",
                                          "--root . --rate 0", "--root . --bogus 1"};
  for (const std::string& args : cases) {
    int status = std::system(("timeout 20 " + std::string(KRV_UPDATE_SERVER) + " " + args + " 2>/dev/null").c_str());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << args << ": " << status;
    std::string out = Capture(std::string(KRV_UPDATE_SERVER) + " " + args + " 2>&1");
    EXPECT_NE(out.find("krv-update-server: "), std::string::npos) << args;
  }
}

// DownloadArchive in this process against the server; the settings are the shipped ones.
class DownloadJobTest : public UpdateServerTest {
 protected:
  void SetUp() override {
    fs::create_directories(Dir.Path() / "root");
    fs::create_directories(Dir.Path() / "folder");
    Folder = (Dir.Path() / "folder").string() + "/";
    Local = Folder + "dlDownloadFA_SQL_KO_KO_1001820.7z";
    Remote = Dir / "root/dlKorvelFA_SQL_KO_KO_1001820.7z";
    downloader::SetWriteLogWatcher([](const rtl::String& s) { Log().push_back(rtl::U8(s)); });
    Log().clear();
  }
  void TearDown() override { downloader::SetWriteLogWatcher(nullptr); }
  static std::vector<std::string>& Log() {
    static std::vector<std::string> log;
    return log;
  }
  bool Download(int port) {
    downloader::SetUpdateHost(rtl::S("127.0.0.1:" + std::to_string(port)));
    return downloader::DownloadArchive(downloader::TargetPrefix, downloader::Localization, downloader::Version,
                                       rtl::S(Folder));
  }
  std::string Folder, Local, Remote;
};

TEST_F(DownloadJobTest, NamesAreBuiltByPlainSubstitution) {
  EXPECT_EQ(rtl::U8(downloader::ArchiveName(u"/f/dlDownloadFA", u"KO", u"1001820")),
            "/f/dlDownloadFA_SQL_KO_KO_1001820.7z");
  EXPECT_EQ(rtl::U8(downloader::DownloadUrl(u"h:81", u"dl Korvel&FA", u"K O", u"1&2")),
            "http://h:81/mainweb/upgrade/GETFILE.ASP?FNM=dl Korvel&FA_SQL_K O_K O_1&2.7z&XE3=1&VER=600000");
  EXPECT_EQ(rtl::U8(downloader::DownloadFailedMessage()),
            "File \"dlKorvelFA_SQL_KO_KO_1001820.7z\" could not be downloaded from ftp! Probably does not exists on "
            "ftp yet.");
  EXPECT_EQ(rtl::U8(downloader::ExecuteFailedMessage(u"/a b/KorvelFA.exe")), "Execute command '/a b/KorvelFA.exe' failed!");
}

TEST_F(DownloadJobTest, ArchiveArrivesWholeAndReplacesAnOldOne) {
  std::string bytes;
  for (uint32_t i = 0; i < 3000000; ++i) bytes.push_back(char(i * 7919u >> 3));
  WriteFile(Remote, bytes);
  WriteFile(Local, std::string(5000000, 'o'));  // left by an earlier run, longer than the new one
  TUpdateServer server(Dir / "root", 0);
  ASSERT_TRUE(server.Running());
  ASSERT_TRUE(Download(server.Port));
  EXPECT_TRUE(ReadFile(Local) == bytes) << "size " << fs::file_size(Local);
  std::string log = server.ReadLine(10000);
  EXPECT_NE(log.find("\"GET /mainweb/upgrade/GETFILE.ASP?FNM=dlKorvelFA_SQL_KO_KO_1001820.7z&XE3=1&VER=600000 HTTP/1.1\" 200 3000000"),
            std::string::npos)
      << log;
  ASSERT_EQ(Log().size(), 2u);
  EXPECT_EQ(Log()[0], "http://127.0.0.1:" + std::to_string(server.Port) +
                          "/mainweb/upgrade/GETFILE.ASP?FNM=dlKorvelFA_SQL_KO_KO_1001820.7z&XE3=1&VER=600000");
  EXPECT_EQ(Log()[1], "Transfer complete");
}

TEST_F(DownloadJobTest, FailuresLeaveNoFileAndAnswerFalse) {
  // A missing archive (404), nothing listening, and a server killed in the middle of a transfer.
  WriteFile(Remote, std::string(4000000, 'a'));
  for (int kind = 0; kind < 3; ++kind) {
    SCOPED_TRACE(kind);
    Log().clear();
    WriteFile(Local, "old");
    bool ok = true;
    if (kind == 0) {
      TUpdateServer server(Dir / "root", 0);
      fs::rename(Remote, Remote + ".away");
      ok = Download(server.Port);
      fs::rename(Remote + ".away", Remote);
    } else if (kind == 1) {
      int port;
      {
        TUpdateServer server(Dir / "root", 0);
        port = server.Port;
      }
      ok = Download(port);
    } else {
      TUpdateServer server(Dir / "root", 0, {"--rate", "400000"});
      std::thread killer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        server.Kill(SIGKILL);
      });
      ok = Download(server.Port);
      killer.join();
    }
    EXPECT_FALSE(ok);
    EXPECT_FALSE(fs::exists(Local));
    ASSERT_FALSE(Log().empty());
    EXPECT_EQ(Log().back(), "Download from ftp failed.");
  }
}

// The archive is written through a buffer; its last write comes after the body has arrived and
// a failure there (a full disk) still fails the download.
TEST_F(DownloadJobTest, FailedLastWriteFailsTheDownload) {
  if (::access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
  WriteFile(Remote, std::string(1000, 'a'));  // far smaller than the buffer: one write at the end
  fs::create_symlink("/dev/full", Local);
  TUpdateServer server(Dir / "root", 0);
  ASSERT_TRUE(server.Running());
  EXPECT_FALSE(Download(server.Port));
  ASSERT_FALSE(Log().empty());
  EXPECT_EQ(Log().back(), "Download from ftp failed.");
  for (const std::string& line : Log()) EXPECT_NE(line, "Transfer complete");
}

TEST_F(DownloadJobTest, LocalFileThatCannotBeCreatedRaisesAndIsNotDeleted) {
  fs::create_directories(Local);  // a folder where the archive should go
  WriteFile(Local + "/keep", "x");
  EXPECT_THROW(Download(1), rtl::EFCreateError);
  EXPECT_TRUE(fs::exists(Local + "/keep"));
  for (const std::string& line : Log()) EXPECT_NE(line, "Download from ftp failed.");
}

TEST(MainWindow, DesignAndHandlersHeadless) {
  setenv("KRV_GUI", "headless", 1);
  platform::gui::Application().Initialize();
  auto* form = platform::gui::Application().CreateForm<downloader::TMainForm>();
  EXPECT_EQ(rtl::U8(form->Caption()), "Downloader");
  EXPECT_EQ(form->ClientWidth, 437);
  EXPECT_EQ(form->ClientHeight, 96);
  EXPECT_EQ(form->BorderStyle, platform::gui::bsSingle);
  EXPECT_EQ(form->BorderIcons, uint32_t(platform::gui::biSystemMenu));
  EXPECT_EQ(form->Position, platform::gui::poScreenCenter);
  EXPECT_EQ(form->Font.Height, -11);
  const auto* l = form->lblMessage;
  EXPECT_EQ((std::vector<int>{l->Left(), l->Top(), l->Width(), l->Height()}), (std::vector<int>{16, 20, 401, 20}));
  EXPECT_FALSE(l->AutoSize);
  EXPECT_TRUE(l->Font.Bold && l->Font.Italic);
  EXPECT_EQ(l->Font.Height, -12);
  EXPECT_EQ(rtl::U8(l->Caption()), "Downloading Korvel X ...");
  const auto* p = form->progress;
  EXPECT_EQ((std::vector<int>{p->Left(), p->Top(), p->Width(), p->Height()}), (std::vector<int>{16, 47, 401, 25}));
  // FormCreate ran in CreateForm.
  EXPECT_EQ(p->Style(), platform::gui::pbstMarquee);
  EXPECT_EQ(p->MarqueeInterval(), 10);
  EXPECT_EQ(p->Max(), 400);
  EXPECT_TRUE(p->Smooth && p->SmoothReverse && p->Enabled);
  EXPECT_EQ(form->Timer1->Interval(), 500u);
  EXPECT_TRUE(form->Timer1->Enabled());
  int before = form->progress->Position();
  form->Timer1->OnTimer(form->Timer1);
  EXPECT_EQ(form->progress->Position(), before + form->progress->Step());
  platform::gui::Application().DestroyForms();
}

TEST(MainWindow, IconResourceIsOne32By32ImageWithAlpha) {
  std::vector<uint8_t> rgba;
  int w = 0, h = 0;
  ASSERT_TRUE(downloader::LoadMainIcon(rgba, w, h));
  EXPECT_EQ(w, 32);
  EXPECT_EQ(h, 32);
  ASSERT_EQ(rgba.size(), 32u * 32 * 4);
  EXPECT_EQ(rgba[3], 0) << "corner transparent";
  EXPECT_EQ(rgba[(16 * 32 + 4) * 4 + 3], 255) << "inside opaque";
  const platform::TResourceEntry* res = platform::FindResource(u"ICON", u"MAINICON");
  ASSERT_NE(res, nullptr);
  // Every cut of the resource is refused, never read past.
  for (size_t n = 0; n < res->Size; n += 97) {
    std::vector<uint8_t> cut(res->Data, res->Data + n), out;
    EXPECT_FALSE(downloader::DecodeIcon(cut.data(), cut.size(), out, w, h)) << n;
  }
  std::vector<uint8_t> bad(res->Data, res->Data + res->Size), out;
  bad[6 + 12] = 0xFF;  // image offset far past the end
  EXPECT_FALSE(downloader::DecodeIcon(bad.data(), bad.size(), out, w, h));
}

}  // namespace

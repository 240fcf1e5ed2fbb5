// The update's pieces on their own: DownloadArchive against the update server (port chosen by
// the system), the main window's design and its handlers headless, the messages and the icon
// resource.
#ifndef _WIN32
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#endif

#include <cstring>

#include "UpdateTestUtil.h"
#include "downloader/DownloadJob.h"
#include "downloader/Main.h"
#include "downloader/UpdateJob.h"
#include "downloader/Utils.h"
#include "platform/Resources.h"
#include "rtl/Exception.h"

using namespace krvtest;

namespace {

// DownloadArchive in this process against the server; the settings are the shipped ones.
class DownloadJobTest : public ::testing::Test {
 protected:
  TTempDir Dir;
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
        EXPECT_TRUE(WaitForTransfer(Folder, 100000, 30000));
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

#ifndef _WIN32
// The archive is written through a buffer; its last write comes after the body has arrived and
// a failure there (the file-size limit standing in for a full disk) still fails the download. A
// link at the archive's name is never written through: a good download replaces the link.
TEST_F(DownloadJobTest, FailedLastWriteFailsTheDownloadAndNoLinkIsFollowed) {
  WriteFile(Remote, std::string(1000, 'a'));  // far smaller than the buffer: one write at the end
  WriteFile(Dir / "target", "not ours");
  fs::create_symlink(Dir / "target", Local);
  TUpdateServer server(Dir / "root", 0);
  ASSERT_TRUE(server.Running());
  struct rlimit old {};
  ::getrlimit(RLIMIT_FSIZE, &old);
  struct rlimit small = old;
  small.rlim_cur = 500;
  auto oldSignal = ::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  bool ok = Download(server.Port);
  ::setrlimit(RLIMIT_FSIZE, &old);
  ::signal(SIGXFSZ, oldSignal);
  EXPECT_FALSE(ok);
  ASSERT_FALSE(Log().empty());
  EXPECT_EQ(Log().back(), "Download from ftp failed.");
  for (const std::string& line : Log()) EXPECT_NE(line, "Transfer complete");

  fs::create_symlink(Dir / "target", Local);
  ASSERT_TRUE(Download(server.Port));
  EXPECT_FALSE(fs::is_symlink(Local));
  EXPECT_EQ(ReadFile(Local), std::string(1000, 'a'));
  EXPECT_EQ(ReadFile(Dir / "target"), "not ours");
}

#endif

TEST_F(DownloadJobTest, LocalFileThatCannotBeCreatedRaisesAndIsNotDeleted) {
  fs::create_directories(Local);  // a folder where the archive should go
  WriteFile(Local + "/keep", "x");
  EXPECT_THROW(Download(1), rtl::EFCreateError);
  EXPECT_TRUE(fs::exists(Local + "/keep"));
  for (const std::string& line : Log()) EXPECT_NE(line, "Download from ftp failed.");
}

// The replaced files outlive the install only as long as the holder keeps the folder's lock.
TEST(InstallLeftovers, RemovedUnderTheLockWhenReleased) {
  TTempDir dir;
  fs::create_directories(dir.Path() / ".staging/sub");
  WriteFile(dir / ".staging/sub/old.dll", "replaced");
  platform::TOwnedFile folder(platform::OpenFolder(rtl::S(dir.Path().string())));
  platform::TOwnedFile lock(platform::LockFolder(folder.Get(), 0));
  ASSERT_TRUE(lock.Valid());
  auto leftovers = std::make_shared<downloader::TInstallLeftovers>(std::move(folder), std::move(lock), ".staging");
  platform::TOwnedFile probe(platform::OpenFolder(rtl::S(dir.Path().string())));
  EXPECT_FALSE(platform::TOwnedFile(platform::LockFolder(probe.Get(), 0)).Valid()) << "the lock is still held";
  EXPECT_TRUE(fs::exists(dir.Path() / ".staging/sub/old.dll"));
  leftovers.reset();
  EXPECT_FALSE(fs::exists(dir.Path() / ".staging"));
  EXPECT_TRUE(platform::TOwnedFile(platform::LockFolder(probe.Get(), 0)).Valid()) << "the lock went with them";
}

TEST(MainWindow, DesignAndHandlersHeadless) {
#ifdef _WIN32
  _putenv("KRV_GUI=headless");
#else
  setenv("KRV_GUI", "headless", 1);
#endif
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

#ifndef _WIN32
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

#endif

}  // namespace

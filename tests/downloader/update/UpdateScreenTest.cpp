// The test edition under a private Xvfb with the GTK backend: the window while a slow server
// trickles a 20 MiB archive (label text and a moving marquee in two screenshots one second
// apart), the error box of a missing archive, and the launch path loading neither GTK nor TLS.
#include <sys/stat.h>

#include <array>
#include <cctype>
#include <functional>

#include "../../platform/gui/ScreenTools.h"
#include "../../platform/gui/XvfbDisplay.h"
#include "UpdateTestUtil.h"

using namespace krvtest;

namespace {

// Pixels that differ between a region ("WxH+X+Y") of one image and a region of another, or -1
// when compare printed anything but a count (an error).
long DifferingPixels(const std::string& a, const std::string& cropA, const std::string& b, const std::string& cropB) {
  std::string out =
      ShellOutput("/usr/bin/compare -metric AE '" + a + "[" + cropA + "]' '" + b + "[" + cropB + "]' null: 2>&1");
  return !out.empty() && std::isdigit(static_cast<unsigned char>(out[0])) ? std::atol(out.c_str()) : -1;
}

std::string Crop(const TBox& x) {
  return std::to_string(x.W) + "x" + std::to_string(x.H) + "+" + std::to_string(x.X) + "+" + std::to_string(x.Y);
}

// Pixels that differ between what is not background in two images: -1 when those parts differ
// in size (then there is nothing to compare pixel by pixel).
long DifferingTrimmedPixels(const std::string& a, const std::string& b) {
  TBox ba, bb;
  if (!TrimBox(a, ba) || !TrimBox(b, bb) || ba.W != bb.W || ba.H != bb.H) return -1;
  return DifferingPixels(a, Crop(ba), b, Crop(bb));
}

// Waits at most seconds for a window of that title to be mapped on the display.
bool WaitForWindow(const std::string& title, int seconds) {
  for (int i = 0; i < seconds * 10; ++i) {
    if (ShellOutput("/usr/bin/xwininfo -root -tree 2>/dev/null").find("\"" + title + "\"") != std::string::npos)
      return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
}

bool Screenshot(const std::string& file) {
  int status = -1;
  ShellOutput("/usr/bin/import -window root '" + file + "' 2>&1", &status);
  return status == 0;
}

// Takes screenshots into file until the region of the window (what is not the black root) that
// region names is drawn: more than one colour, the same in two shots in a row (a window still
// being drawn changes between them). False when that does not happen within seconds.
bool ScreenshotWhenDrawn(const std::string& file, int seconds,
                         const std::function<TBox(const TBox&)>& region = [](const TBox& w) { return w; }) {
  const std::string previous = file + ".previous.png";
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  for (bool first = true; std::chrono::steady_clock::now() < until; first = false) {
    TBox window;
    if (!Screenshot(file)) return false;
    if (TrimBox("'" + file + "'", window)) {
      const std::string crop = Crop(region(window));
      const long colours = std::atol(ShellOutput("/usr/bin/convert '" + file + "[" + crop + "]' -format %k info: 2>/dev/null").c_str());
      if (colours > 1 && !first && DifferingPixels(file, crop, previous, crop) == 0) return !std::remove(previous.c_str());
    }
    fs::rename(file, previous);
  }
  return false;
}

// The label of the downloader's window.
TBox Label(const TBox& window) { return TBox{401, 20, window.X + 16, window.Y + 20}; }

pid_t Start(const std::vector<std::string>& argv, const std::vector<std::string>& env, const std::string& cwd) {
  pid_t pid = fork();
  if (pid == 0) {
    if (chdir(cwd.c_str()) != 0) _exit(126);
    for (const std::string& e : env) putenv(strdup(e.c_str()));
    unsetenv("KRV_GUI");
    int devnull = open("/dev/null", O_RDWR);
    dup2(devnull, 1);
    dup2(devnull, 2);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  return pid;
}

// Waits at most seconds for the child; its status, or -1 after killing it.
int WaitFor(pid_t pid, int seconds) {
  for (int i = 0; i < seconds * 10; ++i) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) return status;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  return -1;
}

class UpdateScreen : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!TXvfb::Start(why)) GTEST_SKIP() << "no X server: " << why;
    if (access("/usr/bin/import", X_OK) != 0 || access("/usr/bin/compare", X_OK) != 0)
      GTEST_SKIP() << "ImageMagick (import, compare, convert) is not installed";
    Base = fs::canonical(Dir.Path()).string();
    Folder = Base + "/folder";
    Root = Base + "/root";
    Desktop = Base + "/desktop";
    for (const std::string& d : {Folder, Root, Desktop}) fs::create_directories(d);
    Exe = Folder + "/KRVDownload";
    fs::copy_file(KRV_TEST_EDITION, Exe);
    Artifacts = std::string(KRV_BINARY_DIR) + "/artifacts";
    mkdir(Artifacts.c_str(), 0755);
  }
  TTempDir Dir;
  std::string Base, Folder, Root, Desktop, Exe, Artifacts;
};

TEST_F(UpdateScreen, LabelAndMovingMarqueeWhileATrickledArchiveArrives) {
  ASSERT_TRUE(MakeLargeProductArchive(KRV_UPDATE_PRODUCT, Base + "/src", Root));
  TUpdateServer server(Root, KRV_TEST_EDITION_PORT, {"--rate", "2700000"});  // about 8 s for the archive
  ASSERT_TRUE(server.Running());

  std::string a = Artifacts + "/krv-update-window.png", b = Base + "/second.png";
  std::remove(a.c_str());
  pid_t dl = Start({Exe}, {"XDG_DESKTOP_DIR=" + Desktop}, Folder);
  bool shown = WaitForWindow("Downloader", 20);
  bool shotA = shown && ScreenshotWhenDrawn(a, 20, Label);
  // The second shot once the marquee has moved (the bar's region differs from the first shot).
  bool shotB = false;
  for (int i = 0; shotA && !shotB && i < 100 && Screenshot(b); ++i) {
    TBox moved;
    shotB = TrimBox("'" + a + "' '" + b + "' -compose difference -composite -threshold 0", moved);
  }
  int status = WaitFor(dl, 120);
  ASSERT_TRUE(shotA) << "the window's label was not drawn";
  ASSERT_TRUE(shotB) << "the two screenshots stay identical: the marquee does not move";
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  std::string log = server.ReadLine(5000);
  EXPECT_NE(log.find("\" 200 "), std::string::npos) << "the download was still running: " << log;
  EXPECT_EQ(log.find("broken off"), std::string::npos) << log;

  // No window manager: what is not the black root is the client area, centred.
  TBox window;
  ASSERT_TRUE(TrimBox(a, window));
  EXPECT_EQ(window.W, 437);
  EXPECT_EQ(window.H, 96);
  TBox changed;
  ASSERT_TRUE(TrimBox(a + " " + b + " -compose difference -composite -threshold 0", changed))
      << "the two screenshots are identical: the marquee did not move";
  EXPECT_GE(changed.X, window.X + 16);
  EXPECT_LE(changed.X + changed.W, window.X + 16 + 401);
  EXPECT_GE(changed.Y, window.Y + 47);
  EXPECT_LE(changed.Y + changed.H, window.Y + 47 + 25);

  // The label, against the same window drawn by krv-gui-demo with a given caption: identical
  // for "Downloading KorvelFA.exe", different for the design-time caption.
  const std::string label = "401x20+" + std::to_string(window.X + 16) + "+" + std::to_string(window.Y + 20);
  long same = -1, other = -1;
  for (const char* caption : {"Downloading KorvelFA.exe", "Downloading Korvel X ..."}) {
    std::string ref = Base + "/ref.png";
    pid_t demo = Start({KRV_GUI_DEMO, "--seconds", "3", "--message", caption}, {}, Base);
    // Mapped, then its caption drawn (a slow start, as under the sanitizers, must not leave the
    // screenshot empty).
    ASSERT_TRUE(WaitForWindow("Downloader", 20));
    ASSERT_TRUE(ScreenshotWhenDrawn(ref, 20, Label));
    WaitFor(demo, 30);
    (same < 0 ? same : other) = DifferingPixels(a, label, ref, label);
  }
  EXPECT_EQ(same, 0) << "the label does not read \"Downloading KorvelFA.exe\"";
  EXPECT_GT(other, 0) << "the comparison cannot tell captions apart";
}

TEST_F(UpdateScreen, MissingArchiveShowsTheErrorBox) {
  if (access("/usr/bin/xwininfo", X_OK) != 0) GTEST_SKIP() << "xwininfo (x11-utils) is not installed";
  TUpdateServer server(Root, KRV_TEST_EDITION_PORT);
  ASSERT_TRUE(server.Running());
  pid_t dl = Start({Exe}, {"XDG_DESKTOP_DIR=" + Desktop}, Folder);
  bool boxShown = WaitForWindow("Error", 20);
  std::string shot = Artifacts + "/krv-update-error.png";
  bool shotOk = boxShown && ScreenshotWhenDrawn(shot, 20);  // drawn, not only mapped
  EXPECT_TRUE(boxShown) << "no window titled \"Error\" appeared";
  EXPECT_EQ(WaitFor(dl, 1), -1) << "the downloader must wait for the box to be closed";
  EXPECT_TRUE(shotOk);
  // The error icon: a red disc of some thousand pixels; nothing else on the screen is red.
  if (shotOk) {
    EXPECT_GT(PixelsNear(shot, "#cc0000", 25), 500) << "the box shows no error icon";
    // The text, against the same box drawn by krv-gui-demo: identical for the expected message,
    // different for another one.
    const std::string expected =
        "File \"dlKorvelFA_SQL_KO_KO_1001820.7z\" could not be downloaded from ftp! Probably does not exists on ftp yet.";
    long same = -1, other = -1;
    for (const std::string& text : {expected, std::string("Execute command '/x/KorvelFA.exe' failed!")}) {
      std::string ref = Base + "/ref-box.png";
      pid_t demo = Start({KRV_GUI_DEMO, "--error-box", text}, {}, Base);
      bool refShown = WaitForWindow("Error", 20);
      ASSERT_TRUE(refShown && ScreenshotWhenDrawn(ref, 20));
      WaitFor(demo, 0);
      (same < 0 ? same : other) = DifferingTrimmedPixels(shot, ref);
    }
    EXPECT_EQ(same, 0) << "the box does not show the missing-archive message";
    EXPECT_NE(other, 0) << "the comparison cannot tell messages apart";
  }
  EXPECT_TRUE(fs::exists(Folder + "/KRVDownload"));
  for (const auto& e : fs::directory_iterator(Folder))
    EXPECT_NE(e.path().extension(), ".7z") << e.path() << " was left behind";
  EXPECT_NE(server.ReadLine(5000).find("\" 404 "), std::string::npos);
}

TEST(LaunchPath, LoadsNeitherGtkNorTls) {
  // The verified editions too: their key and scheme cost the launch path nothing.
  for (const char* edition : {KRV_TEST_EDITION, KRV_SIGNED_EDITION, KRV_HTTPS_EDITION}) {
    SCOPED_TRACE(edition);
    TTempDir dir;
    std::string folder = fs::canonical(dir.Path()).string();
    fs::copy_file(edition, folder + "/KRVDownload");
    fs::copy_file(KRV_UPDATE_PRODUCT, folder + "/KorvelFA.exe");
    // A display is named (unreachable): the launch path must not even try the toolkit.
    std::string out =
        ShellOutput("cd '" + folder + "' && env DISPLAY=:59999 LD_DEBUG=libs timeout 60 ./KRVDownload 2>&1");
    EXPECT_NE(out.find("calling init"), std::string::npos) << "the loader's report is missing";
    for (const char* lib : {"libgtk", "libgdk", "libssl", "libcrypto", "krv_gui_gtk", "libkrvcrypto", "libkrvtls"})
      EXPECT_EQ(out.find(lib), std::string::npos) << lib << " loaded on the launch path";
  }
}

}  // namespace

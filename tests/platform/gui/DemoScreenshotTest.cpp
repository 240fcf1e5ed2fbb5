// The demo window under a private Xvfb: two screenshots one second apart must show the marquee
// in a different place, and the changes must lie inside the progress bar of the 437 x 96
// window. One screenshot is kept as an artifact.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "GtkLeakSuppressions.h"
#include "ScreenTools.h"
#include "XvfbDisplay.h"

namespace {

using krvtest::ShellOutput;
using krvtest::TBox;
using krvtest::TrimBox;

TEST(DemoWindow, MarqueeMovesBetweenTwoScreenshots) {
  std::string why;
  if (!krvtest::TXvfb::Start(why)) GTEST_SKIP() << "no X server: " << why;
  if (access("/usr/bin/import", X_OK) != 0 || access("/usr/bin/convert", X_OK) != 0)
    GTEST_SKIP() << "ImageMagick (import, convert) is not installed";
  std::string dir = std::string(KRV_BINARY_DIR) + "/artifacts";
  mkdir(dir.c_str(), 0755);
  std::string a = dir + "/krv-gui-demo.png", b = dir + "/krv-gui-demo-2.png";
  std::remove(a.c_str());
  std::remove(b.c_str());

  pid_t demo = fork();
  if (demo == 0) {
    execl(KRV_DEMO_PROGRAM, "krv-gui-demo", "--seconds", "6", (char*)nullptr);
    _exit(127);
  }
  ASSERT_GT(demo, 0);
  // The window stays for six seconds from its first showing; take the first picture once it is
  // there (a loaded machine may need a while to start the program).
  int s1 = -1, s2 = -1;
  TBox window;
  for (int i = 0; i < 40; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    ShellOutput("/usr/bin/import -window root " + a + " 2>&1", &s1);
    if (s1 == 0 && TrimBox(a, window) && window.W == 437) break;
  }
  // Its first activation sets the label right after the first showing: let that settle.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  ShellOutput("/usr/bin/import -window root " + a + " 2>&1", &s1);
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  ShellOutput("/usr/bin/import -window root " + b + " 2>&1", &s2);
  int status = 0;
  waitpid(demo, &status, 0);
  ASSERT_EQ(s1, 0);
  ASSERT_EQ(s2, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "demo status " << status;

  // Without a window manager the window has no frame: what is not the black root is the client
  // area, centred on the 1024 x 768 screen.
  ASSERT_TRUE(TrimBox(a, window));
  EXPECT_EQ(window.W, 437);
  EXPECT_EQ(window.H, 96);
  EXPECT_NEAR(window.X, (1024 - 437) / 2, 2);
  EXPECT_NEAR(window.Y, (768 - 96) / 2, 2);

  // What changed in one second: only inside the bar (left 16, top 47, 401 x 25).
  TBox changed;
  ASSERT_TRUE(TrimBox(a + " " + b + " -compose difference -composite -threshold 0", changed))
      << "the two screenshots are identical: the marquee did not move";
  EXPECT_GT(changed.W, 0);
  EXPECT_GE(changed.X, window.X + 16);
  EXPECT_LE(changed.X + changed.W, window.X + 16 + 401);
  EXPECT_GE(changed.Y, window.Y + 47);
  EXPECT_LE(changed.Y + changed.H, window.Y + 47 + 25);
  std::remove(b.c_str());  // the first one stays as the artifact
}

}  // namespace

namespace {

TEST(DemoProgram, LaunchPathDoesNotNeedGtk) {
  int status = -1;
  std::string needed = ShellOutput(std::string("readelf -d ") + KRV_DEMO_PROGRAM + " 2>&1 | grep NEEDED", &status);
  ASSERT_EQ(status, 0) << needed;
  EXPECT_NE(needed.find("libc.so"), std::string::npos) << needed;
  for (const char* lib : {"libgtk", "libgdk", "libglib", "libgobject", "libX11"})
    EXPECT_EQ(needed.find(lib), std::string::npos) << lib << " in\n" << needed;
}

TEST(DemoProgram, BadArgumentsGetAClearErrorAndExitCode2) {
  const std::vector<std::string> cases = {"--seconds", "--seconds x", "--seconds -1", "--seconds 99999999",
                                          "--message", "--bogus"};
  for (const std::string& args : cases) {
    int status = -1;
    std::string out = ShellOutput("KRV_GUI=headless " + std::string(KRV_DEMO_PROGRAM) + " " + args + " 2>&1", &status);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << args << ": " << status;
    EXPECT_NE(out.find("krv-gui-demo: "), std::string::npos) << args;
    EXPECT_NE(out.find("usage:"), std::string::npos) << args;
  }
}

TEST(DemoProgram, RunsHeadlessAndEndsByItself) {
  int status = -1;
  std::string out = ShellOutput("env -u DISPLAY -u WAYLAND_DISPLAY timeout 20 " + std::string(KRV_DEMO_PROGRAM) +
                              " --seconds 1 2>&1",
                          &status);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << out;
  EXPECT_NE(out.find("headless backend"), std::string::npos) << out;
  unsigned long long moves = 0;
  auto at = out.find("marquee moved ");
  ASSERT_NE(at, std::string::npos) << out;
  std::sscanf(out.c_str() + at, "marquee moved %llu", &moves);
  EXPECT_GE(moves, 20u) << "about 100 moves a second while the demo pumps messages";
}

}  // namespace

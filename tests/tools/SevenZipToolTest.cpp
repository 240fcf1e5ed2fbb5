// The krv-7z program on the same archives, against what `7z x` extracts.
#include <gtest/gtest.h>

#include <cstdio>

#include "TestUtil.h"
#ifndef _WIN32
#include "tests/platform/gui/XvfbDisplay.h"
#endif

using namespace sztest;

namespace {

const std::string kTool = std::string(KRV_BINARY_DIR) + "/tools/krv-7z/krv-7z";

using TResult = krvtest::THostRun;

// Started by the host's shell as a user's shell starts it (on Windows through Wine), with `env`
// before it; tool is the program's path without ".exe".
TResult RunToolAt(const std::string& tool, const std::string& args, const std::string& env = "") {
  return krvtest::RunHostCaptured(env + " " + krvtest::BuildProgram(tool) + " " + args);
}
TResult RunTool(const std::string& args, const std::string& env = "") { return RunToolAt(kTool, args, env); }

class ToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteFile(S / "src/top.txt", "top\n");
    WriteFile(S / "src/Dir/a.txt", PseudoRandom(70000, 9));
    WriteFile(S / "src/Dir/b.txt", "b\n");
    WriteFile(S / "src/bin/tool", "#!/bin/sh\n");
    fs::permissions(S / "src/bin/tool", fs::perms(0750));
    fs::create_directories(S / "src/empty");
    for (auto& e : fs::recursive_directory_iterator(S / "src"))
      if (e.is_regular_file()) SetMTime(e.path(), 1650000003);
    ASSERT_TRUE(Make7z(S / "t.7z", S / "src"));
  }
  std::string A(const std::string& name) { return Quote((S / name).string()); }
  TScratch S;
};

TEST_F(ToolTest, ExtractMatchesSevenZip) {
  ASSERT_TRUE(Extract7z(S / "t.7z", S / "ref"));
  TResult r = RunTool("x " + A("t.7z") + " -o " + A("out"));
  EXPECT_EQ(r.Code, 0) << r.Err;
  EXPECT_EQ(r.Err, "");
  auto ref = Tree(S / "ref");
  for (auto& [k, v] : ref) v.MTime -= v.MTime % 2;
  EXPECT_EQ(Describe(Tree(S / "out")), Describe(ref));
  EXPECT_EQ(Tree(S / "out"), ref);
}

TEST_F(ToolTest, CommandsAndOptions) {
  WriteFile(S / "src2/p.txt", "secret text");
  ASSERT_TRUE(Make7z(S / "enc.7z", S / "src2", "-pPw -mhe=on"));
  ASSERT_TRUE(Make7z(S / "sfx.exe", S / "src2", "-sfx"));
  WriteFile(S / "pre/Dir/b.txt", "old");
  struct {
    const char* what;
    std::string args;
    int code;
    std::string errContains;
    std::string checkFile;  // relative to the scratch folder, "" for none
    std::string content;    // expected content; "-" means the file must not exist
  } cases[] = {
      {"test", "t " + A("t.7z") + " -o " + A("tout"), 0, "", "tout", "-"},
      {"selection", "x " + A("t.7z") + " -o " + A("sel") + " DIR/B.TXT", 0, "", "sel/Dir/b.txt", "b\n"},
      {"selection leaves others", "x " + A("t.7z") + " -o " + A("sel2") + " dir/b.txt", 0, "", "sel2/top.txt", "-"},
      {"no path", "x " + A("t.7z") + " --no-path -o " + A("flat"), 0, "", "flat/b.txt", "b\n"},
      {"no overwrite", "x " + A("t.7z") + " -o " + A("pre"), 0, "", "pre/Dir/b.txt", "old"},
      {"overwrite", "x " + A("t.7z") + " --overwrite -o" + A("pre"), 0, "", "pre/Dir/b.txt", "b\n"},
      {"password", "x " + A("enc.7z") + " -p Pw -o " + A("pw"), 0, "", "pw/p.txt", "secret text"},
      {"wrong password", "x " + A("enc.7z") + " -pnope -o " + A("pw2"), 2,
       "message 1 File not found: " + (S / "enc.7z").string() + "\n", "pw2/p.txt", "-"},
      {"self-extractor", "x " + A("sfx.exe") + " -o " + A("sfx"), 0, "", "sfx/p.txt", "secret text"},
      {"missing archive", "x " + A("none.7z") + " -o " + A("none"), 2,
       "message 1 File not found: " + (S / "none.7z").string() + "\n", "none", "-"},
      {"index out of range", "x " + A("t.7z") + " -o " + A("oor") + " 99", 2, "message 5 Index out of Range: \n",
       "oor", "-"},
      {"double dash ends the options", "x " + A("t.7z") + " -o " + A("x") + " -- --overwrite", 2, "message 5 Index out of Range", "x",
       "-"},
      {"no arguments", "", 2, "usage: krv-7z", "", ""},
      {"unknown command", "e " + A("t.7z"), 2, "unknown command 'e'", "", ""},
      {"unknown option", "x " + A("t.7z") + " --force", 2, "unknown option '--force'", "", ""},
      {"missing value", "x " + A("t.7z") + " -o", 2, "option -o needs a value", "", ""},
      {"missing archive name", "t", 2, "missing archive name", "", ""},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.what);
    TResult r = RunTool(c.args);
    EXPECT_EQ(r.Code, c.code) << r.Err;
    if (c.errContains.empty())
      EXPECT_EQ(r.Err, "");
    else
      EXPECT_NE(r.Err.find(c.errContains), std::string::npos) << r.Err;
    if (c.checkFile.empty()) continue;
    if (c.content == "-")
      EXPECT_FALSE(fs::exists(S / c.checkFile));
    else
      EXPECT_EQ(ReadFile(S / c.checkFile), c.content);
  }
}

TEST_F(ToolTest, DamagedItemAndVolumes) {
  WriteFile(S / "d/1.txt", std::string(3000, 'A'));
  WriteFile(S / "d/2.txt", std::string(3000, 'B'));
  ASSERT_TRUE(Make7z(S / "bad.7z", S / "d", "-mx0 -ms=off", "1.txt 2.txt"));
  std::string bytes = ReadFile(S / "bad.7z");
  bytes[40] ^= 0x55;
  WriteFile(S / "bad.7z", bytes);
  TResult r = RunTool("x " + A("bad.7z") + " -o " + A("bad") + " --overwrite");
  // The library's result is 0: the damage shows in the message, the exit code follows Extract.
  EXPECT_EQ(r.Code, 0);
  // What becomes of the files is the archive component's (sevenzip_tests).
  EXPECT_EQ(r.Err, "message 3 CRC Error: " + (S / "bad/1.txt").string() + "\n");

  WriteFile(S / "v/big.bin", PseudoRandom(400000, 5));
  ASSERT_TRUE(Make7z(S / "vol.7z", S / "v", "-v120k"));
  r = RunTool("x " + A("vol.7z.001") + " -o " + A("vol"));
  EXPECT_EQ(r.Code, 0) << r.Err;
  EXPECT_EQ(ReadFile(S / "vol/big.bin"), PseudoRandom(400000, 5));
  fs::remove(S / "vol.7z.003");
  r = RunTool("x " + A("vol.7z.001") + " -o " + A("vol2"));
  EXPECT_EQ(r.Code, 2);
  EXPECT_NE(r.Err.find("message 1 File not found"), std::string::npos) << r.Err;
}

#ifndef _WIN32
// With a display there, a missing volume is still a message and an exit code: no dialog waits.
TEST_F(ToolTest, MissingVolumeOpensNoWindowUnderADisplay) {
  std::string why;
  if (!krvtest::TXvfb::Start(why)) GTEST_SKIP() << why;
  WriteFile(S / "v/big.bin", PseudoRandom(300000, 5));
  ASSERT_TRUE(Make7z(S / "vol.7z", S / "v", "-v100k -mx0"));
  fs::remove(S / "vol.7z.002");
  for (const char* first : {"vol.7z.001", "vol.7z"}) {
    SCOPED_TRACE(first);
    if (std::string(first) == "vol.7z") fs::rename(S / "vol.7z.001", S / "vol.7z");
    // Bounded: a dialog would keep the tool waiting until the time-out ends it (exit 124).
    TResult r = RunTool("x " + A(first) + " -o " + A("out"), "DISPLAY=" + std::string(getenv("DISPLAY")) + " timeout 30");
    EXPECT_EQ(r.Code, 2) << r.Err;
    EXPECT_NE(r.Err.find("krv-7z: missing volume: "), std::string::npos) << r.Err;
    EXPECT_NE(r.Err.find("message 1 File not found: " + (S / first).string()), std::string::npos) << r.Err;
  }
}

#endif

TEST_F(ToolTest, LibraryMissing) {
#ifdef _WIN32
  const std::string name = "7z.dll";
#else
  const std::string name = "7z.so";
#endif
  const std::string expected =
      "error: Could not load CreateObject function from " + name + "\r\nPerhaps " + name + " not found\n";
  TResult r = RunTool("x " + A("t.7z") + " -o " + A("out"), "KRV_7Z_LIBRARY=" + A("absent." + name.substr(3)));
  EXPECT_EQ(r.Code, 2);
  EXPECT_EQ(r.Err, expected);
  EXPECT_FALSE(fs::exists(S / "out"));
#ifdef _WIN32
  // The program alone in a folder: the DLL is looked for beside it only, never in the current
  // folder (here the build's, which has one).
  fs::create_directories(S / "alone");
  fs::copy_file(kTool + ".exe", S / "alone/krv-7z.exe");
  r = RunToolAt(HostPath(S / "alone/krv-7z"), "x " + A("t.7z") + " -o " + A("out"),
                "cd " + Quote(fs::path(KRV_BINARY_DIR) / "tools/krv-7z") + " &&");
  EXPECT_EQ(r.Code, 2);
  EXPECT_EQ(r.Err, expected);
  EXPECT_FALSE(fs::exists(S / "out"));
#endif
}

}  // namespace

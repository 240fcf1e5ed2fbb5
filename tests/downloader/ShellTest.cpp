// The shell "open": splitting the parameter string, starting a program, and the failures.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "TestUtil.h"
#include "platform/LastError.h"
#include "platform/Shell.h"

using rtl::String;

namespace {

TEST(CommandLineToArgs, Rules) {
  struct Case {
    const char16_t* line;
    std::vector<String> args;
  };
  const Case cases[] = {
      {u"", {}},
      {u"   \t ", {}},
      {u"a b", {u"a", u"b"}},
      {u"  a \t  b  ", {u"a", u"b"}},
      {u"\"a b\" c", {u"a b", u"c"}},
      {u" /ini=\"C:\\My Files\\a.ini\" /L=EN x", {u"/ini=C:\\My Files\\a.ini", u"/L=EN", u"x"}},
      {u"a\\\\b", {u"a\\\\b"}},               // backslashes not before a quote are literal
      {u"a\\\"b", {u"a\"b"}},                 // \" is a quote
      {u"a\\\\\\\"b", {u"a\\\"b"}},           // \\\" is a backslash and a quote
      {u"\"a\\\\\" b", {u"a\\", u"b"}},       // \\" is a backslash, the quote closes
      {u"\"\"", {u""}},                       // an empty argument
      {u"a \"\" b", {u"a", u"", u"b"}},
      {u"\"a\"\"b\"", {u"a\"b"}},             // "" inside quotes is a quote
      {u"\"a\"\"b c\"", {u"a\"b", u"c"}},     // ...and ends the quoted stretch
      {u"\"\"\"", {u"\""}},
      {u"a\"b c\"d", {u"ab cd"}},             // quotes may sit inside an argument
      {u"\"unterminated arg", {u"unterminated arg"}},
      {u"a\nb", {u"a\nb"}},                   // only blanks and tabs separate
      {u"Čšž \"€ x\"", {u"Čšž", u"€ x"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(rtl::U8(c.line));
    EXPECT_EQ(platform::CommandLineToArgs(c.line), c.args);
  }
}

class ShellOpen : public ::testing::Test {
 protected:
  krvtest::TTempDir dir;
};

TEST_F(ShellOpen, FailuresGiveWindowsErrorNumbers) {
  krvtest::WriteFile(dir / "noexec", "#!/bin/sh\nexit 0\n");
  ::chmod((dir / "noexec").c_str(), 0644);
  krvtest::WriteFile(dir / "garbage", "this is no program");
  ::chmod((dir / "garbage").c_str(), 0755);
  ::mkdir((dir / "folder").c_str(), 0755);
  struct Case {
    const char* name;
    const char16_t* verb;
    std::string file, directory;
    intptr_t result;
  };
  const std::string product = KRV_PRODUCT_NOVER;
  const Case cases[] = {
      {"missing file", u"open", dir / "missing", "", platform::ERROR_FILE_NOT_FOUND},
      {"missing folder", u"open", dir / "nowhere/missing", "", platform::ERROR_PATH_NOT_FOUND},
      {"no execute bit", u"open", dir / "noexec", "", platform::ERROR_ACCESS_DENIED},
      {"not a program", u"open", dir / "garbage", "", platform::ERROR_BAD_FORMAT},
      {"a folder", u"open", dir / "folder", "", platform::SE_ERR_NOASSOC},
      {"another verb", u"print", product, "", platform::SE_ERR_NOASSOC},
      {"empty file name", u"open", "", "", platform::ERROR_FILE_NOT_FOUND},
      {"missing working folder", u"open", product, dir / "nowhere", platform::ERROR_PATH_NOT_FOUND},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    intptr_t r = platform::ShellExecuteW(nullptr, c.verb, rtl::S(c.file), u"a b", rtl::S(c.directory),
                                         platform::SW_SHOWNORMAL);
    EXPECT_EQ(r, c.result);
    EXPECT_LE(r, 32);
    EXPECT_EQ(platform::GetLastErrorValue(), static_cast<uint32_t>(c.result));
  }
}

// Starts the product stand-in in-process through the shell and answers what it recorded.
krvtest::TRun OpenProduct(const String& verb, const String& params, const String& directory, intptr_t& result) {
  krvtest::TRun run;
  int fds[2];
  EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  // The write end must reach the product: a copy without close-on-exec at a known number.
  int w = ::fcntl(fds[1], F_DUPFD, 200);
  ::close(fds[1]);
  ::setenv("KRV_PRODUCT_FD", std::to_string(w).c_str(), 1);
  result = platform::ShellExecuteW(nullptr, verb, rtl::S(KRV_PRODUCT_NOVER), params, directory, platform::SW_SHOWNORMAL);
  ::unsetenv("KRV_PRODUCT_FD");
  ::close(w);
  std::string data;
  krvtest::ReadToEnd(fds[0], data);
  run.Record(data);
  ::close(fds[0]);
  return run;
}

TEST_F(ShellOpen, StartsTheProgramWithSplitArguments) {
  char cwd[4096];
  ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
  intptr_t result = 0;
  krvtest::TRun run = OpenProduct(u"open", u" /ini=\"/tmp/My Files/a.ini\" /L=EN a b \"\"", u"", result);
  EXPECT_GT(result, 32);
  EXPECT_EQ(platform::GetLastErrorValue(), 0u);
  ASSERT_TRUE(run.ProductStarted);
  EXPECT_EQ(run.Cwd, std::string(cwd));  // an empty folder keeps ours
  EXPECT_EQ(run.Args, (std::vector<std::string>{"/ini=/tmp/My Files/a.ini", "/L=EN", "a", "b", ""}));

  // An empty verb means "open"; a named folder becomes the program's working directory.
  run = OpenProduct(u"", u"", rtl::S(dir.Path().string()), result);
  EXPECT_GT(result, 32);
  ASSERT_TRUE(run.ProductStarted);
  EXPECT_EQ(run.Cwd, std::filesystem::canonical(dir.Path()).string());
  EXPECT_TRUE(run.Args.empty());
}

}  // namespace

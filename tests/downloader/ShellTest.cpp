// The shell "open" on both systems: splitting the parameter string, the program started with the
// split arguments (on Windows split by the child's own CommandLineToArgvW), and the failures.
#include <gtest/gtest.h>

#include "TestUtil.h"
#include "platform/LastError.h"
#include "platform/Shell.h"

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

using rtl::String;
namespace fs = std::filesystem;

namespace {

fs::path PathOf(const std::string& utf8) { return fs::path(std::u8string(utf8.begin(), utf8.end())); }

// Each rule of the splitting, checked on our splitter and on what the started program receives.
TEST(ShellOpen, TheProgramReceivesExactlyTheSplitArguments) {
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
      {u" /INI=\"C:\\dir\\\\\" next", {u"/INI=C:\\dir\\", u"next"}},
      {u"\"\"", {u""}},                       // an empty argument
      {u"a \"\" b", {u"a", u"", u"b"}},
      {u"\"a\"\"b\"", {u"a\"b"}},             // "" inside quotes is a quote
      {u"\"a\"\"b c\"", {u"a\"b", u"c"}},     // ...and ends the quoted stretch
      {u"\"\"\"", {u"\""}},
      {u"a\"b c\"d", {u"ab cd"}},             // quotes may sit inside an argument
      {u"\"unterminated arg", {u"unterminated arg"}},
      {u"a\nb", {u"a\nb"}},                   // only blanks and tabs separate
      {u"Čšž \"€ x\" 😀", {u"Čšž", u"€ x", u"😀"}},
  };
  krvtest::TTempDir dir;
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(rtl::U8(c.line));
    EXPECT_EQ(platform::CommandLineToArgs(c.line), c.args);

    // Every other case names a working folder (the others keep ours); every third gives no verb,
    // which means "open".
    const bool named = n % 2 == 1;
    krvtest::TShellRun run = krvtest::OpenProduct(n % 3 == 0 ? u"" : u"open", c.line,
                                                  named ? krvtest::NativePath(dir.Path()) : String());
    ++n;
    EXPECT_GT(run.Result, 32);
    EXPECT_EQ(run.Error, 0u);
    std::vector<std::string> expected;
    for (const String& a : c.args) expected.push_back(rtl::U8(a));
    EXPECT_EQ(run.Args, expected);
    EXPECT_TRUE(run.ProductStarted && fs::equivalent(PathOf(run.Cwd), named ? dir.Path() : fs::current_path()))
        << run.Cwd;
  }
}

TEST(ShellOpen, FailuresGiveWindowsErrorNumbers) {
  krvtest::TTempDir dir;
  krvtest::WriteFile(dir / "garbage.exe", "this is no program");
  fs::permissions(dir / "garbage.exe", fs::perms(0755));
  fs::create_directory(dir / "folder");
  struct Case {
    const char* name;
    const char16_t* verb;
    std::string file, directory;
    intptr_t result;
  };
  const std::string product = KRV_PRODUCT_NOVER;
  const Case cases[] = {
      {"missing file", u"open", dir / "missing.exe", "", platform::ERROR_FILE_NOT_FOUND},
      {"missing folder", u"open", dir / "nowhere/missing.exe", "", platform::ERROR_PATH_NOT_FOUND},
      {"not a program", u"open", dir / "garbage.exe", "", platform::ERROR_BAD_FORMAT},
      {"a folder", u"open", dir / "folder", "", platform::SE_ERR_NOASSOC},
      {"another verb", u"runas", product, "", platform::SE_ERR_NOASSOC},
      {"empty file name", u"open", "", "", platform::ERROR_FILE_NOT_FOUND},
      {"missing working folder", u"open", product, dir / "nowhere", platform::ERROR_PATH_NOT_FOUND},
#ifndef _WIN32
      {"no execute bit", u"open", dir / "noexec", "", platform::ERROR_ACCESS_DENIED},
#endif
  };
#ifndef _WIN32
  krvtest::WriteFile(dir / "noexec", "#!/bin/sh\nexit 0\n");
  fs::permissions(dir / "noexec", fs::perms(0644));
#endif
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const String file = c.file.empty() ? String() : krvtest::NativePath(c.file);
    const String directory = c.directory.empty() ? String() : krvtest::NativePath(c.directory);
    EXPECT_EQ(platform::ShellExecuteW(nullptr, c.verb, file, u"a b", directory, platform::SW_SHOWNORMAL), c.result);
    EXPECT_EQ(platform::GetLastErrorValue(), static_cast<uint32_t>(c.result));
  }
}

}  // namespace

#ifndef _WIN32
namespace krvtest {

// The stand-in reports on a pipe whose write end it inherits (WindowsShellTest.cpp: a file).
TShellRun OpenProduct(const String& verb, const String& params, const String& directory) {
  TShellRun run;
  int fds[2];
  EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  // The write end must reach the product: a copy without close-on-exec at a known number.
  const int w = ::fcntl(fds[1], F_DUPFD, 200);
  ::close(fds[1]);
  ::setenv("KRV_PRODUCT_FD", std::to_string(w).c_str(), 1);
  run.Result = platform::ShellExecuteW(nullptr, verb, NativePath(KRV_PRODUCT_NOVER), params, directory,
                                       platform::SW_SHOWNORMAL);
  run.Error = platform::GetLastErrorValue();
  ::unsetenv("KRV_PRODUCT_FD");
  ::close(w);
  std::string data;
  ReadToEnd(fds[0], data);
  run.Record(data);
  ::close(fds[0]);
  return run;
}

}  // namespace krvtest
#endif

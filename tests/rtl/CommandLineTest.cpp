// The arguments a program receives through ParamStr, as its starter gave them: on Windows the
// system's UTF-16 command line, so characters that the ANSI code page lacks arrive intact.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "rtl/Classes.h"
#include "rtl/SysUtils.h"

#ifdef _WIN32
#include "rtl/win32/WinApi.h"  // after our headers: it undefines the A/W macros that clash with ours
#else
#include <spawn.h>
#include <sys/wait.h>
extern char** environ;
#endif

using rtl::String;

namespace {

const std::string kChild = std::string(KRV_BINARY_DIR) + "/tests/rtl/rtl_args_child";

// Starts the child with a command line (Windows) or an argv (POSIX) and answers what it wrote.
std::vector<String> ChildArguments(const String& AOut, const String& AWindowsTail,
                                   const std::vector<std::string>& APosixArgs) {
#ifdef _WIN32
  String line = u"\"" + rtl::S(kChild) + u".exe\" \"" + AOut + u"\"" + AWindowsTail;
  std::wstring wide(line.begin(), line.end());
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  EXPECT_TRUE(CreateProcessW(nullptr, wide.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
  EXPECT_EQ(WaitForSingleObject(pi.hProcess, 60000), WAIT_OBJECT_0);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
#else
  (void)AWindowsTail;
  std::vector<std::string> argv8{kChild, rtl::U8(AOut)};
  argv8.insert(argv8.end(), APosixArgs.begin(), APosixArgs.end());
  std::vector<char*> argv;
  for (auto& a : argv8) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid;
  EXPECT_EQ(posix_spawn(&pid, kChild.c_str(), nullptr, nullptr, argv.data(), environ), 0);
  int status = 0;
  EXPECT_EQ(waitpid(pid, &status, 0), pid);
#endif
  rtl::TMemoryStream bytes;
  bytes.LoadFromFile(AOut);
  rtl::DeleteFile(AOut);
  std::string text(reinterpret_cast<const char*>(bytes.Memory()), static_cast<size_t>(bytes.Size()));
  std::vector<String> args;
  for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1)
    args.push_back(rtl::S(text.substr(at, end - at)));
  return args;
}

TEST(CommandLine, ArgumentsArriveAsTheStarterGaveThem) {
  // A folder of this test's own, removed at the end whatever the child wrote into it.
  struct TFolder {
    std::filesystem::path Path =
        std::filesystem::temp_directory_path() / ("krv_args_" + std::to_string(getpid()));
    TFolder() { std::filesystem::create_directories(Path); }
    ~TFolder() { std::filesystem::remove_all(Path); }
  } folder;
  const String out = rtl::IncludeTrailingPathDelimiter(rtl::S(folder.Path.string())) + u"args-\u010C\u0161\u017E.txt";
  // Č, š, ž and an emoji: none of them is in the ANSI code page.
  const std::vector<String> expected = {u"\u010C\u0161\u017E\u20AC", u"a b", u"a\"b", u"\\\\x\\", u"\U0001F600", u""};
  std::vector<String> got = ChildArguments(
      out, u" \u010C\u0161\u017E\u20AC \"a b\" a\\\"b \\\\x\\ \U0001F600 \"\"",
      {"\xC4\x8C\xC5\xA1\xC5\xBE\xE2\x82\xAC", "a b", "a\"b", "\\\\x\\", "\xF0\x9F\x98\x80", ""});
  EXPECT_EQ(got, expected);
}

}  // namespace

// The launch decision: argument forwarding and KRVDownload end to end.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "TestUtil.h"
#include "downloader/Utils.h"
#include "platform/Shell.h"

using krvtest::TTempDir;
using rtl::String;

namespace {

// Sets the process's arguments for one case and puts the real ones back afterwards.
class TCommandLine {
 public:
  explicit TCommandLine(std::vector<std::string> args) : FArgs(std::move(args)) {
    FArgs.insert(FArgs.begin(), "KRVDownload");
    for (std::string& a : FArgs) FPtrs.push_back(a.data());
    rtl::SetCommandLine(static_cast<int>(FPtrs.size()), FPtrs.data());
  }
  ~TCommandLine() {
    char name[] = "downloader_tests";
    char* argv[] = {name};
    rtl::SetCommandLine(1, argv);
  }

 private:
  std::vector<std::string> FArgs;
  std::vector<char*> FPtrs;
};

TEST(ForwardedParameters, LaunchAndShortcutStrings) {
  struct Case {
    std::vector<std::string> args;
    const char *launch, *shortcut;
  };
  const Case cases[] = {
      {{}, "", ""},
      {{"/ini=C:\\My Files\\a.ini", "/L=EN", "x"}, " /ini=\"C:\\My Files\\a.ini\" /L=EN x",
       " /ini=\"C:\\My Files\\a.ini\" x"},
      {{"/INI="}, " /INI=\"\"", " /INI=\"\""},
      {{"/Ini=/home/u/My Files/k.ini"}, " /Ini=\"/home/u/My Files/k.ini\"", " /Ini=\"/home/u/My Files/k.ini\""},
      {{"/l=sl", "/UKREXE=1", "/umode=2", "/UXE3=x", "/L", "/LANG=en", "keep"},
       " /l=sl /UKREXE=1 /umode=2 /UXE3=x /L /LANG=en keep", " /L /LANG=en keep"},
      {{"a b", "-x"}, " a b -x", " a b -x"},  // only /INI= values are quoted again
      {{"x/INI=y"}, " x/INI=y", " x/INI=y"},
      // Backslashes before the closing quote are doubled, quotes escaped by the splitting's rules.
      {{"/INI=C:\\dir\\", "next"}, " /INI=\"C:\\dir\\\\\" next", " /INI=\"C:\\dir\\\\\" next"},
      {{"/ini=a\\\"b c", "/L=x"}, " /ini=\"a\\\\\\\"b c\" /L=x", " /ini=\"a\\\\\\\"b c\""},
      {{"say \"hi", "last"}, " say \\\"hi last", " say \\\"hi last"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.launch);
    TCommandLine line(c.args);
    EXPECT_EQ(downloader::ForwardedParameters(false), rtl::S(c.launch));
    EXPECT_EQ(downloader::ForwardedParameters(true), rtl::S(c.shortcut));
  }
}

// What the product receives is what was given: "/INI=" values exactly, whatever they hold; a
// double quote anywhere never joins the arguments after it; other arguments split at blanks.
TEST(ForwardedParameters, ReachTheProductAsGiven) {
  const std::vector<std::pair<std::vector<std::string>, std::vector<std::string>>> cases = {
      {{"/INI=C:\\My Files\\", "x"}, {"/INI=C:\\My Files\\", "x"}},
      {{"/INI=\\\\server\\share\\\\", "/L=SI"}, {"/INI=\\\\server\\share\\\\", "/L=SI"}},
      {{"/ini=a \"quoted\" name.ini", "y"}, {"/ini=a \"quoted\" name.ini", "y"}},
      {{"/INI=back\\\"slash\\\\\"", "z"}, {"/INI=back\\\"slash\\\\\"", "z"}},
      {{"/INI=\"", "\"", "a\"b", "c"}, {"/INI=\"", "\"", "a\"b", "c"}},
      {{"a\\\"b c", "/INI=tab\there\\"}, {"a\\\"b", "c", "/INI=tab\there\\"}},
  };
  for (const auto& [given, received] : cases) {
    SCOPED_TRACE(given.front());
    TCommandLine line(given);
    std::vector<std::string> got;
    for (const String& a : platform::CommandLineToArgs(downloader::ForwardedParameters(false))) got.push_back(rtl::U8(a));
    EXPECT_EQ(got, received);
  }
}

// A copy of KRVDownload in its own folder, optionally with a product next to it.
class EndToEnd : public ::testing::Test {
 protected:
  // Into a sub-folder of app, so one test can install several times.
  std::string Install(const char* product, bool executable = true, const std::string& name = "a") {
    namespace fs = std::filesystem;
    fs::path folder = app.Path() / name;
    fs::create_directory(folder);
    fs::copy_file(KRV_DOWNLOADER_EXE, folder / "KRVDownload");
    if (product) {
      fs::copy_file(product, folder / "KorvelFA.exe");
      if (!executable) ::chmod((folder / "KorvelFA.exe").c_str(), 0644);
    }
    return (folder / "KRVDownload").string();
  }
  krvtest::TRun Run(std::vector<std::string> args, const std::vector<std::string>& env = {},
                    const std::string& name = "a") {
    args.insert(args.begin(), (app.Path() / name / "KRVDownload").string());
    // The update path may show an error box: headless, so no display can keep it waiting for OK.
    std::vector<std::string> e = env;
    e.push_back("KRV_GUI=headless");
    return krvtest::RunWithProductPipe(args, work.Path().string(), e);
  }
  TTempDir app, work;
};

TEST_F(EndToEnd, AcceptedProductIsStartedWithTheForwardedArguments) {
  Install(KRV_PRODUCT_10002);
  krvtest::TRun r = Run({"/ini=/home/user/My Files/a.ini", "/L=EN", "x", "two words"});
  EXPECT_EQ(r.ExitCode, 0);
  ASSERT_TRUE(r.ProductStarted);
  // Started in the downloader's current directory, not its own folder.
  EXPECT_EQ(r.Cwd, std::filesystem::canonical(work.Path()).string());
  // The forwarding's quoting rules are ForwardedParameters.ReachTheProductAsGiven's.
  EXPECT_EQ(r.Args, (std::vector<std::string>{"/ini=/home/user/My Files/a.ini", "/L=EN", "x", "two", "words"}));
}

TEST_F(EndToEnd, LaunchPathLoadsNoGuiAndNoTls) {
  Install(KRV_PRODUCT_10002);
  std::string log = work / "ld";
  krvtest::TRun r = Run({}, {"LD_DEBUG=libs", "LD_DEBUG_OUTPUT=" + log});
  ASSERT_TRUE(r.ProductStarted);
  std::string all;
  for (const auto& e : std::filesystem::directory_iterator(work.Path()))
    if (e.path().filename().string().rfind("ld.", 0) == 0) all += krvtest::ReadFile(e.path().string());
  ASSERT_NE(all.find("libc.so"), std::string::npos);  // the loader did report
  for (const char* library : {"libgtk", "libgdk", "libssl", "libcrypto"})
    EXPECT_EQ(all.find(library), std::string::npos) << library;
}

// Each ends with 0 and no product: the update path (no product, or one the gate refuses), or a
// start that fails silently (no execute bit).
TEST_F(EndToEnd, ProductNotStarted) {
  struct Case {
    const char* name;
    const char* product;
    bool executable;
  };
  const Case cases[] = {
      {"10.0.0.1", KRV_PRODUCT_10001, true},
      {"no version", KRV_PRODUCT_NOVER, true},
      {"no product", nullptr, true},
      {"10.0.0.2 without execute bit", KRV_PRODUCT_10002, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Install(c.product, c.executable, c.name);
    krvtest::TRun r = Run({"x"}, {}, c.name);
    EXPECT_EQ(r.ExitCode, 0);
    EXPECT_FALSE(r.ProductStarted);
  }
}

}  // namespace

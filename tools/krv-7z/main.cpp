// krv-7z x|t ARCHIVE [-o DIR] [--no-path] [--overwrite] [-p PASSWORD] [ENTRY...]
// Extracts or tests an archive with TSevenZip. Exit code: 0 when Extract returned 0, 2 when it
// returned -1 (or the command line or the library was unusable), 1 otherwise. It never opens a
// window: a volume that is missing is a message and the exit code, with or without a display.
#include <cstdio>
#include <string>
#include <vector>

#include "rtl/Exception.h"
#include "rtl/SysUtils.h"
#include "sevenzip/SevenZip.h"

namespace {

constexpr char kUsage[] =
    "usage: krv-7z x|t ARCHIVE [-o DIR] [--no-path] [--overwrite] [-p PASSWORD] [ENTRY...]\n";

int UsageError(const std::string& why) {
  std::fprintf(stderr, "krv-7z: %s\n%s", why.c_str(), kUsage);
  return 2;
}

struct TOptions {
  bool Test = false;
  rtl::String Archive;
  rtl::String Dir;
  bool NoPath = false;
  bool Overwrite = false;
  bool HavePassword = false;
  rtl::String Password;
  std::vector<rtl::String> Entries;
};

// Answers an empty string on success, else what is wrong.
std::string ParseArgs(const std::vector<std::string>& args, TOptions& o) {
  if (args.empty()) return "missing command";
  if (args[0] == "x")
    o.Test = false;
  else if (args[0] == "t")
    o.Test = true;
  else
    return "unknown command '" + args[0] + "'";
  bool haveArchive = false, optionsDone = false;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](const char* name, rtl::String& out) -> std::string {
      if (i + 1 >= args.size()) return std::string("option ") + name + " needs a value";
      out = rtl::S(args[++i]);
      return "";
    };
    std::string err;
    if (optionsDone || a.empty() || a[0] != '-' || a == "-") {
      if (!haveArchive) {
        o.Archive = rtl::S(a);
        haveArchive = true;
      } else {
        o.Entries.push_back(rtl::S(a));
      }
    } else if (a == "--") {
      optionsDone = true;
    } else if (a == "-o") {
      err = value("-o", o.Dir);
    } else if (a.rfind("-o", 0) == 0) {
      o.Dir = rtl::S(a.substr(2));
    } else if (a == "-p") {
      err = value("-p", o.Password);
      o.HavePassword = true;
    } else if (a.rfind("-p", 0) == 0) {
      o.Password = rtl::S(a.substr(2));
      o.HavePassword = true;
    } else if (a == "--no-path") {
      o.NoPath = true;
    } else if (a == "--overwrite") {
      o.Overwrite = true;
    } else {
      return "unknown option '" + a + "'";
    }
    if (!err.empty()) return err;
  }
  if (!haveArchive) return "missing archive name";
  return "";
}

}  // namespace

int main(int argc, char** argv) {
  // Messages byte for byte (no "\r\n" made of "\n" on Windows).
  rtl::UseBinaryStandardOutput();
  // The arguments as the system gave them (on Windows the UTF-16 command line), in UTF-8.
  rtl::SetCommandLine(argc, argv);
  std::vector<std::string> args;
  for (int i = 1; i <= rtl::ParamCount(); ++i) args.push_back(rtl::U8(rtl::ParamStr(i)));
  TOptions o;
  std::string err = ParseArgs(args, o);
  if (!err.empty()) return UsageError(err);

  try {
    sevenzip::TSevenZip zip;
    zip.SetSZFileName(o.Archive);
    zip.SetExtrBaseDir(o.Dir);
    sevenzip::ExtractOpts opts = 0;
    if (o.NoPath) opts |= sevenzip::OptBit(sevenzip::ExtractNoPath);
    if (o.Overwrite) opts |= sevenzip::OptBit(sevenzip::ExtractOverwrite);
    zip.SetExtractOptions(opts);
    if (o.HavePassword) zip.SetPassword(o.Password);
    for (const rtl::String& e : o.Entries) zip.Files().Add(e);
    zip.OnMessage = [](sevenzip::TSevenZip*, int32_t code, const rtl::String& text, const rtl::String& file) {
      std::fprintf(stderr, "message %d %s: %s\n", code, rtl::U8(text).c_str(), rtl::U8(file).c_str());
    };
    // No prompt: the component's dialog would wait for a user a command line may not have.
    zip.OnOpenVolume = [](rtl::String& name, bool, bool& cancel) {
      std::fprintf(stderr, "krv-7z: missing volume: %s\n", rtl::U8(name).c_str());
      cancel = true;
    };
    sevenzip::SetBrowseForFileHandler([](const sevenzip::TBrowseRequest& r, rtl::String&) {
      std::fprintf(stderr, "krv-7z: missing volume: %s\n", rtl::U8(r.InitialDir + rtl::PathDelim + r.FilterPattern).c_str());
      return false;
    });
    int32_t result = zip.Extract(o.Test);
    if (result == 0) return 0;
    return result == -1 ? 2 : 1;
  } catch (const rtl::Exception& e) {
    std::fprintf(stderr, "error: %s\n", rtl::U8(e.Message()).c_str());
    return 2;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "error: %s\n", e.what());
    return 2;
  }
}

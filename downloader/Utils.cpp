#include "downloader/Utils.h"

#include <exception>

#include "downloader/build/Build.Types.h"
#include "downloader/build/Build.VersionReader.h"
#include "platform/Resources.h"
#include "platform/Shell.h"
#include "rtl/IniFiles.h"
#include "rtl/SysUtils.h"

namespace downloader {

// Defined before the initialiser below, so they exist when it runs (same unit, in order).
rtl::String Localization;
rtl::String Version;
rtl::String DestinationExe;
rtl::String TargetPrefix;
rtl::String DestinationPrefix;

rtl::String ArchiveName(const rtl::String& Prefix, const rtl::String& Localization, const rtl::String& Version) {
  return rtl::Format(u"%s_SQL_%s_%s_%s.7z", {Prefix, Localization, Localization, Version});
}

namespace {

// Constant-initialised, so a watcher installed by an earlier initialiser is kept.
constinit TWriteLogWatcher gWatcher = nullptr;

const char16_t kMinimumVersion[] = u"10.0.0.1";

// An argument as the shell's splitting (CommandLineToArgvW rules) gives it back: a double quote
// and the backslashes right before it are escaped, and before a closing quote that follows the
// backslashes are doubled. Blanks are left alone: outside quotes they still split.
rtl::String EscapeForSplitting(const rtl::String& s, bool closingQuoteFollows) {
  rtl::String out;
  size_t backslashes = 0;
  for (char16_t c : s) {
    if (c == u'\\') {
      ++backslashes;
      continue;
    }
    out.append(c == u'"' ? 2 * backslashes + 1 : backslashes, u'\\');
    out.push_back(c);
    backslashes = 0;
  }
  out.append(closingQuoteFollows ? 2 * backslashes : backslashes, u'\\');
  return out;
}

void ReportException(const std::exception& e) {
  if (auto* re = dynamic_cast<const rtl::Exception*>(&e))
    WriteLog(re->Diagnostic());
  else
    WriteLog(u"Exception: " + rtl::S(e.what()));
}

}  // namespace

void WriteLog(const rtl::String& s) {
  if (gWatcher) gWatcher(s);
}

void SetWriteLogWatcher(TWriteLogWatcher watcher) { gWatcher = watcher; }

void LoadSettingsFromStream(rtl::TStream& stream) {
  rtl::TStringList lines;
  lines.LoadFromStream(stream);
  rtl::TMemIniFile ini(lines);
  Localization = ini.ReadString(u"global", u"Localization", u"SI");
  Version = ini.ReadString(u"global", u"Version", u"600000");
  DestinationExe = ini.ReadString(u"global", u"DestinationExe", u"Korvel.exe");
  TargetPrefix = ini.ReadString(u"global", u"TargetPrefix", u"dlKorvel");
  DestinationPrefix = ini.ReadString(u"global", u"DestinationPrefix", u"dlDownload");
}

void LoadSettings() {
  try {
    platform::TResourceStream stream(u"SETTINGS", u"INI");
    LoadSettingsFromStream(stream);
  } catch (const std::exception& e) {
    ReportException(e);
  } catch (...) {
    WriteLog(u"Exception: unknown exception");
  }
}

namespace {
// Module initialisation: the settings are there before main runs.
struct TSettingsLoader {
  TSettingsLoader() { LoadSettings(); }
} gSettingsLoader;
}  // namespace

rtl::String DownloaderFolder() {
  return rtl::IncludeTrailingPathDelimiter(rtl::ExtractFilePath(rtl::ParamStr(0)));
}

rtl::String ProductPath() { return DownloaderFolder() + DestinationExe; }

bool NeedsUpdate(const rtl::String& ExePath) {
  bool result = true;
  TVersionInfo minimum(kMinimumVersion);
  try {
    TVersionInfo current = TVersionReader::GetVersionFromFile(ExePath);
    if (current > minimum) result = false;
  } catch (...) {
    // Unreadable, unparsable or out of range: the update runs.
  }
  return result;
}

bool LaunchIfPresent() {
  rtl::String path = ProductPath();
  if (!rtl::FileExists(path)) return false;
  if (NeedsUpdate(path)) return false;
  OpenWithShell(path, ForwardedParameters(false));  // a failed start is not reported
  return true;
}

rtl::String ForwardedParameters(bool ForShortcut) {
  rtl::String result;
  for (int i = 1; i <= rtl::ParamCount(); ++i) {
    rtl::String arg = rtl::ParamStr(i);
    // The value reaches the product exactly, whatever it holds; a double quote in any argument
    // is escaped, or it would open a quoted stretch that swallows the arguments after it.
    if (rtl::StartsText(u"/INI=", arg))
      arg = rtl::Copy(arg, 1, 5) + u"\"" + EscapeForSplitting(rtl::Copy(arg, 6), true) + u"\"";
    else
      arg = EscapeForSplitting(arg, false);
    if (ForShortcut && (rtl::StartsText(u"/L=", arg) || rtl::StartsText(u"/UKREXE=", arg) ||
                        rtl::StartsText(u"/UMODE=", arg) || rtl::StartsText(u"/UXE3=", arg)))
      continue;
    result += u" " + arg;
  }
  return result;
}

bool OpenWithShell(const rtl::String& fileName, const rtl::String& parameters) {
  // An empty (not absent) folder: the product starts in our current directory.
  return platform::ShellExecuteW(nullptr, u"open", fileName, parameters, rtl::String(),
                                 platform::SW_SHOWNORMAL) > 32;
}

}  // namespace downloader

#include "downloader/Utils.h"

#include <exception>

#include "downloader/build/Build.Types.h"
#include "downloader/build/Build.VersionReader.h"
#include "platform/Resources.h"
#include "platform/Shell.h"
#include "rtl/IniFiles.h"

namespace downloader {

// Defined before the initialiser below, so they exist when it runs (same unit, in order).
rtl::String Localization;
rtl::String Version;
rtl::String DestinationExe;
rtl::String TargetPrefix;
rtl::String DestinationPrefix;

namespace {

// Constant-initialised, so a watcher installed by an earlier initialiser is kept.
constinit TWriteLogWatcher gWatcher = nullptr;

const char16_t kMinimumVersion[] = u"10.0.0.1";

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
    if (rtl::StartsText(u"/INI=", arg)) arg = rtl::Copy(arg, 1, 5) + u"\"" + rtl::Copy(arg, 6) + u"\"";
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

int RunDownloader() {
  try {
    if (!LaunchIfPresent()) {
      // The update path: the main window and its update job are not part of this program yet;
      // until they are, the downloader ends here with exit code 0.
    }
  } catch (const std::exception& e) {
    ReportException(e);
  } catch (...) {
    WriteLog(u"Exception: unknown exception");
  }
  return 0;
}

}  // namespace downloader

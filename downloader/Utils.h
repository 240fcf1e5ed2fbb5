// The launcher's module: the embedded settings, the diagnostic hook, argument forwarding and the
// launch decision.
#pragma once

#include "rtl/Classes.h"

namespace downloader {

// The five settings of the "SETTINGS" resource (section "global"); filled once by LoadSettings
// during module initialisation, before main runs, and never changed afterwards.
extern rtl::String Localization;
extern rtl::String Version;
extern rtl::String DestinationExe;
extern rtl::String TargetPrefix;
extern rtl::String DestinationPrefix;

// The archive's name, the one place it is built: "<prefix>_SQL_<localization>_<localization>_
// <version>.7z", values inserted as they are (TargetPrefix on the server, DestinationPrefix here).
rtl::String ArchiveName(const rtl::String& Prefix, const rtl::String& Localization, const rtl::String& Version);

// Reads the resource "SETTINGS" of type "INI" into the five values. A failure goes to WriteLog
// as "class name: message"; the values not read stay as they were.
void LoadSettings();
// The settings' reading step on its own: text lines from the stream, the INI rules, the five
// keys with their defaults.
void LoadSettingsFromStream(rtl::TStream& stream);

// The diagnostic hook: it logs nothing. A test may install a watcher to see what it is handed
// (before module initialisation when it wants the settings' report too).
void WriteLog(const rtl::String& s);
using TWriteLogWatcher = void (*)(const rtl::String& s);
void SetWriteLogWatcher(TWriteLogWatcher watcher);

// The folder of the downloader's own executable, with its trailing separator.
rtl::String DownloaderFolder();
// The folder followed by DestinationExe.
rtl::String ProductPath();

// True when the version of the file cannot be read or is not newer than 10.0.0.1.
bool NeedsUpdate(const rtl::String& ExePath);
// True when the product sits next to the downloader with an acceptable version and a launch
// was requested (whether or not it started); false when the update has to run.
bool LaunchIfPresent();
// The command-line arguments (without the program) for the product (ForShortcut false) or for
// the desktop shortcut (true): each preceded by one blank, "/INI=" values re-quoted, and for the
// shortcut "/L=", "/UKREXE=", "/UMODE=" and "/UXE3=" left out.
rtl::String ForwardedParameters(bool ForShortcut);
// The shell request: "open" on the file with the parameters, in our current directory; true
// when the shell's answer is above 32.
bool OpenWithShell(const rtl::String& fileName, const rtl::String& parameters);

}  // namespace downloader

// The shell's desktop folder and its shell link object: a target with its arguments and working
// directory, saved where the desktop shows it (a freedesktop desktop entry on Linux, a shortcut
// file on Windows).
#pragma once

#include "rtl/SysUtils.h"

namespace platform {

// The user's desktop folder, without a trailing separator; empty when none can be made (no
// home folder known). The folder is not checked for existence.
rtl::String GetDesktopFolderPath();

// The path of a link called name in folder, with the system's extension (".desktop" on Linux,
// ".lnk" on Windows). Raises rtl::EOSError (ERROR_INVALID_NAME) "Invalid link name" for a name
// that is not one file name there (empty, "." or "..", a separator or a character the file
// system refuses).
rtl::String ShellLinkFileName(const rtl::String& folder, const rtl::String& name);

// The shell link object: target, arguments and working directory (nothing else: no description,
// icon, hot key or show state).
class TShellLink {
 public:
  void SetPath(const rtl::String& path) { FPath = path; }
  // One parameter string, split into the program's arguments by the shell's rules
  // (CommandLineToArgs), so the program gets what the shell "open" would give it.
  void SetArguments(const rtl::String& arguments) { FArguments = arguments; }
  void SetWorkingDirectory(const rtl::String& dir) { FWorkingDirectory = dir; }
  const rtl::String& Path() const { return FPath; }
  const rtl::String& Arguments() const { return FArguments; }
  const rtl::String& WorkingDirectory() const { return FWorkingDirectory; }

  // Writes the link to fileName, replacing a file of that name in one step and leaving
  // everything as it was on failure. Raises rtl::EOSError on failure.
  void Save(const rtl::String& fileName) const;

 private:
  rtl::String FPath;
  rtl::String FArguments;
  rtl::String FWorkingDirectory;
};

}  // namespace platform

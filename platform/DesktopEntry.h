// The shell's desktop folder and shell link on Linux: the XDG desktop folder, and a freedesktop
// desktop entry (Type=Application) in place of a link file.
#pragma once

#include <string>
#include <string_view>

#include "rtl/SysUtils.h"

namespace platform {

// The user's desktop folder, without a trailing separator: XDG_DESKTOP_DIR from the environment
// when it holds an absolute path, else its entry in user-dirs.dirs (under XDG_CONFIG_HOME, else
// ~/.config), else ~/Desktop. Empty when none of these can be made (no home folder known).
// The folder is not checked for existence.
rtl::String GetDesktopFolderPath();

// The desktop folder named by the text of a user-dirs.dirs file: the XDG_DESKTOP_DIR line's
// quoted value when it is "$HOME", starts with "$HOME/" (home put in its place) or is absolute;
// a backslash escapes the next character; the last such line wins. Empty when there is none.
std::string DesktopFolderFromUserDirs(std::string_view text, std::string_view home);

// A value of type string with the escapes of desktop entries (\\ \n \t \r, a leading blank as \s).
// Raises rtl::EArgumentException for other control characters, which a value cannot carry.
std::string DesktopEscapeString(std::string_view value);
// One program argument quoted for the Exec key: always inside double quotes, a backslash before
// each ", `, $ and backslash, and % doubled (field codes). The string escapes come on top of this.
std::string DesktopQuoteArgument(std::string_view arg);

// The shell link object: target, arguments and working directory, saved as a desktop entry.
class TShellLink {
 public:
  void SetPath(const rtl::String& path) { FPath = path; }
  // One parameter string, split into the program's arguments by the shell's rules
  // (CommandLineToArgs), so the program gets what the shell "open" would give it.
  void SetArguments(const rtl::String& arguments) { FArguments = arguments; }
  void SetWorkingDirectory(const rtl::String& dir) { FWorkingDirectory = dir; }

  // The entry's text with the given Name.
  std::string EntryText(const rtl::String& name) const;
  // Writes the entry to fileName (Name = the file name without ".desktop"), replacing a file of
  // that name in one step and leaving everything as it was on failure; the entry is executable
  // by its owner (launchers trust only such entries). Raises rtl::EOSError on failure.
  void Save(const rtl::String& fileName) const;

 private:
  rtl::String FPath;
  rtl::String FArguments;
  rtl::String FWorkingDirectory;
};

}  // namespace platform

// The text of freedesktop desktop entries, in which the shell link is saved on Linux, and the
// user-dirs.dirs file that names the desktop folder.
#pragma once

#include <string>
#include <string_view>

#include "platform/DesktopEntry.h"

namespace platform {

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

// The entry (Type=Application) of a link with the given Name; Exec holds the target and the
// arguments as the shell splits them, Path the working directory.
std::string DesktopEntryText(const TShellLink& link, const rtl::String& name);

}  // namespace platform

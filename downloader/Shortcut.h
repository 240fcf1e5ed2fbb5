// The desktop shortcut to the product: a shell link in the user's desktop folder (a desktop entry
// <LinkName>.desktop on Linux, a shortcut <LinkName>.lnk on Windows).
#pragma once

#include "rtl/SysUtils.h"

namespace downloader {

// Puts a shortcut to the product (ExePath, its file name ExeName) on the desktop, carrying the
// shortcut's share of our arguments and the product's folder as working directory. Never raises:
// a failure goes to WriteLog as one line "class name: message".
void CreateDesktopShortcut(const rtl::String& ExePath, const rtl::String& ExeName);
// Writes the link LinkName into the desktop folder, replacing one of the same name. Raises when
// the desktop folder cannot be determined, the name is unusable or the entry cannot be written.
void CreateShellLink(const rtl::String& Target, const rtl::String& LinkName, const rtl::String& Arguments,
                     const rtl::String& WorkDir);
// The desktop folder's path, or the empty string.
rtl::String GetDesktopFolder();

}  // namespace downloader

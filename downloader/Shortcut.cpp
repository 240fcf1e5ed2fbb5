#include "downloader/Shortcut.h"

#include <exception>

#include "downloader/Utils.h"
#include "platform/DesktopEntry.h"
#include "platform/LastError.h"
#include "rtl/Exception.h"

namespace downloader {

void CreateDesktopShortcut(const rtl::String& ExePath, const rtl::String& ExeName) {
  try {
    int dot = rtl::Pos(u".", ExeName);
    rtl::String linkName = dot > 0 ? rtl::Copy(ExeName, 1, dot - 1) : ExeName;
    rtl::String workDir = rtl::ExtractFilePath(ExePath);
    CreateShellLink(ExePath, linkName, ForwardedParameters(true), workDir);
  } catch (const rtl::Exception& e) {
    WriteLog(e.Diagnostic());
  } catch (const std::exception& e) {
    WriteLog(u"Exception: " + rtl::S(e.what()));
  } catch (...) {
    WriteLog(u"Exception: unknown exception");
  }
}

void CreateShellLink(const rtl::String& Target, const rtl::String& LinkName, const rtl::String& Arguments,
                     const rtl::String& WorkDir) {
  platform::TShellLink link;
  link.SetPath(Target);
  link.SetArguments(Arguments);
  link.SetWorkingDirectory(WorkDir);
  // Without a desktop folder the link would land at the root of the file system: no link then.
  rtl::String desktop = GetDesktopFolder();
  if (desktop.empty())
    throw rtl::EOSError(u"The desktop folder cannot be determined", static_cast<int>(platform::ERROR_PATH_NOT_FOUND));
  link.Save(platform::ShellLinkFileName(desktop, LinkName));
}

rtl::String GetDesktopFolder() { return platform::GetDesktopFolderPath(); }

}  // namespace downloader

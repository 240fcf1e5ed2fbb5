// KRVDownload: starts the product when it is present and new enough, otherwise updates it in
// its window. The settings were loaded while the modules initialised, before this runs.
#include <exception>

#include "downloader/DownloadJob.h"
#include "downloader/Main.h"
#include "downloader/Utils.h"
#include "rtl/Exception.h"

#if defined(KRV_SANITIZE)
// LeakSanitizer cannot unwind through the system's GTK stack (the update path under a display):
// what fontconfig and GLib keep for the process's life shows as one-frame leaks with no caller.
extern "C" __attribute__((visibility("default"), used)) const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\nleak:libglib-2.0.so\n";
}
#endif

#ifndef KRV_UPDATE_HOST
#error "KRV_UPDATE_HOST (the update server's host) must be defined by the build"
#endif

int main(int argc, char** argv) {
  rtl::SetCommandLine(argc, argv);
  downloader::SetUpdateHost(rtl::S(KRV_UPDATE_HOST));
  try {
    // The launch path ends here without a window (and without loading the GUI toolkit).
    if (!downloader::LaunchIfPresent()) downloader::RunMainWindow();
  } catch (const rtl::Exception& e) {
    downloader::WriteLog(e.Diagnostic());
  } catch (const std::exception& e) {
    downloader::WriteLog(u"Exception: " + rtl::S(e.what()));
  } catch (...) {
    downloader::WriteLog(u"Exception: unknown exception");
  }
  return 0;
}

// KRVDownload: starts the product when it is present and new enough, otherwise updates it in
// its window. The settings were loaded while the modules initialised, before this runs.
#include <cstdio>
#include <cstdlib>
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

namespace {

// The edition's demands on its update (build options KRV_UPDATE_PUBKEY, KRV_UPDATE_SCHEME,
// KRV_UPDATE_CAFILE, and the bounds KRV_UPDATE_MAX_BYTES, KRV_UPDATE_SPEED_LIMIT,
// KRV_UPDATE_SPEED_TIME; the build checked their form). Decoding the key needs no cryptography,
// so the launch path still loads none.
downloader::TUpdateEdition BuiltEdition() {
  downloader::TUpdateEdition edition;
#ifdef KRV_UPDATE_PUBKEY
  edition.PublicKey = platform::DecodePublicKey(KRV_UPDATE_PUBKEY);
#endif
#ifdef KRV_UPDATE_HTTPS
  edition.Https = true;
#endif
#ifdef KRV_UPDATE_CAFILE
  edition.CAFile = rtl::S(KRV_UPDATE_CAFILE);
#endif
  edition.MaxBytes = KRV_UPDATE_MAX_BYTES;
  edition.SpeedLimit = KRV_UPDATE_SPEED_LIMIT;
  edition.SpeedTime = KRV_UPDATE_SPEED_TIME;
  return edition;
}

// A verified edition's log: why an update was refused (a certificate, a signature) must reach
// whoever runs it, so the diagnostic lines go to stderr (the terminal, or the session's journal).
// A test edition writes it there too when KRV_TEST_LOG is set.
[[maybe_unused]] void LogToStderr(const rtl::String& s) {
  std::fprintf(stderr, "KRVDownload: %s\n", rtl::U8(s).c_str());
}

}  // namespace

int main(int argc, char** argv) {
  rtl::SetCommandLine(argc, argv);
  downloader::SetUpdateHost(rtl::S(KRV_UPDATE_HOST));
#if defined(KRV_UPDATE_PUBKEY) || defined(KRV_UPDATE_HTTPS)
  downloader::SetWriteLogWatcher(LogToStderr);
#endif
#ifdef KRV_TEST_EDITION
  if (std::getenv("KRV_TEST_LOG")) downloader::SetWriteLogWatcher(LogToStderr);
#endif
  try {
    downloader::SetUpdateEdition(BuiltEdition());
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

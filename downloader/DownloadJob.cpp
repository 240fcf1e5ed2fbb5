#include "downloader/DownloadJob.h"

#include <exception>
#include <memory>

#include "downloader/Utils.h"
#include "netlib/http/clHttp.h"
#include "netlib/http/clProxyApply.h"
#include "netlib/http/clResumableDownload.h"
#include "rtl/BufferedStream.h"
#include "rtl/Classes.h"

namespace downloader {

namespace {
rtl::String& HostValue() {
  static rtl::String host;
  return host;
}
}  // namespace

const rtl::String& UpdateHost() { return HostValue(); }
void SetUpdateHost(const rtl::String& host) { HostValue() = host; }

rtl::String ArchiveName(const rtl::String& Prefix, const rtl::String& Localization, const rtl::String& Version) {
  return rtl::Format(u"%s_SQL_%s_%s_%s.7z", {Prefix, Localization, Localization, Version});
}

rtl::String DownloadUrl(const rtl::String& Host, const rtl::String& TargetPrefix, const rtl::String& Localization,
                        const rtl::String& Version) {
  return u"http://" + Host +
         rtl::Format(u"/mainweb/upgrade/GETFILE.ASP?FNM=%s_SQL_%s_%s_%s.7z&XE3=1&VER=600000",
                     {TargetPrefix, Localization, Localization, Version});
}

bool DownloadArchive(const rtl::String& TargetPrefix, const rtl::String& Localization, const rtl::String& Version,
                     const rtl::String& Folder) {
  const rtl::String localPath = ArchiveName(Folder + DestinationPrefix, Localization, Version);
  // Not guarded: a file that cannot be created is the caller's exception.
  auto file = std::make_unique<rtl::TFileStream>(localPath, rtl::fmCreate | rtl::fmShareExclusive);
  bool failed = false;
  std::exception_ptr proxyError;
  {
    auto http = std::make_unique<netlib::TclHttp>();
    // The machine's proxy settings, decided for each request's URL as curl decides them.
    netlib::UseEnvironmentProxy(*http);
    try {
      rtl::String url = DownloadUrl(UpdateHost(), TargetPrefix, Localization, Version);
      WriteLog(url);
      // Streamed: the body goes into the file as it arrives, gathered into large writes; the
      // last of them is part of the download, so a full disk fails it. A connection that breaks
      // in the body is resumed where it broke.
      rtl::TBufferedWriteStream out(*file);
      netlib::TclResumableDownload(*http).Get(url, out);
      out.Flush();
      WriteLog(u"Transfer complete");
    } catch (const netlib::EclProxyEnvironmentError&) {
      // A proxy variable that cannot be used is the machine's fault, not the server's: the
      // caller shows its own message, which names the variable.
      failed = true;
      proxyError = std::current_exception();
    } catch (...) {
      failed = true;
    }
  }  // the component first, then the file
  file.reset();
  if (failed) {
    WriteLog(u"Download from ftp failed.");
    if (rtl::FileExists(localPath)) rtl::DeleteFile(localPath);
  }
  if (proxyError) std::rethrow_exception(proxyError);
  return !failed;
}

}  // namespace downloader

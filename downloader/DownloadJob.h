// The download step of the update: fetch this edition's archive from the update server into the
// downloader folder.
#pragma once

#include "rtl/SysUtils.h"

namespace downloader {

// The update server's host (with ":port" when not 80), fixed per edition by the build option
// KRV_UPDATE_HOST; the main routine sets it before anything else runs.
const rtl::String& UpdateHost();
void SetUpdateHost(const rtl::String& host);

// "<prefix>_SQL_<localization>_<localization>_<version>.7z", values inserted as they are.
rtl::String ArchiveName(const rtl::String& Prefix, const rtl::String& Localization, const rtl::String& Version);
// "http://<host>/mainweb/upgrade/GETFILE.ASP?FNM=<archive name>&XE3=1&VER=600000".
rtl::String DownloadUrl(const rtl::String& Host, const rtl::String& TargetPrefix, const rtl::String& Localization,
                        const rtl::String& Version);

// Downloads the archive into Folder + ArchiveName(DestinationPrefix, ...), through the proxy the
// environment names, resuming a transfer whose connection breaks. True when the file is complete
// on disk; on any failure of the request the partial file is deleted and the answer is false. A
// local file that cannot be created raises (EFCreateError), and so does a proxy variable that
// cannot be used (EclProxyEnvironmentError, after the partial file is deleted).
bool DownloadArchive(const rtl::String& TargetPrefix, const rtl::String& Localization, const rtl::String& Version,
                     const rtl::String& Folder);

}  // namespace downloader

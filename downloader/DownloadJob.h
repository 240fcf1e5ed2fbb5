// The download step of the update: fetch this edition's archive from the update server into the
// downloader folder.
#pragma once

#include <optional>

#include "platform/crypto/Signature.h"
#include "rtl/SysUtils.h"

namespace downloader {

// The update server's host (with ":port" when not 80), fixed per edition by the build option
// KRV_UPDATE_HOST; the main routine sets it before anything else runs.
const rtl::String& UpdateHost();
void SetUpdateHost(const rtl::String& host);

// What an edition demands of its update beyond the original design, fixed by the build options
// KRV_UPDATE_PUBKEY, KRV_UPDATE_SCHEME and KRV_UPDATE_CAFILE; the main routine sets it before
// anything else runs. The default demands nothing, and the download is the original one.
struct TUpdateEdition {
  // The publisher's key: the archive must come with "<archive name>.sig", its signature.
  std::optional<platform::TEd25519PublicKey> PublicKey;
  // https with the server's certificate verified (and no redirect to plain http).
  bool Https = false;
  // The authorities trusted for https instead of the system's store; empty: the system's store.
  rtl::String CAFile;
  bool Verified() const { return PublicKey.has_value() || Https; }
};
const TUpdateEdition& UpdateEdition();
void SetUpdateEdition(const TUpdateEdition& AEdition);

// "<prefix>_SQL_<localization>_<localization>_<version>.7z", values inserted as they are.
rtl::String ArchiveName(const rtl::String& Prefix, const rtl::String& Localization, const rtl::String& Version);
// "http://<host>/mainweb/upgrade/GETFILE.ASP?FNM=<archive name>&XE3=1&VER=600000" ("https://"
// when Https).
rtl::String DownloadUrl(const rtl::String& Host, const rtl::String& TargetPrefix, const rtl::String& Localization,
                        const rtl::String& Version, bool Https = false);
// The same request for another file of the update server ("<archive name>.sig").
rtl::String FileUrl(const rtl::String& Host, const rtl::String& RemoteName, bool Https = false);

// Why a download failed: the transfer (or anything else), or an archive without a valid
// signature of the publisher (signed editions only).
enum TDownloadFailure { dfNone, dfTransfer, dfNotSigned };

// Downloads the archive into Folder + ArchiveName(DestinationPrefix, ...), through the proxy the
// environment names, resuming a transfer whose connection breaks. True when the file is complete
// on disk (and, in a signed edition, signed by the publisher); on any failure of the request the
// partial or refused file is deleted, the answer is false and AFailure (when given) tells why. A
// local file that cannot be created raises (EFCreateError), and so does a proxy variable that
// cannot be used (EclProxyEnvironmentError, after the partial file is deleted).
bool DownloadArchive(const rtl::String& TargetPrefix, const rtl::String& Localization, const rtl::String& Version,
                     const rtl::String& Folder, TDownloadFailure* AFailure = nullptr);

}  // namespace downloader

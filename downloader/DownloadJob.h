// The download step of the update: fetch this edition's archive from the update server into the
// downloader folder.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "downloader/Utils.h"
#include "platform/Files.h"
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
  // A transfer slower than SpeedLimit bytes a second over SpeedTime seconds counts as a broken
  // connection (KRV_UPDATE_SPEED_LIMIT, KRV_UPDATE_SPEED_TIME); no live link is that slow, a
  // server that drips bytes to hold the update is.
  int64_t SpeedLimit = 1000;
  int SpeedTime = 60;
  // The largest archive an unsigned edition takes (KRV_UPDATE_MAX_BYTES); a signed one takes
  // exactly the length its publisher signed.
  int64_t MaxBytes = int64_t(4) << 30;
  bool Verified() const { return PublicKey.has_value() || Https; }
};
const TUpdateEdition& UpdateEdition();
void SetUpdateEdition(const TUpdateEdition& AEdition);

// "http://<host>/mainweb/upgrade/GETFILE.ASP?FNM=<archive name>&XE3=1&VER=600000" ("https://"
// when Https).
rtl::String DownloadUrl(const rtl::String& Host, const rtl::String& TargetPrefix, const rtl::String& Localization,
                        const rtl::String& Version, bool Https = false);
// The same request for another file of the update server ("<archive name>.sig").
rtl::String FileUrl(const rtl::String& Host, const rtl::String& RemoteName, bool Https = false);

// Why a download failed: the transfer (or anything else), an archive without a valid signature
// of the publisher (signed editions only), or another update of the folder that did not end in
// time.
enum TDownloadFailure { dfNone, dfTransfer, dfNotSigned, dfBusy };

// An archive downloaded into a new file of the install folder, open for reading and writing and
// still under its temporary name: the signature check and the extraction read this descriptor,
// never a path. Closed (and, unless Keep was called, removed) with the object.
class TDownloadedArchive {
 public:
  TDownloadedArchive() = default;
  ~TDownloadedArchive();
  TDownloadedArchive(const TDownloadedArchive&) = delete;
  TDownloadedArchive& operator=(const TDownloadedArchive&) = delete;

  platform::TFileHandle Handle() const { return FHandle; }
  const std::string& TempName() const { return FTempName; }
  // Gives the file its designed name in the folder (replacing what stands there, never
  // following a link); false when that fails (the file is then removed with the object).
  bool TakeName(const std::string& AName);

 private:
  friend bool DownloadArchiveTo(platform::TFileHandle, const rtl::String&, const rtl::String&, const rtl::String&,
                                TDownloadedArchive&, TDownloadFailure*);
  platform::TFileHandle FFolder = platform::INVALID_FILE_HANDLE;  // not owned
  platform::TFileHandle FHandle = platform::INVALID_FILE_HANDLE;
  std::string FTempName;
};

// The designed name's place must be able to take a file: a folder (or anything but a file or a
// link) there raises EFCreateError "Cannot create file ..." as creating the file would.
void CheckArchivePlace(platform::TFileHandle AFolder, const rtl::String& ALocalPath);

// The download of the archive ARemoteName into a new file of AFolder (whose lock the caller
// holds), named "." + ALocalName + ".<random>.download", made with O_CREAT | O_EXCL | O_NOFOLLOW
// and mode 0600; temporary files a killed run left are removed first. A signed edition fetches
// and checks the signed statement before the file is made, holds the transfer to the signed
// length and checks the digest of the bytes written. True with AArchive holding the file; on
// failure the file is gone and AFailure tells why. EFCreateError when the file cannot be made,
// EclProxyEnvironmentError for a proxy variable that cannot be used.
bool DownloadArchiveTo(platform::TFileHandle AFolder, const rtl::String& AFolderPath, const rtl::String& ARemoteName,
                       const rtl::String& ALocalName, TDownloadedArchive& AArchive, TDownloadFailure* AFailure);

// Downloads the archive into Folder + ArchiveName(DestinationPrefix, ...), through the proxy the
// environment names, resuming a transfer whose connection breaks: under the folder's lock, into
// a temporary file (DownloadArchiveTo) that takes the designed name once it is complete. True
// when the file is complete on disk (and, in a signed edition, what the publisher signed); on any
// failure the partial or refused file is deleted, and so is an archive of that name, the answer
// is false and AFailure (when given) tells why. A local file that cannot be created raises
// (EFCreateError), and so does a proxy variable that cannot be used (EclProxyEnvironmentError,
// after the partial file is deleted).
bool DownloadArchive(const rtl::String& TargetPrefix, const rtl::String& Localization, const rtl::String& Version,
                     const rtl::String& Folder, TDownloadFailure* AFailure = nullptr);

}  // namespace downloader

// The update as one job under one lock and over one descriptor: the archive is downloaded into a
// private file of the install folder, checked and extracted through that same open file, and
// takes its designed name only once the new install is in place and its product is newer than
// the gate.
#pragma once

#include <memory>
#include <string>

#include "downloader/DownloadJob.h"
#include "platform/Files.h"
#include "rtl/SysUtils.h"

namespace downloader {

enum TUpdateOutcome { uoInstalled, uoDownloadFailed, uoNotSigned, uoInstallFailed, uoBusy };

// The files an install replaced, still in its staging folder: removed when this is destroyed,
// under the folder's lock, which is held until then (a second start keeps waiting).
class TInstallLeftovers {
 public:
  TInstallLeftovers(platform::TOwnedFile Folder, platform::TOwnedFile Lock, std::string StagingName)
      : FFolder(std::move(Folder)), FLock(std::move(Lock)), FStagingName(std::move(StagingName)) {}
  ~TInstallLeftovers();
  TInstallLeftovers(const TInstallLeftovers&) = delete;
  TInstallLeftovers& operator=(const TInstallLeftovers&) = delete;

 private:
  platform::TOwnedFile FFolder, FLock;
  std::string FStagingName;
};

struct TUpdateResult {
  TUpdateOutcome Outcome = uoInstallFailed;
  // Why the install failed or the lock was not had; empty for the download outcomes.
  rtl::String Reason;
  // After uoInstalled: the replaced files, so that the product can be started before they are
  // removed (removing thousands of files takes a second or more); the lock is held until then.
  std::shared_ptr<TInstallLeftovers> Leftovers;
};

// Downloads this edition's archive into Folder and installs it, ProductPath last. Nothing of the
// folder is truncated, replaced or removed before its lock is held (a second start waits up to
// InstallLockWaitMs, then answers uoBusy). After the moves the product's version is read again:
// one not newer than the gate undoes the install (uoInstallFailed, the reason names the version
// that arrived). Raises as DownloadArchive does (EFCreateError, EclProxyEnvironmentError) and
// when the 7-Zip library cannot be loaded.
TUpdateResult UpdateProduct(const rtl::String& Folder, const rtl::String& ProductPath);

// "<product> <version> arrived, which is not newer than 10.0.0.1: nothing was installed" (or that
// its version cannot be read); empty when the product at ProductPath may be started.
rtl::String CheckInstalledProduct(const rtl::String& ProductPath);

}  // namespace downloader

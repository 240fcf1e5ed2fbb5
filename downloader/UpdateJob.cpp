#include "downloader/UpdateJob.h"

#include "downloader/ExtractJob.h"
#include "downloader/Utils.h"
#include "downloader/build/Build.VersionReader.h"
#include "platform/LastError.h"

namespace downloader {

rtl::String CheckInstalledProduct(const rtl::String& ProductPath) {
  if (!NeedsUpdate(ProductPath)) return {};
  const rtl::String name = rtl::ExtractFileName(ProductPath);
  rtl::String version;
  try {
    TVersionInfo v = TVersionReader::GetVersionFromFile(ProductPath);
    version = rtl::Format(u"%d.%d.%d.%d", {v.Major, v.Minor, v.Release, v.Build});
  } catch (...) {
    return u"The update brought no " + name + u" with a readable version: nothing was installed";
  }
  return u"The update brought " + name + u" " + version + u", which is not newer than 10.0.0.1: nothing was installed";
}

TInstallLeftovers::~TInstallLeftovers() {
  // A removal that fails leaves the folder to the next run, which removes it first.
  if (FFolder.Valid() && !FStagingName.empty()) platform::RemoveTreeIn(FFolder.Get(), FStagingName);
}

TUpdateResult UpdateProduct(const rtl::String& Folder, const rtl::String& ProductPath) {
  TUpdateResult result;
  const rtl::String folderPath = rtl::IncludeTrailingPathDelimiter(Folder);
  const rtl::String localPath = DownloadedArchivePath(Localization, Version, folderPath);
  const rtl::String localName = rtl::ExtractFileName(localPath);
  platform::TOwnedFile folder(platform::OpenFolder(rtl::ExcludeTrailingPathDelimiter(folderPath)));
  if (!folder.Valid())
    throw rtl::EFCreateError(rtl::Format(u"Cannot create file \"%s\". %s",
                                         {localPath, platform::WindowsErrorMessage(platform::GetLastErrorValue())}));
  // The lock comes before anything in the folder is touched, and is held to the end.
  platform::TOwnedFile lock(platform::LockFolder(folder.Get(), InstallLockWaitMs));
  if (!lock.Valid() && platform::GetLastErrorValue() == platform::ERROR_LOCK_VIOLATION) {
    result.Outcome = uoBusy;
    result.Reason = AnotherUpdateMessage(folderPath);
    WriteLog(result.Reason);
    return result;
  }  // a folder that cannot be locked at all is updated as before
  CheckArchivePlace(folder.Get(), localPath);

  TDownloadedArchive archive;
  TDownloadFailure failure = dfNone;
  if (!DownloadArchiveTo(folder.Get(), folderPath, ArchiveName(TargetPrefix, Localization, Version), localName, archive,
                         &failure)) {
    result.Outcome = failure == dfNotSigned ? uoNotSigned : uoDownloadFailed;
    return result;
  }
  // The bytes that were checked are the bytes extracted: the same open file, never the path.
  TInstallTarget target{folder.Get(), folderPath, ProductPath, Version};
  rtl::String why;
  std::string staging;
  if (!InstallOpenArchive(target, archive.Handle(), localPath, [&] { return CheckInstalledProduct(ProductPath); },
                          why, &staging)) {
    WriteLog(why);
    result.Reason = why;
    return result;  // the temporary file goes with the archive object
  }
  // Named only now: an archive of that name beside the product is one that was installed.
  if (!archive.TakeName(rtl::U8(localName)))
    WriteLog(u"Cannot name the archive " + localPath + u": " + platform::WindowsErrorMessage(platform::GetLastErrorValue()));
  result.Outcome = uoInstalled;
  result.Leftovers = std::make_shared<TInstallLeftovers>(std::move(folder), std::move(lock), staging);
  return result;
}

}  // namespace downloader

// The extraction step of the update: unpack the downloaded archive beside the product and, only
// when all of it came out correct, put its files in place; a target that cannot be replaced is
// moved aside and the move tried once more.
#pragma once

#include <cstdint>
#include <functional>

#include "platform/gui/Forms.h"
#include "rtl/SysUtils.h"
#include "sevenzip/SevenZip.h"

namespace downloader {

// The archive component with the error reports turned into one Slovenian line.
class TSevenZipMsg : public sevenzip::TSevenZip {
 public:
  using sevenzip::TSevenZip::TSevenZip;

  // The last text OnErrorMsg built; empty until a code with a text (1 to 11) is reported.
  rtl::String cSevenZipError;
  // The OnMessage handler: "7-Zip <text> <file>" for codes 1 to 11, other codes change nothing.
  void OnErrorMsg(sevenzip::TSevenZip* Sender, int32_t ErrCode, const rtl::String& Message,
                  const rtl::String& Filename);
};

// The error text of a code, nullptr for codes without one.
const char16_t* SevenZipMsgText(int32_t ErrCode);

// A new component set up for extraction, with OnMessage on its own OnErrorMsg. Owned by AOwner
// when one is given, else by the caller. Raises when the 7-Zip library cannot be loaded.
TSevenZipMsg* CreateSevenZipMsg(platform::gui::TComponent* AOwner);

// Extracts ArchivePath into DestDir, overwriting, with the stored folders. True only when
// Extract answered 0 and no item error was reported (the library answers 0 for items that failed
// their checks). ErrorText receives the last error text. Raises when the library cannot be loaded.
bool ExtractArchive(const rtl::String& ArchivePath, const rtl::String& DestDir, rtl::String& ErrorText);
// The local archive path of the download step: Folder (with its separator) + ArchiveName with
// DestinationPrefix.
rtl::String DownloadedArchivePath(const rtl::String& Localization, const rtl::String& Version,
                                  const rtl::String& Folder);
// The install entry by its designed name: InstallArchive of the downloaded archive into Folder.
// It no longer extracts twice: a product that cannot be replaced is moved aside and its move
// retried inside the one transaction.
bool ExtractWithRetry(const rtl::String& Localization, const rtl::String& Version, const rtl::String& Folder,
                      const rtl::String& ProductPath);
// ExtractWithRetry with the product Folder + DestinationExe (kept by its designed name; the update
// itself goes through UpdateProduct).
bool ExtractDownloadedArchive(const rtl::String& Localization, const rtl::String& Version, const rtl::String& Folder);

// The staging folder of an archive: beside it, hidden, "." + the archive's file name + ".staging".
rtl::String StagingFolderPath(const rtl::String& ArchivePath);

// The update as one transaction, under the folder's lock (waited for up to InstallLockWaitMs), the
// archive opened once without following a link. The archive is extracted into its staging folder (in Folder, so
// on the same file system; those left by earlier runs are removed first, and while one cannot be,
// a file in it still in use, the staging takes the next free numbered name). Only when every
// item came out correct are its files moved into Folder, ProductPath last. A target that cannot
// be replaced in place (a running program, a read-only file, a link or a folder in a file's
// place) is moved aside as <target>.<Version>.<N>, N the first free of 0 to 100, and the move is
// retried. Any failure puts back everything moved so far and removes the staging folder: the old
// install stays byte for byte as it was, and nothing of a damaged archive stands in Folder.
// True when the new files are in place; ErrorText tells why not. Raises when the 7-Zip library
// cannot be loaded (nothing is changed then).
bool InstallArchive(const rtl::String& ArchivePath, const rtl::String& Folder, const rtl::String& ProductPath,
                    const rtl::String& Version, rtl::String& ErrorText);
// How long an update waits for another update of the same folder to end.
inline uint32_t InstallLockWaitMs = 30000;
// "Another update of <folder>/ is running": the lock of the folder was not had in time.
rtl::String AnotherUpdateMessage(const rtl::String& Folder);

// Where an open archive is installed: the install folder (open, its lock held by the caller), its
// path with the trailing separator, the product's path and the settings' Version (for displaced
// names).
struct TInstallTarget {
  platform::TFileHandle Folder;
  rtl::String FolderPath;
  rtl::String ProductPath;
  rtl::String Version;
};
// Asked once the new files are in place: empty accepts them, a reason undoes every move.
using TInstalledCheck = std::function<rtl::String()>;
// InstallArchive for an archive already open (read only through Archive, never its path again;
// ArchivePath names it in reports and names the staging folder). The staging folder is made in the
// target folder, checked to be the private one just made, and extracted into through its
// descriptor.
// With KeptStaging given, a successful install leaves the staging folder, which then holds the
// files the install replaced, for the caller to remove (its name in the target folder, a
// numbered one at times), so the product can be started first.
bool InstallOpenArchive(const TInstallTarget& Target, platform::TFileHandle Archive, const rtl::String& ArchivePath,
                        const TInstalledCheck& Check, rtl::String& ErrorText, std::string* KeptStaging = nullptr);

}  // namespace downloader

// The extraction step of the update: unpack the downloaded archive into the downloader folder
// and, when that fails, move the old product aside and try once more.
#pragma once

#include <cstdint>

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
// The local archive path of the download step: Folder, DestinationPrefix, "_SQL_", Localization,
// "_", Localization, "_", Version, ".7z".
rtl::String DownloadedArchivePath(const rtl::String& Localization, const rtl::String& Version,
                                  const rtl::String& Folder);
// ExtractArchive on the downloaded archive into Folder.
bool ExtractDownloadedArchive(const rtl::String& Localization, const rtl::String& Version, const rtl::String& Folder);
// The update's extraction: when the first attempt fails, ProductPath is moved to the first free
// name of ProductPath.Version.0 to ProductPath.Version.100 (nothing moved when all are taken) and
// a second attempt runs in every case; its result is the answer.
bool ExtractWithRetry(const rtl::String& Localization, const rtl::String& Version, const rtl::String& Folder,
                      const rtl::String& ProductPath);

}  // namespace downloader

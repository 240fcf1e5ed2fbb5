#include "downloader/ExtractJob.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "downloader/Utils.h"
#include "platform/Files.h"

namespace downloader {

namespace {

const char16_t* const kErrorTexts[12] = {
    nullptr,
    u"Datoteka ne obstaja!",
    u"Podatkovna napaka!",
    u"CRC napaka!",
    u"Metoda ni podprta!",
    u"Kazalo izven območja!",
    u"Uporabnik je preklical operacijo!",
    u"Datoteka ni 7z SFX arhiv!",
    u"Napaka v SFX modulu!",
    u"Ni možno kreirati SFX!",
    u"Ni možno dodati datoteko!",
    u"Ni možno kreirati datoteko!",
};

// Moves a file without ever replacing one: rename() would silently overwrite a displaced
// executable that appeared since we looked.
bool MoveFileNoReplace(const rtl::String& from, const rtl::String& to) {
  std::string f = rtl::U8(from), t = rtl::U8(to);
#ifdef SYS_renameat2
  if (::syscall(SYS_renameat2, AT_FDCWD, f.c_str(), AT_FDCWD, t.c_str(), 1u /* RENAME_NOREPLACE */) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
#endif
  // File systems without the flag: a hard link refuses an existing name too.
  if (::link(f.c_str(), t.c_str()) != 0) return false;
  return ::unlink(f.c_str()) == 0;
}

}  // namespace

const char16_t* SevenZipMsgText(int32_t ErrCode) {
  return ErrCode >= 1 && ErrCode <= 11 ? kErrorTexts[ErrCode] : nullptr;
}

void TSevenZipMsg::OnErrorMsg(sevenzip::TSevenZip* Sender, int32_t ErrCode, const rtl::String& Message,
                              const rtl::String& Filename) {
  if (const char16_t* text = SevenZipMsgText(ErrCode)) cSevenZipError = u"7-Zip " + rtl::String(text) + u" " + Filename;
}

TSevenZipMsg* CreateSevenZipMsg(platform::gui::TComponent* AOwner) {
  auto* sz = new TSevenZipMsg(AOwner);
  sz->SetSFXCreate(false);
  sz->SetSFXModule(u"7z.sfx");
  sz->SetLZMACompressType(sevenzip::LZMA);
  sz->SetLZMACompressStrength(sevenzip::FAST);
  sz->SetLZMAStrength(0);
  sz->SetNumberOfFiles(-1);
  sz->SetVolumeSize(0);
  sz->OnMessage = [sz](sevenzip::TSevenZip* Sender, int32_t ErrCode, const rtl::String& Message,
                       const rtl::String& Filename) { sz->OnErrorMsg(Sender, ErrCode, Message, Filename); };
  return sz;
}

bool ExtractArchive(const rtl::String& ArchivePath, const rtl::String& DestDir, rtl::String& ErrorText) {
  std::unique_ptr<TSevenZipMsg> sz(CreateSevenZipMsg(nullptr));
  sz->SetSZFileName(ArchivePath);
  sz->SetExtrBaseDir(DestDir);
  sz->SetExtractOptions(sz->ExtractOptions() | sevenzip::OptBit(sevenzip::ExtractOverwrite));
  // One decoding thread: the library's parallel LZMA2 decoder buffers a whole block per thread
  // (four times the dictionary), tens or hundreds of MiB for a large archive.
  sz->SetDecoderThreads(1);
  // The library answers 0 also when items failed their CRC or data checks: a reported item
  // error fails the attempt, or the update would start a product with corrupt files.
  bool ok = sz->Extract(false) == 0 && sz->cSevenZipError.empty();
  ErrorText = sz->cSevenZipError;
  return ok;
}

rtl::String DownloadedArchivePath(const rtl::String& Localization, const rtl::String& Version,
                                  const rtl::String& Folder) {
  return rtl::Format(u"%s_SQL_%s_%s_%s.7z", {rtl::IncludeTrailingPathDelimiter(Folder) + DestinationPrefix,
                                              Localization, Localization, Version});
}

bool ExtractDownloadedArchive(const rtl::String& Localization, const rtl::String& Version, const rtl::String& Folder) {
  rtl::String errorText;
  return ExtractArchive(DownloadedArchivePath(Localization, Version, Folder), Folder, errorText);
}

bool ExtractWithRetry(const rtl::String& Localization, const rtl::String& Version, const rtl::String& Folder,
                      const rtl::String& ProductPath) {
  if (ExtractDownloadedArchive(Localization, Version, Folder)) return true;
  for (int counter = 0; counter <= 100; ++counter) {
    rtl::String displaced = ProductPath + u"." + Version + u"." + rtl::IntToStr(counter);
    // Anything of that name (a folder, a dangling link) counts as taken: nothing is replaced.
    if (!platform::PathExists(displaced)) {
      MoveFileNoReplace(ProductPath, displaced);  // a failed move only makes the retry fail again
      break;
    }
  }
  return ExtractDownloadedArchive(Localization, Version, Folder);
}

}  // namespace downloader

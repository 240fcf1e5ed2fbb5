#include "downloader/ExtractJob.h"

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "downloader/Utils.h"
#include "platform/Files.h"
#include "platform/LastError.h"
#include "rtl/DateUtils.h"

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

// A file-system object of the install, relative to the folder that holds it ("a/b/c").
std::string ParentOf(const std::string& rel) {
  size_t slash = rel.rfind('/');
  return slash == std::string::npos ? std::string() : rel.substr(0, slash);
}
std::string NameOf(const std::string& rel) {
  size_t slash = rel.rfind('/');
  return slash == std::string::npos ? rel : rel.substr(slash + 1);
}

using platform::TOwnedFile;
using TKind = platform::TEntryKind;

TKind KindIn(platform::TFileHandle folder, const std::string& name) { return platform::EntryKindIn(folder, name); }

// The moves that put a staged archive in place, each undone in reverse order when a later one
// fails. Paths are relative to the install folder and the staging folder alike; folders are
// reached one component at a time, never through a link.
class TCommit {
 public:
  TCommit(platform::TFileHandle install, platform::TFileHandle staging, const rtl::String& version)
      : FInstall(install), FStaging(staging), FVersion(rtl::U8(version)) {}

  // Moves every staged file into place, productRel last; false with Error() set on the first
  // failure, after every earlier move was undone.
  bool Run(const std::string& productRel) {
    FProduct = productRel;
    // Staged folders may carry read-only modes from the archive: opened up to be moved out of
    // (and removed), their modes kept for the ones that end up in the install.
    OpenUp("");
    bool ok = PlaceFolder("");
    if (ok) {
      TOwnedFile staged(platform::OpenFolderBelow(FStaging, ParentOf(FProduct), false));
      if (staged.Valid() && KindIn(staged.Get(), NameOf(FProduct)) == TKind::File) ok = PlaceFile(FProduct);
    }
    if (!ok) Undo();
    return ok;
  }

  // The archive's modes for the folders that were moved in (deepest first).
  void RestoreModes() {
    std::sort(FModes.begin(), FModes.end(), [](auto& a, auto& b) { return a.first.size() > b.first.size(); });
    for (const auto& [rel, mode] : FModes) {
      bool placed = std::any_of(FPlacedFolders.begin(), FPlacedFolders.end(), [&](const std::string& root) {
        return rel == root || rel.compare(0, root.size() + 1, root + "/") == 0;
      });
      if (!placed) continue;
      TOwnedFile parent(platform::OpenFolderBelow(FInstall, ParentOf(rel), false));
      if (parent.Valid()) platform::SetModeIn(parent.Get(), NameOf(rel), mode);
    }
  }
  const rtl::String& Error() const { return FError; }

  // Puts back every move made, in reverse order.
  void Undo() {
    for (auto it = FUndo.rbegin(); it != FUndo.rend(); ++it) {
      TOwnedFile target(platform::OpenFolderBelow(FInstall, ParentOf(it->Rel), false));
      TOwnedFile staged(platform::OpenFolderBelow(FStaging, ParentOf(it->Rel), false));
      const std::string name = NameOf(it->Rel);
      switch (it->Step) {
        case TStep::Placed: platform::RenameIn(target.Get(), name, staged.Get(), name, platform::TRenameMode::NoReplace); break;
        case TStep::Exchanged: platform::RenameIn(staged.Get(), name, target.Get(), name, platform::TRenameMode::Exchange); break;
        case TStep::Aside: platform::RenameIn(target.Get(), it->Aside, target.Get(), name, platform::TRenameMode::NoReplace); break;
        case TStep::MadeFolder: platform::DeleteIn(target.Get(), name); break;
      }
    }
    FUndo.clear();
    FPlacedFolders.clear();
  }

 private:
  enum class TStep { Placed, Exchanged, Aside, MadeFolder };
  struct TUndo {
    TStep Step;
    std::string Rel;
    std::string Aside;  // for Aside: the name it was moved to, in the same folder
  };

  bool Fail(const std::string& rel) {
    uint32_t code = platform::GetLastErrorValue();
    if (FError.empty())
      FError = u"7-Zip " + rtl::String(SevenZipMsgText(11)) + u" " + rtl::S(rel) + u" (" +
               platform::WindowsErrorMessage(code) + u")";
    return false;
  }

  void OpenUp(const std::string& rel) {
    std::vector<platform::TFolderEntry> entries;
    std::vector<std::string> children;
    {
      TOwnedFile f(platform::OpenFolderBelow(FStaging, rel, false));
      if (!f.Valid() || !platform::ListFolder(f.Get(), entries)) return;
      for (const auto& [n, kind] : entries) {
        int32_t mode = kind == TKind::Folder ? platform::ModeIn(f.Get(), n) : -1;
        if (mode < 0) continue;
        std::string child = rel.empty() ? n : rel + "/" + n;
        FModes.emplace_back(child, uint32_t(mode) & 0777);
        platform::SetModeIn(f.Get(), n, 0700 | (uint32_t(mode) & 0777));
        children.push_back(child);
      }
    }  // closed before going deeper
    for (const std::string& child : children) OpenUp(child);
  }

  // What was moved in takes the access rules of the install, not of the private staging folder
  // (Windows keeps a moved file's list). Should that fail, the file stays private to this user:
  // no reason to undo the install.
  static bool Placed(platform::TFileHandle folder, const std::string& name) {
    platform::InheritAccessIn(folder, name);
    return true;
  }

  // Moves what stands at rel aside as rel.<Version>.<N>, N the first free of 0 to 100. A name
  // counts as taken when anything has it (a dangling link too); nothing is ever replaced.
  bool MoveAside(platform::TFileHandle folder, const std::string& rel) {
    const std::string name = NameOf(rel);
    for (int n = 0; n <= 100; ++n) {
      std::string aside = name + "." + FVersion + "." + std::to_string(n);
      if (KindIn(folder, aside) != TKind::None) continue;
      if (platform::RenameIn(folder, name, folder, aside, platform::TRenameMode::NoReplace)) {
        FUndo.push_back({TStep::Aside, rel, aside});
        return true;
      }
      if (platform::GetLastErrorValue() != platform::ERROR_ALREADY_EXISTS) return false;
    }
    platform::SetLastErrorValue(platform::ERROR_FILE_EXISTS);
    return false;
  }

  // A staged file over the install's: exchanged in one step, so the old one waits in the staging
  // folder until the end. What cannot be replaced in place is moved aside and the move retried.
  bool PlaceFile(const std::string& rel) {
    TOwnedFile target(platform::OpenFolderBelow(FInstall, ParentOf(rel), false));
    TOwnedFile staged(platform::OpenFolderBelow(FStaging, ParentOf(rel), false));
    if (!target.Valid() || !staged.Valid()) return Fail(rel);
    return PlaceFileIn(target.Get(), staged.Get(), rel);
  }

  // The same with both parent folders open: a folder's files share them.
  bool PlaceFileIn(platform::TFileHandle target, platform::TFileHandle staged, const std::string& rel) {
    const std::string name = NameOf(rel);
    for (int attempt = 0; attempt < 2; ++attempt) {
      if (platform::CheckReplaceable(target, name) == 0) {
        // The exchange first: an update mostly replaces files. It fails when the name is free
        // (or the file system cannot exchange), and then a plain move is tried.
        if (platform::RenameIn(staged, name, target, name, platform::TRenameMode::Exchange)) {
          FUndo.push_back({TStep::Exchanged, rel, {}});
          return Placed(target, name);
        }
        if (KindIn(target, name) == TKind::None &&
            platform::RenameIn(staged, name, target, name, platform::TRenameMode::NoReplace)) {
          FUndo.push_back({TStep::Placed, rel, {}});
          return Placed(target, name);
        }
        // A file system without the exchange: moved aside like a file in use, then placed.
      }
      if (attempt == 1 || !MoveAside(target, rel)) break;
    }
    return Fail(rel);
  }

  // The content of the staged folder rel, product excepted.
  bool PlaceFolder(const std::string& rel) {
    std::vector<platform::TFolderEntry> entries;
    std::vector<std::string> folders;
    {
      TOwnedFile target(platform::OpenFolderBelow(FInstall, rel, false));
      TOwnedFile staged(platform::OpenFolderBelow(FStaging, rel, false));
      if (!target.Valid() || !staged.Valid() || !platform::ListFolder(staged.Get(), entries)) return Fail(rel);
      for (const auto& [n, kind] : entries) {
        std::string child = rel.empty() ? n : rel + "/" + n;
        if (kind == TKind::File && child != FProduct && !PlaceFileIn(target.Get(), staged.Get(), child)) return false;
        if (kind == TKind::Folder) folders.push_back(std::move(child));
      }
    }  // closed before going deeper
    for (const std::string& child : folders)
      if (!PlaceSubfolder(child)) return false;
    return true;
  }

  // A folder the install lacks is moved in whole (unless the product is inside: it goes last);
  // one it has gets the staged content one by one. Anything else in its place is moved aside.
  bool PlaceSubfolder(const std::string& rel) {
    const std::string name = NameOf(rel);
    {
      TOwnedFile target(platform::OpenFolderBelow(FInstall, ParentOf(rel), false));
      TOwnedFile staged(platform::OpenFolderBelow(FStaging, ParentOf(rel), false));
      if (!target.Valid() || !staged.Valid()) return Fail(rel);
      TKind there = KindIn(target.Get(), name);
      if (there != TKind::Folder) {
        if (there != TKind::None && !MoveAside(target.Get(), rel)) return Fail(rel);
        if (FProduct.compare(0, rel.size() + 1, rel + "/") != 0) {
          if (!platform::RenameIn(staged.Get(), name, target.Get(), name, platform::TRenameMode::NoReplace)) return Fail(rel);
          FUndo.push_back({TStep::Placed, rel, {}});
          FPlacedFolders.push_back(rel);
          return Placed(target.Get(), name);
        }
        if (!platform::MakeFolderIn(target.Get(), name, platform::MadeFolderMode())) return Fail(rel);
        FUndo.push_back({TStep::MadeFolder, rel, {}});
        FPlacedFolders.push_back(rel);
      }
    }  // closed before going deeper
    return PlaceFolder(rel);
  }

  platform::TFileHandle FInstall, FStaging;
  std::string FVersion, FProduct;
  std::vector<TUndo> FUndo;
  std::vector<std::string> FPlacedFolders;
  std::vector<std::pair<std::string, uint32_t>> FModes;
  rtl::String FError;
};

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

namespace {

// One extraction with the component set up as the update wants it; ArchiveHandle and DestHandle,
// when valid, are read and written through instead of the paths.
bool Extract(const rtl::String& ArchivePath, platform::TFileHandle ArchiveHandle, const rtl::String& DestDir,
             platform::TFileHandle DestHandle, rtl::String& ErrorText, int32_t* SystemError = nullptr) {
  std::unique_ptr<TSevenZipMsg> sz(CreateSevenZipMsg(nullptr));
  sz->SetSZFileName(ArchivePath);
  sz->SetSZFileHandle(ArchiveHandle);
  sz->SetExtrBaseDir(DestDir);
  sz->SetExtrBaseHandle(DestHandle);
  sz->SetExtractOptions(sz->ExtractOptions() | sevenzip::OptBit(sevenzip::ExtractOverwrite));
  // Parallel decoding only within 8 MiB: the library's parallel LZMA2 decoder buffers a whole
  // block per thread (four times the dictionary, at least 1 MiB), tens or hundreds of MiB for an
  // archive with a large dictionary, which therefore decodes on one thread; one with a small
  // dictionary uses the cores for a few MiB. Decoding is most of the update's time.
  sz->SetDecoderThreads(0);
  sz->SetDecoderMemoryLimit(8u << 20);
  // The library answers 0 also when items failed their CRC or data checks: a reported item
  // error fails the attempt, or the update would start a product with corrupt files.
  bool ok = sz->Extract(false) == 0 && sz->cSevenZipError.empty();
  ErrorText = sz->cSevenZipError;
  if (SystemError) *SystemError = sz->LastError();
  return ok;
}

rtl::String SystemReason() { return platform::WindowsErrorMessage(platform::GetLastErrorValue()); }

// Staging folders of earlier runs: "." + an archive's name + ".staging", and the numbered ones
// taken while such a folder could not be removed.
bool IsStagingName(const std::string& name) {
  const std::string tail = ".7z.staging";
  size_t at = name.rfind(tail);
  if (name.size() < 2 || name[0] != '.' || at == std::string::npos || at == 0) return false;
  const std::string rest = name.substr(at + tail.size());
  return rest.empty() || (rest.size() > 1 && rest[0] == '.' &&
                          std::all_of(rest.begin() + 1, rest.end(), [](char c) { return c >= '0' && c <= '9'; }));
}

// Removes what earlier runs left and answers the staging name to use: baseName, or, while a
// folder of that name holds a file still in use (a program started from a replaced file, which
// Windows does not let anyone remove), the first free of baseName.1 to baseName.100; empty when
// none is free. Whatever stays is removed by a later run.
std::string FreshStagingName(platform::TFileHandle folder, const std::string& baseName) {
  std::vector<platform::TFolderEntry> entries;
  if (platform::ListFolder(folder, entries))
    for (const auto& e : entries)
      if (e.Kind == TKind::Folder && IsStagingName(e.Name)) platform::RemoveTreeIn(folder, e.Name);
  for (int n = 0; n <= 100; ++n) {
    std::string name = n == 0 ? baseName : baseName + "." + std::to_string(n);
    if (KindIn(folder, name) == TKind::None) return name;
  }
  platform::SetLastErrorValue(platform::ERROR_FILE_EXISTS);
  return {};
}

}  // namespace

bool ExtractArchive(const rtl::String& ArchivePath, const rtl::String& DestDir, rtl::String& ErrorText) {
  return Extract(ArchivePath, platform::INVALID_FILE_HANDLE, DestDir, platform::INVALID_FILE_HANDLE, ErrorText);
}

rtl::String DownloadedArchivePath(const rtl::String& Localization, const rtl::String& Version,
                                  const rtl::String& Folder) {
  return ArchiveName(rtl::IncludeTrailingPathDelimiter(Folder) + DestinationPrefix, Localization, Version);
}

bool ExtractDownloadedArchive(const rtl::String& Localization, const rtl::String& Version, const rtl::String& Folder) {
  return ExtractWithRetry(Localization, Version, Folder, rtl::IncludeTrailingPathDelimiter(Folder) + DestinationExe);
}

bool ExtractWithRetry(const rtl::String& Localization, const rtl::String& Version, const rtl::String& Folder,
                      const rtl::String& ProductPath) {
  rtl::String errorText;
  return InstallArchive(DownloadedArchivePath(Localization, Version, Folder), Folder, ProductPath, Version, errorText);
}

rtl::String StagingFolderPath(const rtl::String& ArchivePath) {
  return rtl::ExtractFilePath(ArchivePath) + u"." + rtl::ExtractFileName(ArchivePath) + u".staging";
}

bool InstallArchive(const rtl::String& ArchivePath, const rtl::String& Folder, const rtl::String& ProductPath,
                    const rtl::String& Version, rtl::String& ErrorText) {
  ErrorText.clear();
  const rtl::String folderPath = rtl::IncludeTrailingPathDelimiter(Folder);
  TOwnedFile install(platform::OpenFolder(rtl::ExcludeTrailingPathDelimiter(folderPath)));
  if (!install.Valid()) {
    ErrorText = u"Cannot open " + folderPath + u": " + SystemReason();
    return false;
  }
  TOwnedFile lock(platform::LockFolder(install.Get(), InstallLockWaitMs));
  if (!lock.Valid() && platform::GetLastErrorValue() == platform::ERROR_LOCK_VIOLATION) {
    ErrorText = AnotherUpdateMessage(folderPath);
    return false;
  }  // a folder that cannot be locked at all is updated as before
  // The archive is opened once, never through a link, and read only through that descriptor.
  const rtl::String archiveName = rtl::ExtractFileName(ArchivePath);
  TOwnedFile archiveFolder(platform::OpenFolder(rtl::ExcludeTrailingPathDelimiter(rtl::ExtractFilePath(ArchivePath))));
  TOwnedFile archive(archiveFolder.Valid() ? platform::OpenFileIn(archiveFolder.Get(), rtl::U8(archiveName))
                                        : platform::INVALID_FILE_HANDLE);
  if (!archive.Valid()) {
    // The extraction reports a missing archive as the component does.
    ErrorText = u"7-Zip " + rtl::String(SevenZipMsgText(1)) + u" " + ArchivePath;
    return false;
  }
  TInstallTarget target{install.Get(), folderPath, ProductPath, Version};
  return InstallOpenArchive(target, archive.Get(), ArchivePath, nullptr, ErrorText);
}

rtl::String AnotherUpdateMessage(const rtl::String& Folder) {
  return u"Another update of " + rtl::IncludeTrailingPathDelimiter(Folder) + u" is running";
}

bool InstallOpenArchive(const TInstallTarget& Target, platform::TFileHandle Archive, const rtl::String& ArchivePath,
                        const TInstalledCheck& Check, rtl::String& ErrorText, std::string* KeptStaging) {
  ErrorText.clear();
  const rtl::String& folderPath = Target.FolderPath;
  const std::string baseName = rtl::U8(rtl::ExtractFileName(StagingFolderPath(ArchivePath)));
  auto failed = [&](const rtl::String& why) {
    if (ErrorText.empty()) ErrorText = why;
    return false;
  };
  // What an interrupted run left goes first; the staging folder is ours alone (0700), and the
  // one opened must be the one just made: a folder another user swapped in is refused.
  const std::string stagingName = FreshStagingName(Target.Folder, baseName);
  auto removeStaging = [&] { return platform::RemoveTreeIn(Target.Folder, stagingName); };
  if (stagingName.empty() || !platform::MakeFolderIn(Target.Folder, stagingName, 0700))
    return failed(u"Cannot prepare " + rtl::S(baseName) + u": " + SystemReason());
  TOwnedFile staging(platform::OpenFolderBelow(Target.Folder, stagingName, false));
  if (!staging.Valid() || !platform::IsPrivateFolder(staging.Get())) {
    staging = TOwnedFile();
    removeStaging();
    return failed(u"Cannot prepare " + rtl::S(stagingName) + u": it is not the private folder just made");
  }
  const rtl::String stagingPath = folderPath + rtl::S(stagingName);
  bool ok = false;
  int32_t systemError = 0;
  try {
    ok = Extract(ArchivePath, Archive, stagingPath, staging.Get(), ErrorText, &systemError);
  } catch (...) {
    staging = TOwnedFile();
    removeStaging();
    throw;
  }
  if (!ok) {
    staging = TOwnedFile();
    removeStaging();
    // Why the system refused an item (a name Windows does not allow, a full disk) with the item.
    if (!ErrorText.empty() && systemError != 0)
      ErrorText += u" (" + platform::WindowsErrorMessage(uint32_t(systemError)) + u")";
    return failed(u"7-Zip " + rtl::String(SevenZipMsgText(2)) + u" " + ArchivePath);
  }
  // The new files reach the disk before any old one is replaced: a power cut during the moves
  // leaves whole files, old or new.
  platform::SyncFileSystem(staging.Get());
  std::string productRel;
  if (Target.ProductPath.compare(0, folderPath.size(), folderPath) == 0)
    productRel = rtl::U8(Target.ProductPath.substr(folderPath.size()));
  TCommit commit(Target.Folder, staging.Get(), Target.Version);
  ok = commit.Run(productRel);
  if (ok && Check) {
    // What was installed must be what the caller wants started; if not, it goes as any failed
    // install goes: every move undone.
    rtl::String why = Check();
    if (!why.empty()) {
      commit.Undo();
      ok = false;
      failed(why);
    }
  } else if (!ok) {
    failed(commit.Error());
  }
  if (ok) {
    commit.RestoreModes();
    platform::SyncFolder(Target.Folder);  // the renames themselves
  }
  staging = TOwnedFile();
  if (ok && KeptStaging)
    *KeptStaging = stagingName;  // the old files the moves exchanged, removed by the caller
  else
    removeStaging();  // the old files the moves exchanged, or everything of a failed one
  return ok;
}

}  // namespace downloader

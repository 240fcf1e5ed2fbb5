// The objects the library calls back during Open and Extract: the open callback, the extraction
// callback and the output stream of one extracted file.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sevenzip/SevenZip.h"

namespace sevenzip {

// Reference counting shared by every object handed to the library. Counts start at 0: the
// creator's TComPtr takes the first reference.
class TInterfacedObject {
 public:
  virtual ~TInterfacedObject() = default;
  uint32_t DoAddRef() { return ++FRefCount; }
  uint32_t DoRelease() {
    uint32_t n = --FRefCount;
    if (n == 0) delete this;
    return n;
  }
  uint32_t RefCount() const { return FRefCount; }

 private:
  std::atomic<uint32_t> FRefCount{0};
};

#define SEVENZIP_IUNKNOWN_IMPL                                                     \
  HRESULT SEVENZIP_STDCALL QueryInterface(const GUID& iid, void** out) override; \
  uint32_t SEVENZIP_STDCALL AddRef() override { return DoAddRef(); }             \
  uint32_t SEVENZIP_STDCALL Release() override { return DoRelease(); }

// An owning reference to a library-facing object.
template <class T>
class TComPtr {
 public:
  TComPtr() = default;
  explicit TComPtr(T* p) : FPtr(p) {
    if (FPtr) FPtr->AddRef();
  }
  TComPtr(const TComPtr& o) : TComPtr(o.FPtr) {}
  TComPtr& operator=(const TComPtr& o) {
    TComPtr tmp(o);
    std::swap(FPtr, tmp.FPtr);
    return *this;
  }
  ~TComPtr() { Reset(); }
  void Reset() {
    if (FPtr) FPtr->Release();
    FPtr = nullptr;
  }
  T* Get() const { return FPtr; }
  T* operator->() const { return FPtr; }
  explicit operator bool() const { return FPtr != nullptr; }

 private:
  T* FPtr = nullptr;
};

// An open folder shared by the callback's cache and the writers of the files in it.
struct TFolderHandle {
  explicit TFolderHandle(platform::TFileHandle h, bool owned = true) : Fd(h), Owned(owned) {}
  ~TFolderHandle() {
    if (Owned) platform::CloseHandle(Fd);
  }
  TFolderHandle(const TFolderHandle&) = delete;
  TFolderHandle& operator=(const TFolderHandle&) = delete;
  platform::TFileHandle Fd;
  bool Owned;
};
using TFolderRef = std::shared_ptr<TFolderHandle>;

class TMyStreamWriter;

class TMyArchiveOpenCallback : public TInterfacedObject, public IArchiveOpenCallback, public ICryptoGetTextPassword {
 public:
  explicit TMyArchiveOpenCallback(TSevenZip* Owner);
  SEVENZIP_IUNKNOWN_IMPL
  HRESULT SEVENZIP_STDCALL SetTotal(const uint64_t* files, const uint64_t* bytes) override;
  HRESULT SEVENZIP_STDCALL SetCompleted(const uint64_t* files, const uint64_t* bytes) override;
  HRESULT SEVENZIP_STDCALL CryptoGetTextPassword(BSTR* password) override;

 private:
  TSevenZip* FSevenzip;
  rtl::String FPassword;
};

class TMyArchiveExtractCallback : public TInterfacedObject,
                                  public IArchiveExtractCallback,
                                  public ICryptoGetTextPassword {
 public:
  explicit TMyArchiveExtractCallback(TSevenZip* Owner);
  SEVENZIP_IUNKNOWN_IMPL
  HRESULT SEVENZIP_STDCALL SetTotal(uint64_t total) override;
  HRESULT SEVENZIP_STDCALL SetCompleted(const uint64_t* completeValue) override;
  HRESULT SEVENZIP_STDCALL GetStream(uint32_t index, ISequentialOutStream** outStream, int32_t askExtractMode) override;
  HRESULT SEVENZIP_STDCALL PrepareOperation(int32_t askExtractMode) override;
  HRESULT SEVENZIP_STDCALL SetOperationResult(int32_t resultEOperationResult) override;
  HRESULT SEVENZIP_STDCALL CryptoGetTextPassword(BSTR* password) override;

  // Folder modes from the archive, applied once every item is written (a read-only folder would
  // refuse its own content otherwise).
  void ApplyFolderModes();
  // Removes the temporary file of an item whose result never came (the library stopped).
  void DiscardPending();

  rtl::String FExtractDirectory;
  int64_t FFilestoextract = 0;
  bool FLastFileToExt = false;
  bool FAllFilesExt = false;

 private:
  HRESULT DoGetStream(uint32_t index, ISequentialOutStream** outStream, int32_t askExtractMode);
  HRESULT DoSetCompleted(const uint64_t* completeValue);
  HRESULT DoSetOperationResult(int32_t result);
  // Where a target goes: its folder, opened (and made where missing) without following a link
  // below the extraction folder, and its name there. 0 or the error that refuses the item.
  uint32_t PlaceOf(const rtl::String& target, TFolderRef& folder, std::string& name);
  // Makes the folder of a folder item and notes its mode; false when it cannot be made.
  bool MakeFolderItem(const rtl::String& target, uint32_t attributes);
  // The extraction folder itself, made when missing; null (last-error set) when it can't be.
  TFolderRef Base();
  // The part of a target below the extraction folder; false for a target elsewhere (a name an
  // OnSetExtractName handler chose).
  bool BelowBase(const rtl::String& target, std::string& rel) const;
  // The path of a folder below the extraction folder, from its relative form ("/" between parts).
  rtl::String PathOfRel(const std::string& rel) const;
  void NoteCreated(const std::vector<std::string>& created);

  TSevenZip* FSevenzip;
  rtl::String FProgressFile;
  int64_t FProgressFilePos = 0;
  int64_t FProgressFileSize = 0;
  int64_t FLastPos = 0;
  rtl::String FPassword;
  // The current item was refused before the library got a stream: its later test result must
  // not clear the code reported for it.
  bool FCurrentRefused = false;
  struct TFolderMode {
    rtl::String Path;
    uint32_t Mode;
  };
  std::vector<TFolderMode> FFolderModes;
  TFolderRef FBase;
  // The folder of the last file item: items of one folder come one after another.
  std::string FCachedRel;
  TFolderRef FCachedFolder;
  // The file of the current item, kept until its result decides whether it takes its name.
  TComPtr<TMyStreamWriter> FPending;
  rtl::String FPendingTarget;
};

// The output stream of one extracted file.
class TMyStreamWriter : public TInterfacedObject, public IOutStream {
 public:
  // Creates the file; nullptr on failure with the OS error code stored through PLastError.
  static TMyStreamWriter* Create(int32_t* PLastError, const rtl::String& sz, rtl::TDateTime szDate, uint32_t FAttr,
                                 uint32_t VolumeSize, bool CreateSFX);
  // The file of an extracted item: written under a temporary name in Folder, so a damaged or
  // half-written item never stands under its name; Commit gives it the name, Discard (or the
  // last release without Commit) removes it.
  static TMyStreamWriter* CreateInFolder(int32_t* PLastError, TFolderRef Folder, const std::string& Name,
                                         rtl::TDateTime szDate, uint32_t FAttr);
  // Closes the file and renames it over its name; false, with the OS error code in error, when a
  // write, the close or the rename failed (the temporary file is then removed).
  bool Commit(int32_t& error);
  void Discard();
  ~TMyStreamWriter() override;
  SEVENZIP_IUNKNOWN_IMPL
  HRESULT SEVENZIP_STDCALL Write(const void* data, uint32_t size, uint32_t* processedSize) override;
  HRESULT SEVENZIP_STDCALL Seek(int64_t offset, uint32_t seekOrigin, uint64_t* newPosition) override;
  HRESULT SEVENZIP_STDCALL SetSize(uint64_t newSize) override;

 private:
  TMyStreamWriter() = default;
  bool AddVolume();
  // Takes the new file's handle and gives it the item's last-write time.
  bool StartFile(platform::TFileHandle h);
  // Closes every file (their time set again); false with the first error.
  bool CloseFiles(int32_t& error);

  rtl::String arcName;
  rtl::TDateTime arcDate = 0;
  uint32_t arcAttr = 0;
  bool arcCreateSFX = false;
  uint32_t arcVolumeSize = 0;
  int64_t arcPosition = 0;
  int64_t arcSize = 0;
  int32_t* FPLastError = nullptr;
  int32_t MyLastError = 0;
  TArrayOfFiles Files;
  // The DOS-rounded time, reapplied at release since writing moves a file's time on.
  bool FHasTime = false;
  uint64_t FFileTime = 0;
  TFolderRef FFolder;
  std::string FName;
  std::string FTempName;  // empty once committed or removed
};

// A stored path with this system's separator between folders: as stored on Linux ("/"); on
// Windows the backslash, whichever of the two the library gave.
rtl::String NativeStoredPath(rtl::String storedPath);
// An item's stored path (kpidPath) in that form; false when the item has none.
bool ReadStoredPath(const TSevenZipLibrary& lib, IInArchive* a, uint32_t index, rtl::String& path);

// The extraction-time rule for a stored path: a path that is absolute or climbs out of the
// extraction folder ("..") is refused; on Windows also one with a drive or a stream (":").
bool IsUnsafeStoredPath(const rtl::String& storedPath);

// Items deeper than this many folders are refused: deeper trees serve no product and only make
// every walk over the install (and its removal) costlier.
constexpr size_t MaxItemDepth = 256;
// Why a stored path is refused as a name (0: it is not): ERROR_INVALID_NAME for a C0 control
// character, DEL or text that is not valid Unicode (an unpaired surrogate, a replaced code
// point); ERROR_FILENAME_EXCED_RANGE for more than MaxItemDepth components.
uint32_t StoredNameRefusal(const rtl::String& storedPath);
// The path as it can be shown: controls, DEL and unpaired surrogates as \xNN or \uNNNN,
// a backslash doubled, and a path of more than 120 characters cut with "...".
rtl::String EscapedStoredPath(const rtl::String& storedPath);

// Local date-time of the DOS rounding of a local date-time, as FILETIME ticks in UTC; false
// outside the DOS range (1980..2107).
bool DosRoundedFileTime(rtl::TDateTime local, uint64_t& fileTimeUtc);

}  // namespace sevenzip

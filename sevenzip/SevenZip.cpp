#include "sevenzip/SevenZip.h"

#include <algorithm>

#include "platform/LastError.h"
#include "sevenzip/SFXCheck.h"
#include "sevenzip/SevenZipCallbacks.h"
#include "sevenzip/SevenZipReader.h"

namespace sevenzip {

const char16_t* const c7zipResMsg[12] = {
    u"Success",
    u"File not found",
    u"Data Error",
    u"CRC Error",
    u"Unsupported Method",
    u"Index out of Range",
    u"User canceled operation",
    u"File is not an 7z SFX archive",
    u"SFXModule error ( Not found )",
    u"Could not create SFX",
    u"No files to add",
    u"Could not create file",
};

namespace {

class THandleSource : public TSFXSource {
 public:
  explicit THandleSource(platform::TFileHandle h) : FHandle(h) {}
  int64_t Size() override { return platform::GetFileSizeOfHandle(FHandle); }
  uint32_t ReadAt(int64_t offset, void* buffer, uint32_t size) override {
    uint32_t done = 0;
    if (!platform::ReadFileAt(FHandle, offset, buffer, size, &done)) return 0;
    return done;
  }

 private:
  platform::TFileHandle FHandle;
};

bool HasExeExtension(const rtl::String& name) { return rtl::UpperCase(rtl::ExtractFileExt(name)) == u".EXE"; }

// Closes the archive and clears the cancel request on every way out of Extract.
struct TCloseOnExit {
  IInArchive* a;
  std::atomic<bool>& cancel;
  ~TCloseOnExit() {
    if (a) a->Close();
    cancel = false;
  }
};

}  // namespace

TSevenZip::TSevenZip(platform::gui::TComponent* AOwner) : platform::gui::TComponent(AOwner) {
  if (!LoadSevenZipLibrary(FLibrary))
    throw rtl::Exception(rtl::String(u"Could not load CreateObject function from ") + kLibraryFileName +
                         u"\r\nPerhaps " + kLibraryFileName + u" not found");
  FLibrary.CreateObject(&CLSID_CFormat7z, &IID_IInArchive, reinterpret_cast<void**>(&inA));
  FLibrary.CreateObject(&CLSID_CFormat7z, &IID_IOutArchive, reinterpret_cast<void**>(&outA));
  FLibrary.CreateObject(&CLSID_CFormat7z, &IID_ISetProperties, reinterpret_cast<void**>(&sp));
  if (!inA) {
    // Without the reading interface nothing could ever be extracted: refuse now.
    if (outA) outA->Release();
    if (sp) sp->Release();
    FreeSevenZipLibrary(FLibrary);
    throw rtl::Exception(rtl::String(kLibraryFileName) + u" offers no 7z archive handler");
  }
}

TSevenZip::~TSevenZip() {
  FNamesOfVolumesWritten.clear();
  if (inA) inA->Release();
  if (outA) outA->Release();
  if (sp) sp->Release();
  inA = nullptr;
  outA = nullptr;
  sp = nullptr;
  FreeSevenZipLibrary(FLibrary);
  Ffiles.Clear();
}

void TSevenZip::ReportError(int32_t code, const rtl::String& fileName) {
  FErrCode = code;
  if (code == SZ_SUCCESS || !OnMessage) return;
  rtl::String text = code >= 0 && code < 12 ? rtl::String(c7zipResMsg[code]) : rtl::String();
  OnCallerThread([&] { OnMessage(this, code, text, fileName); });
}

void TSevenZip::KeepException(std::exception_ptr e) {
  std::lock_guard<std::mutex> lock(FExceptionLock);
  if (!FKeptException) FKeptException = e;
}

void TSevenZip::RethrowKept() {
  std::exception_ptr e;
  {
    std::lock_guard<std::mutex> lock(FExceptionLock);
    std::swap(e, FKeptException);
  }
  if (e) std::rethrow_exception(e);
}

int32_t TSevenZip::Extract(bool TestArchive) {
  {
    std::lock_guard<std::mutex> lock(FExceptionLock);
    FKeptException = nullptr;
  }
  TCloseOnExit closer{inA, FMainCancel};

  const bool borrowed = FSZFileHandle != platform::INVALID_FILE_HANDLE;
  if (!borrowed && HasExeExtension(FSevenZipFileName) && !SFXCheck(FSevenZipFileName)) {
    ReportError(SZ_NOT_SFX, FSevenZipFileName);
    return -1;
  }

  TComPtr<TMyStreamReader> reader(borrowed ? new TMyStreamReader(this, FSevenZipFileName, FSZFileHandle)
                                           : new TMyStreamReader(this, FSevenZipFileName, true));
  inA->Close();
  LimitDecoderThreads();
  TComPtr<TMyArchiveOpenCallback> openCallback(new TMyArchiveOpenCallback(this));
  IInStream* stream = static_cast<IInStream*>(reader.Get());
  IArchiveOpenCallback* openCb = static_cast<IArchiveOpenCallback*>(openCallback.Get());
  HRESULT hr = inA->Open(stream, nullptr, openCb);
  RethrowKept();
  // This library never reads past the size it was told: a missing volume shows up as an
  // unexpected end short of the archive's physical size. Ask for it and open again.
  for (int round = 0; hr != S_OK && !borrowed && round < 1000; ++round) {
    uint64_t flags = ReadArchivePropUInt64(FLibrary, inA, kpidErrorFlags);
    int64_t physical = static_cast<int64_t>(ReadArchivePropUInt64(FLibrary, inA, kpidPhySize));
    if (!(flags & kpv_ErrorFlags_UnexpectedEnd) || physical <= reader->OfferedSize()) break;
    inA->Close();
    bool more = reader->ProvideMissingVolumes(physical);
    RethrowKept();
    if (!more) break;
    hr = inA->Open(stream, nullptr, openCb);
    RethrowKept();
  }
  if (hr != S_OK) {
    inA->Close();
    reader.Reset();  // closes its files and hands up the read error
    ReportError(SZ_FILE_NOT_FOUND, FSevenZipFileName);
    return -1;
  }

  uint32_t n = 0;
  inA->GetNumberOfItems(&n);
  std::vector<uint32_t> indices;
  if (Ffiles.Count > 0) {
    int64_t total = 0;
    size_t count = std::min<size_t>(Ffiles.Count, Ffiles.WStrings.size());
    for (size_t i = 0; i < count; ++i) {
      const rtl::String& entry = Ffiles.WStrings[i];
      int32_t index;
      if (!rtl::TryStrToInt(entry, index)) index = FindItemIndex(entry);
      if (index < 0 || static_cast<int64_t>(index) > static_cast<int64_t>(n) - 1) {
        ReportError(SZ_INDEX_OUT_OF_RANGE, rtl::String());
        return -1;
      }
      total += static_cast<int64_t>(ReadPropUInt64(FLibrary, inA, static_cast<uint32_t>(index), kpidSize));
      indices.push_back(static_cast<uint32_t>(index));
    }
    if (total > 0 && OnPreProgress) OnPreProgress(this, total);
    std::sort(indices.begin(), indices.end());
  }

  TComPtr<TMyArchiveExtractCallback> callback(new TMyArchiveExtractCallback(this));
  rtl::String dir = FExtrBaseDir;
  if (!dir.empty() && !rtl::IsPathDelimiter(dir.back())) dir.push_back(rtl::PathDelim);
  callback->FExtractDirectory = dir;
  callback->FFilestoextract = Ffiles.Count;
  callback->FLastFileToExt = false;
  callback->FAllFilesExt = false;

  HRESULT result = S_OK;
  IArchiveExtractCallback* cb = static_cast<IArchiveExtractCallback*>(callback.Get());
  // The library decodes on its own threads and calls back from them; events are handed over to
  // this thread while the library's Extract runs on a helper.
  FGate.ServeWhile([&] {
    result = inA->Extract(indices.empty() ? nullptr : indices.data(),
                          indices.empty() ? 0xFFFFFFFFu : static_cast<uint32_t>(indices.size()),
                          TestArchive ? 1 : 0, cb);
  });
  callback->DiscardPending();
  callback->ApplyFolderModes();
  RethrowKept();
  // The callback stops the library once every selected file is done; that stop is no failure.
  if (result == S_FALSE && callback->FAllFilesExt && !FMainCancel) result = S_OK;
  return result;
}

// The handler outlives an extraction: every one sets both settings, none of them meaning the
// library's own choice (its SetProperties starts from its defaults).
void TSevenZip::LimitDecoderThreads() {
  ISetProperties* props = nullptr;
  if (inA->QueryInterface(IID_ISetProperties, reinterpret_cast<void**>(&props)) != S_OK || !props) return;
  const wchar_t* names[2];
  PROPVARIANT values[2] = {};
  uint32_t count = 0;
  if (FDecoderThreads != 0) {
    names[count] = L"mt";
    values[count].vt = VT_UI4;
    values[count++].ulVal = FDecoderThreads;
  }
  if (FDecoderMemoryLimit != 0) {
    names[count] = L"memuse";
    values[count].vt = VT_UI8;
    values[count++].uhVal = FDecoderMemoryLimit;
  }
  // A library without the settings decodes as it likes; that costs memory, not correctness.
  props->SetProperties(names, values, count);
  props->Release();
}

int32_t TSevenZip::FindItemIndex(const rtl::String& name) {
  rtl::String wanted = rtl::AnsiUpperCase(NativeStoredPath(name));
  uint32_t n = 0;
  if (inA->GetNumberOfItems(&n) != S_OK) return -1;
  for (uint32_t i = 0; i < n && i <= 0x7FFFFFFFu; ++i) {
    rtl::String path;
    ReadStoredPath(FLibrary, inA, i, path);
    if (rtl::AnsiUpperCase(path) == wanted) return static_cast<int32_t>(i);
  }
  return -1;
}

int32_t TSevenZip::GetIndexByFilename(const rtl::String& FileToExtract) {
  {
    std::lock_guard<std::mutex> lock(FExceptionLock);
    FKeptException = nullptr;
  }
  TComPtr<TMyStreamReader> reader(new TMyStreamReader(this, FSevenZipFileName, true));
  struct TClose {
    IInArchive* a;
    ~TClose() { a->Close(); }
  } closer{inA};
  inA->Close();
  // An archive that didn't open has no items: the answer is then -1.
  inA->Open(static_cast<IInStream*>(reader.Get()), nullptr, nullptr);
  RethrowKept();
  return FindItemIndex(FileToExtract);
}

bool TSevenZip::SFXCheck(const rtl::String& Fn) {
  if (!HasExeExtension(Fn)) return false;
  FSFXOffset = 0;
  FIsSFX = false;
  platform::TFileHandle h = platform::OpenFileForRead(Fn);
  if (h == platform::INVALID_FILE_HANDLE) return false;
  THandleSource source(h);
  int64_t offset = FindEmbeddedArchive(source);
  platform::CloseHandle(h);
  if (offset >= 0) {
    FIsSFX = true;
    FSFXOffset = offset;
  }
  return FIsSFX;
}

void TSevenZip::SetSFXCreate(bool Value) {
  FSFXCreate = false;
  if (!Value) return;
  uint32_t size = 0;
  platform::TFileHandle h = platform::OpenFileForRead(FSFXModule);
  if (h != platform::INVALID_FILE_HANDLE) {
    size = static_cast<uint32_t>(platform::GetFileSizeOfHandle(h));
    platform::CloseHandle(h);
  }
  if (size > 0) {
    if (FVolumeSize > 0 && static_cast<int64_t>(FVolumeSize) < int64_t(size) + 7)
      FVolumeSize = static_cast<int32_t>(int64_t(size) + 7);
    FSFXOffset = size;
    FSFXCreate = true;
  }
}

void TSevenZip::SetVolumeSize(int32_t Value) {
  if (FSFXCreate && Value > 0 && Value < FSFXOffset)
    FVolumeSize = static_cast<int32_t>(FSFXOffset + 7);
  else
    FVolumeSize = Value;
}

}  // namespace sevenzip

#include "sevenzip/SevenZipCallbacks.h"

#include <algorithm>

#include "platform/LastError.h"

namespace sevenzip {

namespace {

// No C++ exception may cross the library: keep it for Extract and tell the library to stop.
template <class F>
HRESULT Guarded(TSevenZip* owner, F f) {
  try {
    return f();
  } catch (...) {
    if (owner) owner->KeepException(std::current_exception());
    return E_ABORT;
  }
}

HRESULT PasswordFor(TSevenZip* owner, const rtl::String& password, BSTR* out) {
  if (!out) return E_INVALIDARG;
  if (password.empty() || !owner) return S_FALSE;
  *out = AllocLibraryString(owner->Library(), password);
  return *out ? S_OK : E_FAIL;
}

// An item that can't be written is answered "go on without a stream": with S_FALSE this library
// re-tests the item and reports it and every later item of its solid block as a data error,
// extracting none of them.
constexpr HRESULT kRefusedAnswer = S_OK;

}  // namespace

rtl::String NativeStoredPath(rtl::String p) {
  for (char16_t& c : p)
    if (rtl::IsPathDelimiter(c)) c = rtl::PathDelim;
  return p;
}

bool ReadStoredPath(const TSevenZipLibrary& lib, IInArchive* a, uint32_t index, rtl::String& path) {
  bool ok = ReadPropString(lib, a, index, kpidPath, path);
  path = NativeStoredPath(std::move(path));
  return ok;
}

bool IsUnsafeStoredPath(const rtl::String& p) {
  if (!p.empty() && rtl::IsPathDelimiter(p[0])) return true;
#ifdef _WIN32
  // A drive ("C:x") names a place of its own, and "name:stream" another file's hidden stream.
  if (p.find(u':') != rtl::String::npos) return true;
#endif
  size_t start = 0;
  while (start <= p.size()) {
    size_t end = start;
    while (end < p.size() && !rtl::IsPathDelimiter(p[end])) ++end;
    if (end - start == 2 && p[start] == u'.' && p[start + 1] == u'.') return true;
    start = end + 1;
  }
  return false;
}

uint32_t StoredNameRefusal(const rtl::String& p) {
  size_t depth = 0;
  bool inPart = false;
  for (size_t i = 0; i < p.size(); ++i) {
    char16_t c = p[i];
    if (c < 0x20 || c == 0x7F || c == 0xFFFD) return platform::ERROR_INVALID_NAME;
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (i + 1 >= p.size() || p[i + 1] < 0xDC00 || p[i + 1] > 0xDFFF) return platform::ERROR_INVALID_NAME;
      ++i;
    } else if (c >= 0xDC00 && c <= 0xDFFF) {
      return platform::ERROR_INVALID_NAME;
    }
    if (rtl::IsPathDelimiter(c)) {
      inPart = false;
    } else if (!inPart) {
      inPart = true;
      ++depth;
    }
  }
  return depth > MaxItemDepth + 1 ? uint32_t(platform::ERROR_FILENAME_EXCED_RANGE) : 0u;
}

rtl::String EscapedStoredPath(const rtl::String& p) {
  rtl::String out;
  size_t i = 0;
  for (; i < p.size() && out.size() < 120; ++i) {
    char16_t c = p[i];
    bool pair = c >= 0xD800 && c <= 0xDBFF && i + 1 < p.size() && p[i + 1] >= 0xDC00 && p[i + 1] <= 0xDFFF;
    if (pair) {
      out += c;
      out += p[++i];
    } else if (c < 0x20 || c == 0x7F) {
      out += rtl::Format(u"\\x%.2X", {int(c)});
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      out += rtl::Format(u"\\u%.4X", {int(c)});
    } else if (c == u'\\' && !rtl::IsPathDelimiter(c)) {
      out += u"\\\\";
    } else {
      out += c;
    }
  }
  if (i < p.size()) out += u"...";
  return out;
}

bool DosRoundedFileTime(rtl::TDateTime local, uint64_t& fileTimeUtc) {
  uint32_t dos = rtl::DateTimeToDosDateTime(local);
  if (dos == 0) return false;
  fileTimeUtc = rtl::DateTimeToFileTime(rtl::LocalToUTC(rtl::DosDateTimeToDateTime(dos)));
  return true;
}

// --- open callback -------------------------------------------------------------------------

TMyArchiveOpenCallback::TMyArchiveOpenCallback(TSevenZip* Owner)
    : FSevenzip(Owner), FPassword(Owner ? Owner->Password() : rtl::String()) {}

HRESULT SEVENZIP_STDCALL TMyArchiveOpenCallback::QueryInterface(const GUID& iid, void** out) {
  if (!out) return E_INVALIDARG;
  *out = nullptr;
  if (iid == IID_IUnknown || iid == IID_IArchiveOpenCallback)
    *out = static_cast<IArchiveOpenCallback*>(this);
  else if (iid == IID_ICryptoGetTextPassword)
    *out = static_cast<ICryptoGetTextPassword*>(this);
  else
    return E_NOINTERFACE;
  DoAddRef();
  return S_OK;
}

HRESULT SEVENZIP_STDCALL TMyArchiveOpenCallback::SetTotal(const uint64_t*, const uint64_t*) { return S_OK; }
HRESULT SEVENZIP_STDCALL TMyArchiveOpenCallback::SetCompleted(const uint64_t*, const uint64_t*) { return S_OK; }
HRESULT SEVENZIP_STDCALL TMyArchiveOpenCallback::CryptoGetTextPassword(BSTR* password) {
  return Guarded(FSevenzip, [&] { return PasswordFor(FSevenzip, FPassword, password); });
}

// --- extraction callback -------------------------------------------------------------------

TMyArchiveExtractCallback::TMyArchiveExtractCallback(TSevenZip* Owner)
    : FSevenzip(Owner), FPassword(Owner->Password()) {}

HRESULT SEVENZIP_STDCALL TMyArchiveExtractCallback::QueryInterface(const GUID& iid, void** out) {
  if (!out) return E_INVALIDARG;
  *out = nullptr;
  if (iid == IID_IUnknown || iid == IID_IArchiveExtractCallback || iid == IID_IProgress)
    *out = static_cast<IArchiveExtractCallback*>(this);
  else if (iid == IID_ICryptoGetTextPassword)
    *out = static_cast<ICryptoGetTextPassword*>(this);
  else
    return E_NOINTERFACE;
  DoAddRef();
  return S_OK;
}

HRESULT SEVENZIP_STDCALL TMyArchiveExtractCallback::CryptoGetTextPassword(BSTR* password) {
  return Guarded(FSevenzip, [&] { return PasswordFor(FSevenzip, FPassword, password); });
}

HRESULT SEVENZIP_STDCALL TMyArchiveExtractCallback::SetTotal(uint64_t total) {
  return Guarded(FSevenzip, [&] {
    if (FFilestoextract == 0 && FSevenzip->OnPreProgress)
      FSevenzip->OnCallerThread([&] { FSevenzip->OnPreProgress(FSevenzip, static_cast<int64_t>(total)); });
    return S_OK;
  });
}

HRESULT SEVENZIP_STDCALL TMyArchiveExtractCallback::SetCompleted(const uint64_t* completeValue) {
  return Guarded(FSevenzip, [&] { return DoSetCompleted(completeValue); });
}

HRESULT TMyArchiveExtractCallback::DoSetCompleted(const uint64_t* completeValue) {
  // A report without a value can't move the counters; it still answers the stop rules.
  if (completeValue) {
    int64_t value = static_cast<int64_t>(*completeValue);
    bool first = FProgressFilePos == 0;
    FProgressFilePos += value - FLastPos;
    FLastPos = value;
    if ((first && FSevenzip->OnExtractfile) || FSevenzip->OnProgress) {
      FSevenzip->OnCallerThread([&] {
        if (first && FSevenzip->OnExtractfile) FSevenzip->OnExtractfile(FSevenzip, FProgressFile, FProgressFileSize);
        if (FSevenzip->OnProgress) FSevenzip->OnProgress(FSevenzip, FProgressFile, value, FProgressFilePos);
      });
    }
  }
  HRESULT answer = FAllFilesExt ? S_FALSE : S_OK;
  if (FSevenzip->MainCancel()) {
    FSevenzip->ReportError(SZ_USER_CANCELED, FProgressFile);
    answer = S_FALSE;
  }
  return answer;
}

HRESULT SEVENZIP_STDCALL TMyArchiveExtractCallback::GetStream(uint32_t index, ISequentialOutStream** outStream,
                                             int32_t askExtractMode) {
  if (!outStream) return E_INVALIDARG;
  *outStream = nullptr;
  return Guarded(FSevenzip, [&] { return DoGetStream(index, outStream, askExtractMode); });
}

HRESULT TMyArchiveExtractCallback::DoGetStream(uint32_t index, ISequentialOutStream** outStream,
                                               int32_t askExtractMode) {
  const TSevenZipLibrary& lib = FSevenzip->Library();
  IInArchive* a = FSevenzip->InArchive();
  bool overwrite = FSevenzip->ExtractOptions() & OptBit(ExtractOverwrite);
  // A refused item comes back in test mode: it stays the refused one until the next item.
  if (!(askExtractMode == kTest && FCurrentRefused)) FCurrentRefused = false;
  DiscardPending();  // an earlier item whose result never came
  if (FSevenzip->MainCancel()) return S_FALSE;

  rtl::String path;
  if (askExtractMode == kTest) {
    ReadStoredPath(lib, a, index, path);
    int64_t size = static_cast<int64_t>(ReadPropUInt64(lib, a, index, kpidSize));
    if (!FCurrentRefused) FProgressFile = path;
    FProgressFilePos = 0;
    FProgressFileSize = size;
    return S_OK;
  }
  if (askExtractMode != kExtract) return S_OK;

  ReadStoredPath(lib, a, index, path);
  int64_t size = static_cast<int64_t>(ReadPropUInt64(lib, a, index, kpidSize));
  uint32_t attr = static_cast<uint32_t>(ReadPropUInt64(lib, a, index, kpidAttrib));
  uint64_t mtime = 0;
  bool hasTime = ReadPropFileTime(lib, a, index, kpidMTime, mtime);
  // Archives that store no attributes still mark their folders.
  bool isDir = (attr & platform::FILE_ATTRIBUTE_DIRECTORY) || ReadPropUInt64(lib, a, index, kpidIsDir) != 0;

  bool noPath = FSevenzip->ExtractOptions() & OptBit(ExtractNoPath);
  rtl::String part = noPath ? rtl::ExtractFileName(path) : path;
  rtl::String target = FExtractDirectory + part;
  const rtl::String firstTarget = target;

  if (uint32_t refusal = StoredNameRefusal(part)) {
    // A name no install should hold (controls, broken text) or a tree deeper than any product:
    // refused, and shown escaped.
    FProgressFile = FExtractDirectory + EscapedStoredPath(part);
    FProgressFilePos = 0;
    FProgressFileSize = size;
    FCurrentRefused = true;
    FSevenzip->SetLastError(static_cast<int32_t>(refusal));
    FSevenzip->ReportError(SZ_COULD_NOT_CREATE_FILE, FProgressFile);
    return kRefusedAnswer;
  }

  if (IsUnsafeStoredPath(part)) {
    // Writing there would leave the extraction folder: refused like a file that can't be made.
    FProgressFile = firstTarget;
    FProgressFilePos = 0;
    FProgressFileSize = size;
    FCurrentRefused = true;
    FSevenzip->SetLastError(platform::ERROR_INVALID_NAME);
    FSevenzip->ReportError(SZ_COULD_NOT_CREATE_FILE, firstTarget);
    return kRefusedAnswer;
  }

  if (FSevenzip->OnSetExtractName)
    FSevenzip->OnCallerThread([&] { FSevenzip->OnSetExtractName(FSevenzip, index, target); });

  bool createdHere = isDir && std::any_of(FFolderModes.begin(), FFolderModes.end(),
                                          [&](const TFolderMode& f) { return f.Path == rtl::ExcludeTrailingPathDelimiter(target); });
  if (!overwrite && !createdHere && platform::PathExists(rtl::ExcludeTrailingPathDelimiter(target))) {
    if (FSevenzip->OnExtractOverwrite)
      FSevenzip->OnCallerThread([&] { FSevenzip->OnExtractOverwrite(FSevenzip, target, overwrite); });
    if (!overwrite) return S_OK;
  }

  FProgressFile = target;
  FProgressFilePos = 0;
  FProgressFileSize = size;

  if (isDir) {
    if (!MakeFolderItem(target, attr | platform::FILE_ATTRIBUTE_DIRECTORY) &&
        platform::GetLastErrorValue() == platform::ERROR_INVALID_NAME) {
      // A link on its way: refused like a path that leaves the folder.
      FCurrentRefused = true;
      FSevenzip->SetLastError(platform::ERROR_INVALID_NAME);
      FSevenzip->ReportError(SZ_COULD_NOT_CREATE_FILE, firstTarget);
      return kRefusedAnswer;
    }
    return S_OK;
  }

  if (--FFilestoextract == 0) FLastFileToExt = true;

  TFolderRef folder;
  std::string name;
  int32_t error = static_cast<int32_t>(PlaceOf(target, folder, name));
  if (error == 0) {
    rtl::TDateTime local = hasTime ? rtl::UTCToLocal(rtl::FileTimeToDateTime(mtime)) : 0.0;
    if (TMyStreamWriter* writer = TMyStreamWriter::CreateInFolder(&error, folder, name, local, attr)) {
      FPending = TComPtr<TMyStreamWriter>(writer);
      FPendingTarget = firstTarget;
      writer->AddRef();
      *outStream = static_cast<IOutStream*>(writer);
      return S_OK;
    }
  }
  FCurrentRefused = true;
  FSevenzip->SetLastError(error);
  FSevenzip->ReportError(SZ_COULD_NOT_CREATE_FILE, firstTarget);
  return kRefusedAnswer;
}

HRESULT SEVENZIP_STDCALL TMyArchiveExtractCallback::PrepareOperation(int32_t) { return S_OK; }

HRESULT SEVENZIP_STDCALL TMyArchiveExtractCallback::SetOperationResult(int32_t result) {
  return Guarded(FSevenzip, [&] { return DoSetOperationResult(result); });
}

HRESULT TMyArchiveExtractCallback::DoSetOperationResult(int32_t result) {
  TComPtr<TMyStreamWriter> written = FPending;
  FPending.Reset();
  if (FCurrentRefused) {
    // Already reported (code 11); its data went nowhere, whatever the library says of it.
    FCurrentRefused = false;
    if (FLastFileToExt) FAllFilesExt = true;
    return S_OK;
  }
  // Only a correct item takes its name; any other result leaves what was there before.
  if (written && result != kOK) written->Discard();
  int32_t error = 0;
  switch (result) {
    case kOK:
      if (written && !written->Commit(error)) {
        FSevenzip->SetLastError(error);
        FSevenzip->ReportError(SZ_COULD_NOT_CREATE_FILE, FPendingTarget);
        break;
      }
      FSevenzip->SetErrCode(SZ_SUCCESS);
      break;
    case kUnsupportedMethod:
      FSevenzip->ReportError(SZ_UNSUPPORTED_METHOD, FProgressFile);
      break;
    case kCRCError:
      FSevenzip->ReportError(SZ_CRC_ERROR, FProgressFile);
      break;
    default:
      // Data error and every later result (unavailable, unexpected end, data after end, not an
      // archive, headers error, wrong password): the item's data was not produced.
      FSevenzip->ReportError(SZ_DATA_ERROR, FProgressFile);
      break;
  }
  if (FLastFileToExt) FAllFilesExt = true;
  return S_OK;
}

bool TMyArchiveExtractCallback::BelowBase(const rtl::String& target, std::string& rel) const {
  // With no extraction folder, targets are relative to the current one; an absolute name there
  // (or one not under the folder) was chosen by a handler and is taken as it stands.
  if (FExtractDirectory.empty() ? (!target.empty() && (rtl::IsPathDelimiter(target[0]) || rtl::IsAbsolutePath(target)))
                                : target.compare(0, FExtractDirectory.size(), FExtractDirectory) != 0)
    return false;
  rtl::String below = target.substr(FExtractDirectory.size());
  // The calls below a folder take "/" between components.
  for (char16_t& c : below)
    if (rtl::IsPathDelimiter(c)) c = u'/';
  rel = rtl::U8(below);
  return true;
}

rtl::String TMyArchiveExtractCallback::PathOfRel(const std::string& rel) const {
  return FExtractDirectory + NativeStoredPath(rtl::S(rel));
}

TFolderRef TMyArchiveExtractCallback::Base() {
  if (FBase) return FBase;
  if (FSevenzip->ExtrBaseHandle() != platform::INVALID_FILE_HANDLE) {
    FBase = std::make_shared<TFolderHandle>(FSevenzip->ExtrBaseHandle(), false);
    return FBase;
  }
  rtl::String dir = rtl::ExcludeTrailingPathDelimiter(FExtractDirectory);
  // The extraction folder is the caller's: links on its way are followed.
  if (!dir.empty()) rtl::ForceDirectories(dir);
  platform::TFileHandle h = platform::OpenFolder(dir);
  if (h != platform::INVALID_FILE_HANDLE) FBase = std::make_shared<TFolderHandle>(h);
  return FBase;
}

void TMyArchiveExtractCallback::NoteCreated(const std::vector<std::string>& created) {
  // Remembered without a mode: this extraction made it, a later folder item may still set one.
  for (const std::string& rel : created) FFolderModes.push_back({PathOfRel(rel), 0xFFFFFFFFu});
}

uint32_t TMyArchiveExtractCallback::PlaceOf(const rtl::String& target, TFolderRef& folder, std::string& name) {
  std::string rel;
  if (!BelowBase(target, rel)) {
    rtl::String dir = rtl::ExtractFilePath(target);
    if (!dir.empty()) rtl::ForceDirectories(rtl::ExcludeTrailingPathDelimiter(dir));
    platform::TFileHandle h = platform::OpenFolder(rtl::ExcludeTrailingPathDelimiter(dir));
    if (h == platform::INVALID_FILE_HANDLE) return platform::GetLastErrorValue();
    folder = std::make_shared<TFolderHandle>(h);
    rel = rtl::U8(rtl::ExtractFileName(target));
  } else {
    size_t slash = rel.rfind('/');
    std::string folderRel = slash == std::string::npos ? std::string() : rel.substr(0, slash);
    rel = rel.substr(slash == std::string::npos ? 0 : slash + 1);
    if (FCachedFolder && FCachedRel == folderRel) {
      folder = FCachedFolder;
    } else {
      TFolderRef base = Base();
      if (!base) return platform::GetLastErrorValue();
      // A folder made on the way to a file takes no mode from the file item: it would lose its
      // search bit.
      std::vector<std::string> created;
      platform::TFileHandle h = platform::OpenFolderBelow(base->Fd, folderRel, true, &created);
      uint32_t error = platform::GetLastErrorValue();
      NoteCreated(created);
      if (h == platform::INVALID_FILE_HANDLE) return error;
      folder = FCachedFolder = std::make_shared<TFolderHandle>(h);
      FCachedRel = folderRel;
    }
  }
  if (rel.empty() || rel == "." || rel == "..") return platform::ERROR_INVALID_NAME;
  name = rel;
  return platform::CheckReplaceable(folder->Fd, name);
}

bool TMyArchiveExtractCallback::MakeFolderItem(const rtl::String& target, uint32_t attributes) {
  rtl::String path = rtl::ExcludeTrailingPathDelimiter(target);
  if (path.empty()) return true;
  bool createdBefore = std::any_of(FFolderModes.begin(), FFolderModes.end(),
                                   [&](const TFolderMode& f) { return f.Path == path; });
  bool createdNow = false, ok = true;
  std::string rel;
  if (BelowBase(path, rel)) {
    TFolderRef base = Base();
    std::vector<std::string> created;
    platform::TFileHandle h = base ? platform::OpenFolderBelow(base->Fd, rel, true, &created) : platform::INVALID_FILE_HANDLE;
    uint32_t error = platform::GetLastErrorValue();
    ok = h != platform::INVALID_FILE_HANDLE;
    if (ok) platform::CloseHandle(h);
    createdNow = !created.empty() && PathOfRel(created.back()) == path;
    NoteCreated(created);
    platform::SetLastErrorValue(error);
  } else {
    createdNow = !rtl::DirectoryExists(path);
    ok = rtl::ForceDirectories(path);
    if (!ok) platform::SetLastErrorValue(platform::ERROR_PATH_NOT_FOUND);
    createdNow = createdNow && ok;
    if (createdNow) FFolderModes.push_back({path, 0xFFFFFFFFu});
  }
  int32_t mode = platform::FolderModeFromAttributes(attributes);
  if ((attributes & platform::FILE_ATTRIBUTE_DIRECTORY) && mode >= 0 && (createdNow || createdBefore))
    FFolderModes.push_back({path, static_cast<uint32_t>(mode)});
  return ok;
}

void TMyArchiveExtractCallback::DiscardPending() {
  if (FPending) FPending->Discard();
  FPending.Reset();
}

void TMyArchiveExtractCallback::ApplyFolderModes() {
  // Deepest first, the last mode recorded for a folder wins.
  std::vector<TFolderMode> modes(FFolderModes.rbegin(), FFolderModes.rend());
  std::stable_sort(modes.begin(), modes.end(),
                   [](const TFolderMode& a, const TFolderMode& b) { return a.Path.size() > b.Path.size(); });
  std::vector<rtl::String> done;
  for (const TFolderMode& f : modes) {
    if (std::find(done.begin(), done.end(), f.Path) != done.end()) continue;
    if (f.Mode == 0xFFFFFFFFu) continue;
    done.push_back(f.Path);
    std::string rel;
    if (!BelowBase(f.Path, rel) || !Base()) {
      platform::SetPathMode(f.Path, f.Mode);
      continue;
    }
    // Set through the folder that holds it, never through a link put in its place.
    size_t slash = rel.rfind('/');
    platform::TFileHandle parent =
        platform::OpenFolderBelow(FBase->Fd, slash == std::string::npos ? std::string_view() : std::string_view(rel).substr(0, slash), false);
    if (parent == platform::INVALID_FILE_HANDLE) continue;
    platform::SetModeIn(parent, rel.substr(slash == std::string::npos ? 0 : slash + 1), f.Mode);
    platform::CloseHandle(parent);
  }
  FFolderModes.clear();
}

// --- output stream -------------------------------------------------------------------------

TMyStreamWriter* TMyStreamWriter::Create(int32_t* PLastError, const rtl::String& sz, rtl::TDateTime szDate,
                                         uint32_t FAttr, uint32_t VolumeSize, bool CreateSFX) {
  TMyStreamWriter* w = new TMyStreamWriter();
  w->arcName = sz;
  w->arcDate = szDate;
  w->arcAttr = FAttr;
  w->arcVolumeSize = VolumeSize;
  w->arcCreateSFX = CreateSFX;
  w->FPLastError = PLastError;
  // Split output and self-extractor appending serve archive creation, which is not built.
  if (VolumeSize != 0 || CreateSFX)
    w->MyLastError = platform::ERROR_NOT_SUPPORTED;
  else if (w->AddVolume())
    return w;  // no reference yet: the caller takes the first
  if (PLastError) *PLastError = w->MyLastError;
  delete w;  // closes a file that did open
  return nullptr;
}

TMyStreamWriter* TMyStreamWriter::CreateInFolder(int32_t* PLastError, TFolderRef Folder, const std::string& Name,
                                                 rtl::TDateTime szDate, uint32_t FAttr) {
  TMyStreamWriter* w = new TMyStreamWriter();
  w->arcName = rtl::S(Name);
  w->arcDate = szDate;
  w->arcAttr = FAttr;
  w->FPLastError = PLastError;
  w->FFolder = std::move(Folder);
  w->FName = Name;
  platform::TFileHandle h = platform::CreateTempFileIn(w->FFolder->Fd, FAttr, w->FTempName);
  if (h == platform::INVALID_FILE_HANDLE) {
    w->MyLastError = static_cast<int32_t>(platform::GetLastErrorValue());
  } else if (w->StartFile(h)) {
    return w;  // no reference yet: the caller takes the first
  }
  if (PLastError) *PLastError = w->MyLastError;
  delete w;  // closes and removes a file that was made
  return nullptr;
}

bool TMyStreamWriter::AddVolume() {
  platform::TFileHandle h = platform::CreateFileAlways(arcName, arcAttr);
  if (h == platform::INVALID_FILE_HANDLE) {
    MyLastError = static_cast<int32_t>(platform::GetLastErrorValue());
    return false;
  }
  return StartFile(h);
}

bool TMyStreamWriter::StartFile(platform::TFileHandle h) {
  TFiles f;
  f.Name = arcName;
  f.Handle = h;
  Files.push_back(f);
  // Outside 1980..2107 there is no DOS form: the file keeps the time of extraction. The time is
  // set when the file is closed (each write would move it again).
  FHasTime = DosRoundedFileTime(arcDate, FFileTime);
  return true;
}

bool TMyStreamWriter::CloseFiles(int32_t& error) {
  bool ok = true;
  for (TFiles& f : Files) {
    if (f.Handle == platform::INVALID_FILE_HANDLE) continue;
    if (FHasTime && !platform::SetFileLastWriteTime(f.Handle, FFileTime) && ok) {
      ok = false;
      error = static_cast<int32_t>(platform::GetLastErrorValue());
    }
    // A close can be the first to tell that the data did not reach the file.
    if (!platform::CloseHandle(f.Handle) && ok) {
      ok = false;
      error = static_cast<int32_t>(platform::GetLastErrorValue());
    }
    f.Handle = platform::INVALID_FILE_HANDLE;
  }
  return ok;
}

bool TMyStreamWriter::Commit(int32_t& error) {
  error = MyLastError;
  bool ok = MyLastError == 0 && CloseFiles(error);
  if (ok && FFolder && !FTempName.empty() && !platform::RenameIn(FFolder->Fd, FTempName, FFolder->Fd, FName)) {
    ok = false;
    error = static_cast<int32_t>(platform::GetLastErrorValue());
  }
  if (ok) FTempName.clear();
  else Discard();
  return ok;
}

void TMyStreamWriter::Discard() {
  int32_t ignored = 0;
  CloseFiles(ignored);
  if (FFolder && !FTempName.empty()) platform::DeleteIn(FFolder->Fd, FTempName);
  FTempName.clear();
}

TMyStreamWriter::~TMyStreamWriter() { Discard(); }

HRESULT SEVENZIP_STDCALL TMyStreamWriter::QueryInterface(const GUID& iid, void** out) {
  if (!out) return E_INVALIDARG;
  *out = nullptr;
  if (iid == IID_IUnknown || iid == IID_ISequentialOutStream || iid == IID_IOutStream)
    *out = static_cast<IOutStream*>(this);
  else
    return E_NOINTERFACE;
  DoAddRef();
  return S_OK;
}

HRESULT SEVENZIP_STDCALL TMyStreamWriter::Write(const void* data, uint32_t size, uint32_t* processedSize) {
  uint32_t done = 0;
  if (Files.empty() || !platform::WriteFileAt(Files.front().Handle, arcPosition, data, size, &done)) {
    MyLastError = static_cast<int32_t>(Files.empty() ? platform::ERROR_INVALID_HANDLE : platform::GetLastErrorValue());
    done = 0;
  }
  arcPosition += done;
  if (arcPosition > arcSize) arcSize = arcPosition;
  if (processedSize) *processedSize = done;
  return MyLastError != 0 ? S_FALSE : S_OK;
}

HRESULT SEVENZIP_STDCALL TMyStreamWriter::Seek(int64_t offset, uint32_t seekOrigin, uint64_t* newPosition) {
  switch (seekOrigin) {
    case 0: arcPosition = offset; break;
    case 1: arcPosition += offset; break;
    case 2: arcPosition = arcSize + offset; break;
    default: break;
  }
  if (arcPosition > arcSize) arcSize = arcPosition;
  if (newPosition) *newPosition = static_cast<uint64_t>(arcPosition);
  return S_OK;
}

HRESULT SEVENZIP_STDCALL TMyStreamWriter::SetSize(uint64_t) { return S_FALSE; }

}  // namespace sevenzip

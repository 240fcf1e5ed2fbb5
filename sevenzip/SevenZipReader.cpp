#include "sevenzip/SevenZipReader.h"

#include <algorithm>
#include <limits>

#include "platform/LastError.h"
#include "sevenzip/VolumeNames.h"

namespace sevenzip {

namespace {

bool IsFile(const rtl::String& name) { return rtl::FileExists(name); }

}  // namespace

TMyStreamReader::TMyStreamReader(TSevenZip* Owner, const rtl::String& sz, bool asArchive)
    : FSevenZip(Owner), arcName(sz), FArchive(asArchive) {
  if (Owner) {
    if (Owner->IsSFX()) arcPosition = FStart = Owner->SFXOffset();
    FOnOpenVolume = Owner->OnOpenVolume;
  }
  TFiles f;
  f.Name = sz;
  f.Handle = platform::OpenFileForRead(sz);
  if (f.Handle != platform::INVALID_FILE_HANDLE) {
    f.Size = platform::GetFileSizeOfHandle(f.Handle);
  } else {
    // Reads will yield nothing; no volume search may start from a file that isn't there.
    MyLastError = static_cast<int32_t>(platform::GetLastErrorValue());
    f.Size = std::numeric_limits<int64_t>::max();
  }
  f.OnRemovableDrive = platform::GetDriveType(rtl::ExtractFileDir(sz)) != platform::DRIVE_FIXED;
  Files.push_back(f);
  arcSize = asArchive ? 0 : (f.Handle != platform::INVALID_FILE_HANDLE ? f.Size : 0);
}

TMyStreamReader::TMyStreamReader(TSevenZip* Owner, const rtl::String& sz, platform::TFileHandle ABorrowed)
    : FSevenZip(Owner), arcName(sz), FArchive(true), FSizeTold(true), FBorrowed(true) {
  TFiles f;
  f.Name = sz;
  f.Handle = ABorrowed;
  f.Size = platform::GetFileSizeOfHandle(ABorrowed);
  if (f.Size < 0) {
    MyLastError = static_cast<int32_t>(platform::GetLastErrorValue());
    f.Size = 0;
  }
  Files.push_back(f);
  arcSize = f.Size;
}

TMyStreamReader::~TMyStreamReader() {
  if (MyLastError != 0 && FSevenZip) FSevenZip->SetLastError(MyLastError);
  for (TFiles& f : Files) CloseVolume(f);
}

HRESULT SEVENZIP_STDCALL TMyStreamReader::QueryInterface(const GUID& iid, void** out) {
  if (!out) return E_INVALIDARG;
  *out = nullptr;
  if (iid == IID_IUnknown || iid == IID_ISequentialInStream || iid == IID_IInStream)
    *out = static_cast<IInStream*>(this);
  else if (iid == IID_IStreamGetSize)
    *out = static_cast<IStreamGetSize*>(this);
  else
    return E_NOINTERFACE;
  DoAddRef();
  return S_OK;
}

bool TMyStreamReader::IsOwnerSFX() const { return FSevenZip && FSevenZip->IsSFX(); }

void TMyStreamReader::CloseVolume(TFiles& f) {
  if (f.Handle != platform::INVALID_FILE_HANDLE && !(FBorrowed && &f == &Files.front())) platform::CloseHandle(f.Handle);
  f.Handle = platform::INVALID_FILE_HANDLE;
}

int64_t TMyStreamReader::KnownTotal() const {
  int64_t total = 0;
  for (const TFiles& f : Files) total += std::max<int64_t>(f.Size, 0);
  return total;
}

void TMyStreamReader::AppendExistingVolumes() {
  bool sfx = IsOwnerSFX();
  for (;;) {
    int k = static_cast<int>(Files.size()) + 1;
    rtl::String name = VolumeName(arcName, k, sfx);
    int64_t size = rtl::FileSizeOf(name);
    if (!IsFile(name) || size < 0) break;
    TFiles f;
    f.Name = name;
    f.Size = size;
    Files.push_back(f);
  }
}

void TMyStreamReader::LearnSize() {
  FSizeTold = true;
  if (Files.front().Handle == platform::INVALID_FILE_HANDLE) return;  // stays unknown: S_FALSE
  bool firstVolume = IsOwnerSFX() || VolumeNumberOf(arcName) == 1;
  if (firstVolume && Files.size() == 1) {
    AppendExistingVolumes();
    if (Files.size() > 1) {
      FMultivolume = true;
      arcSize = KnownTotal();
      return;
    }
  }
  arcSize = KnownTotal();
}

HRESULT SEVENZIP_STDCALL TMyStreamReader::Seek(int64_t offset, uint32_t seekOrigin, uint64_t* newPosition) {
  HRESULT hr = S_OK;
  switch (seekOrigin) {
    case 0: arcPosition = offset; break;
    case 1: arcPosition += offset; break;
    case 2:
      if (arcSize <= 0 && FArchive && !FSizeTold) LearnSize();
      if (arcSize > 0)
        arcPosition = arcSize + offset;
      else
        hr = S_FALSE;
      break;
    default: break;
  }
  if (newPosition) *newPosition = static_cast<uint64_t>(arcPosition);
  return hr;
}

HRESULT SEVENZIP_STDCALL TMyStreamReader::GetSize(uint64_t* size) {
  if (arcSize <= 0 && FArchive && !FSizeTold) LearnSize();
  if (arcSize > 0) {
    if (size) *size = static_cast<uint64_t>(arcSize);
    return S_OK;
  }
  return S_FALSE;
}

HRESULT SEVENZIP_STDCALL TMyStreamReader::Read(void* data, uint32_t size, uint32_t* processedSize) {
  if (processedSize) *processedSize = 0;
  if (size == 0) return S_OK;
  if (!data) return E_INVALIDARG;
  try {
    // A reader that never asked the size and reads past the first file: the archive must go on
    // in further volumes. Once the size was told, a read past it is simply short.
    if (FArchive && Files.size() <= 1 && !FMultivolume && !FSizeTold && arcPosition >= 0 &&
        arcPosition + int64_t(size) > Files.front().Size) {
      arcSize = arcPosition + size;
      if (!OpenLastVolume()) return S_FALSE;
      FMultivolume = true;
    }
    if (FMultivolume) return ReadVolumes(data, size, processedSize);

    uint32_t done = 0;
    TFiles& f = Files.front();
    if (f.Handle != platform::INVALID_FILE_HANDLE) {
      if (!platform::ReadFileAt(f.Handle, arcPosition, data, size, &done)) {
        MyLastError = static_cast<int32_t>(platform::GetLastErrorValue());
        done = 0;
      }
    }
    arcPosition += done;
    if (processedSize) *processedSize = done;
    return S_OK;
  } catch (...) {
    if (FSevenZip) FSevenZip->KeepException(std::current_exception());
    return E_ABORT;
  }
}

HRESULT TMyStreamReader::ReadVolumes(void* data, uint32_t size, uint32_t* processedSize) {
  if (arcPosition < 0) return S_FALSE;
  // Locate the volume holding the position.
  size_t k = 0;
  int64_t before = 0;
  for (;; ++k) {
    if (k >= Files.size()) {
      // Past the last volume: the end of the archive.
      return S_OK;
    }
    if (Files[k].Size < 0 && !OpenVolume(static_cast<int>(k) + 1)) return S_FALSE;
    if (arcPosition < before + Files[k].Size) break;
    before += Files[k].Size;
  }
  int64_t offset = arcPosition - before;
  auto* out = static_cast<uint8_t*>(data);
  uint32_t done = 0;
  HRESULT hr = S_OK;
  while (done < size && k < Files.size()) {
    if (done > 0) CloseVolume(Files[k - 1]);
    if (Files[k].Handle == platform::INVALID_FILE_HANDLE && !OpenVolume(static_cast<int>(k) + 1)) {
      hr = S_FALSE;
      break;
    }
    int64_t left = Files[k].Size - offset;
    uint32_t want = static_cast<uint32_t>(std::min<int64_t>(size - done, std::max<int64_t>(left, 0)));
    uint32_t got = 0;
    if (!platform::ReadFileAt(Files[k].Handle, offset, out + done, want, &got)) {
      MyLastError = static_cast<int32_t>(platform::GetLastErrorValue());
      done = 0;
      break;
    }
    done += got;
    if (got < want) break;  // the volume shrank since it was measured
    ++k;
    offset = 0;
  }
  arcPosition += done;
  if (processedSize) *processedSize = done;
  return MyLastError != 0 ? S_FALSE : hr;
}

bool TMyStreamReader::OpenVolume(int Index) {
  if (Index <= 0) return false;
  size_t k = static_cast<size_t>(Index);
  if (Files.size() >= k && Files[k - 1].Handle != platform::INVALID_FILE_HANDLE) return true;
  while (Files.size() < k) {
    TFiles f;
    f.Size = -1;
    Files.push_back(f);
  }
  TFiles& f = Files[k - 1];
  if (f.Name.empty()) f.Name = VolumeName(arcName, Index, IsOwnerSFX());
  bool cancel = false;
  while (f.Handle == platform::INVALID_FILE_HANDLE) {
    platform::TFileHandle h = platform::OpenFileForRead(f.Name);
    if (h != platform::INVALID_FILE_HANDLE) {
      f.Handle = h;
      f.Size = platform::GetFileSizeOfHandle(h);
      break;
    }
    rtl::String name = f.Name;
    if (FOnOpenVolume) {
      bool removable = f.OnRemovableDrive;
      auto ask = [&] { FOnOpenVolume(name, removable, cancel); };
      if (FSevenZip)
        FSevenZip->OnCallerThread(ask);
      else
        ask();
      if (cancel) {
        f.Name.clear();
        return false;
      }
    } else if (!BrowseForFile(u"Select volume", name)) {
      f.Name.clear();
      return false;
    }
    f.Name = name;
  }
  return f.Size > 0;
}

bool TMyStreamReader::OpenLastVolume() {
  bool sfx = IsOwnerSFX();
  for (;;) {
    rtl::String name = GuessLastVolume(arcName, IsFile);
    // A lone first volume guesses itself: only the user can name the last one then.
    if (VolumeNumberOf(name) < 2) name.clear();
    if (name.empty() && !BrowseForFile(u"Select last volume", name)) return false;
    if (!BelongsToArchive(name, arcName, sfx)) continue;
    int number = VolumeNumberOf(name);
    if (number < 2) continue;
    while (Files.size() < static_cast<size_t>(number)) {
      TFiles f;
      f.Size = -1;
      Files.push_back(f);
    }
    if (Files[number - 1].Handle == platform::INVALID_FILE_HANDLE) Files[number - 1].Name = name;
    return OpenVolume(number);
  }
}

bool TMyStreamReader::ProvideMissingVolumes(int64_t needed) {
  if (FBorrowed) return false;  // one file, as it stands
  int64_t want = FStart + needed;
  bool numbered = IsOwnerSFX() || VolumeNumberOf(arcName) == 1;
  while (KnownTotal() < want) {
    size_t before = Files.size();
    if (numbered) {
      if (!OpenVolume(static_cast<int>(Files.size()) + 1)) return false;
      AppendExistingVolumes();
    } else {
      if (!OpenLastVolume()) return false;
      for (size_t k = 2; k <= Files.size(); ++k)
        if (Files[k - 1].Size < 0 && !OpenVolume(static_cast<int>(k))) return false;
    }
    if (Files.size() == before) return false;  // nothing more to be had
  }
  FMultivolume = true;
  FSizeTold = true;
  arcSize = KnownTotal();
  arcPosition = FStart;
  return true;
}

bool TMyStreamReader::BrowseForFile(const rtl::String& Title, rtl::String& Name) {
  try {
    TBrowseRequest r;
    r.Title = Title;
    rtl::String base = rtl::ChangeFileExt(rtl::ExtractFileName(Name), u"");
    r.FilterDescription = base + u"-volumes";
    r.FilterPattern = base + u".*";
    r.FilterIndex = 1;
    r.InitialDir = rtl::ExtractFileDir(Name);
    rtl::String chosen;
    bool ok = false;
    auto ask = [&] {
      platform::SetLastErrorValue(0);
      ok = RunBrowseForFile(r, chosen) && !chosen.empty();
      if (ok) ok = platform::GetLastErrorValue() == 0;
    };
    if (FSevenZip)
      FSevenZip->OnCallerThread(ask);
    else
      ask();
    if (ok) Name = chosen;
    return ok;
  } catch (...) {
    return false;
  }
}

}  // namespace sevenzip

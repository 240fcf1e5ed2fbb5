#include "sevenzip/SevenZipLibrary.h"

#include <string>
#include <vector>

#include "platform/LastError.h"
#include "platform/OleAuto.h"

namespace sevenzip {

namespace {

platform::HMODULE TryLoad(rtl::String& loaded) {
  rtl::String forced = rtl::GetEnvironmentVariable(u"KRV_7Z_LIBRARY");
  loaded = forced;
#ifdef _WIN32
  // A bare or relative name would be looked for in the current folder and along PATH.
  if (!forced.empty() && !rtl::IsAbsolutePath(forced)) {
    platform::SetLastErrorValue(platform::ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  if (!forced.empty()) return platform::LoadModule(forced);
  // The program's folder, by its full path: the loader then searches nowhere else.
  rtl::String exe = rtl::ExecutablePath();
  if (exe.empty()) return nullptr;
  std::vector<rtl::String> candidates = {rtl::ExtractFilePath(exe) + kLibraryFileName};
#else
  if (!forced.empty()) return platform::LoadModule(forced);
  std::vector<rtl::String> candidates = {
      kLibraryFileName,
      rtl::ExtractFilePath(rtl::GetModuleFileName()) + kLibraryFileName,
      rtl::String(u"/usr/lib/p7zip/") + kLibraryFileName,
      rtl::String(u"/usr/lib/7zip/") + kLibraryFileName,
  };
#endif
  for (const rtl::String& c : candidates)
    if (platform::HMODULE h = platform::LoadModule(c)) {
      loaded = c;
      return h;
    }
  return nullptr;
}

}  // namespace

bool LoadSevenZipLibrary(TSevenZipLibrary& lib) {
  lib = TSevenZipLibrary{};
  rtl::String path;
  platform::HMODULE h = TryLoad(path);
  if (!h) return false;
  auto create = reinterpret_cast<TCreateObjectFunc>(platform::GetModuleSymbol(h, "CreateObject"));
#ifdef _WIN32
  // COM's strings: the DLL frees a password with the system's SysFreeString.
  TSysAllocStringFunc alloc = platform::OleAllocString;
  TSysFreeStringFunc release = platform::OleFreeString;
  TVariantClearFunc clear = [](PROPVARIANT* v) -> HRESULT { return platform::OleClearVariant(v); };
#else
  auto alloc = reinterpret_cast<TSysAllocStringFunc>(platform::GetModuleSymbol(h, "SysAllocString"));
  auto release = reinterpret_cast<TSysFreeStringFunc>(platform::GetModuleSymbol(h, "SysFreeString"));
  auto clear = reinterpret_cast<TVariantClearFunc>(platform::GetModuleSymbol(h, "VariantClear"));
#endif
  auto moduleProp = reinterpret_cast<TGetModulePropFunc>(platform::GetModuleSymbol(h, "GetModuleProp"));
  bool layoutOk = false;
  if (moduleProp) {
    // Interface type 0: IUnknown without a virtual destructor, the layout declared here.
    PROPVARIANT v{};
    layoutOk = moduleProp(0, &v) == S_OK && v.vt == VT_UI4 && v.ulVal == 0;
  }
  if (!create || !alloc || !release || !layoutOk) {
    platform::FreeModule(h);
    return false;
  }
  // The library's worker threads and static state may outlive one component: keep one reference
  // for the life of the process so unloading a component never unmaps code still running.
  static platform::HMODULE pinned = platform::LoadModule(path);
  (void)pinned;
  lib.Handle = h;
  lib.CreateObject = create;
  lib.SysAllocString = alloc;
  lib.SysFreeString = release;
  lib.VariantClear = clear;
  return true;
}

void FreeSevenZipLibrary(TSevenZipLibrary& lib) {
  if (lib.Handle) platform::FreeModule(lib.Handle);
  lib = TSevenZipLibrary{};
}

rtl::String BStrToString(const wchar_t* s) {
  rtl::String r;
  if (!s) return r;
  for (; *s; ++s) {
    uint32_t c = static_cast<uint32_t>(*s);
    if (c < 0x10000) {
      // Surrogate halves arriving one per unit pair up again in UTF-16 by themselves.
      r.push_back(static_cast<char16_t>(c));
    } else if (c <= 0x10FFFF) {
      c -= 0x10000;
      r.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
      r.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
    } else {
      r.push_back(u'\xFFFD');
    }
  }
  return r;
}

BSTR AllocLibraryString(const TSevenZipLibrary& lib, const rtl::String& s) {
  std::wstring w;
  w.reserve(s.size());
  for (char16_t c : s) w.push_back(static_cast<wchar_t>(c));
  return lib.SysAllocString(w.c_str());
}

void ClearVariant(const TSevenZipLibrary& lib, PROPVARIANT& v) {
  if (lib.VariantClear && lib.VariantClear(&v) == S_OK) return;
  // No such export, or a type the system's VariantClear does not know (a FILETIME): only a
  // string was allocated.
  if (v.vt == VT_BSTR && v.bstrVal && lib.SysFreeString) lib.SysFreeString(v.bstrVal);
  v.vt = VT_EMPTY;
}

uint64_t VariantToUInt64(const PROPVARIANT& v) {
  switch (v.vt) {
    case VT_UI1: return v.ulVal & 0xFF;
    case VT_UI2: return v.ulVal & 0xFFFF;
    case VT_UI4: case VT_UINT: return v.ulVal;
    case VT_I4: case VT_INT: return static_cast<uint64_t>(static_cast<int64_t>(v.lVal));
    case VT_UI8: case VT_I8: return v.uhVal;
    case VT_BOOL: return v.boolVal != 0;
    default: return 0;
  }
}

bool ReadPropString(const TSevenZipLibrary& lib, IInArchive* a, uint32_t index, PROPID id, rtl::String& out) {
  out.clear();
  PROPVARIANT v{};
  if (a->GetProperty(index, id, &v) != S_OK) return false;
  bool isString = v.vt == VT_BSTR;
  if (isString) out = BStrToString(v.bstrVal);
  ClearVariant(lib, v);
  return isString;
}

uint64_t ReadPropUInt64(const TSevenZipLibrary& lib, IInArchive* a, uint32_t index, PROPID id) {
  PROPVARIANT v{};
  if (a->GetProperty(index, id, &v) != S_OK) return 0;
  uint64_t n = VariantToUInt64(v);
  ClearVariant(lib, v);
  return n;
}

bool ReadPropFileTime(const TSevenZipLibrary& lib, IInArchive* a, uint32_t index, PROPID id, uint64_t& out) {
  PROPVARIANT v{};
  out = 0;
  if (a->GetProperty(index, id, &v) != S_OK) return false;
  bool isTime = v.vt == VT_FILETIME;
  if (isTime) out = uint64_t(v.filetime.dwHighDateTime) << 32 | v.filetime.dwLowDateTime;
  ClearVariant(lib, v);
  return isTime;
}

uint64_t ReadArchivePropUInt64(const TSevenZipLibrary& lib, IInArchive* a, PROPID id) {
  PROPVARIANT v{};
  if (a->GetArchiveProperty(id, &v) != S_OK) return 0;
  uint64_t n = VariantToUInt64(v);
  ClearVariant(lib, v);
  return n;
}

}  // namespace sevenzip

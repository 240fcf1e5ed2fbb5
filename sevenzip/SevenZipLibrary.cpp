#include "sevenzip/SevenZipLibrary.h"

#include <string>
#include <vector>

namespace sevenzip {

namespace {

platform::HMODULE TryLoad(rtl::String& loaded) {
  rtl::String forced = rtl::GetEnvironmentVariable(u"KRV_7Z_LIBRARY");
  loaded = forced;
  if (!forced.empty()) return platform::LoadModule(forced);
  std::vector<rtl::String> candidates = {
      kLibraryFileName,
      rtl::ExtractFilePath(rtl::GetModuleFileName()) + kLibraryFileName,
      rtl::String(u"/usr/lib/p7zip/") + kLibraryFileName,
      rtl::String(u"/usr/lib/7zip/") + kLibraryFileName,
  };
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
  auto alloc = reinterpret_cast<TSysAllocStringFunc>(platform::GetModuleSymbol(h, "SysAllocString"));
  auto release = reinterpret_cast<TSysFreeStringFunc>(platform::GetModuleSymbol(h, "SysFreeString"));
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
  if (v.vt == VT_BSTR) {
    out = BStrToString(v.bstrVal);
    if (v.bstrVal) lib.SysFreeString(v.bstrVal);
    return true;
  }
  return false;
}

uint64_t ReadPropUInt64(IInArchive* a, uint32_t index, PROPID id) {
  PROPVARIANT v{};
  if (a->GetProperty(index, id, &v) != S_OK) return 0;
  return VariantToUInt64(v);
}

bool ReadPropFileTime(IInArchive* a, uint32_t index, PROPID id, uint64_t& out) {
  PROPVARIANT v{};
  out = 0;
  if (a->GetProperty(index, id, &v) != S_OK || v.vt != VT_FILETIME) return false;
  out = uint64_t(v.filetime.dwHighDateTime) << 32 | v.filetime.dwLowDateTime;
  return true;
}

uint64_t ReadArchivePropUInt64(IInArchive* a, PROPID id) {
  PROPVARIANT v{};
  if (a->GetArchiveProperty(id, &v) != S_OK) return 0;
  return VariantToUInt64(v);
}

}  // namespace sevenzip

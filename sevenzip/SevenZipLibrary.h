// Binding the 7-Zip library (7z.so on Linux, 7z.dll on Windows) at run time, and the string and
// variant conversions its interface needs.
#pragma once

#include "platform/Modules.h"
#include "rtl/SysUtils.h"
#include "sevenzip/SevenZipIntf.h"

namespace sevenzip {

// The platform's file name of the library.
#ifdef _WIN32
constexpr char16_t kLibraryFileName[] = u"7z.dll";
#else
constexpr char16_t kLibraryFileName[] = u"7z.so";
#endif

struct TSevenZipLibrary {
  platform::HMODULE Handle = nullptr;
  TCreateObjectFunc CreateObject = nullptr;
  TSysAllocStringFunc SysAllocString = nullptr;
  TSysFreeStringFunc SysFreeString = nullptr;
  TVariantClearFunc VariantClear = nullptr;  // may be missing on Linux: BSTRs are then freed alone
};

// Loads the library and looks up its exports: KRV_7Z_LIBRARY alone when set; otherwise on Linux
// the platform search order, the program's folder, /usr/lib/p7zip/, /usr/lib/7zip/; on Windows
// the program's own folder only (never the current folder or PATH, where anybody's 7z.dll may
// lie), and KRV_7Z_LIBRARY must then name an absolute path. The strings and variants are the
// library's own exports on Linux, the system's (oleaut32) on Windows. Refuses a library whose
// interfaces carry a virtual destructor (older builds): their slots differ from ours. False when
// the library, an export or the layout is missing; nothing stays loaded then.
bool LoadSevenZipLibrary(TSevenZipLibrary& lib);
void FreeSevenZipLibrary(TSevenZipLibrary& lib);

// Library strings are UTF-32 units; characters beyond the BMP may arrive as two surrogate units.
rtl::String BStrToString(const wchar_t* s);
// Each UTF-16 unit in one wchar_t, allocated by the library (which frees it itself).
BSTR AllocLibraryString(const TSevenZipLibrary& lib, const rtl::String& s);

// Empties a variant the library filled, freeing a string it holds.
void ClearVariant(const TSevenZipLibrary& lib, PROPVARIANT& v);
// Reads one item property; empties the variant first and frees what the library allocated.
// Numbers of any integer type widen; an empty value counts as 0.
bool ReadPropString(const TSevenZipLibrary& lib, IInArchive* a, uint32_t index, PROPID id, rtl::String& out);
uint64_t ReadPropUInt64(const TSevenZipLibrary& lib, IInArchive* a, uint32_t index, PROPID id);
// FILETIME ticks (UTC); false when the item stores none.
bool ReadPropFileTime(const TSevenZipLibrary& lib, IInArchive* a, uint32_t index, PROPID id, uint64_t& out);
uint64_t ReadArchivePropUInt64(const TSevenZipLibrary& lib, IInArchive* a, PROPID id);
// Widens an integer variant; 0 for an empty or non-integer one.
uint64_t VariantToUInt64(const PROPVARIANT& v);

}  // namespace sevenzip

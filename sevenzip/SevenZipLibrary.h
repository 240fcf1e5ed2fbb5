// Binding the 7-Zip library (7z.so) at run time, and the string and variant conversions its
// interface needs.
#pragma once

#include "platform/Modules.h"
#include "rtl/SysUtils.h"
#include "sevenzip/SevenZipIntf.h"

namespace sevenzip {

// The platform's file name of the library.
constexpr char16_t kLibraryFileName[] = u"7z.so";

struct TSevenZipLibrary {
  platform::HMODULE Handle = nullptr;
  TCreateObjectFunc CreateObject = nullptr;
  TSysAllocStringFunc SysAllocString = nullptr;
  TSysFreeStringFunc SysFreeString = nullptr;
};

// Loads the library (KRV_7Z_LIBRARY when set; otherwise the platform search order, the program's
// folder, /usr/lib/p7zip/, /usr/lib/7zip/) and looks up its exports. Refuses a library whose
// interfaces carry a virtual destructor (older builds): their slots differ from ours. False when
// the library, an export or the layout is missing; nothing stays loaded then.
bool LoadSevenZipLibrary(TSevenZipLibrary& lib);
void FreeSevenZipLibrary(TSevenZipLibrary& lib);

// Library strings are UTF-32 units; characters beyond the BMP may arrive as two surrogate units.
rtl::String BStrToString(const wchar_t* s);
// Each UTF-16 unit in one wchar_t, allocated by the library (which frees it itself).
BSTR AllocLibraryString(const TSevenZipLibrary& lib, const rtl::String& s);

// Reads one item property; empties the variant first and frees what the library allocated.
// Numbers of any integer type widen; an empty value counts as 0.
bool ReadPropString(const TSevenZipLibrary& lib, IInArchive* a, uint32_t index, PROPID id, rtl::String& out);
uint64_t ReadPropUInt64(IInArchive* a, uint32_t index, PROPID id);
// FILETIME ticks (UTC); false when the item stores none.
bool ReadPropFileTime(IInArchive* a, uint32_t index, PROPID id, uint64_t& out);
uint64_t ReadArchivePropUInt64(IInArchive* a, PROPID id);
// Widens an integer variant; 0 for an empty or non-integer one.
uint64_t VariantToUInt64(const PROPVARIANT& v);

}  // namespace sevenzip

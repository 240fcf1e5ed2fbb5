// The system's strings and variants of COM automation (oleaut32), for components whose
// interfaces hand them across: a DLL that frees a string we gave it, or gives us one to free,
// does it on the system's heap. Windows only; on Linux the 7-Zip library exports its own.
#pragma once

#include <cstdint>

#ifdef _WIN32
namespace platform {

// SysAllocString: a copy of the zero-terminated text, nullptr when out of memory.
wchar_t* OleAllocString(const wchar_t* text);
// SysFreeString; nullptr is allowed.
void OleFreeString(wchar_t* text);
// VariantClear on a PROPVARIANT or VARIANT: frees what it holds and empties it.
int32_t OleClearVariant(void* variant);

}  // namespace platform
#endif

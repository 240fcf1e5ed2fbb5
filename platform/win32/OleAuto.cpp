// COM automation's string and variant functions: the system's own (oleaut32).
#include "platform/OleAuto.h"

#include "rtl/win32/WinApi.h"

#include <oleauto.h>

namespace platform {

wchar_t* OleAllocString(const wchar_t* text) { return ::SysAllocString(text); }

void OleFreeString(wchar_t* text) { ::SysFreeString(text); }

int32_t OleClearVariant(void* variant) { return ::VariantClear(static_cast<VARIANTARG*>(variant)); }

}  // namespace platform

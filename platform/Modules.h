// Module loading (dlopen / dlsym). Never RTLD_DEEPBIND: AddressSanitizer aborts on it.
#pragma once

#include "rtl/SysUtils.h"

namespace platform {

using HMODULE = void*;

// Loads a shared object by path or, for a bare name, by the platform search order. On failure
// answers nullptr and sets the last-error value (ERROR_MOD_NOT_FOUND or ERROR_BAD_FORMAT).
HMODULE LoadModule(const rtl::String& fileName);
void* GetModuleSymbol(HMODULE module, const char* name);  // ERROR_PROC_NOT_FOUND when absent
void FreeModule(HMODULE module);
// dlerror()'s text of the last failure on this thread.
rtl::String LastModuleErrorText();

}  // namespace platform

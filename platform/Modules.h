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

// A module of ours that holds a heavy library (OpenSSL) behind a table of functions, opened
// on first need so that programs which never need it never load the library. The table's first
// member is an int holding its version.
struct TOwnModule {
  const void* Api = nullptr;  // the table; null when no candidate fitted
  rtl::String Path;
  rtl::String Error;          // why not, when Api is null
};
// Looks in order at: the path in the environment variable AEnvName alone when it is set; else
// AFileName in the program's folder, then ABuiltPath (where the build put it) when not empty.
// The first candidate whose function AEntryName answers a table of AVersion is kept loaded for
// the life of the process. AKind names the module in the reasons ("TLS").
TOwnModule LoadOwnModule(const char* AEnvName, const char* AFileName, const char* ABuiltPath,
                         const char* AEntryName, int AVersion, const char* AKind);

}  // namespace platform

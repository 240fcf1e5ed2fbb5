// Module loading (the system's loader) and the modules of ours that hold heavy libraries.
#pragma once

#include <vector>

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
// A program loads its modules from its own folder only, and fails closed when one is missing
// there: a module found anywhere else could be anybody's, and a crypto module that answers "yes"
// to every signature would let any archive pass. Test builds (test programs, the tools and the
// test editions link the build tree's registration) also look where the build put each module,
// and take the path in the environment variable AEnvName alone when it is set.
//
// Looks in order at: (test builds) the path in AEnvName alone when it is set; else AFileName in
// the program's folder, then (test builds) where the build put it. The first candidate whose
// function AEntryName answers a table of AVersion is kept loaded for the life of the process.
// AKind names the module in the reasons ("TLS").
TOwnModule LoadOwnModule(const char* AEnvName, const char* AFileName, const char* AEntryName, int AVersion,
                         const char* AKind);
// The candidates LoadOwnModule tries, in order (also for modules opened another way).
std::vector<rtl::String> OwnModuleCandidates(const char* AEnvName, const char* AFileName);
// Makes this program a test build and names where the build put a module (before the first use;
// the build tree's registration does it while the program starts).
void RegisterTestModule(const char* AFileName, const char* ABuiltPath);
bool IsTestBuild();

}  // namespace platform

// Module loading through the system's loader (LoadLibraryW / GetProcAddress). Our own modules
// (LoadOwnModule) hold the Linux build's OpenSSL and GTK backends; Windows has its system's
// services in their place and loads none.
#include "platform/Modules.h"

#include <string>

#include "platform/LastError.h"

#include "rtl/win32/WinApi.h"

namespace platform {

namespace {
thread_local rtl::String tLastModuleError;

std::wstring Wide(const rtl::String& s) { return std::wstring(s.begin(), s.end()); }

void NoteFailure() {
  DWORD code = ::GetLastError();
  tLastModuleError = WindowsErrorMessage(code);
  ::SetLastError(code);
}
}  // namespace

HMODULE LoadModule(const rtl::String& fileName) {
  // No "cannot find the DLL" box of the system's for a missing module: the caller reports it.
  UINT oldMode = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  ::HMODULE h = LoadLibraryW(Wide(fileName).c_str());
  if (!h) NoteFailure();
  SetErrorMode(oldMode);
  return reinterpret_cast<HMODULE>(h);
}

void* GetModuleSymbol(HMODULE module, const char* name) {
  if (!module) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  FARPROC p = GetProcAddress(static_cast<::HMODULE>(module), name);
  if (!p) NoteFailure();
  return reinterpret_cast<void*>(p);
}

void FreeModule(HMODULE module) {
  if (module) FreeLibrary(static_cast<::HMODULE>(module));
}

rtl::String LastModuleErrorText() { return tLastModuleError; }

}  // namespace platform

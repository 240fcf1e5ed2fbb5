// Module loading through the system's loader (LoadLibraryW / GetProcAddress).
#include "platform/Modules.h"

#include <string>
#include <vector>

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

namespace {

std::vector<rtl::String> OwnModuleCandidates(const char* AEnvName, const char* AFileName, const char* ABuiltPath) {
  rtl::String env;
  if (rtl::TryGetEnvironmentVariable(rtl::S(AEnvName), env) && !env.empty()) return {env};
  std::vector<rtl::String> candidates;
  rtl::String self = rtl::GetModuleFileName();
  size_t sep = self.find_last_of(u"\\/");
  if (sep != rtl::String::npos) candidates.push_back(self.substr(0, sep + 1) + rtl::S(AFileName));
  if (ABuiltPath && *ABuiltPath) candidates.push_back(rtl::S(ABuiltPath));
  return candidates;
}

}  // namespace

TOwnModule LoadOwnModule(const char* AEnvName, const char* AFileName, const char* ABuiltPath,
                         const char* AEntryName, int AVersion, const char* AKind) {
  TOwnModule result;
  rtl::String reasons;
  auto reason = [&](const rtl::String& AText) { reasons += (reasons.empty() ? u"" : u"; ") + AText; };
  for (const rtl::String& path : OwnModuleCandidates(AEnvName, AFileName, ABuiltPath)) {
    if (GetFileAttributesW(Wide(path).c_str()) == INVALID_FILE_ATTRIBUTES) continue;
    HMODULE m = LoadModule(path);
    if (!m) {
      reason(path + u": " + LastModuleErrorText());
      continue;
    }
    using TGetApi = const void* (*)();
    auto get = reinterpret_cast<TGetApi>(GetModuleSymbol(m, AEntryName));
    const void* api = get ? get() : nullptr;
    if (!api || *static_cast<const int*>(api) != AVersion) {
      reason(path + u": not a " + rtl::S(AKind) + u" module of this version");
      FreeModule(m);
      continue;
    }
    result.Api = api;
    result.Path = path;
    return result;
  }
  result.Error = reasons.empty() ? u"the " + rtl::S(AKind) + u" module " + rtl::S(AFileName) + u" was not found" : reasons;
  return result;
}

}  // namespace platform

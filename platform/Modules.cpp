#include "platform/Modules.h"

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/LastError.h"

namespace platform {

namespace {
thread_local rtl::String tLastDlError;
}

HMODULE LoadModule(const rtl::String& fileName) {
  std::string path = rtl::U8(fileName);
  void* h = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!h) {
    const char* e = ::dlerror();
    tLastDlError = rtl::S(e ? e : "");
    struct stat st;
    bool exists = path.find('/') != std::string::npos && ::stat(path.c_str(), &st) == 0;
    SetLastErrorValue(exists ? ERROR_BAD_FORMAT : ERROR_MOD_NOT_FOUND);
  }
  return h;
}

void* GetModuleSymbol(HMODULE module, const char* name) {
  if (!module) {
    SetLastErrorValue(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  ::dlerror();
  void* p = ::dlsym(module, name);
  if (!p) {
    const char* e = ::dlerror();
    tLastDlError = rtl::S(e ? e : "");
    SetLastErrorValue(ERROR_PROC_NOT_FOUND);
  }
  return p;
}

void FreeModule(HMODULE module) {
  if (module) ::dlclose(module);
}

rtl::String LastModuleErrorText() { return tLastDlError; }

namespace {

struct TTestModules {
  bool Registered = false;
  std::vector<std::pair<std::string, std::string>> Paths;  // file name, where the build put it
};
TTestModules& TestModules() {
  static TTestModules modules;
  return modules;
}

}  // namespace

void RegisterTestModule(const char* AFileName, const char* ABuiltPath) {
  TestModules().Registered = true;
  if (AFileName && ABuiltPath && *ABuiltPath) TestModules().Paths.emplace_back(AFileName, ABuiltPath);
}

bool IsTestBuild() { return TestModules().Registered; }

std::vector<rtl::String> OwnModuleCandidates(const char* AEnvName, const char* AFileName) {
  const bool test = IsTestBuild();
  if (const char* env = test && AEnvName ? std::getenv(AEnvName) : nullptr; env && *env) return {rtl::S(env)};
  std::vector<rtl::String> candidates;
  char self[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", self, sizeof(self) - 1);
  if (n > 0) {
    std::string path(self, size_t(n));
    size_t slash = path.rfind('/');
    if (slash != std::string::npos) candidates.push_back(rtl::S(path.substr(0, slash + 1) + AFileName));
  }
  if (test)
    for (const auto& [name, built] : TestModules().Paths)
      if (name == AFileName) candidates.push_back(rtl::S(built));
  return candidates;
}

TOwnModule LoadOwnModule(const char* AEnvName, const char* AFileName, const char* AEntryName, int AVersion,
                         const char* AKind) {
  TOwnModule result;
  rtl::String reasons;
  auto reason = [&](const rtl::String& AText) { reasons += (reasons.empty() ? u"" : u"; ") + AText; };
  const std::vector<rtl::String> candidates = OwnModuleCandidates(AEnvName, AFileName);
  for (const rtl::String& candidate : candidates) {
    const std::string path = rtl::U8(candidate);
    if (::access(path.c_str(), R_OK) != 0) continue;
    HMODULE m = LoadModule(candidate);
    if (!m) {
      reason(LastModuleErrorText());
      continue;
    }
    using TGetApi = const void* (*)();
    auto get = reinterpret_cast<TGetApi>(GetModuleSymbol(m, AEntryName));
    const void* api = get ? get() : nullptr;
    if (!api || *static_cast<const int*>(api) != AVersion) {
      reason(rtl::S(path) + u": not a " + rtl::S(AKind) + u" module of this version");
      FreeModule(m);
      continue;
    }
    result.Api = api;
    result.Path = rtl::S(path);
    return result;
  }
  if (reasons.empty())
    reasons = u"the " + rtl::S(AKind) + u" module " + rtl::S(AFileName) + u" was not found" +
              (candidates.empty() ? rtl::String() : u" at " + candidates.front());
  result.Error = reasons;
  return result;
}

}  // namespace platform

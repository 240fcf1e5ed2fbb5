// Our own modules: where a program looks for them, and the check that a module is one of ours.
#include "platform/Modules.h"

#include <string>
#include <vector>

namespace platform {

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
  if (test && AEnvName) {
    const rtl::String env = rtl::GetEnvironmentVariable(rtl::S(AEnvName));
    if (!env.empty()) return {env};
  }
  std::vector<rtl::String> candidates;
  // The folder the system says the program is in; never one its arguments name.
  const rtl::String self = rtl::ExecutablePath();
  if (!self.empty()) candidates.push_back(rtl::ExtractFilePath(self) + rtl::S(AFileName));
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
    if (!rtl::FileExists(candidate)) continue;
    HMODULE m = LoadModule(candidate);
    if (!m) {
      reason(LastModuleErrorText());
      continue;
    }
    using TGetApi = const void* (*)();
    auto get = reinterpret_cast<TGetApi>(GetModuleSymbol(m, AEntryName));
    const void* api = get ? get() : nullptr;
    if (!api || *static_cast<const int*>(api) != AVersion) {
      reason(candidate + u": not a " + rtl::S(AKind) + u" module of this version");
      FreeModule(m);
      continue;
    }
    result.Api = api;
    result.Path = candidate;
    return result;
  }
  if (reasons.empty())
    reasons = u"the " + rtl::S(AKind) + u" module " + rtl::S(AFileName) + u" was not found" +
              (candidates.empty() ? rtl::String() : u" at " + candidates.front());
  result.Error = reasons;
  return result;
}

}  // namespace platform

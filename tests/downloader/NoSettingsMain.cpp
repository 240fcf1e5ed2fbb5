// A program with the launcher's modules but without the "SETTINGS" resource: prints what the
// diagnostic hook received during module initialisation and the five values, one per line.
#include <cstdio>
#include <vector>

#include "downloader/Utils.h"

namespace {
std::vector<rtl::String>& Logged() {
  static std::vector<rtl::String> lines;
  return lines;
}
void Watch(const rtl::String& s) { Logged().push_back(s); }

// Runs before the launcher module's own initialisation, so the settings' report is seen.
struct TWatcherInstaller {
  TWatcherInstaller() { downloader::SetWriteLogWatcher(Watch); }
};
__attribute__((init_priority(101))) TWatcherInstaller gInstaller;
}  // namespace

int main() {
  for (const rtl::String& s : Logged()) std::printf("log %s\n", rtl::U8(s).c_str());
  std::printf("Localization=[%s]\n", rtl::U8(downloader::Localization).c_str());
  std::printf("Version=[%s]\n", rtl::U8(downloader::Version).c_str());
  std::printf("DestinationExe=[%s]\n", rtl::U8(downloader::DestinationExe).c_str());
  std::printf("TargetPrefix=[%s]\n", rtl::U8(downloader::TargetPrefix).c_str());
  std::printf("DestinationPrefix=[%s]\n", rtl::U8(downloader::DestinationPrefix).c_str());
  return 0;
}

// The launch path of KRVDownload alone (settings, version gate, shell open), for a system where
// the whole program does not build yet: exit code 0 when the product was asked to start, 3 when
// the update would run.
#include "downloader/Utils.h"

int main(int argc, char** argv) {
  rtl::SetCommandLine(argc, argv);
  return downloader::LaunchIfPresent() ? 0 : 3;
}

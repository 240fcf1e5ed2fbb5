// KRVDownload: starts the product when it is present and new enough, otherwise updates it.
// The settings were loaded while the modules initialised, before this runs.
#include "downloader/Utils.h"

int main(int argc, char** argv) {
  rtl::SetCommandLine(argc, argv);
  return downloader::RunDownloader();
}

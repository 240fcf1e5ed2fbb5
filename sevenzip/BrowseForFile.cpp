// The file-open dialog behind the volume prompts.
#include <mutex>

#include "sevenzip/SevenZip.h"

#if defined(KRV_HAVE_PLATFORM_GUI)
#include "platform/gui/Dialogs.h"
#endif

namespace sevenzip {

namespace {
std::mutex gBrowseLock;
TBrowseForFileFunc gBrowse;

bool PlatformOpenDialog(const TBrowseRequest& request, rtl::String& fileName) {
#if defined(KRV_HAVE_PLATFORM_GUI)
  platform::gui::TOpenDialogOptions o;
  o.Title = request.Title;
  o.FilterDescription = request.FilterDescription;
  o.FilterPattern = request.FilterPattern;
  o.FilterIndex = request.FilterIndex;
  o.InitialDir = request.InitialDir;
  o.PathMustExist = true;
  o.FileMustExist = true;
  return platform::gui::ExecuteOpenDialog(o, fileName);
#else
  // No dialog in this build: the prompt counts as cancelled.
  (void)request;
  (void)fileName;
  return false;
#endif
}
}  // namespace

void SetBrowseForFileHandler(TBrowseForFileFunc f) {
  std::lock_guard<std::mutex> lock(gBrowseLock);
  gBrowse = std::move(f);
}

bool RunBrowseForFile(const TBrowseRequest& request, rtl::String& fileName) {
  TBrowseForFileFunc f;
  {
    std::lock_guard<std::mutex> lock(gBrowseLock);
    f = gBrowse;
  }
  return f ? f(request, fileName) : PlatformOpenDialog(request, fileName);
}

}  // namespace sevenzip

// The file-open dialog behind the volume prompts.
#include <mutex>

#include "sevenzip/SevenZip.h"

#include "platform/gui/Dialogs.h"
#include "platform/gui/Forms.h"

namespace sevenzip {

namespace {
std::mutex gBrowseLock;
TBrowseForFileFunc gBrowse;

bool PlatformOpenDialog(const TBrowseRequest& request, rtl::String& fileName) {
  platform::gui::TOpenDialogOptions o;
  // The application's main window owns the dialog when there is one.
  if (platform::gui::TForm* main = platform::gui::Application().MainForm()) o.Owner = main->Handle();
  o.Title = request.Title;
  o.FilterDescription = request.FilterDescription;
  o.FilterPattern = request.FilterPattern;
  o.FilterIndex = request.FilterIndex;
  o.InitialDir = request.InitialDir;
  o.PathMustExist = true;
  o.FileMustExist = true;
  // Without a display the GUI layer answers "cancelled".
  return platform::gui::ExecuteOpenDialog(o, fileName);
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

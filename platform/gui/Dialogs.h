// The file-open dialog.
#pragma once

#include "platform/gui/MessageLoop.h"
#include "rtl/SysUtils.h"

namespace platform::gui {

struct TOpenDialogOptions {
  HWND Owner = nullptr; rtl::String Title; rtl::String FilterDescription; rtl::String FilterPattern;
  int FilterIndex = 1; rtl::String InitialDir; bool PathMustExist = true; bool FileMustExist = true;
};
// Modal. True with fileName set to the chosen path, and the last-error value 0; false when
// cancelled (fileName unchanged). Without a display it answers cancelled.
bool ExecuteOpenDialog(const TOpenDialogOptions& options, rtl::String& fileName);  // false: cancelled

}  // namespace platform::gui

#include "platform/gui/Dialogs.h"

#include "platform/LastError.h"
#include "platform/gui/Forms.h"
#include "platform/gui/Toolkit.h"

namespace platform::gui {

namespace {

// The native form behind a window handle (forms of the application only).
void* NativeFormOf(HWND wnd) {
  if (!wnd) return nullptr;
  TApplication& app = Application();
  if (TForm* f = app.MainForm(); f && f->Handle() == wnd) return f->NativeHandle();
  if (TForm* f = app.ActiveForm(); f && f->Handle() == wnd) return f->NativeHandle();
  return nullptr;
}

}  // namespace

bool ExecuteOpenDialog(const TOpenDialogOptions& options, rtl::String& fileName) {
  detail::TOpenDialogSpec spec;
  spec.OwnerForm = NativeFormOf(options.Owner);
  spec.Title = rtl::U8(options.Title);
  spec.FilterDescription = rtl::U8(options.FilterDescription);
  spec.FilterPattern = rtl::U8(options.FilterPattern);
  spec.FilterIndex = options.FilterIndex;
  spec.InitialDir = rtl::U8(options.InitialDir);
  spec.PathMustExist = options.PathMustExist;
  spec.FileMustExist = options.FileMustExist;
  std::string chosen;
  bool ok = Application().Toolkit().ExecuteOpenDialog(spec, chosen);
  if (ok && options.FileMustExist && !rtl::FileExists(rtl::S(chosen))) ok = false;
  if (ok && options.PathMustExist && !rtl::DirectoryExists(rtl::ExtractFileDir(rtl::S(chosen)))) ok = false;
  SetLastErrorValue(ERROR_SUCCESS);
  if (!ok) return false;
  fileName = rtl::S(chosen);
  return true;
}

}  // namespace platform::gui

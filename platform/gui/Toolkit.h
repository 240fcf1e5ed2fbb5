// Internal: the interface each toolkit backend implements (headless here, GTK in its module).
// Only plain types, UTF-8 strings and virtual calls cross it; a backend never lets an exception
// out and the host's event sinks never throw into it.
#pragma once

#include <cstdint>
#include <string>

#include "platform/gui/MessageLoop.h"

namespace platform::gui::detail {

class IThreadLoop;  // a toolkit's own loop that takes over its thread's waits (where there is one)

struct TFontSpec {
  std::string Name;
  int Height = -11;            // negative: pixels of the character height; positive: points
  bool Bold = false, Italic = false;
  bool DefaultColor = true;    // the theme's text colour
  uint32_t Rgb = 0;            // 0xRRGGBB when not DefaultColor
};

struct TFormSpec {
  std::string Caption;
  int ClientWidth = 0, ClientHeight = 0;
  bool Resizable = false;
  bool Centered = true;
  bool Minimizable = false, Maximizable = false;
  bool DefaultBackground = true;  // the theme's window colour (the button face)
  uint32_t BackgroundRgb = 0;
  TFontSpec Font;
};

// How a progress bar is drawn. The marquee's interval is the time between its moves.
struct TProgressStyle {
  bool Marquee = false;
  int MarqueeIntervalMs = 0;   // 0: the marquee stands still
  bool Smooth = false, SmoothReverse = false;
};

struct TOpenDialogSpec {
  void* OwnerForm = nullptr;   // a native form or nullptr
  std::string Title, FilterDescription, FilterPattern, InitialDir;
  int FilterIndex = 1;
  bool PathMustExist = true, FileMustExist = true;
};

// What a native form reports; called on the GUI thread, never throws.
class IFormEvents {
 public:
  virtual void NativeActivated() noexcept = 0;    // the window became active or was first shown
  virtual void NativeCloseRequest() noexcept = 0; // the user asked to close it
 protected:
  ~IFormEvents() = default;
};

class IToolkit {
 public:
  virtual ~IToolkit() = default;
  virtual const char* Name() const = 0;
  virtual void* CreateForm(const TFormSpec& spec, IFormEvents* events) = 0;
  virtual void DestroyForm(void* form) = 0;
  virtual void SetFormCaption(void* form, const std::string& caption) = 0;
  virtual void ShowForm(void* form) = 0;
  virtual void HideForm(void* form) = 0;
  virtual void* CreateLabel(void* form, int left, int top, int width, int height,
                            const std::string& caption, const TFontSpec& font) = 0;
  virtual void SetLabelCaption(void* label, const std::string& caption) = 0;
  virtual void* CreateProgressBar(void* form, int left, int top, int width, int height) = 0;
  virtual void SetProgress(void* bar, int min, int max, int position) = 0;
  virtual void PulseProgress(void* bar) = 0;
  // A toolkit whose bar animates its marquee itself (on a timer of the same thread's queue)
  // starts and stops it here, and its PulseProgress moves nothing; the others ignore it.
  virtual void SetProgressStyle(void* /*bar*/, const TProgressStyle& /*style*/) {}
  // Modal; returns the platform's button identifier (IDOK...).
  virtual int MessageBox(void* ownerForm, const std::string& text, const std::string& caption,
                         uint32_t flags) = 0;
  // Modal; true with fileName set when a file was chosen.
  virtual bool ExecuteOpenDialog(const TOpenDialogSpec& spec, std::string& fileName) = 0;
  // Ends the innermost modal dialog as if the user pressed the button with that identifier
  // (IDCANCEL cancels a file dialog); false when no modal dialog is open.
  virtual bool EndModal(int result) = 0;
  virtual int ModalDepth() = 0;           // modal dialogs open now
  virtual std::string ModalTitle() = 0;   // the innermost modal dialog's title, "" when none
  virtual IThreadLoop* Loop() = 0;        // the toolkit's loop for its thread, nullptr for none
  // The picture of every window and of the taskbar button: rows of RGBA, top row first (copied).
  virtual void SetApplicationIcon(const uint8_t* rgba, int width, int height) = 0;
  // The same from the program's own icon resource of that name, where the system keeps icons as
  // resources (a group icon of several sizes); false where it has none or does not.
  virtual bool SetApplicationIconResource(const std::string& /*name*/) { return false; }
};

// The headless toolkit (always available).
IToolkit* HeadlessToolkit();

#ifdef _WIN32
// The system's own windows and controls, or nullptr when the process has no desktop to show
// them on (a service's window station, Wine without a display).
IToolkit* Win32Toolkit();
#endif

// The operating system's toolkit for this process, or the headless one: KRV_GUI=headless forces
// the latter. *module receives what had to be loaded for it (kept for the life of the process).
IToolkit* ChooseToolkit(void*& module);

}  // namespace platform::gui::detail

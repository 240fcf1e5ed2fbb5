// The downloader's window: a label and a marquee while the update runs on the GUI thread; it
// closes itself when the update has ended. The design lives here in code (Linux has no compiled
// form resource).
#pragma once

#include <cstdint>
#include <vector>

#include "platform/gui/Forms.h"
#include "rtl/SysUtils.h"

namespace downloader {

class TMainForm : public platform::gui::TForm {
 public:
  TMainForm();

  platform::gui::TLabel* lblMessage;
  platform::gui::TProgressBar* progress;
  platform::gui::TTimer* Timer1;

  void FormCreate(platform::gui::TObject* Sender);
  // Label, update, and the close that happens whatever the update did.
  void FormActivate(platform::gui::TObject* Sender);
  void Timer1Timer(platform::gui::TObject* Sender);

  // The update: download, extraction, start of the product, shortcut; an error box on failure.
  void RunUpdate();
  // The box titled "Error" with the error icon and one OK button; returns once it is closed.
  void ShowError(const rtl::String& Text);
};

// "File "<server-side archive name>" could not be downloaded from ftp! ..." with the settings.
rtl::String DownloadFailedMessage();
// "File "<server-side archive name>" is not signed by the publisher!": a signed edition got an
// archive without the publisher's valid signature.
rtl::String NotSignedMessage();
// "Execute command '<ProductPath>' failed!"
rtl::String ExecuteFailedMessage(const rtl::String& ProductPath);

// The 32 x 32 icon of the resource "MAINICON" (type "ICON", one 32-bit image) as rows of RGBA,
// top row first. False when the resource is missing or is not such an image.
bool DecodeIcon(const uint8_t* Data, size_t Size, std::vector<uint8_t>& Rgba, int& Width, int& Height);
bool LoadMainIcon(std::vector<uint8_t>& Rgba, int& Width, int& Height);

// The update path of the main routine: the application, the main window with its own taskbar
// button and the icon, and the message loop until the window closes.
void RunMainWindow();

}  // namespace downloader

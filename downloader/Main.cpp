#include "downloader/Main.h"

#include "downloader/DownloadJob.h"
#include "downloader/ExtractJob.h"
#include "downloader/Shortcut.h"
#include "downloader/UpdateJob.h"
#include "downloader/Utils.h"
#include "platform/Resources.h"

namespace downloader {

using namespace platform::gui;

TMainForm::TMainForm() {
  SetCaption(u"Downloader");
  BorderStyle = bsSingle;
  BorderIcons = biSystemMenu;
  Position = poScreenCenter;
  ClientWidth = 437;
  ClientHeight = 96;
  Color = clBtnFace;
  Font.Name = u"Tahoma";
  Font.Height = -11;
  Font.Color = clWindowText;
  PixelsPerInch = 96;

  lblMessage = new TLabel(this);
  lblMessage->Name = u"lblMessage";
  lblMessage->SetBounds(16, 20, 401, 20);
  lblMessage->AutoSize = false;
  lblMessage->SetCaption(u"Downloading Korvel X ...");
  lblMessage->Font.Name = u"Tahoma";
  lblMessage->Font.Height = -12;
  lblMessage->Font.Bold = true;
  lblMessage->Font.Italic = true;
  lblMessage->GlowSize = 3;

  progress = new TProgressBar(this);
  progress->Name = u"progress";
  progress->SetBounds(16, 47, 401, 25);
  progress->Smooth = true;
  progress->SetStyle(pbstMarquee);
  progress->SmoothReverse = true;
  progress->TabOrder = 0;

  Timer1 = new TTimer(this);
  Timer1->Name = u"Timer1";
  Timer1->SetInterval(500);
  Timer1->SetEnabled(true);
  Timer1->OnTimer = [this](TObject* s) { Timer1Timer(s); };

  OnCreate = [this](TObject* s) { FormCreate(s); };
  OnActivate = [this](TObject* s) { FormActivate(s); };
}

void TMainForm::FormCreate(TObject*) {
  progress->Enabled = true;
  progress->SetStyle(pbstMarquee);
  progress->SetMarqueeInterval(10);
  progress->SetMax(400);
}

void TMainForm::Timer1Timer(TObject*) { progress->StepIt(); }

void TMainForm::FormActivate(TObject*) {
  lblMessage->SetCaption(u"Downloading " + DestinationExe);
  try {
    RunUpdate();
  } catch (...) {
    // Closed in every case; the exception goes on to the toolkit's default handling.
    Close();
    throw;
  }
  Close();
}

rtl::String DownloadFailedMessage() {
  return u"File \"" + ArchiveName(TargetPrefix, Localization, Version) +
         u"\" could not be downloaded from ftp! Probably does not exists on ftp yet.";
}

rtl::String NotSignedMessage() {
  return u"File \"" + ArchiveName(TargetPrefix, Localization, Version) + u"\" is not signed by the publisher!";
}

rtl::String ExecuteFailedMessage(const rtl::String& ProductPath) {
  return u"Execute command '" + ProductPath + u"' failed!";
}

void TMainForm::RunUpdate() {
  const rtl::String folder = DownloaderFolder();
  const rtl::String productPath = folder + DestinationExe;
  // Download and install as one job: one lock, one open archive from the request to the moves.
  TUpdateResult update = UpdateProduct(folder, productPath);
  switch (update.Outcome) {
    case uoInstalled:
      if (OpenWithShell(productPath, ForwardedParameters(false)))
        CreateDesktopShortcut(productPath, rtl::ExtractFileName(productPath));
      else
        ShowError(ExecuteFailedMessage(productPath));
      break;
    case uoDownloadFailed: ShowError(DownloadFailedMessage()); break;
    case uoNotSigned: ShowError(NotSignedMessage()); break;
    case uoBusy: ShowError(update.Reason); break;
    case uoInstallFailed:
      // The designed message, and why: a damaged item, a refused name, the version that arrived.
      ShowError(ExecuteFailedMessage(productPath) + (update.Reason.empty() ? u"" : u" " + update.Reason));
      break;
  }
  update.Leftovers.reset();  // the replaced files go only now, the product already started
}

void TMainForm::ShowError(const rtl::String& Text) {
  Application().MessageBox(Text, u"Error", MB_OK | MB_ICONERROR);
}

namespace {

uint32_t Le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }
uint16_t Le16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }

}  // namespace

bool DecodeIcon(const uint8_t* Data, size_t Size, std::vector<uint8_t>& Rgba, int& Width, int& Height) {
  // Icon directory with one entry, then a 32-bit bottom-up bitmap and its 1-bit mask.
  if (Data == nullptr || Size < 6 + 16) return false;
  if (Le16(Data) != 0 || Le16(Data + 2) != 1 || Le16(Data + 4) != 1) return false;
  const uint8_t* e = Data + 6;
  int w = e[0] ? e[0] : 256, h = e[1] ? e[1] : 256;
  uint32_t bytes = Le32(e + 8), offset = Le32(e + 12);
  if (offset > Size || bytes > Size - offset || bytes < 40) return false;
  const uint8_t* bmp = Data + offset;
  if (Le32(bmp) != 40 || int32_t(Le32(bmp + 4)) != w || int32_t(Le32(bmp + 8)) != 2 * h || Le16(bmp + 12) != 1 ||
      Le16(bmp + 14) != 32 || Le32(bmp + 16) != 0)
    return false;
  const size_t pixelBytes = size_t(w) * h * 4;
  if (bytes - 40 < pixelBytes) return false;
  Rgba.resize(pixelBytes);
  const uint8_t* src = bmp + 40;
  for (int y = 0; y < h; ++y) {
    const uint8_t* row = src + size_t(h - 1 - y) * w * 4;  // bottom-up
    uint8_t* out = Rgba.data() + size_t(y) * w * 4;
    for (int x = 0; x < w; ++x) {
      out[x * 4 + 0] = row[x * 4 + 2];
      out[x * 4 + 1] = row[x * 4 + 1];
      out[x * 4 + 2] = row[x * 4 + 0];
      out[x * 4 + 3] = row[x * 4 + 3];
    }
  }
  Width = w;
  Height = h;
  return true;
}

bool LoadMainIcon(std::vector<uint8_t>& Rgba, int& Width, int& Height) {
  const platform::TResourceEntry* res = platform::FindResource(u"ICON", u"MAINICON");
  return res != nullptr && DecodeIcon(res->Data, res->Size, Rgba, Width, Height);
}

void RunMainWindow() {
  Application().Initialize();
  Application().MainFormOnTaskBar = true;
  // The system's own icon resource where it shows one, else the image decoded here.
  std::vector<uint8_t> rgba;
  int w = 0, h = 0;
  if (!Application().SetIconResource(u"MAINICON") && LoadMainIcon(rgba, w, h)) Application().SetIcon(rgba, w, h);
  Application().CreateForm<TMainForm>();
  Application().Run();
  Application().DestroyForms();
}

}  // namespace downloader

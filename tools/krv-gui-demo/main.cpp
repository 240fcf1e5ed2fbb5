// krv-gui-demo: the downloader's window (437 x 96, a label and a moving marquee) without the
// update behind it. With --seconds N the "update" is a message-pumping wait of N seconds, as the
// transport does while it downloads, and the window then closes itself. With --error-box TEXT it
// shows only the downloader's error box ("Error", the error icon, one OK button) with that text.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/gui/Forms.h"
#include "rtl/DateUtils.h"
#include "rtl/Exception.h"

using namespace platform::gui;

#if defined(KRV_SANITIZE)
// LeakSanitizer cannot unwind through the system's GTK stack: what fontconfig and GLib keep for
// the process's life shows as one-frame leaks with no caller of ours.
extern "C" __attribute__((visibility("default"), used)) const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\nleak:libglib-2.0.so\n";
}
#endif

namespace {

class TDemoForm : public TForm {
 public:
  TLabel* lblMessage;
  TProgressBar* progress;
  TTimer* Timer1;
  int Seconds = -1;
  rtl::String Message = u"Downloading KorvelFA.exe";

  TDemoForm() {
    SetCaption(u"Downloader");
    BorderStyle = bsSingle;
    BorderIcons = biSystemMenu;
    Position = poScreenCenter;
    ClientWidth = 437;
    ClientHeight = 96;
    Color = clBtnFace;
    Font.Name = u"Tahoma";
    Font.Height = -11;
    lblMessage = new TLabel(this);
    lblMessage->SetBounds(16, 20, 401, 20);
    lblMessage->AutoSize = false;
    lblMessage->SetCaption(u"Downloading Korvel X ...");
    lblMessage->Font.Height = -12;
    lblMessage->Font.Bold = lblMessage->Font.Italic = true;
    lblMessage->GlowSize = 3;
    progress = new TProgressBar(this);
    progress->SetBounds(16, 47, 401, 25);
    progress->Smooth = true;
    progress->SmoothReverse = true;
    Timer1 = new TTimer(this);
    Timer1->SetInterval(500);
    Timer1->OnTimer = [this](TObject*) { progress->StepIt(); };
    OnCreate = [this](TObject*) {
      progress->Enabled = true;
      progress->SetStyle(pbstMarquee);
      progress->SetMarqueeInterval(10);
      progress->SetMax(400);
    };
    OnActivate = [this](TObject*) {
      lblMessage->SetCaption(Message);
      if (Seconds < 0) return;  // stays until the user closes it
      uint64_t end = rtl::GetTickCount64() + uint64_t(Seconds) * 1000;
      while (rtl::GetTickCount64() < end) {
        if (MsgWaitForMultipleObjects(nullptr, 0, 50) == WAIT_OBJECT_0) ProcessMessages();
      }
      Close();
    };
  }
};

int Usage(const char* why) {
  if (why) std::fprintf(stderr, "krv-gui-demo: %s\n", why);
  std::fprintf(stderr, "usage: krv-gui-demo [--seconds N] [--message TEXT] | --error-box TEXT\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  int seconds = -1;
  std::string message, errorBox;
  bool boxOnly = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--help" || a == "-h") return Usage(nullptr), 0;
    if ((a == "--seconds" || a == "--message" || a == "--error-box") && i + 1 >= argc) return Usage(("missing value for " + a).c_str());
    if (a == "--seconds") {
      char* end = nullptr;
      long v = std::strtol(argv[++i], &end, 10);
      if (!*argv[i] || *end || v < 0 || v > 86400) return Usage("--seconds wants a whole number from 0 to 86400");
      seconds = int(v);
    } else if (a == "--message") {
      message = argv[++i];
    } else if (a == "--error-box") {
      errorBox = argv[++i];
      boxOnly = true;
    } else {
      return Usage(("unknown argument " + a).c_str());
    }
  }
  try {
    Application().Initialize();
    Application().MainFormOnTaskBar = true;
    Application().Title = u"Downloader";
    if (boxOnly) {
      Application().MessageBox(rtl::S(errorBox), u"Error", MB_OK | MB_ICONERROR);
      return 0;
    }
    auto* form = Application().CreateForm<TDemoForm>();
    form->Seconds = seconds;
    if (!message.empty()) form->Message = rtl::S(message);
    std::fprintf(stderr, "krv-gui-demo: %s backend\n", Application().BackendName());
    Application().Run();
    std::fprintf(stderr, "krv-gui-demo: marquee moved %llu times\n",
                 (unsigned long long)form->progress->MarqueeSteps());
    Application().DestroyForms();
  } catch (const rtl::Exception& e) {
    std::fprintf(stderr, "krv-gui-demo: %s\n", rtl::U8(e.Diagnostic()).c_str());
    return 1;
  }
  return 0;
}

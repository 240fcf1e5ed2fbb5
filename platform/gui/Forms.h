// The window toolkit: application, form, label, progress bar, timer and the application's
// message box. One interface over two backends: GTK 3 when a display is available, headless
// otherwise (message boxes go to stderr, the form's events still fire in order).
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <vector>

#include "platform/gui/MessageLoop.h"
#include "rtl/SysUtils.h"

namespace platform::gui {

namespace detail {
class IToolkit;
class TFormBridge;
}

// Colours: 0x00BBGGRR like the platform, or a system colour (high byte 0x80).
using TColor = uint32_t;
constexpr TColor clBlack = 0x000000, clWhite = 0xFFFFFF;
constexpr TColor clBtnFace = 0x8000000F, clWindowText = 0x80000008, clDefault = 0x20000000;
bool IsSystemColor(TColor c);
uint32_t ColorToRGB(TColor c);   // 0x00BBGGRR of the colour (system colours: their usual values)

// Message box flags and answers (the platform's values).
enum : uint32_t {
  MB_OK = 0x00, MB_OKCANCEL = 0x01, MB_ABORTRETRYIGNORE = 0x02, MB_YESNOCANCEL = 0x03,
  MB_YESNO = 0x04, MB_RETRYCANCEL = 0x05,
  MB_ICONERROR = 0x10, MB_ICONSTOP = 0x10, MB_ICONQUESTION = 0x20, MB_ICONWARNING = 0x30,
  MB_ICONINFORMATION = 0x40,
  MB_DEFBUTTON1 = 0x000, MB_DEFBUTTON2 = 0x100, MB_DEFBUTTON3 = 0x200,
};
enum : int { IDOK = 1, IDCANCEL = 2, IDABORT = 3, IDRETRY = 4, IDIGNORE = 5, IDYES = 6, IDNO = 7 };

class TObject {
 public:
  virtual ~TObject() = default;
};
using TNotifyEvent = std::function<void(TObject* sender)>;

struct TFont {
  rtl::String Name = u"Tahoma";
  int Height = -11;            // negative: character height in pixels
  TColor Color = clWindowText;
  bool Bold = false, Italic = false;
  int Charset = 1;             // DEFAULT_CHARSET
};

class TForm;

// Components belong to an owner that frees them; without one the creator owns them.
class TComponent : public TObject {
 public:
  explicit TComponent(TComponent* owner);
  ~TComponent() override;
  TComponent* Owner() const { return FOwner; }
  rtl::String Name;

 private:
  friend class TForm;
  TComponent* FOwner;
  std::vector<TComponent*> FOwned;  // freed in reverse order with the owner
};

// A control placed on a form at design coordinates.
class TControl : public TComponent {
 public:
  explicit TControl(TForm* parent);
  TForm* Parent() const { return FParent; }
  int Left() const { return FLeft; }
  int Top() const { return FTop; }
  int Width() const { return FWidth; }
  int Height() const { return FHeight; }
  void SetBounds(int left, int top, int width, int height);  // before the form is shown
  bool HandleAllocated() const { return FNative != nullptr; }

 protected:
  friend class TForm;
  virtual void CreateNative(detail::IToolkit& kit, void* form) = 0;
  TForm* FParent;
  int FLeft = 0, FTop = 0, FWidth = 0, FHeight = 0;
  void* FNative = nullptr;
};

class TLabel : public TControl {
 public:
  explicit TLabel(TForm* parent);
  const rtl::String& Caption() const { return FCaption; }
  void SetCaption(const rtl::String& caption);
  TFont Font;                  // copied from the form's font when the label is made
  bool AutoSize = true;
  int GlowSize = 0;

 protected:
  void CreateNative(detail::IToolkit& kit, void* form) override;

 private:
  rtl::String FCaption;
};

enum TProgressBarStyle { pbstNormal, pbstMarquee };

class TProgressBar : public TControl {
 public:
  explicit TProgressBar(TForm* parent);
  ~TProgressBar() override;
  int Min() const { return FMin; }
  int Max() const { return FMax; }
  int Position() const { return FPosition; }
  int Step() const { return FStep; }
  void SetMin(int v);
  void SetMax(int v);
  void SetPosition(int v);     // clamped to Min..Max
  void SetStep(int v) { FStep = v; }
  // Advances by Step; past Max it starts again from Min, as the platform's bar does.
  void StepIt();
  TProgressBarStyle Style() const { return FStyle; }
  void SetStyle(TProgressBarStyle style);
  int MarqueeInterval() const { return FMarqueeInterval; }
  void SetMarqueeInterval(int ms);
  // Marquee moves made so far (the animation runs on a window timer of the GUI thread).
  uint64_t MarqueeSteps() const { return FMarqueeSteps; }
  bool Enabled = true, Smooth = false, SmoothReverse = false;
  int TabOrder = 0;

 protected:
  void CreateNative(detail::IToolkit& kit, void* form) override;

 private:
  void Update();
  void UpdateAnimation();
  void ApplyStyle();
  int FMin = 0, FMax = 100, FPosition = 0, FStep = 10;
  TProgressBarStyle FStyle = pbstNormal;
  int FMarqueeInterval = 10;
  uint64_t FMarqueeSteps = 0;
  HWND FTimerWnd = nullptr;
  bool FAnimating = false;
};

class TTimer : public TComponent {
 public:
  explicit TTimer(TComponent* owner = nullptr);
  ~TTimer() override;
  uint32_t Interval() const { return FInterval; }
  void SetInterval(uint32_t ms);
  bool Enabled() const { return FEnabled; }
  void SetEnabled(bool enabled);
  TNotifyEvent OnTimer;

 private:
  void Update();
  uint32_t FInterval = 1000;
  bool FEnabled = true;
  bool FRunning = false;
  HWND FWnd = nullptr;
};

enum TFormBorderStyle { bsNone, bsSingle, bsSizeable, bsDialog };
enum TBorderIcon : uint32_t { biSystemMenu = 1, biMinimize = 2, biMaximize = 4 };
enum TPosition { poDesigned, poScreenCenter };
enum TCloseAction { caNone, caHide, caFree, caMinimize };

class TForm : public TComponent {
 public:
  TForm();
  ~TForm() override;
  const rtl::String& Caption() const { return FCaption; }
  void SetCaption(const rtl::String& caption);
  TFormBorderStyle BorderStyle = bsSizeable;
  uint32_t BorderIcons = biSystemMenu | biMinimize | biMaximize;
  TPosition Position = poDesigned;
  int ClientWidth = 320, ClientHeight = 240;
  TColor Color = clBtnFace;
  TFont Font;
  int PixelsPerInch = 96;

  TNotifyEvent OnCreate, OnActivate, OnDestroy;
  std::function<void(TObject* sender, TCloseAction& action)> OnClose;

  void Show();                 // makes the window and shows it; the first activation follows
  void Hide();
  // Asks the form to close: OnClose decides; closing the main form ends the application's loop.
  void Close();
  bool Visible() const { return FVisible; }
  bool Active() const;         // the application's active form
  HWND Handle() const { return FHandle; }  // the window messages for this form go to
  void* NativeHandle() const { return FNative; }
  int ActivateCount() const { return FActivateCount; }

 protected:
  virtual void DoCreate();     // raises OnCreate; called once the form and its controls exist

 private:
  friend class TApplication;
  friend class TControl;
  friend class detail::TFormBridge;
  void CreateNative();
  void DestroyNative();
  void Activated();
  void WndProc(TMessage& m);
  rtl::String FCaption;
  HWND FHandle = nullptr;
  void* FNative = nullptr;
  std::unique_ptr<detail::TFormBridge> FBridge;
  std::vector<TControl*> FControls;
  bool FVisible = false;
  int FActivateCount = 0;
};

class TApplication : public TObject {
 public:
  TApplication();
  ~TApplication() override;
  // Chooses the backend: GTK when a display is available and its module loads and opens it,
  // headless otherwise (KRV_GUI=headless forces headless). Idempotent; called on the GUI thread.
  void Initialize();
  bool MainFormOnTaskBar = true;
  rtl::String Title = u"KRVDownload";

  // Creates a form of type T; the first form made becomes the main form. OnCreate runs here.
  template <class T>
  T* CreateForm() {
    auto form = std::make_unique<T>();
    T* p = form.get();
    AdoptForm(std::move(form));
    return p;
  }
  TForm* MainForm() const { return FMainForm; }
  // Frees every form made by CreateForm (the next form made becomes the main form).
  void DestroyForms();
  // Shows the main form and dispatches messages until it closes.
  void Run();
  void Terminate() { FTerminated = true; }
  bool Terminated() const { return FTerminated; }
  void ProcessMessages() { gui::ProcessMessages(); }
  // Dispatches one message, or waits for one when none is pending.
  void HandleMessage();
  // Modal box; returns the button pressed (headless: "<caption>: <text>" to stderr and the
  // default button's answer).
  int MessageBox(const rtl::String& text, const rtl::String& caption, uint32_t flags = MB_OK);
  // The default exception handling: OnException when assigned, else ShowException.
  void HandleException(std::exception_ptr error);
  void ShowException(std::exception_ptr error);
  std::function<void(TObject* sender, std::exception_ptr error)> OnException;

  const char* BackendName();        // "gtk" or "headless"
  // The icon of every window and of the taskbar button: Width x Height pixels of RGBA, top row
  // first; a toolkit without windows ignores it.
  void SetIcon(const std::vector<uint8_t>& Rgba, int Width, int Height);
  // The icon resource Name (type "ICON") where the system shows icon resources itself (the
  // Windows group icon, each size as the system picks it); false elsewhere, and then the caller
  // decodes the resource's bytes for SetIcon.
  bool SetIconResource(const rtl::String& Name);
  bool ModalOpen();                 // a modal box or dialog is open
  rtl::String ModalTitle();
  bool EndModal(int result);        // closes the innermost modal box or dialog
  TForm* ActiveForm() const { return FActiveForm; }
  detail::IToolkit& Toolkit();

 private:
  friend class TForm;
  void AdoptForm(std::unique_ptr<TForm> form);
  void FormActivated(TForm* form);
  void FormGone(TForm* form);
  detail::IToolkit* FToolkit = nullptr;
  void* FModule = nullptr;
  std::vector<std::unique_ptr<TForm>> FForms;
  TForm* FMainForm = nullptr;
  TForm* FActiveForm = nullptr;
  bool FTerminated = false;
  bool FRunning = false;
};

TApplication& Application();

}  // namespace platform::gui

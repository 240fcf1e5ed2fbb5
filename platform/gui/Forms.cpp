#include "platform/gui/Forms.h"

#include <algorithm>
#include <cstdio>

#include "platform/LastError.h"
#include "platform/gui/Toolkit.h"
#include "rtl/Exception.h"

namespace platform::gui {

namespace {

// Private messages of a form's window.
constexpr uint32_t CM_ACTIVATE = 0xB000 + 1, CM_CLOSE = 0xB000 + 2;
constexpr uintptr_t kMarqueeTimer = 1, kTimerId = 1;

detail::TFontSpec FontSpec(const TFont& f) {
  detail::TFontSpec s;
  s.Name = rtl::U8(f.Name);
  s.Height = f.Height;
  s.Bold = f.Bold;
  s.Italic = f.Italic;
  s.DefaultColor = IsSystemColor(f.Color);
  uint32_t bgr = ColorToRGB(f.Color);
  s.Rgb = ((bgr & 0xFF) << 16) | (bgr & 0xFF00) | ((bgr >> 16) & 0xFF);
  return s;
}

}  // namespace

bool IsSystemColor(TColor c) { return (c & 0xFF000000) == 0x80000000 || c == clDefault; }

uint32_t ColorToRGB(TColor c) {
  if (!IsSystemColor(c)) return c & 0xFFFFFF;
  switch (c) {
    case clBtnFace: return 0xF0F0F0;
    case clWindowText: return 0x000000;
    default: return 0xFFFFFF;
  }
}

// ---------------------------------------------------------------------------------------------

namespace detail {
class TFormBridge final : public IFormEvents {
 public:
  explicit TFormBridge(TForm* form) : FForm(form) {}
  void NativeActivated() noexcept override {
    try {
      FForm->Activated();
    } catch (...) {
      HandleDispatchException(std::current_exception());
    }
  }
  // Runs later from the queue, where handlers may throw safely.
  void NativeCloseRequest() noexcept override { PostMessage(FForm->Handle(), CM_CLOSE, 0, 0); }

 private:
  TForm* FForm;
};
}  // namespace detail

TComponent::TComponent(TComponent* owner) : FOwner(owner) {
  if (owner) owner->FOwned.push_back(this);
}

TComponent::~TComponent() {
  while (!FOwned.empty()) {
    TComponent* c = FOwned.back();
    FOwned.pop_back();
    c->FOwner = nullptr;
    delete c;
  }
  if (FOwner) {
    auto& v = FOwner->FOwned;
    v.erase(std::remove(v.begin(), v.end(), this), v.end());
  }
}

TControl::TControl(TForm* parent) : TComponent(parent), FParent(parent) {
  if (parent) parent->FControls.push_back(this);
}

void TControl::SetBounds(int left, int top, int width, int height) {
  FLeft = left;
  FTop = top;
  FWidth = std::max(0, width);
  FHeight = std::max(0, height);
}

// ---------------------------------------------------------------------------------------------

TLabel::TLabel(TForm* parent) : TControl(parent) {
  if (parent) Font = parent->Font;
}

void TLabel::SetCaption(const rtl::String& caption) {
  FCaption = caption;
  if (FNative) Application().Toolkit().SetLabelCaption(FNative, rtl::U8(caption));
}

void TLabel::CreateNative(detail::IToolkit& kit, void* form) {
  FNative = kit.CreateLabel(form, FLeft, FTop, FWidth, FHeight, rtl::U8(FCaption), FontSpec(Font));
}

// ---------------------------------------------------------------------------------------------

TProgressBar::TProgressBar(TForm* parent) : TControl(parent) {}

TProgressBar::~TProgressBar() {
  if (FTimerWnd) DeallocateHWnd(FTimerWnd);
}

void TProgressBar::SetMin(int v) {
  FMin = v;
  if (FMax < FMin) FMax = FMin;
  SetPosition(FPosition);
}

void TProgressBar::SetMax(int v) {
  FMax = v;
  if (FMin > FMax) FMin = FMax;
  SetPosition(FPosition);
}

void TProgressBar::SetPosition(int v) {
  FPosition = std::clamp(v, FMin, FMax);
  Update();
}

void TProgressBar::StepIt() {
  int64_t next = int64_t(FPosition) + FStep;
  if (next > FMax) next = FMin + (next - FMax - 1) % (int64_t(FMax) - FMin + 1);
  if (next < FMin) next = FMin;
  FPosition = int(next);
  Update();
}

void TProgressBar::SetStyle(TProgressBarStyle style) {
  FStyle = style;
  ApplyStyle();
  Update();
  UpdateAnimation();
}

void TProgressBar::SetMarqueeInterval(int ms) {
  FMarqueeInterval = std::max(ms, 0);
  ApplyStyle();
  UpdateAnimation();
}

void TProgressBar::ApplyStyle() {
  if (!FNative) return;
  detail::TProgressStyle s;
  s.Marquee = FStyle == pbstMarquee;
  s.MarqueeIntervalMs = FMarqueeInterval;
  s.Smooth = Smooth;
  s.SmoothReverse = SmoothReverse;
  Application().Toolkit().SetProgressStyle(FNative, s);
}

void TProgressBar::Update() {
  if (FNative && FStyle == pbstNormal) Application().Toolkit().SetProgress(FNative, FMin, FMax, FPosition);
}

// The marquee moves on a window timer of the GUI thread, so it moves exactly while messages are
// dispatched (in the loop and in the transport's waits) and stands still otherwise.
void TProgressBar::UpdateAnimation() {
  bool animate = FNative && FStyle == pbstMarquee && FMarqueeInterval > 0;
  if (!animate) {
    if (FAnimating) KillTimer(FTimerWnd, kMarqueeTimer);
    FAnimating = false;
    return;
  }
  if (!FTimerWnd)
    FTimerWnd = AllocateHWnd([this](TMessage& m) {
      if (m.Msg != WM_TIMER || !FNative) return;
      ++FMarqueeSteps;
      Application().Toolkit().PulseProgress(FNative);
    });
  FAnimating = SetTimer(FTimerWnd, kMarqueeTimer, uint32_t(FMarqueeInterval));
}

void TProgressBar::CreateNative(detail::IToolkit& kit, void* form) {
  FNative = kit.CreateProgressBar(form, FLeft, FTop, FWidth, FHeight);
  ApplyStyle();
  Update();
  UpdateAnimation();
}

// ---------------------------------------------------------------------------------------------

TTimer::TTimer(TComponent* owner) : TComponent(owner) {
  FWnd = AllocateHWnd([this](TMessage& m) {
    if (m.Msg == WM_TIMER && m.WParam == kTimerId && FEnabled && OnTimer) OnTimer(this);
  });
  Update();
}

TTimer::~TTimer() { DeallocateHWnd(FWnd); }

void TTimer::SetInterval(uint32_t ms) {
  FInterval = ms;
  Update();
}

void TTimer::SetEnabled(bool enabled) {
  FEnabled = enabled;
  Update();
}

// Runs only while enabled with a non-zero interval; an OnTimer assigned later is picked up at
// the next tick.
void TTimer::Update() {
  if (FRunning) KillTimer(FWnd, kTimerId);
  FRunning = FEnabled && FInterval > 0 && SetTimer(FWnd, kTimerId, FInterval);
}

// ---------------------------------------------------------------------------------------------

TForm::TForm() : TComponent(nullptr), FBridge(std::make_unique<detail::TFormBridge>(this)) {
  FHandle = AllocateHWnd([this](TMessage& m) { WndProc(m); });
}

TForm::~TForm() {
  if (OnDestroy) {
    try {
      OnDestroy(this);
    } catch (...) {
      HandleDispatchException(std::current_exception());
    }
  }
  // Controls first: their timers must stop before the native window goes.
  FControls.clear();
  while (!FOwned.empty()) {
    TComponent* c = FOwned.back();
    FOwned.pop_back();
    c->FOwner = nullptr;
    delete c;
  }
  DestroyNative();
  DeallocateHWnd(FHandle);
  Application().FormGone(this);
}

void TForm::SetCaption(const rtl::String& caption) {
  FCaption = caption;
  if (FNative) Application().Toolkit().SetFormCaption(FNative, rtl::U8(caption));
}

void TForm::DoCreate() {
  if (OnCreate) OnCreate(this);
}

void TForm::CreateNative() {
  if (FNative) return;
  detail::IToolkit& kit = Application().Toolkit();
  detail::TFormSpec spec;
  spec.Caption = rtl::U8(FCaption);
  spec.ClientWidth = ClientWidth;
  spec.ClientHeight = ClientHeight;
  spec.Resizable = BorderStyle == bsSizeable;
  spec.Centered = Position == poScreenCenter;
  spec.Minimizable = (BorderIcons & biMinimize) && BorderStyle != bsDialog;
  spec.Maximizable = (BorderIcons & biMaximize) && BorderStyle == bsSizeable;
  spec.DefaultBackground = IsSystemColor(Color);
  uint32_t bgr = ColorToRGB(Color);
  spec.BackgroundRgb = ((bgr & 0xFF) << 16) | (bgr & 0xFF00) | ((bgr >> 16) & 0xFF);
  spec.Font = FontSpec(Font);
  FNative = kit.CreateForm(spec, FBridge.get());
  if (!FNative) throw rtl::Exception("Error creating window");
  for (TControl* c : FControls) c->CreateNative(kit, FNative);
}

void TForm::DestroyNative() {
  if (!FNative) return;
  for (TControl* c : FControls) c->FNative = nullptr;
  Application().Toolkit().DestroyForm(FNative);
  FNative = nullptr;
}

void TForm::Show() {
  CreateNative();
  FVisible = true;
  Application().Toolkit().ShowForm(FNative);
}

void TForm::Hide() {
  FVisible = false;
  if (FNative) Application().Toolkit().HideForm(FNative);
}

void TForm::Close() {
  TCloseAction action = caHide;
  if (OnClose) OnClose(this, action);
  if (action == caNone) return;
  if (Application().MainForm() == this) {
    // The window stays until the loop ends; work still running in a handler finishes first.
    Application().Terminate();
  } else {
    Hide();
  }
}

bool TForm::Active() const { return Application().ActiveForm() == this; }

void TForm::Activated() {
  // Activation within the application: only a change of the active form counts, so focus
  // returning from other programs or from a message box raises nothing.
  if (Application().ActiveForm() == this) return;
  Application().FormActivated(this);
  PostMessage(FHandle, CM_ACTIVATE, 0, 0);
}

void TForm::WndProc(TMessage& m) {
  switch (m.Msg) {
    case CM_ACTIVATE:
      ++FActivateCount;
      if (OnActivate) OnActivate(this);
      break;
    case CM_CLOSE:
      Close();
      break;
  }
}

// ---------------------------------------------------------------------------------------------

namespace {

void ApplicationExceptionHandler(std::exception_ptr error) { Application().HandleException(error); }

// Makes sure the calling thread has its queue (a window made and freed again).
bool AllocateHWndProbe() {
  HWND w = AllocateHWnd([](TMessage&) {});
  if (!w) return false;
  DeallocateHWnd(w);
  return true;
}

}  // namespace

TApplication::TApplication() = default;

TApplication::~TApplication() {
  // The process is ending: forms go, the module stays loaded (GTK cannot be unloaded).
  FForms.clear();
}

void TApplication::Initialize() {
  SetDispatchExceptionHandler(ApplicationExceptionHandler);
  if (FToolkit) return;
  // The GUI thread's queue first: a toolkit loop is built around it.
  if (!AllocateHWndProbe()) throw rtl::EOSError(WindowsErrorMessage(GetLastErrorValue()), int(GetLastErrorValue()));
  FToolkit = detail::ChooseToolkit(FModule);
}

detail::IToolkit& TApplication::Toolkit() {
  if (!FToolkit) Initialize();
  return *FToolkit;
}

const char* TApplication::BackendName() { return Toolkit().Name(); }

void TApplication::SetIcon(const std::vector<uint8_t>& Rgba, int Width, int Height) {
  if (Width > 0 && Height > 0 && Rgba.size() >= size_t(Width) * size_t(Height) * 4)
    Toolkit().SetApplicationIcon(Rgba.data(), Width, Height);
}

bool TApplication::SetIconResource(const rtl::String& Name) {
  return Toolkit().SetApplicationIconResource(rtl::U8(Name));
}

void TApplication::AdoptForm(std::unique_ptr<TForm> form) {
  Toolkit();
  TForm* f = form.get();
  FForms.push_back(std::move(form));
  if (!FMainForm) FMainForm = f;
  f->DoCreate();
}

void TApplication::DestroyForms() {
  while (!FForms.empty()) FForms.pop_back();  // each form unhooks itself from here
  FMainForm = nullptr;
  FActiveForm = nullptr;
  FTerminated = false;
}

void TApplication::FormActivated(TForm* form) { FActiveForm = form; }

void TApplication::FormGone(TForm* form) {
  if (FActiveForm == form) FActiveForm = nullptr;
  if (FMainForm == form) FMainForm = nullptr;
}

void TApplication::HandleMessage() {
  if (!gui::ProcessOneMessage()) MsgWaitForMultipleObjects(nullptr, 0, INFINITE);
}

void TApplication::Run() {
  Toolkit();
  FTerminated = false;
  FRunning = true;
  if (FMainForm) FMainForm->Show();
  while (!FTerminated && FMainForm) HandleMessage();
  FRunning = false;
  if (FMainForm) FMainForm->Hide();
}

int TApplication::MessageBox(const rtl::String& text, const rtl::String& caption, uint32_t flags) {
  void* owner = FActiveForm ? FActiveForm->NativeHandle() : (FMainForm ? FMainForm->NativeHandle() : nullptr);
  return Toolkit().MessageBox(owner, rtl::U8(text), rtl::U8(caption), flags);
}

void TApplication::HandleException(std::exception_ptr error) {
  if (OnException) {
    OnException(this, error);
    return;
  }
  ShowException(error);
}

void TApplication::ShowException(std::exception_ptr error) {
  rtl::String text;
  try {
    std::rethrow_exception(error);
  } catch (const rtl::EAbort&) {
    return;  // the silent exception
  } catch (const rtl::Exception& e) {
    text = e.Message();
  } catch (const std::exception& e) {
    text = rtl::S(e.what());
  } catch (...) {
    text = u"Unknown exception";
  }
  // A message ends with a full stop in the box, as the platform's default handler shows it.
  if (!text.empty() && text.back() > u'.') text += u'.';
  MessageBox(text, Title, MB_OK | MB_ICONSTOP);
}

bool TApplication::ModalOpen() { return Toolkit().ModalDepth() > 0; }
rtl::String TApplication::ModalTitle() { return rtl::S(Toolkit().ModalTitle()); }
bool TApplication::EndModal(int result) { return Toolkit().EndModal(result); }

// Never destroyed: at exit other static objects may already be gone. Programs that want their
// forms' OnDestroy to run call DestroyForms before they return.
TApplication& Application() {
  static TApplication* app = new TApplication;
  return *app;
}

}  // namespace platform::gui

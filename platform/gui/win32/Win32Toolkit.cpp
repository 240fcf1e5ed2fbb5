// The toolkit on Windows: forms are top-level windows of a class of ours, labels STATIC
// controls, bars comctl32's progress bars (the marquee animated by comctl32 on the bar's own
// timer), the boxes MessageBoxW and GetOpenFileNameW. Every one of their messages comes through
// the thread's queue, so the system wait and ProcessOneMessage (MessageLoop.cpp) serve them and
// no loop of ours is installed. UTF-8 in the interface, UTF-16 to the system.
// Nothing here throws: the system's frames sit between us and every caller.
#include <algorithm>
#include <cwchar>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/gui/Toolkit.h"

#include "rtl/win32/WinApi.h"
#include <commctrl.h>
#include <commdlg.h>
#undef MessageBox  // the interface's own name

namespace platform::gui::detail {

namespace {

constexpr wchar_t kFormClass[] = L"KRVForm";
constexpr wchar_t kDialogClass[] = L"#32770";  // the class of message boxes and file dialogs
// The caption the system gives an untitled file dialog.
constexpr char kOpenTitle[] = "Open";

std::wstring Wide(const std::string& s) {
  if (s.empty()) return {};
  const int n = int(std::min<size_t>(s.size(), 0x3FFFFFFF));
  int len = ::MultiByteToWideChar(CP_UTF8, 0, s.data(), n, nullptr, 0);
  std::wstring w(size_t(std::max(len, 0)), L'\0');
  if (len > 0) ::MultiByteToWideChar(CP_UTF8, 0, s.data(), n, w.data(), len);
  return w;
}

std::string Utf8(const wchar_t* w, int len) {
  if (len <= 0) return {};
  int n = ::WideCharToMultiByte(CP_UTF8, 0, w, len, nullptr, 0, nullptr, nullptr);
  std::string s(size_t(std::max(n, 0)), '\0');
  if (n > 0) ::WideCharToMultiByte(CP_UTF8, 0, w, len, s.data(), n, nullptr, nullptr);
  return s;
}

std::string WindowText(::HWND wnd) {
  int len = ::GetWindowTextLengthW(wnd);
  std::wstring w(size_t(std::max(len, 0)) + 1, L'\0');
  len = ::GetWindowTextW(wnd, w.data(), int(w.size()));
  return Utf8(w.data(), len);
}

HINSTANCE Instance() { return ::GetModuleHandleW(nullptr); }

// The screen's pixels per inch: forms are designed at 96 and scaled to it (the manifest makes
// the process DPI-aware, so the system does not stretch its bitmaps instead).
int ScreenDpi() {
  HDC dc = ::GetDC(nullptr);
  int dpi = dc ? ::GetDeviceCaps(dc, LOGPIXELSY) : 96;
  if (dc) ::ReleaseDC(nullptr, dc);
  return dpi > 0 ? dpi : 96;
}

// A negative height is the character height in design pixels, a positive one points.
HFONT MakeFont(const TFontSpec& f, int dpi) {
  LOGFONTW lf{};
  if (f.Name.empty()) {
    NONCLIENTMETRICSW m{};
    m.cbSize = sizeof m;
    if (::SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof m, &m, 0)) lf = m.lfMessageFont;
  } else {
    std::wstring name = Wide(f.Name).substr(0, LF_FACESIZE - 1);
    std::copy(name.begin(), name.end(), lf.lfFaceName);
    lf.lfFaceName[name.size()] = L'\0';
  }
  if (f.Height < 0) lf.lfHeight = -::MulDiv(-f.Height, dpi, 96);
  if (f.Height > 0) lf.lfHeight = -::MulDiv(f.Height, dpi, 72);
  lf.lfWeight = f.Bold ? FW_BOLD : FW_NORMAL;
  lf.lfItalic = f.Italic;
  lf.lfCharSet = DEFAULT_CHARSET;
  lf.lfOutPrecision = OUT_DEFAULT_PRECIS;
  lf.lfClipPrecision = CLIP_DEFAULT_PRECIS;
  lf.lfQuality = DEFAULT_QUALITY;
  lf.lfPitchAndFamily = DEFAULT_PITCH | FF_DONTCARE;
  return ::CreateFontIndirectW(&lf);
}

COLORREF ColorRef(uint32_t rgb) { return RGB((rgb >> 16) & 0xFF, (rgb >> 8) & 0xFF, rgb & 0xFF); }

struct TWinControl {
  ::HWND Wnd = nullptr;
  HFONT Font = nullptr;        // owned (labels)
  bool DefaultColor = true;
  COLORREF Color = 0;
};

struct TWinForm {
  ::HWND Wnd = nullptr;
  IFormEvents* Events = nullptr;
  HFONT Font = nullptr;        // owned
  HBRUSH Background = nullptr;
  bool OwnBrush = false;
  int Dpi = 96;
  bool Shown = false;
  std::vector<std::unique_ptr<TWinControl>> Controls;

  int Scale(int v) const { return ::MulDiv(v, Dpi, 96); }
};

TWinForm* FormOf(::HWND wnd) { return reinterpret_cast<TWinForm*>(::GetWindowLongPtrW(wnd, GWLP_USERDATA)); }

LRESULT CALLBACK FormProc(::HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_NCCREATE) {
    auto* cs = reinterpret_cast<CREATESTRUCTW*>(lParam);
    ::SetWindowLongPtrW(wnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
  }
  TWinForm* f = FormOf(wnd);
  if (!f) return ::DefWindowProcW(wnd, msg, wParam, lParam);
  switch (msg) {
    case WM_ACTIVATE:
      if (LOWORD(wParam) != WA_INACTIVE) f->Events->NativeActivated();
      break;
    case WM_SHOWWINDOW:
      // The first showing counts as an activation even where nothing hands out the focus
      // (a desktop without a window manager); the form raises OnActivate once either way.
      if (wParam && !f->Shown) {
        f->Shown = true;
        f->Events->NativeActivated();
      }
      break;
    case WM_CLOSE:
      f->Events->NativeCloseRequest();  // the form decides; the window stays
      return 0;
    case WM_ERASEBKGND: {
      RECT r;
      ::GetClientRect(wnd, &r);
      ::FillRect(reinterpret_cast<HDC>(wParam), &r, f->Background);
      return 1;
    }
    case WM_CTLCOLORSTATIC: {
      // Labels are drawn on the form's own background, in their font's colour.
      auto* c = reinterpret_cast<TWinControl*>(::GetWindowLongPtrW(reinterpret_cast<::HWND>(lParam), GWLP_USERDATA));
      HDC dc = reinterpret_cast<HDC>(wParam);
      ::SetBkMode(dc, TRANSPARENT);
      ::SetTextColor(dc, c && !c->DefaultColor ? c->Color : ::GetSysColor(COLOR_WINDOWTEXT));
      return reinterpret_cast<LRESULT>(f->Background);
    }
  }
  return ::DefWindowProcW(wnd, msg, wParam, lParam);
}

// A modal box or dialog open now: its window is caught as it is made.
struct TModal {
  ::HWND Wnd = nullptr;
  bool FileDialog = false;
  std::string Title;
};

thread_local TModal* tCapturing = nullptr;

LRESULT CALLBACK CatchDialog(int code, WPARAM wParam, LPARAM lParam) {
  if (code == HCBT_CREATEWND && tCapturing && !tCapturing->Wnd) {
    auto* cw = reinterpret_cast<CBT_CREATEWNDW*>(lParam);
    auto wnd = reinterpret_cast<::HWND>(wParam);
    wchar_t cls[16];
    // Timers run during the box and may make windows of their own: only the dialog counts.
    if (!(cw->lpcs->style & WS_CHILD) && ::GetClassNameW(wnd, cls, 16) > 0 && std::wstring_view(cls) == kDialogClass)
      tCapturing->Wnd = wnd;
  }
  return ::CallNextHookEx(nullptr, code, wParam, lParam);
}

class TWin32Toolkit final : public IToolkit {
 public:
  const char* Name() const override { return "win32"; }

  void* CreateForm(const TFormSpec& spec, IFormEvents* events) override {
    auto f = std::make_unique<TWinForm>();
    f->Events = events;
    f->Dpi = ScreenDpi();
    f->Font = MakeFont(spec.Font, f->Dpi);
    if (spec.DefaultBackground) {
      f->Background = ::GetSysColorBrush(COLOR_BTNFACE);
    } else {
      f->Background = ::CreateSolidBrush(ColorRef(spec.BackgroundRgb));
      f->OwnBrush = f->Background != nullptr;
      if (!f->Background) f->Background = ::GetSysColorBrush(COLOR_BTNFACE);
    }
    DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN;
    if (spec.Resizable) style |= WS_THICKFRAME;
    if (spec.Minimizable) style |= WS_MINIMIZEBOX;
    if (spec.Maximizable) style |= WS_MAXIMIZEBOX;
    const DWORD exStyle = WS_EX_APPWINDOW;  // its own taskbar button
    RECT r{0, 0, f->Scale(spec.ClientWidth), f->Scale(spec.ClientHeight)};
    ::AdjustWindowRectEx(&r, style, FALSE, exStyle);
    const int w = r.right - r.left, h = r.bottom - r.top;
    int x = CW_USEDEFAULT, y = CW_USEDEFAULT;
    if (spec.Centered) {
      // The whole window centred on the primary screen.
      MONITORINFO mi{};
      mi.cbSize = sizeof mi;
      RECT screen{0, 0, ::GetSystemMetrics(SM_CXSCREEN), ::GetSystemMetrics(SM_CYSCREEN)};
      if (::GetMonitorInfoW(::MonitorFromPoint(POINT{0, 0}, MONITOR_DEFAULTTOPRIMARY), &mi)) screen = mi.rcMonitor;
      x = screen.left + (screen.right - screen.left - w) / 2;
      y = screen.top + (screen.bottom - screen.top - h) / 2;
    }
    f->Wnd = ::CreateWindowExW(exStyle, kFormClass, Wide(spec.Caption).c_str(), style, x, y, w, h, nullptr, nullptr,
                               Instance(), f.get());
    if (!f->Wnd) {
      Release(*f);
      return nullptr;
    }
    // The system menu of a fixed window offers neither sizing nor maximising.
    if (HMENU menu = ::GetSystemMenu(f->Wnd, FALSE)) {
      if (!spec.Resizable) ::DeleteMenu(menu, SC_SIZE, MF_BYCOMMAND);
      if (!spec.Maximizable) ::DeleteMenu(menu, SC_MAXIMIZE, MF_BYCOMMAND);
      if (!spec.Minimizable) ::DeleteMenu(menu, SC_MINIMIZE, MF_BYCOMMAND);
      if (!spec.Maximizable && !spec.Minimizable) ::DeleteMenu(menu, SC_RESTORE, MF_BYCOMMAND);
    }
    if (FIcon) {
      ::SendMessageW(f->Wnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(FIcon));
      ::SendMessageW(f->Wnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(FIcon));
    }
    FForms.push_back(f.get());
    return f.release();
  }

  void DestroyForm(void* form) override {
    auto* f = static_cast<TWinForm*>(form);
    // Its owner is going: what the window says while it is destroyed reaches nobody.
    ::SetWindowLongPtrW(f->Wnd, GWLP_USERDATA, 0);
    ::DestroyWindow(f->Wnd);  // the controls with it
    FForms.erase(std::remove(FForms.begin(), FForms.end(), f), FForms.end());
    Release(*f);
    delete f;
  }

  void SetFormCaption(void* form, const std::string& caption) override {
    ::SetWindowTextW(static_cast<TWinForm*>(form)->Wnd, Wide(caption).c_str());
  }

  void ShowForm(void* form) override {
    ::HWND w = static_cast<TWinForm*>(form)->Wnd;
    ::ShowWindow(w, SW_SHOWNORMAL);
    ::SetForegroundWindow(w);
    ::UpdateWindow(w);
  }

  void HideForm(void* form) override { ::ShowWindow(static_cast<TWinForm*>(form)->Wnd, SW_HIDE); }

  void* CreateLabel(void* form, int left, int top, int width, int height, const std::string& caption,
                    const TFontSpec& font) override {
    auto* f = static_cast<TWinForm*>(form);
    auto c = std::make_unique<TWinControl>();
    // One line, cut with an ellipsis; "&" is shown as it is.
    const DWORD style = WS_CHILD | WS_VISIBLE | SS_LEFTNOWORDWRAP | SS_NOPREFIX | SS_ENDELLIPSIS;
    c->Wnd = ::CreateWindowExW(0, L"STATIC", Wide(caption).c_str(), style, f->Scale(left), f->Scale(top),
                               f->Scale(width), f->Scale(height), f->Wnd, nullptr, Instance(), nullptr);
    if (!c->Wnd) return nullptr;
    c->Font = MakeFont(font, f->Dpi);
    c->DefaultColor = font.DefaultColor;
    c->Color = ColorRef(font.Rgb);
    ::SetWindowLongPtrW(c->Wnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(c.get()));
    ::SendMessageW(c->Wnd, WM_SETFONT, reinterpret_cast<WPARAM>(c->Font ? c->Font : f->Font), FALSE);
    f->Controls.push_back(std::move(c));
    return f->Controls.back()->Wnd;
  }

  void SetLabelCaption(void* label, const std::string& caption) override {
    ::SetWindowTextW(static_cast<::HWND>(label), Wide(caption).c_str());
  }

  void* CreateProgressBar(void* form, int left, int top, int width, int height) override {
    auto* f = static_cast<TWinForm*>(form);
    ::HWND bar = ::CreateWindowExW(0, PROGRESS_CLASSW, L"", WS_CHILD | WS_VISIBLE, f->Scale(left), f->Scale(top),
                                   f->Scale(width), f->Scale(height), f->Wnd, nullptr, Instance(), nullptr);
    return bar;
  }

  void SetProgress(void* bar, int min, int max, int position) override {
    auto w = static_cast<::HWND>(bar);
    ::SendMessageW(w, PBM_SETRANGE32, WPARAM(min), LPARAM(max));
    ::SendMessageW(w, PBM_SETPOS, WPARAM(position), 0);
  }

  // comctl32 moves the marquee itself (PBM_SETMARQUEE).
  void PulseProgress(void*) override {}

  void SetProgressStyle(void* bar, const TProgressStyle& s) override {
    auto w = static_cast<::HWND>(bar);
    LONG_PTR style = ::GetWindowLongPtrW(w, GWL_STYLE) & ~LONG_PTR(PBS_MARQUEE | PBS_SMOOTH | PBS_SMOOTHREVERSE);
    if (s.Marquee) style |= PBS_MARQUEE;
    if (s.Smooth) style |= PBS_SMOOTH;
    if (s.SmoothReverse) style |= PBS_SMOOTHREVERSE;
    // The animation stops before the style that allows it goes.
    if (!s.Marquee) ::SendMessageW(w, PBM_SETMARQUEE, FALSE, 0);
    ::SetWindowLongPtrW(w, GWL_STYLE, style);
    if (s.Marquee) ::SendMessageW(w, PBM_SETMARQUEE, s.MarqueeIntervalMs > 0, s.MarqueeIntervalMs);
    ::InvalidateRect(w, nullptr, TRUE);
  }

  int MessageBox(void* owner, const std::string& text, const std::string& caption, uint32_t flags) override {
    ::HWND parent = OwnerWindow(owner);
    TModal m{nullptr, false, caption};
    int r = RunModal(m, [&] {
      // Without an owner the box disables every window of the thread, as an application's box does.
      return ::MessageBoxW(parent, Wide(text).c_str(), Wide(caption).c_str(), flags | (parent ? 0 : MB_TASKMODAL));
    });
    return r;
  }

  bool ExecuteOpenDialog(const TOpenDialogSpec& spec, std::string& fileName) override {
    std::wstring filter;
    if (!spec.FilterPattern.empty()) {
      filter = Wide(spec.FilterDescription.empty() ? spec.FilterPattern : spec.FilterDescription);
      filter.push_back(L'\0');
      filter += Wide(spec.FilterPattern);
      filter.push_back(L'\0');
      filter.push_back(L'\0');
    }
    std::wstring title = Wide(spec.Title), dir = Wide(spec.InitialDir);
    std::vector<wchar_t> name(32768, L'\0');  // long paths: no 260-character limit
    OPENFILENAMEW ofn{};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = OwnerWindow(spec.OwnerForm);
    ofn.lpstrFilter = filter.empty() ? nullptr : filter.c_str();
    ofn.nFilterIndex = DWORD(std::max(spec.FilterIndex, 0));
    ofn.lpstrFile = name.data();
    ofn.nMaxFile = DWORD(name.size());
    ofn.lpstrInitialDir = dir.empty() ? nullptr : dir.c_str();
    ofn.lpstrTitle = title.empty() ? nullptr : title.c_str();
    ofn.Flags = OFN_EXPLORER | OFN_HIDEREADONLY | OFN_ENABLESIZING | OFN_NOCHANGEDIR;
    if (spec.PathMustExist) ofn.Flags |= OFN_PATHMUSTEXIST;
    if (spec.FileMustExist) ofn.Flags |= OFN_FILEMUSTEXIST;
    TModal m{nullptr, true, spec.Title.empty() ? kOpenTitle : spec.Title};
    bool ok = RunModal(m, [&] { return int(::GetOpenFileNameW(&ofn)); }) != 0;
    if (!ok) return false;
    fileName = Utf8(name.data(), int(std::wcslen(name.data())));
    return true;
  }

  bool EndModal(int result) override {
    if (FModals.empty() || !FModals.back()->Wnd) return false;
    TModal& m = *FModals.back();
    if (m.FileDialog) {
      // The dialog's own buttons: Open takes what the name box holds, Cancel ends it.
      const int id = result == IDOK ? IDOK : IDCANCEL;
      ::PostMessageW(m.Wnd, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(::GetDlgItem(m.Wnd, id)));
    } else {
      ::EndDialog(m.Wnd, result);
    }
    return true;
  }

  int ModalDepth() override { return int(FModals.size()); }

  std::string ModalTitle() override {
    if (FModals.empty()) return {};
    const TModal& m = *FModals.back();
    return m.Wnd ? WindowText(m.Wnd) : m.Title;
  }

  IThreadLoop* Loop() override { return nullptr; }

  void SetApplicationIcon(const uint8_t* rgba, int width, int height) override {
    HICON icon = MakeIcon(rgba, width, height);
    if (!icon) return;
    for (TWinForm* f : FForms) {
      ::SendMessageW(f->Wnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
      ::SendMessageW(f->Wnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
    }
    if (FIcon) ::DestroyIcon(FIcon);
    FIcon = icon;
  }

  bool SetApplicationIconResource(const std::string& name) override {
    // The group icon at the size of the system's large icons, as LoadIconW picks it, but owned
    // here (LoadIconW's is shared and could not be replaced later).
    HICON icon = static_cast<HICON>(::LoadImageW(Instance(), Wide(name).c_str(), IMAGE_ICON, 0, 0, LR_DEFAULTSIZE));
    if (!icon) return false;
    for (TWinForm* f : FForms) {
      ::SendMessageW(f->Wnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
      ::SendMessageW(f->Wnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
    }
    if (FIcon) ::DestroyIcon(FIcon);
    FIcon = icon;
    return true;
  }

 private:
  static void Release(TWinForm& f) {
    for (auto& c : f.Controls)
      if (c->Font) ::DeleteObject(c->Font);
    if (f.Font) ::DeleteObject(f.Font);
    if (f.OwnBrush) ::DeleteObject(f.Background);
  }

  // A box belongs to its form only while the form is on the screen.
  static ::HWND OwnerWindow(void* form) {
    auto* f = static_cast<TWinForm*>(form);
    return f && ::IsWindowVisible(f->Wnd) ? f->Wnd : nullptr;
  }

  template <class F>
  int RunModal(TModal& m, F run) {
    TModal* outer = tCapturing;
    tCapturing = &m;
    HHOOK hook = ::SetWindowsHookExW(WH_CBT, CatchDialog, nullptr, ::GetCurrentThreadId());
    FModals.push_back(&m);
    int r = run();
    FModals.pop_back();
    if (hook) ::UnhookWindowsHookEx(hook);
    tCapturing = outer;
    return r;
  }

  // A 32-bit colour image with its alpha; the mask is unused by such icons but required.
  static HICON MakeIcon(const uint8_t* rgba, int width, int height) {
    BITMAPV5HEADER bi{};
    bi.bV5Size = sizeof bi;
    bi.bV5Width = width;
    bi.bV5Height = -height;  // top row first
    bi.bV5Planes = 1;
    bi.bV5BitCount = 32;
    bi.bV5Compression = BI_BITFIELDS;
    bi.bV5RedMask = 0x00FF0000;
    bi.bV5GreenMask = 0x0000FF00;
    bi.bV5BlueMask = 0x000000FF;
    bi.bV5AlphaMask = 0xFF000000;
    void* bits = nullptr;
    HBITMAP color = ::CreateDIBSection(nullptr, reinterpret_cast<BITMAPINFO*>(&bi), DIB_RGB_COLORS, &bits, nullptr, 0);
    if (!color) return nullptr;
    auto* out = static_cast<uint8_t*>(bits);
    for (size_t i = 0, n = size_t(width) * size_t(height); i < n; ++i) {
      out[i * 4 + 0] = rgba[i * 4 + 2];
      out[i * 4 + 1] = rgba[i * 4 + 1];
      out[i * 4 + 2] = rgba[i * 4 + 0];
      out[i * 4 + 3] = rgba[i * 4 + 3];
    }
    HBITMAP mask = ::CreateBitmap(width, height, 1, 1, nullptr);
    ICONINFO ii{TRUE, 0, 0, mask, color};
    HICON icon = mask ? ::CreateIconIndirect(&ii) : nullptr;
    if (mask) ::DeleteObject(mask);
    ::DeleteObject(color);
    return icon;
  }

  std::vector<TWinForm*> FForms;
  std::vector<TModal*> FModals;
  HICON FIcon = nullptr;
};

// Whether windows can be shown: a window station of the desktop's (not a service's), common
// controls to draw with, and a top-level window the system agrees to make (Wine refuses it
// when it has no display).
bool DesktopAvailable() {
  USEROBJECTFLAGS flags{};
  HWINSTA station = ::GetProcessWindowStation();
  if (station && ::GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof flags, nullptr) &&
      !(flags.dwFlags & WSF_VISIBLE))
    return false;
  INITCOMMONCONTROLSEX icc{sizeof icc, ICC_PROGRESS_CLASS};
  if (!::InitCommonControlsEx(&icc)) return false;
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = FormProc;
  wc.hInstance = Instance();
  wc.hCursor = ::LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
  wc.hIcon = ::LoadIconW(Instance(), L"MAINICON");  // the program's own icon, where it has one
  wc.lpszClassName = kFormClass;
  if (!::RegisterClassExW(&wc) && ::GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return false;
  ::HWND probe = ::CreateWindowExW(0, kFormClass, L"", WS_OVERLAPPED, 0, 0, 1, 1, nullptr, nullptr, Instance(), nullptr);
  if (!probe) return false;
  ::DestroyWindow(probe);
  return true;
}

}  // namespace

IToolkit* Win32Toolkit() {
  // Never destroyed, like the headless one: forms may be freed while static objects go away.
  static IToolkit* kit = DesktopAvailable() ? new TWin32Toolkit : nullptr;
  return kit;
}

}  // namespace platform::gui::detail

// The system's own windows under Wine with a private Xvfb (win32/with-xvfb.sh): the downloader's
// window as the system and the X server show it, the error box, the manifest. Screenshots stay
// in <build>/artifacts.
#include "platform/gui/Forms.h"
#include "platform/gui/Toolkit.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <vector>

#include "SmallForm.h"
#include "win32/Win32Screen.h"
#include <commctrl.h>
#undef MessageBox

using namespace platform::gui;
using krvtest::PumpFor;
using krvtest::TSmallForm;
using namespace krvtest::win32screen;

namespace {

class Win32Windows : public testing::Test {
 protected:
  void SetUp() override {
    krvtest::ExpectRealToolkit();
    if (IsSkipped() || HasFatalFailure()) return;
    if (!CanShoot()) GTEST_SKIP() << "no host ImageMagick or display for screenshots";
    HDC dc = ::GetDC(nullptr);
    FDpi = ::GetDeviceCaps(dc, LOGPIXELSY);
    ::ReleaseDC(nullptr, dc);
  }
  void TearDown() override { Application().DestroyForms(); }
  int Scale(int v) const { return ::MulDiv(v, FDpi, 96); }
  int FDpi = 96;
};

TEST_F(Win32Windows, DownloaderWindowIsRealAndItsMarqueeMovesBetweenTwoScreenshots) {
  const std::string a = Dir() + "/win32-downloader.png", b = Dir() + "/win32-downloader-2.png";
  auto* f = Application().CreateForm<TSmallForm>();
  f->progress->SetStyle(pbstMarquee);
  f->progress->SetMarqueeInterval(10);
  f->lblMessage->SetCaption(u"Downloading KorvelFA.exe (\u00fc\u20ac)");
  ::HWND w = nullptr, label = nullptr, bar = nullptr;
  RECT client{}, window{}, barRect{}, screen{0, 0, ::GetSystemMetrics(SM_CXSCREEN), ::GetSystemMetrics(SM_CYSCREEN)};
  LONG_PTR style = 0, barStyle = 0;
  LOGFONTW font{};
  bool shots = false;
  int closes = 0;
  f->OnActivate = [&](TObject*) {
    w = ::FindWindowW(L"KRVForm", L"Downloader");
    label = ::FindWindowExW(w, nullptr, L"STATIC", nullptr);
    bar = ::FindWindowExW(w, nullptr, PROGRESS_CLASSW, nullptr);
    if (!w || !label || !bar) return f->Close();
    client = OnScreen(w, true), window = OnScreen(w, false), barRect = OnScreen(bar, false);
    style = ::GetWindowLongPtrW(w, GWL_STYLE), barStyle = ::GetWindowLongPtrW(bar, GWL_STYLE);
    ::GetObjectW(reinterpret_cast<HFONT>(::SendMessageW(label, WM_GETFONT, 0, 0)), sizeof font, &font);
    // Once the label's text is on the screen, pump a second, as the transport does while it waits.
    RECT text{client.left + Scale(16), client.top + Scale(20), client.left + Scale(417), client.top + Scale(40)};
    shots = ShotOnceDrawn(a, text, [] { PumpFor(100); });
    PumpFor(1000);
    shots = Shot(b) && shots;
    ::PostMessageW(w, WM_CLOSE, 0, 0);  // the close button
  };
  f->OnClose = [&](TObject*, TCloseAction&) { ++closes; };
  Application().Run();
  ASSERT_TRUE(w && label && bar && shots);
  EXPECT_EQ(closes, 1);
  EXPECT_EQ(client.right - client.left, Scale(437));
  EXPECT_EQ(client.bottom - client.top, Scale(96));
  EXPECT_EQ(style & (WS_CAPTION | WS_SYSMENU | WS_THICKFRAME | WS_MAXIMIZEBOX | WS_MINIMIZEBOX), WS_CAPTION | WS_SYSMENU);
  EXPECT_NEAR(window.left + window.right, screen.right, 1);
  EXPECT_NEAR(window.top + window.bottom, screen.bottom, 1);
  EXPECT_EQ(Text(label), L"Downloading KorvelFA.exe (\u00fc\u20ac)");
  EXPECT_TRUE(std::wstring(font.lfFaceName) == L"Tahoma" && font.lfHeight == -Scale(12) && font.lfWeight >= FW_BOLD && font.lfItalic);
  EXPECT_TRUE(barStyle & PBS_MARQUEE);
  EXPECT_TRUE(barRect.left - client.left == Scale(16) && barRect.top - client.top == Scale(47));
  EXPECT_TRUE(ChangedOnlyWithin(a, b, barRect));
}

TEST_F(Win32Windows, ErrorBoxHasTheTitleTheTextTheErrorIconAndOneOkButton) {
  const std::string png = Dir() + "/win32-error-box.png";
  const rtl::String text = u"File \"dlKorvelFA_SQL_KO_KO_1001820.7z\" could not be downloaded from ftp! Probably does not exists on ftp yet.";
  std::string title;
  std::wstring message;
  std::vector<std::wstring> buttons;
  bool icon = false;
  long red = -1, tries = 0;
  TTimer watcher;  // looks at the box once it is up, keeps its picture and presses OK
  watcher.SetInterval(100);
  watcher.OnTimer = [&](TObject*) {
    ::HWND box = Application().ModalOpen() ? ::FindWindowW(L"#32770", L"Error") : nullptr;
    if (!box) return;
    title = rtl::U8(Application().ModalTitle());
    message = Text(::GetDlgItem(box, 0xFFFF));  // the box's text control
    for (::HWND c = ::FindWindowExW(box, nullptr, L"Static", nullptr); c; c = ::FindWindowExW(box, c, L"Static", nullptr))
      icon = icon || ::SendMessageW(c, STM_GETICON, 0, 0) != 0;
    buttons.clear();
    for (::HWND c = ::FindWindowExW(box, nullptr, L"Button", nullptr); c; c = ::FindWindowExW(box, c, L"Button", nullptr))
      if (::IsWindowVisible(c)) buttons.push_back(Text(c));
    // The picture once the X server shows the icon's red (bounded).
    red = Shot(png) ? RedPixels(png, OnScreen(box, false)) : -1;
    if (red > 100 || ++tries > 50) Application().EndModal(IDOK);
  };
  auto* f = Application().CreateForm<TSmallForm>();
  f->lblMessage->SetCaption(u"Downloading KorvelFA.exe");
  int answer = 0;
  f->OnActivate = [&](TObject*) {
    answer = Application().MessageBox(text, u"Error", MB_OK | MB_ICONERROR);
    f->Close();
  };
  Application().Run();
  EXPECT_EQ(answer, IDOK);
  EXPECT_EQ(title, "Error");
  EXPECT_EQ(message, std::wstring(text.begin(), text.end()));
  EXPECT_TRUE(icon);
  EXPECT_EQ(buttons, std::vector<std::wstring>{L"OK"});
  EXPECT_GT(red, 100) << "no red of the error icon in " << png;
}

TEST_F(Win32Windows, ManifestBindsCommonControls6AndHeadlessCanBeForced) {
  wchar_t path[MAX_PATH] = L"";
  ::GetModuleFileNameW(::GetModuleHandleW(L"comctl32.dll"), path, MAX_PATH);
  // The side-by-side store holds version 6; the system folder's copy is version 5.
  EXPECT_NE(std::wstring(::CharLowerW(path)).find(L"microsoft.windows.common-controls"), std::wstring::npos);
  void* module = nullptr;
  ::SetEnvironmentVariableW(L"KRV_GUI", L"headless");
  EXPECT_STREQ(detail::ChooseToolkit(module)->Name(), "headless");
  ::SetEnvironmentVariableW(L"KRV_GUI", nullptr);
  EXPECT_STREQ(detail::ChooseToolkit(module)->Name(), "win32");
}

}  // namespace

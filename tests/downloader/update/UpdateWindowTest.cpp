// KRVDownload.exe's own window under Wine, with a private Xvfb (tests/platform/gui/win32/with-xvfb.sh)
// and a desktop of the test's own: the label and the moving marquee while the host's server
// trickles an archive, and the error box of a missing archive. The screenshots stay in
// <build>/artifacts: krv-update-window.png and -2.png (a second later), krv-update-error.png.
#include "UpdateTestUtil.h"

#include "../../platform/gui/win32/Win32Screen.h"

#include <commctrl.h>

using namespace krvtest;
using namespace krvtest::win32screen;

namespace {

// The downloader on the test's desktop, with the system's windows (no headless choice).
HANDLE Start(const std::string& exe, const std::string& folder) {
  ::SetEnvironmentVariableW(L"KRV_GUI", nullptr);
  std::wstring line = L"\"" + fs::path(SystemPath(exe)).wstring() + L"\"";
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!::CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        fs::path(SystemPath(folder)).wstring().c_str(), &si, &pi))
    return nullptr;
  ::CloseHandle(pi.hThread);
  return pi.hProcess;
}

// A visible top-level window of that class and title, looked for up to 30 s.
HWND WaitForWindow(const wchar_t* cls, const wchar_t* title) {
  for (int i = 0; i < 300; ++i) {
    if (HWND w = ::FindWindowW(cls, title); w && ::IsWindowVisible(w)) return w;
    ::Sleep(100);
  }
  return nullptr;
}

// The exit code once the process has ended (at most ms), or -1.
int Ended(HANDLE process, DWORD ms) {
  DWORD code = DWORD(-1);
  if (::WaitForSingleObject(process, ms) != WAIT_OBJECT_0) ::TerminateProcess(process, code);
  else ::GetExitCodeProcess(process, &code);
  ::CloseHandle(process);
  return int(code);
}

class UpdateWindow : public testing::Test {
 protected:
  void SetUp() override {
    if (!std::getenv("KRV_TEST_DESKTOP")) GTEST_SKIP() << "no display: run under with-xvfb.sh";
    if (!CanShoot()) GTEST_SKIP() << "no host ImageMagick for screenshots";
    Base = HostFolder(Tmp);
    Folder = Base + "/folder";
    Root = Base + "/root";
    for (const std::string& d : {Folder, Root}) fs::create_directories(d);
    Exe = PlaceDownloader(KRV_TEST_EDITION, Folder);
  }
  TTempDir Tmp;
  std::string Base, Folder, Root, Exe;
};

TEST_F(UpdateWindow, LabelAndMarqueeMoveWhileATrickledArchiveArrives) {
  ASSERT_TRUE(MakeLargeProductArchive(KRV_UPDATE_PRODUCT, Base + "/src", Root));
  TUpdateServer server(Root, KRV_TEST_EDITION_PORT, {"--rate", "2700000"});  // about 8 s for the archive
  ASSERT_TRUE(server.Running());
  const std::string a = Dir() + "/krv-update-window.png", b = Dir() + "/krv-update-window-2.png";
  HANDLE dl = Start(Exe, Folder);
  ASSERT_TRUE(dl);
  HWND w = WaitForWindow(L"KRVForm", L"Downloader");
  HWND label = w ? ::FindWindowExW(w, nullptr, L"STATIC", nullptr) : nullptr;
  HWND bar = w ? ::FindWindowExW(w, nullptr, PROGRESS_CLASSW, nullptr) : nullptr;
  std::wstring caption = label ? Text(label) : L"";
  LONG_PTR barStyle = bar ? ::GetWindowLongPtrW(bar, GWL_STYLE) : 0;
  // The title bar's icon comes from the program's group icon "MAINICON" (seen in the screenshot).
  HMODULE image = ::LoadLibraryExW(fs::path(SystemPath(Exe)).wstring().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  const bool groupIcon = image && ::FindResourceW(image, L"MAINICON", MAKEINTRESOURCEW(14));  // RT_GROUP_ICON
  if (image) ::FreeLibrary(image);
  RECT labelRect = label ? OnScreen(label, false) : RECT{}, barRect = bar ? OnScreen(bar, false) : RECT{};
  // The first shot once the label's text is on the screen, the second a second later: only the
  // marquee may differ, and it must.
  const bool drawn = label && ShotOnceDrawn(a, labelRect);
  ::Sleep(1000);
  const bool second = drawn && Shot(b);
  EXPECT_EQ(Ended(dl, 120000), 0);
  ASSERT_TRUE(w && label && bar) << "no window \"Downloader\" with its label and bar";
  EXPECT_EQ(caption, L"Downloading KorvelFA.exe");
  EXPECT_TRUE(barStyle & PBS_MARQUEE);
  EXPECT_TRUE(groupIcon) << "the program has no group icon MAINICON";
  ASSERT_TRUE(drawn && second) << "the label was not drawn";
  EXPECT_TRUE(ChangedOnlyWithin(a, b, barRect));
  std::string log = server.ReadLine(5000);
  EXPECT_NE(log.find("\" 200 "), std::string::npos) << "the download was still running: " << log;
}

TEST_F(UpdateWindow, MissingArchiveShowsTheErrorBoxUntilItIsClosed) {
  TUpdateServer server(Root, KRV_TEST_EDITION_PORT);
  ASSERT_TRUE(server.Running());
  const std::string png = Dir() + "/krv-update-error.png";
  HANDLE dl = Start(Exe, Folder);
  ASSERT_TRUE(dl);
  HWND box = WaitForWindow(L"#32770", L"Error");
  std::wstring message = box ? Text(::GetDlgItem(box, 0xFFFF)) : L"";  // the box's text control
  // The picture once the X server shows the icon's red (bounded).
  long red = -1;
  for (int i = 0; box && red <= 100 && i < 50; ++i)
    red = Shot(png) ? RedPixels(png, OnScreen(box, false)) : -1;
  const bool waits = ::WaitForSingleObject(dl, 0) == WAIT_TIMEOUT;
  if (box) ::PostMessageW(box, WM_COMMAND, IDOK, 0);  // the OK button
  EXPECT_EQ(Ended(dl, 30000), 0);
  ASSERT_TRUE(box) << "no box titled \"Error\"";
  EXPECT_TRUE(waits) << "the downloader must wait for the box to be closed";
  EXPECT_EQ(message, L"File \"dlKorvelFA_SQL_KO_KO_1001820.7z\" could not be downloaded from ftp! Probably does not "
                     L"exists on ftp yet.");
  EXPECT_GT(red, 100) << "no red of the error icon in " << png;
  EXPECT_NE(server.ReadLine(5000).find("\" 404 "), std::string::npos);
}

}  // namespace

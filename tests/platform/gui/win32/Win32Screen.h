// The system's windows under Wine as a test sees them: a desktop of the test's own (framed by
// Wine without a window manager), windows' texts and places, and screenshots measured by the
// host's ImageMagick. Screenshots stay in <build>/artifacts.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>

#include "../../../HostCommand.h"

namespace krvtest::win32screen {

// Wine binds a process's display driver to the desktop it starts on, and the shared default one
// may belong to a test without a display. Under the runner's display the program runs again as
// a child started on a desktop of its own, which Wine frames (title bars without a window
// manager) when it is named under Explorer\Desktops; the parent answers with its exit code.
class TOwnDesktop : public testing::Environment {
  void SetUp() override {
    if (!std::getenv("KRV_TEST_DESKTOP") || std::getenv("KRV_TEST_OWN_DESKTOP")) return;
    // Process numbers come back soon, while the desktop of an earlier one may still be closing.
    std::wstring name = L"krv-test-" + std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(::GetTickCount64());
    const wchar_t* key = L"Software\\Wine\\Explorer\\Desktops";
    ::RegSetKeyValueW(HKEY_CURRENT_USER, key, name.c_str(), REG_SZ, L"1024x768", sizeof L"1024x768");
    ::SetEnvironmentVariableW(L"KRV_TEST_OWN_DESKTOP", L"1");
    HDESK desk = ::CreateDesktopW(name.c_str(), nullptr, nullptr, 0, GENERIC_ALL, nullptr);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.lpDesktop = name.data();
    PROCESS_INFORMATION pi{};
    DWORD code = 1;
    std::fflush(stdout);
    if (desk && ::CreateProcessW(nullptr, ::GetCommandLineW(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
      ::WaitForSingleObject(pi.hProcess, INFINITE);
      ::GetExitCodeProcess(pi.hProcess, &code);
    }
    ::RegDeleteKeyValueW(HKEY_CURRENT_USER, key, name.c_str());
    ::ExitProcess(code);
  }
};
inline testing::Environment* const kOwnDesktop = testing::AddGlobalTestEnvironment(new TOwnDesktop);

inline std::wstring Text(::HWND w) {
  wchar_t b[512];
  return std::wstring(b, size_t(::GetWindowTextW(w, b, 512)));
}

inline RECT OnScreen(::HWND w, bool client) {
  RECT r;
  if (!client) return ::GetWindowRect(w, &r), r;
  return ::GetClientRect(w, &r), ::MapWindowPoints(w, nullptr, reinterpret_cast<POINT*>(&r), 2), r;
}

// Screenshots and their measures by the host's ImageMagick; Wine hands back only a host
// command's status, so answers come through a file.
inline std::string Dir() { return std::string(KRV_BINARY_DIR) + "/artifacts"; }
inline bool Shot(const std::string& png) { return krvtest::RunHostCommand("/usr/bin/import -window root '" + png + "'", 30000) == 0; }
inline std::string Crop(const std::string& png, RECT r) {
  return "'" + png + "' -crop " + std::to_string(r.right - r.left) + "x" + std::to_string(r.bottom - r.top) + "+" +
         std::to_string(r.left) + "+" + std::to_string(r.top) + " +repage";
}
inline std::string Measure(const std::string& image, const std::string& format) {
  std::string out = Dir() + "/.measure-" + std::to_string(::GetCurrentProcessId()), s;
  if (krvtest::RunHostCommand("/usr/bin/convert " + image + " -format '" + format + "' info: > '" + out + "'", 30000) == 0) {
    std::ifstream in(out);
    s.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  std::remove(out.c_str());  // after the stream is closed: an open file cannot be deleted here
  return s;
}

// The host can take and measure screenshots of a display, and their folder is there.
inline bool CanShoot() {
  return krvtest::RunHostCommand("test -x /usr/bin/import -a -x /usr/bin/convert -a -n \"$DISPLAY\" && mkdir -p '" +
                                     Dir() + "'", 20000) == 0;
}

// Shoots into png until the area shows drawn text (bounded), running between() after each miss.
inline bool ShotOnceDrawn(const std::string& png, RECT area, const std::function<void()>& between = [] {}) {
  for (int i = 0; i < 40; ++i, between())
    if (Shot(png) && std::atof(Measure(Crop(png, area), "%[fx:maxima-minima]").c_str()) > 0.3) return true;
  return false;
}

// Two screenshots differ, and only inside area (a moving marquee's bar).
inline testing::AssertionResult ChangedOnlyWithin(const std::string& a, const std::string& b, RECT area) {
  std::string changed = Measure("'" + a + "' '" + b + "' -compose difference -composite -threshold 0 -trim", "%w %h %X %Y");
  int w = 0, h = 0, x = 0, y = 0;
  if (std::sscanf(changed.c_str(), "%d %d %d %d", &w, &h, &x, &y) != 4)
    return testing::AssertionFailure() << "the screenshots are the same";
  if (x >= area.left && x + w <= area.right && y >= area.top && y + h <= area.bottom) return testing::AssertionSuccess();
  return testing::AssertionFailure() << "what changed (" << changed << ") lies outside the bar";
}

// The pixels of the error icon's red in the area of the screenshot.
inline long RedPixels(const std::string& png, RECT area) {
  return std::atol(Measure(Crop(png, area) + " -fuzz 25% -fill black +opaque red -fill white -opaque red",
                           "%[fx:round(mean*w*h)]").c_str());
}

}  // namespace krvtest::win32screen

// The toolkit on POSIX: GTK 3 from a module of ours when a display is there, else headless.
#include "platform/Modules.h"
#include "platform/gui/posix/LoopBackend.h"
#include "rtl/SysUtils.h"

namespace platform::gui::detail {

namespace {

#ifndef KRV_GUI_GTK_MODULE_PATH
#define KRV_GUI_GTK_MODULE_PATH ""
#endif

// The GTK module: KRV_GUI_GTK_MODULE when set, else beside the program, else where the build
// put it.
IToolkit* LoadGtkToolkit(void*& module) {
  std::vector<rtl::String> candidates;
  if (rtl::String env = rtl::GetEnvironmentVariable(u"KRV_GUI_GTK_MODULE"); !env.empty()) candidates.push_back(env);
  rtl::String exe = rtl::GetModuleFileName();
  if (!exe.empty()) candidates.push_back(rtl::ExtractFilePath(exe) + u"libkrv_gui_gtk.so");
  if (*KRV_GUI_GTK_MODULE_PATH) candidates.push_back(rtl::S(KRV_GUI_GTK_MODULE_PATH));
  for (const rtl::String& path : candidates) {
    if (!rtl::FileExists(path)) continue;
    HMODULE m = LoadModule(path);
    if (!m) continue;
    auto create = reinterpret_cast<TCreateToolkitFn>(GetModuleSymbol(m, kToolkitEntryName));
    IToolkit* kit = create ? create(&QueueServices(), kToolkitAbiVersion) : nullptr;
    // GTK libraries stay mapped once initialised; keep the module rather than unload under them.
    module = m;
    return kit;
  }
  return nullptr;
}

}  // namespace

IToolkit* ChooseToolkit(void*& module) {
  const bool forceHeadless = rtl::GetEnvironmentVariable(u"KRV_GUI") == u"headless";
  const bool display =
      !rtl::GetEnvironmentVariable(u"DISPLAY").empty() || !rtl::GetEnvironmentVariable(u"WAYLAND_DISPLAY").empty();
  IToolkit* kit = !forceHeadless && display ? LoadGtkToolkit(module) : nullptr;
  if (!kit) kit = HeadlessToolkit();
  InstallThreadLoop(kit->Loop());
  return kit;
}

}  // namespace platform::gui::detail

// The toolkit on POSIX: GTK 3 from a module of ours when a display is there, else headless.
#include "platform/Modules.h"
#include "platform/gui/posix/LoopBackend.h"
#include "rtl/SysUtils.h"

namespace platform::gui::detail {

namespace {

// The GTK module beside the program (test builds: KRV_GUI_GTK_MODULE, then where the build put
// it); without it the headless backend is used.
IToolkit* LoadGtkToolkit(void*& module) {
  for (const rtl::String& path : OwnModuleCandidates("KRV_GUI_GTK_MODULE", "libkrv_gui_gtk.so")) {
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

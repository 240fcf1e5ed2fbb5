// The toolkit on Windows: the system's windows when the process has a desktop to show them on,
// else headless (KRV_GUI=headless forces it, as on Linux). The windows live in the thread's
// message queue, so the wait and ProcessOneMessage already serve them: no loop to install.
#include "platform/gui/Toolkit.h"
#include "rtl/SysUtils.h"

namespace platform::gui::detail {

IToolkit* ChooseToolkit(void*& module) {
  module = nullptr;
  if (rtl::GetEnvironmentVariable(u"KRV_GUI") == u"headless") return HeadlessToolkit();
  if (IToolkit* kit = Win32Toolkit()) return kit;
  return HeadlessToolkit();
}

}  // namespace platform::gui::detail

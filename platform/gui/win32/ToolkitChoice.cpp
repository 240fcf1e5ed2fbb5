// The toolkit on Windows: the headless one for now. The Win32 forms (a real window, the comctl32
// marquee bar, MessageBoxW) plug in here as an IToolkit of their own; their windows live in the
// thread's message queue, so the wait and ProcessOneMessage already serve them and no loop of
// theirs needs installing.
#include "platform/gui/Toolkit.h"

namespace platform::gui::detail {

IToolkit* ChooseToolkit(void*& module) {
  module = nullptr;
  return HeadlessToolkit();
}

}  // namespace platform::gui::detail

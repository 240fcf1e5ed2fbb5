// The one pause of the transport and of the downloads above it: the thread's messages keep
// flowing meanwhile (a window stays alive), and an abort ends it at once.
#pragma once

#include <functional>

#include "platform/gui/MessageLoop.h"

namespace netlib {

enum class TclPauseEnd { Elapsed, Aborted, Woken, Failed };

// Waits AMs milliseconds in all, however many messages come, dispatching them meanwhile. Ends
// early with Aborted when AAbortEvent is signalled or, after a message, AStopped answers true;
// with Woken when AWakeEvent is signalled; with Failed when the wait itself failed (the last
// socket error set). Either event and AStopped may be absent.
TclPauseEnd PauseDispatching(int AMs, platform::gui::TEvent* AAbortEvent, platform::gui::TEvent* AWakeEvent = nullptr,
                             const std::function<bool()>& AStopped = nullptr);

}  // namespace netlib

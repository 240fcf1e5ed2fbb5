// Where an exception that escapes a message handler goes; the same on every system.
#include <atomic>
#include <cstdio>

#include "platform/gui/MessageLoop.h"
#include "rtl/Exception.h"

namespace platform::gui {

namespace {
std::atomic<TDispatchExceptionHandler> gExceptionHandler{nullptr};
}  // namespace

void SetDispatchExceptionHandler(TDispatchExceptionHandler handler) { gExceptionHandler = handler; }

void HandleDispatchException(std::exception_ptr error) {
  if (TDispatchExceptionHandler h = gExceptionHandler.load()) {
    try {
      h(error);
      return;
    } catch (...) {
      // a failing handler must not take the loop down; fall back to stderr
    }
  }
  try {
    std::rethrow_exception(error);
  } catch (const rtl::Exception& e) {
    std::fprintf(stderr, "Exception %s: %s\n", e.ClassName(), rtl::U8(e.Message()).c_str());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "Exception: %s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "Exception: unknown\n");
  }
}

}  // namespace platform::gui

// 100,000 message-pumping waits on an always-ready descriptor, per backend, against a plain
// poll() on the same descriptor. The transport waits once per received batch, so this is the
// overhead each batch pays for keeping the window alive.
#include <poll.h>

#include <cstdio>
#include <string>

#include "BenchUtil.h"
#include "XvfbDisplay.h"
#include "platform/gui/Forms.h"
#include "platform/gui/MessageLoop.h"
#include "platform/gui/posix/LoopBackend.h"

using namespace platform::gui;

namespace {

constexpr int kWaits = 100000;

void Measure(const std::string& name, TEvent& ready) {
  TWaitHandle h(ready);
  const int fd = detail::TWaitAccess::EventFd(ready);
  bool ok = true;
  auto ours = [&] {
    for (int i = 0; i < kWaits; ++i)
      if (MsgWaitForMultipleObjects(&h, 1, INFINITE) != WAIT_OBJECT_0) ok = false;
  };
  auto reference = [&] {
    for (int i = 0; i < kWaits; ++i) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, -1) != 1) ok = false;
    }
  };
  krvbench::CompareTime(name, ours, reference, 7, 1e6 / kWaits, "us/wait");
  if (!ok) std::fprintf(stderr, "%s: a wait did not report the ready descriptor\n", name.c_str());
}

}  // namespace

int main() {
  TEvent ready(true, true);  // manual reset: stays signalled
  Measure("gui_wait_headless", ready);

  std::string why;
  if (!krvtest::TXvfb::Start(why)) {
    std::printf("bench gui_wait_gtk: skipped (%s)\n", why.c_str());
    return 0;
  }
  Application().Initialize();
  if (std::string(Application().BackendName()) != "gtk") {
    std::printf("bench gui_wait_gtk: skipped (the GTK backend did not start)\n");
    return 0;
  }
  ProcessMessages();
  Measure("gui_wait_gtk", ready);
  return 0;
}

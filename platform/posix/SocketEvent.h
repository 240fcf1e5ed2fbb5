// The readiness tracker's event on POSIX, which the wait of platform/gui/posix polls.
#pragma once

#include "platform/Sockets.h"

namespace platform {

// Not a descriptor of its own: WaitDescriptor answers what to poll so that a wait wakes exactly
// when WsaEnumNetworkEvents has something to report under Winsock's rules.
class TSocketEvent {
 public:
  TSocketEvent();
  ~TSocketEvent();
  TSocketEvent(const TSocketEvent&) = delete;
  TSocketEvent& operator=(const TSocketEvent&) = delete;

  // The descriptor and poll events that signal this event; a never-ready descriptor while
  // nothing can be reported.
  void WaitDescriptor(int& fd, short& events) const;

 private:
  friend struct TSocketEventAccess;
  int FIdleFd = -1;
  TSocket FSocket = INVALID_SOCKET;
};

}  // namespace platform

// The socket event on Windows: a WSAEVENT that Winsock signals, and what the wait must know
// beyond it (a close held back behind unread bytes). For platform/win32 and its wait only.
#pragma once

#include <cstdint>

#include "platform/Sockets.h"

namespace platform {

class TSocketEvent {
 public:
  TSocketEvent() = default;
  ~TSocketEvent();
  TSocketEvent(const TSocketEvent&) = delete;
  TSocketEvent& operator=(const TSocketEvent&) = delete;

  // The event object (a HANDLE) the wait passes to the system.
  void* SystemHandle() const { return FHandle; }
  // True when a report is due that the system will not signal again: the peer's close, held
  // back while unread bytes waited, once those bytes are gone.
  bool ReadyWithoutSignal() const;

 private:
  friend struct TSocketEventAccess;
  void* FHandle = nullptr;
  TSocket FSocket = INVALID_SOCKET;
};

}  // namespace platform

// Windows Sockets 2 as the design binds it: WSAStartup, non-blocking connect, WSAEventSelect and
// WSAEnumNetworkEvents give the network-event record natively. Two rules of docs/transport.md
// are kept here on top: the peer's close is reported only once no unread bytes remain (and
// FD_PEER_SHUTDOWN when it arrives behind them), and an accepted socket does not take over the
// listener's event selection.
#include "platform/Sockets.h"

#include <cstring>
#include <mutex>
#include <new>
#include <unordered_map>

#include "platform/LastError.h"
#include "platform/win32/SocketEvent.h"

// After our headers: the system's define FD_*, SOCKET_ERROR and the WSAE* numbers as macros of
// the same values; INVALID_SOCKET is ours (a TSocket) below, the system's is kNative.
#include <winsock2.h>
#include <ws2tcpip.h>

#include "rtl/win32/WinApi.h"
#undef INVALID_SOCKET

#include "platform/BsdSocketRecords.h"

namespace platform {

struct TSocketEventAccess {
  static void*& Handle(TSocketEvent& e) { return e.FHandle; }
  static TSocket& Socket(TSocketEvent& e) { return e.FSocket; }
};

namespace {

constexpr SOCKET kNoNativeSocket = ~SOCKET(0);
SOCKET Native(TSocket s) { return static_cast<SOCKET>(static_cast<intptr_t>(s)); }
TSocket Ours(SOCKET s) { return s == kNoNativeSocket ? INVALID_SOCKET : TSocket(static_cast<intptr_t>(s)); }

int gStartupCount = 0;
std::mutex gStartupLock;

// What Winsock's record does not keep for us, per socket.
struct TSocketState {
  long Mask = 0;
  TSocketEvent* Event = nullptr;
  bool CloseHeld = false;  // the close arrived while unread bytes waited
  int CloseError = 0;
  bool CloseReported = false;
  bool ShutdownReported = false;
};

std::mutex gMutex;
std::unordered_map<intptr_t, TSocketState>& States() {
  static auto* states = new std::unordered_map<intptr_t, TSocketState>();
  return *states;
}
TSocketState* StateLocked(TSocket s) {
  auto it = States().find(static_cast<intptr_t>(s));
  return it == States().end() ? nullptr : &it->second;
}

int Fail(int code) {
  SetLastErrorValue(static_cast<uint32_t>(code));
  return SOCKET_ERROR;
}
int FailWsa() { return Fail(::WSAGetLastError()); }

unsigned long BytesAvailable(TSocket s) {
  u_long n = 0;
  return ::ioctlsocket(Native(s), FIONREAD, &n) == 0 ? n : 0;
}

// --- the bound functions ---------------------------------------------------------------------

TSocketEvent* SysCreateEvent() {
  auto* ev = new (std::nothrow) TSocketEvent();
  if (!ev) {
    Fail(WSA_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  WSAEVENT h = ::WSACreateEvent();
  if (h == WSA_INVALID_EVENT) {
    int err = ::WSAGetLastError();
    delete ev;
    Fail(err);
    return nullptr;
  }
  TSocketEventAccess::Handle(*ev) = h;
  return ev;
}

bool SysCloseEvent(TSocketEvent* event) {
  if (!event) {
    Fail(ERROR_INVALID_HANDLE);
    return false;
  }
  delete event;
  return true;
}

int SysEventSelect(TSocket s, TSocketEvent* event, long mask) {
  if (mask != 0 && !event) return Fail(WSAEINVAL);
  // FD_PEER_SHUTDOWN is ours: the system's close tells us of the peer's end.
  long native = mask & ~FD_PEER_SHUTDOWN;
  if (mask & FD_PEER_SHUTDOWN) native |= FD_CLOSE;
  std::lock_guard<std::mutex> lock(gMutex);
  TSocketState* st = StateLocked(s);
  if (!st) return Fail(WSAENOTSOCK);
  WSAEVENT h = event ? static_cast<WSAEVENT>(TSocketEventAccess::Handle(*event)) : nullptr;
  if (::WSAEventSelect(Native(s), native ? h : nullptr, native) != 0) return FailWsa();
  if (st->Event && st->Event != event && TSocketEventAccess::Socket(*st->Event) == s)
    TSocketEventAccess::Socket(*st->Event) = INVALID_SOCKET;
  st->Event = mask ? event : nullptr;
  st->Mask = mask;
  if (event) TSocketEventAccess::Socket(*event) = mask ? s : INVALID_SOCKET;
  return 0;
}

int SysEnumNetworkEvents(TSocket s, TSocketEvent* event, TNetworkEvents* record) {
  if (!record) return Fail(WSAEFAULT);
  *record = TNetworkEvents();
  WSANETWORKEVENTS native{};
  WSAEVENT h = event ? static_cast<WSAEVENT>(TSocketEventAccess::Handle(*event)) : nullptr;
  if (::WSAEnumNetworkEvents(Native(s), h, &native) != 0) return FailWsa();
  std::lock_guard<std::mutex> lock(gMutex);
  TSocketState* st = StateLocked(s);
  if (!st) return Fail(WSAENOTSOCK);
  long ev = native.lNetworkEvents;
  for (int i = 0; i < FD_MAX_EVENTS; ++i) record->ErrorCode[i] = native.iErrorCode[i];
  if (ev & FD_CLOSE) {
    ev &= ~FD_CLOSE;
    if (BytesAvailable(s) > 0) {
      // Reported once the reader has taken the bytes (ReadyWithoutSignal wakes the wait then).
      st->CloseHeld = true;
      st->CloseError = native.iErrorCode[FD_CLOSE_BIT];
      record->ErrorCode[FD_CLOSE_BIT] = 0;
      if ((st->Mask & FD_PEER_SHUTDOWN) && !st->ShutdownReported) {
        ev |= FD_PEER_SHUTDOWN;
        st->ShutdownReported = true;
      }
    } else if (!st->CloseReported) {
      ev |= FD_CLOSE;
      st->CloseReported = true;
    }
  } else if (st->CloseHeld && !st->CloseReported && BytesAvailable(s) == 0) {
    ev |= FD_CLOSE;
    record->ErrorCode[FD_CLOSE_BIT] = st->CloseError;
    st->CloseHeld = false;
    st->CloseReported = true;
  }
  record->NetworkEvents = ev & st->Mask;
  return 0;
}

int SysConnect(TSocket s, const TSocketAddress& address) {
  sockaddr_storage ss;
  int len;
  if (!bsd::ToNative(address, ss, len)) return Fail(WSAEAFNOSUPPORT);
  if (::connect(Native(s), reinterpret_cast<sockaddr*>(&ss), len) != 0) return FailWsa();
  return 0;
}

int SysGetSockName(TSocket s, TSocketAddress* address) {
  if (!address) return Fail(WSAEFAULT);
  sockaddr_storage ss{};
  int len = sizeof ss;
  if (::getsockname(Native(s), reinterpret_cast<sockaddr*>(&ss), &len) != 0) return FailWsa();
  if (!bsd::FromNative(reinterpret_cast<sockaddr*>(&ss), len, *address)) return Fail(WSAEAFNOSUPPORT);
  return 0;
}

int SysBind(TSocket s, const TSocketAddress& address) {
  sockaddr_storage ss;
  int len;
  if (!bsd::ToNative(address, ss, len)) return Fail(WSAEAFNOSUPPORT);
  if (::bind(Native(s), reinterpret_cast<sockaddr*>(&ss), len) != 0) return FailWsa();
  return 0;
}

TSocket SysAccept(TSocket s, TSocketAddress* peer) {
  sockaddr_storage ss{};
  int len = sizeof ss;
  SOCKET n = ::accept(Native(s), reinterpret_cast<sockaddr*>(&ss), &len);
  if (n == kNoNativeSocket) {
    FailWsa();
    return INVALID_SOCKET;
  }
  // Winsock hands the listener's event selection on to the accepted socket; ours starts without
  // one (it stays non-blocking, as the listener was).
  ::WSAEventSelect(n, nullptr, 0);
  {
    std::lock_guard<std::mutex> lock(gMutex);
    States()[static_cast<intptr_t>(Ours(n))] = TSocketState();
  }
  if (peer) bsd::FromNative(reinterpret_cast<sockaddr*>(&ss), len, *peer);
  return Ours(n);
}

int SysRecv(TSocket s, void* buffer, int length) {
  int n = ::recv(Native(s), static_cast<char*>(buffer), length < 0 ? 0 : length, 0);
  return n == SOCKET_ERROR ? FailWsa() : n;
}

int SysRecvFrom(TSocket s, void* buffer, int length, TSocketAddress* from) {
  sockaddr_storage ss{};
  int len = sizeof ss;
  int n = ::recvfrom(Native(s), static_cast<char*>(buffer), length < 0 ? 0 : length, 0,
                     reinterpret_cast<sockaddr*>(&ss), &len);
  if (n == SOCKET_ERROR) return FailWsa();
  if (from) bsd::FromNative(reinterpret_cast<sockaddr*>(&ss), len, *from);
  return n;
}

int SysSendTo(TSocket s, const void* buffer, int length, const TSocketAddress& to) {
  sockaddr_storage ss;
  int len;
  if (!bsd::ToNative(to, ss, len)) return Fail(WSAEAFNOSUPPORT);
  int n = ::sendto(Native(s), static_cast<const char*>(buffer), length < 0 ? 0 : length, 0,
                   reinterpret_cast<sockaddr*>(&ss), len);
  return n == SOCKET_ERROR ? FailWsa() : n;
}

void SysFreeAddrInfo(TAddressInfo* list) { bsd::FreeAddressList(list); }

int SysGetAddrInfo(const char* node, const char* service, const TAddressInfo* hints, TAddressInfo** result) {
  if (result) *result = nullptr;
  addrinfo native{};
  if (hints && !bsd::HintsToNative(*hints, native)) return WSAEAFNOSUPPORT;
  addrinfo* list = nullptr;
  int r = ::getaddrinfo(node, service, hints ? &native : nullptr, &list);
  if (r != 0) return r;  // already a Winsock code
  return bsd::AddressListFromNative(list, result);
}

const TSocketFunctions kSystem = {
    SysCreateEvent, SysCloseEvent, SysEventSelect, SysEnumNetworkEvents, SysConnect,     SysGetSockName,
    SysBind,        SysAccept,     SysRecv,        SysRecvFrom,          SysSendTo,      SysGetAddrInfo,
    SysFreeAddrInfo,
};

}  // namespace

const TSocketFunctions& SystemSocketFunctions() { return kSystem; }

int WsaStartup(uint16_t version) {
  if ((version & 0xFF) < 2) {
    Fail(WSAVERNOTSUPPORTED);
    return WSAVERNOTSUPPORTED;
  }
  WSADATA data;
  int r = ::WSAStartup(MAKEWORD(2, 2), &data);
  if (r != 0) {
    Fail(r);
    return r;
  }
  std::lock_guard<std::mutex> lock(gStartupLock);
  ++gStartupCount;
  return 0;
}

int WsaCleanup() {
  {
    std::lock_guard<std::mutex> lock(gStartupLock);
    if (gStartupCount <= 0) return Fail(WSANOTINITIALISED);
    --gStartupCount;
  }
  ::WSACleanup();
  return 0;
}

int WsaStartupCount() {
  std::lock_guard<std::mutex> lock(gStartupLock);
  return gStartupCount;
}

TSocket Socket(int family, int type, int protocol) {
  int native = bsd::NativeFamily(family);
  if (native < 0 || native == AF_UNSPEC) {
    Fail(WSAEAFNOSUPPORT);
    return INVALID_SOCKET;
  }
  // Not inherited by processes we start, as SOCK_CLOEXEC on POSIX.
  SOCKET n = ::WSASocketW(native, type, protocol, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (n == kNoNativeSocket) {
    FailWsa();
    return INVALID_SOCKET;
  }
  std::lock_guard<std::mutex> lock(gMutex);
  States()[static_cast<intptr_t>(Ours(n))] = TSocketState();
  return Ours(n);
}

int CloseSocket(TSocket s) {
  {
    std::lock_guard<std::mutex> lock(gMutex);
    auto it = States().find(static_cast<intptr_t>(s));
    if (it != States().end()) {
      TSocketEvent* e = it->second.Event;
      if (e && TSocketEventAccess::Socket(*e) == s) TSocketEventAccess::Socket(*e) = INVALID_SOCKET;
      States().erase(it);
    }
  }
  if (::closesocket(Native(s)) != 0) return FailWsa();
  return 0;
}

int Listen(TSocket s, int backlog) {
  if (::listen(Native(s), backlog) != 0) return FailWsa();
  return 0;
}

int Send(TSocket s, const void* buffer, int length) {
  int n = ::send(Native(s), static_cast<const char*>(buffer), length < 0 ? 0 : length, 0);
  return n == SOCKET_ERROR ? FailWsa() : n;
}

int Shutdown(TSocket s, int how) {
  if (::shutdown(Native(s), how) != 0) return FailWsa();
  return 0;
}

int SetSockOpt(TSocket s, int level, int name, const void* value, int length) {
  if (length < 0) return Fail(WSAEFAULT);
  if (level == WSA_SOL_SOCKET) {
    switch (name) {
      case WSA_SO_BROADCAST: case WSA_SO_REUSEADDR: case WSA_SO_KEEPALIVE: case WSA_SO_SNDBUF:
      case WSA_SO_RCVBUF: break;  // the system's own numbers
      default: return Fail(WSAENOPROTOOPT);
    }
  }
  if (::setsockopt(Native(s), level, name, static_cast<const char*>(value), length) != 0) return FailWsa();
  return 0;
}

int IoctlSocket(TSocket s, unsigned long command, unsigned long* argument) {
  if (!argument) return Fail(WSAEFAULT);
  if (command != WSA_FIONREAD && command != WSA_FIONBIO) return Fail(WSAEINVAL);
  u_long value = *argument;
  if (::ioctlsocket(Native(s), static_cast<long>(command), &value) != 0) return FailWsa();
  *argument = value;
  return 0;
}

bool InetAddr(const char* text, uint8_t (&address)[4]) {
  if (!text) return false;
  unsigned long a = ::inet_addr(text);
  if (a == INADDR_NONE) return false;
  std::memcpy(address, &a, 4);
  return true;
}

int ParseAddressLiteral(const char* text, uint8_t (&address)[16]) {
  if (!text) return 0;
  if (::inet_pton(AF_INET, text, address) == 1) return 4;
  if (::inet_pton(AF_INET6, text, address) == 1) return 16;
  return 0;
}

bool PeerShutDownBehindUnreadBytes(TSocket s) {
  {
    std::lock_guard<std::mutex> lock(gMutex);
    TSocketState* st = StateLocked(s);
    if (st && st->CloseHeld) return BytesAvailable(s) > 0;
  }
  WSAPOLLFD p{Native(s), POLLRDNORM, 0};
  if (::WSAPoll(&p, 1, 0) <= 0 || !(p.revents & POLLHUP)) return false;
  return BytesAvailable(s) > 0;
}

// --- the event -----------------------------------------------------------------------------------

TSocketEvent::~TSocketEvent() {
  {
    std::lock_guard<std::mutex> lock(gMutex);
    if (FSocket != INVALID_SOCKET) {
      TSocketState* st = StateLocked(FSocket);
      if (st && st->Event == this) {
        ::WSAEventSelect(Native(FSocket), nullptr, 0);
        st->Event = nullptr;
        st->Mask = 0;
      }
    }
  }
  if (FHandle) ::WSACloseEvent(static_cast<WSAEVENT>(FHandle));
}

bool TSocketEvent::ReadyWithoutSignal() const {
  std::lock_guard<std::mutex> lock(gMutex);
  if (FSocket == INVALID_SOCKET) return false;
  TSocketState* st = StateLocked(FSocket);
  return st && st->Event == this && (st->Mask & FD_CLOSE) && st->CloseHeld && !st->CloseReported &&
         BytesAvailable(FSocket) == 0;
}

}  // namespace platform

// Windows Sockets over BSD sockets: non-blocking sockets, errno mapped to Winsock codes, and the
// readiness tracker that keeps Winsock's network-event record (docs/transport.md).
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <new>
#include <unordered_map>

#include "platform/BsdSocketRecords.h"
#include "platform/LastError.h"
#include "platform/posix/Errors.h"
#include "platform/posix/SocketEvent.h"

namespace platform {

struct TSocketEventAccess {
  static int& IdleFd(TSocketEvent& e) { return e.FIdleFd; }
  static TSocket& Socket(TSocketEvent& e) { return e.FSocket; }
};

namespace {

int Fd(TSocket s) { return static_cast<int>(static_cast<intptr_t>(s)); }
TSocket SocketOf(int fd) { return TSocket(fd); }
TSocket& SocketOfEvent(TSocketEvent* e) { return TSocketEventAccess::Socket(*e); }

std::atomic<int> gStartupCount{0};

// What the tracker knows about one socket. Winsock keeps this per socket, not per event.
struct TSocketState {
  long Mask = 0;
  TSocketEvent* Event = nullptr;
  bool Connecting = false;
  bool Connected = false;
  bool Listening = false;
  bool ReadArmed = true;    // re-armed by every receive attempt
  bool AcceptArmed = true;  // re-armed by every accept attempt
  bool WriteArmed = false;  // armed at connect and by a send that would have blocked
  bool CloseReported = false;
  bool ShutdownReported = false;
};

std::mutex gMutex;
std::unordered_map<int, TSocketState>& States() {
  static auto* states = new std::unordered_map<int, TSocketState>();
  return *states;
}

int Fail(int code) {
  SetLastErrorValue(static_cast<uint32_t>(code));
  return SOCKET_ERROR;
}
int FailErrno() { return Fail(SocketErrorFromErrno(errno)); }

int BytesAvailable(int fd) {
  int avail = 0;
  return ::ioctl(fd, FIONREAD, &avail) == 0 ? avail : 0;
}

int PendingSocketError(int fd) {
  int err = 0;
  socklen_t len = sizeof(err);
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return errno;
  return err;
}

// The poll events that can lead to a report under the current state.
short Interest(const TSocketState& st) {
  short ev = 0;
  if (st.Connecting) ev |= POLLOUT;
  if (st.Connected) {
    if ((st.Mask & FD_WRITE) && st.WriteArmed) ev |= POLLOUT;
    if (((st.Mask & FD_READ) && st.ReadArmed) || ((st.Mask & FD_CLOSE) && !st.CloseReported))
      ev |= POLLIN | POLLRDHUP;
    if ((st.Mask & FD_PEER_SHUTDOWN) && !st.ShutdownReported && !st.CloseReported) ev |= POLLRDHUP;
  }
  if (st.Listening && (st.Mask & FD_ACCEPT) && st.AcceptArmed) ev |= POLLIN;
  return ev;
}

// Turns poll readiness into network events. Without a record it only answers whether the real
// call would change or report anything (and changes nothing).
long Evaluate(int fd, TSocketState& st, short revents, TNetworkEvents* rec) {
  const bool dry = rec == nullptr;
  long ev = 0;
  bool connected = st.Connected;
  if (st.Connecting && (revents & (POLLOUT | POLLERR | POLLHUP))) {
    if (dry) return 1;  // completion changes the state, reported or not
    int err = PendingSocketError(fd);
    st.Connecting = false;
    if (err == 0) {
      st.Connected = connected = true;
      st.WriteArmed = true;  // Winsock posts write once the connection is made
    }
    if (st.Mask & FD_CONNECT) {
      ev |= FD_CONNECT;
      rec->ErrorCode[FD_CONNECT_BIT] = err ? SocketErrorFromErrno(err) : 0;
    }
  }
  if (connected) {
    if ((st.Mask & FD_WRITE) && st.WriteArmed && (revents & POLLOUT)) {
      ev |= FD_WRITE;
      if (!dry) st.WriteArmed = false;
    }
    if (revents & (POLLIN | POLLRDHUP | POLLHUP | POLLERR)) {
      int avail = BytesAvailable(fd);
      if (avail > 0) {
        if ((st.Mask & FD_READ) && st.ReadArmed) {
          ev |= FD_READ;
          if (!dry) st.ReadArmed = false;
        }
        if ((revents & POLLRDHUP) && (st.Mask & FD_PEER_SHUTDOWN) && !st.ShutdownReported && !st.CloseReported) {
          ev |= FD_PEER_SHUTDOWN;
          if (!dry) st.ShutdownReported = true;
        }
      } else if ((revents & (POLLRDHUP | POLLHUP | POLLERR)) && (st.Mask & FD_CLOSE) && !st.CloseReported) {
        // Only once the data is gone, so a reader never loses what came before the close.
        ev |= FD_CLOSE;
        if (!dry) {
          int err = PendingSocketError(fd);
          rec->ErrorCode[FD_CLOSE_BIT] = err ? SocketErrorFromErrno(err) : 0;
          st.CloseReported = true;
        }
      }
    }
  }
  if (st.Listening && (st.Mask & FD_ACCEPT) && st.AcceptArmed && (revents & POLLIN)) {
    ev |= FD_ACCEPT;
    if (!dry) st.AcceptArmed = false;
  }
  return ev;
}

short PollOnce(int fd, short events) {
  pollfd p{fd, events, 0};
  if (::poll(&p, 1, 0) <= 0) return 0;
  return p.revents;
}

// --- the bound functions ---------------------------------------------------------------------

TSocketEvent* SysCreateEvent() {
  auto* ev = new (std::nothrow) TSocketEvent();
  if (!ev) {
    Fail(WSA_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  if (TSocketEventAccess::IdleFd(*ev) < 0) {
    int err = errno;
    delete ev;
    Fail(SocketErrorFromErrno(err));
    return nullptr;
  }
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
  std::lock_guard<std::mutex> lock(gMutex);
  auto it = States().find(Fd(s));
  if (it == States().end()) return Fail(WSAENOTSOCK);
  if (mask != 0 && !event) return Fail(WSAEINVAL);
  int flags = ::fcntl(Fd(s), F_GETFL);
  if (flags < 0 || ::fcntl(Fd(s), F_SETFL, flags | O_NONBLOCK) != 0) return FailErrno();
  TSocketState& st = it->second;
  if (st.Event && st.Event != event && SocketOfEvent(st.Event) == s) SocketOfEvent(st.Event) = INVALID_SOCKET;
  st.Event = mask ? event : nullptr;
  st.Mask = mask;
  if (event) SocketOfEvent(event) = mask ? s : INVALID_SOCKET;
  return 0;
}

int SysEnumNetworkEvents(TSocket s, TSocketEvent*, TNetworkEvents* record) {
  if (!record) return Fail(WSAEFAULT);
  *record = TNetworkEvents();
  std::lock_guard<std::mutex> lock(gMutex);
  auto it = States().find(Fd(s));
  if (it == States().end()) return Fail(WSAENOTSOCK);
  TSocketState& st = it->second;
  short interest = Interest(st);
  if (interest == 0) return 0;
  short revents = PollOnce(Fd(s), interest);
  if (revents != 0) record->NetworkEvents = Evaluate(Fd(s), st, revents, record);
  return 0;
}

int SysConnect(TSocket s, const TSocketAddress& address) {
  sockaddr_storage ss;
  socklen_t len;
  if (!bsd::ToNative(address, ss, len)) return Fail(WSAEAFNOSUPPORT);
  int r = ::connect(Fd(s), reinterpret_cast<sockaddr*>(&ss), len);
  int err = r == 0 ? 0 : errno;
  std::lock_guard<std::mutex> lock(gMutex);
  auto it = States().find(Fd(s));
  if (r == 0) {
    if (it != States().end()) {
      it->second.Connected = true;
      it->second.WriteArmed = true;
    }
    return 0;
  }
  if (err == EINPROGRESS || err == EAGAIN) {
    if (it != States().end()) it->second.Connecting = true;
    return Fail(WSAEWOULDBLOCK);
  }
  return Fail(SocketErrorFromErrno(err));
}

int SysGetSockName(TSocket s, TSocketAddress* address) {
  if (!address) return Fail(WSAEFAULT);
  sockaddr_storage ss{};
  socklen_t len = sizeof ss;
  if (::getsockname(Fd(s), reinterpret_cast<sockaddr*>(&ss), &len) != 0) return FailErrno();
  if (!bsd::FromNative(reinterpret_cast<sockaddr*>(&ss), len, *address)) return Fail(WSAEAFNOSUPPORT);
  return 0;
}

int SysBind(TSocket s, const TSocketAddress& address) {
  sockaddr_storage ss;
  socklen_t len;
  if (!bsd::ToNative(address, ss, len)) return Fail(WSAEAFNOSUPPORT);
  if (::bind(Fd(s), reinterpret_cast<sockaddr*>(&ss), len) != 0) return FailErrno();
  return 0;
}

TSocket SysAccept(TSocket s, TSocketAddress* peer) {
  sockaddr_storage ss{};
  socklen_t len = sizeof ss;
  int fd = ::accept4(Fd(s), reinterpret_cast<sockaddr*>(&ss), &len, SOCK_CLOEXEC);
  int err = errno;
  std::lock_guard<std::mutex> lock(gMutex);
  auto it = States().find(Fd(s));
  if (it != States().end()) it->second.AcceptArmed = true;
  if (fd < 0) {
    Fail(SocketErrorFromErrno(err));
    return INVALID_SOCKET;
  }
  TSocketState st;
  st.Connected = true;
  st.WriteArmed = true;
  States()[fd] = st;
  // Like Winsock, the accepted socket inherits the listener's non-blocking mode.
  int flags = ::fcntl(Fd(s), F_GETFL);
  if (flags >= 0 && (flags & O_NONBLOCK)) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  if (peer) bsd::FromNative(reinterpret_cast<sockaddr*>(&ss), len, *peer);
  return SocketOf(fd);
}

int SysRecvFrom(TSocket s, void* buffer, int length, TSocketAddress* from) {
  sockaddr_storage ss{};
  socklen_t len = sizeof ss;
  ssize_t n = ::recvfrom(Fd(s), buffer, length < 0 ? 0 : static_cast<size_t>(length), 0,
                         reinterpret_cast<sockaddr*>(&ss), &len);
  int err = errno;
  {
    std::lock_guard<std::mutex> lock(gMutex);
    auto it = States().find(Fd(s));
    if (it != States().end()) it->second.ReadArmed = true;
  }
  if (n < 0) return Fail(SocketErrorFromErrno(err));
  if (from) bsd::FromNative(reinterpret_cast<sockaddr*>(&ss), len, *from);
  return static_cast<int>(n);
}

// A send that would block re-arms the write event.
int SentOrFailed(TSocket s, ssize_t n) {
  if (n >= 0) return static_cast<int>(n);
  int err = errno;
  if (err == EAGAIN || err == EWOULDBLOCK) {
    std::lock_guard<std::mutex> lock(gMutex);
    auto it = States().find(Fd(s));
    if (it != States().end()) it->second.WriteArmed = true;
  }
  return Fail(SocketErrorFromErrno(err));
}

int SysSendTo(TSocket s, const void* buffer, int length, const TSocketAddress& to) {
  sockaddr_storage ss;
  socklen_t len;
  if (!bsd::ToNative(to, ss, len)) return Fail(WSAEAFNOSUPPORT);
  ssize_t n = ::sendto(Fd(s), buffer, length < 0 ? 0 : static_cast<size_t>(length), MSG_NOSIGNAL,
                       reinterpret_cast<sockaddr*>(&ss), len);
  return SentOrFailed(s, n);
}

void SysFreeAddrInfo(TAddressInfo* list) { bsd::FreeAddressList(list); }

int SysGetAddrInfo(const char* node, const char* service, const TAddressInfo* hints, TAddressInfo** result) {
  if (result) *result = nullptr;
  addrinfo native{};
  if (hints && !bsd::HintsToNative(*hints, native)) return WSAEAFNOSUPPORT;
  addrinfo* list = nullptr;
  errno = 0;
  int r = ::getaddrinfo(node, service, hints ? &native : nullptr, &list);
  if (r != 0) return SocketErrorFromAddrInfo(r, errno);
  return bsd::AddressListFromNative(list, result);
}

int SysRecv(TSocket s, void* buffer, int length) {
  ssize_t n = ::recv(Fd(s), buffer, length < 0 ? 0 : static_cast<size_t>(length), 0);
  int err = errno;
  {
    std::lock_guard<std::mutex> lock(gMutex);
    auto it = States().find(Fd(s));
    if (it != States().end()) it->second.ReadArmed = true;
  }
  if (n < 0) return Fail(SocketErrorFromErrno(err));
  return static_cast<int>(n);
}

const TSocketFunctions kSystem = {
    SysCreateEvent, SysCloseEvent, SysEventSelect, SysEnumNetworkEvents, SysConnect,     SysGetSockName,
    SysBind,        SysAccept,     SysRecv,        SysRecvFrom,    SysSendTo,            SysGetAddrInfo, SysFreeAddrInfo,
};

}  // namespace

const TSocketFunctions& SystemSocketFunctions() { return kSystem; }

int WsaStartup(uint16_t version) {
  if ((version & 0xFF) < 2) {
    Fail(WSAVERNOTSUPPORTED);
    return WSAVERNOTSUPPORTED;
  }
  gStartupCount.fetch_add(1);
  return 0;
}

int WsaCleanup() {
  int n = gStartupCount.load();
  while (n > 0 && !gStartupCount.compare_exchange_weak(n, n - 1)) {
  }
  if (n <= 0) return Fail(WSANOTINITIALISED);
  return 0;
}

int WsaStartupCount() { return gStartupCount.load(); }

TSocket Socket(int family, int type, int protocol) {
  int native = bsd::NativeFamily(family);
  if (native < 0 || native == AF_UNSPEC) {
    Fail(WSAEAFNOSUPPORT);
    return INVALID_SOCKET;
  }
  int nativeType = type == WSA_SOCK_STREAM ? SOCK_STREAM : type == WSA_SOCK_DGRAM ? SOCK_DGRAM : type;
  int fd = ::socket(native, nativeType | SOCK_CLOEXEC, protocol);
  if (fd < 0) {
    FailErrno();
    return INVALID_SOCKET;
  }
  std::lock_guard<std::mutex> lock(gMutex);
  States()[fd] = TSocketState();
  return SocketOf(fd);
}

int CloseSocket(TSocket s) {
  {
    std::lock_guard<std::mutex> lock(gMutex);
    auto it = States().find(Fd(s));
    if (it != States().end()) {
      if (it->second.Event && SocketOfEvent(it->second.Event) == s) SocketOfEvent(it->second.Event) = INVALID_SOCKET;
      States().erase(it);
    }
  }
  if (::close(Fd(s)) != 0) return FailErrno();
  return 0;
}

int Listen(TSocket s, int backlog) {
  if (::listen(Fd(s), backlog) != 0) return FailErrno();
  std::lock_guard<std::mutex> lock(gMutex);
  auto it = States().find(Fd(s));
  if (it != States().end()) it->second.Listening = true;
  return 0;
}


int Send(TSocket s, const void* buffer, int length) {
  return SentOrFailed(s, ::send(Fd(s), buffer, length < 0 ? 0 : static_cast<size_t>(length), MSG_NOSIGNAL));
}

int Shutdown(TSocket s, int how) {
  int native = how == 0 ? SHUT_RD : how == 1 ? SHUT_WR : SHUT_RDWR;
  if (::shutdown(Fd(s), native) != 0) return FailErrno();
  return 0;
}

int SetSockOpt(TSocket s, int level, int name, const void* value, int length) {
  if (length < 0) return Fail(WSAEFAULT);
  if (level == WSA_SOL_SOCKET) {
    level = SOL_SOCKET;
    switch (name) {
      case WSA_SO_BROADCAST: name = SO_BROADCAST; break;
      case WSA_SO_REUSEADDR: name = SO_REUSEADDR; break;
      case WSA_SO_KEEPALIVE: name = SO_KEEPALIVE; break;
      case WSA_SO_SNDBUF: name = SO_SNDBUF; break;
      case WSA_SO_RCVBUF: name = SO_RCVBUF; break;
      case WSA_SO_SNDTIMEO:
      case WSA_SO_RCVTIMEO: {
        // Winsock's milliseconds as the timeval of the socket's own options.
        uint32_t ms = 0;
        if (!value || length < int(sizeof ms)) return Fail(WSAEFAULT);
        std::memcpy(&ms, value, sizeof ms);
        timeval tv{static_cast<time_t>(ms / 1000), static_cast<suseconds_t>(ms % 1000) * 1000};
        if (::setsockopt(Fd(s), SOL_SOCKET, name == WSA_SO_SNDTIMEO ? SO_SNDTIMEO : SO_RCVTIMEO, &tv, sizeof tv) != 0)
          return FailErrno();
        return 0;
      }
      default: return Fail(WSAENOPROTOOPT);
    }
  }
  if (::setsockopt(Fd(s), level, name, value, static_cast<socklen_t>(length)) != 0) return FailErrno();
  return 0;
}

int IoctlSocket(TSocket s, unsigned long command, unsigned long* argument) {
  if (!argument) return Fail(WSAEFAULT);
  if (command == WSA_FIONREAD) {
    int n = 0;
    if (::ioctl(Fd(s), FIONREAD, &n) != 0) return FailErrno();
    *argument = static_cast<unsigned long>(n < 0 ? 0 : n);
    return 0;
  }
  if (command == WSA_FIONBIO) {
    int flags = ::fcntl(Fd(s), F_GETFL);
    if (flags < 0) return FailErrno();
    flags = *argument ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    if (::fcntl(Fd(s), F_SETFL, flags) != 0) return FailErrno();
    return 0;
  }
  return Fail(WSAEINVAL);
}

bool InetAddr(const char* text, uint8_t (&address)[4]) {
  if (!text) return false;
  in_addr_t a = ::inet_addr(text);
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
  if ((PollOnce(Fd(s), POLLRDHUP) & (POLLRDHUP | POLLHUP)) == 0) return false;
  return BytesAvailable(Fd(s)) > 0;
}

// --- the tracker's event -------------------------------------------------------------------------

TSocketEvent::TSocketEvent() { FIdleFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK); }

TSocketEvent::~TSocketEvent() {
  {
    std::lock_guard<std::mutex> lock(gMutex);
    if (FSocket != INVALID_SOCKET) {
      auto it = States().find(Fd(FSocket));
      if (it != States().end() && it->second.Event == this) {
        it->second.Event = nullptr;
        it->second.Mask = 0;
      }
    }
  }
  if (FIdleFd >= 0) ::close(FIdleFd);
}

void TSocketEvent::WaitDescriptor(int& fd, short& events) const {
  fd = FIdleFd;
  events = POLLIN;
  std::lock_guard<std::mutex> lock(gMutex);
  if (FSocket == INVALID_SOCKET) return;
  auto it = States().find(Fd(FSocket));
  if (it == States().end() || it->second.Event != this) return;
  short interest = Interest(it->second);
  if (interest == 0) return;
  short revents = PollOnce(Fd(FSocket), interest);
  // A condition that stays true (unread bytes, an error, the end) and was reported already would
  // make poll answer at once: the wait is for the other conditions, which can still change (unread
  // bytes must not keep a blocked write from seeing the socket drain). Hang-up and error are
  // answered whatever is asked; with them nothing is left to wait for.
  if (revents != 0 && Evaluate(Fd(FSocket), it->second, revents, nullptr) == 0) {
    interest &= short(~revents);
    if (interest == 0 || (revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) return;
  }
  fd = Fd(FSocket);
  events = interest;
}

}  // namespace platform

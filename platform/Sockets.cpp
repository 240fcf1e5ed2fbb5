#include "platform/Sockets.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <unordered_map>

#include "platform/LastError.h"

namespace platform {

namespace {

int SysBytesAvailable(int fd, int* count) { return ::ioctl(fd, FIONREAD, count); }
int SysPoll(pollfd* fds, nfds_t n, int timeoutMs) { return ::poll(fds, n, timeoutMs); }
int SysAccept(int fd, sockaddr* a, socklen_t* l) { return ::accept4(fd, a, l, SOCK_CLOEXEC); }

const TSocketFunctions kSystem = {
    ::socket,      ::connect,     ::bind,       ::listen,     SysAccept,
    ::recv,        ::send,        ::recvfrom,   ::sendto,     ::shutdown,
    ::close,       ::getsockname, ::getsockopt, ::setsockopt, SysBytesAvailable,
    SysPoll,       ::getaddrinfo, ::freeaddrinfo,
};
TSocketFunctions gTable = kSystem;
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

int PendingSocketError(int fd) {
  int err = 0;
  socklen_t len = sizeof(err);
  if (gTable.getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return errno;
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
      int avail = 0;
      if (gTable.bytesAvailable(fd, &avail) != 0) avail = 0;
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
  if (gTable.poll(&p, 1, 0) <= 0) return 0;
  return p.revents;
}

struct TMessageEntry {
  int Code;
  const char* Text;
};
const TMessageEntry kMessages[] = {
    {WSA_NOT_ENOUGH_MEMORY, "Not enough memory resources are available to process this command."},
    {WSAEINTR, "A blocking operation was interrupted by a call to WSACancelBlockingCall."},
    {WSAEBADF, "The file handle supplied is not valid."},
    {WSAEACCES, "An attempt was made to access a socket in a way forbidden by its access permissions."},
    {WSAEFAULT, "The system detected an invalid pointer address in attempting to use a pointer argument in a call."},
    {WSAEINVAL, "An invalid argument was supplied."},
    {WSAEMFILE, "Too many open sockets."},
    {WSAEWOULDBLOCK, "A non-blocking socket operation could not be completed immediately."},
    {WSAEINPROGRESS, "A blocking operation is currently executing."},
    {WSAEALREADY, "An operation was attempted on a non-blocking socket that already had an operation in progress."},
    {WSAENOTSOCK, "An operation was attempted on something that is not a socket."},
    {WSAEDESTADDRREQ, "A required address was omitted from an operation on a socket."},
    {WSAEMSGSIZE,
     "A message sent on a datagram socket was larger than the internal message buffer or some other network "
     "limit, or the buffer used to receive a datagram into was smaller than the datagram itself."},
    {WSAEPROTOTYPE,
     "A protocol was specified in the socket function call that does not support the semantics of the socket "
     "type requested."},
    {WSAENOPROTOOPT,
     "An unknown, invalid, or unsupported option or level was specified in a getsockopt or setsockopt call."},
    {WSAEPROTONOSUPPORT,
     "The requested protocol has not been configured into the system, or no implementation for it exists."},
    {WSAESOCKTNOSUPPORT, "The support for the specified socket type does not exist in this address family."},
    {WSAEOPNOTSUPP, "The attempted operation is not supported for the type of object referenced."},
    {WSAEPFNOSUPPORT,
     "The protocol family has not been configured into the system or no implementation for it exists."},
    {WSAEAFNOSUPPORT, "An address incompatible with the requested protocol was used."},
    {WSAEADDRINUSE, "Only one usage of each socket address (protocol/network address/port) is normally permitted."},
    {WSAEADDRNOTAVAIL, "The requested address is not valid in its context."},
    {WSAENETDOWN, "A socket operation encountered a dead network."},
    {WSAENETUNREACH, "A socket operation was attempted to an unreachable network."},
    {WSAENETRESET,
     "The connection has been broken due to keep-alive activity detecting a failure while the operation was in "
     "progress."},
    {WSAECONNABORTED, "An established connection was aborted by the software in your host machine."},
    {WSAECONNRESET, "An existing connection was forcibly closed by the remote host."},
    {WSAENOBUFS,
     "An operation on a socket could not be performed because the system lacked sufficient buffer space or "
     "because a queue was full."},
    {WSAEISCONN, "A connect request was made on an already connected socket."},
    {WSAENOTCONN,
     "A request to send or receive data was disallowed because the socket is not connected and (when sending on "
     "a datagram socket using a sendto call) no address was supplied."},
    {WSAESHUTDOWN,
     "A request to send or receive data was disallowed because the socket had already been shut down in that "
     "direction with a previous shutdown call."},
    {WSAETOOMANYREFS, "Too many references to some kernel object."},
    {WSAETIMEDOUT,
     "A connection attempt failed because the connected party did not properly respond after a period of time, "
     "or established connection failed because connected host has failed to respond."},
    {WSAECONNREFUSED, "No connection could be made because the target machine actively refused it."},
    {WSAELOOP, "Cannot translate name."},
    {WSAENAMETOOLONG, "Name component or name was too long."},
    {WSAEHOSTDOWN, "A socket operation failed because the destination host was down."},
    {WSAEHOSTUNREACH, "A socket operation was attempted to an unreachable host."},
    {WSANOTINITIALISED, "Either the application has not called WSAStartup, or WSAStartup failed."},
    {WSATYPE_NOT_FOUND, "The specified class was not found."},
    {WSAHOST_NOT_FOUND, "No such host is known."},
    {WSATRY_AGAIN,
     "This is usually a temporary error during hostname resolution and means that the local server did not "
     "receive a response from an authoritative server."},
    {WSANO_RECOVERY, "A non-recoverable error occurred during a database lookup."},
    {WSANO_DATA, "The requested name is valid, but no data of the requested type was found."},
};

}  // namespace

int NativeAddressFamily(int wsaFamily) {
  switch (wsaFamily) {
    case WSA_AF_UNSPEC: return AF_UNSPEC;
    case WSA_AF_INET: return AF_INET;
    case WSA_AF_INET6: return AF_INET6;
    default: return -1;
  }
}

int WsaAddressFamily(int nativeFamily) {
  switch (nativeFamily) {
    case AF_INET: return WSA_AF_INET;
    case AF_INET6: return WSA_AF_INET6;
    default: return 0;
  }
}

const TSocketFunctions& SystemSocketFunctions() { return kSystem; }
const TSocketFunctions& SocketFunctions() { return gTable; }
TSocketFunctions ReplaceSocketFunctions(const TSocketFunctions& table) {
  TSocketFunctions old = gTable;
  gTable = table;
  return old;
}

int SocketErrorFromErrno(int errnum) {
  switch (errnum) {
    case 0: return 0;
    case EINTR: return WSAEINTR;
    case EBADF: case ENOTSOCK: return WSAENOTSOCK;
    case EACCES: case EPERM: return WSAEACCES;
    case EFAULT: return WSAEFAULT;
    case EINVAL: return WSAEINVAL;
    case EMFILE: case ENFILE: return WSAEMFILE;
    case EAGAIN: case EINPROGRESS: return WSAEWOULDBLOCK;
    case EALREADY: return WSAEALREADY;
    case EDESTADDRREQ: return WSAEDESTADDRREQ;
    case EMSGSIZE: return WSAEMSGSIZE;
    case EPROTOTYPE: return WSAEPROTOTYPE;
    case ENOPROTOOPT: return WSAENOPROTOOPT;
    case EPROTONOSUPPORT: return WSAEPROTONOSUPPORT;
    case ESOCKTNOSUPPORT: return WSAESOCKTNOSUPPORT;
    case EOPNOTSUPP: return WSAEOPNOTSUPP;
    case EPFNOSUPPORT: return WSAEPFNOSUPPORT;
    case EAFNOSUPPORT: return WSAEAFNOSUPPORT;
    case EADDRINUSE: return WSAEADDRINUSE;
    case EADDRNOTAVAIL: return WSAEADDRNOTAVAIL;
    case ENETDOWN: return WSAENETDOWN;
    case ENETUNREACH: return WSAENETUNREACH;
    case ENETRESET: return WSAENETRESET;
    case ECONNABORTED: case EPIPE: return WSAECONNABORTED;
    case ECONNRESET: return WSAECONNRESET;
    case ENOBUFS: case ENOMEM: return WSAENOBUFS;
    case EISCONN: return WSAEISCONN;
    case ENOTCONN: return WSAENOTCONN;
    case ESHUTDOWN: return WSAESHUTDOWN;
    case ETOOMANYREFS: return WSAETOOMANYREFS;
    case ETIMEDOUT: return WSAETIMEDOUT;
    case ECONNREFUSED: return WSAECONNREFUSED;
    case ELOOP: return WSAELOOP;
    case ENAMETOOLONG: return WSAENAMETOOLONG;
    case EHOSTDOWN: return WSAEHOSTDOWN;
    case EHOSTUNREACH: return WSAEHOSTUNREACH;
    default: return static_cast<int>(WindowsErrorFromErrno(errnum));
  }
}

int SocketErrorFromAddrInfo(int eai, int errnum) {
  switch (eai) {
    case 0: return 0;
    case EAI_NONAME: return WSAHOST_NOT_FOUND;
    case EAI_AGAIN: return WSATRY_AGAIN;
    case EAI_FAIL: return WSANO_RECOVERY;
#ifdef EAI_NODATA
    case EAI_NODATA: return WSANO_DATA;
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY: return WSANO_DATA;
#endif
    case EAI_FAMILY: return WSAEAFNOSUPPORT;
    case EAI_SOCKTYPE: return WSAESOCKTNOSUPPORT;
    case EAI_SERVICE: return WSATYPE_NOT_FOUND;
    case EAI_MEMORY: return WSA_NOT_ENOUGH_MEMORY;
    case EAI_BADFLAGS: return WSAEINVAL;
    case EAI_SYSTEM: return errnum ? SocketErrorFromErrno(errnum) : WSANO_RECOVERY;
    default: return WSANO_RECOVERY;
  }
}

rtl::String SocketErrorMessage(int code) {
  for (const auto& m : kMessages)
    if (m.Code == code) return rtl::S(m.Text);
  return WindowsErrorMessage(static_cast<uint32_t>(code));
}

int WsaGetLastError() { return static_cast<int>(GetLastErrorValue()); }
void WsaSetLastError(int code) { SetLastErrorValue(static_cast<uint32_t>(code)); }

int WsaStartup(uint16_t version) {
  if ((version & 0xFF) < 2) {
    Fail(10092);  // WSAVERNOTSUPPORTED
    return 10092;
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

TSocket Socket(int wsaFamily, int type, int protocol) {
  int family = NativeAddressFamily(wsaFamily);
  if (family < 0 || family == AF_UNSPEC) return Fail(WSAEAFNOSUPPORT);
  int fd = gTable.socket(family, type | SOCK_CLOEXEC, protocol);
  if (fd < 0) return FailErrno();
  std::lock_guard<std::mutex> lock(gMutex);
  States()[fd] = TSocketState();
  return fd;
}

int CloseSocket(TSocket s) {
  {
    std::lock_guard<std::mutex> lock(gMutex);
    auto it = States().find(s);
    if (it != States().end()) {
      if (it->second.Event && it->second.Event->FSocket == s) it->second.Event->FSocket = INVALID_SOCKET;
      States().erase(it);
    }
  }
  if (gTable.close(s) != 0) return FailErrno();
  return 0;
}

int Connect(TSocket s, const sockaddr* addr, socklen_t len) {
  int r = gTable.connect(s, addr, len);
  int err = r == 0 ? 0 : errno;
  std::lock_guard<std::mutex> lock(gMutex);
  auto it = States().find(s);
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

int Bind(TSocket s, const sockaddr* addr, socklen_t len) {
  if (gTable.bind(s, addr, len) != 0) return FailErrno();
  return 0;
}

int Listen(TSocket s, int backlog) {
  if (gTable.listen(s, backlog) != 0) return FailErrno();
  std::lock_guard<std::mutex> lock(gMutex);
  auto it = States().find(s);
  if (it != States().end()) it->second.Listening = true;
  return 0;
}

TSocket Accept(TSocket s, sockaddr* addr, socklen_t* len) {
  int fd = gTable.accept(s, addr, len);
  int err = errno;
  std::lock_guard<std::mutex> lock(gMutex);
  auto it = States().find(s);
  if (it != States().end()) it->second.AcceptArmed = true;
  if (fd < 0) return Fail(SocketErrorFromErrno(err));
  TSocketState st;
  st.Connected = true;
  st.WriteArmed = true;
  States()[fd] = st;
  // Like Winsock, the accepted socket inherits the listener's non-blocking mode.
  int flags = ::fcntl(s, F_GETFL);
  if (flags >= 0 && (flags & O_NONBLOCK)) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  return fd;
}

int Recv(TSocket s, void* buf, int len) {
  ssize_t n = gTable.recv(s, buf, len < 0 ? 0 : static_cast<size_t>(len), 0);
  int err = errno;
  {
    std::lock_guard<std::mutex> lock(gMutex);
    auto it = States().find(s);
    if (it != States().end()) it->second.ReadArmed = true;
  }
  if (n < 0) return Fail(SocketErrorFromErrno(err));
  return static_cast<int>(n);
}

int Send(TSocket s, const void* buf, int len) {
  ssize_t n = gTable.send(s, buf, len < 0 ? 0 : static_cast<size_t>(len), MSG_NOSIGNAL);
  if (n >= 0) return static_cast<int>(n);
  int err = errno;
  if (err == EAGAIN || err == EWOULDBLOCK) {
    std::lock_guard<std::mutex> lock(gMutex);
    auto it = States().find(s);
    if (it != States().end()) it->second.WriteArmed = true;
  }
  return Fail(SocketErrorFromErrno(err));
}

int RecvFrom(TSocket s, void* buf, int len, sockaddr* from, socklen_t* fromLen) {
  ssize_t n = gTable.recvfrom(s, buf, len < 0 ? 0 : static_cast<size_t>(len), 0, from, fromLen);
  int err = errno;
  {
    std::lock_guard<std::mutex> lock(gMutex);
    auto it = States().find(s);
    if (it != States().end()) it->second.ReadArmed = true;
  }
  if (n < 0) return Fail(SocketErrorFromErrno(err));
  return static_cast<int>(n);
}

int SendTo(TSocket s, const void* buf, int len, const sockaddr* to, socklen_t toLen) {
  ssize_t n = gTable.sendto(s, buf, len < 0 ? 0 : static_cast<size_t>(len), MSG_NOSIGNAL, to, toLen);
  if (n >= 0) return static_cast<int>(n);
  int err = errno;
  if (err == EAGAIN || err == EWOULDBLOCK) {
    std::lock_guard<std::mutex> lock(gMutex);
    auto it = States().find(s);
    if (it != States().end()) it->second.WriteArmed = true;
  }
  return Fail(SocketErrorFromErrno(err));
}

int Shutdown(TSocket s, int how) {
  int native = how == 0 ? SHUT_RD : how == 1 ? SHUT_WR : SHUT_RDWR;
  if (gTable.shutdown(s, native) != 0) return FailErrno();
  return 0;
}

int GetSockName(TSocket s, sockaddr* addr, socklen_t* len) {
  if (gTable.getsockname(s, addr, len) != 0) return FailErrno();
  return 0;
}

int SetSockOpt(TSocket s, int level, int name, const void* value, socklen_t len) {
  if (level == WSA_SOL_SOCKET) {
    level = SOL_SOCKET;
    switch (name) {
      case WSA_SO_BROADCAST: name = SO_BROADCAST; break;
      case 0x0004: name = SO_REUSEADDR; break;
      case 0x0008: name = SO_KEEPALIVE; break;
      case 0x1001: name = SO_SNDBUF; break;
      case 0x1002: name = SO_RCVBUF; break;
      default: return Fail(WSAENOPROTOOPT);
    }
  }
  if (gTable.setsockopt(s, level, name, value, len) != 0) return FailErrno();
  return 0;
}

int IoctlSocket(TSocket s, unsigned long cmd, unsigned long* arg) {
  if (!arg) return Fail(WSAEFAULT);
  if (cmd == WSA_FIONREAD) {
    int n = 0;
    if (gTable.bytesAvailable(s, &n) != 0) return FailErrno();
    *arg = static_cast<unsigned long>(n < 0 ? 0 : n);
    return 0;
  }
  if (cmd == WSA_FIONBIO) {
    int flags = ::fcntl(s, F_GETFL);
    if (flags < 0) return FailErrno();
    flags = *arg ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    if (::fcntl(s, F_SETFL, flags) != 0) return FailErrno();
    return 0;
  }
  return Fail(WSAEINVAL);
}

int GetAddrInfo(const char* node, const char* service, const addrinfo* hints, addrinfo** res) {
  if (res) *res = nullptr;
  if (!gTable.getaddrinfo) return WSANO_RECOVERY;
  errno = 0;
  int r = gTable.getaddrinfo(node, service, hints, res);
  if (r == 0) return 0;
  int code = SocketErrorFromAddrInfo(r, errno);
  SetLastErrorValue(static_cast<uint32_t>(code));
  return code;
}

void FreeAddrInfo(addrinfo* res) {
  if (res && gTable.freeaddrinfo) gTable.freeaddrinfo(res);
}

// --- readiness tracker ---------------------------------------------------------------------------

TSocketEvent::TSocketEvent() { FIdleFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK); }

TSocketEvent::~TSocketEvent() {
  {
    std::lock_guard<std::mutex> lock(gMutex);
    if (FSocket != INVALID_SOCKET) {
      auto it = States().find(FSocket);
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
  auto it = States().find(FSocket);
  if (it == States().end() || it->second.Event != this) return;
  short interest = Interest(it->second);
  if (interest == 0) return;
  short revents = PollOnce(FSocket, interest);
  // A condition that stays true (unread bytes, an error, the end) and was reported already would
  // make poll answer at once: the wait is for the other conditions, which can still change (unread
  // bytes must not keep a blocked write from seeing the socket drain). Hang-up and error are
  // answered whatever is asked; with them nothing is left to wait for.
  if (revents != 0 && Evaluate(FSocket, it->second, revents, nullptr) == 0) {
    interest &= short(~revents);
    if (interest == 0 || (revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) return;
  }
  fd = FSocket;
  events = interest;
}

TSocketEvent* WsaCreateEvent() {
  auto* ev = new TSocketEvent();
  if (ev->FIdleFd < 0) {
    int err = errno;
    delete ev;
    Fail(SocketErrorFromErrno(err));
    return nullptr;
  }
  return ev;
}

bool WsaCloseEvent(TSocketEvent* event) {
  if (!event) {
    Fail(6);  // ERROR_INVALID_HANDLE
    return false;
  }
  delete event;
  return true;
}

int WsaEventSelect(TSocket s, TSocketEvent* event, long mask) {
  std::lock_guard<std::mutex> lock(gMutex);
  auto it = States().find(s);
  if (it == States().end()) return Fail(WSAENOTSOCK);
  if (mask != 0 && !event) return Fail(WSAEINVAL);
  int flags = ::fcntl(s, F_GETFL);
  if (flags < 0 || ::fcntl(s, F_SETFL, flags | O_NONBLOCK) != 0) return FailErrno();
  TSocketState& st = it->second;
  if (st.Event && st.Event != event && st.Event->FSocket == s) st.Event->FSocket = INVALID_SOCKET;
  st.Event = mask ? event : nullptr;
  st.Mask = mask;
  if (event) event->FSocket = mask ? s : INVALID_SOCKET;
  return 0;
}

int WsaEnumNetworkEvents(TSocket s, TSocketEvent* event, TNetworkEvents* record) {
  if (!record) return Fail(WSAEFAULT);
  *record = TNetworkEvents();
  std::lock_guard<std::mutex> lock(gMutex);
  auto it = States().find(s);
  if (it == States().end()) return Fail(WSAENOTSOCK);
  TSocketState& st = it->second;
  short interest = Interest(st);
  if (interest == 0) return 0;
  short revents = PollOnce(s, interest);
  if (revents != 0) record->NetworkEvents = Evaluate(s, st, revents, record);
  return 0;
}

bool PeerShutDownBehindUnreadBytes(TSocket s) {
  if ((PollOnce(s, POLLRDHUP) & (POLLRDHUP | POLLHUP)) == 0) return false;
  int avail = 0;
  return gTable.bytesAvailable(s, &avail) == 0 && avail > 0;
}

}  // namespace platform

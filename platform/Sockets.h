// Windows Sockets on Linux: non-blocking BSD sockets, error codes in Winsock numbering with the
// Windows texts, and a readiness tracker that keeps the network-event record the way Winsock's
// event selection does (see docs/transport.md for the rules).
//
// Every call that can fail sets the thread's last-error value (platform::GetLastErrorValue) to a
// Winsock code, so callers read it the way they would read WSAGetLastError.
#pragma once

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <cstdint>

#include "rtl/SysUtils.h"

namespace platform {

using TSocket = int;
constexpr TSocket INVALID_SOCKET = -1;
constexpr int SOCKET_ERROR = -1;

// Winsock error numbers.
enum : int {
  WSA_NOT_ENOUGH_MEMORY = 8,
  WSAEINTR = 10004,
  WSAEBADF = 10009,
  WSAEACCES = 10013,
  WSAEFAULT = 10014,
  WSAEINVAL = 10022,
  WSAEMFILE = 10024,
  WSAEWOULDBLOCK = 10035,
  WSAEINPROGRESS = 10036,
  WSAEALREADY = 10037,
  WSAENOTSOCK = 10038,
  WSAEDESTADDRREQ = 10039,
  WSAEMSGSIZE = 10040,
  WSAEPROTOTYPE = 10041,
  WSAENOPROTOOPT = 10042,
  WSAEPROTONOSUPPORT = 10043,
  WSAESOCKTNOSUPPORT = 10044,
  WSAEOPNOTSUPP = 10045,
  WSAEPFNOSUPPORT = 10046,
  WSAEAFNOSUPPORT = 10047,
  WSAEADDRINUSE = 10048,
  WSAEADDRNOTAVAIL = 10049,
  WSAENETDOWN = 10050,
  WSAENETUNREACH = 10051,
  WSAENETRESET = 10052,
  WSAECONNABORTED = 10053,
  WSAECONNRESET = 10054,
  WSAENOBUFS = 10055,
  WSAEISCONN = 10056,
  WSAENOTCONN = 10057,
  WSAESHUTDOWN = 10058,
  WSAETOOMANYREFS = 10059,
  WSAETIMEDOUT = 10060,
  WSAECONNREFUSED = 10061,
  WSAELOOP = 10062,
  WSAENAMETOOLONG = 10063,
  WSAEHOSTDOWN = 10064,
  WSAEHOSTUNREACH = 10065,
  WSANOTINITIALISED = 10093,
  WSATYPE_NOT_FOUND = 10109,
  WSAHOST_NOT_FOUND = 11001,
  WSATRY_AGAIN = 11002,
  WSANO_RECOVERY = 11003,
  WSANO_DATA = 11004,
};

// Address families as the design numbers them (IPv6 is 23 there, 10 on Linux).
constexpr int WSA_AF_UNSPEC = 0, WSA_AF_INET = 2, WSA_AF_INET6 = 23;
int NativeAddressFamily(int wsaFamily);  // -1 for an unknown family
int WsaAddressFamily(int nativeFamily);  // 0 for an unknown family

// Network events and the index of each one's error code in the record.
enum : long { FD_READ = 0x01, FD_WRITE = 0x02, FD_OOB = 0x04, FD_ACCEPT = 0x08, FD_CONNECT = 0x10, FD_CLOSE = 0x20 };
enum : int { FD_READ_BIT = 0, FD_WRITE_BIT = 1, FD_OOB_BIT = 2, FD_ACCEPT_BIT = 3, FD_CONNECT_BIT = 4,
             FD_CLOSE_BIT = 5, FD_MAX_EVENTS = 10 };
// Ours, beyond Winsock: the peer has ended its sending side while received bytes still wait
// unread (FD_CLOSE comes only after them). Reported once, with no error code of its own; a writer
// whose peer neither reads nor will ever answer again learns of it here.
enum : long { FD_PEER_SHUTDOWN = 0x400 };
struct TNetworkEvents {
  long NetworkEvents = 0;
  int ErrorCode[FD_MAX_EVENTS] = {};
};

// Winsock socket options and ioctl commands that callers pass through.
constexpr int WSA_SOL_SOCKET = 0xFFFF, WSA_SO_BROADCAST = 0x20;
constexpr unsigned long WSA_FIONREAD = 0x4004667F, WSA_FIONBIO = 0x8004667E;

// The bound functions: the C library's, in place before main runs (there is no library to load
// on Linux); netlib::LoadWinSock2 checks the required entries whenever a TCP client is created.
// Tests replace entries (getaddrinfo above all) to script the platform. getaddrinfo and
// freeaddrinfo may be null: the address-information functions are then unavailable.
struct TSocketFunctions {
  int (*socket)(int domain, int type, int protocol);
  int (*connect)(int fd, const sockaddr* addr, socklen_t len);
  int (*bind)(int fd, const sockaddr* addr, socklen_t len);
  int (*listen)(int fd, int backlog);
  int (*accept)(int fd, sockaddr* addr, socklen_t* len);
  ssize_t (*recv)(int fd, void* buf, size_t len, int flags);
  ssize_t (*send)(int fd, const void* buf, size_t len, int flags);
  ssize_t (*recvfrom)(int fd, void* buf, size_t len, int flags, sockaddr* addr, socklen_t* alen);
  ssize_t (*sendto)(int fd, const void* buf, size_t len, int flags, const sockaddr* addr, socklen_t alen);
  int (*shutdown)(int fd, int how);
  int (*close)(int fd);
  int (*getsockname)(int fd, sockaddr* addr, socklen_t* len);
  int (*getsockopt)(int fd, int level, int name, void* value, socklen_t* len);
  int (*setsockopt)(int fd, int level, int name, const void* value, socklen_t len);
  int (*bytesAvailable)(int fd, int* count);  // FIONREAD
  int (*poll)(::pollfd* fds, nfds_t nfds, int timeoutMs);
  int (*getaddrinfo)(const char* node, const char* service, const addrinfo* hints, addrinfo** res);
  void (*freeaddrinfo)(addrinfo* res);
};
const TSocketFunctions& SystemSocketFunctions();
const TSocketFunctions& SocketFunctions();
// Replaces the table and answers the one it replaced. Not synchronised with calls in flight:
// swap it only while no socket work runs.
TSocketFunctions ReplaceSocketFunctions(const TSocketFunctions& table);

// --- errors -----------------------------------------------------------------------------------
int SocketErrorFromErrno(int errnum);
// A getaddrinfo result (EAI_*) as a Winsock code; errnum is consulted for EAI_SYSTEM.
int SocketErrorFromAddrInfo(int eai, int errnum);
// The Windows text of a Winsock code ("A non-blocking socket operation could not be completed
// immediately."), falling back to the Windows error texts for the other numbers.
rtl::String SocketErrorMessage(int code);
int WsaGetLastError();
void WsaSetLastError(int code);

// --- library start and stop (a reference count; nothing else to do on Linux) -----------------
int WsaStartup(uint16_t version);  // 0, or WSAEINVAL for a version below 2.0
int WsaCleanup();                  // SOCKET_ERROR with WSANOTINITIALISED when not started
int WsaStartupCount();

// --- socket operations: Winsock contracts, SOCKET_ERROR / INVALID_SOCKET with the last error --
// Families are the design's numbers (2, 23); type 1 is stream, 2 datagram.
TSocket Socket(int wsaFamily, int type, int protocol);
int CloseSocket(TSocket s);
int Connect(TSocket s, const sockaddr* addr, socklen_t len);  // WSAEWOULDBLOCK while in progress
int Bind(TSocket s, const sockaddr* addr, socklen_t len);
int Listen(TSocket s, int backlog);
TSocket Accept(TSocket s, sockaddr* addr, socklen_t* len);
int Recv(TSocket s, void* buf, int len);
int Send(TSocket s, const void* buf, int len);  // never raises SIGPIPE; a broken pipe is WSAECONNABORTED
int RecvFrom(TSocket s, void* buf, int len, sockaddr* from, socklen_t* fromLen);
int SendTo(TSocket s, const void* buf, int len, const sockaddr* to, socklen_t toLen);
int Shutdown(TSocket s, int how);  // 0 receive, 1 send, 2 both
int GetSockName(TSocket s, sockaddr* addr, socklen_t* len);
// Winsock levels and names; WSA_SOL_SOCKET/WSA_SO_BROADCAST are translated, others passed on.
int SetSockOpt(TSocket s, int level, int name, const void* value, socklen_t len);
int IoctlSocket(TSocket s, unsigned long cmd, unsigned long* arg);  // WSA_FIONREAD, WSA_FIONBIO
// getaddrinfo through the table with the result as a Winsock code (0 on success);
// WSANO_RECOVERY when the table has no getaddrinfo.
int GetAddrInfo(const char* node, const char* service, const addrinfo* hints, addrinfo** res);
void FreeAddrInfo(addrinfo* res);

// --- readiness tracker --------------------------------------------------------------------------
// The counterpart of a WSAEVENT tied to a socket by WsaEventSelect. It is not a descriptor of its
// own: WaitDescriptor answers what to poll so that a wait wakes exactly when WsaEnumNetworkEvents
// has something to report under Winsock's rules.
class TSocketEvent {
 public:
  TSocketEvent();
  ~TSocketEvent();
  TSocketEvent(const TSocketEvent&) = delete;
  TSocketEvent& operator=(const TSocketEvent&) = delete;

  // The descriptor and poll events that signal this event; a never-ready descriptor while nothing
  // can be reported.
  void WaitDescriptor(int& fd, short& events) const;
  TSocket Socket() const { return FSocket; }

 private:
  friend int WsaEventSelect(TSocket s, TSocketEvent* event, long mask);
  friend int CloseSocket(TSocket s);
  friend TSocketEvent* WsaCreateEvent();
  int FIdleFd = -1;
  TSocket FSocket = INVALID_SOCKET;
};

TSocketEvent* WsaCreateEvent();           // nullptr with the last error on failure
bool WsaCloseEvent(TSocketEvent* event);  // deletes it
// Ties the socket's readiness to the event with the mask of FD_* events and makes the socket
// non-blocking. A mask of 0 unties them.
int WsaEventSelect(TSocket s, TSocketEvent* event, long mask);
// Fills the record with the events that occurred since the last call and disarms them until
// their re-enabling call (recv re-arms read, a blocked send re-arms write, accept re-arms accept).
int WsaEnumNetworkEvents(TSocket s, TSocketEvent* event, TNetworkEvents* record);
// Whether the peer has ended its sending side behind bytes that still wait unread (the case
// FD_PEER_SHUTDOWN reports; without unread bytes FD_CLOSE does).
bool PeerShutDownBehindUnreadBytes(TSocket s);

}  // namespace platform

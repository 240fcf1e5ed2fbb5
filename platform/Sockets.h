// Windows Sockets for the system: non-blocking sockets, error codes in Winsock numbering with the
// Windows texts, and the network-event record that Winsock's event selection keeps (see
// docs/transport.md for the rules). Sockets, events and addresses are the system's own types;
// each operating system's folder implements them.
//
// Every call that can fail sets the thread's last-error value (platform::GetLastErrorValue) to a
// Winsock code, so callers read it the way they would read WSAGetLastError.
#pragma once

#include <cstdint>

#include "platform/Handles.h"
#include "rtl/SysUtils.h"

namespace platform {

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
  WSAVERNOTSUPPORTED = 10092,
  WSANOTINITIALISED = 10093,
  WSATYPE_NOT_FOUND = 10109,
  WSAHOST_NOT_FOUND = 11001,
  WSATRY_AGAIN = 11002,
  WSANO_RECOVERY = 11003,
  WSANO_DATA = 11004,
};

// Address families, socket types and protocols as Winsock numbers them (IPv6 is 23 there).
constexpr int WSA_AF_UNSPEC = 0, WSA_AF_INET = 2, WSA_AF_INET6 = 23;
constexpr int WSA_SOCK_STREAM = 1, WSA_SOCK_DGRAM = 2;
constexpr int WSA_IPPROTO_TCP = 6, WSA_IPPROTO_UDP = 17;

// A socket address in the system's own form: the family in Winsock numbering, the port in host
// order, the address bytes in network order (an IPv4 address in the first four).
struct TSocketAddress {
  int Family = WSA_AF_UNSPEC;
  uint16_t Port = 0;
  uint8_t Address[16] = {};
  uint32_t FlowInfo = 0;  // IPv6 only
  uint32_t ScopeId = 0;   // IPv6 only

  // The size of the platform's record for the family: 16 for IPv4, 28 for IPv6, 0 otherwise.
  int Length() const { return Family == WSA_AF_INET ? 16 : Family == WSA_AF_INET6 ? 28 : 0; }
};

// One entry of an address-information answer, and the hints of a question (only Flags, Family,
// SocketType and Protocol count there).
struct TAddressInfo {
  int Flags = 0;
  int Family = WSA_AF_UNSPEC;
  int SocketType = 0;
  int Protocol = 0;
  TSocketAddress Address;
  TAddressInfo* Next = nullptr;
};
constexpr int WSA_AI_PASSIVE = 0x01, WSA_AI_CANONNAME = 0x02, WSA_AI_NUMERICHOST = 0x04;

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

// Winsock socket options and ioctl commands that callers pass through. The time-outs of a
// blocking socket's sends and receives take a uint32_t of milliseconds (0: none).
constexpr int WSA_SOL_SOCKET = 0xFFFF, WSA_SO_REUSEADDR = 0x0004, WSA_SO_KEEPALIVE = 0x0008,
              WSA_SO_BROADCAST = 0x0020, WSA_SO_SNDBUF = 0x1001, WSA_SO_RCVBUF = 0x1002,
              WSA_SO_SNDTIMEO = 0x1005, WSA_SO_RCVTIMEO = 0x1006;
constexpr unsigned long WSA_FIONREAD = 0x4004667F, WSA_FIONBIO = 0x8004667E;

// The event a socket's readiness is tied to by WsaEventSelect (a WSAEVENT). Only platform/ knows
// what it is; callers hold it by pointer, wait on it through gui::TWaitHandle and close it with
// WsaCloseEvent.
class TSocketEvent;

// The functions bound at run time, named as the design binds them from the socket libraries:
// tests replace entries (getaddrinfo above all) to script the platform, and netlib::LoadWinSock2
// checks the required ones whenever a TCP client is created. getaddrinfo and freeaddrinfo may
// be null: the address-information functions are then unavailable. Each entry has the contract
// of the platform call below that it stands behind (WsaCreateEvent, Connect, GetAddressInfo...).
struct TSocketFunctions {
  TSocketEvent* (*WSACreateEvent)();
  bool (*WSACloseEvent)(TSocketEvent* event);
  int (*WSAEventSelect)(TSocket s, TSocketEvent* event, long mask);
  int (*WSAEnumNetworkEvents)(TSocket s, TSocketEvent* event, TNetworkEvents* record);
  int (*connect)(TSocket s, const TSocketAddress& address);
  int (*getsockname)(TSocket s, TSocketAddress* address);
  int (*bind)(TSocket s, const TSocketAddress& address);
  TSocket (*accept)(TSocket s, TSocketAddress* peer);
  int (*recv)(TSocket s, void* buffer, int length);
  int (*recvfrom)(TSocket s, void* buffer, int length, TSocketAddress* from);
  int (*sendto)(TSocket s, const void* buffer, int length, const TSocketAddress& to);
  // 0 or a Winsock code; the list is freed with freeaddrinfo of the same table.
  int (*getaddrinfo)(const char* node, const char* service, const TAddressInfo* hints, TAddressInfo** result);
  void (*freeaddrinfo)(TAddressInfo* list);
};
const TSocketFunctions& SystemSocketFunctions();
const TSocketFunctions& SocketFunctions();
// Replaces the table and answers the one it replaced. Not synchronised with calls in flight:
// swap it only while no socket work runs.
TSocketFunctions ReplaceSocketFunctions(const TSocketFunctions& table);

// --- errors -----------------------------------------------------------------------------------
// The Windows text of a Winsock code ("A non-blocking socket operation could not be completed
// immediately."), falling back to the Windows error texts for the other numbers.
rtl::String SocketErrorMessage(int code);
int WsaGetLastError();
void WsaSetLastError(int code);

// --- library start and stop (a reference count where there is nothing else to do) -----------
int WsaStartup(uint16_t version);  // 0, or WSAVERNOTSUPPORTED (10092) for a version below 2.0
int WsaCleanup();                  // SOCKET_ERROR with WSANOTINITIALISED when not started
int WsaStartupCount();

// --- socket operations: Winsock contracts, SOCKET_ERROR / INVALID_SOCKET with the last error --
// Families, types and protocols are Winsock's numbers (WSA_AF_INET, WSA_SOCK_STREAM, ...).
TSocket Socket(int family, int type, int protocol);
int CloseSocket(TSocket s);
int Connect(TSocket s, const TSocketAddress& address);  // WSAEWOULDBLOCK while in progress
int Bind(TSocket s, const TSocketAddress& address);
int Listen(TSocket s, int backlog);
TSocket Accept(TSocket s, TSocketAddress* peer);  // peer may be null
int Recv(TSocket s, void* buffer, int length);
int Send(TSocket s, const void* buffer, int length);  // never raises a signal; a broken pipe is WSAECONNABORTED
int RecvFrom(TSocket s, void* buffer, int length, TSocketAddress* from);
int SendTo(TSocket s, const void* buffer, int length, const TSocketAddress& to);
int Shutdown(TSocket s, int how);  // 0 receive, 1 send, 2 both
int GetSockName(TSocket s, TSocketAddress* address);
// Winsock levels and names: the WSA_SO_* options of WSA_SOL_SOCKET (others there answer
// WSAENOPROTOOPT); other levels are passed on as they are.
int SetSockOpt(TSocket s, int level, int name, const void* value, int length);
int IoctlSocket(TSocket s, unsigned long command, unsigned long* argument);  // WSA_FIONREAD, WSA_FIONBIO
// getaddrinfo through the table with the result as a Winsock code (0 on success, and then a list
// of at least one entry); WSANO_RECOVERY when the table has no getaddrinfo.
int GetAddressInfo(const char* node, const char* service, const TAddressInfo* hints, TAddressInfo** result);
void FreeAddressInfo(TAddressInfo* list);

// --- address texts ----------------------------------------------------------------------------
// The IPv4 address of a text as inet_addr reads it (one to four parts, each decimal, octal or
// hexadecimal, the last filling the bytes left), in network order. False for text it cannot
// read, and for 255.255.255.255, which inet_addr cannot tell from a failure.
bool InetAddr(const char* text, uint8_t (&address)[4]);
// A literal as inet_pton reads it: the bytes of a dotted-decimal IPv4 address (answers 4) or of
// an IPv6 address (answers 16); 0 when the text is neither.
int ParseAddressLiteral(const char* text, uint8_t (&address)[16]);

// --- event selection --------------------------------------------------------------------------
TSocketEvent* WsaCreateEvent();           // nullptr with the last error on failure
bool WsaCloseEvent(TSocketEvent* event);  // frees it
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

// The parts of the socket layer every operating system shares: the Winsock texts, the thread's
// socket error, and the calls that go through the replaceable table of bound functions.
#include "platform/Sockets.h"

#include "platform/LastError.h"

namespace platform {

namespace {

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

TSocketFunctions& Table() {
  static TSocketFunctions table = SystemSocketFunctions();
  return table;
}

}  // namespace

const TSocketFunctions& SocketFunctions() { return Table(); }

TSocketFunctions ReplaceSocketFunctions(const TSocketFunctions& table) {
  TSocketFunctions old = Table();
  Table() = table;
  return old;
}

rtl::String SocketErrorMessage(int code) {
  for (const auto& m : kMessages)
    if (m.Code == code) return rtl::S(m.Text);
  return WindowsErrorMessage(static_cast<uint32_t>(code));
}

int WsaGetLastError() { return static_cast<int>(GetLastErrorValue()); }
void WsaSetLastError(int code) { SetLastErrorValue(static_cast<uint32_t>(code)); }

TSocketEvent* WsaCreateEvent() { return Table().WSACreateEvent(); }
bool WsaCloseEvent(TSocketEvent* event) { return Table().WSACloseEvent(event); }
int WsaEventSelect(TSocket s, TSocketEvent* event, long mask) { return Table().WSAEventSelect(s, event, mask); }
int WsaEnumNetworkEvents(TSocket s, TSocketEvent* event, TNetworkEvents* record) {
  return Table().WSAEnumNetworkEvents(s, event, record);
}
int Connect(TSocket s, const TSocketAddress& address) { return Table().connect(s, address); }
int GetSockName(TSocket s, TSocketAddress* address) { return Table().getsockname(s, address); }
int Bind(TSocket s, const TSocketAddress& address) { return Table().bind(s, address); }
TSocket Accept(TSocket s, TSocketAddress* peer) { return Table().accept(s, peer); }
int Recv(TSocket s, void* buffer, int length) { return Table().recv(s, buffer, length); }
int RecvFrom(TSocket s, void* buffer, int length, TSocketAddress* from) {
  return Table().recvfrom(s, buffer, length, from);
}
int SendTo(TSocket s, const void* buffer, int length, const TSocketAddress& to) {
  return Table().sendto(s, buffer, length, to);
}

int GetAddressInfo(const char* node, const char* service, const TAddressInfo* hints, TAddressInfo** result) {
  if (result) *result = nullptr;
  const TSocketFunctions& t = Table();
  if (!t.getaddrinfo) return WSANO_RECOVERY;
  int code = t.getaddrinfo(node, service, hints, result);
  if (code == 0 && result && !*result) code = WSANO_DATA;  // success means at least one entry
  if (code != 0) {
    if (result && *result && t.freeaddrinfo) t.freeaddrinfo(*result);
    if (result) *result = nullptr;
    WsaSetLastError(code);
  }
  return code;
}

void FreeAddressInfo(TAddressInfo* list) {
  const TSocketFunctions& t = Table();
  if (list && t.freeaddrinfo) t.freeaddrinfo(list);
}

}  // namespace platform

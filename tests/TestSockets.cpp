// The test peers' sockets: the C library's calls on POSIX, Winsock's on Windows.
#include "TestSockets.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#endif

#include <cstring>
#include <vector>

namespace tsock {

namespace {

#ifdef _WIN32
using TNative = SOCKET;
TNative N(int fd) {
  // Winsock is started once for the test program, before its first socket.
  static const bool started = [] {
    WSADATA data;
    return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  (void)started;
  return fd < 0 ? INVALID_SOCKET : SOCKET(unsigned(fd));
}
using TLength = int;
#else
using TNative = int;
TNative N(int fd) { return fd; }
using TLength = socklen_t;
#endif

template <typename T>
int SetOpt(int fd, int level, int name, const T& value) {
  return ::setsockopt(N(fd), level, name, reinterpret_cast<const char*>(&value), sizeof value);
}

short ToNative(short e) {
  return short(((e & In) ? POLLIN : 0) | ((e & Out) ? POLLOUT : 0));
}
short FromNative(short r) {
  return short(((r & POLLIN) ? In : 0) | ((r & POLLOUT) ? Out : 0) | ((r & (POLLERR | POLLNVAL)) ? Err : 0) |
               ((r & POLLHUP) ? Hup : 0));
}

}  // namespace

int Open(bool ipv6, bool nonBlocking) {
  const int family = ipv6 ? AF_INET6 : AF_INET;
#ifdef _WIN32
  N(-1);
  SOCKET s = ::WSASocketW(family, SOCK_STREAM, 0, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) return -1;
  u_long on = nonBlocking ? 1 : 0;
  ::ioctlsocket(s, FIONBIO, &on);
  return int(s);
#else
  return ::socket(family, SOCK_STREAM | SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0), 0);
#endif
}

int Close(int fd) {
#ifdef _WIN32
  return ::closesocket(N(fd));
#else
  return ::close(fd);
#endif
}

int BindLoopback(int fd, bool ipv6, int port) {
  sockaddr_storage ss{};
  TLength len;
  if (ipv6) {
    auto* a = reinterpret_cast<sockaddr_in6*>(&ss);
    a->sin6_family = AF_INET6;
    a->sin6_addr = in6addr_loopback;
    a->sin6_port = htons(uint16_t(port));
    len = sizeof(*a);
  } else {
    auto* a = reinterpret_cast<sockaddr_in*>(&ss);
    a->sin_family = AF_INET;
    a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a->sin_port = htons(uint16_t(port));
    len = sizeof(*a);
  }
  if (::bind(N(fd), reinterpret_cast<sockaddr*>(&ss), len) != 0) return -1;
  TLength l = sizeof(ss);
  if (::getsockname(N(fd), reinterpret_cast<sockaddr*>(&ss), &l) != 0) return -1;
  return ipv6 ? ntohs(reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port) : ntohs(reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
}

int Listen(int fd, int backlog) { return ::listen(N(fd), backlog); }

int Accept(int listener) {
#ifdef _WIN32
  SOCKET s = ::accept(N(listener), nullptr, nullptr);
  if (s == INVALID_SOCKET) return -1;
  u_long off = 0;  // Winsock hands the listener's mode on; the peers' sockets block
  ::ioctlsocket(s, FIONBIO, &off);
  return int(s);
#else
  return ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
#endif
}

int ConnectLoopback(int fd, int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(uint16_t(port));
  return ::connect(N(fd), reinterpret_cast<sockaddr*>(&a), sizeof a);
}

ssize_t Send(int fd, const void* data, size_t size, bool nonBlocking) {
#ifdef _WIN32
  u_long mode = nonBlocking ? 1 : 0;
  if (nonBlocking) ::ioctlsocket(N(fd), FIONBIO, &mode);
  int n = ::send(N(fd), static_cast<const char*>(data), int(size > 0x7FFFFFFF ? 0x7FFFFFFF : size), 0);
  if (nonBlocking) {
    int err = ::WSAGetLastError();
    mode = 0;
    ::ioctlsocket(N(fd), FIONBIO, &mode);
    ::WSASetLastError(err);
  }
  return n;
#else
  return ::send(fd, data, size, MSG_NOSIGNAL | (nonBlocking ? MSG_DONTWAIT : 0));
#endif
}

ssize_t Recv(int fd, void* buffer, size_t size) {
#ifdef _WIN32
  return ::recv(N(fd), static_cast<char*>(buffer), int(size > 0x7FFFFFFF ? 0x7FFFFFFF : size), 0);
#else
  return ::recv(fd, buffer, size, 0);
#endif
}

bool WouldBlock() {
#ifdef _WIN32
  return ::WSAGetLastError() == WSAEWOULDBLOCK;
#else
  return errno == EAGAIN || errno == EWOULDBLOCK;
#endif
}

int Poll(TPoll* fds, size_t count, int timeoutMs) {
#ifdef _WIN32
  std::vector<WSAPOLLFD> native(count);
#else
  std::vector<pollfd> native(count);
#endif
  for (size_t i = 0; i < count; ++i) {
    native[i].fd = N(fds[i].Fd);
    native[i].events = ToNative(fds[i].Events);
    native[i].revents = 0;
  }
#ifdef _WIN32
  int r = ::WSAPoll(native.data(), ULONG(count), timeoutMs);
#else
  int r = ::poll(native.data(), nfds_t(count), timeoutMs);
#endif
  for (size_t i = 0; i < count; ++i) fds[i].Revents = r > 0 ? FromNative(native[i].revents) : 0;
  return r;
}

short PollOne(int fd, short events, int timeoutMs) {
  TPoll p{fd, events, 0};
  return Poll(&p, 1, timeoutMs) == 1 ? p.Revents : 0;
}

void SetTimeouts(int fd, int seconds) {
#ifdef _WIN32
  DWORD ms = DWORD(seconds) * 1000;
  SetOpt(fd, SOL_SOCKET, SO_RCVTIMEO, ms);
  SetOpt(fd, SOL_SOCKET, SO_SNDTIMEO, ms);
#else
  timeval tv{seconds, 0};
  SetOpt(fd, SOL_SOCKET, SO_RCVTIMEO, tv);
  SetOpt(fd, SOL_SOCKET, SO_SNDTIMEO, tv);
#endif
}

void SetNoDelay(int fd) { SetOpt(fd, IPPROTO_TCP, TCP_NODELAY, 1); }
void SetReuseAddress(int fd) { SetOpt(fd, SOL_SOCKET, SO_REUSEADDR, 1); }

int ShutdownSend(int fd) {
#ifdef _WIN32
  return ::shutdown(N(fd), SD_SEND);
#else
  return ::shutdown(fd, SHUT_WR);
#endif
}

void ResetClose(int& fd) {
  linger l{};
  l.l_onoff = 1;
  l.l_linger = 0;
  SetOpt(fd, SOL_SOCKET, SO_LINGER, l);
  Close(fd);
  fd = -1;
}

}  // namespace tsock

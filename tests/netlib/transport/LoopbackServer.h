// A scripted peer for the transport tests: listens on 127.0.0.1 or ::1 at a port the system picks,
// accepts one connection on its own thread and runs the script on it. Plain blocking libc calls,
// so the peer never shares code with what it tests. Everything is bounded: accept and every
// receive give up after a few seconds.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "rtl/SysUtils.h"

namespace transport_test {

// Binds the socket to an ephemeral port of the loopback address; answers the port, or -1.
inline int BindLoopback(int fd, bool ipv6) {
  sockaddr_storage ss{};
  socklen_t len;
  if (ipv6) {
    auto* a = reinterpret_cast<sockaddr_in6*>(&ss);
    a->sin6_family = AF_INET6;
    a->sin6_addr = in6addr_loopback;
    len = sizeof(*a);
  } else {
    auto* a = reinterpret_cast<sockaddr_in*>(&ss);
    a->sin_family = AF_INET;
    a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    len = sizeof(*a);
  }
  if (::bind(fd, reinterpret_cast<sockaddr*>(&ss), len) != 0) return -1;
  socklen_t l = sizeof(ss);
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &l) != 0) return -1;
  return ipv6 ? ntohs(reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port)
              : ntohs(reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
}

class TLoopbackServer {
 public:
  // The script gets the accepted socket; it may close it and set it to -1.
  using TScript = std::function<void(int& fd)>;

  explicit TLoopbackServer(TScript script, bool ipv6 = false, int acceptWaitMs = 10000) : FIpv6(ipv6) {
    FListen = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (FListen < 0 || (FPort = BindLoopback(FListen, ipv6)) < 0 || ::listen(FListen, 4) != 0) {
      FOk = false;
      return;
    }
    FThread = std::thread([this, script, acceptWaitMs] {
      pollfd p{FListen, POLLIN, 0};
      if (::poll(&p, 1, acceptWaitMs) != 1) return;
      int fd = ::accept4(FListen, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) return;
      timeval tv{10, 0};
      ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
      ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
      FAccepted = true;
      script(fd);
      if (fd >= 0) ::close(fd);
      FDone = true;
    });
  }

  ~TLoopbackServer() {
    Join();
    if (FListen >= 0) ::close(FListen);
  }

  void Join() {
    if (FThread.joinable()) FThread.join();
  }
  bool Ok() const { return FOk; }
  int Port() const { return FPort; }
  rtl::String Host() const { return FIpv6 ? u"::1" : u"127.0.0.1"; }
  bool Accepted() const { return FAccepted; }
  bool Done() const { return FDone; }

  // --- helpers for scripts ---
  static bool SendAll(int fd, const void* data, size_t size) {
    const auto* p = static_cast<const uint8_t*>(data);
    while (size > 0) {
      ssize_t n = ::send(fd, p, size, MSG_NOSIGNAL);
      if (n <= 0) return false;
      p += n;
      size -= static_cast<size_t>(n);
    }
    return true;
  }
  static bool SendText(int fd, const std::string& s) { return SendAll(fd, s.data(), s.size()); }
  // Reads until the peer closes (or the receive time-out); answers everything read.
  static std::string ReadToEnd(int fd) {
    std::string out;
    char buf[65536];
    for (;;) {
      ssize_t n = ::recv(fd, buf, sizeof(buf), 0);
      if (n <= 0) break;
      out.append(buf, static_cast<size_t>(n));
    }
    return out;
  }
  // Closes with a reset instead of an orderly close.
  static void Reset(int& fd) {
    linger l{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof(l));
    ::close(fd);
    fd = -1;
  }
  static void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

 private:
  bool FIpv6;
  bool FOk = true;
  int FListen = -1;
  int FPort = 0;
  std::atomic<bool> FAccepted{false};
  std::atomic<bool> FDone{false};
  std::thread FThread;
};

// A port on which nothing listens right now: bound, then released.
inline int UnusedPort(bool ipv6 = false) {
  int fd = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int port = fd < 0 ? -1 : BindLoopback(fd, ipv6);
  if (fd >= 0) ::close(fd);
  return port;
}

// Deterministic test bytes.
inline std::string Pattern(size_t size, unsigned seed = 1) {
  std::string s(size, '\0');
  uint32_t x = seed * 2654435761u + 12345;
  for (size_t i = 0; i < size; ++i) {
    x = x * 1103515245u + 12345u;
    s[i] = static_cast<char>(x >> 24);
  }
  return s;
}

}  // namespace transport_test

// A scripted peer for the transport tests: listens on 127.0.0.1 or ::1 at a port the system picks,
// accepts one connection on its own thread and runs the script on it. Plain blocking libc calls,
// so the peer never shares code with what it tests. Everything is bounded: accept and every
// receive give up after a few seconds.
#pragma once

#include "../../TestSockets.h"

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
inline int BindLoopback(int fd, bool ipv6) { return tsock::BindLoopback(fd, ipv6); }

class TLoopbackServer {
 public:
  // The script gets the accepted socket; it may close it and set it to -1.
  using TScript = std::function<void(int& fd)>;

  explicit TLoopbackServer(TScript script, bool ipv6 = false, int acceptWaitMs = 10000) : FIpv6(ipv6) {
    FListen = tsock::Open(ipv6);
    if (FListen < 0 || (FPort = BindLoopback(FListen, ipv6)) < 0 || tsock::Listen(FListen, 4) != 0) {
      FOk = false;
      return;
    }
    FThread = std::thread([this, script, acceptWaitMs] {
      if (!(tsock::PollOne(FListen, tsock::In, acceptWaitMs) & tsock::In)) return;
      int fd = tsock::Accept(FListen);
      if (fd < 0) return;
      tsock::SetTimeouts(fd, 10);
      FAccepted = true;
      script(fd);
      if (fd >= 0) tsock::Close(fd);
      FDone = true;
    });
  }

  ~TLoopbackServer() {
    Join();
    if (FListen >= 0) tsock::Close(FListen);
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
      tsock::ssize_t n = tsock::Send(fd, p, size);
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
      tsock::ssize_t n = tsock::Recv(fd, buf, sizeof(buf));
      if (n <= 0) break;
      out.append(buf, static_cast<size_t>(n));
    }
    return out;
  }
  // Closes with a reset instead of an orderly close.
  static void Reset(int& fd) { tsock::ResetClose(fd); }
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
  int fd = tsock::Open(ipv6);
  int port = fd < 0 ? -1 : BindLoopback(fd, ipv6);
  if (fd >= 0) tsock::Close(fd);
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

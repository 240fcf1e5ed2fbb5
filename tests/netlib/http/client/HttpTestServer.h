// A scripted HTTP peer on loopback for the client tests. Each accepted connection runs one
// script: a list of replies, one per request read from the connection, after which the server
// closes it. Replies are raw bytes; a few markers change what happens:
//   CloseNow   - close without answering the request just read;
//   Hang       - answer nothing and wait (bounded) until the client closes;
//   Split      - inside a reply, send the bytes before it, pause briefly, then go on;
//   {PORT}     - replaced by the server's port.
// Every request (head and body, as received) is recorded. The accept, receive and send calls
// are bounded in time, so a broken client cannot hang a test.
#pragma once

#include "../../../TestSockets.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace krvtest {

inline const std::string CloseNow = "\x01<close>";
inline const std::string Hang = "\x01<hang>";
inline const std::string Split = "\x01<split>";

using TConnectionScript = std::vector<std::string>;

// With a SOCKS mode the server first plays a SOCKS server on every connection (granting the
// request, with user name and password for SOCKS 5 when ASocksUser is not empty) and records the
// target the client asked for as "host:port".
enum TSocksMode { smNone, smSocks4, smSocks5 };

// A listening socket on 127.0.0.1 (or ::1) on a port the system chooses, which goes to APort.
inline int ListenOnLoopback(bool AIPv6, int& APort) {
  int listener = tsock::Open(AIPv6);
  tsock::SetReuseAddress(listener);
  APort = tsock::BindLoopback(listener, AIPv6);
  tsock::Listen(listener, 8);
  return listener;
}

class THttpTestServer {
 public:
  // Listens on 127.0.0.1 (or ::1) on a port the system chooses.
  explicit THttpTestServer(std::vector<TConnectionScript> AScripts, bool AIPv6 = false, TSocksMode ASocks = smNone,
                           std::string ASocksUser = "")
      : FScripts(std::move(AScripts)), FSocks(ASocks), FSocksUser(std::move(ASocksUser)) {
    FListener = ListenOnLoopback(AIPv6, FPort);
    FThread = std::thread([this] { Run(); });
  }
  ~THttpTestServer() {
    FStop = true;
    if (FThread.joinable()) FThread.join();
    tsock::Close(FListener);
  }

  int Port() const { return FPort; }
  std::string Url(const std::string& APath = "/") const { return "http://127.0.0.1:" + std::to_string(FPort) + APath; }
  // Waits for the script to end (bounded) and answers the requests received.
  std::vector<std::string> Requests() {
    WaitDone();
    std::lock_guard<std::mutex> lock(FLock);
    return FRequests;
  }
  std::vector<std::string> SocksTargets() {
    WaitDone();
    std::lock_guard<std::mutex> lock(FLock);
    return FSocksTargets;
  }
  int Connections() {
    WaitDone();
    return FConnections;
  }
  // Waits (bounded) until the server has closed its side of AConnections connections; false when
  // that did not happen in time.
  bool WaitClosed(int AConnections) {
    std::unique_lock<std::mutex> lock(FLock);
    return FClosedChanged.wait_for(lock, std::chrono::seconds(10), [&] { return FClosed >= AConnections; });
  }
  void WaitDone(int AMs = 5000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(AMs);
    while (!FDone && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }

  // Reads one request (head and Content-Length body) from a connected socket; "" when the peer
  // closed first or nothing came within the time limit.
  static std::string ReadRequest(int ASocket, std::string& APending, const std::atomic<bool>& AStop) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    size_t headEnd;
    while ((headEnd = APending.find("\r\n\r\n")) == std::string::npos) {
      if (!ReadMore(ASocket, APending, AStop, deadline)) return "";
    }
    size_t need = headEnd + 4;
    std::string head = APending.substr(0, headEnd);
    for (size_t p = 0; (p = Lower(head).find("\ncontent-length:", p)) != std::string::npos; ++p)
      need += std::stoul(head.substr(p + 16));
    while (APending.size() < need) {
      if (!ReadMore(ASocket, APending, AStop, deadline)) return "";
    }
    std::string request = APending.substr(0, need);
    APending.erase(0, need);
    return request;
  }

 private:
  static std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return s;
  }
  static bool ReadMore(int ASocket, std::string& ABuffer, const std::atomic<bool>& AStop,
                       std::chrono::steady_clock::time_point ADeadline) {
    while (!AStop && std::chrono::steady_clock::now() < ADeadline) {
      if (!tsock::PollOne(ASocket, tsock::In, 50)) continue;
      char buf[65536];
      tsock::ssize_t n = tsock::Recv(ASocket, buf, sizeof buf);
      if (n <= 0) return false;
      ABuffer.append(buf, size_t(n));
      return true;
    }
    return false;
  }
  bool SendAll(int ASocket, const std::string& AData) {
    size_t done = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (done < AData.size()) {
      if (FStop || std::chrono::steady_clock::now() > deadline) return false;
      if (!tsock::PollOne(ASocket, tsock::Out, 50)) continue;
      tsock::ssize_t n = tsock::Send(ASocket, AData.data() + done, AData.size() - done, true);
      if (n < 0) {
        if (tsock::WouldBlock()) continue;
        return false;
      }
      done += size_t(n);
    }
    return true;
  }
  void SendReply(int ASocket, std::string AReply) {
    for (size_t p; (p = AReply.find("{PORT}")) != std::string::npos;) AReply.replace(p, 6, std::to_string(FPort));
    size_t from = 0;
    for (;;) {
      size_t mark = AReply.find(Split, from);
      if (!SendAll(ASocket, AReply.substr(from, mark == std::string::npos ? std::string::npos : mark - from))) return;
      if (mark == std::string::npos) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
      from = mark + Split.size();
    }
  }
  void Run() {
    for (const TConnectionScript& script : FScripts) {
      int s = -1;
      auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
      while (s < 0 && !FStop && std::chrono::steady_clock::now() < deadline) {
        if (tsock::PollOne(FListener, tsock::In, 50)) s = tsock::Accept(FListener);
      }
      if (s < 0) break;
      ++FConnections;
      tsock::SetNoDelay(s);
      std::string pending;
      if (FSocks != smNone && !SocksHandshake(s, pending)) {
        tsock::Close(s);
        continue;
      }
      for (const std::string& reply : script) {
        std::string request = ReadRequest(s, pending, FStop);
        if (request.empty()) break;
        {
          std::lock_guard<std::mutex> lock(FLock);
          FRequests.push_back(request);
        }
        if (reply == CloseNow) break;
        if (reply == Hang) {
          std::string rest;
          auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
          while (ReadMore(s, rest, FStop, end)) {
          }
          break;
        }
        SendReply(s, reply);
      }
      tsock::ShutdownSend(s);
      // Let the client read what was sent before the socket goes away (a close with unread
      // input would reset the connection).
      std::string drain;
      auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
      while (ReadMore(s, drain, FStop, end)) {
      }
      tsock::Close(s);
      {
        std::lock_guard<std::mutex> lock(FLock);
        ++FClosed;
      }
      FClosedChanged.notify_all();
    }
    FDone = true;
  }

  // Takes exactly ACount bytes off the front of the pending input.
  bool Take(int ASocket, std::string& APending, size_t ACount, std::string& AOut) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (APending.size() < ACount)
      if (!ReadMore(ASocket, APending, FStop, deadline)) return false;
    AOut = APending.substr(0, ACount);
    APending.erase(0, ACount);
    return true;
  }
  bool TakeUntilZero(int ASocket, std::string& APending, std::string& AOut) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    size_t zero;
    while ((zero = APending.find('\0')) == std::string::npos)
      if (!ReadMore(ASocket, APending, FStop, deadline)) return false;
    AOut = APending.substr(0, zero);
    APending.erase(0, zero + 1);
    return true;
  }
  bool SocksHandshake(int s, std::string& pending) {
    std::string b, target;
    if (FSocks == smSocks4) {
      std::string user, host;
      if (!Take(s, pending, 8, b) || b[0] != 4 || b[1] != 1 || !TakeUntilZero(s, pending, user)) return false;
      int port = (uint8_t(b[2]) << 8) | uint8_t(b[3]);
      if (b[4] == 0 && b[5] == 0 && b[6] == 0 && b[7] != 0) {  // 4A: the name follows
        if (!TakeUntilZero(s, pending, host)) return false;
      } else {
        host = std::to_string(uint8_t(b[4])) + "." + std::to_string(uint8_t(b[5])) + "." + std::to_string(uint8_t(b[6])) +
               "." + std::to_string(uint8_t(b[7]));
      }
      target = host + ":" + std::to_string(port);
      if (!SendAll(s, std::string("\0\x5a\0\0\0\0\0\0", 8))) return false;
    } else {
      if (!Take(s, pending, 2, b) || b[0] != 5 || !Take(s, pending, uint8_t(b[1]), b)) return false;
      bool auth = !FSocksUser.empty();
      if (!SendAll(s, std::string("\x05") + (auth ? '\x02' : '\0'))) return false;
      if (auth) {
        std::string user, pass;
        if (!Take(s, pending, 2, b) || !Take(s, pending, uint8_t(b[1]), user) || !Take(s, pending, 1, b) ||
            !Take(s, pending, uint8_t(b[0]), pass))
          return false;
        bool good = user + ":" + pass == FSocksUser;
        if (!SendAll(s, std::string("\x01") + (good ? '\0' : '\x01')) || !good) return false;
      }
      if (!Take(s, pending, 4, b) || b[0] != 5 || b[1] != 1) return false;
      std::string host;
      if (b[3] == 1) {
        if (!Take(s, pending, 4, b)) return false;
        host = std::to_string(uint8_t(b[0])) + "." + std::to_string(uint8_t(b[1])) + "." + std::to_string(uint8_t(b[2])) +
               "." + std::to_string(uint8_t(b[3]));
      } else if (b[3] == 3) {
        if (!Take(s, pending, 1, b) || !Take(s, pending, uint8_t(b[0]), host)) return false;
      } else {
        return false;
      }
      if (!Take(s, pending, 2, b)) return false;
      target = host + ":" + std::to_string((uint8_t(b[0]) << 8) | uint8_t(b[1]));
      if (!SendAll(s, std::string("\x05\0\0\x01\x7f\0\0\x01\0\x50", 10))) return false;
    }
    std::lock_guard<std::mutex> lock(FLock);
    FSocksTargets.push_back(target);
    return true;
  }

  std::vector<TConnectionScript> FScripts;
  TSocksMode FSocks;
  std::string FSocksUser;
  std::vector<std::string> FSocksTargets;
  int FListener = -1;
  int FPort = 0;
  std::thread FThread;
  std::atomic<bool> FStop{false};
  std::atomic<bool> FDone{false};
  std::atomic<int> FConnections{0};
  std::mutex FLock;
  std::condition_variable FClosedChanged;
  int FClosed = 0;  // connections the server has closed
  std::vector<std::string> FRequests;
};

}  // namespace krvtest

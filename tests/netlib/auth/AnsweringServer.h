// A loopback HTTP peer of the authentication tests that works the scheme itself: on any number of
// kept-alive connections it answers each request head (GET only: no bodies are read) with what its
// handler makes of it. The handler runs on the server's thread and gets the connection's number
// (from 1, in accept order), which connection-based schemes need. Stops at destruction or after
// ASeconds, whichever comes first.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/TestSockets.h"

namespace krvtest {

class TAnsweringServer {
 public:
  using THandler = std::function<std::string(int AConnection, const std::string& AHead)>;

  explicit TAnsweringServer(THandler AHandler, int ASeconds = 60) : FHandler(std::move(AHandler)) {
    FListener = tsock::Open();
    if (FListener < 0 || (FPort = tsock::BindLoopback(FListener)) < 0 || tsock::Listen(FListener, 8) != 0)
      throw std::runtime_error("loopback listen failed");
    FThread = std::thread([this, ASeconds] { Run(ASeconds); });
  }
  ~TAnsweringServer() {
    FStop = true;
    FThread.join();
    tsock::Close(FListener);
  }
  int Port() const { return FPort; }

 private:
  struct TConn {
    int Fd;
    int Id;
    std::string In;
  };

  void Run(int ASeconds) {
    std::vector<TConn> conns;
    int next = 1;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(ASeconds);
    while (!FStop && std::chrono::steady_clock::now() < deadline) {
      std::vector<tsock::TPoll> fds{{FListener, tsock::In, 0}};
      for (const TConn& c : conns) fds.push_back({c.Fd, tsock::In, 0});
      if (tsock::Poll(fds.data(), fds.size(), 50) <= 0) continue;
      if (fds[0].Revents & tsock::In) {
        const int s = tsock::Accept(FListener);
        if (s >= 0) conns.push_back({s, next++, {}});
      }
      for (size_t i = 1; i < fds.size(); ++i) {
        if (!(fds[i].Revents & (tsock::In | tsock::Hup | tsock::Err))) continue;
        TConn& c = conns[i - 1];
        char buf[65536];
        const tsock::ssize_t n = tsock::Recv(c.Fd, buf, sizeof buf);
        if (n <= 0) {
          tsock::Close(c.Fd);
          c.Fd = -1;
          continue;
        }
        c.In.append(buf, static_cast<size_t>(n));
        for (size_t end; (end = c.In.find("\r\n\r\n")) != std::string::npos;) {
          const std::string reply = FHandler(c.Id, c.In.substr(0, end));
          c.In.erase(0, end + 4);
          tsock::Send(c.Fd, reply.data(), reply.size());
        }
      }
      std::erase_if(conns, [](const TConn& c) { return c.Fd < 0; });
    }
    for (const TConn& c : conns) tsock::Close(c.Fd);
  }

  THandler FHandler;
  int FListener = -1;
  int FPort = 0;
  std::atomic<bool> FStop{false};
  std::thread FThread;
};

}  // namespace krvtest

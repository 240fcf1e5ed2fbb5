// The test peers' own sockets: plain blocking calls of the C library on POSIX and of Winsock on
// Windows (tests/TestSockets.cpp), so the peers never share code with what they test. The header
// names no operating-system type: descriptors are ints on both systems (a Winsock handle fits,
// and its invalid value reads as -1), poll events are our own bits.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tsock {

using ssize_t = long long;

// Poll events (translated to the system's inside).
enum : short { In = 1, Out = 2, Err = 4, Hup = 8 };
struct TPoll {
  int Fd;
  short Events;
  short Revents;
};

// A TCP socket, IPv6 or IPv4, not inherited by children; -1 on failure.
int Open(bool ipv6 = false, bool nonBlocking = false);
int Close(int fd);
// Binds to port (0: the system picks) of 127.0.0.1 or ::1; answers the bound port, or -1.
int BindLoopback(int fd, bool ipv6 = false, int port = 0);
int Listen(int fd, int backlog);
int Accept(int listener);
// Connects to a port of 127.0.0.1 (a non-blocking socket answers at once).
int ConnectLoopback(int fd, int port);
// Never raises a signal; nonBlocking: this one send only.
ssize_t Send(int fd, const void* data, size_t size, bool nonBlocking = false);
ssize_t Recv(int fd, void* buffer, size_t size);
// The last call failed only because it would have blocked.
bool WouldBlock();
int Poll(TPoll* fds, size_t count, int timeoutMs);
// One descriptor: its events, 0 after the time-out.
short PollOne(int fd, short events, int timeoutMs);
// Receives and sends give up after that many seconds.
void SetTimeouts(int fd, int seconds);
void SetNoDelay(int fd);
void SetReuseAddress(int fd);
// Ends our sending side (the peer reads its end).
int ShutdownSend(int fd);
// Closes with a reset instead of an orderly close.
void ResetClose(int& fd);

}  // namespace tsock

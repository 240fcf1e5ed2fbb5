// POSIX errors in the platform's numbering: errno and getaddrinfo results as Winsock codes.
#include <gtest/gtest.h>
#include <netdb.h>

#include <cerrno>

#include "platform/Sockets.h"
#include "platform/posix/Errors.h"

using namespace platform;

namespace {

TEST(SocketErrors, ErrnoMapsToWinsockNumbers) {
  struct {
    int err;
    int code;
  } cases[] = {
      {EAGAIN, WSAEWOULDBLOCK},       {EINPROGRESS, WSAEWOULDBLOCK}, {EBADF, WSAENOTSOCK},
      {ENOTSOCK, WSAENOTSOCK},        {EACCES, WSAEACCES},           {EADDRINUSE, WSAEADDRINUSE},
      {ECONNABORTED, WSAECONNABORTED}, {EPIPE, WSAECONNABORTED},      {ECONNRESET, WSAECONNRESET},
      {ETIMEDOUT, WSAETIMEDOUT},      {ECONNREFUSED, WSAECONNREFUSED}, {EHOSTUNREACH, WSAEHOSTUNREACH},
      {ENETUNREACH, WSAENETUNREACH},  {EADDRNOTAVAIL, WSAEADDRNOTAVAIL}, {EAFNOSUPPORT, WSAEAFNOSUPPORT},
      {EINVAL, WSAEINVAL},            {ENOTCONN, WSAENOTCONN},       {EMFILE, WSAEMFILE},
  };
  for (const auto& c : cases) EXPECT_EQ(SocketErrorFromErrno(c.err), c.code) << "errno " << c.err;
}

TEST(SocketErrors, AddressInfoResultsMapToWinsockNumbers) {
  struct {
    int eai;
    int err;
    int code;
  } cases[] = {
      {0, 0, 0},
      {EAI_NONAME, 0, WSAHOST_NOT_FOUND},
      {EAI_AGAIN, 0, WSATRY_AGAIN},
      {EAI_FAIL, 0, WSANO_RECOVERY},
      {EAI_FAMILY, 0, WSAEAFNOSUPPORT},
      {EAI_SERVICE, 0, WSATYPE_NOT_FOUND},
      {EAI_MEMORY, 0, WSA_NOT_ENOUGH_MEMORY},
      {EAI_SYSTEM, ECONNREFUSED, WSAECONNREFUSED},
  };
  for (const auto& c : cases) EXPECT_EQ(SocketErrorFromAddrInfo(c.eai, c.err), c.code) << "eai " << c.eai;
}

}  // namespace

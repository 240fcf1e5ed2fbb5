// https in front of a plain HTTP server (krv-update-server), the https edition's peer: a Linux
// program, so the same peer serves the Linux tests and, started through the host's shell, the
// Windows edition under Wine.
//
//   krv_update_tls_front PORT BACKEND_PORT certified|other-host|untrusted relay|redirect CA_FILE
//
// Makes a fresh authority (written to CA_FILE as PEM) and the server's identity: "certified" for
// localhost and 127.0.0.1 by that authority, "other-host" for update.example.com by it,
// "untrusted" self-signed. Prints "serving https on 127.0.0.1:PORT", then "handshake" for each
// completed handshake. Each connection's request is passed on to the plain server and its whole
// answer sent back ("relay"), or answered with a redirect to the plain server ("redirect").
// Ends at SIGTERM.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tests/TestSockets.h"
#include "tests/netlib/transport/tls/TlsTestUtil.h"

namespace {

int Listen(int port) {
  int fd = tsock::Open();
  if (fd < 0) return -1;
  tsock::SetReuseAddress(fd);
  const int bound = tsock::BindLoopback(fd, false, port);
  if (bound < 0 || tsock::Listen(fd, 8) != 0) return -1;
  std::printf("serving https on 127.0.0.1:%d\n", bound);
  std::fflush(stdout);
  return fd;
}

// The plain server closes after each answer: everything up to its close goes back.
void Relay(tls_test::TServerTls& tls, const std::string& head, int backendPort) {
  int b = tsock::Open();
  tsock::SetTimeouts(b, 10);
  if (tsock::ConnectLoopback(b, backendPort) == 0 && tsock::Send(b, head.data(), head.size()) == ssize_t(head.size())) {
    char buf[65536];
    for (ssize_t n; (n = tsock::Recv(b, buf, sizeof buf)) > 0;)
      if (!tls.Send(std::string(buf, size_t(n)))) break;
  }
  tsock::Close(b);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6) {
    std::fprintf(stderr, "usage: %s PORT BACKEND_PORT certified|other-host|untrusted relay|redirect CA_FILE\n",
                 argv[0]);
    return 2;
  }
  ::signal(SIGPIPE, SIG_IGN);  // a client that hangs up
  const int backendPort = std::atoi(argv[2]);
  const std::string identity = argv[3];
  const bool redirect = std::strcmp(argv[4], "redirect") == 0;
  auto ca = tls_test::MakeCert("KRV Test CA", nullptr, -1, 30, nullptr, true);
  std::unique_ptr<tls_test::TKeyPair> id;
  if (identity == "certified")
    id = tls_test::MakeCert("localhost", "DNS:localhost,IP:127.0.0.1", -1, 30, ca.get(), false);
  else if (identity == "other-host")
    id = tls_test::MakeCert("update.example.com", "DNS:update.example.com", -1, 30, ca.get(), false);
  else if (identity == "untrusted")
    id = tls_test::MakeCert("localhost", "DNS:localhost,IP:127.0.0.1", -1, 30, nullptr, false);
  FILE* f = std::fopen(argv[5], "w");
  const std::string pem = tls_test::PemOf(ca->Cert);
  if (!id || !f || std::fwrite(pem.data(), 1, pem.size(), f) != pem.size() || std::fclose(f) != 0) {
    std::fprintf(stderr, "cannot make the identity %s or write %s\n", identity.c_str(), argv[5]);
    return 2;
  }
  const int listener = Listen(std::atoi(argv[1]));
  if (listener < 0) {
    std::perror("listen");
    return 1;
  }
  // One connection at a time, each bounded by its time-outs.
  for (;;) {
    int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    timeval tv{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    {
      tls_test::TServerTls tls(fd, *id);
      if (tls.Accept()) {
        std::printf("handshake\n");
        std::fflush(stdout);
        std::string head = tls.ReadUntil("\r\n\r\n");
        if (redirect) {
          size_t from = head.find(' ') + 1, to = head.find(' ', from);
          tls.Send("HTTP/1.1 302 Found\r\nLocation: http://127.0.0.1:" + std::to_string(backendPort) +
                   head.substr(from, to - from) + "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
        } else {
          Relay(tls, head, backendPort);
        }
        tls.Shutdown();
      }
    }
    ::close(fd);
  }
}

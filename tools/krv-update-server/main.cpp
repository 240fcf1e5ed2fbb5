// krv-update-server --root DIR [--port N] [--bind ADDR] [--rate BYTES_PER_SECOND]
// Serves the archives of DIR at the downloader's update endpoint over plain HTTP/1.1, one thread
// per connection, one log line per request on stdout. Files are streamed, never loaded whole.
// A GET may ask for one byte range (206, or 416 past the end), under If-Range with the ETag or
// Last-Modified every answer carries, so a broken download can be resumed.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <thread>

#include "UpdateServer.h"

namespace {

std::string gRoot;
long long gRate = 0;  // bytes a second, 0: as fast as possible
std::mutex gLogLock;

int Usage(const char* why) {
  if (why) std::fprintf(stderr, "krv-update-server: %s\n", why);
  std::fprintf(stderr,
               "usage: krv-update-server --root DIR [--port N] [--bind ADDR] [--rate BYTES_PER_SECOND]\n"
               "  serves GET /mainweb/upgrade/GETFILE.ASP?FNM=<name>... with the file <name> of DIR\n"
               "  (default port 17080, address 127.0.0.1; port 0 picks a free one)\n");
  return 2;
}

bool ParseNumber(const char* text, long long lo, long long hi, long long& value) {
  char* end = nullptr;
  errno = 0;
  long long v = std::strtoll(text, &end, 10);
  if (!*text || *end || errno != 0 || v < lo || v > hi) return false;
  value = v;
  return true;
}

bool SendAll(int fd, const char* p, size_t n) {
  while (n > 0) {
    ssize_t w = ::send(fd, p, n, MSG_NOSIGNAL);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= size_t(w);
  }
  return true;
}

std::string PeerText(const sockaddr_storage& a) {
  char host[INET6_ADDRSTRLEN] = "?";
  int port = 0;
  if (a.ss_family == AF_INET) {
    auto* v4 = reinterpret_cast<const sockaddr_in*>(&a);
    inet_ntop(AF_INET, &v4->sin_addr, host, sizeof host);
    port = ntohs(v4->sin_port);
    return std::string(host) + ":" + std::to_string(port);
  }
  auto* v6 = reinterpret_cast<const sockaddr_in6*>(&a);
  inet_ntop(AF_INET6, &v6->sin6_addr, host, sizeof host);
  port = ntohs(v6->sin6_port);
  return "[" + std::string(host) + "]:" + std::to_string(port);
}

void Log(const std::string& peer, const std::string& line, int status, long long bytes, const std::string& note) {
  std::string printable;
  for (unsigned char c : line) printable += (c < 0x20 || c >= 0x7F || c == '"') ? '?' : char(c);
  std::lock_guard<std::mutex> lock(gLogLock);
  std::printf("%s \"%s\" %d %lld%s%s\n", peer.c_str(), printable.c_str(), status, bytes, note.empty() ? "" : " ",
              note.c_str());
  std::fflush(stdout);
}

void SendError(int fd, int status, const std::string& reason) {
  const char* text = status == 404 ? "Not Found" : status == 405 ? "Method Not Allowed" : "Bad Request";
  std::string body = std::to_string(status) + " " + text + ": " + reason + "\n";
  std::string head = "HTTP/1.1 " + std::to_string(status) + " " + text +
                     "\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(body.size()) +
                     "\r\nConnection: close\r\n\r\n";
  SendAll(fd, (head + body).data(), head.size() + body.size());
}

// Reads the request head (up to the empty line), bounded in size; false when the peer went away,
// stayed silent past the socket's time-out or sent more than 16 KiB of head.
bool ReadHead(int fd, std::string& head) {
  char buf[2048];
  while (head.find("\r\n\r\n") == std::string::npos && head.find("\n\n") == std::string::npos) {
    if (head.size() > 16384) return false;
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    head.append(buf, size_t(n));
  }
  return true;
}

void Serve(int fd, sockaddr_storage peerAddr) {
  std::string peer = PeerText(peerAddr);
  timeval tv{30, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  std::string head;
  bool complete = ReadHead(fd, head);
  std::string line = head.substr(0, head.find('\n'));
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (!complete) {
    if (!head.empty()) SendError(fd, 400, "incomplete or oversized request head");
    Log(peer, line, 400, 0, "(incomplete request head)");
    ::close(fd);
    return;
  }
  krvupdate::TRequest req = krvupdate::ParseRequestLine(line);
  if (req.Status != 0) {
    SendError(fd, req.Status, req.Reason);
    Log(peer, line, req.Status, 0, "(" + req.Reason + ")");
    ::close(fd);
    return;
  }
  std::string path = gRoot + "/" + req.FileName;
  int file = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  struct stat st {};
  if (file < 0 || ::fstat(file, &st) != 0 || !S_ISREG(st.st_mode)) {
    if (file >= 0) ::close(file);
    SendError(fd, 404, "no archive named " + req.FileName);
    Log(peer, line, 404, 0, "(missing)");
    ::close(fd);
    return;
  }
  // Validators of the version opened: a resumed download asks with If-Range for exactly it.
  long long mtimeNs = static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
  std::string etag = krvupdate::MakeETag(st.st_size, mtimeNs, st.st_ino);
  std::string lastModified = krvupdate::HttpDate(st.st_mtim.tv_sec);
  bool lastModifiedStrong = std::time(nullptr) - st.st_mtim.tv_sec >= 1;
  krvupdate::TByteRange range =
      krvupdate::ChooseRange(req.Method, head, st.st_size, etag, lastModified, lastModifiedStrong);
  std::string length = std::to_string(st.st_size);
  std::string common = "ETag: " + etag + "\r\nLast-Modified: " + lastModified +
                       "\r\nAccept-Ranges: bytes\r\nConnection: close\r\n\r\n";
  if (range.Status == 416) {
    std::string body = "416 Range Not Satisfiable: the archive has " + length + " bytes\n";
    std::string response = "HTTP/1.1 416 Range Not Satisfiable\r\nContent-Type: text/plain\r\nContent-Range: bytes */" +
                           length + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" + common + body;
    SendAll(fd, response.data(), response.size());
    ::close(file);
    Log(peer, line, 416, 0, "(bytes */" + length + ")");
    ::close(fd);
    return;
  }
  long long first = 0, count = st.st_size;
  std::string response;
  if (range.Status == 206) {
    first = range.First;
    count = range.Last - range.First + 1;
    response = "HTTP/1.1 206 Partial Content\r\nContent-Type: application/x-7z-compressed\r\nContent-Range: bytes " +
               std::to_string(range.First) + "-" + std::to_string(range.Last) + "/" + length +
               "\r\nContent-Length: " + std::to_string(count) + "\r\n" + common;
  } else {
    response = "HTTP/1.1 200 OK\r\nContent-Type: application/x-7z-compressed\r\nContent-Length: " + length + "\r\n" +
               common;
  }
  long long sent = 0;
  bool ok = SendAll(fd, response.data(), response.size());
  if (ok && req.Method == "GET" && first > 0 && ::lseek(file, first, SEEK_SET) != first) ok = false;
  if (ok && req.Method == "GET") {
    // Streamed in chunks; with --rate each chunk waits for its share of the second.
    static constexpr size_t kChunk = 64 * 1024;
    std::string buf(kChunk, '\0');
    auto start = std::chrono::steady_clock::now();
    size_t chunk = gRate > 0 ? size_t(std::max<long long>(1, std::min<long long>(kChunk, gRate / 20))) : kChunk;
    while (sent < count) {
      ssize_t n = ::read(file, buf.data(), size_t(std::min<long long>(chunk, count - sent)));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0 || !SendAll(fd, buf.data(), size_t(n))) {
        ok = false;
        break;
      }
      sent += n;
      if (gRate > 0) {
        auto due = start + std::chrono::microseconds(sent * 1000000 / gRate);
        std::this_thread::sleep_until(due);
      }
    }
  }
  ::close(file);
  std::string note = range.Status == 206 ? "(bytes " + std::to_string(range.First) + "-" + std::to_string(range.Last) +
                                               "/" + length + ")"
                                         : "";
  if (!ok) note += std::string(note.empty() ? "" : " ") + "(transfer broken off)";
  Log(peer, line, range.Status, sent, note);
  ::close(fd);
}

}  // namespace

int main(int argc, char** argv) {
  std::string bindAddr = "127.0.0.1";
  long long port = 17080;  // the default edition's update host
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--help" || a == "-h") return Usage(nullptr), 0;
    if (i + 1 >= argc) return Usage(("missing value for " + a).c_str());
    const char* v = argv[++i];
    if (a == "--root") {
      gRoot = v;
    } else if (a == "--port") {
      if (!ParseNumber(v, 0, 65535, port)) return Usage("--port wants a number from 0 to 65535");
    } else if (a == "--bind") {
      bindAddr = v;
    } else if (a == "--rate") {
      if (!ParseNumber(v, 1, 1LL << 40, gRate)) return Usage("--rate wants a positive number of bytes a second");
    } else {
      return Usage(("unknown argument " + a).c_str());
    }
  }
  struct stat st {};
  if (gRoot.empty()) return Usage("--root is required");
  if (::stat(gRoot.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return Usage(("not a folder: " + gRoot).c_str());
  while (gRoot.size() > 1 && gRoot.back() == '/') gRoot.pop_back();

  sockaddr_storage addr{};
  socklen_t addrLen = 0;
  auto* v4 = reinterpret_cast<sockaddr_in*>(&addr);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&addr);
  if (inet_pton(AF_INET, bindAddr.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(uint16_t(port));
    addrLen = sizeof *v4;
  } else if (inet_pton(AF_INET6, bindAddr.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(uint16_t(port));
    addrLen = sizeof *v6;
  } else {
    return Usage("--bind wants an IPv4 or IPv6 address literal");
  }
  ::signal(SIGPIPE, SIG_IGN);
  int listener = ::socket(addr.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  if (listener < 0 || ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
      ::bind(listener, reinterpret_cast<sockaddr*>(&addr), addrLen) != 0 || ::listen(listener, 64) != 0) {
    std::fprintf(stderr, "krv-update-server: cannot listen on %s port %lld: %s\n", bindAddr.c_str(), port,
                 std::strerror(errno));
    return 1;
  }
  socklen_t len = sizeof addr;
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
  std::printf("krv-update-server: serving %s on http://%s/\n", gRoot.c_str(), PeerText(addr).c_str());
  std::fflush(stdout);
  for (;;) {
    sockaddr_storage peer{};
    socklen_t peerLen = sizeof peer;
    int fd = ::accept4(listener, reinterpret_cast<sockaddr*>(&peer), &peerLen, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED || errno == EMFILE || errno == ENFILE) {
        if (errno == EMFILE || errno == ENFILE) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        continue;
      }
      std::fprintf(stderr, "krv-update-server: accept failed: %s\n", std::strerror(errno));
      return 1;
    }
    std::thread(Serve, fd, peer).detach();
  }
}

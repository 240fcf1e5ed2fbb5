// krv-update-server --root DIR [--port N] [--bind ADDR] [--rate BYTES_PER_SECOND]
// Serves the archives of DIR at the downloader's update endpoint over plain HTTP/1.1, one thread
// per connection, one log line per request on stdout. Files are streamed, never loaded whole.
// A GET may ask for one byte range (206, or 416 past the end), under If-Range with the ETag or
// Last-Modified every answer carries, so a broken download can be resumed.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <string>
#include <thread>

#include "UpdateServer.h"
#include "netlib/transport/clIpAddress.h"
#include "platform/Files.h"
#include "platform/LastError.h"
#include "platform/Sockets.h"

namespace {

using platform::TSocket;

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

bool SendAll(TSocket s, const char* p, size_t n) {
  while (n > 0) {
    int w = platform::Send(s, p, int(std::min<size_t>(n, 1 << 30)));
    if (w == platform::SOCKET_ERROR && platform::WsaGetLastError() == platform::WSAEINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= size_t(w);
  }
  return true;
}

std::string PeerText(const platform::TSocketAddress& a) {
  // As addresses are usually written: hexadecimal digits of IPv6 in lower case.
  const std::string host = rtl::U8(rtl::LowerCase(netlib::SockAddrToText(a)));
  if (a.Family == platform::WSA_AF_INET6) return "[" + host + "]:" + std::to_string(a.Port);
  return (host.empty() ? "?" : host) + ":" + std::to_string(a.Port);
}

void Log(const std::string& peer, const std::string& line, int status, long long bytes, const std::string& note) {
  std::string printable;
  for (unsigned char c : line) printable += (c < 0x20 || c >= 0x7F || c == '"') ? '?' : char(c);
  std::lock_guard<std::mutex> lock(gLogLock);
  std::printf("%s \"%s\" %d %lld%s%s\n", peer.c_str(), printable.c_str(), status, bytes, note.empty() ? "" : " ",
              note.c_str());
  std::fflush(stdout);
}

void SendError(TSocket fd, int status, const std::string& reason) {
  const char* text = status == 404 ? "Not Found" : status == 405 ? "Method Not Allowed" : "Bad Request";
  std::string body = std::to_string(status) + " " + text + ": " + reason + "\n";
  std::string head = "HTTP/1.1 " + std::to_string(status) + " " + text +
                     "\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(body.size()) +
                     "\r\nConnection: close\r\n\r\n";
  SendAll(fd, (head + body).data(), head.size() + body.size());
}

// Reads the request head (up to the empty line), bounded in size; false when the peer went away,
// stayed silent past the socket's time-out or sent more than 16 KiB of head.
bool ReadHead(TSocket fd, std::string& head) {
  char buf[2048];
  while (head.find("\r\n\r\n") == std::string::npos && head.find("\n\n") == std::string::npos) {
    if (head.size() > 16384) return false;
    int n = platform::Recv(fd, buf, sizeof buf);
    if (n == platform::SOCKET_ERROR && platform::WsaGetLastError() == platform::WSAEINTR) continue;
    if (n <= 0) return false;
    head.append(buf, size_t(n));
  }
  return true;
}

// Answers one request and closes the connection.
void Answer(TSocket fd, const std::string& peer);

void Serve(TSocket fd, platform::TSocketAddress peerAddr) {
  const uint32_t timeoutMs = 30000;  // a silent or stalled peer frees its thread after 30 s
  platform::SetSockOpt(fd, platform::WSA_SOL_SOCKET, platform::WSA_SO_RCVTIMEO, &timeoutMs, sizeof timeoutMs);
  platform::SetSockOpt(fd, platform::WSA_SOL_SOCKET, platform::WSA_SO_SNDTIMEO, &timeoutMs, sizeof timeoutMs);
  Answer(fd, PeerText(peerAddr));
  platform::CloseSocket(fd);
}

void Answer(TSocket fd, const std::string& peer) {
  std::string head;
  bool complete = ReadHead(fd, head);
  std::string line = head.substr(0, head.find('\n'));
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (!complete) {
    if (!head.empty()) SendError(fd, 400, "incomplete or oversized request head");
    Log(peer, line, 400, 0, "(incomplete request head)");
    return;
  }
  krvupdate::TRequest req = krvupdate::ParseRequestLine(line);
  if (req.Status != 0) {
    SendError(fd, req.Status, req.Reason);
    Log(peer, line, req.Status, 0, "(" + req.Reason + ")");
    return;
  }
  // A regular file of the root, never through a link, never a FIFO that would hold the thread.
  // The root is opened by its name for each request: a folder put in its place is served.
  platform::TOwnedFile root(platform::OpenFolder(rtl::S(gRoot)));
  platform::TOwnedFile file(root.Valid() ? platform::OpenFileIn(root.Get(), req.FileName) : platform::INVALID_FILE_HANDLE);
  platform::TFileInfo info;
  if (!file.Valid() || !platform::GetFileInfo(file.Get(), info)) {
    SendError(fd, 404, "no archive named " + req.FileName);
    Log(peer, line, 404, 0, "(missing)");
    return;
  }
  // Validators of the version opened: a resumed download asks with If-Range for exactly it.
  constexpr uint64_t kUnixEpochTicks = 116444736000000000ULL;  // 1970 in FILETIME ticks
  const long long mtimeTicks = static_cast<long long>(info.LastWriteTime - kUnixEpochTicks);
  const long long mtimeSeconds = mtimeTicks / 10000000;
  std::string etag = krvupdate::MakeETag(info.Size, mtimeTicks * 100, info.FileId);
  std::string lastModified = krvupdate::HttpDate(mtimeSeconds);
  bool lastModifiedStrong = std::time(nullptr) - mtimeSeconds >= 1;
  krvupdate::TByteRange range =
      krvupdate::ChooseRange(req.Method, head, info.Size, etag, lastModified, lastModifiedStrong);
  std::string length = std::to_string(info.Size);
  std::string common = "ETag: " + etag + "\r\nLast-Modified: " + lastModified +
                       "\r\nAccept-Ranges: bytes\r\nConnection: close\r\n\r\n";
  if (range.Status == 416) {
    std::string body = "416 Range Not Satisfiable: the archive has " + length + " bytes\n";
    std::string response = "HTTP/1.1 416 Range Not Satisfiable\r\nContent-Type: text/plain\r\nContent-Range: bytes */" +
                           length + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" + common + body;
    SendAll(fd, response.data(), response.size());
    Log(peer, line, 416, 0, "(bytes */" + length + ")");
    return;
  }
  long long first = 0, count = info.Size;
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
  if (ok && req.Method == "GET") {
    // Streamed in chunks; with --rate each chunk waits for its share of the second.
    static constexpr size_t kChunk = 64 * 1024;
    std::string buf(kChunk, '\0');
    auto start = std::chrono::steady_clock::now();
    size_t chunk = gRate > 0 ? size_t(std::max<long long>(1, std::min<long long>(kChunk, gRate / 20))) : kChunk;
    while (sent < count) {
      uint32_t n = 0;
      if (!platform::ReadFileAt(file.Get(), first + sent, buf.data(), uint32_t(std::min<long long>(chunk, count - sent)),
                                &n) ||
          n == 0 || !SendAll(fd, buf.data(), n)) {
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
  std::string note = range.Status == 206 ? "(bytes " + std::to_string(range.First) + "-" + std::to_string(range.Last) +
                                               "/" + length + ")"
                                         : "";
  if (!ok) note += std::string(note.empty() ? "" : " ") + "(transfer broken off)";
  Log(peer, line, range.Status, sent, note);
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
  if (gRoot.empty()) return Usage("--root is required");
  if (!platform::TOwnedFile(platform::OpenFolder(rtl::S(gRoot))).Valid()) return Usage(("not a folder: " + gRoot).c_str());
  while (gRoot.size() > 1 && gRoot.back() == '/') gRoot.pop_back();

  platform::TSocketAddress addr;
  uint8_t bytes[16] = {};
  const int size = platform::ParseAddressLiteral(bindAddr.c_str(), bytes);
  if (size == 0) return Usage("--bind wants an IPv4 or IPv6 address literal");
  addr.Family = size == 4 ? platform::WSA_AF_INET : platform::WSA_AF_INET6;
  addr.Port = uint16_t(port);
  std::copy(bytes, bytes + size, addr.Address);
  platform::WsaStartup(0x0202);
  TSocket listener = platform::Socket(addr.Family, platform::WSA_SOCK_STREAM, platform::WSA_IPPROTO_TCP);
  const int one = 1;
  if (listener == platform::INVALID_SOCKET ||
      platform::SetSockOpt(listener, platform::WSA_SOL_SOCKET, platform::WSA_SO_REUSEADDR, &one, sizeof one) != 0 ||
      platform::Bind(listener, addr) != 0 || platform::Listen(listener, 64) != 0) {
    std::fprintf(stderr, "krv-update-server: cannot listen on %s port %lld: %s\n", bindAddr.c_str(), port,
                 rtl::U8(platform::SocketErrorMessage(platform::WsaGetLastError())).c_str());
    return 1;
  }
  platform::GetSockName(listener, &addr);
  std::printf("krv-update-server: serving %s on http://%s/\n", gRoot.c_str(), PeerText(addr).c_str());
  std::fflush(stdout);
  for (;;) {
    platform::TSocketAddress peer;
    TSocket fd = platform::Accept(listener, &peer);
    if (fd == platform::INVALID_SOCKET) {
      const int e = platform::WsaGetLastError();
      // Out of descriptors: the connections being served give theirs back soon.
      if (e == platform::WSAEMFILE || e == platform::WSAENOBUFS) std::this_thread::sleep_for(std::chrono::milliseconds(100));
      if (e == platform::WSAEINTR || e == platform::WSAECONNABORTED || e == platform::WSAEMFILE ||
          e == platform::WSAENOBUFS)
        continue;
      std::fprintf(stderr, "krv-update-server: accept failed: %s\n", rtl::U8(platform::SocketErrorMessage(e)).c_str());
      return 1;
    }
    std::thread(Serve, fd, peer).detach();
  }
}

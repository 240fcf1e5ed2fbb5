// 1 GiB from a loopback server read through TclTcpClient, against a plain blocking recv loop with
// the same buffer size, in the same run.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "BenchUtil.h"
#include "netlib/transport/clTcpClient.h"

namespace {

constexpr int64_t kTotal = int64_t(1) << 30;

// Sends kTotal bytes to every connection it accepts, one after the other.
class TSource {
 public:
  TSource() {
    FListen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(FListen, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 || ::listen(FListen, 4) != 0) {
      std::perror("listen");
      std::exit(1);
    }
    socklen_t len = sizeof(a);
    ::getsockname(FListen, reinterpret_cast<sockaddr*>(&a), &len);
    FPort = ntohs(a.sin_port);
    FThread = std::thread([this] { Run(); });
  }
  ~TSource() {
    FStop = true;
    ::shutdown(FListen, SHUT_RDWR);
    FThread.join();
    ::close(FListen);
  }
  int Port() const { return FPort; }

 private:
  void Run() {
    std::vector<char> buf(1 << 20);
    for (size_t i = 0; i < buf.size(); ++i) buf[i] = static_cast<char>(i * 131);
    while (!FStop) {
      int fd = ::accept4(FListen, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) return;
      int64_t left = kTotal;
      while (left > 0) {
        ssize_t n = ::send(fd, buf.data(), static_cast<size_t>(std::min<int64_t>(left, buf.size())), MSG_NOSIGNAL);
        if (n <= 0) break;
        left -= n;
      }
      ::close(fd);
    }
  }
  int FListen = -1;
  int FPort = 0;
  std::atomic<bool> FStop{false};
  std::thread FThread;
};

// Counts what is written to it and keeps nothing, so both sides do the same work.
class TSink : public rtl::TStream {
 public:
  int64_t Count = 0;
  int64_t Read(void*, int64_t) override { return 0; }
  int64_t Write(const void*, int64_t count) override {
    Count += count;
    return count;
  }
  int64_t Seek(int64_t, rtl::TSeekOrigin) override { return Count; }
};

class TBenchClient : public netlib::TclTcpClient {
 protected:
  int GetDefaultPort() const override { return 0; }
};

void Check(int64_t got, const char* who) {
  if (got != kTotal) {
    std::fprintf(stderr, "%s read %lld bytes instead of %lld\n", who, static_cast<long long>(got),
                 static_cast<long long>(kTotal));
    std::exit(1);
  }
}

void Ours(int port, int batch) {
  TBenchClient client;
  client.SetServer(u"127.0.0.1");
  client.SetPort(port);
  client.SetBatchSize(batch);
  client.Open();
  client.Connection().SetIsReadUntilClose(true);
  TSink sink;
  while (client.Active()) client.Connection().ReadData(&sink);
  client.Close();
  Check(sink.Count, "TclTcpClient");
}

void Plain(int port, int batch) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
    std::perror("connect");
    std::exit(1);
  }
  std::vector<char> buf(static_cast<size_t>(batch));
  TSink sink;
  for (;;) {
    ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
    if (n <= 0) break;
    sink.Write(buf.data(), n);
  }
  ::close(fd);
  Check(sink.Count, "recv loop");
}

}  // namespace

int main(int argc, char** argv) {
  int runs = argc > 1 ? std::atoi(argv[1]) : 5;
  TSource source;
  for (int batch : {8192, 65536}) {
    char name[64];
    std::snprintf(name, sizeof(name), "tcp_read_1GiB_batch%d", batch);
    krvbench::CompareTime(
        name, [&] { Ours(source.Port(), batch); }, [&] { Plain(source.Port(), batch); }, runs);
  }
  return 0;
}

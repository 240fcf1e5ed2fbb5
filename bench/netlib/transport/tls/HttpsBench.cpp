// A 1 GiB https download from nginx on loopback: the HTTP client over the TLS stream against curl,
// both with TLS 1.3 and TLS_AES_256_GCM_SHA384, alternating in the same run.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "BenchUtil.h"
#include "netlib/http/clHttp.h"
#include "netlib/http/clStreams.h"
#include "netlib/transport/tls/clTlsNetworkStream.h"

namespace {

int FreePort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(a);
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), len);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(fd);
  return ntohs(a.sin_port);
}

bool Run(const std::string& ACommand) { return std::system(ACommand.c_str()) == 0; }

// Counts what arrives and drops it.
class TCountStream : public netlib::TclNullStream {
 public:
  int64_t Write(const void*, int64_t ACount) override {
    Count += ACount;
    return ACount;
  }
  int64_t Count = 0;
};

}  // namespace

int main() {
  const int64_t size = int64_t(1) << 30;
  char tmpl[] = "/tmp/krv-bench-https-XXXXXX";
  if (!::mkdtemp(tmpl)) return 1;
  std::string dir = tmpl;
  ::chmod(tmpl, 0755);  // nginx's workers run as another user
  int port = FreePort();
  if (!Run("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout " + dir + "/key.pem -out " +
           dir + "/cert.pem -days 2 -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 2>/dev/null") ||
      !Run("truncate -s " + std::to_string(size) + " " + dir + "/big.bin") || !Run("mkdir -p " + dir + "/tmp"))
    return 1;
  {
    std::ofstream conf(dir + "/nginx.conf");
    conf << "worker_processes 1;\ndaemon on;\npid " << dir << "/nginx.pid;\nerror_log " << dir << "/error.log;\n"
         << "events { worker_connections 16; }\nhttp {\n access_log off;\n client_body_temp_path " << dir
         << "/tmp;\n proxy_temp_path " << dir << "/tmp;\n fastcgi_temp_path " << dir << "/tmp;\n uwsgi_temp_path "
         << dir << "/tmp;\n scgi_temp_path " << dir << "/tmp;\n server {\n  listen 127.0.0.1:" << port << " ssl;\n"
         << "  ssl_certificate " << dir << "/cert.pem;\n  ssl_certificate_key " << dir << "/key.pem;\n"
         << "  ssl_protocols TLSv1.3;\n  root " << dir << ";\n }\n}\n";
  }
  if (!Run("nginx -p " + dir + " -c " + dir + "/nginx.conf 2>/dev/null")) {
    std::fprintf(stderr, "nginx did not start\n");
    Run("rm -rf " + dir);
    return 1;
  }
  ::usleep(300000);
  std::string url = "https://127.0.0.1:" + std::to_string(port) + "/big.bin";
  bool ok = true;
  rtl::String cipher;
  auto ours = [&] {
    netlib::TclHttp http;
    http.SetCAFile(rtl::S(dir + "/cert.pem"));
    TCountStream sink;
    http.Get(rtl::S(url), &sink);
    if (auto* s = dynamic_cast<netlib::TclTlsNetworkStream*>(http.Connection().NetworkStreamOrNull()))
      cipher = s->Cipher();
    if (sink.Count != size) ok = false;
  };
  auto reference = [&] {
    if (!Run("curl -s --tlsv1.3 --tls13-ciphers TLS_AES_256_GCM_SHA384 --cacert " + dir + "/cert.pem -o /dev/null " +
             url))
      ok = false;
  };
  try {
    krvbench::CompareTime("https_download_1gib", ours, reference, 5);
  } catch (const rtl::Exception& e) {
    std::fprintf(stderr, "failed: %s\n", rtl::U8(e.Message()).c_str());
    ok = false;
  }
  std::fprintf(stderr, "our cipher: %s\n", rtl::U8(cipher).c_str());
  std::ifstream pidFile(dir + "/nginx.pid");
  int pid = 0;
  if (pidFile >> pid && pid > 0) ::kill(pid, SIGQUIT);
  ::usleep(300000);
  Run("rm -rf " + dir);
  return ok ? 0 : 1;
}

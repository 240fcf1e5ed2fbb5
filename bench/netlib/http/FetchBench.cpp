// krv-fetch against nginx started here on a loopback port, with curl fetching the same URLs in
// the same run as the reference: a 1 GiB file (default batch size and 65536, and with --retry),
// a 64 MiB text file sent gzip-compressed, 1000 small files over one kept-alive connection, and
// the peak memory of the 1 GiB download. Skips (exit 0 with a note) when nginx or curl is missing.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "BenchUtil.h"

extern char** environ;
namespace fs = std::filesystem;

namespace {

struct TRun {
  double Seconds = 0;
  long PeakKiB = 0;
  int Exit = -1;
};

// Runs a program with its output thrown away; answers wall time, peak resident size and exit code.
TRun Spawn(const std::vector<std::string>& AArgs) {
  std::vector<char*> argv;
  for (const std::string& a : AArgs) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
  TRun r;
  auto t0 = std::chrono::steady_clock::now();
  pid_t pid;
  if (posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), environ) != 0) return r;
  int status = 0;
  rusage ru{};
  wait4(pid, &status, 0, &ru);
  r.Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  r.PeakKiB = ru.ru_maxrss;
  r.Exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  posix_spawn_file_actions_destroy(&fa);
  return r;
}

int FreePort() {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  close(s);
  return ntohs(a.sin_port);
}

bool PortOpen(int APort) {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(uint16_t(APort));
  bool ok = connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  close(s);
  return ok;
}

// Times both commands `runs` times, alternating; checks every run succeeded.
void Compare(const std::string& AName, const std::vector<std::string>& AOurs, const std::vector<std::string>& ARef,
             int ARuns) {
  std::vector<double> a, b;
  for (int i = 0; i < ARuns; ++i) {
    TRun x = Spawn(AOurs), y = Spawn(ARef);
    if (x.Exit != 0 || y.Exit != 0) {
      std::fprintf(stderr, "%s: a run failed (ours %d, reference %d)\n", AName.c_str(), x.Exit, y.Exit);
      std::exit(1);
    }
    a.push_back(x.Seconds);
    b.push_back(y.Seconds);
  }
  krvbench::Report(AName, krvbench::Median(a), krvbench::Median(b), "s");
}

}  // namespace

int main(int argc, char** argv) {
  fs::path self = fs::canonical("/proc/self/exe");
  fs::path fetch = self.parent_path() / "../../../tools/krv-fetch/krv-fetch";
  if (!fs::exists("/usr/sbin/nginx") || system("curl --version > /dev/null 2>&1") != 0 || !fs::exists(fetch)) {
    std::printf("bench_http_fetch: skipped (needs /usr/sbin/nginx, curl and krv-fetch)\n");
    return 0;
  }
  int runs = argc > 1 ? std::atoi(argv[1]) : 5;
  fs::path dir = fs::temp_directory_path() / ("krv-bench-http-" + std::to_string(getpid()));
  fs::path root = dir / "root";
  fs::create_directories(root / "small");
  {
    // 1 GiB of non-zero bytes, written once.
    std::ofstream f(root / "big.bin", std::ios::binary);
    std::string block(1 << 20, '\0');
    for (size_t i = 0; i < block.size(); ++i) block[i] = char((i * 2654435761u) >> 13);
    for (int i = 0; i < 1024; ++i) f.write(block.data(), std::streamsize(block.size()));
  }
  {
    std::ofstream f(root / "text.txt", std::ios::binary);
    std::string line;
    for (int i = 0; f.tellp() < (64 << 20); ++i)
      f << "line " << i << ": the quick brown fox jumps over the lazy dog " << (i * 7919 % 100003) << "\n";
  }
  for (int i = 0; i < 1000; ++i) std::ofstream(root / "small" / (std::to_string(i) + ".txt")) << "small file " << i << "\n";
  int port = FreePort();
  {
    std::ofstream conf(dir / "nginx.conf");
    conf << "daemon off;\nmaster_process off;\nworker_processes 1;\npid " << (dir / "nginx.pid").string() << ";\n"
         << "error_log " << (dir / "error.log").string() << ";\n"
         << "events { worker_connections 64; }\n"
         << "http {\n  access_log off;\n  sendfile on;\n  keepalive_requests 100000;\n"
         << "  client_body_temp_path " << (dir / "tmp").string() << ";\n"
         << "  proxy_temp_path " << (dir / "tmp").string() << ";\n  fastcgi_temp_path " << (dir / "tmp").string() << ";\n"
         << "  uwsgi_temp_path " << (dir / "tmp").string() << ";\n  scgi_temp_path " << (dir / "tmp").string() << ";\n"
         << "  types { text/plain txt; application/octet-stream bin; }\n"
         << "  gzip on;\n  gzip_types text/plain;\n"
         << "  server {\n    listen 127.0.0.1:" << port << ";\n    root " << root.string() << ";\n  }\n}\n";
  }
  fs::create_directories(dir / "tmp");
  std::string confPath = (dir / "nginx.conf").string();
  std::vector<char*> nargv = {const_cast<char*>("/usr/sbin/nginx"), const_cast<char*>("-c"),
                              const_cast<char*>(confPath.c_str()), const_cast<char*>("-e"),
                              const_cast<char*>((dir / "error.log").c_str()), nullptr};
  std::string errLog = (dir / "error.log").string();
  nargv[4] = const_cast<char*>(errLog.c_str());
  pid_t nginx;
  if (posix_spawn(&nginx, "/usr/sbin/nginx", nullptr, nullptr, nargv.data(), environ) != 0) {
    std::fprintf(stderr, "cannot start nginx\n");
    return 1;
  }
  for (int i = 0; i < 100 && !PortOpen(port); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  std::string base = "http://127.0.0.1:" + std::to_string(port) + "/";
  std::string f = fetch.string();

  // The figures count only if the downloads are right: the text arrives gzip-coded and decodes
  // to the original bytes, the big file arrives whole.
  {
    std::string check = (dir / "check.txt").string(), log = (dir / "check.log").string();
    std::string cmd = f + " -v -o " + check + " " + base + "text.txt 2> " + log;
    bool ok = system(cmd.c_str()) == 0 && fs::file_size(check) == fs::file_size(root / "text.txt");
    std::ifstream l(log);
    std::string head((std::istreambuf_iterator<char>(l)), std::istreambuf_iterator<char>());
    ok = ok && head.find("< Content-Encoding: gzip") != std::string::npos &&
         system(("cmp -s " + check + " " + (root / "text.txt").string()).c_str()) == 0;
    cmd = f + " -o " + check + " " + base + "big.bin";
    ok = ok && system(cmd.c_str()) == 0 && system(("cmp -s " + check + " " + (root / "big.bin").string()).c_str()) == 0;
    cmd = f + " --retry 3 -o " + check + " " + base + "big.bin";
    ok = ok && system(cmd.c_str()) == 0 && system(("cmp -s " + check + " " + (root / "big.bin").string()).c_str()) == 0;
    fs::remove(check);
    if (!ok) {
      std::fprintf(stderr, "bench_http_fetch: a check download was wrong\n");
      kill(nginx, SIGTERM);
      return 1;
    }
  }
  Compare("http_1gib_default_batch", {f, "-o", "/dev/null", base + "big.bin"}, {"curl", "-s", "-o", "/dev/null", base + "big.bin"}, runs);
  Compare("http_1gib_batch_65536", {f, "--batch-size", "65536", "-o", "/dev/null", base + "big.bin"},
          {"curl", "-s", "-o", "/dev/null", base + "big.bin"}, runs);
  // The download that can resume (TclResumableDownload) on a connection that never breaks.
  Compare("http_1gib_retry", {f, "--retry", "3", "-o", "/dev/null", base + "big.bin"},
          {"curl", "-s", "--retry", "3", "-o", "/dev/null", base + "big.bin"}, runs);
  Compare("http_64mib_gzip", {f, "-o", "/dev/null", base + "text.txt"},
          {"curl", "-s", "--compressed", "-o", "/dev/null", base + "text.txt"}, runs);
  std::vector<std::string> ours = {f}, ref = {"curl", "-s"};
  for (int i = 0; i < 1000; ++i) {
    std::string url = base + "small/" + std::to_string(i) + ".txt";
    ours.insert(ours.end(), {"-o", "/dev/null"});
    ref.insert(ref.end(), {"-o", "/dev/null"});
    ours.push_back(url);
    ref.push_back(url);
  }
  Compare("http_1000_small_keepalive", ours, ref, runs);
  TRun mem = Spawn({f, "-o", "/dev/null", base + "big.bin"});
  TRun cmem = Spawn({"curl", "-s", "-o", "/dev/null", base + "big.bin"});
  krvbench::Report("http_1gib_peak_memory", double(mem.PeakKiB) / 1024, double(cmem.PeakKiB) / 1024, "MiB");

  kill(nginx, SIGTERM);
  waitpid(nginx, nullptr, 0);
  fs::remove_all(dir);
  return 0;
}

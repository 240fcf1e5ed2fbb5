// Runs krv-fetch as its users run it, from the host's shell: the Linux build's program, or in the
// Windows build krv-fetch.exe through wine-run, as a Windows user's shell would start it. The
// output goes to files the test reads afterwards.
#pragma once

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/HostCommand.h"

namespace krvtest {

struct TFetchRun {
  int Exit = -1;
  std::string Out, Err;
};

inline std::string ShellQuote(const std::string& AText) {
  std::string q = "'";
  for (char c : AText) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

inline std::string ReadWholeFile(const std::string& AFile) {
  std::ifstream f(AFile, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

// The program's command as the host's shell starts it.
inline std::string FetchToolCommand() {
#ifdef _WIN32
  return ShellQuote(std::string(KRV_BINARY_DIR) + "/wine-run") + " " +
         ShellQuote(std::string(KRV_BINARY_DIR) + "/tools/krv-fetch/krv-fetch.exe");
#else
  return ShellQuote(std::string(KRV_BINARY_DIR) + "/tools/krv-fetch/krv-fetch");
#endif
}

// krv-fetch with no proxy variable but those of AEnvironment ("NAME=value"); bounded in time.
inline TFetchRun RunFetchTool(const std::vector<std::string>& AEnvironment, const std::vector<std::string>& AArgs) {
  static std::atomic<int> counter{0};
  // CTest runs the cases as parallel processes: each keeps its own files.
  const std::string base =
      std::string(KRV_BINARY_DIR) + "/fetch-run-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
  std::string cmd = "timeout 120 env";
  for (const char* proxy : {"http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY", "no_proxy", "NO_PROXY"})
    cmd += std::string(" -u ") + proxy;
  for (const std::string& e : AEnvironment) cmd += " " + ShellQuote(e);
  cmd += " " + FetchToolCommand();
  for (const std::string& a : AArgs) cmd += " " + ShellQuote(a);
  cmd += " </dev/null >" + ShellQuote(base + ".out") + " 2>" + ShellQuote(base + ".err");
  TFetchRun r;
  r.Exit = RunHostCommand(cmd);
  r.Out = ReadWholeFile(base + ".out");
  r.Err = ReadWholeFile(base + ".err");
#ifdef _WIN32
  // Standard error is a text stream on Windows: its lines end in CR LF there.
  for (size_t p; (p = r.Err.find("\r\n")) != std::string::npos;) r.Err.erase(p, 1);
#endif
  std::remove((base + ".out").c_str());
  std::remove((base + ".err").c_str());
  return r;
}

}  // namespace krvtest

// Runs krv-fetch as its users run it, from the host's shell: the Linux build's program, or in the
// Windows build krv-fetch.exe through wine-run, as a Windows user's shell would start it.
#pragma once

#include <string>
#include <vector>

#include "tests/HostCommand.h"

namespace krvtest {

// krv-fetch with no proxy variable but those of AEnvironment ("NAME=value"); bounded in time.
inline THostRun RunFetchTool(const std::vector<std::string>& AEnvironment, const std::vector<std::string>& AArgs) {
  std::string cmd = "env";
  for (const char* proxy : {"http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY", "no_proxy", "NO_PROXY"})
    cmd += std::string(" -u ") + proxy;
  for (const std::string& e : AEnvironment) cmd += " " + ShellQuote(e);
  cmd += " " + BuildProgram(std::string(KRV_BINARY_DIR) + "/tools/krv-fetch/krv-fetch");
  for (const std::string& a : AArgs) cmd += " " + ShellQuote(a);
  THostRun r = RunHostCaptured(cmd);
#ifdef _WIN32
  // Standard error is a text stream on Windows: its lines end in CR LF there.
  for (size_t p; (p = r.Err.find("\r\n")) != std::string::npos;) r.Err.erase(p, 1);
#endif
  return r;
}

}  // namespace krvtest

// Fuzz entry: any bytes as the update server's request line. The answer must be a status of its
// own set, and a file name only with status 0, never with "/", "\" or "..".
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "UpdateServer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  krvupdate::TRequest r = krvupdate::ParseRequestLine(std::string(reinterpret_cast<const char*>(data), size));
  if (r.Status != 0 && r.Status != 400 && r.Status != 404 && r.Status != 405) std::abort();
  if (r.Status == 0 && (r.FileName.empty() || r.FileName.find('/') != std::string::npos ||
                        r.FileName.find('\\') != std::string::npos || r.FileName.find("..") != std::string::npos))
    std::abort();
  if (r.Status != 0 && !r.FileName.empty()) std::abort();
  return 0;
}

// Fuzz entry: any bytes as the update server's request head. The request line's answer must be
// a status of its own set, and a file name only with status 0, never with "/", "\" or "..". The
// range chosen from the head's fields must lie inside the file, for several file lengths.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "UpdateServer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string head(reinterpret_cast<const char*>(data), size);
  krvupdate::TRequest r = krvupdate::ParseRequestLine(head.substr(0, head.find('\n')));
  if (r.Status != 0 && r.Status != 400 && r.Status != 404 && r.Status != 405) std::abort();
  if (r.Status == 0 && (r.FileName.empty() || r.FileName.find('/') != std::string::npos ||
                        r.FileName.find('\\') != std::string::npos || r.FileName.find("..") != std::string::npos))
    std::abort();
  if (r.Status != 0 && !r.FileName.empty()) std::abort();
  const std::string etag = krvupdate::MakeETag(1000, 1700000000123456789LL, 42);
  const std::string date = krvupdate::HttpDate(1700000000);
  for (long long length : {0LL, 1LL, 1000LL, 9223372036854775807LL}) {
    for (const char* method : {"GET", "HEAD"}) {
      krvupdate::TByteRange range = krvupdate::ChooseRange(method, head, length, etag, date, true);
      if (range.Status == 206 && (range.First < 0 || range.First > range.Last || range.Last >= length)) std::abort();
      if (range.Status != 200 && range.Status != 206 && range.Status != 416) std::abort();
      if (range.Status != 200 && std::string(method) != "GET") std::abort();
    }
  }
  return 0;
}

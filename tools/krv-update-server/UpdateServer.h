// The update server's request handling, apart from sockets so it can be tested and fuzzed:
// the request line and its archive name.
#pragma once

#include <string>

namespace krvupdate {

struct TRequest {
  int Status = 0;         // 0: serve FileName; else the error status to answer
  std::string Reason;     // why, for the error page and the log
  std::string Method;     // "GET" or "HEAD"
  std::string FileName;   // the archive name (FNM), percent-decoded
};

// Reads "<method> <target> HTTP/x.y" and answers what to do: 200 work only for GET/HEAD of
// /mainweb/upgrade/GETFILE.ASP (any letter case) with an FNM value that is a plain file name
// (no "/", "\", "..", control characters, nor empty).
TRequest ParseRequestLine(const std::string& line);
// "%xx" decoding ("+" stays as it is: the downloader never escapes its names); false on a bad escape.
bool PercentDecode(const std::string& in, std::string& out);

}  // namespace krvupdate

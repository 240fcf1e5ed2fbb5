// The update server's request handling, apart from sockets so it can be tested and fuzzed:
// the request line and its archive name, the head's fields, byte ranges and validators.
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

// The value of the head's field `name` (any letter case, blanks around it trimmed) and how often
// the field came; the request line (the head's first line) is no field.
int FindField(const std::string& head, const std::string& name, std::string& value);

// What a GET is answered with: 200 the whole file, 206 bytes First..Last, 416 none of it.
struct TByteRange {
  int Status = 200;
  long long First = 0;
  long long Last = -1;
};

// One range of a "Range: bytes=..." value ("N-", "N-M", "-N") against a file of `length` bytes.
// Anything else (other units, lists of ranges, malformed or inverted ranges) is ignored: 200.
TByteRange ParseRange(const std::string& value, long long length);

// The file version's validators: a strong entity tag (size, modification time in nanoseconds,
// inode; quoted) and the modification time as an HTTP date (IMF-fixdate).
std::string MakeETag(long long size, long long mtimeNs, unsigned long long inode);
std::string HttpDate(long long unixSeconds);

// The range to answer for the request `head`: Range counts only for GET, only when it is one
// field, and, with If-Range, only when that names this version: the entity tag exactly, or the
// Last-Modified date when that is a strong validator (the file is older than a second).
TByteRange ChooseRange(const std::string& method, const std::string& head, long long length, const std::string& etag,
                       const std::string& lastModified, bool lastModifiedStrong);

}  // namespace krvupdate

#include "UpdateServer.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ctime>

namespace krvupdate {

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return char(std::tolower(c)); });
  return s;
}

// `b` is lower case.
bool SameText(const std::string& a, const char* b) { return Lower(a) == b; }

TRequest Fail(int status, const char* reason) {
  TRequest r;
  r.Status = status;
  r.Reason = reason;
  return r;
}

}  // namespace

bool PercentDecode(const std::string& in, std::string& out) {
  out.clear();
  for (size_t i = 0; i < in.size(); ++i) {
    if (in[i] != '%') {
      out += in[i];
      continue;
    }
    if (i + 2 >= in.size()) return false;
    int hi = HexValue(in[i + 1]), lo = HexValue(in[i + 2]);
    if (hi < 0 || lo < 0) return false;
    out += char(hi * 16 + lo);
    i += 2;
  }
  return true;
}

TRequest ParseRequestLine(const std::string& line) {
  size_t sp1 = line.find(' ');
  size_t sp2 = sp1 == std::string::npos ? sp1 : line.find(' ', sp1 + 1);
  if (sp2 == std::string::npos || line.find(' ', sp2 + 1) != std::string::npos)
    return Fail(400, "malformed request line");
  std::string method = line.substr(0, sp1), target = line.substr(sp1 + 1, sp2 - sp1 - 1),
              version = line.substr(sp2 + 1);
  if (version != "HTTP/1.1" && version != "HTTP/1.0") return Fail(400, "unsupported HTTP version");
  if (method != "GET" && method != "HEAD") return Fail(405, "only GET and HEAD are served");
  size_t q = target.find('?');
  std::string path = target.substr(0, q);
  if (!SameText(path, "/mainweb/upgrade/getfile.asp")) return Fail(404, "no such endpoint");
  std::string query = q == std::string::npos ? std::string() : target.substr(q + 1);
  std::string name;
  bool found = false;
  for (size_t p = 0; p <= query.size();) {
    size_t amp = query.find('&', p);
    if (amp == std::string::npos) amp = query.size();
    std::string pair = query.substr(p, amp - p);
    size_t eq = pair.find('=');
    if (eq != std::string::npos && SameText(pair.substr(0, eq), "fnm") && !found) {
      found = true;
      if (!PercentDecode(pair.substr(eq + 1), name)) return Fail(400, "bad escape in FNM");
    }
    p = amp + 1;
  }
  if (!found || name.empty()) return Fail(400, "no archive name (FNM)");
  if (name.find('/') != std::string::npos || name.find('\\') != std::string::npos ||
      name.find("..") != std::string::npos)
    return Fail(400, "archive names with \"/\", \"\\\" or \"..\" are refused");
  for (unsigned char c : name)
    if (c < 0x20 || c == 0x7F) return Fail(400, "archive names with control characters are refused");
  TRequest r;
  r.Method = method;
  r.FileName = name;
  return r;
}

int FindField(const std::string& head, const std::string& name, std::string& value) {
  int count = 0;
  size_t p = head.find('\n');
  while (p != std::string::npos && p + 1 < head.size()) {
    size_t start = p + 1;
    p = head.find('\n', start);
    std::string line = head.substr(start, p == std::string::npos ? std::string::npos : p - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) break;  // the end of the head
    size_t colon = line.find(':');
    if (colon == std::string::npos || !SameText(line.substr(0, colon), Lower(name).c_str())) continue;
    if (++count > 1) continue;
    size_t b = line.find_first_not_of(" \t", colon + 1), e = line.find_last_not_of(" \t");
    value = b == std::string::npos ? std::string() : line.substr(b, e - b + 1);
  }
  return count;
}

TByteRange ParseRange(const std::string& value, long long length) {
  TByteRange whole;
  if (value.size() < 6 || !SameText(value.substr(0, 6), "bytes=")) return whole;
  std::string spec = value.substr(6);
  size_t dash = spec.find('-');
  if (dash == std::string::npos || spec.find('-', dash + 1) != std::string::npos) return whole;
  std::string first = spec.substr(0, dash), last = spec.substr(dash + 1);
  // Up to 18 digits: the value stays below 2^63.
  auto number = [](const std::string& text, long long& v) {
    if (text.empty() || text.size() > 18) return false;
    v = 0;
    for (char c : text) {
      if (c < '0' || c > '9') return false;
      v = v * 10 + (c - '0');
    }
    return true;
  };
  long long a = 0, b = 0;
  TByteRange r;
  if (first.empty()) {
    // "-N": the last N bytes; none of an empty file, and "-0" asks for nothing.
    if (!number(last, b)) return whole;
    if (b == 0 || length == 0) return {416, 0, -1};
    r.First = b >= length ? 0 : length - b;
    r.Last = length - 1;
  } else {
    if (!number(first, a) || (!last.empty() && (!number(last, b) || b < a))) return whole;
    if (a >= length) return {416, 0, -1};
    r.First = a;
    r.Last = last.empty() || b >= length ? length - 1 : b;
  }
  r.Status = 206;
  return r;
}

std::string MakeETag(long long size, long long mtimeNs, unsigned long long inode) {
  char text[80];
  std::snprintf(text, sizeof text, "\"%llx-%llx-%llx\"", static_cast<unsigned long long>(size),
                static_cast<unsigned long long>(mtimeNs), inode);
  return text;
}

std::string HttpDate(long long unixSeconds) {
  static const char* const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  time_t t = static_cast<time_t>(unixSeconds);
  tm g{};
  if (!gmtime_r(&t, &g)) return "Thu, 01 Jan 1970 00:00:00 GMT";
  char text[64];
  std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d GMT", days[g.tm_wday], g.tm_mday,
                months[g.tm_mon], g.tm_year + 1900, g.tm_hour, g.tm_min, g.tm_sec);
  return text;
}

TByteRange ChooseRange(const std::string& method, const std::string& head, long long length, const std::string& etag,
                       const std::string& lastModified, bool lastModifiedStrong) {
  std::string range, ifRange;
  if (method != "GET" || FindField(head, "Range", range) != 1) return {};
  int conditions = FindField(head, "If-Range", ifRange);
  if (conditions > 1) return {};
  if (conditions == 1) {
    // Entity tags compare strongly (a weak "W/" tag never matches); else it is a date.
    bool holds = !ifRange.empty() && ifRange[0] == '"' ? ifRange == etag
                                                      : lastModifiedStrong && ifRange == lastModified;
    if (!holds) return {};
  }
  return ParseRange(range, length);
}

}  // namespace krvupdate

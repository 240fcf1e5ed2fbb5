#include "UpdateServer.h"

#include <algorithm>
#include <cctype>

namespace krvupdate {

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool SameText(const std::string& a, const char* b) {
  std::string l = a;
  std::transform(l.begin(), l.end(), l.begin(), [](unsigned char c) { return char(std::tolower(c)); });
  return l == b;
}

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

}  // namespace krvupdate

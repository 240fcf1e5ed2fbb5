// The checks a resumed download puts a response head through, on arbitrary heads. The first line
// is the copy held: "FROM LENGTH VALIDATOR" (LENGTH -1 when not known; VALIDATOR "-" for none,
// "etag" or "date" to take the head's own, else the text itself as an ETag). A 206 accepted as the
// rest must be exactly that: one Content-Range from FROM to the end of a resource of the known
// length, framed by a Content-Length of its range, without a coding, of the same version.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "netlib/http/clResumableDownload.h"
#include "rtl/Ansi.h"

using namespace netlib;

namespace {

int64_t Number(const std::string& AText) {
  int64_t v = 0;
  bool negative = !AText.empty() && AText[0] == '-';
  for (size_t i = negative ? 1 : 0; i < AText.size() && i < 12; ++i) {
    if (AText[i] < '0' || AText[i] > '9') break;
    v = v * 10 + (AText[i] - '0');
  }
  return negative ? -1 : v;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  size_t nl = text.find('\n');
  std::string point = text.substr(0, nl), head = nl == std::string::npos ? std::string() : text.substr(nl + 1);
  size_t s1 = point.find(' '), s2 = s1 == std::string::npos ? s1 : point.find(' ', s1 + 1);
  int64_t from = Number(point.substr(0, s1));
  int64_t known = s1 == std::string::npos ? -1 : Number(point.substr(s1 + 1, s2 - s1 - 1));
  std::string validatorText = s2 == std::string::npos ? "-" : point.substr(s2 + 1);

  rtl::TStringList lines;
  lines.SetText(rtl::AnsiToString(reinterpret_cast<const uint8_t*>(head.data()), head.size()));
  TclResumeHead h(lines);

  for (const rtl::String& value : h.ContentRange()) {
    int64_t first = 0, last = 0, length = 0;
    if (!ParseContentRange(value, first, last, length)) continue;
    bool whole = first == -1 && last == -1 && length >= 0;
    bool part = first >= 0 && first <= last && (length < 0 || last < length);
    if (!whole && !part) std::abort();
  }
  int64_t whole = h.WholeLength();
  if (whole >= 0 && (h.ContentLength().size() != 1 || !h.TransferEncoding().empty() || h.Coded())) std::abort();

  bool isETag = true;
  rtl::String validator;
  if (validatorText == "etag" || validatorText == "date") {
    validator = h.Validator(isETag);
    if (!validator.empty() && isETag != (validatorText == "etag")) validator.clear();
  } else if (validatorText != "-") {
    validator = rtl::AnsiToString(reinterpret_cast<const uint8_t*>(validatorText.data()), validatorText.size());
  }
  if (!validator.empty() && isETag && validator[0] != u'"' && validatorText == "etag") std::abort();  // never weak

  int64_t length = known;
  rtl::String why = h.CheckPartial(from, length, validator, isETag);
  if (!why.empty()) return 0;
  int64_t first = 0, last = 0, total = 0, declared = -1;
  if (h.ContentRange().size() != 1 || !ParseContentRange(h.ContentRange()[0], first, last, total)) std::abort();
  if (first != from || total != length || last != length - 1 || (known >= 0 && length != known)) std::abort();
  if (h.ContentLength().size() != 1 || !h.TransferEncoding().empty() || h.Coded()) std::abort();
  declared = std::stoll(rtl::U8(rtl::Trim(h.ContentLength()[0])));
  if (declared != last - first + 1) std::abort();
  if (!validator.empty()) {
    const std::vector<rtl::String>& theirs = isETag ? h.ETag() : h.LastModified();
    if (theirs.size() != 1 || theirs[0] != validator) std::abort();
  }
  return 0;
}

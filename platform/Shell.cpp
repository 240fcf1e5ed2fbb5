// The shell's rules for splitting a parameter string into arguments.
#include "platform/Shell.h"

namespace platform {

std::vector<rtl::String> CommandLineToArgs(std::u16string_view s) {
  std::vector<rtl::String> args;
  const size_t n = s.size();
  size_t i = 0;
  auto blank = [&](size_t k) { return s[k] == u' ' || s[k] == u'\t'; };
  while (true) {
    while (i < n && blank(i)) ++i;
    if (i >= n) break;
    rtl::String arg;
    bool quoted = false;
    while (i < n && (quoted || !blank(i))) {
      if (s[i] == u'\\') {
        size_t k = 0;
        while (i + k < n && s[i + k] == u'\\') ++k;
        if (i + k < n && s[i + k] == u'"') {
          arg.append(k / 2, u'\\');
          i += k;
          if (k % 2 == 1) {  // an escaped quote
            arg.push_back(u'"');
            ++i;
          }
          continue;  // an even run leaves the quote to the rule below
        }
        arg.append(k, u'\\');
        i += k;
        continue;
      }
      if (s[i] == u'"') {
        if (!quoted) {
          quoted = true;
          ++i;
        } else if (i + 1 < n && s[i + 1] == u'"') {
          arg.push_back(u'"');
          i += 2;
          quoted = false;
        } else {
          quoted = false;
          ++i;
        }
        continue;
      }
      arg.push_back(s[i++]);
    }
    args.push_back(std::move(arg));
  }
  return args;
}

}  // namespace platform

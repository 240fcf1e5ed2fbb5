// Volume naming and guessing over arbitrary names. The input is lines: the archive name, then
// names that exist. The guess must end, name an existing volume (or the given one) of the same
// archive, and never go below the given number. The stored-path rules must take any name: a path
// let through, in this system's form, neither starts at a root nor climbs, and its shown form
// holds no control character.
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>

#include "rtl/SysUtils.h"
#include "sevenzip/SevenZipCallbacks.h"
#include "sevenzip/VolumeNames.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  std::set<rtl::String> present;
  rtl::String name;
  size_t start = 0;
  bool first = true;
  while (start <= text.size()) {
    size_t nl = text.find('\n', start);
    if (nl == std::string::npos) nl = text.size();
    rtl::String line = rtl::S(text.substr(start, nl - start));
    if (first)
      name = line;
    else
      present.insert(line);
    first = false;
    start = nl + 1;
  }
  auto exists = [&](const rtl::String& n) { return present.count(n) > 0; };

  int n = sevenzip::VolumeNumberOf(name);
  if (n < -1) std::abort();
  for (int k : {1, 2, 3, 999, 1000}) {
    for (bool sfx : {false, true}) {
      rtl::String v = sevenzip::VolumeName(name, k, sfx);
      if (sevenzip::VolumeNumberOf(v) != k) std::abort();
      if (!sevenzip::BelongsToArchive(v, name, sfx) && sfx) std::abort();
    }
  }
  rtl::String guess = sevenzip::GuessLastVolume(name, exists);
  if (n < 0) {
    if (!guess.empty()) std::abort();
  } else {
    int g = sevenzip::VolumeNumberOf(guess);
    if (g < n) std::abort();
    if (g > n && !exists(guess)) std::abort();
    if (!sevenzip::BelongsToArchive(guess, name, false)) std::abort();
  }
  if (!sevenzip::IsUnsafeStoredPath(name)) {
    rtl::String native = sevenzip::NativeStoredPath(name);
    if (!native.empty() && native[0] == rtl::PathDelim) std::abort();
    size_t from = 0;
    for (;;) {
      size_t to = native.find(rtl::PathDelim, from);
      if (native.substr(from, to == rtl::String::npos ? to : to - from) == u"..") std::abort();
      if (to == rtl::String::npos) break;
      from = to + 1;
    }
  }
  sevenzip::StoredNameRefusal(name);
  for (char16_t c : sevenzip::EscapedStoredPath(name))
    if (c < 0x20 || c == 0x7F) std::abort();
  return 0;
}

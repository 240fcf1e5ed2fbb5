#include "sevenzip/VolumeNames.h"

namespace sevenzip {

namespace {
// Everything before the last extension (the whole name when it has none).
rtl::String WithoutExt(const rtl::String& name) { return rtl::ChangeFileExt(name, u""); }
}  // namespace

int VolumeNumberOf(std::u16string_view name) {
  rtl::String ext = rtl::ExtractFileExt(name);
  if (ext.size() < 2 || ext.size() > 10) return -1;
  int n = 0;
  for (size_t i = 1; i < ext.size(); ++i) {
    char16_t c = ext[i];
    if (c < u'0' || c > u'9') return -1;
    n = n * 10 + (c - u'0');
  }
  return n;
}

rtl::String PadVolumeNumber(int n) {
  rtl::String s = rtl::IntToStr(n);
  while (s.size() < 3) s.insert(s.begin(), u'0');
  return s;
}

rtl::String VolumeName(const rtl::String& arcName, int k, bool isSFX) {
  return (isSFX ? arcName : WithoutExt(arcName)) + u"." + PadVolumeNumber(k);
}

rtl::String GuessLastVolume(const rtl::String& name, const TNameExists& exists) {
  int n = VolumeNumberOf(name);
  if (n < 0) return rtl::String();
  rtl::String base = WithoutExt(name);
  rtl::String candidate = base + u"." + PadVolumeNumber(n);
  // Nine digits at most: the probe stops before the number could overflow.
  while (n < 999999999) {
    rtl::String next = base + u"." + PadVolumeNumber(n + 1);
    if (!exists(next)) break;
    candidate = next;
    ++n;
  }
  return candidate;
}

bool BelongsToArchive(const rtl::String& name, const rtl::String& firstVolume, bool isSFX) {
  rtl::String chosen = rtl::ExtractFileName(name);
  rtl::String first = rtl::ExtractFileName(firstVolume);
  if (isSFX) return rtl::AnsiUpperCase(WithoutExt(chosen)) == rtl::AnsiUpperCase(first);
  return rtl::AnsiUpperCase(rtl::ChangeFileExt(chosen, rtl::ExtractFileExt(first))) == rtl::AnsiUpperCase(first);
}

}  // namespace sevenzip

// Names of the numbered volumes of a split archive, and the guess of the last one. Pure functions
// over names so they can be checked (and fuzzed) without any file.
#pragma once

#include <functional>

#include "rtl/SysUtils.h"

namespace sevenzip {

// The number an extension carries ("data.7z.003" -> 3), or -1 when the extension is not a whole
// decimal number (digits only, at most nine, so it always fits).
int VolumeNumberOf(std::u16string_view name);
// n in decimal, padded on the left with "0" to at least three digits.
rtl::String PadVolumeNumber(int n);
// Volume k's name: setup.exe -> setup.exe.002 for a self-extractor; data.7z.001 -> data.7z.002
// otherwise (the first file's last extension is replaced).
rtl::String VolumeName(const rtl::String& arcName, int k, bool isSFX);
// The highest consecutively numbered volume present, starting from the given one; empty when the
// name carries no number. `exists` is asked for the names to probe.
using TNameExists = std::function<bool(const rtl::String&)>;
rtl::String GuessLastVolume(const rtl::String& name, const TNameExists& exists);
// Whether a chosen name is a volume of the archive whose first volume is firstVolume (file names
// only, upper-cased).
bool BelongsToArchive(const rtl::String& name, const rtl::String& firstVolume, bool isSFX);

}  // namespace sevenzip

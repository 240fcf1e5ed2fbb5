// The embedded settings go through the string list loader into the INI structure: any bytes
// must load and answer look-ups.
#include <cstdint>
#include <cstdlib>

#include "rtl/Classes.h"
#include "rtl/IniFiles.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  rtl::TBytesStream stream(rtl::Bytes(data, data + size));
  rtl::TStringList lines;
  lines.LoadFromStream(stream);
  rtl::TMemIniFile ini(lines);
  rtl::TStringList sections;
  ini.ReadSections(sections);
  for (const rtl::String& section : sections) {
    if (!ini.SectionExists(section)) std::abort();
    rtl::TStringList keys;
    ini.ReadSection(section, keys);
    for (const rtl::String& key : keys) {
      if (!ini.ValueExists(section, key)) std::abort();
      ini.ReadString(section, key, u"default");
    }
  }
  ini.ReadString(u"global", u"Version", u"");
  return 0;
}

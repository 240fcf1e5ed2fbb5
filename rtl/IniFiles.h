// The in-memory INI structure (no file behind it).
#pragma once

#include <vector>

#include "rtl/Classes.h"

namespace rtl {

// Loading rules: each line trimmed (codes 32 and below); empty lines and ";" comments skipped;
// "[name]" opens a section (name trimmed); other lines before the first section are ignored;
// a line is split at its first "=", name and value trimmed; a line without "=" is an entry
// without value. Names compare without regard to ASCII case; the first occurrence wins.
class TMemIniFile {
 public:
  TMemIniFile() = default;
  explicit TMemIniFile(const TStringList& lines) { SetStrings(lines); }
  void SetStrings(const TStringList& lines);
  void Clear() { FSections.clear(); }

  // The default only when the key is absent; a key with an empty value gives "".
  String ReadString(std::u16string_view section, std::u16string_view ident, const String& def) const;
  bool SectionExists(std::u16string_view section) const;
  bool ValueExists(std::u16string_view section, std::u16string_view ident) const;
  void ReadSections(TStringList& list) const;
  void ReadSection(std::u16string_view section, TStringList& list) const;  // the key names

 private:
  struct Entry { String name, value; };
  struct Section { String name; std::vector<Entry> entries; };
  const Section* FindSection(std::u16string_view section) const;
  const Entry* FindEntry(std::u16string_view section, std::u16string_view ident) const;
  std::vector<Section> FSections;
};

}  // namespace rtl

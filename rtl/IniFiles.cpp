#include "rtl/IniFiles.h"

namespace rtl {

void TMemIniFile::SetStrings(const TStringList& lines) {
  FSections.clear();
  Section* current = nullptr;
  for (const String& raw : lines) {
    String line = Trim(raw);
    if (line.empty() || line[0] == u';') continue;
    if (line.front() == u'[' && line.back() == u']' && line.size() >= 2) {
      // A repeated section header opens a section that look-ups never reach: the first wins.
      FSections.push_back(Section{Trim(std::u16string_view(line).substr(1, line.size() - 2)), {}});
      current = &FSections.back();
      continue;
    }
    if (!current) continue;
    size_t eq = line.find(u'=');
    if (eq == String::npos) current->entries.push_back(Entry{line, String()});
    else current->entries.push_back(Entry{Trim(std::u16string_view(line).substr(0, eq)), Trim(std::u16string_view(line).substr(eq + 1))});
  }
}

const TMemIniFile::Section* TMemIniFile::FindSection(std::u16string_view section) const {
  for (auto& s : FSections)
    if (SameText(s.name, section)) return &s;
  return nullptr;
}

const TMemIniFile::Entry* TMemIniFile::FindEntry(std::u16string_view section, std::u16string_view ident) const {
  const Section* s = FindSection(section);
  if (!s) return nullptr;
  for (auto& e : s->entries)
    if (SameText(e.name, ident)) return &e;
  return nullptr;
}

String TMemIniFile::ReadString(std::u16string_view section, std::u16string_view ident, const String& def) const {
  const Entry* e = FindEntry(section, ident);
  return e ? e->value : def;
}

bool TMemIniFile::SectionExists(std::u16string_view section) const { return FindSection(section) != nullptr; }
bool TMemIniFile::ValueExists(std::u16string_view section, std::u16string_view ident) const {
  return FindEntry(section, ident) != nullptr;
}

void TMemIniFile::ReadSections(TStringList& list) const {
  list.BeginUpdate();
  list.Clear();
  for (auto& s : FSections) list.Add(s.name);
  list.EndUpdate();
}

void TMemIniFile::ReadSection(std::u16string_view section, TStringList& list) const {
  list.BeginUpdate();
  list.Clear();
  if (const Section* s = FindSection(section))
    for (auto& e : s->entries) list.Add(e.name);
  list.EndUpdate();
}

}  // namespace rtl

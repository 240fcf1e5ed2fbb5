// Resources of the running executable: the PE resources that windres compiled into it
// (cmake/KrvResources.cmake), found and read through the system's resource functions.
#include "platform/Resources.h"

#include <deque>
#include <string>
#include <vector>

#include "rtl/win32/WinApi.h"

#undef FindResource  // the system's A/W macro; ours is platform::FindResource

namespace platform {

namespace {

// Every resource of the executable, enumerated once; the texts of types and names are kept here
// because the system hands them over only for the length of a callback (a deque: the entries
// point into texts that never move).
struct TTable {
  TTable();
  TTable(const TTable&) = delete;
  TTable& operator=(const TTable&) = delete;
  std::deque<std::u16string> Texts;
  std::vector<TResourceEntry> Entries;
};

HMODULE Executable() { return ::GetModuleHandleW(nullptr); }

// "#<number>" for a numeric identifier, the text itself for a named one.
std::u16string IdText(LPCWSTR id) {
  if (IS_INTRESOURCE(id)) {
    std::string digits = std::to_string(reinterpret_cast<uintptr_t>(id));
    return u"#" + std::u16string(digits.begin(), digits.end());
  }
  return reinterpret_cast<const char16_t*>(id);
}

struct TEnumState {
  TTable* Table;
  const char16_t* Type;
  const char16_t* Name;
};

BOOL CALLBACK OnLanguage(HMODULE module, LPCWSTR type, LPCWSTR name, WORD language, LONG_PTR param) {
  auto* state = reinterpret_cast<TEnumState*>(param);
  HRSRC found = ::FindResourceExW(module, type, name, language);
  HGLOBAL loaded = found ? ::LoadResource(module, found) : nullptr;
  const void* data = loaded ? ::LockResource(loaded) : nullptr;
  if (data != nullptr)
    state->Table->Entries.push_back({state->Type, state->Name, language, static_cast<const uint8_t*>(data),
                                     static_cast<size_t>(::SizeofResource(module, found))});
  return TRUE;
}

BOOL CALLBACK OnName(HMODULE module, LPCWSTR type, LPWSTR name, LONG_PTR param) {
  auto* state = reinterpret_cast<TEnumState*>(param);
  state->Name = state->Table->Texts.emplace_back(IdText(name)).c_str();
  ::EnumResourceLanguagesW(module, type, name, OnLanguage, param);
  return TRUE;
}

BOOL CALLBACK OnType(HMODULE module, LPWSTR type, LONG_PTR param) {
  auto* state = reinterpret_cast<TEnumState*>(param);
  state->Type = state->Table->Texts.emplace_back(IdText(type)).c_str();
  ::EnumResourceNamesW(module, type, OnName, param);
  return TRUE;
}

TTable::TTable() {
  TEnumState state{this, nullptr, nullptr};
  ::EnumResourceTypesW(Executable(), OnType, reinterpret_cast<LONG_PTR>(&state));
}

const TTable& Table() {
  // Built on first use, which may be during module initialisation (the settings are read then).
  static const TTable table;
  return table;
}

}  // namespace

std::span<const TResourceEntry> Resources() { return Table().Entries; }

const TResourceEntry* FindResource(std::u16string_view type, std::u16string_view name) {
  // The system's own look-up ("#<number>" is a numeric identifier to it as well, and string names
  // are compared in upper case); the entry is the enumerated one holding the same bytes.
  std::u16string t(type), n(name);
  HMODULE module = Executable();
  HRSRC found = ::FindResourceW(module, reinterpret_cast<LPCWSTR>(n.c_str()), reinterpret_cast<LPCWSTR>(t.c_str()));
  HGLOBAL loaded = found ? ::LoadResource(module, found) : nullptr;
  const void* data = loaded ? ::LockResource(loaded) : nullptr;
  if (data == nullptr) return nullptr;
  for (const TResourceEntry& e : Resources())
    if (e.Data == data) return &e;
  return nullptr;
}

}  // namespace platform

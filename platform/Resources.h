// Resources compiled into the executable: a table of (type, name, language, bytes) that the
// CMake function krv_resources() generates from files. Types and names are texts ("INI",
// "SETTINGS"); numeric identifiers are written "#16". Look-ups ignore ASCII letter case and the
// language, as a look-up without a language asks for "any".
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "rtl/Classes.h"

namespace platform {

struct TResourceEntry {
  const char16_t* Type;
  const char16_t* Name;
  uint16_t Language;
  const uint8_t* Data;
  size_t Size;
};

struct TResourceTable {
  const TResourceEntry* Entries;
  size_t Count;
};

namespace detail {
// Defined by the source krv_resources() writes for an executable; an executable without
// resources links the empty default of Resources.cpp.
extern const TResourceTable KrvResourceTable;
}  // namespace detail

// Every resource of the running executable.
std::span<const TResourceEntry> Resources();
// The first resource of that type and name, nullptr when there is none.
const TResourceEntry* FindResource(std::u16string_view type, std::u16string_view name);

// A read-only stream over a resource. Raises rtl::EResNotFound "Resource <name> not found".
class TResourceStream : public rtl::TStream {
 public:
  TResourceStream(std::u16string_view name, std::u16string_view type);
  int64_t Read(void* buffer, int64_t count) override;
  // EStreamError "Can't write to a read-only resource stream".
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, rtl::TSeekOrigin origin) override;
  int64_t Size() override { return static_cast<int64_t>(FSize); }
  void SetSize(int64_t newSize) override;
  const uint8_t* Memory() const { return FData; }
  uint16_t Language() const { return FLanguage; }

 private:
  const uint8_t* FData = nullptr;
  size_t FSize = 0;
  int64_t FPosition = 0;
  uint16_t FLanguage = 0;
};

}  // namespace platform

// Resources compiled into the running executable, found by type and name. Types and names are
// texts ("INI", "SETTINGS"); numeric identifiers are written "#16". Look-ups ignore ASCII letter
// case and the language, as a look-up without a language asks for "any". How they get into the
// program is each operating system's own (a table made by cmake/KrvResources.cmake, or the
// program's resource section).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "rtl/Classes.h"

namespace platform {

// One resource; its bytes live as long as the program.
struct TResourceEntry {
  const char16_t* Type;
  const char16_t* Name;
  uint16_t Language;
  const uint8_t* Data;
  size_t Size;
};

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

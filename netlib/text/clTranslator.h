// Conversion between UTF-16 text and bytes in named character sets, in one place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "rtl/Classes.h"
#include "rtl/SysUtils.h"

namespace netlib {

// A fallback translation record: "from" maps a byte of the named set to the local byte, "to" a
// local byte to the byte of the named set.
struct TclCharSetTable {
  const char16_t* Name;  // up to 20 characters
  uint8_t FromTable[256];
  uint8_t ToTable[256];
};

constexpr int FallbackCharSetCount = 12;
// The twelve records in their fixed order; the data is generated from iconv (see
// netlib/text/gen_fallback_tables.py).
extern const TclCharSetTable FallbackCharSets[FallbackCharSetCount];
// The record of a set name (case ignored), nullptr when there is none.
const TclCharSetTable* FindFallbackCharSet(std::u16string_view ACharSet);

// Class-level operations only. An empty or unknown set name selects the system ANSI code page
// (Windows-1252). When the platform conversion fails, the fallback tables take over.
class TclTranslator {
 public:
  TclTranslator() = delete;

  static int GetByteCount(std::u16string_view AText, std::u16string_view ACharSet);
  static rtl::Bytes GetBytes(std::u16string_view AText, std::u16string_view ACharSet);
  // Writes at most AByteCount bytes of AText's encoding into ABytes; answers how many.
  static int GetBytes(std::u16string_view AText, uint8_t* ABytes, int AByteCount, std::u16string_view ACharSet);

  // One terminating zero byte at the end is left out; a count of 0 (or less) gives "".
  static rtl::String GetString(const uint8_t* ABytes, int ACount, std::u16string_view ACharSet);
  // "" when ACount <= 0; raises rtl::EConvertError when the range leaves the array.
  static rtl::String GetString(const rtl::Bytes& ABytes, int AIndex, int ACount, std::u16string_view ACharSet);
  static rtl::String GetString(const rtl::Bytes& ABytes, std::u16string_view ACharSet);

  // Byte-wise table translation over whole streams; both positions are restored afterwards.
  // TranslateTo: local bytes to the named set; TranslateFrom: the named set to local bytes.
  // A set without a table copies the bytes unchanged.
  static void TranslateTo(std::u16string_view ACharSet, rtl::TStream& ASource, rtl::TStream& ADestination);
  static void TranslateFrom(std::u16string_view ACharSet, rtl::TStream& ASource, rtl::TStream& ADestination);
  static rtl::Bytes TranslateTo(std::u16string_view ACharSet, const rtl::Bytes& ASource);
  static rtl::Bytes TranslateFrom(std::u16string_view ACharSet, const rtl::Bytes& ASource);
  // String forms: a "byte string", each code unit one byte (units above 255 become "?").
  static rtl::String TranslateTo(std::u16string_view ACharSet, std::u16string_view ASource);
  static rtl::String TranslateFrom(std::u16string_view ACharSet, std::u16string_view ASource);

  // The library's own UTF-8 codec: each UTF-16 code unit on its own (surrogate halves become
  // three-byte sequences). The string forms carry one byte per code unit.
  static rtl::Bytes TranslateToUtf8Bytes(std::u16string_view ASource);
  static rtl::String TranslateToUtf8(std::u16string_view ASource);
  // Lenient decoding: a bad continuation byte turns the pair into a space (when it is a space)
  // or the euro sign; the end counts as a zero byte. Never reads past the input.
  static rtl::String TranslateFromUtf8(const uint8_t* ASource, size_t ACount);
  static rtl::String TranslateFromUtf8(const rtl::Bytes& ASource) {
    return TranslateFromUtf8(ASource.data(), ASource.size());
  }
  static rtl::String TranslateFromUtf8(std::u16string_view ASource);
};

}  // namespace netlib

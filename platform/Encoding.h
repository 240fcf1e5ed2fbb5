// The platform's text encodings: named character sets through the operating system's converters,
// the system ANSI code page (Windows-1252) through our own table. The translator converts through
// this service only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "rtl/Exception.h"
#include "rtl/SysUtils.h"

namespace platform {

// One resolved character set. Conversions raise rtl::EEncodingError when they yield nothing for
// non-empty input (and when a limited buffer is too small); characters a set cannot carry become
// "?" (U+FFFD for the Unicode forms), and undecodable bytes become U+FFFD, as the platform does.
class TEncoding {
 public:
  virtual ~TEncoding() = default;

  // Case-insensitive standard names ("utf-8", "ISO-8859-2", "koi8-r", "windows-1251"...) and
  // "cp" followed by a code-page number ("cp1252", "cp65001", "CP866"). Surrounding blanks are
  // ignored. Raises rtl::EEncodingError for a name it cannot resolve.
  static std::unique_ptr<TEncoding> GetEncoding(std::u16string_view name);
  // Like GetEncoding but answers nullptr instead of raising.
  static std::unique_ptr<TEncoding> TryGetEncoding(std::u16string_view name);
  // A fresh copy of the system's default (ANSI) encoding, Windows-1252.
  static std::unique_ptr<TEncoding> Default();

  // The code page number (65001 for UTF-8, 1252 for the ANSI code page, 0 when none is known).
  virtual unsigned CodePage() const = 0;
  // The canonical name the set was resolved to ("UTF-8", "windows-1252", ...).
  virtual rtl::String EncodingName() const = 0;

  // Encodes the whole text.
  rtl::Bytes GetBytes(std::u16string_view text) const;
  int GetByteCount(std::u16string_view text) const;
  // Encodes the whole text into at most byteCount bytes and answers how many were written.
  // Raises rtl::EEncodingError when the encoding is longer than byteCount (nothing is written then).
  int GetBytes(std::u16string_view text, uint8_t* bytes, int byteCount) const;

  rtl::String GetString(const uint8_t* bytes, size_t count) const;
  rtl::String GetString(const rtl::Bytes& bytes) const { return GetString(bytes.data(), bytes.size()); }

 protected:
  virtual rtl::Bytes DoGetBytes(std::u16string_view text) const = 0;
  virtual rtl::String DoGetString(const uint8_t* bytes, size_t count) const = 0;
};

}  // namespace platform

// The system ANSI code page: Windows-1252 through our own table. Its five undefined bytes map to
// the C1 controls of the same value, so every byte round-trips; characters it cannot carry
// become "?", as Windows does.
#pragma once

#include <cstddef>
#include <cstdint>

#include "rtl/SysUtils.h"

namespace rtl {

constexpr unsigned AnsiCodePage = 1252;
Char AnsiByteToChar(uint8_t b);
// Answers false when the character has no byte in the code page.
bool AnsiCharToByte(Char c, uint8_t& b);
String AnsiToString(const uint8_t* data, size_t size);
inline String AnsiToString(const Bytes& b) { return AnsiToString(b.data(), b.size()); }
Bytes StringToAnsi(std::u16string_view s);

}  // namespace rtl

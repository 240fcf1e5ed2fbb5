// Internal to rtl: what its operating-system folders provide beyond the public functions they
// define (files, the environment, errors, clocks, file streams).
#pragma once

#include <cstdint>

#include "rtl/SysUtils.h"

namespace rtl::os {

// The running executable's path; empty when the system does not say.
String ExecutablePath();
// Simple Unicode case mapping of one code point (itself when it has none).
uint32_t UnicodeUpperCase(uint32_t codePoint);
uint32_t UnicodeLowerCase(uint32_t codePoint);

}  // namespace rtl::os

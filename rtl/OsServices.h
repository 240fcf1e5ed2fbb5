// Internal to rtl: what its operating-system folders provide beyond the public functions they
// define (files, the environment, errors, clocks, file streams).
#pragma once

#include <cstdint>
#include <vector>

#include "rtl/SysUtils.h"

namespace rtl::os {

// The running executable's path; empty when the system does not say.
String ExecutablePath();
// The process's arguments, program first: argv read as UTF-8 on POSIX (nothing without it); on
// Windows the system's own UTF-16 command line split as CommandLineToArgvW splits it, whatever
// argv holds.
std::vector<String> CommandLineArguments(int argc, char** argv);
// Simple Unicode case mapping of one code point (itself when it has none).
uint32_t UnicodeUpperCase(uint32_t codePoint);
uint32_t UnicodeLowerCase(uint32_t codePoint);

}  // namespace rtl::os

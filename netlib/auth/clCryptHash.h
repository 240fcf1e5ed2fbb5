// Text digests for the authorization schemes, over the runtime's own hash primitives.
#pragma once

#include "rtl/SysUtils.h"

namespace netlib {

// MD5 (RFC 1321) of every byte of AText in the system ANSI code page, as 32 lower-case
// hexadecimal digits. Characters the code page cannot carry count as "?".
rtl::String GetMD5HashText(std::u16string_view AText);

}  // namespace netlib

// Internal to the encodings: a character set of the operating system's converters.
#pragma once

#include <memory>
#include <string>

#include "platform/Encoding.h"

namespace platform {

// The set the converters know as charset ("UTF-8", "WINDOWS-1251", "CP437"; upper case), with the
// code page number it answers (0 when none is known); nullptr when the system has no such set.
std::unique_ptr<TEncoding> OpenSystemEncoding(const std::string& charset, unsigned codePage);

}  // namespace platform

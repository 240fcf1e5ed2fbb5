// Text helpers the fuzz targets share.
#pragma once

#include "rtl/SysUtils.h"

namespace krvfuzz {

// Takes the first line off the text (without its line feed) and answers it.
inline rtl::String TakeLine(rtl::String& text) {
  size_t nl = text.find(u'\n');
  rtl::String line = text.substr(0, nl);
  text = nl == rtl::String::npos ? rtl::String() : text.substr(nl + 1);
  return line;
}

}  // namespace krvfuzz

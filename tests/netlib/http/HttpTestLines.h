// Small helpers the http test programs share: header lines in and out of string lists.
#pragma once

#include <initializer_list>
#include <string>
#include <vector>

#include "rtl/Classes.h"

namespace httptest {

inline std::string A(const rtl::String& s) { return rtl::U8(s); }

inline rtl::TStringList Lines(std::initializer_list<const char16_t*> lines) {
  rtl::TStringList list;
  for (const char16_t* l : lines) list.Add(l);
  return list;
}

inline std::vector<std::string> Dump(const rtl::TStringList& list) {
  std::vector<std::string> out;
  for (const rtl::String& l : list) out.push_back(A(l));
  return out;
}

}  // namespace httptest

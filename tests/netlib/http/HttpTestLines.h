// Small helpers the http and authorization test programs share: header lines in and out of
// string lists, and a parsed URL.
#pragma once

#include <initializer_list>
#include <string>
#include <vector>

#include "netlib/http/clUriUtils.h"
#include "rtl/Classes.h"

namespace httptest {

inline std::string A(const rtl::String& s) { return rtl::U8(s); }

inline rtl::TStringList Lines(std::initializer_list<const char16_t*> lines) {
  rtl::TStringList list;
  for (const char16_t* l : lines) list.Add(l);
  return list;
}

inline netlib::TclUrlParser Url(const rtl::String& url) {
  netlib::TclUrlParser parser;
  parser.Parse(url, u"");
  return parser;
}

inline std::vector<std::string> Dump(const rtl::TStringList& list) {
  std::vector<std::string> out;
  for (const rtl::String& l : list) out.push_back(A(l));
  return out;
}

}  // namespace httptest

// The URL parser and the URL services on arbitrary text: first line the URL (and the base of the
// combination), second line a reference; the first byte picks the character set.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "netlib/http/clIdnTranslator.h"
#include "netlib/http/clUriUtils.h"
#include "netlib/http/clWinInet.h"
#include "rtl/Exception.h"

using namespace netlib;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const char16_t* const charSets[] = {u"", u"utf-8", u"us-ascii", u"iso-8859-1", u"koi8-r"};
  std::string text(reinterpret_cast<const char*>(data), size);
  const char16_t* charSet = charSets[size ? data[0] % 5 : 0];
  size_t newline = text.find('\n');
  std::string first = text.substr(0, newline);
  std::string second = newline == std::string::npos ? std::string() : text.substr(newline + 1);
  try {
    TclUrlParser parser;
    rtl::String url = rtl::Utf8ToString(first);
    rtl::String result = parser.Parse(url, charSet);
    parser.AbsolutePath();
    // A parsed URL is encoded already: parsing it again gives the same text (or nothing, when
    // the encoding made a component too long for the splitter). Only for UTF-8: a set that
    // cannot carry a character writes "?" for it, which may end the authority early.
    if (!result.empty() && charSet == charSets[1]) {
      TclUrlParser again;
      rtl::String second = again.Parse(result, charSet);
      if (!second.empty() && second != result) std::abort();
    }
    TclUrlParser::CombineUrl(rtl::Utf8ToString(second), url, charSet);
    TclUrlParser::EncodeUrl(url, charSet);
    TclIdnTranslator::GetDomainAscii(url.substr(0, 2000));
  } catch (const rtl::Exception&) {
    // EclIdnError and conversion errors are defined outcomes.
  }
  // The raw services with an explicit length (no NUL needed) and with NUL-terminated copies.
  URL_COMPONENTS uc{};
  uc.dwStructSize = sizeof(uc);
  uc.dwHostNameLength = 1;
  uc.dwUrlPathLength = 1;
  uc.dwExtraInfoLength = 1;
  if (size > 0 && InternetCrackUrlA(reinterpret_cast<const char*>(data), static_cast<uint32_t>(size), 0, &uc)) {
    const char* begin = reinterpret_cast<const char*>(data);
    if (uc.lpszHostName < begin || uc.lpszHostName + uc.dwHostNameLength > begin + size) std::abort();
    if (uc.lpszExtraInfo < begin || uc.lpszExtraInfo + uc.dwExtraInfoLength > begin + size) std::abort();
  }
  char out[64];
  uint32_t length = sizeof(out);
  InternetCombineUrlA(first.c_str(), second.c_str(), out, &length, ICU_BROWSER_MODE);
  length = sizeof(out);
  InternetCombineUrlA(second.c_str(), first.c_str(), out, &length, 0);
  return 0;
}

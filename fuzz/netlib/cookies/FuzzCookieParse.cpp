// Cookies from an arbitrary response head, through the store and back into a request head.
// Checks: every cookie taken from the head lies within the request host's domain (exactly the
// host for an address) and has a path starting with "/", the store hands out only cookies that
// match the request, and the saved form loads back unchanged.
// Input: byte 0 picks port and secure flag; then UTF-8 text: host line, path line, head lines.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz/FuzzText.h"
#include "netlib/http/clCookieManager.h"
#include "rtl/Exception.h"

using namespace netlib;
using krvfuzz::TakeLine;

namespace {

bool SameCookie(const TclCookieItem& a, const TclCookieItem& b) {
  return a.Secure() == b.Secure() && a.Value() == b.Value() && a.Expires() == b.Expires() &&
         a.Name() == b.Name() && a.Domain() == b.Domain() && a.Path() == b.Path() &&
         a.CookieData() == b.CookieData() && a.Discard() == b.Discard() && a.MaxAge() == b.MaxAge() &&
         a.Version() == b.Version() && a.Port() == b.Port() && a.CommentURL() == b.CommentURL() &&
         a.Comment() == b.Comment() && a.Format() == b.Format();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const int port = data[0] & 0x7F;
  const bool secure = data[0] & 0x80;
  rtl::String text = rtl::Utf8ToString(std::string(reinterpret_cast<const char*>(data + 1), size - 1));
  const rtl::String host = TakeLine(text);
  const rtl::String path = TakeLine(text);
  rtl::TStringList head;
  head.SetText(text);

  TclCookieList response;
  response.GetResponseCookies(head, host, path, port);
  rtl::String dottedHost = rtl::LowerCase(rtl::Trim(host));
  if (!dottedHost.empty() && dottedHost[0] != u'.') dottedHost.insert(dottedHost.begin(), u'.');
  // An address (here: digits and dots, or a bracketed IPv6 literal) never gets a wider domain.
  const bool address = !dottedHost.empty() && (dottedHost.find_first_not_of(u".0123456789") == rtl::String::npos ||
                                               dottedHost.rfind(u".[", 0) == 0);
  for (int i = 0; i < response.Count(); ++i) {
    const TclCookieItem* c = response[i];
    if (!rtl::EndsStr(rtl::LowerCase(c->Domain()), dottedHost)) std::abort();
    if (address && rtl::LowerCase(c->Domain()) != dottedHost) std::abort();
    if (c->Path().empty() || c->Path()[0] != u'/' || c->Index() != i) std::abort();
  }

  TclCookieManager store;
  store.AddCookies(response);
  TclCookieList request;
  store.GetCookies(request, host, path, port, secure);
  for (int i = 0; i < request.Count(); ++i)
    if (!TclCookieManager::MatchCookie(*request[i], host, path, port, secure)) std::abort();
  rtl::TStringList requestHead;
  requestHead.Add(u"Host: x");
  requestHead.Add(u"Cookie: old");
  request.SetRequestCookies(requestHead);

  rtl::TMemoryStream saved;
  store.Cookies()->Save(saved);
  saved.SetPosition(0);
  TclCookieList loaded;
  loaded.Load(saved);
  if (loaded.Count() != store.Cookies()->Count()) std::abort();
  for (int i = 0; i < loaded.Count(); ++i)
    if (!SameCookie(*loaded[i], *store.Cookies()->Items(i))) std::abort();
  return 0;
}

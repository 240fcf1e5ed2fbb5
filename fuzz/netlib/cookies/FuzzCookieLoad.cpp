// The saved cookie form from arbitrary bytes: either a clear read error that leaves the list
// alone, or a list whose saved form is stable from then on.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "netlib/http/clCookieManager.h"
#include "rtl/Exception.h"

using namespace netlib;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TclCookieList list;
  list.Add()->SetName(u"kept");
  rtl::TBytesStream input(rtl::Bytes(data, data + size));
  try {
    list.Load(input);
  } catch (const rtl::EReadError&) {
    if (list.Count() != 1 || list[0]->Name() != u"kept") std::abort();
    return 0;
  }
  rtl::TBytesStream first, second;
  list.Save(first);
  first.SetPosition(0);
  TclCookieList again;
  again.Load(first);
  again.Save(second);
  if (first.GetBytes() != second.GetBytes()) std::abort();
  return 0;
}

#include "netlib/http/clPersistent.h"

namespace netlib {

void TPersistent::Assign(const TPersistent* Source) { AssignError(Source); }

void TPersistent::AssignError(const TPersistent* Source) const {
  const char* from = Source ? Source->ClassName() : "nil";
  throw rtl::EConvertError(
      rtl::Format(u"Cannot assign a %s to a %s", {from, ClassName()}));
}

}  // namespace netlib

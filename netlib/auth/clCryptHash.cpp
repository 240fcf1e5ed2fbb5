#include "netlib/auth/clCryptHash.h"

#include "rtl/Ansi.h"
#include "rtl/Hash.h"

namespace netlib {

rtl::String GetMD5HashText(std::u16string_view AText) {
  return rtl::DigestToHex(rtl::MD5(rtl::StringToAnsi(AText)));
}

}  // namespace netlib

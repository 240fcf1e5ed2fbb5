// Writes the arguments it was started with (ParamStr 2 and on), one UTF-8 line each, into the
// file its first argument names.
#include "rtl/Classes.h"
#include "rtl/SysUtils.h"

int main(int argc, char** argv) {
  rtl::SetCommandLine(argc, argv);
  if (rtl::ParamCount() < 1) return 2;
  std::string out;
  for (int i = 2; i <= rtl::ParamCount(); ++i) out += rtl::U8(rtl::ParamStr(i)) + "\n";
  rtl::TFileStream f(rtl::ParamStr(1), rtl::fmCreate);
  f.Write(out.data(), static_cast<int64_t>(out.size()));
  return 0;
}

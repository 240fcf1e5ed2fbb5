#include "rtl/Exception.h"

namespace rtl {

String Exception::Diagnostic() const { return S(ClassName()) + u": " + FMessage; }

const char* Exception::what() const noexcept {
  try {
    if (FWhat.empty()) FWhat = StringToUtf8(FMessage);
  } catch (...) {
    return "exception";
  }
  return FWhat.c_str();
}

void AssertionFailed(const String& message) { throw EAssertionFailed(message); }

}  // namespace rtl

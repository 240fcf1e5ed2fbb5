// The exception hierarchy: one base with a message and the class's own name.
#pragma once

#include <exception>
#include <string>

#include "rtl/SysUtils.h"

namespace rtl {

class Exception : public std::exception {
 public:
  Exception() = default;
  explicit Exception(String message) : FMessage(std::move(message)) {}
  explicit Exception(const char* utf8) : FMessage(Utf8ToString(utf8)) {}
  ~Exception() override = default;

  const String& Message() const noexcept { return FMessage; }
  void SetMessage(String message) { FMessage = std::move(message); FWhat.clear(); }
  virtual const char* ClassName() const noexcept { return "Exception"; }
  // "class name: message", the diagnostic form.
  String Diagnostic() const;
  const char* what() const noexcept override;

 private:
  String FMessage;
  mutable std::string FWhat;
};

// Declares an exception class that adds nothing but its name.
#define RTL_EXCEPTION_CLASS(Name, Base)                                         \
  class Name : public Base {                                                    \
   public:                                                                      \
    using Base::Base;                                                           \
    const char* ClassName() const noexcept override { return #Name; }           \
  }

RTL_EXCEPTION_CLASS(EConvertError, Exception);
RTL_EXCEPTION_CLASS(EResNotFound, Exception);
RTL_EXCEPTION_CLASS(EStreamError, Exception);
RTL_EXCEPTION_CLASS(EReadError, EStreamError);
RTL_EXCEPTION_CLASS(EWriteError, EStreamError);
RTL_EXCEPTION_CLASS(EFileStreamError, EStreamError);
RTL_EXCEPTION_CLASS(EFCreateError, EFileStreamError);
RTL_EXCEPTION_CLASS(EFOpenError, EFileStreamError);
RTL_EXCEPTION_CLASS(EListError, Exception);
RTL_EXCEPTION_CLASS(EArgumentException, Exception);
RTL_EXCEPTION_CLASS(EAbort, Exception);
RTL_EXCEPTION_CLASS(EEncodingError, Exception);
// The runtime's fatal assertion failure.
RTL_EXCEPTION_CLASS(EAssertionFailed, Exception);

// An operating-system failure with its error number.
class EOSError : public Exception {
 public:
  EOSError(String message, int errorCode) : Exception(std::move(message)), FErrorCode(errorCode) {}
  const char* ClassName() const noexcept override { return "EOSError"; }
  int ErrorCode() const noexcept { return FErrorCode; }

 private:
  int FErrorCode;
};

// Raises EAssertionFailed with the message.
[[noreturn]] void AssertionFailed(const String& message);

// Raises EAssertionFailed with the message when the condition is false. Inline, and a literal
// message becomes a string only on failure: hot paths assert on every call.
inline void Assert(bool condition, const char16_t* message = u"Assertion failure") {
  if (!condition) AssertionFailed(message);
}
inline void Assert(bool condition, const String& message) {
  if (!condition) AssertionFailed(message);
}

}  // namespace rtl

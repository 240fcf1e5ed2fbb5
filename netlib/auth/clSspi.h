// Binding to the platform security provider and its error type.
#pragma once

#include <cstdint>

#include "platform/sspi/Sspi.h"
#include "rtl/Exception.h"
#include "rtl/SysUtils.h"

namespace netlib {

// Every provider failure; ErrorCode is the provider's status or one of the binding's own
// negative codes (-1 library, -2 table, -3 entry point).
class EclSSPIError : public rtl::Exception {
 public:
  explicit EclSSPIError(int32_t AErrorCode);
  int32_t ErrorCode() const { return FErrorCode; }
  const char* ClassName() const noexcept override { return "EclSSPIError"; }

 private:
  int32_t FErrorCode;
};

// The English text for a code; unknown codes read "The unknown error was occured: <hex>".
rtl::String GetSSPIErrorMessage(int32_t AErrorCode);

// Raises EclSSPIError unless AStatus is SEC_E_OK.
void CheckSSPIStatus(int32_t AStatus);

class TclSspi {
 public:
  TclSspi() = default;
  virtual ~TclSspi() = default;
  TclSspi(const TclSspi&) = delete;
  TclSspi& operator=(const TclSspi&) = delete;

  // Bound on first use. The provider is linked into the program, so there is no library to
  // load: the entry point is called directly and a null table raises EclSSPIError -2.
  platform::sspi::SecurityFunctionTableA& FunctionTable();

 private:
  platform::sspi::SecurityFunctionTableA* FFunctionTable = nullptr;
};

}  // namespace netlib

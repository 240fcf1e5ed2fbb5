#include "netlib/auth/clSspi.h"

namespace netlib {

rtl::String GetSSPIErrorMessage(int32_t AErrorCode) {
  struct Entry {
    uint32_t Code;
    const char16_t* Text;
  };
  static const Entry kMessages[] = {
      {0xFFFFFFFFu, u"Could not load the dll (schannel.dll, security.dll or secur32.dll)"},
      {0xFFFFFFFEu, u"Could not get security initialization routine"},
      {0xFFFFFFFDu, u"Could not initialize the security package"},
      {20, u"Out of memory"},
      {0x80090301u, u"The handle specified is invalid"},
      {0x80090302u, u"The function requested is not supported"},
      {0x80090303u, u"The specified target is unknown or unreachable"},
      {0x80090304u, u"The Local Security Authority cannot be contacted"},
      {0x80090305u, u"The requested security package does not exist"},
      {0x80090306u, u"The caller is not the owner of the desired credentials"},
      {0x80090307u, u"The security package failed to initialize, and cannot be installed"},
      {0x80090308u, u"The token supplied to the function is invalid"},
      {0x80090309u, u"The security package is not able to marshall the logon buffer, so the logon attempt has failed"},
      {0x8009030Au, u"The per-message Quality of Protection is not supported by the security package"},
      {0x8009030Bu, u"The security context does not allow impersonation of the client"},
      {0x8009030Cu, u"The logon attempt failed"},
      {0x8009030Du, u"The credentials supplied to the package were not recognized"},
      {0x8009030Eu, u"No credentials are available in the security package"},
      {0x8009030Fu, u"The message supplied for verification has been altered"},
      {0x80090310u, u"The message supplied for verification is out of sequence"},
      {0x80090311u, u"No authority could be contacted for authentication"},
      {0x80090316u, u"The requested security package does not exist"},
  };
  const uint32_t code = static_cast<uint32_t>(AErrorCode);
  for (const Entry& e : kMessages)
    if (e.Code == code) return e.Text;
  return u"The unknown error was occured: " + rtl::IntToHex(code, 1);
}

EclSSPIError::EclSSPIError(int32_t AErrorCode) : Exception(GetSSPIErrorMessage(AErrorCode)), FErrorCode(AErrorCode) {}

void CheckSSPIStatus(int32_t AStatus) {
  if (AStatus != platform::sspi::SEC_E_OK) throw EclSSPIError(AStatus);
}

platform::sspi::SecurityFunctionTableA& TclSspi::FunctionTable() {
  if (!FFunctionTable) {
    FFunctionTable = platform::sspi::InitSecurityInterfaceA();
    if (!FFunctionTable) throw EclSSPIError(-2);
  }
  return *FFunctionTable;
}

}  // namespace netlib

// The server's token is hostile input: any bytes go to InitializeSecurityContext as the second
// leg of an NTLM or a Negotiate exchange. The first byte picks the package.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "platform/sspi/Sspi.h"

using namespace platform::sspi;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  SecurityFunctionTableA& t = *InitSecurityInterfaceA();
  static const char16_t kUser[] = u"User", kPass[] = u"Password";
  SEC_WINNT_AUTH_IDENTITY id{kUser, 4, nullptr, 0, kPass, 8, SEC_WINNT_AUTH_IDENTITY_UNICODE};
  CredHandle cred{};
  if (t.AcquireCredentialsHandleA(nullptr, (data[0] & 1) ? "Negotiate" : "NTLM", SECPKG_CRED_OUTBOUND, nullptr, &id,
                                  nullptr, nullptr, &cred, nullptr) != SEC_E_OK)
    abort();
  CtxtHandle ctx{};
  SecBuffer out{0, SECBUFFER_TOKEN, nullptr};
  SecBufferDesc outDesc{SECBUFFER_VERSION, 1, &out};
  if (t.InitializeSecurityContextA(&cred, nullptr, "HTTP/localhost", 0x1091F, 0, 0, nullptr, 0, &ctx, &outDesc,
                                   nullptr, nullptr) != SEC_I_CONTINUE_NEEDED)
    abort();
  t.FreeContextBuffer(out.pvBuffer);
  // A copy of exactly the input's size, so any read past it is caught by the sanitizer.
  const size_t n = size - 1;
  uint8_t* copy = static_cast<uint8_t*>(malloc(n ? n : 1));
  for (size_t i = 0; i < n; ++i) copy[i] = data[1 + i];
  SecBuffer in{static_cast<uint32_t>(n), SECBUFFER_TOKEN, copy};
  SecBufferDesc inDesc{SECBUFFER_VERSION, 1, &in};
  out = {0, SECBUFFER_TOKEN, nullptr};
  const SECURITY_STATUS s = t.InitializeSecurityContextA(&cred, &ctx, "HTTP/localhost", 0x1091F, 0, 0, &inDesc, 0,
                                                         &ctx, &outDesc, nullptr, nullptr);
  if (s != SEC_E_OK && s != SEC_E_INVALID_TOKEN && s != SEC_E_LOGON_DENIED && s != SEC_E_UNSUPPORTED_FUNCTION)
    abort();  // a status the caller would not expect from a bad token
  if ((s == SEC_E_OK) != (out.pvBuffer != nullptr)) abort();
  t.FreeContextBuffer(out.pvBuffer);
  free(copy);
  t.DeleteSecurityContext(&ctx);
  t.FreeCredentialsHandle(&cred);
  return 0;
}

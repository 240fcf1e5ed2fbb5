// The security provider on Windows: the system's own (secur32), its ANSI table handed on. Our
// records have the system's layouts on x64 (checked below), so the calls pass straight through.
#include "platform/sspi/Sspi.h"

#define SECURITY_WIN32
#include <cstddef>

#include "rtl/win32/WinApi.h"
#include <security.h>

namespace platform::sspi {

namespace {

static_assert(sizeof(SecHandle) == sizeof(::SecHandle) && sizeof(TimeStamp) == sizeof(::TimeStamp));
static_assert(sizeof(SecBuffer) == sizeof(::SecBuffer) && offsetof(SecBuffer, pvBuffer) == offsetof(::SecBuffer, pvBuffer));
static_assert(sizeof(SecBufferDesc) == sizeof(::SecBufferDesc) &&
              offsetof(SecBufferDesc, pBuffers) == offsetof(::SecBufferDesc, pBuffers));
static_assert(sizeof(SEC_WINNT_AUTH_IDENTITY) == sizeof(::SEC_WINNT_AUTH_IDENTITY_A) &&
              offsetof(SEC_WINNT_AUTH_IDENTITY, Password) == offsetof(::SEC_WINNT_AUTH_IDENTITY_A, Password) &&
              offsetof(SEC_WINNT_AUTH_IDENTITY, Flags) == offsetof(::SEC_WINNT_AUTH_IDENTITY_A, Flags));

::PSecurityFunctionTableA System() {
  static ::PSecurityFunctionTableA table = ::InitSecurityInterfaceA();
  return table;
}

SECURITY_STATUS Acquire(const char* principal, const char* package, uint32_t use, void* logonId, void* authData,
                        void* getKey, void* getKeyArg, CredHandle* cred, TimeStamp* expiry) {
  if (!System()) return SEC_E_SECPKG_NOT_FOUND;
  return System()->AcquireCredentialsHandleA(const_cast<char*>(principal), const_cast<char*>(package), use, logonId,
                                             authData, reinterpret_cast<SEC_GET_KEY_FN>(getKey), getKeyArg,
                                             reinterpret_cast<::CredHandle*>(cred),
                                             reinterpret_cast<::TimeStamp*>(expiry));
}

SECURITY_STATUS FreeCred(CredHandle* cred) {
  if (!System()) return SEC_E_INVALID_HANDLE;
  return System()->FreeCredentialsHandle(reinterpret_cast<::CredHandle*>(cred));
}

SECURITY_STATUS Initialize(CredHandle* cred, CtxtHandle* ctx, const char* target, uint32_t req, uint32_t r1,
                           uint32_t rep, SecBufferDesc* in, uint32_t r2, CtxtHandle* newCtx, SecBufferDesc* out,
                           uint32_t* attrs, TimeStamp* expiry) {
  if (!System()) return SEC_E_INVALID_HANDLE;
  unsigned long a = 0;
  SECURITY_STATUS st = System()->InitializeSecurityContextA(
      reinterpret_cast<::CredHandle*>(cred), reinterpret_cast<::CtxtHandle*>(ctx), const_cast<char*>(target), req, r1,
      rep, reinterpret_cast<::SecBufferDesc*>(in), r2, reinterpret_cast<::CtxtHandle*>(newCtx),
      reinterpret_cast<::SecBufferDesc*>(out), &a, reinterpret_cast<::TimeStamp*>(expiry));
  if (attrs) *attrs = uint32_t(a);
  return st;
}

SECURITY_STATUS Complete(CtxtHandle* ctx, SecBufferDesc* token) {
  if (!System()) return SEC_E_INVALID_HANDLE;
  return System()->CompleteAuthToken(reinterpret_cast<::CtxtHandle*>(ctx), reinterpret_cast<::SecBufferDesc*>(token));
}

SECURITY_STATUS DeleteCtx(CtxtHandle* ctx) {
  if (!System()) return SEC_E_INVALID_HANDLE;
  return System()->DeleteSecurityContext(reinterpret_cast<::CtxtHandle*>(ctx));
}

SECURITY_STATUS FreeBuffer(void* p) {
  if (!System()) return SEC_E_INVALID_HANDLE;
  return System()->FreeContextBuffer(p);
}

SecurityFunctionTableA gTable = {1, Acquire, FreeCred, Initialize, Complete, DeleteCtx, FreeBuffer};

}  // namespace

SecurityFunctionTableA* InitSecurityInterfaceA() { return &gTable; }

}  // namespace platform::sspi

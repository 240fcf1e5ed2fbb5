// The security provider: an SSPI-shaped function table offering the client side of the
// packages "NTLM" (NTLMv2) and "Negotiate" (SPNEGO carrying the same NTLM messages).
// Handles are opaque numbers looked up in a table, so a stale or forged handle gives
// SEC_E_INVALID_HANDLE rather than touching freed memory.
#pragma once

#include <cstdint>

namespace platform::sspi {

using SECURITY_STATUS = int32_t;

constexpr SECURITY_STATUS SEC_E_OK = 0;
constexpr SECURITY_STATUS SEC_I_CONTINUE_NEEDED = 0x00090312;
constexpr SECURITY_STATUS SEC_I_COMPLETE_NEEDED = 0x00090313;
constexpr SECURITY_STATUS SEC_I_COMPLETE_AND_CONTINUE = 0x00090314;
constexpr SECURITY_STATUS SEC_E_INSUFFICIENT_MEMORY = static_cast<SECURITY_STATUS>(0x80090300u);
constexpr SECURITY_STATUS SEC_E_INVALID_HANDLE = static_cast<SECURITY_STATUS>(0x80090301u);
constexpr SECURITY_STATUS SEC_E_UNSUPPORTED_FUNCTION = static_cast<SECURITY_STATUS>(0x80090302u);
constexpr SECURITY_STATUS SEC_E_INTERNAL_ERROR = static_cast<SECURITY_STATUS>(0x80090304u);
constexpr SECURITY_STATUS SEC_E_SECPKG_NOT_FOUND = static_cast<SECURITY_STATUS>(0x80090305u);
constexpr SECURITY_STATUS SEC_E_INVALID_TOKEN = static_cast<SECURITY_STATUS>(0x80090308u);
constexpr SECURITY_STATUS SEC_E_LOGON_DENIED = static_cast<SECURITY_STATUS>(0x8009030Cu);
constexpr SECURITY_STATUS SEC_E_UNKNOWN_CREDENTIALS = static_cast<SECURITY_STATUS>(0x8009030Du);
constexpr SECURITY_STATUS SEC_E_NO_CREDENTIALS = static_cast<SECURITY_STATUS>(0x8009030Eu);
constexpr SECURITY_STATUS SEC_E_OUT_OF_SEQUENCE = static_cast<SECURITY_STATUS>(0x80090310u);
constexpr SECURITY_STATUS SEC_E_BUFFER_TOO_SMALL = static_cast<SECURITY_STATUS>(0x80090321u);

constexpr uint32_t SECPKG_CRED_OUTBOUND = 2;
constexpr uint32_t SECBUFFER_VERSION = 0;
constexpr uint32_t SECBUFFER_EMPTY = 0;
constexpr uint32_t SECBUFFER_TOKEN = 2;
constexpr uint32_t ISC_REQ_ALLOCATE_MEMORY = 0x100;
constexpr uint32_t SEC_WINNT_AUTH_IDENTITY_ANSI = 1;     // strings in the system code page (UTF-8 here)
constexpr uint32_t SEC_WINNT_AUTH_IDENTITY_UNICODE = 2;  // UTF-16

struct SecHandle {
  uintptr_t dwLower = 0;
  uintptr_t dwUpper = 0;
};
using CredHandle = SecHandle;
using CtxtHandle = SecHandle;
using TimeStamp = int64_t;

struct SecBuffer {
  uint32_t cbBuffer;
  uint32_t BufferType;
  void* pvBuffer;
};

struct SecBufferDesc {
  uint32_t ulVersion;
  uint32_t cBuffers;
  SecBuffer* pBuffers;
};

// Lengths count characters without the NUL: UTF-16 units with the UNICODE flag, bytes otherwise.
struct SEC_WINNT_AUTH_IDENTITY {
  const void* User;
  uint32_t UserLength;
  const void* Domain;
  uint32_t DomainLength;
  const void* Password;
  uint32_t PasswordLength;
  uint32_t Flags;
};

using ACQUIRE_CREDENTIALS_HANDLE_FN = SECURITY_STATUS (*)(const char* pszPrincipal, const char* pszPackage,
                                                          uint32_t fCredentialUse, void* pvLogonId,
                                                          void* pAuthData, void* pGetKeyFn,
                                                          void* pvGetKeyArgument, CredHandle* phCredential,
                                                          TimeStamp* ptsExpiry);
using FREE_CREDENTIALS_HANDLE_FN = SECURITY_STATUS (*)(CredHandle* phCredential);
using INITIALIZE_SECURITY_CONTEXT_FN = SECURITY_STATUS (*)(CredHandle* phCredential, CtxtHandle* phContext,
                                                           const char* pszTargetName, uint32_t fContextReq,
                                                           uint32_t Reserved1, uint32_t TargetDataRep,
                                                           SecBufferDesc* pInput, uint32_t Reserved2,
                                                           CtxtHandle* phNewContext, SecBufferDesc* pOutput,
                                                           uint32_t* pfContextAttr, TimeStamp* ptsExpiry);
using COMPLETE_AUTH_TOKEN_FN = SECURITY_STATUS (*)(CtxtHandle* phContext, SecBufferDesc* pToken);
using DELETE_SECURITY_CONTEXT_FN = SECURITY_STATUS (*)(CtxtHandle* phContext);
using FREE_CONTEXT_BUFFER_FN = SECURITY_STATUS (*)(void* pvContextBuffer);

// The entries the client side needs; the rest of the platform's table is not offered.
struct SecurityFunctionTableA {
  uint32_t dwVersion;
  ACQUIRE_CREDENTIALS_HANDLE_FN AcquireCredentialsHandleA;
  FREE_CREDENTIALS_HANDLE_FN FreeCredentialsHandle;
  INITIALIZE_SECURITY_CONTEXT_FN InitializeSecurityContextA;
  COMPLETE_AUTH_TOKEN_FN CompleteAuthToken;
  DELETE_SECURITY_CONTEXT_FN DeleteSecurityContext;
  FREE_CONTEXT_BUFFER_FN FreeContextBuffer;
};

// The provider's table; never null.
SecurityFunctionTableA* InitSecurityInterfaceA();

}  // namespace platform::sspi

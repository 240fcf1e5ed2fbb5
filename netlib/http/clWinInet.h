// The platform URL services: splitting a URL into components, re-assembling it, and resolving a
// reference against a base. Our own implementation with the contracts the URL parser relies on,
// reached through a process-wide table that is bound on first use (tests may substitute it).
#pragma once

#include <cstdint>

namespace netlib {

// Scheme numbers of the URL record.
enum : int32_t {
  INTERNET_SCHEME_PARTIAL = -2,
  INTERNET_SCHEME_UNKNOWN = -1,
  INTERNET_SCHEME_DEFAULT = 0,
  INTERNET_SCHEME_FTP = 1,
  INTERNET_SCHEME_GOPHER = 2,
  INTERNET_SCHEME_HTTP = 3,
  INTERNET_SCHEME_HTTPS = 4,
  INTERNET_SCHEME_FILE = 5,
  INTERNET_SCHEME_NEWS = 6,
  INTERNET_SCHEME_MAILTO = 7,
  INTERNET_SCHEME_SOCKS = 8,
  INTERNET_SCHEME_JAVASCRIPT = 9,
  INTERNET_SCHEME_VBSCRIPT = 10,
  INTERNET_SCHEME_RES = 11,
};

// Default ports; 0 means the scheme has none.
enum : uint16_t {
  INTERNET_INVALID_PORT_NUMBER = 0,
  INTERNET_DEFAULT_FTP_PORT = 21,
  INTERNET_DEFAULT_GOPHER_PORT = 70,
  INTERNET_DEFAULT_HTTP_PORT = 80,
  INTERNET_DEFAULT_HTTPS_PORT = 443,
  INTERNET_DEFAULT_SOCKS_PORT = 1080,
};

// Error numbers left in the thread's last-error value.
enum : uint32_t {
  ERROR_INTERNET_INVALID_URL = 12005,
  ERROR_INTERNET_UNRECOGNIZED_SCHEME = 12006,
};

// Combination flags. Browser mode: text after "?" or "#" is neither encoded nor decoded, and
// trailing blanks after "?" stay in place.
enum : uint32_t {
  ICU_NO_ENCODE = 0x20000000,
  ICU_BROWSER_MODE = 0x02000000,
};

// The narrow-character URL record in its natural 64-bit layout; dwStructSize holds
// sizeof(URL_COMPONENTS).
//
// Splitting, per component: a non-null pointer with a nonzero length names a caller buffer of
// that many bytes (the component is copied NUL-terminated and the length becomes the
// component's length; a component that does not fit fails with ERROR_INSUFFICIENT_BUFFER); a null
// pointer with a nonzero length asks for a pointer into the URL text and its length; a null
// pointer with length 0 skips the component.
// Re-assembly: a non-null pointer with length 0 means a NUL-terminated text.
struct URL_COMPONENTS {
  uint32_t dwStructSize;
  char* lpszScheme;
  uint32_t dwSchemeLength;
  int32_t nScheme;
  char* lpszHostName;
  uint32_t dwHostNameLength;
  uint16_t nPort;
  char* lpszUserName;
  uint32_t dwUserNameLength;
  char* lpszPassword;
  uint32_t dwPasswordLength;
  char* lpszUrlPath;
  uint32_t dwUrlPathLength;
  char* lpszExtraInfo;
  uint32_t dwExtraInfoLength;
};

// The entry points of the URL services. Each answers nonzero on success and otherwise sets the
// thread's last-error value (platform::SetLastErrorValue).
struct TclWinInetFunctions {
  // AUrlLength 0: the URL is NUL-terminated.
  int (*InternetCrackUrlA)(const char* AUrl, uint32_t AUrlLength, uint32_t AFlags,
                           URL_COMPONENTS* AComponents);
  // ALength: buffer size in; characters written (without the NUL) out, or the size needed
  // (with the NUL) when the buffer is too small.
  int (*InternetCreateUrlA)(URL_COMPONENTS* AComponents, uint32_t AFlags, char* AUrl,
                            uint32_t* ALength);
  int (*InternetCombineUrlA)(const char* ABaseUrl, const char* ARelativeUrl, char* ABuffer,
                             uint32_t* ALength, uint32_t AFlags);
};

// Calls through the process-wide binding, binding it first when needed. Raises rtl::Exception
// with the operating system's text for the current error when the binding cannot be made.
int InternetCrackUrlA(const char* AUrl, uint32_t AUrlLength, uint32_t AFlags,
                      URL_COMPONENTS* AComponents);
int InternetCreateUrlA(URL_COMPONENTS* AComponents, uint32_t AFlags, char* AUrl, uint32_t* ALength);
int InternetCombineUrlA(const char* ABaseUrl, const char* ARelativeUrl, char* ABuffer,
                        uint32_t* ALength, uint32_t AFlags);

// Binds the table now (normally done by the first call); raises as above.
void LoadWinInet();
// Releases the binding; the next call binds again.
void UnloadWinInet();
bool IsWinInetLoaded();
// The library the next binding resolves from: nullptr selects our own implementation. A
// missing entry point fails the binding with ERROR_PROC_NOT_FOUND. Releases a current binding.
// The lazy binding is not locked: bind before several threads use the services.
void SetWinInetLibrary(const TclWinInetFunctions* ALibrary);
// Our own implementation.
const TclWinInetFunctions& BuiltinWinInetFunctions();

}  // namespace netlib

// POSIX errors in the numbering the platform reports: errno values as Windows error numbers (the
// last-error value of files, the shell, waits) and as Winsock codes, getaddrinfo's EAI_* results
// as Winsock codes. Only code that calls POSIX itself includes this.
#pragma once

#include <cstdint>

namespace platform {

// The Windows error number for an errno value (ERROR_GEN_FAILURE for the unknown ones).
uint32_t WindowsErrorFromErrno(int errnum);
// Sets the last-error value from errno and answers it.
uint32_t SetLastErrorFromErrno(int errnum);
// The Winsock code for an errno value; numbers without a socket meaning fall back to
// WindowsErrorFromErrno.
int SocketErrorFromErrno(int errnum);
// A getaddrinfo result (EAI_*) as a Winsock code; errnum is consulted for EAI_SYSTEM.
int SocketErrorFromAddrInfo(int eai, int errnum);

}  // namespace platform

// errno and getaddrinfo results in the platform's numbering, and the thread's last-error value.
#include "platform/posix/Errors.h"

#include <netdb.h>

#include <cerrno>

#include "platform/LastError.h"
#include "platform/Sockets.h"

namespace platform {

namespace {
thread_local uint32_t tLastError = 0;
}

uint32_t GetLastErrorValue() { return tLastError; }
void SetLastErrorValue(uint32_t code) { tLastError = code; }

uint32_t SetLastErrorFromErrno(int errnum) {
  tLastError = WindowsErrorFromErrno(errnum);
  return tLastError;
}

uint32_t WindowsErrorFromErrno(int e) {
  switch (e) {
    case 0: return ERROR_SUCCESS;
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case ELOOP: return ERROR_PATH_NOT_FOUND;
    case EMFILE: case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case EACCES: case EPERM: case EROFS: return ERROR_ACCESS_DENIED;
    case EISDIR: return ERROR_ACCESS_DENIED;
    case EBADF: return ERROR_INVALID_HANDLE;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case ENOEXEC: return ERROR_BAD_FORMAT;
    case EXDEV: return ERROR_NOT_SAME_DEVICE;
    case EIO: return ERROR_GEN_FAILURE;
    case ETXTBSY: case EBUSY: return ERROR_SHARING_VIOLATION;
    case EWOULDBLOCK: return ERROR_LOCK_VIOLATION;
    case ENOSPC: case EDQUOT: return ERROR_DISK_FULL;
    case EFBIG: return ERROR_HANDLE_DISK_FULL;
    case ENOSYS: case EOPNOTSUPP: return ERROR_NOT_SUPPORTED;
    case EEXIST: return ERROR_ALREADY_EXISTS;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    case EPIPE: return ERROR_BROKEN_PIPE;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case ENOTEMPTY: return ERROR_DIR_NOT_EMPTY;
    case ETIMEDOUT: return ERROR_TIMEOUT;
    default: return ERROR_GEN_FAILURE;
  }
}

int SocketErrorFromErrno(int errnum) {
  switch (errnum) {
    case 0: return 0;
    case EINTR: return WSAEINTR;
    case EBADF: case ENOTSOCK: return WSAENOTSOCK;
    case EACCES: case EPERM: return WSAEACCES;
    case EFAULT: return WSAEFAULT;
    case EINVAL: return WSAEINVAL;
    case EMFILE: case ENFILE: return WSAEMFILE;
    case EAGAIN: case EINPROGRESS: return WSAEWOULDBLOCK;
    case EALREADY: return WSAEALREADY;
    case EDESTADDRREQ: return WSAEDESTADDRREQ;
    case EMSGSIZE: return WSAEMSGSIZE;
    case EPROTOTYPE: return WSAEPROTOTYPE;
    case ENOPROTOOPT: return WSAENOPROTOOPT;
    case EPROTONOSUPPORT: return WSAEPROTONOSUPPORT;
    case ESOCKTNOSUPPORT: return WSAESOCKTNOSUPPORT;
    case EOPNOTSUPP: return WSAEOPNOTSUPP;
    case EPFNOSUPPORT: return WSAEPFNOSUPPORT;
    case EAFNOSUPPORT: return WSAEAFNOSUPPORT;
    case EADDRINUSE: return WSAEADDRINUSE;
    case EADDRNOTAVAIL: return WSAEADDRNOTAVAIL;
    case ENETDOWN: return WSAENETDOWN;
    case ENETUNREACH: return WSAENETUNREACH;
    case ENETRESET: return WSAENETRESET;
    case ECONNABORTED: case EPIPE: return WSAECONNABORTED;
    case ECONNRESET: return WSAECONNRESET;
    case ENOBUFS: case ENOMEM: return WSAENOBUFS;
    case EISCONN: return WSAEISCONN;
    case ENOTCONN: return WSAENOTCONN;
    case ESHUTDOWN: return WSAESHUTDOWN;
    case ETOOMANYREFS: return WSAETOOMANYREFS;
    case ETIMEDOUT: return WSAETIMEDOUT;
    case ECONNREFUSED: return WSAECONNREFUSED;
    case ELOOP: return WSAELOOP;
    case ENAMETOOLONG: return WSAENAMETOOLONG;
    case EHOSTDOWN: return WSAEHOSTDOWN;
    case EHOSTUNREACH: return WSAEHOSTUNREACH;
    default: return static_cast<int>(WindowsErrorFromErrno(errnum));
  }
}

int SocketErrorFromAddrInfo(int eai, int errnum) {
  switch (eai) {
    case 0: return 0;
    case EAI_NONAME: return WSAHOST_NOT_FOUND;
    case EAI_AGAIN: return WSATRY_AGAIN;
    case EAI_FAIL: return WSANO_RECOVERY;
#ifdef EAI_NODATA
    case EAI_NODATA: return WSANO_DATA;
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY: return WSANO_DATA;
#endif
    case EAI_FAMILY: return WSAEAFNOSUPPORT;
    case EAI_SOCKTYPE: return WSAESOCKTNOSUPPORT;
    case EAI_SERVICE: return WSATYPE_NOT_FOUND;
    case EAI_MEMORY: return WSA_NOT_ENOUGH_MEMORY;
    case EAI_BADFLAGS: return WSAEINVAL;
    case EAI_SYSTEM: return errnum ? SocketErrorFromErrno(errnum) : WSANO_RECOVERY;
    default: return WSANO_RECOVERY;
  }
}

}  // namespace platform

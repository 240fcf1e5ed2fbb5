// The thread's last-error value and the Windows error numbers (with their texts) in which every
// platform service reports its failures.
#pragma once

#include <cstdint>

#include "rtl/SysUtils.h"

namespace platform {

// Windows error numbers the system relies on.
enum : uint32_t {
  ERROR_SUCCESS = 0,
  ERROR_INVALID_FUNCTION = 1,
  ERROR_FILE_NOT_FOUND = 2,
  ERROR_PATH_NOT_FOUND = 3,
  ERROR_TOO_MANY_OPEN_FILES = 4,
  ERROR_ACCESS_DENIED = 5,
  ERROR_INVALID_HANDLE = 6,
  ERROR_NOT_ENOUGH_MEMORY = 8,
  ERROR_BAD_FORMAT = 11,
  ERROR_INVALID_DATA = 13,
  ERROR_OUTOFMEMORY = 14,
  ERROR_NOT_SAME_DEVICE = 17,
  ERROR_WRITE_PROTECT = 19,
  ERROR_GEN_FAILURE = 31,
  ERROR_SHARING_VIOLATION = 32,
  ERROR_LOCK_VIOLATION = 33,
  ERROR_HANDLE_EOF = 38,
  ERROR_HANDLE_DISK_FULL = 39,
  ERROR_NOT_SUPPORTED = 50,
  ERROR_FILE_EXISTS = 80,
  ERROR_INVALID_PARAMETER = 87,
  ERROR_BROKEN_PIPE = 109,
  ERROR_DISK_FULL = 112,
  ERROR_INSUFFICIENT_BUFFER = 122,
  ERROR_INVALID_NAME = 123,
  ERROR_MOD_NOT_FOUND = 126,
  ERROR_PROC_NOT_FOUND = 127,
  ERROR_DIR_NOT_EMPTY = 145,
  ERROR_BUSY = 170,
  ERROR_ALREADY_EXISTS = 183,
  ERROR_BAD_EXE_FORMAT = 193,
  ERROR_FILENAME_EXCED_RANGE = 206,
  ERROR_NO_MORE_FILES = 18,
  ERROR_DIRECTORY = 267,
  ERROR_TIMEOUT = 1460,
  ERROR_RESOURCE_DATA_NOT_FOUND = 1812,
  ERROR_RESOURCE_TYPE_NOT_FOUND = 1813,
};

// Thread-local, like the platform's; our own names (the 7-Zip library exports GetLastError).
uint32_t GetLastErrorValue();
void SetLastErrorValue(uint32_t code);

// The Windows text for a Windows error number (system error texts, as FormatMessage gives them,
// without the trailing line break); "Unknown error (<n>)" otherwise.
rtl::String WindowsErrorMessage(uint32_t code);

}  // namespace platform

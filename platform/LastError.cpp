// The Windows texts of the error numbers the platform reports.
#include "platform/LastError.h"

namespace platform {

rtl::String WindowsErrorMessage(uint32_t code) {
  switch (code) {
    case ERROR_SUCCESS: return u"The operation completed successfully.";
    case ERROR_INVALID_FUNCTION: return u"Incorrect function.";
    case ERROR_FILE_NOT_FOUND: return u"The system cannot find the file specified.";
    case ERROR_PATH_NOT_FOUND: return u"The system cannot find the path specified.";
    case ERROR_TOO_MANY_OPEN_FILES: return u"The system cannot open the file.";
    case ERROR_ACCESS_DENIED: return u"Access is denied.";
    case ERROR_INVALID_HANDLE: return u"The handle is invalid.";
    case ERROR_NOT_ENOUGH_MEMORY: return u"Not enough memory resources are available to process this command.";
    case ERROR_BAD_FORMAT: return u"An attempt was made to load a program with an incorrect format.";
    case ERROR_INVALID_DATA: return u"The data is invalid.";
    case ERROR_OUTOFMEMORY: return u"Not enough memory resources are available to complete this operation.";
    case ERROR_NOT_SAME_DEVICE: return u"The system cannot move the file to a different disk drive.";
    case ERROR_WRITE_PROTECT: return u"The media is write protected.";
    case ERROR_GEN_FAILURE: return u"A device attached to the system is not functioning.";
    case ERROR_SHARING_VIOLATION: return u"The process cannot access the file because it is being used by another process.";
    case ERROR_LOCK_VIOLATION: return u"The process cannot access the file because another process has locked a portion of the file.";
    case ERROR_HANDLE_EOF: return u"Reached the end of the file.";
    case ERROR_HANDLE_DISK_FULL: return u"The disk is full.";
    case ERROR_NOT_SUPPORTED: return u"The request is not supported.";
    case ERROR_FILE_EXISTS: return u"The file exists.";
    case ERROR_INVALID_PARAMETER: return u"The parameter is incorrect.";
    case ERROR_BROKEN_PIPE: return u"The pipe has been ended.";
    case ERROR_DISK_FULL: return u"There is not enough space on the disk.";
    case ERROR_INSUFFICIENT_BUFFER: return u"The data area passed to a system call is too small.";
    case ERROR_INVALID_NAME: return u"The filename, directory name, or volume label syntax is incorrect.";
    case ERROR_MOD_NOT_FOUND: return u"The specified module could not be found.";
    case ERROR_PROC_NOT_FOUND: return u"The specified procedure could not be found.";
    case ERROR_DIR_NOT_EMPTY: return u"The directory is not empty.";
    case ERROR_BUSY: return u"The requested resource is in use.";
    case ERROR_ALREADY_EXISTS: return u"Cannot create a file when that file already exists.";
    case ERROR_FILENAME_EXCED_RANGE: return u"The filename or extension is too long.";
    case ERROR_NO_MORE_FILES: return u"There are no more files.";
    case ERROR_DIRECTORY: return u"The directory name is invalid.";
    case ERROR_TIMEOUT: return u"This operation returned because the timeout period expired.";
    case ERROR_BAD_EXE_FORMAT: return u"The specified image file is not a valid application.";
    case ERROR_RESOURCE_DATA_NOT_FOUND: return u"The specified image file did not contain a resource section.";
    case ERROR_RESOURCE_TYPE_NOT_FOUND: return u"The specified resource type cannot be found in the image file.";
    default: return u"Unknown error (" + rtl::IntToStr(code) + u")";
  }
}

}  // namespace platform

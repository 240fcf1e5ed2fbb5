// Version information of files through the system's version library: the block of a PE file's
// version resource, and the look-ups inside it. Error numbers are the system's own.
#include "platform/VersionInfo.h"

#include <string>

#include "platform/LastError.h"

// After our headers: the system's headers define the ERROR_* names as macros of the same values.
#include "rtl/win32/WinApi.h"

#include <winver.h>

namespace platform {

namespace {
const wchar_t* W(const rtl::String& s) { return reinterpret_cast<const wchar_t*>(s.c_str()); }
}  // namespace

uint32_t GetFileVersionInfoSizeW(const rtl::String& fileName, uint32_t* handle) {
  if (handle) *handle = 0;
  DWORD ignored = 0;
  // The size of the buffer GetFileVersionInfoW fills: the system may ask for more than the
  // block (room for its own conversions); the block's own length is its first word.
  return ::GetFileVersionInfoSizeW(W(fileName), &ignored);
}

bool GetFileVersionInfoW(const rtl::String& fileName, uint32_t, uint32_t len, void* data) {
  DWORD ignored = 0;
  DWORD size = ::GetFileVersionInfoSizeW(W(fileName), &ignored);
  if (size == 0) return false;
  // The system cuts the block to a short buffer and keeps its length, which would then claim
  // bytes beyond the buffer: refused, as on every system of ours.
  if (data == nullptr || len < size) {
    ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return false;
  }
  return ::GetFileVersionInfoW(W(fileName), 0, len, data) != FALSE;
}

bool VerQueryValueW(const void* block, std::u16string_view subBlock, const void** buffer, uint32_t* len) {
  if (block == nullptr) return false;
  std::u16string path(subBlock);
  void* found = nullptr;
  UINT length = 0;
  if (!::VerQueryValueW(block, reinterpret_cast<const wchar_t*>(path.c_str()), &found, &length)) return false;
  if (buffer) *buffer = found;
  if (len) *len = length;
  return true;
}

}  // namespace platform

// The shell's "open" on Windows: the system's ShellExecuteW, handed the parameter string as it
// is, so the program splits it with CommandLineToArgvW exactly as CommandLineToArgs does.
#include "platform/Shell.h"

#include "platform/LastError.h"

// After our headers: the system's headers define the ERROR_* names as macros of the same values.
#include "rtl/win32/WinApi.h"

#include <objbase.h>
#include <shellapi.h>

#undef ShellExecute

namespace platform {

namespace {

const wchar_t* W(const rtl::String& s) { return reinterpret_cast<const wchar_t*>(s.c_str()); }

intptr_t Fail(uint32_t code) {
  ::SetLastError(code);
  return static_cast<intptr_t>(code);
}

// The shell's answers of 32 and below, narrowed to the numbers the platform promises.
uint32_t ShellError(intptr_t answer) {
  switch (answer) {
    case 0:  // the system is out of memory or resources
      return ERROR_NOT_ENOUGH_MEMORY;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_ACCESS_DENIED:
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_BAD_FORMAT:
      return static_cast<uint32_t>(answer);
    default:  // sharing, DDE, a missing or incomplete association, a missing library
      return SE_ERR_NOASSOC;
  }
}

bool IsFolder(const rtl::String& path) {
  DWORD a = ::GetFileAttributesW(W(path));
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

}  // namespace

intptr_t ShellExecuteW(void* window, std::u16string_view verb, const rtl::String& file,
                       const rtl::String& parameters, const rtl::String& directory, int showCmd) {
  // Only "open": other verbs ("runas", "print") do what a launcher never asks for.
  if (!verb.empty() && !rtl::SameText(verb, u"open")) return Fail(SE_ERR_NOASSOC);
  if (file.empty()) return Fail(ERROR_FILE_NOT_FOUND);
  if (!directory.empty() && !IsFolder(directory)) return Fail(ERROR_PATH_NOT_FOUND);
  // The shell would show a folder in the file manager; the platform opens files only.
  if (IsFolder(file)) return Fail(SE_ERR_NOASSOC);

  // Shell extensions that a file's association may run expect COM on the calling thread.
  HRESULT com = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
  HINSTANCE answer = ::ShellExecuteW(static_cast<HWND>(window), L"open", W(file),
                                     parameters.empty() ? nullptr : W(parameters),
                                     directory.empty() ? nullptr : W(directory), showCmd);
  if (SUCCEEDED(com)) ::CoUninitialize();
  intptr_t result = reinterpret_cast<intptr_t>(answer);
  if (result <= 32) {
    uint32_t code = ShellError(result);
    // The shell says "no file" for a path whose folder is missing too.
    rtl::String parent = rtl::ExtractFileDir(file);
    if (code == ERROR_FILE_NOT_FOUND && !parent.empty() && !IsFolder(parent)) code = ERROR_PATH_NOT_FOUND;
    return Fail(code);
  }
  ::SetLastError(ERROR_SUCCESS);
  return result;
}

}  // namespace platform

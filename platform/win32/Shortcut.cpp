// The shell's desktop folder and its shell link object on Windows: a .lnk file written by the
// system's IShellLinkW and IPersistFile.
#include "platform/DesktopEntry.h"

#include <string>

#include "platform/LastError.h"
#include "rtl/Exception.h"

// After our headers: the system's headers define the ERROR_* names as macros of the same values.
#include "rtl/win32/WinApi.h"

#include <objbase.h>
#include <shlobj.h>

namespace platform {

namespace {

const wchar_t* W(const rtl::String& s) { return reinterpret_cast<const wchar_t*>(s.c_str()); }

// COM for this thread, for as long as the object lives; a thread already in another apartment
// keeps its own.
class TComUser {
 public:
  TComUser() : FResult(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE)) {}
  ~TComUser() {
    if (SUCCEEDED(FResult)) ::CoUninitialize();
  }
  TComUser(const TComUser&) = delete;
  TComUser& operator=(const TComUser&) = delete;

 private:
  HRESULT FResult;
};

template <class T>
class TComPtr {
 public:
  ~TComPtr() {
    if (FPtr) FPtr->Release();
  }
  T* operator->() const { return FPtr; }
  T** Out() { return &FPtr; }

 private:
  T* FPtr = nullptr;
};

[[noreturn]] void RaiseSaveError(const rtl::String& fileName, uint32_t code, const rtl::String& what) {
  throw rtl::EOSError(u"Cannot write the shortcut \"" + fileName + u"\": " + what, static_cast<int>(code));
}

// A failed HRESULT as the error number it carries when it is one, else the general failure.
uint32_t ErrorOf(HRESULT hr) {
  return HRESULT_FACILITY(hr) == FACILITY_WIN32 ? HRESULT_CODE(hr) : ERROR_GEN_FAILURE;
}

void Check(HRESULT hr, const rtl::String& fileName, const char16_t* step) {
  if (FAILED(hr)) RaiseSaveError(fileName, ErrorOf(hr), rtl::String(step) + u" failed: " + WindowsErrorMessage(ErrorOf(hr)));
}

}  // namespace

rtl::String GetDesktopFolderPath() {
  TComUser com;
  PIDLIST_ABSOLUTE list = nullptr;
  // The desktop's item, whose file-system path is the user's desktop folder.
  if (FAILED(::SHGetSpecialFolderLocation(nullptr, CSIDL_DESKTOP, &list)) || list == nullptr) return {};
  wchar_t path[MAX_PATH] = {};
  BOOL ok = ::SHGetPathFromIDListW(list, path);
  ::CoTaskMemFree(list);
  if (!ok) return {};
  return rtl::String(reinterpret_cast<const char16_t*>(path));
}

rtl::String ShellLinkFileName(const rtl::String& folder, const rtl::String& name) {
  bool valid = !name.empty() && name != u"." && name != u".." && name.back() != u' ' && name.back() != u'.';
  for (char16_t c : name)
    if (c < 0x20 || std::u16string_view(u"\\/:*?\"<>|").find(c) != std::u16string_view::npos) valid = false;
  if (!valid) throw rtl::EOSError(u"Invalid link name \"" + name + u"\"", static_cast<int>(ERROR_INVALID_NAME));
  return rtl::IncludeTrailingPathDelimiter(folder) + name + u".lnk";
}

void TShellLink::Save(const rtl::String& fileName) const {
  if (FPath.empty() || rtl::ExtractFileName(fileName).empty())
    RaiseSaveError(fileName, ERROR_INVALID_PARAMETER, u"no target or no name");
  TComUser com;
  TComPtr<IShellLinkW> link;
  Check(::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                           reinterpret_cast<void**>(link.Out())),
        fileName, u"CoCreateInstance(ShellLink)");
  Check(link->SetPath(W(FPath)), fileName, u"SetPath");
  Check(link->SetArguments(W(FArguments)), fileName, u"SetArguments");
  Check(link->SetWorkingDirectory(W(FWorkingDirectory)), fileName, u"SetWorkingDirectory");
  TComPtr<IPersistFile> file;
  Check(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(file.Out())), fileName, u"QueryInterface(IPersistFile)");

  // Written beside the old link under a temporary name, then moved over it in one step: a failure
  // leaves the old link as it was, and the desktop never shows half a link.
  rtl::String temp = rtl::ExtractFilePath(fileName) + u"~" + rtl::ExtractFileName(fileName) + u"." +
                     rtl::IntToStr(static_cast<int64_t>(::GetCurrentProcessId())) + u".tmp";
  HRESULT hr = file->Save(W(temp), FALSE);
  if (FAILED(hr)) {
    ::DeleteFileW(W(temp));
    Check(hr, fileName, u"IPersistFile::Save");
  }
  if (!::MoveFileExW(W(temp), W(fileName), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    DWORD code = ::GetLastError();
    ::DeleteFileW(W(temp));
    RaiseSaveError(fileName, code, WindowsErrorMessage(code));
  }
}

}  // namespace platform

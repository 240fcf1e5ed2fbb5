// Module loading over dlopen / dlsym. Never RTLD_DEEPBIND: AddressSanitizer aborts on it.
#include <dlfcn.h>
#include <sys/stat.h>

#include <string>

#include "platform/LastError.h"
#include "platform/Modules.h"

namespace platform {

namespace {
thread_local rtl::String tLastDlError;
}

HMODULE LoadModule(const rtl::String& fileName) {
  std::string path = rtl::U8(fileName);
  void* h = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!h) {
    const char* e = ::dlerror();
    tLastDlError = rtl::S(e ? e : "");
    struct stat st;
    bool exists = path.find('/') != std::string::npos && ::stat(path.c_str(), &st) == 0;
    SetLastErrorValue(exists ? ERROR_BAD_FORMAT : ERROR_MOD_NOT_FOUND);
  }
  return h;
}

void* GetModuleSymbol(HMODULE module, const char* name) {
  if (!module) {
    SetLastErrorValue(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  ::dlerror();
  void* p = ::dlsym(module, name);
  if (!p) {
    const char* e = ::dlerror();
    tLastDlError = rtl::S(e ? e : "");
    SetLastErrorValue(ERROR_PROC_NOT_FOUND);
  }
  return p;
}

void FreeModule(HMODULE module) {
  if (module) ::dlclose(module);
}

rtl::String LastModuleErrorText() { return tLastDlError; }

}  // namespace platform

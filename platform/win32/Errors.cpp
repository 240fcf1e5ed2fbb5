// The thread's last-error value is the system's own (the texts are the platform's, LastError.cpp).
#include "platform/LastError.h"

// After our headers: the system's headers define the ERROR_* numbers as macros of the same values.
#include "rtl/win32/WinApi.h"

namespace platform {

uint32_t GetLastErrorValue() { return ::GetLastError(); }
void SetLastErrorValue(uint32_t code) { ::SetLastError(code); }

}  // namespace platform

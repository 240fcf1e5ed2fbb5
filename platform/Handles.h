// The system's handles as callers hold them: values only platform/ looks into. Each operating
// system's folder knows what stands behind them; nothing above platform/ does arithmetic on them
// or hands them to the operating system itself.
#pragma once

#include <cstdint>

namespace platform {

// An open file or folder: a descriptor on POSIX, a HANDLE on Windows.
enum class TFileHandle : intptr_t {};
inline constexpr TFileHandle INVALID_FILE_HANDLE = TFileHandle(-1);

// A socket: a descriptor on POSIX, a SOCKET on Windows (whose invalid value, all bits set,
// reads as -1 here as well).
enum class TSocket : intptr_t {};
inline constexpr TSocket INVALID_SOCKET = TSocket(-1);

}  // namespace platform

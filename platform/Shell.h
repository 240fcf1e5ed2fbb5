// The shell's "open" for programs: starts the file, detached, with its arguments given as one
// parameter string that the program splits by the CommandLineToArgvW rules. On Windows it is the
// system's ShellExecuteW, so a document opens with its associated program there.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "rtl/SysUtils.h"

namespace platform {

inline constexpr int SW_SHOWNORMAL = 1;
inline constexpr intptr_t SE_ERR_NOASSOC = 31;

// The arguments of a parameter string, by the rules for the arguments after the program name:
// blanks and tabs separate; double quotes group and are removed; 2n backslashes before a quote
// give n backslashes and the quote groups, 2n+1 give n backslashes and a literal quote; other
// backslashes are literal; inside quotes, "" gives a literal quote and ends the quoted stretch.
std::vector<rtl::String> CommandLineToArgs(std::u16string_view parameters);

// Opens file with the verb "open" (an empty verb means the same). Above 32 on success; otherwise
// a Windows error number: 2 no such file, 3 no such folder, 5 not executable or not allowed,
// 8 out of memory, 11 not a program format the system runs, 31 another verb, a folder or any
// other failure. The last-error value is set either way. An empty directory keeps the caller's
// current directory. Where there are no windows the window and show state are ignored.
intptr_t ShellExecuteW(void* window, std::u16string_view verb, const rtl::String& file,
                       const rtl::String& parameters, const rtl::String& directory, int showCmd);

}  // namespace platform

// <windows.h> for the Windows files of rtl and platform. Include it after our own headers.
//
// The system's headers define the A/W choice of many functions as macros, and some of their
// names are also names of ours (rtl::DeleteFile, platform::gui::PostMessage...): undefined here,
// so our names stay ours and the system's functions are called by their W names.
#pragma once

#include <windows.h>

#undef DeleteFile
#undef GetEnvironmentVariable
#undef GetModuleFileName
#undef PostMessage
#undef SendMessage
#undef CreateFile
#undef MoveFile
#undef LoadLibrary
#undef FreeModule

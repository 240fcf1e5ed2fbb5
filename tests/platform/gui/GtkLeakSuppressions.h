// Include in exactly one file of a program that opens GTK. LeakSanitizer cannot unwind through
// the system's GTK stack (built without frame pointers): what fontconfig and GLib keep for the
// life of the process shows as leaks with a one-frame stack and no caller of ours. Our own
// allocations keep their stacks and stay checked.
#pragma once

#if defined(KRV_SANITIZE)
extern "C" __attribute__((visibility("default"), used)) const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\nleak:libglib-2.0.so\n";
}
#endif

// What the tests take from POSIX that Windows names otherwise: the environment of the process.
// On POSIX this is the C library itself.
#pragma once

#include <cstdlib>

#ifdef _WIN32
// _putenv_s changes the process's environment (what GetEnvironmentVariableW reads) as well.
inline int setenv(const char* name, const char* value, int overwrite) {
  if (!overwrite && std::getenv(name)) return 0;
  return _putenv_s(name, value) == 0 ? 0 : -1;
}
inline int unsetenv(const char* name) { return _putenv_s(name, "") == 0 ? 0 : -1; }
#endif

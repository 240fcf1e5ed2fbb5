// The shell's "open" on POSIX: the program is spawned directly, detached, with its arguments
// split from the parameter string as the Windows shell's child would split them.
#include "platform/Shell.h"

#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <mutex>

#include "platform/LastError.h"
#include "platform/posix/Errors.h"

extern char** environ;

namespace platform {

namespace {

intptr_t Fail(uint32_t code) {
  SetLastErrorValue(code);
  // Codes above 32 would read as success.
  return code == 0 || code > 32 ? static_cast<intptr_t>(ERROR_GEN_FAILURE) : static_cast<intptr_t>(code);
}

// Programs we started and nobody waits for. The ones that have ended are reaped at the next
// start, so a long-running caller keeps no more than its live children and the last ones to end;
// a reaper thread would cost the launch path a thread start and a slower exit.
std::mutex gStartedLock;
std::vector<pid_t> gStarted;

void Started(pid_t pid) {
  std::lock_guard<std::mutex> lock(gStartedLock);
  std::erase_if(gStarted, [](pid_t p) { return ::waitpid(p, nullptr, WNOHANG) != 0; });
  gStarted.push_back(pid);
}

bool IsDirectory(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

intptr_t ShellExecuteW(void*, std::u16string_view verb, const rtl::String& file,
                       const rtl::String& parameters, const rtl::String& directory, int) {
  if (!verb.empty() && !rtl::SameText(verb, u"open")) return Fail(SE_ERR_NOASSOC);
  if (file.empty()) return Fail(ERROR_FILE_NOT_FOUND);
  std::string dir = rtl::U8(directory);
  if (!dir.empty() && !IsDirectory(dir)) return Fail(ERROR_PATH_NOT_FOUND);
  // A relative name is taken from the working directory the program gets.
  std::string path = rtl::U8(file);
  if (path[0] != '/' && !dir.empty()) path = dir + "/" + path;

  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    int e = errno;
    if (e == ENOENT) {
      std::string parent = rtl::U8(rtl::ExtractFileDir(rtl::S(path)));
      if (!parent.empty() && !IsDirectory(parent)) return Fail(ERROR_PATH_NOT_FOUND);
    }
    return Fail(WindowsErrorFromErrno(e));
  }
  // A folder has no program to open it with here.
  if (S_ISDIR(st.st_mode)) return Fail(SE_ERR_NOASSOC);
  // Files unpacked from archives made on Windows carry no execute bit: they do not start.
  if (::access(path.c_str(), X_OK) != 0) return Fail(ERROR_ACCESS_DENIED);

  std::vector<std::string> argv8{path};
  for (const rtl::String& a : CommandLineToArgs(parameters)) argv8.push_back(rtl::U8(a));
  std::vector<char*> argv;
  for (std::string& a : argv8) argv.push_back(a.data());
  argv.push_back(nullptr);

  posix_spawnattr_t attr;
  posix_spawn_file_actions_t actions;
  if (posix_spawnattr_init(&attr) != 0) return Fail(ERROR_NOT_ENOUGH_MEMORY);
  if (posix_spawn_file_actions_init(&actions) != 0) {
    posix_spawnattr_destroy(&attr);
    return Fail(ERROR_NOT_ENOUGH_MEMORY);
  }
  // Detached: its own session, a clean signal mask and default dispositions, so the program
  // neither dies with our terminal nor inherits what we block or ignore.
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  if (!dir.empty()) posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
  pid_t pid = 0;
  int rc = posix_spawn(&pid, path.c_str(), &actions, &attr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) return Fail(WindowsErrorFromErrno(rc));
  Started(pid);
  SetLastErrorValue(ERROR_SUCCESS);
  return 42;  // any value above 32 means success; this is the one the shell answers
}

}  // namespace platform

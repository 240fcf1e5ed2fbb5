// Shared helpers of the archive tests: a scratch folder, the 7z program, file trees.
#pragma once

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "rtl/SysUtils.h"
// Under Wine the commands (7z, openssl, sh) are the Linux host's, and a path is the same on both
// sides once the drive Z: (where Wine maps "/") is taken off.
#include "tests/HostCommand.h"

namespace sztest {

namespace fs = std::filesystem;

inline std::string Quote(const std::string& s) { return krvtest::ShellQuote(s); }

// A path as the shell sees it.
inline std::string HostPath(const fs::path& p) {
#ifdef _WIN32
  std::string s = p.generic_string();
  if (s.size() >= 2 && (s[0] == 'Z' || s[0] == 'z') && s[1] == ':') s.erase(0, 2);
  return s;
#else
  return p.string();
#endif
}
inline std::string Quote(const fs::path& p) { return Quote(HostPath(p)); }
inline std::string Quote(const char* s) { return Quote(std::string(s)); }

// Runs a shell command; answers its exit status.
inline int Run(const std::string& cmd) { return krvtest::RunHostCommand(cmd + " >/dev/null 2>&1"); }

inline void WriteFile(const fs::path& p, const std::string& data) {
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << data;
}

inline std::string ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

#ifdef _WIN32
// What the host's stat says of the file (Windows has no mode bits to ask for).
inline std::string HostStat(const fs::path& p, const std::string& AOptions) {
  krvtest::THostRun r = krvtest::RunHostCaptured("stat " + AOptions + " " + Quote(p));
  return r.Code == 0 ? r.Out : "";
}
inline uint32_t ModeOf(const fs::path& p) {
  std::string text = HostStat(p, "-c %a");
  return text.empty() ? 0xFFFFFFFF : uint32_t(std::stoul(text, nullptr, 8));
}
inline int64_t MTimeOf(const fs::path& p) {
  std::string text = HostStat(p, "-L -c %Y");
  return text.empty() ? -1 : std::stoll(text);
}
inline void SetMTime(const fs::path& p, int64_t unixSeconds) {
  Run("touch -h -d @" + std::to_string(unixSeconds) + " " + Quote(p));
}
#else
inline uint32_t ModeOf(const fs::path& p) {
  struct stat st{};
  if (::lstat(p.c_str(), &st) != 0) return 0xFFFFFFFF;
  return st.st_mode & 07777;
}

inline int64_t MTimeOf(const fs::path& p) {
  struct stat st{};
  if (::stat(p.c_str(), &st) != 0) return -1;
  return st.st_mtim.tv_sec;
}

inline void SetMTime(const fs::path& p, int64_t unixSeconds) {
  struct timespec ts[2] = {{unixSeconds, 0}, {unixSeconds, 0}};
  ::utimensat(AT_FDCWD, p.c_str(), ts, AT_SYMLINK_NOFOLLOW);
}
#endif

// Deterministic bytes that don't compress (a linear congruential generator).
inline std::string PseudoRandom(size_t size, uint32_t seed) {
  std::string s(size, '\0');
  uint64_t x = seed * 2862933555777941757ULL + 3037000493ULL;
  for (size_t i = 0; i < size; ++i) {
    x = x * 6364136223846793005ULL + 1442695040888963407ULL;
    s[i] = char(x >> 56);
  }
  return s;
}

// One entry of a tree: kind, permission bits, content and modification time.
struct TEntry {
  char Kind;  // 'f' file, 'd' folder
  uint32_t Mode;
  std::string Content;
  int64_t MTime;
  bool operator==(const TEntry& o) const {
    return Kind == o.Kind && Mode == o.Mode && Content == o.Content && MTime == o.MTime;
  }
};

// Every entry below root by relative path; folder times are left out (their content moves them).
// On Windows a mode is only its owner-write bit: the read-only attribute is all a file keeps.
inline std::map<std::string, TEntry> Tree(const fs::path& root) {
  std::map<std::string, TEntry> r;
  if (!fs::exists(root)) return r;
#ifdef _WIN32
  const uint32_t kept = 0200;
#else
  const uint32_t kept = 07777;
#endif
  for (auto& e : fs::recursive_directory_iterator(root)) {
    const std::u8string name = fs::relative(e.path(), root).generic_u8string();
    const std::string rel(name.begin(), name.end());
    if (e.is_directory())
      r[rel] = {'d', ModeOf(e.path()) & kept, "", 0};
    else
      r[rel] = {'f', ModeOf(e.path()) & kept, ReadFile(e.path()), MTimeOf(e.path())};
  }
  return r;
}

inline std::string Describe(const std::map<std::string, TEntry>& t) {
  std::string s;
  for (auto& [k, v] : t)
    s += k + " " + v.Kind + " " + std::to_string(v.Mode) + " " + std::to_string(v.Content.size()) + " " +
         std::to_string(v.MTime) + "\n";
  return s;
}

// A fresh scratch folder per test, removed afterwards (write bits restored first).
class TScratch {
 public:
  TScratch() {
#ifdef _WIN32
    // Under /tmp, as on Linux, where the host's commands find it under the same name.
    static std::atomic<int> counter{0};
    Root = fs::path("Z:\\tmp") / ("krv-sevenzip-" + std::to_string(getpid()) + "-" + std::to_string(counter++));
    std::error_code ec;
    fs::remove_all(Root, ec);  // a run before this one that had the same number and did not end
    fs::create_directories(Root);
#else
    char tmpl[] = "/tmp/krv-sevenzip-XXXXXX";
    Root = ::mkdtemp(tmpl);
#endif
  }
  ~TScratch() {
#ifdef _WIN32
    // The host removes it: Wine cannot delete a dangling link, nor anything below a read-only folder.
    Run("chmod -R u+w " + Quote(Root) + "; rm -rf " + Quote(Root));
    return;
#endif
    std::error_code ec;
    for (auto& e : fs::recursive_directory_iterator(Root, ec))
      if (e.is_directory()) fs::permissions(e.path(), fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(Root, ec);
  }
  // With the system's separator throughout ("a/b" is "a\\b" on Windows), as the programs name it.
  // The name is UTF-8 (Windows would read a narrow name in its ANSI code page).
  fs::path operator/(const std::string& s) const {
    return (Root / fs::path(std::u8string(s.begin(), s.end()))).make_preferred();
  }
  rtl::String U(const std::string& s) const { return rtl::S((*this / s).string()); }
  fs::path Root;
};

// Makes an archive with the 7z program from inside folder `from`; extra are 7z switches.
inline bool Make7z(const fs::path& archive, const fs::path& from, const std::string& extra = "",
                   const std::string& what = ".") {
  return Run("cd " + Quote(from) + " && 7z a -bd -y " + extra + " " + Quote(archive) + " " + what) == 0;
}

// What the 7z program extracts, for comparison.
inline bool Extract7z(const fs::path& archive, const fs::path& to, const std::string& extra = "") {
  return Run("7z x -bd -y " + extra + " -o" + Quote(to) + " " + Quote(archive)) == 0;
}

}  // namespace sztest

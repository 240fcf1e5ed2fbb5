// The desktop folder of the XDG user dirs, and the shell link saved as a freedesktop desktop entry.
#include "platform/DesktopEntry.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "platform/Files.h"
#include "platform/LastError.h"
#include "platform/Shell.h"
#include "platform/posix/DesktopEntryText.h"
#include "platform/posix/Errors.h"
#include "rtl/Exception.h"

namespace platform {

namespace {

std::string HomeFolder() {
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] != '\0') return home;
  struct passwd pw, *found = nullptr;
  std::vector<char> buf(16384);
  if (::getpwuid_r(::getuid(), &pw, buf.data(), buf.size(), &found) == 0 && found != nullptr &&
      found->pw_dir != nullptr && found->pw_dir[0] != '\0')
    return found->pw_dir;
  return "";
}

std::string WithoutTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// home and the rest ("" or "/..."), without doubling the separator of a home of "/".
std::string UnderHome(std::string_view home, std::string_view rest) {
  while (!home.empty() && home.back() == '/') home.remove_suffix(1);
  std::string r = std::string(home) + std::string(rest);
  return r.empty() ? "/" : r;
}

// The start of a user-dirs.dirs file; a FIFO or a device in its place is not read (no waiting).
std::string ReadSmallFile(const std::string& path) {
  std::string text;
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return text;
  struct stat st;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    text.resize(1 << 16);
    size_t done = 0;
    while (done < text.size()) {
      ssize_t n = ::read(fd, text.data() + done, text.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    text.resize(done);
  }
  ::close(fd);
  return text;
}

[[noreturn]] void RaiseSaveError(const std::string& path, int err) {
  throw rtl::EOSError(u"Cannot write the desktop entry \"" + rtl::S(path) + u"\": " + rtl::SysErrorMessage(err),
                      static_cast<int>(WindowsErrorFromErrno(err)));
}

}  // namespace

std::string DesktopFolderFromUserDirs(std::string_view text, std::string_view home) {
  std::string result;
  const std::string_view key = "XDG_DESKTOP_DIR";
  while (!text.empty()) {
    size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    size_t p = line.find_first_not_of(" \t");
    if (p == std::string_view::npos || line.substr(p, key.size()) != key) continue;
    p = line.find_first_not_of(" \t", p + key.size());
    if (p == std::string_view::npos || line[p] != '=') continue;
    p = line.find_first_not_of(" \t", p + 1);
    if (p == std::string_view::npos || line[p] != '"') continue;
    std::string value;
    bool closed = false;
    for (++p; p < line.size(); ++p) {
      if (line[p] == '\\' && p + 1 < line.size()) {
        value += line[++p];
      } else if (line[p] == '"') {
        closed = true;
        break;
      } else {
        value += line[p];
      }
    }
    if (!closed) continue;
    if (value == "$HOME" || value.rfind("$HOME/", 0) == 0) {
      if (!home.empty()) result = UnderHome(home, std::string_view(value).substr(5));
    } else if (!value.empty() && value[0] == '/') {
      result = value;
    }
  }
  return result;
}

rtl::String GetDesktopFolderPath() {
  const char* env = std::getenv("XDG_DESKTOP_DIR");
  if (env != nullptr && env[0] == '/') return rtl::S(WithoutTrailingSlashes(env));
  std::string home = HomeFolder();
  std::string config;
  const char* configHome = std::getenv("XDG_CONFIG_HOME");
  if (configHome != nullptr && configHome[0] == '/')
    config = configHome;
  else if (!home.empty())
    config = home + "/.config";
  if (!config.empty()) {
    std::string fromFile = DesktopFolderFromUserDirs(ReadSmallFile(config + "/user-dirs.dirs"), home);
    if (!fromFile.empty()) return rtl::S(WithoutTrailingSlashes(fromFile));
  }
  if (home.empty()) return rtl::String();
  return rtl::S(UnderHome(home, "/Desktop"));
}

std::string DesktopEscapeString(std::string_view value) {
  std::string out;
  out.reserve(value.size() + 8);
  for (size_t i = 0; i < value.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(value[i]);
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      case ' ': out += i == 0 ? "\\s" : " "; break;  // a reader trims blanks after "="
      default:
        if (c < 0x20 || c == 0x7F)
          throw rtl::EArgumentException(u"A desktop entry cannot hold the control character " +
                                        rtl::IntToStr(c));
        out += static_cast<char>(c);
    }
  }
  return out;
}

std::string DesktopQuoteArgument(std::string_view arg) {
  std::string out = "\"";
  for (char c : arg) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') out += '\\';
    if (c == '%') out += '%';
    out += c;
  }
  return out + "\"";
}

std::string DesktopEntryText(const TShellLink& link, const rtl::String& name) {
  std::string exec = DesktopQuoteArgument(rtl::U8(link.Path()));
  for (const rtl::String& arg : CommandLineToArgs(link.Arguments())) exec += " " + DesktopQuoteArgument(rtl::U8(arg));
  std::string text = "[Desktop Entry]\nType=Application\nName=" + DesktopEscapeString(rtl::U8(name)) +
                     "\nExec=" + DesktopEscapeString(exec) + "\n";
  if (!link.WorkingDirectory().empty()) text += "Path=" + DesktopEscapeString(rtl::U8(link.WorkingDirectory())) + "\n";
  return text;
}

rtl::String ShellLinkFileName(const rtl::String& folder, const rtl::String& name) {
  if (name.empty() || name == u"." || name == u".." || name.find(u'/') != rtl::String::npos)
    throw rtl::EOSError(u"Invalid link name \"" + name + u"\"", static_cast<int>(ERROR_INVALID_NAME));
  return rtl::IncludeTrailingPathDelimiter(folder) + name + u".desktop";
}

void TShellLink::Save(const rtl::String& fileName) const {
  std::string path = rtl::U8(fileName);
  rtl::String name = rtl::ExtractFileName(fileName);
  const std::u16string_view ext = u".desktop";
  if (name.size() > ext.size() && name.compare(name.size() - ext.size(), ext.size(), ext) == 0)
    name.resize(name.size() - ext.size());
  if (FPath.empty() || name.empty() || name == u"." || name == u"..")
    throw rtl::EOSError(u"Cannot write the desktop entry \"" + fileName + u"\": no target or no name",
                        static_cast<int>(ERROR_INVALID_PARAMETER));
  std::string text = DesktopEntryText(*this, name);

  // Written beside the old entry under a hidden name, then renamed over it: a failure leaves the
  // old entry as it was, and the desktop never shows half an entry.
  size_t slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
  std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  std::string temp = dir + "/." + base + ".XXXXXX";
  int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) RaiseSaveError(path, errno);
  int err = 0;
  for (size_t done = 0; done < text.size() && err == 0;) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0)
      err = n < 0 ? errno : EIO;
    else
      done += static_cast<size_t>(n);
  }
  if (err == 0 && ::fchmod(fd, (0755 & ~ProcessUmask()) | S_IRWXU) != 0) err = errno;
  if (err == 0 && ::fsync(fd) != 0) err = errno;
  if (::close(fd) != 0 && err == 0) err = errno;
  if (err == 0 && ::rename(temp.c_str(), path.c_str()) != 0) err = errno;
  if (err != 0) {
    ::unlink(temp.c_str());
    RaiseSaveError(path, err);
  }
}

}  // namespace platform

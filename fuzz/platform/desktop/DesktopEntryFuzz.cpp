// Any bytes, taken as a user-dirs.dirs file and as the shortcut's parameters and names: the
// desktop folder found is empty or absolute, and an entry holds exactly its own keys, one a line,
// whatever the parameters contain (no line of theirs can become a key of its own).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/posix/DesktopEntryText.h"
#include "rtl/Exception.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  std::string folder = platform::DesktopFolderFromUserDirs(bytes, "/home/u");
  if (!folder.empty() && folder[0] != '/') std::abort();
  if (!platform::DesktopFolderFromUserDirs(bytes, "").empty() && folder.empty()) std::abort();

  // Split into target, parameters, folder and name at the first three zero bytes.
  std::string parts[4];
  size_t k = 0;
  for (char c : bytes) {
    if (c == '\0' && k < 3)
      ++k;
    else
      parts[k] += c;
  }
  platform::TShellLink link;
  link.SetPath(rtl::S(parts[0]));
  link.SetArguments(rtl::S(parts[1]));
  link.SetWorkingDirectory(rtl::S(parts[2]));
  std::string text;
  try {
    text = platform::DesktopEntryText(link, rtl::S(parts[3]));
  } catch (const rtl::EArgumentException&) {
    return 0;  // a control character no value can carry
  }
  const char* const keys[] = {"[Desktop Entry]\n", "Type=Application\n", "Name=", "Exec=", "Path="};
  size_t pos = 0, line = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos || line >= 5) std::abort();
    std::string_view l(text.data() + pos, end + 1 - pos), key(keys[line]);
    if (l.substr(0, key.size()) != key) std::abort();
    pos = end + 1;
    ++line;
  }
  if (line < 4) std::abort();
  return 0;
}

// The rules every system's files share: which permission bits an archive's attributes give.
#include "platform/Files.h"

namespace platform {

namespace {
// What the archive asks for, as far as we let it: through the umask, and never writable by the
// group or others, whatever the archive or a umask of 000 says.
uint32_t Tamed(uint32_t mode) { return mode & 0777 & ~ProcessUmask() & ~uint32_t(022); }
}  // namespace

uint32_t FileModeFromAttributes(uint32_t attributes) {
  // Only a regular file's mode is taken: a stored link (0777) or device is written as an ordinary
  // file.
  uint32_t type = (attributes >> 16) & 0170000;
  if ((attributes & FILE_ATTRIBUTE_UNIX_EXTENSION) && (type == 0100000 || type == 0)) return Tamed(attributes >> 16);
  uint32_t mode = Tamed(0666);
  if (attributes & FILE_ATTRIBUTE_READONLY) mode &= ~0222u;
  return mode;
}

int32_t FolderModeFromAttributes(uint32_t attributes) {
  if (attributes & FILE_ATTRIBUTE_UNIX_EXTENSION) return static_cast<int32_t>(Tamed(attributes >> 16));
  return -1;
}

uint32_t MadeFolderMode() { return Tamed(0755); }

}  // namespace platform

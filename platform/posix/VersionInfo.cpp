// Version information of files on POSIX: the block of a PE or ELF file read with pread.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/LastError.h"
#include "platform/VersionInfo.h"
#include "platform/VersionInfoSource.h"
#include "platform/posix/Errors.h"

namespace platform {

namespace {

class TFileSource : public TSource {
 public:
  explicit TFileSource(int fd, uint64_t size) : FFd(fd) { FSize = size; }
  ~TFileSource() override { ::close(FFd); }
  bool ReadAt(uint64_t offset, void* buffer, size_t count) override {
    if (offset > FSize || count > FSize - offset) return false;
    auto* p = static_cast<uint8_t*>(buffer);
    while (count > 0) {
      ssize_t n = ::pread(FFd, p, count, static_cast<off_t>(offset));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      p += n;
      offset += static_cast<uint64_t>(n);
      count -= static_cast<size_t>(n);
    }
    return true;
  }

 private:
  int FFd;
};

rtl::Bytes VersionBlockFromFile(const rtl::String& fileName, uint32_t& error) {
  // O_NONBLOCK: opening a FIFO must not wait for a writer.
  int fd = ::open(rtl::U8(fileName).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    error = WindowsErrorFromErrno(errno);
    return {};
  }
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    error = ERROR_ACCESS_DENIED;
    return {};
  }
  TFileSource src(fd, static_cast<uint64_t>(st.st_size));
  return VersionBlockFromSource(src, error);
}

}  // namespace

uint32_t GetFileVersionInfoSizeW(const rtl::String& fileName, uint32_t* handle) {
  if (handle) *handle = 0;
  uint32_t error;
  rtl::Bytes block = VersionBlockFromFile(fileName, error);
  SetLastErrorValue(error);
  return static_cast<uint32_t>(block.size());
}

bool GetFileVersionInfoW(const rtl::String& fileName, uint32_t, uint32_t len, void* data) {
  uint32_t error;
  rtl::Bytes block = VersionBlockFromFile(fileName, error);
  if (block.empty()) {
    SetLastErrorValue(error);
    return false;
  }
  if (data == nullptr || len < block.size()) {
    SetLastErrorValue(ERROR_INSUFFICIENT_BUFFER);
    return false;
  }
  std::memcpy(data, block.data(), block.size());
  SetLastErrorValue(ERROR_SUCCESS);
  return true;
}

bool VerQueryValueW(const void* block, std::u16string_view subBlock, const void** buffer, uint32_t* len) {
  if (block == nullptr) return false;
  const auto* b = static_cast<const uint8_t*>(block);
  const uint8_t* out = nullptr;
  // The block's own length bounds every read, as the buffer came from GetFileVersionInfoW.
  if (!VerQueryValueIn(b, static_cast<uint16_t>(b[0] | (b[1] << 8)), subBlock, &out, len)) return false;
  if (buffer) *buffer = out;
  return true;
}

}  // namespace platform

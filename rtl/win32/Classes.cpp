// Streams over files on Windows: file HANDLEs opened with wide paths, the share modes as the
// system's sharing modes.
#include "rtl/Classes.h"

#include <algorithm>

#include "rtl/win32/WinApi.h"

namespace rtl {

namespace {
HANDLE H(intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }
std::wstring Wide(const String& s) { return std::wstring(s.begin(), s.end()); }
}  // namespace

THandleStream::~THandleStream() {
  if (H(FHandle) != INVALID_HANDLE_VALUE) CloseHandle(H(FHandle));
}

int64_t THandleStream::Read(void* buffer, int64_t count) {
  if (count <= 0) return 0;
  auto* p = static_cast<uint8_t*>(buffer);
  int64_t done = 0;
  while (done < count) {
    DWORD n = 0;
    DWORD want = static_cast<DWORD>(std::min<int64_t>(count - done, 1 << 30));
    if (!ReadFile(H(FHandle), p + done, want, &n, nullptr) || n == 0) break;
    done += n;
  }
  return done;
}

int64_t THandleStream::Write(const void* buffer, int64_t count) {
  if (count <= 0) return 0;
  const auto* p = static_cast<const uint8_t*>(buffer);
  int64_t done = 0;
  while (done < count) {
    DWORD n = 0;
    DWORD want = static_cast<DWORD>(std::min<int64_t>(count - done, 1 << 30));
    if (!WriteFile(H(FHandle), p + done, want, &n, nullptr) || n == 0) break;
    done += n;
  }
  return done;
}

int64_t THandleStream::Seek(int64_t offset, TSeekOrigin origin) {
  DWORD method = origin == soBeginning ? FILE_BEGIN : (origin == soCurrent ? FILE_CURRENT : FILE_END);
  LARGE_INTEGER to, now;
  to.QuadPart = offset;
  if (!SetFilePointerEx(H(FHandle), to, &now, method)) return -1;
  return now.QuadPart;
}

void THandleStream::SetSize(int64_t newSize) {
  int64_t pos = Position();
  if (Seek(newSize, soBeginning) != newSize || !SetEndOfFile(H(FHandle)))
    throw EStreamError(u"Stream size error: " + SysErrorMessage(GetLastOSError()));
  Seek(std::min(pos, newSize), soBeginning);
}

namespace {
// Compatibility mode shares like deny-none, as it does on POSIX where nothing is locked.
DWORD ShareMode(uint16_t mode) {
  switch (mode & 0xF0) {
    case fmShareExclusive: return 0;
    case fmShareDenyWrite: return FILE_SHARE_READ;
    case fmShareDenyRead: return FILE_SHARE_WRITE;
    default: return FILE_SHARE_READ | FILE_SHARE_WRITE;
  }
}
}  // namespace

TFileStream::TFileStream(const String& fileName, uint16_t mode, uint32_t rights)
    : THandleStream(reinterpret_cast<intptr_t>(INVALID_HANDLE_VALUE)), FFileName(fileName) {
  bool create = (mode & 0xFF00) == fmCreate;
  DWORD access = GENERIC_READ | GENERIC_WRITE;
  if (!create && (mode & 3) == fmOpenWrite) access = GENERIC_WRITE;
  else if (!create && (mode & 3) == fmOpenRead) access = GENERIC_READ;
  // A folder cannot be opened as a file: CreateFileW refuses it with ERROR_ACCESS_DENIED.
  HANDLE h = CreateFileW(Wide(fileName).c_str(), access, create ? ShareMode(mode & 0xF0) : ShareMode(mode), nullptr,
                         create ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    String reason = SysErrorMessage(GetLastOSError());
    if (create) throw EFCreateError(Format(u"Cannot create file \"%s\". %s", {fileName, reason}));
    throw EFOpenError(Format(u"Cannot open file \"%s\". %s", {fileName, reason}));
  }
  FHandle = reinterpret_cast<intptr_t>(h);
}

}  // namespace rtl

// The signature services on Windows: the engine is linked in (CNG and libgcrypt, CryptoEngine.cpp
// beside this file), files are read through the system's handles with wide paths.
#include "platform/crypto/CryptoSystem.h"

#include <string>

#include "rtl/win32/WinApi.h"

namespace platform::detail {

const TCryptoEngine& CryptoEngine() {
  static const TCryptoEngine engine{krv_crypto_get_api(), rtl::String(), rtl::String()};
  return engine;
}

TRegularFile::TRegularFile(const rtl::String& AFileName) : FName(AFileName) {
  std::wstring name(AFileName.begin(), AFileName.end());
  // Backup semantics open a folder too, so it is told apart from a missing file.
  HANDLE h = CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                         FILE_FLAG_SEQUENTIAL_SCAN | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    DWORD e = GetLastError();
    if (e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND) throw ESignatureError(AFileName + u" does not exist");
    throw ESignatureError(AFileName + u" cannot be read: " + rtl::SysErrorMessage(int(e)));
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileType(h) != FILE_TYPE_DISK || !GetFileInformationByHandle(h, &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    CloseHandle(h);
    throw ESignatureError(AFileName + u" is not a regular file");
  }
  FHandle = reinterpret_cast<intptr_t>(h);
  FSize = (int64_t(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
}

TRegularFile::~TRegularFile() { CloseHandle(reinterpret_cast<HANDLE>(FHandle)); }

size_t TRegularFile::Read(void* ABuffer, size_t ASize) {
  auto* p = static_cast<uint8_t*>(ABuffer);
  size_t done = 0;
  while (done < ASize) {
    DWORD piece = ASize - done > 0x40000000 ? 0x40000000 : DWORD(ASize - done), got = 0;
    if (!ReadFile(reinterpret_cast<HANDLE>(FHandle), p + done, piece, &got, nullptr))
      throw ESignatureError(FName + u" cannot be read: " + rtl::SysErrorMessage(int(GetLastError())));
    if (got == 0) break;
    done += got;
  }
  return done;
}

void SecureZero(void* AData, size_t ASize) { SecureZeroMemory(AData, ASize); }

}  // namespace platform::detail

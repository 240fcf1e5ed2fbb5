#include "KeyFiles.h"

#include <cstdio>
#include <string>

#include "platform/Random.h"
#include "rtl/SysUtils.h"

#include "rtl/win32/WinApi.h"
#include <fcntl.h>
#include <io.h>
#include <sddl.h>

namespace krvsign {

namespace {

std::wstring Wide(const std::string& AUtf8) {
  rtl::String s = rtl::S(AUtf8);
  return std::wstring(s.begin(), s.end());
}

[[noreturn]] void FailLast(const std::string& AWhat, DWORD AError = GetLastError()) {
  Fail(AWhat + ": " + rtl::U8(rtl::SysErrorMessage(int(AError))));
}

bool WriteAll(HANDLE AFile, std::string_view AData) {
  while (!AData.empty()) {
    DWORD piece = AData.size() > 0x40000000 ? 0x40000000 : DWORD(AData.size()), done = 0;
    if (!WriteFile(AFile, AData.data(), piece, &done, nullptr) || done == 0) return false;
    AData.remove_prefix(done);
  }
  return true;
}

// Writes, flushes and closes a file just made; when any step fails, removes it and fails naming
// AName.
void FinishWritten(HANDLE AFile, std::string_view AData, const std::wstring& APath, const std::string& AName) {
  bool ok = WriteAll(AFile, AData) && FlushFileBuffers(AFile);
  DWORD e = GetLastError();
  if (!CloseHandle(AFile) && ok) {
    ok = false;
    e = GetLastError();
  }
  if (ok) return;
  DeleteFileW(APath.c_str());
  FailLast("cannot write " + AName, e);
}

// A security descriptor that grants the user running us full access and no one else anything
// (the folder's inherited entries are cut off): the key file's 0600.
struct TOwnerOnly {
  PSECURITY_DESCRIPTOR Descriptor = nullptr;
  ~TOwnerOnly() { LocalFree(Descriptor); }
  bool Make() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    union {
      TOKEN_USER User;
      char Bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    } info;
    DWORD size = 0;
    bool ok = GetTokenInformation(token, TokenUser, &info, sizeof info, &size);
    CloseHandle(token);
    LPWSTR sid = nullptr;
    if (!ok || !ConvertSidToStringSidW(info.User.User.Sid, &sid)) return false;
    std::wstring sddl = L"D:P(A;;FA;;;" + std::wstring(sid) + L")";
    LocalFree(sid);
    return ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &Descriptor, nullptr);
  }
};

}  // namespace

void UseBinaryOutput() {
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
}

void WriteNewKeyFile(const std::string& APath, std::string_view AData) {
  TOwnerOnly owner;
  if (!owner.Make()) FailLast("cannot create " + APath);
  SECURITY_ATTRIBUTES sa{sizeof sa, owner.Descriptor, FALSE};
  const std::wstring path = Wide(APath);
  // CREATE_NEW: whatever has the name, a link included, is left as it is.
  HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, &sa, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    DWORD e = GetLastError();
    if (e == ERROR_FILE_EXISTS || e == ERROR_ALREADY_EXISTS) Fail(APath + " exists; a key file is never overwritten");
    FailLast("cannot create " + APath, e);
  }
  FinishWritten(h, AData, path, APath);
}

std::string ReadKeyFile(const std::string& APath) {
  // Backup semantics open a folder too, so that it is refused as what it is.
  HANDLE h = CreateFileW(Wide(APath).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) FailLast("cannot open " + APath);
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileType(h) != FILE_TYPE_DISK || !GetFileInformationByHandle(h, &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    CloseHandle(h);
    Fail(APath + " is not a regular file");
  }
  std::string pem;
  char buf[4096];
  pem.reserve(65536 + sizeof(buf));  // no reallocation leaves a copy of the key behind
  DWORD n = 0;
  while (pem.size() <= 65536 && ReadFile(h, buf, sizeof buf, &n, nullptr) && n > 0) pem.append(buf, n);
  Wipe(buf, sizeof(buf));
  CloseHandle(h);
  return pem;
}

void WriteReplacing(const std::string& APath, std::string_view AText) {
  std::wstring temp;
  HANDLE h = INVALID_HANDLE_VALUE;
  DWORD e = ERROR_FILE_EXISTS;
  // A random name beside the target, made new (never an existing file or a link's target).
  for (int attempt = 0; attempt < 16 && h == INVALID_HANDLE_VALUE && e == ERROR_FILE_EXISTS; ++attempt) {
    uint8_t random[6];
    if (!platform::GenerateRandomBytes(random, sizeof random)) FailLast("cannot create a file beside " + APath);
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, ".%02x%02x%02x%02x%02x%02x", random[0], random[1], random[2], random[3],
                  random[4], random[5]);
    temp = Wide(APath + suffix);
    h = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    e = h == INVALID_HANDLE_VALUE ? GetLastError() : 0;
  }
  if (h == INVALID_HANDLE_VALUE) FailLast("cannot create a file beside " + APath, e);
  FinishWritten(h, AText, temp, APath);
  if (!MoveFileExW(temp.c_str(), Wide(APath).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    e = GetLastError();
    DeleteFileW(temp.c_str());
    FailLast("cannot write " + APath, e);
  }
}

void Wipe(void* AData, size_t ASize) { SecureZeroMemory(AData, ASize); }

}  // namespace krvsign

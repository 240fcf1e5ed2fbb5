// Files and folders over Win32: wide paths, handles opened with backup semantics (folders too)
// and never through a reparse point below an open folder (FILE_FLAG_OPEN_REPARSE_POINT), names
// below a folder reached through the folder's own final path, byte-range locks on a lock file.
#include "platform/Files.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cwchar>
#include <cwctype>
#include <thread>

#include "platform/LastError.h"
#include "platform/Random.h"

// After our headers: the system's headers define the ERROR_*, FILE_ATTRIBUTE_* and DRIVE_* names
// as macros of the same values.
#include "rtl/win32/WinApi.h"

#include <aclapi.h>
#include <sddl.h>

#undef GetDriveType

namespace platform {

namespace {

HANDLE H(TFileHandle h) { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(h)); }
TFileHandle Handle(HANDLE h) {
  return h == INVALID_HANDLE_VALUE ? INVALID_FILE_HANDLE : TFileHandle(reinterpret_cast<intptr_t>(h));
}

TFileHandle FailWith(uint32_t code) {
  ::SetLastError(code);
  return INVALID_FILE_HANDLE;
}
bool Fail(uint32_t code) {
  ::SetLastError(code);
  return false;
}

std::wstring Wide(const rtl::String& s) { return std::wstring(s.begin(), s.end()); }

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// A folder opens only with backup semantics; a reparse point below a folder is opened itself.
constexpr DWORD kBelow = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;

// A device the system answers for under this name in every folder ("NUL", "com1.txt", "Aux .log"):
// what is before the first dot, without trailing blanks. Through a "\\?\" path the name would
// make a file that most programs can then neither open nor remove.
bool ReservedDeviceName(const std::wstring& n) {
  std::wstring base = n.substr(0, n.find(L'.'));
  while (!base.empty() && base.back() == L' ') base.pop_back();
  for (wchar_t& c : base) c = towupper(c);
  if (base == L"CON" || base == L"PRN" || base == L"AUX" || base == L"NUL" || base == L"CONIN$" || base == L"CONOUT$")
    return true;
  return base.size() == 4 && (base.compare(0, 3, L"COM") == 0 || base.compare(0, 3, L"LPT") == 0) &&
         ((base[3] >= L'0' && base[3] <= L'9') || base[3] == L'\u00B9' || base[3] == L'\u00B2' || base[3] == L'\u00B3');
}

// A component below a folder: one name, nothing the system would read as a path, a stream or a
// device, and nothing it would silently change (a trailing dot or space).
bool ValidName(const std::wstring& n) {
  if (n.empty() || n == L"." || n == L".." || n.back() == L'.' || n.back() == L' ') return false;
  for (wchar_t c : n)
    if (c < 32 || wcschr(L"<>:\"/\\|?*", c)) return false;
  return !ReservedDeviceName(n);
}

// The folder's own path as the system resolved it ("\\?\C:\..." form, so that names are taken as
// they stand), or empty with the last error set.
std::wstring FolderPath(TFileHandle folder) {
  std::wstring buf(MAX_PATH, L'\0');
  for (;;) {
    DWORD n = GetFinalPathNameByHandleW(H(folder), buf.data(), DWORD(buf.size()), FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (n == 0) return std::wstring();
    if (n < buf.size()) {
      buf.resize(n);
      break;
    }
    buf.resize(n);
  }
  if (buf.rfind(L"\\\\?\\", 0) != 0) buf = L"\\\\?\\" + buf;
  if (buf.back() != L'\\') buf += L'\\';
  return buf;
}

// The full path of name below folder; empty (ERROR_INVALID_NAME set) for a name that is no single
// component or that the system cannot hold.
std::wstring PathIn(TFileHandle folder, const std::string& name) {
  const std::wstring n = Wide(rtl::S(name));
  if (!ValidName(n)) {
    ::SetLastError(ERROR_INVALID_NAME);
    return std::wstring();
  }
  std::wstring base = FolderPath(folder);
  return base.empty() ? base : base + n;
}

// The attributes of name below folder (never through a reparse point), INVALID_FILE_ATTRIBUTES
// with the last error when there is nothing or it cannot be seen.
DWORD AttributesIn(TFileHandle folder, const std::string& name) {
  std::wstring p = PathIn(folder, name);
  return p.empty() ? INVALID_FILE_ATTRIBUTES : GetFileAttributesW(p.c_str());
}

TEntryKind KindOf(DWORD attrs) {
  if (attrs == INVALID_FILE_ATTRIBUTES) return TEntryKind::None;
  if (attrs & FILE_ATTRIBUTE_REPARSE_POINT) return TEntryKind::Link;
  if (attrs & FILE_ATTRIBUTE_DIRECTORY) return TEntryKind::Folder;
  return attrs & FILE_ATTRIBUTE_DEVICE ? TEntryKind::Other : TEntryKind::File;
}

bool NotFound(DWORD e) { return e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND; }

// The Unix bits the attributes stand for: read-only clears the write bits.
int32_t ModeOfAttributes(DWORD attrs) {
  int32_t mode = (attrs & FILE_ATTRIBUTE_DIRECTORY) ? 0777 : 0666;
  return attrs & FILE_ATTRIBUTE_READONLY ? mode & ~0222 : mode;
}

// A security descriptor for the user running us alone (the folder's inherited entries cut off):
// what a mode without group or other bits means, as for a private key or a private folder.
struct TOwnerOnly {
  PSECURITY_DESCRIPTOR Descriptor = nullptr;
  SECURITY_ATTRIBUTES Attributes{sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};
  TOwnerOnly(const TOwnerOnly&) = delete;
  TOwnerOnly& operator=(const TOwnerOnly&) = delete;
  explicit TOwnerOnly(uint32_t mode) {
    if (mode & 077) return;
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return;
    union {
      TOKEN_USER User;
      char Bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    } info;
    DWORD size = 0;
    bool ok = GetTokenInformation(token, TokenUser, &info, sizeof info, &size);
    ::CloseHandle(token);
    LPWSTR sid = nullptr;
    if (!ok || !ConvertSidToStringSidW(info.User.User.Sid, &sid)) return;
    // Owned by the user too, not by the token's default owner (the Administrators group for an
    // elevated administrator), so that IsPrivateFolder finds the owner it expects.
    std::wstring sddl = L"O:" + std::wstring(sid) + L"D:P(A;OICI;FA;;;" + std::wstring(sid) + L")";
    LocalFree(sid);
    if (ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &Descriptor, nullptr))
      Attributes.lpSecurityDescriptor = Descriptor;
  }
  ~TOwnerOnly() { LocalFree(Descriptor); }
  // Null when the mode asks for nothing private; a failure to make one fails the creation.
  SECURITY_ATTRIBUTES* Get(uint32_t mode) { return (mode & 077) ? nullptr : &Attributes; }
  bool Failed(uint32_t mode) const { return !(mode & 077) && !Descriptor; }
};

}  // namespace

uint32_t ProcessUmask() { return 0; }

bool CloseHandle(TFileHandle h) {
  if (h == INVALID_FILE_HANDLE) return Fail(ERROR_INVALID_HANDLE);
  return ::CloseHandle(H(h));
}

bool GetFileInfo(TFileHandle h, TFileInfo& info) {
  BY_HANDLE_FILE_INFORMATION bhi;
  if (GetFileType(H(h)) != FILE_TYPE_DISK) {
    if (::GetLastError() != NO_ERROR && GetFileType(H(h)) == FILE_TYPE_UNKNOWN) return false;
    info = TFileInfo{TEntryKind::Other, 0, 0, 0};
    return true;
  }
  if (!GetFileInformationByHandle(H(h), &bhi)) return false;
  info.Kind = (bhi.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ? TEntryKind::Other
              : (bhi.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)   ? TEntryKind::Folder
                                                                    : TEntryKind::File;
  info.Size = (int64_t(bhi.nFileSizeHigh) << 32) | bhi.nFileSizeLow;
  info.LastWriteTime = (uint64_t(bhi.ftLastWriteTime.dwHighDateTime) << 32) | bhi.ftLastWriteTime.dwLowDateTime;
  info.FileId = (uint64_t(bhi.nFileIndexHigh) << 32) | bhi.nFileIndexLow;
  return true;
}

int64_t GetFileSizeOfHandle(TFileHandle h) {
  LARGE_INTEGER size;
  return GetFileSizeEx(H(h), &size) ? size.QuadPart : -1;
}

namespace {
// The position of one read or write at a file offset (the handle's own position is left alone).
OVERLAPPED At(uint64_t pos) {
  OVERLAPPED at{};
  at.Offset = DWORD(pos);
  at.OffsetHigh = DWORD(pos >> 32);
  return at;
}
}  // namespace

bool ReadFileAt(TFileHandle h, int64_t offset, void* buffer, uint32_t size, uint32_t* done) {
  *done = 0;
  if (offset < 0) return Fail(ERROR_INVALID_PARAMETER);
  auto* p = static_cast<uint8_t*>(buffer);
  while (*done < size) {
    OVERLAPPED at = At(uint64_t(offset) + *done);
    DWORD n = 0;
    if (!ReadFile(H(h), p + *done, size - *done, &n, &at)) {
      DWORD e = ::GetLastError();
      if (e == ERROR_HANDLE_EOF || e == ERROR_BROKEN_PIPE) break;
      return false;
    }
    if (n == 0) break;
    *done += n;
  }
  return true;
}

bool WriteFileAt(TFileHandle h, int64_t offset, const void* buffer, uint32_t size, uint32_t* done) {
  *done = 0;
  if (offset < 0) return Fail(ERROR_INVALID_PARAMETER);
  auto* p = static_cast<const uint8_t*>(buffer);
  while (*done < size) {
    OVERLAPPED at = At(uint64_t(offset) + *done);
    DWORD n = 0;
    if (!WriteFile(H(h), p + *done, size - *done, &n, &at)) return false;
    if (n == 0) return Fail(ERROR_WRITE_FAULT);
    *done += n;
  }
  return true;
}

bool SetFileLastWriteTime(TFileHandle h, uint64_t fileTimeUtc) {
  FILETIME ft{DWORD(fileTimeUtc), DWORD(fileTimeUtc >> 32)};
  return SetFileTime(H(h), nullptr, nullptr, &ft);
}

bool SyncFile(TFileHandle h) { return FlushFileBuffers(H(h)); }

TFileHandle StandardOutput() {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE), dup = nullptr;
  if (!out || out == INVALID_HANDLE_VALUE) return FailWith(ERROR_INVALID_HANDLE);
  if (!DuplicateHandle(GetCurrentProcess(), out, GetCurrentProcess(), &dup, 0, FALSE, DUPLICATE_SAME_ACCESS))
    return INVALID_FILE_HANDLE;
  return Handle(dup);
}

bool PathExists(const rtl::String& path) {
  return !path.empty() && GetFileAttributesW(Wide(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

TFileHandle CreateFileAlways(const rtl::String& path, uint32_t attributes) {
  const std::wstring p = Wide(path);
  const uint32_t mode = FileModeFromAttributes(attributes);
  DWORD old = GetFileAttributesW(p.c_str());
  if (old != INVALID_FILE_ATTRIBUTES && (old & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)))
    return FailWith(ERROR_ACCESS_DENIED);
  TOwnerOnly owner(mode);
  if (owner.Failed(mode)) return INVALID_FILE_HANDLE;
  HANDLE h = CreateFileW(p.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                         owner.Get(mode), CREATE_ALWAYS,
                         (mode & 0200) ? FILE_ATTRIBUTE_NORMAL : FILE_ATTRIBUTE_READONLY, nullptr);
  if (h == INVALID_HANDLE_VALUE) return INVALID_FILE_HANDLE;
  if (::GetLastError() == ERROR_ALREADY_EXISTS && !(mode & 0200)) {
    // A file written over keeps its old attributes under Wine (Windows adds the new ones): the
    // read-only one is set through the handle, so a replaced file ends as a new one would.
    FILE_BASIC_INFO basic{};
    basic.FileAttributes = FILE_ATTRIBUTE_READONLY;
    if (!SetFileInformationByHandle(h, FileBasicInfo, &basic, sizeof basic)) {
      DWORD e = ::GetLastError();
      ::CloseHandle(h);
      return FailWith(e);
    }
  }
  ::SetLastError(ERROR_SUCCESS);
  return Handle(h);
}

TFileHandle OpenFileForRead(const rtl::String& path) {
  HANDLE h = CreateFileW(Wide(path).c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (h == INVALID_HANDLE_VALUE) return INVALID_FILE_HANDLE;
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileType(h) == FILE_TYPE_DISK && GetFileInformationByHandle(h, &info) &&
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    ::CloseHandle(h);
    return FailWith(ERROR_ACCESS_DENIED);
  }
  return Handle(h);
}

bool SetPathMode(const rtl::String& path, uint32_t mode) {
  const std::wstring p = Wide(path);
  DWORD attrs = GetFileAttributesW(p.c_str());
  if (attrs == INVALID_FILE_ATTRIBUTES) return false;
  attrs = (mode & 0200) ? attrs & ~DWORD(FILE_ATTRIBUTE_READONLY) : attrs | FILE_ATTRIBUTE_READONLY;
  return SetFileAttributesW(p.c_str(), attrs & ~DWORD(FILE_ATTRIBUTE_NORMAL) ? attrs : FILE_ATTRIBUTE_NORMAL);
}

uint32_t GetDriveType(const rtl::String& root) {
  // The system answers only for a volume's root (any other folder is "no root"): a folder is
  // taken to the root of its volume first.
  const std::wstring path = Wide(root.empty() ? rtl::String(u".") : root);
  wchar_t volume[MAX_PATH + 1];
  if (GetVolumePathNameW(path.c_str(), volume, MAX_PATH + 1)) return GetDriveTypeW(volume);
  return GetDriveTypeW(path.c_str());
}

TFileHandle OpenFolder(const rtl::String& path) {
  HANDLE h = CreateFileW(Wide(path.empty() ? rtl::String(u".") : path).c_str(),
                         FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | READ_CONTROL | SYNCHRONIZE, kShareAll, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    DWORD e = ::GetLastError();
    return FailWith(NotFound(e) || e == ERROR_DIRECTORY ? ERROR_PATH_NOT_FOUND : e);
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(h, &info) || !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    ::CloseHandle(h);
    return FailWith(ERROR_PATH_NOT_FOUND);
  }
  return Handle(h);
}

namespace {

// Opens one folder below an open one, never through a reparse point.
TFileHandle OpenChildFolder(TFileHandle parent, const std::string& name, bool create, bool* made) {
  const std::wstring p = PathIn(parent, name);
  if (p.empty()) return INVALID_FILE_HANDLE;
  auto open = [&] {
    return CreateFileW(p.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | READ_CONTROL | SYNCHRONIZE, kShareAll,
                       nullptr, OPEN_EXISTING, kBelow, nullptr);
  };
  HANDLE h = open();
  if (h == INVALID_HANDLE_VALUE && NotFound(::GetLastError()) && create) {
    if (CreateDirectoryW(p.c_str(), nullptr))
      *made = true;
    else if (::GetLastError() != ERROR_ALREADY_EXISTS)
      return INVALID_FILE_HANDLE;
    h = open();
  }
  if (h == INVALID_HANDLE_VALUE) {
    DWORD e = ::GetLastError();
    return FailWith(NotFound(e) || e == ERROR_DIRECTORY ? ERROR_PATH_NOT_FOUND : e);
  }
  BY_HANDLE_FILE_INFORMATION info;
  uint32_t code = ERROR_SUCCESS;
  if (!GetFileInformationByHandle(h, &info))
    code = ::GetLastError();
  else if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
    code = ERROR_INVALID_NAME;
  else if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
    code = ERROR_PATH_NOT_FOUND;
  if (code != ERROR_SUCCESS) {
    ::CloseHandle(h);
    return FailWith(code);
  }
  return Handle(h);
}

}  // namespace

TFileHandle OpenFolderBelow(TFileHandle base, std::string_view rel, bool create, std::vector<std::string>* created) {
  std::vector<std::string> parts;
  for (size_t start = 0; start <= rel.size();) {
    size_t end = rel.find('/', start);
    if (end == std::string_view::npos) end = rel.size();
    std::string_view part = rel.substr(start, end - start);
    if (part == "..") return FailWith(ERROR_INVALID_NAME);
    if (!part.empty() && part != ".") parts.emplace_back(part);
    start = end + 1;
  }
  HANDLE self = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), H(base), GetCurrentProcess(), &self, 0, FALSE, DUPLICATE_SAME_ACCESS))
    return INVALID_FILE_HANDLE;
  TOwnedFile cur(Handle(self));
  std::string done;
  for (const std::string& part : parts) {
    done += (done.empty() ? "" : "/") + part;
    bool made = false;
    TOwnedFile next(OpenChildFolder(cur.Get(), part, create, &made));
    if (made && created) created->push_back(done);
    if (!next.Valid()) return INVALID_FILE_HANDLE;
    cur = std::move(next);
  }
  return cur.Release();
}

TEntryKind EntryKindIn(TFileHandle folder, const std::string& name) { return KindOf(AttributesIn(folder, name)); }

bool ListFolder(TFileHandle folder, std::vector<TFolderEntry>& entries) {
  std::wstring base = FolderPath(folder);
  if (base.empty()) return false;
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileExW((base + L"*").c_str(), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr, 0);
  if (find == INVALID_HANDLE_VALUE) return ::GetLastError() == ERROR_FILE_NOT_FOUND;
  do {
    std::wstring_view n(data.cFileName);
    if (n == L"." || n == L"..") continue;
    entries.push_back({rtl::U8(rtl::String(n.begin(), n.end())), KindOf(data.dwFileAttributes)});
  } while (FindNextFileW(find, &data));
  DWORD e = ::GetLastError();
  FindClose(find);
  return e == ERROR_NO_MORE_FILES || Fail(e);
}

uint32_t CheckReplaceable(TFileHandle folder, const std::string& name) {
  const std::wstring p = PathIn(folder, name);
  if (p.empty()) return ::GetLastError();
  DWORD attrs = GetFileAttributesW(p.c_str());
  if (attrs == INVALID_FILE_ATTRIBUTES) {
    DWORD e = ::GetLastError();
    return NotFound(e) ? ERROR_SUCCESS : e;
  }
  if (attrs & FILE_ATTRIBUTE_REPARSE_POINT) return ERROR_INVALID_NAME;
  if (attrs & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) return ERROR_ACCESS_DENIED;
  // Only an open for writing tells a running program (a sharing violation); it changes nothing.
  HANDLE h = CreateFileW(p.c_str(), GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING, kBelow, nullptr);
  if (h == INVALID_HANDLE_VALUE) return ::GetLastError();
  ::CloseHandle(h);
  return ERROR_SUCCESS;
}

TFileHandle CreateTempFileIn(TFileHandle folder, uint32_t attributes, std::string& tempName) {
  return CreateTempFileIn(folder, attributes, tempName, ".krv-", ".tmp");
}

TFileHandle CreateTempFileIn(TFileHandle folder, uint32_t attributes, std::string& tempName, const std::string& prefix,
                             const std::string& suffix) {
  const uint32_t mode = FileModeFromAttributes(attributes);
  TOwnerOnly owner(mode);
  if (owner.Failed(mode)) return INVALID_FILE_HANDLE;
  const std::wstring base = FolderPath(folder);
  if (base.empty()) return INVALID_FILE_HANDLE;
  for (int attempt = 0; attempt < 100; ++attempt) {
    uint8_t random[8];
    if (!GenerateRandomBytes(random, sizeof random)) return INVALID_FILE_HANDLE;
    char hex[17];
    for (size_t i = 0; i < sizeof random; ++i) std::snprintf(hex + 2 * i, 3, "%02x", random[i]);
    const std::string name = prefix + hex + suffix;
    const std::wstring n = Wide(rtl::S(name));
    if (!ValidName(n)) return FailWith(ERROR_INVALID_NAME);
    // CREATE_NEW: whatever has the name, a reparse point included, is left alone. No other writer
    // while it is ours; deleting and renaming stay open to our own later calls by name.
    HANDLE h = CreateFileW((base + n).c_str(), GENERIC_READ | GENERIC_WRITE | DELETE,
                           FILE_SHARE_READ | FILE_SHARE_DELETE, owner.Get(mode), CREATE_NEW,
                           (mode & 0200) ? FILE_ATTRIBUTE_NORMAL : FILE_ATTRIBUTE_READONLY, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      tempName = name;
      ::SetLastError(ERROR_SUCCESS);
      return Handle(h);
    }
    DWORD e = ::GetLastError();
    if (e != ERROR_FILE_EXISTS && e != ERROR_ALREADY_EXISTS) return FailWith(e);
  }
  return FailWith(ERROR_FILE_EXISTS);
}

TFileHandle OpenFileIn(TFileHandle folder, const std::string& name) {
  const std::wstring p = PathIn(folder, name);
  if (p.empty()) return INVALID_FILE_HANDLE;
  HANDLE h = CreateFileW(p.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING, kBelow, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    DWORD e = ::GetLastError();
    return FailWith(NotFound(e) ? ERROR_FILE_NOT_FOUND : e);
  }
  BY_HANDLE_FILE_INFORMATION info;
  uint32_t code = ERROR_SUCCESS;
  if (GetFileType(h) != FILE_TYPE_DISK || !GetFileInformationByHandle(h, &info))
    code = ERROR_ACCESS_DENIED;
  else if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
    code = ERROR_INVALID_NAME;
  else if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
    code = ERROR_ACCESS_DENIED;
  if (code != ERROR_SUCCESS) {
    ::CloseHandle(h);
    return FailWith(code);
  }
  return Handle(h);
}

bool SameFileIn(TFileHandle folder, const std::string& name, TFileHandle file) {
  const std::wstring p = PathIn(folder, name);
  if (p.empty()) return false;
  HANDLE h = CreateFileW(p.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING, kBelow, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION a, b;
  bool same = GetFileInformationByHandle(h, &a) && GetFileInformationByHandle(H(file), &b) &&
              a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
              a.nFileIndexLow == b.nFileIndexLow;
  ::CloseHandle(h);
  return same;
}

int32_t ModeIn(TFileHandle folder, const std::string& name) {
  DWORD attrs = AttributesIn(folder, name);
  return attrs == INVALID_FILE_ATTRIBUTES ? -1 : ModeOfAttributes(attrs);
}

bool SetModeIn(TFileHandle folder, const std::string& name, uint32_t mode) {
  const std::wstring p = PathIn(folder, name);
  if (p.empty()) return false;
  DWORD attrs = GetFileAttributesW(p.c_str());
  if (attrs == INVALID_FILE_ATTRIBUTES) return false;
  if (attrs & FILE_ATTRIBUTE_REPARSE_POINT) return Fail(ERROR_INVALID_NAME);
  attrs = (mode & 0200) ? attrs & ~DWORD(FILE_ATTRIBUTE_READONLY) : attrs | FILE_ATTRIBUTE_READONLY;
  return SetFileAttributesW(p.c_str(), attrs ? attrs : FILE_ATTRIBUTE_NORMAL);
}

bool MakeFolderIn(TFileHandle folder, const std::string& name, uint32_t mode) {
  const std::wstring p = PathIn(folder, name);
  if (p.empty()) return false;
  TOwnerOnly owner(mode);
  if (owner.Failed(mode)) return false;
  return CreateDirectoryW(p.c_str(), owner.Get(mode));
}

bool InheritAccessIn(TFileHandle folder, const std::string& name) {
  std::wstring p = PathIn(folder, name);
  if (p.empty()) return false;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  DWORD e = GetNamedSecurityInfoW(p.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                                  nullptr, &sd);
  if (e != ERROR_SUCCESS) return Fail(e);
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  const bool own = GetSecurityDescriptorControl(sd, &control, &revision) && (control & SE_DACL_PROTECTED);
  LocalFree(sd);
  if (own) return true;
  // No entries of its own, the rest computed from the new folder (and, for a folder, passed on
  // to what it holds, protected lists kept).
  ACL empty;
  if (!InitializeAcl(&empty, sizeof empty, ACL_REVISION)) return false;
  e = SetNamedSecurityInfoW(p.data(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | UNPROTECTED_DACL_SECURITY_INFORMATION,
                            nullptr, nullptr, &empty, nullptr);
  return e == ERROR_SUCCESS || Fail(e);
}

bool IsPrivateFolder(TFileHandle folder) {
  // Ours alone: owned by our user (or by the token's default owner, for one made before the owner
  // was set), and its access list granting nobody but us and the system anything, with nothing
  // inherited from the folder above (protected, or every entry its own: Wine does not keep the
  // protection and shows the system's entry that a mode of 0700 maps to).
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (GetSecurityInfo(H(folder), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                      nullptr, &dacl, nullptr, &sd) != ERROR_SUCCESS)
    return false;
  bool ok = false;
  HANDLE token = nullptr;
  union {
    TOKEN_USER User;
    char Bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  } user;
  union {
    TOKEN_OWNER Owner;
    char Bytes[sizeof(TOKEN_OWNER) + SECURITY_MAX_SID_SIZE];
  } defaultOwner;
  DWORD size = 0;
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
    ok = GetTokenInformation(token, TokenUser, &user, sizeof user, &size) &&
         GetTokenInformation(token, TokenOwner, &defaultOwner, sizeof defaultOwner, &size) && owner && dacl &&
         (EqualSid(owner, user.User.User.Sid) || EqualSid(owner, defaultOwner.Owner.Owner)) &&
         GetSecurityDescriptorControl(sd, &control, &revision);
    ::CloseHandle(token);
  }
  SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
  PSID system = nullptr;
  ok = ok && AllocateAndInitializeSid(&nt, 1, SECURITY_LOCAL_SYSTEM_RID, 0, 0, 0, 0, 0, 0, 0, &system);
  for (DWORD i = 0; ok && i < dacl->AceCount; ++i) {
    ACE_HEADER* ace = nullptr;
    if (!GetAce(dacl, i, reinterpret_cast<void**>(&ace))) {
      ok = false;
    } else {
      if (!(control & SE_DACL_PROTECTED) && (ace->AceFlags & INHERITED_ACE)) ok = false;
      if (ace->AceType == ACCESS_ALLOWED_ACE_TYPE) {
        PSID who = &reinterpret_cast<ACCESS_ALLOWED_ACE*>(ace)->SidStart;
        ok = ok && (EqualSid(who, user.User.User.Sid) || EqualSid(who, system));
      } else if (ace->AceType != ACCESS_DENIED_ACE_TYPE) {
        ok = false;  // an object or conditional grant: not one we made
      }
    }
  }
  if (system) FreeSid(system);
  LocalFree(sd);
  return ok;
}

namespace {

// Whether a file may be removed: not read-only, and not a program that runs (which only a write
// open tells, by a sharing violation).
bool Removable(const std::wstring& p, DWORD attrs) {
  if (attrs == INVALID_FILE_ATTRIBUTES || (attrs & FILE_ATTRIBUTE_READONLY)) return false;
  HANDLE h = CreateFileW(p.c_str(), GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING, kBelow, nullptr);
  if (h == INVALID_HANDLE_VALUE) return ::GetLastError() != ERROR_SHARING_VIOLATION;
  ::CloseHandle(h);
  return true;
}

bool Move(const std::wstring& from, const std::wstring& to) {
  return MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH);
}

// The system has no exchange of two names: three moves through a free name beside a, each undone
// when a later one fails. b is moved first, as a program that runs from it can be renamed (not
// written or removed); a moment without a file at b is the price.
bool ExchangeNames(const std::wstring& a, const std::wstring& b) {
  std::wstring parked;
  for (int attempt = 0; attempt < 100 && parked.empty(); ++attempt) {
    uint8_t random[8];
    if (!GenerateRandomBytes(random, sizeof random)) return false;
    wchar_t hex[17];
    for (size_t i = 0; i < sizeof random; ++i) std::swprintf(hex + 2 * i, 3, L"%02x", random[i]);
    std::wstring candidate = a.substr(0, a.rfind(L'\\') + 1) + L".krv-" + hex + L".swap";
    if (GetFileAttributesW(candidate.c_str()) == INVALID_FILE_ATTRIBUTES && NotFound(::GetLastError()))
      parked = candidate;
  }
  if (parked.empty()) return Fail(ERROR_FILE_EXISTS);
  if (GetFileAttributesW(a.c_str()) == INVALID_FILE_ATTRIBUTES || !Move(b, parked)) return false;
  if (!Move(a, b)) {
    DWORD e = ::GetLastError();
    Move(parked, b);
    return Fail(e);
  }
  if (!Move(parked, a)) {
    DWORD e = ::GetLastError();
    Move(b, a);
    Move(parked, b);
    return Fail(e);
  }
  return true;
}

}  // namespace

bool RenameIn(TFileHandle fromFolder, const std::string& from, TFileHandle toFolder, const std::string& to,
              TRenameMode mode) {
  const std::wstring a = PathIn(fromFolder, from), b = PathIn(toFolder, to);
  if (a.empty() || b.empty()) return false;
  if (mode == TRenameMode::Exchange) return ExchangeNames(a, b);
  // MoveFileEx moves the entry itself: a reparse point under either name is renamed or replaced,
  // never followed. A folder is never replaced (the system refuses it).
  const DWORD attrs = GetFileAttributesW(a.c_str());
  if (mode == TRenameMode::NoReplace && !(attrs & FILE_ATTRIBUTE_DIRECTORY) && Removable(a, attrs)) {
    // A hard link refuses whatever has the name in one step, a dangling link too (Wine's
    // MoveFileEx replaces a host's dangling link); then the old name goes. File systems without
    // hard links take the move below, and so do files that cannot be removed but can be renamed
    // (a running program: no link of it could be removed again).
    if (CreateHardLinkW(b.c_str(), a.c_str(), nullptr)) {
      if (DeleteFileW(a.c_str())) return true;
      DWORD e = ::GetLastError();
      DeleteFileW(b.c_str());
      return Fail(e);
    }
    DWORD e = ::GetLastError();
    if (e == ERROR_ALREADY_EXISTS || e == ERROR_FILE_EXISTS) return Fail(ERROR_ALREADY_EXISTS);
  }
  const DWORD flags = MOVEFILE_WRITE_THROUGH | (mode == TRenameMode::Replace ? MOVEFILE_REPLACE_EXISTING : 0);
  if (MoveFileExW(a.c_str(), b.c_str(), flags)) return true;
  DWORD e = ::GetLastError();
  return Fail(mode == TRenameMode::NoReplace && e == ERROR_FILE_EXISTS ? ERROR_ALREADY_EXISTS : e);
}

bool DeleteIn(TFileHandle folder, const std::string& name) {
  const std::wstring p = PathIn(folder, name);
  if (p.empty()) return false;
  DWORD attrs = GetFileAttributesW(p.c_str());
  if (attrs == INVALID_FILE_ATTRIBUTES) return false;
  // A folder, or a reparse point that stands for one, is removed as an entry.
  if (attrs & FILE_ATTRIBUTE_DIRECTORY) return RemoveDirectoryW(p.c_str());
  return DeleteFileW(p.c_str());
}

namespace {

std::string Join(const std::vector<std::string>& parts, size_t count) {
  std::string rel;
  for (size_t i = 0; i < count; ++i) rel += (i ? "/" : "") + parts[i];
  return rel;
}

// Removes an entry that is no folder to descend into: a file (read-only ones made writable
// first), a reparse point (never what it points to) or an empty folder.
bool RemoveEntry(const std::wstring& p, DWORD attrs) {
  if (attrs & FILE_ATTRIBUTE_READONLY) SetFileAttributesW(p.c_str(), attrs & ~DWORD(FILE_ATTRIBUTE_READONLY));
  if (attrs & FILE_ATTRIBUTE_DIRECTORY) return RemoveDirectoryW(p.c_str());
  return DeleteFileW(p.c_str());
}

}  // namespace

bool RemoveTreeIn(TFileHandle folder, const std::string& name) {
  const std::wstring top = PathIn(folder, name);
  if (top.empty()) return false;
  DWORD attrs = GetFileAttributesW(top.c_str());
  if (attrs == INVALID_FILE_ATTRIBUTES) return NotFound(::GetLastError());
  if (!(attrs & FILE_ATTRIBUTE_DIRECTORY) || (attrs & FILE_ATTRIBUTE_REPARSE_POINT))
    return RemoveEntry(top, attrs) || NotFound(::GetLastError());
  // Depth first without recursion, as the names of the path; each folder reached again from the
  // top beneath folder (never through a reparse point); folders that cannot be emptied are
  // remembered and skipped, so the walk always ends.
  std::vector<std::string> path{name};
  std::vector<std::string> stuck;
  bool ok = true;
  uint32_t firstError = ERROR_SUCCESS;
  auto failHere = [&] {
    if (ok) firstError = ::GetLastError();
    ok = false;
  };
  while (!path.empty()) {
    const std::string rel = Join(path, path.size());
    TOwnedFile parent(OpenFolderBelow(folder, Join(path, path.size() - 1), false));
    if (!parent.Valid()) {
      failHere();
      break;
    }
    const std::wstring self = PathIn(parent.Get(), path.back());
    DWORD selfAttrs = self.empty() ? INVALID_FILE_ATTRIBUTES : GetFileAttributesW(self.c_str());
    if (selfAttrs != INVALID_FILE_ATTRIBUTES && (selfAttrs & FILE_ATTRIBUTE_READONLY))
      SetFileAttributesW(self.c_str(), selfAttrs & ~DWORD(FILE_ATTRIBUTE_READONLY));
    std::string descend;
    TOwnedFile here(OpenFolderBelow(folder, rel, false));
    std::vector<TFolderEntry> entries;
    if (!here.Valid() || !ListFolder(here.Get(), entries)) {
      failHere();
    } else {
      for (const TFolderEntry& e : entries) {
        const std::wstring p = PathIn(here.Get(), e.Name);
        DWORD a = p.empty() ? INVALID_FILE_ATTRIBUTES : GetFileAttributesW(p.c_str());
        if (a == INVALID_FILE_ATTRIBUTES) {
          if (!NotFound(::GetLastError())) failHere();
          continue;
        }
        if (!(a & FILE_ATTRIBUTE_DIRECTORY) || (a & FILE_ATTRIBUTE_REPARSE_POINT)) {
          if (!RemoveEntry(p, a) && !NotFound(::GetLastError())) failHere();
          continue;
        }
        const std::string child = rel + "/" + e.Name;
        if (std::find(stuck.begin(), stuck.end(), child) == stuck.end()) {
          descend = e.Name;
          break;
        }
      }
    }
    here.Reset();
    if (!descend.empty()) {
      path.push_back(descend);
      continue;
    }
    if (!self.empty() && !RemoveDirectoryW(self.c_str()) && !NotFound(::GetLastError())) {
      failHere();
      stuck.push_back(rel);
    }
    path.pop_back();
  }
  if (!ok) ::SetLastError(firstError);
  return ok;
}

TFileHandle LockFolder(TFileHandle folder, uint32_t waitMs) {
  // Windows locks byte ranges of files, not folders: the lock is held on a file of its own in the
  // folder, which stays (removing it would let a second holder lock a new file of the same name).
  const std::wstring p = PathIn(folder, ".krv-lock");
  if (p.empty()) return INVALID_FILE_HANDLE;
  HANDLE h = CreateFileW(p.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_ALWAYS, kBelow | FILE_ATTRIBUTE_HIDDEN, nullptr);
  if (h == INVALID_HANDLE_VALUE) return INVALID_FILE_HANDLE;
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(h, &info) ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY))) {
    ::CloseHandle(h);
    return FailWith(ERROR_INVALID_NAME);
  }
  // The holder is another process, with nothing to wait on but time: short pauses first, so a
  // lock given up at once is taken at once, then 50 ms ones.
  const auto start = std::chrono::steady_clock::now();
  auto pause = std::chrono::milliseconds(1);
  for (;;) {
    OVERLAPPED at{};
    if (LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) return Handle(h);
    DWORD e = ::GetLastError();
    if (e != ERROR_LOCK_VIOLATION && e != ERROR_IO_PENDING) {
      ::CloseHandle(h);
      return FailWith(e);
    }
    const auto elapsed = std::chrono::steady_clock::now() - start;
    if (elapsed >= std::chrono::milliseconds(waitMs)) {
      ::CloseHandle(h);
      return FailWith(ERROR_LOCK_VIOLATION);
    }
    std::this_thread::sleep_for(
        std::min<std::chrono::steady_clock::duration>(pause, std::chrono::milliseconds(waitMs) - elapsed));
    pause = std::min(pause * 2, std::chrono::milliseconds(50));
  }
}

bool SyncFolder(TFileHandle folder) {
  // NTFS writes renames to its journal itself; a folder handle takes no flush on Windows.
  (void)folder;
  return true;
}

bool SyncFileSystem(TFileHandle folder) {
  // The volume's own flush needs administrator rights: every file below the folder is flushed,
  // a read-only one opened for it with its attribute lifted for the moment. Folders are listed
  // and closed before going deeper, as RemoveTreeIn does.
  std::vector<std::string> pending{""};
  bool ok = true;
  while (!pending.empty()) {
    const std::string rel = pending.back();
    pending.pop_back();
    TOwnedFile here(OpenFolderBelow(folder, rel, false));
    std::vector<TFolderEntry> entries;
    if (!here.Valid() || !ListFolder(here.Get(), entries)) {
      ok = false;
      continue;
    }
    for (const TFolderEntry& e : entries) {
      const std::string child = rel.empty() ? e.Name : rel + "/" + e.Name;
      if (e.Kind == TEntryKind::Folder) pending.push_back(child);
      if (e.Kind != TEntryKind::File) continue;
      const std::wstring p = PathIn(here.Get(), e.Name);
      const DWORD attrs = p.empty() ? INVALID_FILE_ATTRIBUTES : GetFileAttributesW(p.c_str());
      if (attrs == INVALID_FILE_ATTRIBUTES) continue;
      if (attrs & FILE_ATTRIBUTE_READONLY) SetFileAttributesW(p.c_str(), attrs & ~DWORD(FILE_ATTRIBUTE_READONLY));
      HANDLE h = CreateFileW(p.c_str(), GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING, kBelow, nullptr);
      ok = h != INVALID_HANDLE_VALUE && FlushFileBuffers(h) && ok;
      if (h != INVALID_HANDLE_VALUE) ::CloseHandle(h);
      if (attrs & FILE_ATTRIBUTE_READONLY) SetFileAttributesW(p.c_str(), attrs);
    }
  }
  return ok;
}

}  // namespace platform

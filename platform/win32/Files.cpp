// Files and folders over Win32: wide paths, handles opened with backup semantics (folders too)
// and never through a reparse point below an open folder (FILE_OPEN_REPARSE_POINT), names below
// a folder reached through the folder's handle (NtCreateFile relative to it, renames and deletes
// on handles opened so), byte-range locks on a lock file.
#include "platform/Files.h"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <thread>

#include "platform/LastError.h"
#include "platform/Random.h"

// After our headers: the system's headers define the ERROR_*, FILE_ATTRIBUTE_* and DRIVE_* names
// as macros of the same values.
#include "rtl/win32/WinApi.h"

#include <winternl.h>

#include <aclapi.h>
#include <sddl.h>

#undef GetDriveType

namespace platform {

namespace {

HANDLE H(TFileHandle h) { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(h)); }
HANDLE H(const TOwnedFile& f) { return H(f.Get()); }
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


// --- names below an open folder, reached through its handle ------------------------------------
// NtCreateFile with the folder as OBJECT_ATTRIBUTES.RootDirectory: the name is looked up in the
// very folder that is held, wherever that folder has been moved and whatever now stands at its
// old path. ntdll is in every process; its entry points are taken from it, so the program imports
// nothing new.

constexpr ULONG kFileDirectoryInformation = 1;
constexpr ULONG kFileRenameInformation = 10;
constexpr ULONG kFileLinkInformation = 11;
constexpr ULONG kFileNamesInformation = 12;
constexpr ULONG kFileDispositionInformation = 13;
constexpr ULONG kFileDispositionInformationEx = 64;
constexpr NTSTATUS kNoMoreFiles = NTSTATUS(0x80000006L);
constexpr NTSTATUS kNoSuchFile = NTSTATUS(0xC000000FL);

struct TNtApi {
  NTSTATUS(NTAPI* CreateFile)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK, PLARGE_INTEGER, ULONG, ULONG,
                              ULONG, ULONG, PVOID, ULONG) = nullptr;
  NTSTATUS(NTAPI* SetInformationFile)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG, ULONG) = nullptr;
  NTSTATUS(NTAPI* QueryDirectoryFile)(HANDLE, HANDLE, PVOID, PVOID, PIO_STATUS_BLOCK, PVOID, ULONG, ULONG, BOOLEAN,
                                      PUNICODE_STRING, BOOLEAN) = nullptr;
  ULONG(NTAPI* StatusToError)(NTSTATUS) = nullptr;
  bool Ready() const { return CreateFile && SetInformationFile && QueryDirectoryFile && StatusToError; }
};

template <typename F>
void Bind(HMODULE ntdll, const char* name, F& fn) {
  fn = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(ntdll, name)));
}

const TNtApi& Nt() {
  static const TNtApi api = [] {
    TNtApi a;
    if (HMODULE ntdll = GetModuleHandleW(L"ntdll.dll")) {
      Bind(ntdll, "NtCreateFile", a.CreateFile);
      Bind(ntdll, "NtSetInformationFile", a.SetInformationFile);
      Bind(ntdll, "NtQueryDirectoryFile", a.QueryDirectoryFile);
      Bind(ntdll, "RtlNtStatusToDosError", a.StatusToError);
    }
    return a;
  }();
  return api;
}

// The Win32 error of a status, as the system's own Win32 calls report it.
bool FailStatus(NTSTATUS s) { return Fail(Nt().StatusToError(s)); }

// What one open below a folder asks for. Every open is synchronous, never follows a reparse
// point and may reach a folder (backup intent, as FILE_FLAG_BACKUP_SEMANTICS).
struct TOpen {
  ACCESS_MASK Access = FILE_READ_ATTRIBUTES;
  ULONG Share = kShareAll;
  ULONG Disposition = FILE_OPEN;
  ULONG Options = 0;
  ULONG Attributes = 0;
  SECURITY_ATTRIBUTES* Security = nullptr;
};

NTSTATUS NtOpenIn(HANDLE folder, const std::wstring& name, const TOpen& o, HANDLE* out, ULONG_PTR* what = nullptr) {
  UNICODE_STRING us{USHORT(name.size() * sizeof(wchar_t)), USHORT(name.size() * sizeof(wchar_t)),
                    const_cast<PWSTR>(name.data())};
  OBJECT_ATTRIBUTES oa;
  InitializeObjectAttributes(&oa, &us, OBJ_CASE_INSENSITIVE, folder,
                             o.Security ? o.Security->lpSecurityDescriptor : nullptr);
  IO_STATUS_BLOCK io{};
  *out = INVALID_HANDLE_VALUE;
  NTSTATUS s = Nt().CreateFile(out, o.Access | SYNCHRONIZE, &oa, &io, nullptr, o.Attributes, o.Share, o.Disposition,
                               o.Options | FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_FOR_BACKUP_INTENT |
                                   FILE_OPEN_REPARSE_POINT,
                               nullptr, 0);
  if (!NT_SUCCESS(s)) *out = INVALID_HANDLE_VALUE;
  if (what) *what = io.Information;
  return s;
}

// A new handle of the folder itself, for a directory query of its own: the query's place and
// pattern belong to a handle, and the caller's must stay untouched.
HANDLE ReopenFolder(TFileHandle folder) {
  HANDLE h = INVALID_HANDLE_VALUE;
  TOpen o;
  o.Access = FILE_LIST_DIRECTORY;
  o.Options = FILE_DIRECTORY_FILE;
  NTSTATUS s = NtOpenIn(H(folder), std::wstring(), o, &h);
  if (!NT_SUCCESS(s)) FailStatus(s);
  return h;
}

struct TNamesInformation {
  ULONG NextEntryOffset;
  ULONG FileIndex;
  ULONG FileNameLength;
  WCHAR FileName[1];
};

// Whether name in folder names an entry by that name and not another one through its 8.3 short
// name ("PROGRA~1" for "Program Files"): the folder is asked for the one name, and answers with
// the entry's long name. Only a name with a tilde of at most 12 characters can be a short name
// the system made; nothing there counts as no other entry.
bool NotAnotherEntry(TFileHandle folder, const std::wstring& name) {
  if (name.size() > 12 || name.find(L'~') == std::wstring::npos) return true;
  HANDLE dir = ReopenFolder(folder);
  if (dir == INVALID_HANDLE_VALUE) return false;
  alignas(8) uint8_t buffer[sizeof(TNamesInformation) + 512 * sizeof(wchar_t)];
  UNICODE_STRING pattern{USHORT(name.size() * sizeof(wchar_t)), USHORT(name.size() * sizeof(wchar_t)),
                         const_cast<PWSTR>(name.data())};
  IO_STATUS_BLOCK io{};
  NTSTATUS s = Nt().QueryDirectoryFile(dir, nullptr, nullptr, nullptr, &io, buffer, sizeof buffer,
                                       kFileNamesInformation, TRUE, &pattern, TRUE);
  ::CloseHandle(dir);
  if (s == kNoSuchFile || s == kNoMoreFiles) return true;
  if (!NT_SUCCESS(s)) return FailStatus(s);
  const auto* entry = reinterpret_cast<const TNamesInformation*>(buffer);
  if (CompareStringOrdinal(entry->FileName, int(entry->FileNameLength / sizeof(wchar_t)), name.data(),
                           int(name.size()), TRUE) == CSTR_EQUAL)
    return true;
  return Fail(ERROR_INVALID_NAME);
}

// Name checked as one component the system holds as it stands; ERROR_INVALID_NAME otherwise.
bool NameOf(const std::string& name, std::wstring& n) {
  n = Wide(rtl::S(name));
  if (!ValidName(n) || n.size() > 32767) return Fail(ERROR_INVALID_NAME);  // what a counted name holds
  if (!Nt().Ready()) return Fail(ERROR_PROC_NOT_FOUND);
  return true;
}

// Opens name in folder; INVALID_HANDLE_VALUE with the last error set. An existing entry reached
// under another entry's short name is refused (ERROR_INVALID_NAME). *created tells a new one.
HANDLE OpenIn(TFileHandle folder, const std::string& name, const TOpen& o, bool* created = nullptr) {
  std::wstring n;
  if (!NameOf(name, n)) return INVALID_HANDLE_VALUE;
  HANDLE h = INVALID_HANDLE_VALUE;
  ULONG_PTR what = 0;
  NTSTATUS s = NtOpenIn(H(folder), n, o, &h, &what);
  if (!NT_SUCCESS(s)) {
    FailStatus(s);
    return INVALID_HANDLE_VALUE;
  }
  const bool made = what == FILE_CREATED;
  if (created) *created = made;
  if (!made && !NotAnotherEntry(folder, n)) {
    DWORD e = ::GetLastError();
    ::CloseHandle(h);
    ::SetLastError(e);
    return INVALID_HANDLE_VALUE;
  }
  return h;
}

// The attributes of an open entry, INVALID_FILE_ATTRIBUTES with the last error on failure.
DWORD AttributesOf(HANDLE h) {
  BY_HANDLE_FILE_INFORMATION info;
  return GetFileInformationByHandle(h, &info) ? info.dwFileAttributes : INVALID_FILE_ATTRIBUTES;
}

bool SameEntry(HANDLE a, HANDLE b) {
  BY_HANDLE_FILE_INFORMATION x, y;
  return GetFileInformationByHandle(a, &x) && GetFileInformationByHandle(b, &y) &&
         x.dwVolumeSerialNumber == y.dwVolumeSerialNumber && x.nFileIndexHigh == y.nFileIndexHigh &&
         x.nFileIndexLow == y.nFileIndexLow;
}

// The path the system knows an open entry by ("\\?\C:\..."), empty with the last error set.
std::wstring FinalPath(HANDLE h) {
  std::wstring p(MAX_PATH, L'\0');
  for (;;) {
    DWORD n = GetFinalPathNameByHandleW(h, p.data(), DWORD(p.size()), FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (n == 0) return std::wstring();
    const bool fits = n < p.size();
    p.resize(n);
    if (fits) return p;
  }
}

// Whether the system's own path of an open entry still leads to that very entry (ERROR_INVALID_NAME
// when not). Windows renames and removes the entry a handle holds; Wine's server does it by the
// path it noted when the entry was opened, which, once a folder above has been renamed, names
// whatever stands there now: such a step is refused rather than done to another entry.
bool StillAtItsPath(HANDLE h) {
  const std::wstring p = FinalPath(h);
  if (p.empty()) return false;
  TOwnedFile again(
      Handle(CreateFileW(p.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING, kBelow, nullptr)));
  return (again.Valid() && SameEntry(H(again), h)) || Fail(ERROR_INVALID_NAME);
}

// The attributes of name below folder (never through a reparse point), INVALID_FILE_ATTRIBUTES
// with the last error when there is nothing or it cannot be seen.
DWORD AttributesIn(TFileHandle folder, const std::string& name) {
  TOwnedFile h(Handle(OpenIn(folder, name, TOpen{})));
  return h.Valid() ? AttributesOf(H(h)) : INVALID_FILE_ATTRIBUTES;
}

// Sets an open entry's attributes (only those a caller may set; none left is "normal").
bool SetAttributesOf(HANDLE h, DWORD attrs) {
  FILE_BASIC_INFO basic{};
  attrs &= FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
           FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
  basic.FileAttributes = attrs ? attrs : FILE_ATTRIBUTE_NORMAL;
  return SetFileInformationByHandle(h, FileBasicInfo, &basic, sizeof basic);
}

// Marks an open entry (opened with DELETE) for removal: a file, a reparse point itself or an
// empty folder. The system's own delete calls ask for POSIX semantics (the name goes at once,
// not when the last handle closes) where the file system has them; so does this.
bool Dispose(HANDLE h) {
  if (!StillAtItsPath(h)) return false;
  IO_STATUS_BLOCK io{};
  ULONG flags = 0x1 | 0x2;  // delete, POSIX semantics
  NTSTATUS s = Nt().SetInformationFile(h, &io, &flags, sizeof flags, kFileDispositionInformationEx);
  if (NT_SUCCESS(s)) return true;
  if (s != NTSTATUS(0xC0000003L) && s != NTSTATUS(0xC0000002L) && s != NTSTATUS(0xC000000DL) &&
      s != NTSTATUS(0xC00000BBL))  // not an unknown class or flag: a real refusal
    return FailStatus(s);
  BOOLEAN del = TRUE;
  s = Nt().SetInformationFile(h, &io, &del, sizeof del, kFileDispositionInformation);
  return NT_SUCCESS(s) || FailStatus(s);
}

// Gives the entry open as h the name in folder (the rename or, with link, the hard-link
// information, the folder as its root); ERROR_ALREADY_EXISTS when replace is off and it is taken.
bool MoveTo(HANDLE h, TFileHandle folder, const std::wstring& name, bool replace,
            ULONG what = kFileRenameInformation) {
  if (!StillAtItsPath(h) || !StillAtItsPath(H(folder))) return false;
  std::vector<uint8_t> buffer(offsetof(FILE_RENAME_INFO, FileName) + (name.size() + 1) * sizeof(wchar_t));
  auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  info->ReplaceIfExists = replace;
  info->RootDirectory = H(folder);
  info->FileNameLength = DWORD(name.size() * sizeof(wchar_t));
  std::memcpy(info->FileName, name.data(), name.size() * sizeof(wchar_t));
  IO_STATUS_BLOCK io{};
  NTSTATUS s = Nt().SetInformationFile(h, &io, info, ULONG(buffer.size()), what);
  return NT_SUCCESS(s) || FailStatus(s);
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

constexpr ACCESS_MASK kFolderAccess = FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | READ_CONTROL;

// Opens one folder below an open one, never through a reparse point; with create, a missing one
// is made first.
TFileHandle OpenChildFolder(TFileHandle parent, const std::string& name, bool create, bool* made) {
  TOpen o;
  o.Access = kFolderAccess;
  TOwnedFile h(Handle(OpenIn(parent, name, o)));
  if (!h.Valid() && NotFound(::GetLastError()) && create) {
    TOpen mk = o;
    mk.Disposition = FILE_CREATE;
    mk.Options = FILE_DIRECTORY_FILE;
    h.Reset(Handle(OpenIn(parent, name, mk, made)));
    if (!h.Valid() && ::GetLastError() == ERROR_ALREADY_EXISTS) h.Reset(Handle(OpenIn(parent, name, o)));
  }
  if (!h.Valid()) {
    DWORD e = ::GetLastError();
    return FailWith(NotFound(e) || e == ERROR_DIRECTORY ? ERROR_PATH_NOT_FOUND : e);
  }
  const DWORD attrs = AttributesOf(H(h));
  if (attrs == INVALID_FILE_ATTRIBUTES) return INVALID_FILE_HANDLE;
  if (attrs & FILE_ATTRIBUTE_REPARSE_POINT) return FailWith(ERROR_INVALID_NAME);
  if (!(attrs & FILE_ATTRIBUTE_DIRECTORY)) return FailWith(ERROR_PATH_NOT_FOUND);
  return h.Release();
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

namespace {

struct TDirectoryInformation {
  ULONG NextEntryOffset;
  ULONG FileIndex;
  LARGE_INTEGER CreationTime, LastAccessTime, LastWriteTime, ChangeTime, EndOfFile, AllocationSize;
  ULONG FileAttributes;
  ULONG FileNameLength;
  WCHAR FileName[1];
};

}  // namespace

bool ListFolder(TFileHandle folder, std::vector<TFolderEntry>& entries) {
  if (!Nt().Ready()) return Fail(ERROR_PROC_NOT_FOUND);
  TOwnedFile dir(Handle(ReopenFolder(folder)));
  if (!dir.Valid()) return false;
  std::vector<uint64_t> buffer(64 * 1024 / sizeof(uint64_t));
  for (BOOLEAN restart = TRUE;; restart = FALSE) {
    IO_STATUS_BLOCK io{};
    NTSTATUS s = Nt().QueryDirectoryFile(H(dir), nullptr, nullptr, nullptr, &io, buffer.data(),
                                         ULONG(buffer.size() * sizeof(uint64_t)), kFileDirectoryInformation, FALSE,
                                         nullptr, restart);
    if (s == kNoMoreFiles || (restart && s == kNoSuchFile)) return true;
    if (!NT_SUCCESS(s)) return FailStatus(s);
    const auto* bytes = reinterpret_cast<const uint8_t*>(buffer.data());
    for (size_t at = 0;;) {
      const auto* e = reinterpret_cast<const TDirectoryInformation*>(bytes + at);
      std::wstring_view n(e->FileName, e->FileNameLength / sizeof(wchar_t));
      if (n != L"." && n != L"..")
        entries.push_back({rtl::U8(rtl::String(n.begin(), n.end())), KindOf(e->FileAttributes)});
      if (!e->NextEntryOffset) break;
      at += e->NextEntryOffset;
    }
  }
}

uint32_t CheckReplaceable(TFileHandle folder, const std::string& name) {
  const DWORD attrs = AttributesIn(folder, name);
  if (attrs == INVALID_FILE_ATTRIBUTES) {
    DWORD e = ::GetLastError();
    return NotFound(e) ? ERROR_SUCCESS : e;
  }
  if (attrs & FILE_ATTRIBUTE_REPARSE_POINT) return ERROR_INVALID_NAME;
  if (attrs & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) return ERROR_ACCESS_DENIED;
  // Only an open for writing tells a running program (a sharing violation); it changes nothing.
  TOpen o;
  o.Access = FILE_GENERIC_WRITE;
  o.Options = FILE_NON_DIRECTORY_FILE;
  TOwnedFile h(Handle(OpenIn(folder, name, o)));
  return h.Valid() ? ERROR_SUCCESS : ::GetLastError();
}

TFileHandle CreateTempFileIn(TFileHandle folder, uint32_t attributes, std::string& tempName) {
  return CreateTempFileIn(folder, attributes, tempName, ".krv-", ".tmp");
}

TFileHandle CreateTempFileIn(TFileHandle folder, uint32_t attributes, std::string& tempName, const std::string& prefix,
                             const std::string& suffix) {
  const uint32_t mode = FileModeFromAttributes(attributes);
  TOwnerOnly owner(mode);
  if (owner.Failed(mode)) return INVALID_FILE_HANDLE;
  // A new name only (FILE_CREATE): whatever has the name, a reparse point included, is left
  // alone. No other writer while it is ours; deleting and renaming stay open to our own later
  // calls by name.
  TOpen o;
  o.Access = GENERIC_READ | GENERIC_WRITE | DELETE;
  o.Share = FILE_SHARE_READ | FILE_SHARE_DELETE;
  o.Disposition = FILE_CREATE;
  o.Options = FILE_NON_DIRECTORY_FILE;
  o.Attributes = (mode & 0200) ? FILE_ATTRIBUTE_NORMAL : FILE_ATTRIBUTE_READONLY;
  o.Security = owner.Get(mode);
  for (int attempt = 0; attempt < 100; ++attempt) {
    uint8_t random[8];
    if (!GenerateRandomBytes(random, sizeof random)) return INVALID_FILE_HANDLE;
    char hex[17];
    for (size_t i = 0; i < sizeof random; ++i) std::snprintf(hex + 2 * i, 3, "%02x", random[i]);
    const std::string name = prefix + hex + suffix;
    HANDLE h = OpenIn(folder, name, o);
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
  TOpen o;
  o.Access = GENERIC_READ;
  TOwnedFile h(Handle(OpenIn(folder, name, o)));
  if (!h.Valid()) {
    DWORD e = ::GetLastError();
    return FailWith(NotFound(e) ? ERROR_FILE_NOT_FOUND : e);
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileType(H(h)) != FILE_TYPE_DISK || !GetFileInformationByHandle(H(h), &info))
    return FailWith(ERROR_ACCESS_DENIED);
  if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return FailWith(ERROR_INVALID_NAME);
  if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return FailWith(ERROR_ACCESS_DENIED);
  return h.Release();
}

bool SameFileIn(TFileHandle folder, const std::string& name, TFileHandle file) {
  TOwnedFile h(Handle(OpenIn(folder, name, TOpen{})));
  return h.Valid() && SameEntry(H(h), H(file));
}

int32_t ModeIn(TFileHandle folder, const std::string& name) {
  DWORD attrs = AttributesIn(folder, name);
  return attrs == INVALID_FILE_ATTRIBUTES ? -1 : ModeOfAttributes(attrs);
}

bool SetModeIn(TFileHandle folder, const std::string& name, uint32_t mode) {
  TOpen o;
  o.Access = FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES;
  TOwnedFile h(Handle(OpenIn(folder, name, o)));
  if (!h.Valid()) return false;
  DWORD attrs = AttributesOf(H(h));
  if (attrs == INVALID_FILE_ATTRIBUTES) return false;
  if (attrs & FILE_ATTRIBUTE_REPARSE_POINT) return Fail(ERROR_INVALID_NAME);
  attrs = (mode & 0200) ? attrs & ~DWORD(FILE_ATTRIBUTE_READONLY) : attrs | FILE_ATTRIBUTE_READONLY;
  return SetAttributesOf(H(h), attrs);
}

bool MakeFolderIn(TFileHandle folder, const std::string& name, uint32_t mode) {
  TOwnerOnly owner(mode);
  if (owner.Failed(mode)) return false;
  TOpen o;
  o.Access = FILE_LIST_DIRECTORY;
  o.Disposition = FILE_CREATE;
  o.Options = FILE_DIRECTORY_FILE;
  o.Security = owner.Get(mode);
  TOwnedFile h(Handle(OpenIn(folder, name, o)));
  return h.Valid();
}

bool InheritAccessIn(TFileHandle folder, const std::string& name) {
  TOpen o;
  o.Access = FILE_READ_ATTRIBUTES | READ_CONTROL | WRITE_DAC;
  TOwnedFile h(Handle(OpenIn(folder, name, o)));
  if (!h.Valid()) return false;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  DWORD e = GetSecurityInfo(H(h), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr, &sd);
  if (e != ERROR_SUCCESS) return Fail(e);
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  const bool own = GetSecurityDescriptorControl(sd, &control, &revision) && (control & SE_DACL_PROTECTED);
  LocalFree(sd);
  if (own) return true;
  // No entries of its own, the rest computed from the new folder (and, for a folder, passed on
  // to what it holds, protected lists kept). The system computes inherited entries for a path
  // only: the entry's own, taken from the handle held (never the folder's path and the name),
  // and checked to lead to that entry just before.
  std::wstring p = FinalPath(H(h));
  if (p.empty() || !StillAtItsPath(H(h))) return false;
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

// An entry opened to be moved or removed (DELETE, never through a reparse point), also when
// another holder shares it for deleting (a temporary file of ours, a running program).
HANDLE OpenToMove(TFileHandle folder, const std::string& name) {
  TOpen o;
  o.Access = DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES;
  return OpenIn(folder, name, o);
}

// Whether an open file may be removed: not read-only, and not a program that runs (which only a
// write open tells, by a sharing violation).
bool Removable(TFileHandle folder, const std::string& name, DWORD attrs) {
  if (attrs == INVALID_FILE_ATTRIBUTES || (attrs & FILE_ATTRIBUTE_READONLY)) return false;
  TOpen o;
  o.Access = FILE_GENERIC_WRITE;
  o.Options = FILE_NON_DIRECTORY_FILE;
  TOwnedFile h(Handle(OpenIn(folder, name, o)));
  return h.Valid() || ::GetLastError() != ERROR_SHARING_VIOLATION;
}

// A name beside the others in folder that nothing has now.
bool FreeName(TFileHandle folder, std::wstring& free) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    uint8_t random[8];
    if (!GenerateRandomBytes(random, sizeof random)) return false;
    wchar_t hex[17];
    for (size_t i = 0; i < sizeof random; ++i) std::swprintf(hex + 2 * i, 3, L"%02x", random[i]);
    free = std::wstring(L".krv-") + hex + L".swap";
    HANDLE h = INVALID_HANDLE_VALUE;
    NTSTATUS s = NtOpenIn(H(folder), free, TOpen{}, &h);
    if (NT_SUCCESS(s)) ::CloseHandle(h);
    if (s == NTSTATUS(0xC0000034L)) return true;  // nothing of that name
  }
  return Fail(ERROR_FILE_EXISTS);
}

// The system has no exchange of two names: three moves through a free name beside a, each undone
// when a later one fails; the entries are held open, so an undo moves back the very entries.
// b is moved first, as a program that runs from it can be renamed (not written or removed); a
// moment without a file at b is the price.
bool ExchangeNames(TFileHandle aFolder, const std::string& a, TFileHandle bFolder, const std::string& b) {
  std::wstring an, bn, parked;
  if (!NameOf(a, an) || !NameOf(b, bn)) return false;
  TOwnedFile ha(Handle(OpenToMove(aFolder, a)));
  if (!ha.Valid()) return false;
  TOwnedFile hb(Handle(OpenToMove(bFolder, b)));
  if (!hb.Valid() || !FreeName(aFolder, parked) || !MoveTo(H(hb), aFolder, parked, false)) return false;
  if (!MoveTo(H(ha), bFolder, bn, false)) {
    DWORD e = ::GetLastError();
    MoveTo(H(hb), bFolder, bn, false);
    return Fail(e);
  }
  if (!MoveTo(H(hb), aFolder, an, false)) {
    DWORD e = ::GetLastError();
    MoveTo(H(ha), aFolder, an, false);
    MoveTo(H(hb), bFolder, bn, false);
    return Fail(e);
  }
  return true;
}

}  // namespace

bool RenameIn(TFileHandle fromFolder, const std::string& from, TFileHandle toFolder, const std::string& to,
              TRenameMode mode) {
  if (mode == TRenameMode::Exchange) return ExchangeNames(fromFolder, from, toFolder, to);
  std::wstring tn;
  if (!NameOf(to, tn)) return false;
  // The entry itself moves: a reparse point under either name is renamed or replaced, never
  // followed. A folder is never replaced (the system refuses it).
  TOwnedFile h(Handle(OpenToMove(fromFolder, from)));
  if (!h.Valid()) return false;
  // What would be replaced must be the entry of that name, not another one's short name.
  if (mode == TRenameMode::Replace && !NotAnotherEntry(toFolder, tn)) return false;
  const DWORD attrs = AttributesOf(H(h));
  if (mode == TRenameMode::NoReplace && attrs != INVALID_FILE_ATTRIBUTES && !(attrs & FILE_ATTRIBUTE_DIRECTORY) &&
      Removable(fromFolder, from, attrs)) {
    // A hard link refuses whatever has the name in one step, a dangling link too (Wine's rename
    // replaces a host's dangling link); then the old name goes. File systems without hard links
    // take the move below, and so do files that cannot be removed but can be renamed (a running
    // program: no link of it could be removed again).
    if (MoveTo(H(h), toFolder, tn, false, kFileLinkInformation)) {
      if (Dispose(H(h))) return true;
      DWORD e = ::GetLastError();
      TOwnedFile link(Handle(OpenToMove(toFolder, to)));
      if (link.Valid()) Dispose(H(link));
      return Fail(e);
    }
    if (::GetLastError() == ERROR_ALREADY_EXISTS) return false;
  }
  return MoveTo(H(h), toFolder, tn, mode == TRenameMode::Replace);
}

bool DeleteIn(TFileHandle folder, const std::string& name) {
  TOwnedFile h(Handle(OpenToMove(folder, name)));
  return h.Valid() && Dispose(H(h));
}

namespace {

std::string Join(const std::vector<std::string>& parts, size_t count) {
  std::string rel;
  for (size_t i = 0; i < count; ++i) rel += (i ? "/" : "") + parts[i];
  return rel;
}

// Clears the read-only attribute of name in folder; its attributes before, or
// INVALID_FILE_ATTRIBUTES (the last error set).
DWORD MakeWritableIn(TFileHandle folder, const std::string& name) {
  TOpen o;
  o.Access = FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES;
  TOwnedFile h(Handle(OpenIn(folder, name, o)));
  const DWORD attrs = h.Valid() ? AttributesOf(H(h)) : INVALID_FILE_ATTRIBUTES;
  if (attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_READONLY))
    SetAttributesOf(H(h), attrs & ~DWORD(FILE_ATTRIBUTE_READONLY));
  return attrs;
}

// Removes an entry that is no folder to descend into: a file (read-only ones made writable
// first), a reparse point (never what it points to) or an empty folder.
bool RemoveEntry(TFileHandle folder, const std::string& name) {
  TOwnedFile h(Handle(OpenToMove(folder, name)));
  if (!h.Valid()) return false;
  const DWORD attrs = AttributesOf(H(h));
  if (attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_READONLY))
    SetAttributesOf(H(h), attrs & ~DWORD(FILE_ATTRIBUTE_READONLY));
  return Dispose(H(h));
}

bool Descends(DWORD attrs) { return (attrs & FILE_ATTRIBUTE_DIRECTORY) && !(attrs & FILE_ATTRIBUTE_REPARSE_POINT); }

}  // namespace

bool RemoveTreeIn(TFileHandle folder, const std::string& name) {
  const DWORD attrs = AttributesIn(folder, name);
  if (attrs == INVALID_FILE_ATTRIBUTES) return NotFound(::GetLastError());
  if (!Descends(attrs)) return RemoveEntry(folder, name) || NotFound(::GetLastError());
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
    MakeWritableIn(parent.Get(), path.back());
    std::string descend;
    TOwnedFile here(OpenFolderBelow(parent.Get(), path.back(), false));
    std::vector<TFolderEntry> entries;
    if (!here.Valid() || !ListFolder(here.Get(), entries)) {
      failHere();
    } else {
      for (const TFolderEntry& e : entries) {
        const DWORD a = AttributesIn(here.Get(), e.Name);
        if (a == INVALID_FILE_ATTRIBUTES) {
          if (!NotFound(::GetLastError())) failHere();
          continue;
        }
        if (!Descends(a)) {
          if (!RemoveEntry(here.Get(), e.Name) && !NotFound(::GetLastError())) failHere();
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
    if (!RemoveEntry(parent.Get(), path.back()) && !NotFound(::GetLastError())) {
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
  TOpen o;
  o.Access = GENERIC_READ | GENERIC_WRITE;
  o.Share = FILE_SHARE_READ | FILE_SHARE_WRITE;
  o.Disposition = FILE_OPEN_IF;
  o.Attributes = FILE_ATTRIBUTE_HIDDEN;
  TOwnedFile lock(Handle(OpenIn(folder, ".krv-lock", o)));
  if (!lock.Valid()) return INVALID_FILE_HANDLE;
  const DWORD attrs = AttributesOf(H(lock));
  if (attrs == INVALID_FILE_ATTRIBUTES || (attrs & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)))
    return FailWith(ERROR_INVALID_NAME);
  HANDLE h = H(lock);
  // The holder is another process, with nothing to wait on but time: short pauses first, so a
  // lock given up at once is taken at once, then 50 ms ones.
  const auto start = std::chrono::steady_clock::now();
  auto pause = std::chrono::milliseconds(1);
  for (;;) {
    OVERLAPPED at{};
    if (LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at))
      return lock.Release();
    DWORD e = ::GetLastError();
    if (e != ERROR_LOCK_VIOLATION && e != ERROR_IO_PENDING) return FailWith(e);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    if (elapsed >= std::chrono::milliseconds(waitMs)) return FailWith(ERROR_LOCK_VIOLATION);
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
      TOpen attrsOnly;
      attrsOnly.Access = FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES;
      TOwnedFile a(Handle(OpenIn(here.Get(), e.Name, attrsOnly)));
      const DWORD attrs = a.Valid() ? AttributesOf(H(a)) : INVALID_FILE_ATTRIBUTES;
      if (attrs == INVALID_FILE_ATTRIBUTES || (attrs & FILE_ATTRIBUTE_REPARSE_POINT)) continue;
      const bool readOnly = attrs & FILE_ATTRIBUTE_READONLY;
      if (readOnly) SetAttributesOf(H(a), attrs & ~DWORD(FILE_ATTRIBUTE_READONLY));
      TOpen write;
      write.Access = FILE_GENERIC_WRITE;
      write.Options = FILE_NON_DIRECTORY_FILE;
      TOwnedFile w(Handle(OpenIn(here.Get(), e.Name, write)));
      ok = w.Valid() && FlushFileBuffers(H(w)) && ok;
      if (readOnly) SetAttributesOf(H(a), attrs);
    }
  }
  return ok;
}

}  // namespace platform

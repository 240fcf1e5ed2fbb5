// Files and folders: the services the archive component was designed against (create-always,
// positioned reads and writes, attributes, last-write times, drive type), and the services below
// an open folder with which the update works in a folder that others may write to. Each operating
// system's folder implements them. Every call that fails sets the thread's last-error value (a
// Windows error number, platform/LastError.h).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/Handles.h"
#include "rtl/SysUtils.h"

namespace platform {

enum : uint32_t {
  FILE_ATTRIBUTE_READONLY = 0x0001,
  FILE_ATTRIBUTE_HIDDEN = 0x0002,
  FILE_ATTRIBUTE_SYSTEM = 0x0004,
  FILE_ATTRIBUTE_DIRECTORY = 0x0010,
  FILE_ATTRIBUTE_ARCHIVE = 0x0020,
  FILE_ATTRIBUTE_NORMAL = 0x0080,
  // Archives made on Unix set this bit and keep st_mode in the high 16 bits.
  FILE_ATTRIBUTE_UNIX_EXTENSION = 0x8000,
};

enum : uint32_t { DRIVE_UNKNOWN = 0, DRIVE_REMOVABLE = 2, DRIVE_FIXED = 3 };

// --- permission bits ---------------------------------------------------------------------------
// Unix permission bits (0777). A system without them keeps what it can: the owner-write bit is
// the read-only attribute, and the rest is ignored.

// The process's file-creation mask (read once, without changing it); 0 where there is none.
uint32_t ProcessUmask();
// Permission bits a file created with these attributes gets: the Unix mode masked to 0777 (never
// setuid, setgid or sticky) when the extension bit is set and the type is a regular file (a stored
// link is written as a plain file with the default mode); otherwise 0666, with the write bits
// cleared for a read-only file. Either way through the umask, and never writable by the group or
// others: an archive (or a umask of 000) must not let another user change what is installed.
uint32_t FileModeFromAttributes(uint32_t attributes);
// Permission bits of a folder item (through the umask, never group- or other-writable), or -1
// when the attributes carry none to apply (Windows attribute bits mean nothing for a folder here).
int32_t FolderModeFromAttributes(uint32_t attributes);
// Permission bits a folder made on the way to an item gets: 0755 through the umask.
uint32_t MadeFolderMode();

// --- open files --------------------------------------------------------------------------------

bool CloseHandle(TFileHandle h);

// Owns an open file or folder (or a folder's lock) and closes it with itself.
class TOwnedFile {
 public:
  TOwnedFile() = default;
  explicit TOwnedFile(TFileHandle h) : FHandle(h) {}
  TOwnedFile(TOwnedFile&& o) noexcept : FHandle(o.Release()) {}
  TOwnedFile& operator=(TOwnedFile&& o) noexcept {
    if (this != &o) Reset(o.Release());
    return *this;
  }
  TOwnedFile(const TOwnedFile&) = delete;
  TOwnedFile& operator=(const TOwnedFile&) = delete;
  ~TOwnedFile() { Reset(); }

  TFileHandle Get() const { return FHandle; }
  bool Valid() const { return FHandle != INVALID_FILE_HANDLE; }
  // Gives the handle up without closing it.
  TFileHandle Release() { return std::exchange(FHandle, INVALID_FILE_HANDLE); }
  void Reset(TFileHandle h = INVALID_FILE_HANDLE) {
    if (FHandle != INVALID_FILE_HANDLE) CloseHandle(FHandle);
    FHandle = h;
  }

 private:
  TFileHandle FHandle = INVALID_FILE_HANDLE;
};

// What a name or an open handle is. A link is only ever seen below a folder, never followed.
enum class TEntryKind { None, File, Folder, Link, Other };

struct TFileInfo {
  TEntryKind Kind = TEntryKind::None;  // File, Folder or Other (a pipe, a device)
  int64_t Size = 0;
  uint64_t LastWriteTime = 0;  // FILETIME ticks (100 ns since 1601), UTC
  uint64_t FileId = 0;         // tells this file from another of the same volume
};
bool GetFileInfo(TFileHandle h, TFileInfo& info);
// The file's size, -1 on failure.
int64_t GetFileSizeOfHandle(TFileHandle h);
// Positioned I/O; *done receives the count (fewer than size only at the end of a read). False on
// failure (last-error set).
bool ReadFileAt(TFileHandle h, int64_t offset, void* buffer, uint32_t size, uint32_t* done);
bool WriteFileAt(TFileHandle h, int64_t offset, const void* buffer, uint32_t size, uint32_t* done);
// Sets only the last-write time (FILETIME ticks, UTC).
bool SetFileLastWriteTime(TFileHandle h, uint64_t fileTimeUtc);
// Flushes the file's data to the disk.
bool SyncFile(TFileHandle h);
// A new handle of the process's standard output, for a stream that closes what it holds.
TFileHandle StandardOutput();

// --- by path -----------------------------------------------------------------------------------

// Something of that name exists (a file, a folder or a link, even a dangling one).
bool PathExists(const rtl::String& path);
// Creates or truncates a file for reading and writing and gives it the attributes' permission
// bits. An existing file whose owner-write bit is clear is refused with ERROR_ACCESS_DENIED (5)
// as a read-only file would be, also for root; so is a folder. A running executable is refused
// with ERROR_SHARING_VIOLATION (32) and left untouched. A missing folder on the way is
// ERROR_PATH_NOT_FOUND.
TFileHandle CreateFileAlways(const rtl::String& path, uint32_t attributes);
// Opens an existing file for reading, never waiting for a writer (a pipe in its place opens at
// once; GetFileInfo tells what it is). A folder is refused with ERROR_ACCESS_DENIED.
TFileHandle OpenFileForRead(const rtl::String& path);
bool SetPathMode(const rtl::String& path, uint32_t mode);
// Every folder counts as a fixed drive on a system without drives.
uint32_t GetDriveType(const rtl::String& root);

// --- below an open folder, never through a link ------------------------------------------------
// Names and relative paths are UTF-8 with "/" between components. A link at a place below the
// folder is never followed: it fails with ERROR_INVALID_NAME, as a path that leaves the folder
// does, and so does a name the system cannot hold. However deep a walk goes, it holds only a few
// handles at a time.

// Opens a folder the caller names (links in its path are followed) as the base of the calls
// below; a missing one fails with ERROR_PATH_NOT_FOUND.
TFileHandle OpenFolder(const rtl::String& path);
// The folder at rel below base (empty: base itself). A component that is a link or ".." fails
// with ERROR_INVALID_NAME, one that is something else than a folder with ERROR_PATH_NOT_FOUND.
// With create, missing folders are made (MadeFolderMode) and their rel paths appended to
// *created, outermost first.
TFileHandle OpenFolderBelow(TFileHandle base, std::string_view rel, bool create,
                            std::vector<std::string>* created = nullptr);

TEntryKind EntryKindIn(TFileHandle folder, const std::string& name);
struct TFolderEntry {
  std::string Name;
  TEntryKind Kind = TEntryKind::None;
};
// The entries of a folder (never "." or ".."), appended to entries; false (last-error set) when
// it cannot be listed. Nothing of the listing stays open.
bool ListFolder(TFileHandle folder, std::vector<TFolderEntry>& entries);

// 0 when name in folder may be written over as create-always would write over it (nothing there,
// or a regular file we may write), else why not: ERROR_INVALID_NAME for a link,
// ERROR_ACCESS_DENIED for a folder or a read-only file, ERROR_SHARING_VIOLATION for a running
// program. Nothing is changed.
uint32_t CheckReplaceable(TFileHandle folder, const std::string& name);
// A new hidden file in folder, open for reading and writing, with the attributes' permission
// bits; its name in tempName. Only a name that nothing had is taken: whatever another user
// planted under a name (a link, a file) is never opened, another name is tried. The name is
// prefix + random hexadecimal + suffix (".krv-" and ".tmp" unless given).
TFileHandle CreateTempFileIn(TFileHandle folder, uint32_t attributes, std::string& tempName);
TFileHandle CreateTempFileIn(TFileHandle folder, uint32_t attributes, std::string& tempName,
                             const std::string& prefix, const std::string& suffix);
// Opens the regular file name in folder for reading, never through a link (ERROR_INVALID_NAME)
// and never a pipe or device (ERROR_ACCESS_DENIED); a missing one is ERROR_FILE_NOT_FOUND.
TFileHandle OpenFileIn(TFileHandle folder, const std::string& name);
// Whether name in folder (not followed) is the very file open as file: another user who may
// write the folder can put another file under a name at any time.
bool SameFileIn(TFileHandle folder, const std::string& name, TFileHandle file);

// The permission bits of name in folder (never through a link), -1 when it cannot be seen.
int32_t ModeIn(TFileHandle folder, const std::string& name);
// Sets the permission bits of name in folder, never through a link.
bool SetModeIn(TFileHandle folder, const std::string& name, uint32_t mode);
// Makes the folder name in folder with these permission bits (through the umask).
bool MakeFolderIn(TFileHandle folder, const std::string& name, uint32_t mode);
// Whether an open folder is ours alone: owned by this process's user, nobody else may enter it.
// A folder made to be private and then opened by name is checked so: another user who swapped
// one of theirs in between is caught.
bool IsPrivateFolder(TFileHandle folder);

// Lets name in folder take the access rules its folder passes on, in place of those it took
// from the folder it was made in (a file made in a private staging folder and moved into an
// install must not stay private). A protected access list (a private file's) is kept. Nothing to
// do where the permissions travel with the file (POSIX modes).
bool InheritAccessIn(TFileHandle folder, const std::string& name);

enum class TRenameMode {
  Replace,    // what stands at the new name is replaced (as an entry, never followed)
  NoReplace,  // an existing new name fails with ERROR_ALREADY_EXISTS
  Exchange,   // both names must exist and swap; ERROR_NOT_SUPPORTED where the file system
              // cannot, and the caller takes another way. Windows has no such step: three moves
              // through a free name, undone on failure (for a moment the new name is free)
};
bool RenameIn(TFileHandle fromFolder, const std::string& from, TFileHandle toFolder, const std::string& to,
              TRenameMode mode = TRenameMode::Replace);
// Removes a file, a link (not what it points to) or an empty folder.
bool DeleteIn(TFileHandle folder, const std::string& name);
// Removes name in folder with everything below it, never following a link; write and search
// rights are given back to folders on the way. True when nothing is left (or nothing was there).
// Each folder is reached again from the top, beneath folder, so a tree deeper than the limit of
// open handles is removed as well.
bool RemoveTreeIn(TFileHandle folder, const std::string& name);

// Holds an exclusive lock on the folder (advisory, between programs that ask for it) for as long
// as the returned handle stays open; waits up to waitMs for another holder. INVALID_FILE_HANDLE
// with ERROR_LOCK_VIOLATION when the wait ran out, or with the reason when the file system has
// no such locks.
TFileHandle LockFolder(TFileHandle folder, uint32_t waitMs);
// Flushes a folder's entries (the renames in it) to the disk.
bool SyncFolder(TFileHandle folder);
// Flushes what was written below the folder to the disk (the whole file system that holds it,
// where that is the system's means).
bool SyncFileSystem(TFileHandle folder);

}  // namespace platform

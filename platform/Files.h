// File services the archive component was designed against (create-always, attributes, Unix
// modes, last-write times, drive type), over POSIX. Failures set the thread's last-error value.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "rtl/SysUtils.h"

namespace platform {

using THandle = int;
constexpr THandle INVALID_HANDLE_VALUE = -1;

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

// The process's file-creation mask (read once, without changing it).
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

// Something of that name exists (a file, a folder or a link, even a dangling one).
bool PathExists(const rtl::String& path);

// Creates or truncates a file for reading and writing and gives it the attributes' permission
// bits. An existing file whose owner-write bit is clear is refused with ERROR_ACCESS_DENIED (5)
// as a read-only file would be, also for root; so is a folder. A running executable (ETXTBSY) is
// refused with ERROR_SHARING_VIOLATION (32), as Windows refuses it, and left untouched.
THandle CreateFileAlways(const rtl::String& path, uint32_t attributes);
// Opens an existing file for reading.
THandle OpenFileForRead(const rtl::String& path);
bool CloseHandle(THandle h);
// The file's size, -1 on failure.
int64_t GetFileSizeOfHandle(THandle h);
// Positioned I/O; *done receives the count. False on failure (last-error set).
bool ReadFileAt(THandle h, int64_t offset, void* buffer, uint32_t size, uint32_t* done);
bool WriteFileAt(THandle h, int64_t offset, const void* buffer, uint32_t size, uint32_t* done);
// Sets only the last-write time (FILETIME ticks, UTC).
bool SetFileLastWriteTime(THandle h, uint64_t fileTimeUtc);
// The last-write time of a file as FILETIME ticks (UTC), 0 on failure.
uint64_t GetFileLastWriteTime(const rtl::String& path);
bool SetPathMode(const rtl::String& path, uint32_t mode);
// Every folder counts as a fixed drive here.
uint32_t GetDriveType(const rtl::String& root);

// --- Below an open folder, never through a link --------------------------------------------
// Names and relative paths are UTF-8 with "/" between components. A symbolic link at a place
// below the folder is never followed: it fails with ERROR_INVALID_NAME, as a path that leaves
// the folder does.

// Opens a folder the caller names (links in its path are followed) as the base of the calls
// below; a missing one fails with ERROR_PATH_NOT_FOUND.
THandle OpenFolder(const rtl::String& path);
// The folder at rel below base (empty: base itself). A component that is a link or ".." fails
// with ERROR_INVALID_NAME, one that is something else than a folder with ERROR_PATH_NOT_FOUND.
// With create, missing folders are made (MadeFolderMode) and their rel paths appended to
// *created, outermost first.
THandle OpenFolderBelow(THandle base, std::string_view rel, bool create, std::vector<std::string>* created = nullptr);
// 0 when name in folder may be written over as create-always would write over it (nothing there,
// or a regular file we may write), else why not: ERROR_INVALID_NAME for a link,
// ERROR_ACCESS_DENIED for a folder or a read-only file, ERROR_SHARING_VIOLATION for a running
// program. Nothing is changed.
uint32_t CheckReplaceable(THandle folder, const std::string& name);
// A new hidden file in folder, open for reading and writing, with the attributes' permission
// bits; its name in tempName. Made with O_EXCL and O_NOFOLLOW: whatever another user planted
// under a name (a link, a file) is never opened, another name is tried. The name is
// prefix + random hexadecimal + suffix (".krv-" and ".tmp" unless given).
THandle CreateTempFileIn(THandle folder, uint32_t attributes, std::string& tempName);
THandle CreateTempFileIn(THandle folder, uint32_t attributes, std::string& tempName, const std::string& prefix,
                         const std::string& suffix);
// What a name in a folder is, never following a link.
enum class TEntryKind { None, File, Folder, Link, Other };
TEntryKind EntryKindIn(THandle folder, const std::string& name);
// Holds an exclusive lock on the folder (advisory, between programs that ask for it) for as long
// as the returned handle stays open; waits up to waitMs for another holder. INVALID_HANDLE_VALUE
// with ERROR_LOCK_VIOLATION when the wait ran out, or with the reason when the file system has
// no such locks.
THandle LockFolder(THandle folder, uint32_t waitMs);
// Reads the names in a folder (never "." or ".."); false (last-error set) when it cannot be
// listed. The listing's descriptor is closed before the call returns.
bool ListFolderNames(THandle folder, std::vector<std::string>& names);
// Flushes a folder's entries (the renames in it) to the disk.
bool SyncFolder(THandle folder);
// The permission bits of name in folder (never through a link), -1 when it cannot be seen.
int32_t ModeIn(THandle folder, const std::string& name);
// Makes the folder name in folder with these permission bits (through the umask).
bool MakeFolderIn(THandle folder, const std::string& name, uint32_t mode);
// Whether an open folder is ours alone: owned by this process's user, nobody else may enter it.
// A folder made to be private and then opened by name is checked so: another user who swapped
// one of theirs in between is caught.
bool IsPrivateFolder(THandle folder);
// Whether name in folder (not followed) is the very file open as file: another user who may
// write the folder can put another file under a name at any time.
bool SameFileIn(THandle folder, const std::string& name, THandle file);
// Opens the regular file name in folder for reading, never through a link (ERROR_INVALID_NAME)
// and never a FIFO or device (ERROR_ACCESS_DENIED).
THandle OpenFileIn(THandle folder, const std::string& name);
// renameat2 between two folders; flags RENAME_NOREPLACE (emulated where the file system lacks
// it) or RENAME_EXCHANGE (failing with ERROR_NOT_SUPPORTED where it lacks that).
constexpr unsigned kRenameNoReplace = 1, kRenameExchange = 2;
bool RenameIn(THandle fromFolder, const std::string& from, THandle toFolder, const std::string& to, unsigned flags = 0);
// Removes a file, a link (not what it points to) or an empty folder.
bool DeleteIn(THandle folder, const std::string& name);
// Sets the permission bits of name in folder, never through a link.
bool SetModeIn(THandle folder, const std::string& name, uint32_t mode);
// Removes name in folder with everything below it, never following a link; write and search
// rights are given back to folders on the way. True when nothing is left (or nothing was there).
// However deep the tree, it holds a few descriptors at a time (each folder is reached again from
// the top, beneath folder), so a tree deeper than the descriptor limit is removed as well.
bool RemoveTreeIn(THandle folder, const std::string& name);
// Flushes the file system that holds the folder to the disk.
bool SyncFileSystem(THandle folder);

}  // namespace platform

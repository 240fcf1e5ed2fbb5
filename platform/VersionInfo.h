// Version information of executable files with the three queries of the platform's contract: the
// VS_VERSIONINFO block from a PE file's RT_VERSION resource (PE32 and PE32+) and, for our Linux
// programs, from an ELF file's ".versioninfo" section (written by cmake/KrvVersionInfo.cmake).
// On Windows the three queries are the system's version library; its error numbers are its own
// (Wine answers 1812 for a PE without resources where Windows answers 1813), and the size it
// answers may exceed the block (the block's own length is its first word).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/LastError.h"
#include "rtl/SysUtils.h"

namespace platform {

// The size of the file's version block, 0 when there is none (the last-error value says why:
// 2/3 no file, 193 neither PE nor ELF, 1813 no version resource or section, 1812 a block that
// does not hold together). *handle, when given, is set to 0.
uint32_t GetFileVersionInfoSizeW(const rtl::String& fileName, uint32_t* handle);
// Copies the block into data; false (and the last-error value) when it cannot be read or when
// len is smaller than the block (122: a cut block would claim bytes the buffer lacks).
bool GetFileVersionInfoW(const rtl::String& fileName, uint32_t handle, uint32_t len, void* data);
// Looks a value up in a block that GetFileVersionInfoW filled: "\" answers the 52-byte fixed
// part, "\StringFileInfo\<table>\<name>" a zero-terminated UTF-16 text (length in characters,
// the zero included as stored), "\VarFileInfo\Translation" the language/code-page pairs (length
// in bytes). Key comparison ignores ASCII letter case. False when the path is not there.
bool VerQueryValueW(const void* block, std::u16string_view subBlock, const void** buffer, uint32_t* len);

// The same look-up inside a block of known size; nothing outside [block, block + size) is read.
bool VerQueryValueIn(const uint8_t* block, size_t size, std::u16string_view subBlock,
                     const uint8_t** buffer, uint32_t* len);

// Finds the version block in a PE or ELF image held in memory (the fuzzing entry). Answers the
// block's bytes or an empty vector with error set as GetFileVersionInfoSizeW would.
rtl::Bytes VersionBlockFromImage(const uint8_t* data, size_t size, uint32_t& error);

}  // namespace platform

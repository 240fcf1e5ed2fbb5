// krv-sign's files, which each operating system writes its own way: the private key readable by
// its owner only and never written over, and ARCHIVE.sig replaced whole or not at all.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace krvsign {

// A failure with its one-line reason (the tool prints it and exits with 1).
struct EFailed {
  std::string Reason;
};
[[noreturn]] inline void Fail(const std::string& AReason) { throw EFailed{AReason}; }

// Standard output and error as bytes, without a newline translation.
void UseBinaryOutput();

// A new file with AData for its owner alone, flushed to the disk. Fails with "<path> exists; a
// key file is never overwritten" when anything has the name (a link too, never followed), else
// "cannot create <path>: <why>"; a file it began is removed again.
void WriteNewKeyFile(const std::string& APath, std::string_view AData);

// The text of a key file: a regular file; its first 64 KiB and a piece (more is no key, and the
// signing step says so). "cannot open <path>: <why>", "<path> is not a regular file".
std::string ReadKeyFile(const std::string& APath);

// APath holds AText afterwards, or is as it was: written beside it under a temporary name,
// flushed, then renamed over it. "cannot create a file beside <path>: <why>", "cannot write
// <path>: <why>".
void WriteReplacing(const std::string& APath, std::string_view AText);

// Wipes a secret in a way the compiler cannot leave out.
void Wipe(void* AData, size_t ASize);

}  // namespace krvsign

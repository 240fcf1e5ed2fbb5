// Bytes from the operating system's cryptographic random source.
#pragma once

#include <cstddef>

namespace platform {

// Fills the buffer; false (and the last-error value set) when the source fails.
bool GenerateRandomBytes(void* buffer, size_t size);

}  // namespace platform

// The error class of the deflate decoder and the gzip stream, with its fixed codes and messages.
#pragma once

#include <cstdint>

#include "rtl/Exception.h"

namespace netlib {

// Error codes carried by EclZLibError. The -1xx numbering is the library's own; the codes from
// -123 on reject deflate data that RFC 1951 forbids (see docs/zlib.md).
enum : int32_t {
  ZLIB_ERR_INPUT_NOT_PROCESSED = -101,  // "Old input was not completely processed"
  ZLIB_ERR_INVALID_STREAM_OP = -102,    // "Invalid Stream operation"
  ZLIB_ERR_INVALID_CRC = -103,          // "Uncompressing error - invalid crc"
  ZLIB_ERR_INVALID_SIZE = -104,         // "Uncompressing error - invalid data size"
  ZLIB_ERR_NOT_BYTE_ALIGNED = -105,     // "Bit buffer is not byte aligned"
  ZLIB_ERR_ARGUMENT_RANGE = -106,       // "Argument out of range"
  ZLIB_ERR_UNKNOWN = -110,              // "Unknown error" (bad repeat in a dynamic header)
  ZLIB_ERR_STATIC_TREE = -111,          // "Static tree length illegal"
  ZLIB_ERR_WINDOW_FULL = -112,          // "Window is full"
  ZLIB_ERR_INVALID_OPERATION = -113,    // "Invalid operation"
  ZLIB_ERR_HEADER_CHECKSUM = -114,      // "Header checksum illegal"
  ZLIB_ERR_METHOD_UNKNOWN = -115,       // "Compression Method unknown"
  ZLIB_ERR_UNKNOWN_MODE = -118,         // "Inflater unknown mode"
  ZLIB_ERR_ADLER_MISMATCH = -119,       // "Adler chksum doesn't match"
  ZLIB_ERR_UNKNOWN_BLOCK_TYPE = -120,   // "Unknown block type "
  ZLIB_ERR_BROKEN_STORED_BLOCK = -121,  // "Broken uncompressed block"
  ZLIB_ERR_NEED_DICTIONARY = -122,      // "Need a dictionary"
  ZLIB_ERR_ILLEGAL_LENGTH_CODE = -123,  // "Illegal rep length code"
  ZLIB_ERR_ILLEGAL_DIST_CODE = -124,    // "Illegal rep dist code"
  ZLIB_ERR_INVALID_CODE_LENGTHS = -125, // "Invalid code lengths set"
  ZLIB_ERR_TOO_MANY_CODES = -126,       // "Too many length or distance codes"
  ZLIB_ERR_MISSING_END_OF_BLOCK = -127, // "Missing end-of-block code"
  ZLIB_ERR_DISTANCE_TOO_FAR = -128,     // "Invalid distance too far back"
  ZLIB_ERR_INVALID_WINDOW_SIZE = -129,  // "Invalid window size"
};

// The fixed English message of a code ("Unknown error" for a code it doesn't know).
const char16_t* ZLibErrorMessage(int32_t code);

class EclZLibError : public rtl::Exception {
 public:
  EclZLibError(rtl::String message, int32_t errorCode)
      : rtl::Exception(std::move(message)), FErrorCode(errorCode) {}
  const char* ClassName() const noexcept override { return "EclZLibError"; }
  int32_t ErrorCode() const noexcept { return FErrorCode; }

 private:
  int32_t FErrorCode;
};

// Raises EclZLibError with the code's own message.
[[noreturn]] void RaiseZLibError(int32_t code);

}  // namespace netlib

#include "netlib/zlib/clZLibBase.h"

namespace netlib {

const char16_t* ZLibErrorMessage(int32_t code) {
  switch (code) {
    case ZLIB_ERR_INPUT_NOT_PROCESSED: return u"Old input was not completely processed";
    case ZLIB_ERR_INVALID_STREAM_OP: return u"Invalid Stream operation";
    case ZLIB_ERR_INVALID_CRC: return u"Uncompressing error - invalid crc";
    case ZLIB_ERR_INVALID_SIZE: return u"Uncompressing error - invalid data size";
    case ZLIB_ERR_NOT_BYTE_ALIGNED: return u"Bit buffer is not byte aligned";
    case ZLIB_ERR_ARGUMENT_RANGE: return u"Argument out of range";
    case ZLIB_ERR_STATIC_TREE: return u"Static tree length illegal";
    case ZLIB_ERR_WINDOW_FULL: return u"Window is full";
    case ZLIB_ERR_INVALID_OPERATION: return u"Invalid operation";
    case ZLIB_ERR_HEADER_CHECKSUM: return u"Header checksum illegal";
    case ZLIB_ERR_METHOD_UNKNOWN: return u"Compression Method unknown";
    case ZLIB_ERR_UNKNOWN_MODE: return u"Inflater unknown mode";
    case ZLIB_ERR_ADLER_MISMATCH: return u"Adler chksum doesn't match";
    case ZLIB_ERR_UNKNOWN_BLOCK_TYPE: return u"Unknown block type ";
    case ZLIB_ERR_BROKEN_STORED_BLOCK: return u"Broken uncompressed block";
    case ZLIB_ERR_NEED_DICTIONARY: return u"Need a dictionary";
    case ZLIB_ERR_ILLEGAL_LENGTH_CODE: return u"Illegal rep length code";
    case ZLIB_ERR_ILLEGAL_DIST_CODE: return u"Illegal rep dist code";
    case ZLIB_ERR_INVALID_CODE_LENGTHS: return u"Invalid code lengths set";
    case ZLIB_ERR_TOO_MANY_CODES: return u"Too many length or distance codes";
    case ZLIB_ERR_MISSING_END_OF_BLOCK: return u"Missing end-of-block code";
    case ZLIB_ERR_DISTANCE_TOO_FAR: return u"Invalid distance too far back";
    case ZLIB_ERR_INVALID_WINDOW_SIZE: return u"Invalid window size";
    default: return u"Unknown error";
  }
}

void RaiseZLibError(int32_t code) { throw EclZLibError(ZLibErrorMessage(code), code); }

}  // namespace netlib

// Checksums of the deflate formats: CRC-32 (RFC 1952) and Adler-32 (RFC 1950).
#pragma once

#include <cstddef>
#include <cstdint>

namespace netlib {

class TclCheckSum {
 public:
  virtual ~TclCheckSum() = default;
  virtual void Reset() = 0;
  virtual void Update(uint8_t AByte) = 0;
  virtual void Update(const void* ABuffer, size_t ALen) = 0;
  uint32_t Value() const { return FValue; }

 protected:
  uint32_t FValue = 0;
};

// The value is always the finished CRC of everything so far: 0 after Reset.
class TclCrc32 : public TclCheckSum {
 public:
  TclCrc32() { Reset(); }
  void Reset() override { FValue = 0; }
  void Update(uint8_t AByte) override;
  void Update(const void* ABuffer, size_t ALen) override;
};

// 1 after Reset.
class TclAdler32 : public TclCheckSum {
 public:
  TclAdler32() { Reset(); }
  void Reset() override { FValue = 1; }
  void Update(uint8_t AByte) override;
  void Update(const void* ABuffer, size_t ALen) override;
};

// The routines behind the classes, for callers that keep the value themselves.
uint32_t Crc32Update(uint32_t ACrc, const void* ABuffer, size_t ALen);
uint32_t Adler32Update(uint32_t AAdler, const void* ABuffer, size_t ALen);

}  // namespace netlib

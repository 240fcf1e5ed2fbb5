// The encoder component: Base64 for the authorization schemes, in both directions, between
// bytes, streams and text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>

#include "rtl/Classes.h"
#include "rtl/Exception.h"
#include "rtl/SysUtils.h"

namespace netlib {

enum TclEncodeMethod : uint8_t { cmNone, cmQuotedPrintable, cmBase64, cmUUEncode, cm8Bit };

// "Wrong symbols in source stream." for input outside the method's alphabet, "Unsupported
// format." for a method the encoder does not handle.
class EclEncoderError : public rtl::Exception {
 public:
  using Exception::Exception;
  const char* ClassName() const noexcept override { return "EclEncoderError"; }
};

class TclEncoder;
using TclEncoderProgressEvent =
    std::function<void(TclEncoder* Sender, int64_t ABytesProceed, int64_t ATotalBytes)>;

// Handled methods: cmBase64, and cmNone / cm8Bit, which carry each byte as the character of
// the same code. cmQuotedPrintable and cmUUEncode are not built: they fail with "Unsupported
// format.", as does any value outside the enumeration.
class TclEncoder {
 public:
  TclEncoder() = default;
  virtual ~TclEncoder() = default;
  TclEncoder(const TclEncoder&) = delete;
  TclEncoder& operator=(const TclEncoder&) = delete;

  TclEncodeMethod EncodeMethod() const { return FEncodeMethod; }
  void SetEncodeMethod(TclEncodeMethod Value) { FEncodeMethod = Value; }
  // Base64 lines are broken after this many characters (CR LF) unless SuppressCrlf; 0 or less:
  // one line.
  int CharsPerLine() const { return FCharsPerLine; }
  void SetCharsPerLine(int Value) { FCharsPerLine = Value; }
  bool SuppressCrlf() const { return FSuppressCrlf; }
  void SetSuppressCrlf(bool Value) { FSuppressCrlf = Value; }
  // Bytes read from a source stream between two OnProgress calls; below 1 counts as 1.
  int BatchSize() const { return FBatchSize; }
  void SetBatchSize(int Value) { FBatchSize = Value; }
  // Kept for the quoted-printable method; Base64 does not use it.
  bool AllowESC() const { return FAllowESC; }
  void SetAllowESC(bool Value) { FAllowESC = Value; }
  TclEncoderProgressEvent OnProgress;

  // The bytes of ASource from its position to its end, encoded with EncodeMethod.
  rtl::String Encode(rtl::TStream& ASource);
  // Decodes ASource with EncodeMethod and writes the bytes at ADestination's position.
  void Decode(const rtl::String& ASource, rtl::TStream& ADestination);
  // The text in the default code page (the translator with an empty set name), encoded with
  // AMethod; EncodeMethod is left as it is.
  rtl::String EncodeToString(const rtl::String& ASource, TclEncodeMethod AMethod);
  rtl::String EncodeBytes(const rtl::Bytes& ASource);
  rtl::Bytes DecodeBytes(std::u16string_view ASource);

  // Base64 with the standard alphabet and "=" padding; ACharsPerLine > 0 breaks lines with
  // CR LF after that many characters.
  static rtl::String EncodeBase64(const uint8_t* AData, size_t ASize, int ACharsPerLine = 0);
  // Skips CR, LF, spaces and "="; any other character outside the alphabet raises
  // EclEncoderError. A last lone character (six bits, less than a byte) gives no byte.
  static rtl::Bytes DecodeBase64(std::u16string_view ASource);

 private:
  rtl::String EncodeWith(const rtl::Bytes& ASource, TclEncodeMethod AMethod) const;
  rtl::Bytes DecodeWith(std::u16string_view ASource, TclEncodeMethod AMethod) const;

  TclEncodeMethod FEncodeMethod = cmBase64;
  int FCharsPerLine = 76;
  bool FSuppressCrlf = false;
  int FBatchSize = 8192;
  bool FAllowESC = false;
};

}  // namespace netlib

#include "netlib/auth/clEncoder.h"

#include <algorithm>
#include <array>

#include "netlib/text/clTranslator.h"

namespace netlib {

namespace {

constexpr char16_t kAlphabet[] = u"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Six-bit value of each character below 256; -1 outside the alphabet, -2 for what is skipped.
constexpr std::array<int8_t, 256> MakeDecodeTable() {
  std::array<int8_t, 256> t{};
  for (auto& v : t) v = -1;
  for (int i = 0; i < 64; ++i) t[kAlphabet[i]] = static_cast<int8_t>(i);
  t['\r'] = t['\n'] = t[' '] = t['='] = -2;
  return t;
}
constexpr std::array<int8_t, 256> kDecode = MakeDecodeTable();

[[noreturn]] void WrongSymbols() { throw EclEncoderError(u"Wrong symbols in source stream."); }
[[noreturn]] void Unsupported() { throw EclEncoderError(u"Unsupported format."); }

}  // namespace

rtl::String TclEncoder::EncodeBase64(const uint8_t* AData, size_t ASize, int ACharsPerLine) {
  rtl::String out;
  size_t chars = (ASize + 2) / 3 * 4;
  out.reserve(chars + (ACharsPerLine > 0 ? chars / static_cast<size_t>(ACharsPerLine) * 2 : 0));
  int column = 0;
  auto put = [&](char16_t c) {
    if (ACharsPerLine > 0 && column == ACharsPerLine) {
      out += u"\r\n";
      column = 0;
    }
    out += c;
    ++column;
  };
  size_t i = 0;
  for (; i + 3 <= ASize; i += 3) {
    uint32_t v = (uint32_t{AData[i]} << 16) | (uint32_t{AData[i + 1]} << 8) | AData[i + 2];
    put(kAlphabet[v >> 18]);
    put(kAlphabet[(v >> 12) & 63]);
    put(kAlphabet[(v >> 6) & 63]);
    put(kAlphabet[v & 63]);
  }
  if (size_t rest = ASize - i; rest > 0) {
    uint32_t v = uint32_t{AData[i]} << 16;
    if (rest == 2) v |= uint32_t{AData[i + 1]} << 8;
    put(kAlphabet[v >> 18]);
    put(kAlphabet[(v >> 12) & 63]);
    put(rest == 2 ? kAlphabet[(v >> 6) & 63] : u'=');
    put(u'=');
  }
  return out;
}

rtl::Bytes TclEncoder::DecodeBase64(std::u16string_view ASource) {
  rtl::Bytes out;
  out.reserve(ASource.size() / 4 * 3 + 3);
  uint32_t acc = 0;
  int bits = 0;
  for (char16_t c : ASource) {
    if (c > 0xFF) WrongSymbols();
    int v = kDecode[c];
    if (v == -2) continue;
    if (v < 0) WrongSymbols();
    acc = (acc << 6) | static_cast<uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<uint8_t>(acc >> bits));
      acc &= (1u << bits) - 1;
    }
  }
  return out;
}

rtl::String TclEncoder::EncodeWith(const rtl::Bytes& ASource, TclEncodeMethod AMethod) const {
  switch (AMethod) {
    case cmBase64:
      return EncodeBase64(ASource.data(), ASource.size(), FSuppressCrlf ? 0 : FCharsPerLine);
    case cmNone:
    case cm8Bit:
      return rtl::String(ASource.begin(), ASource.end());
    default:
      Unsupported();
  }
}

rtl::Bytes TclEncoder::DecodeWith(std::u16string_view ASource, TclEncodeMethod AMethod) const {
  switch (AMethod) {
    case cmBase64:
      return DecodeBase64(ASource);
    case cmNone:
    case cm8Bit: {
      rtl::Bytes out;
      out.reserve(ASource.size());
      for (char16_t c : ASource) {
        if (c > 0xFF) WrongSymbols();
        out.push_back(static_cast<uint8_t>(c));
      }
      return out;
    }
    default:
      Unsupported();
  }
}

rtl::String TclEncoder::Encode(rtl::TStream& ASource) {
  const int64_t start = ASource.Position();
  const int64_t total = std::max<int64_t>(ASource.Size() - start, 0);
  const int64_t batch = std::max(FBatchSize, 1);
  rtl::Bytes data;
  rtl::Bytes buffer(static_cast<size_t>(batch));
  for (int64_t n; (n = ASource.Read(buffer.data(), batch)) > 0;) {
    data.insert(data.end(), buffer.begin(), buffer.begin() + n);
    if (OnProgress) OnProgress(this, static_cast<int64_t>(data.size()), total);
  }
  return EncodeWith(data, FEncodeMethod);
}

void TclEncoder::Decode(const rtl::String& ASource, rtl::TStream& ADestination) {
  rtl::Bytes data = DecodeWith(ASource, FEncodeMethod);
  ADestination.WriteBuffer(data.data(), static_cast<int64_t>(data.size()));
  if (OnProgress) OnProgress(this, static_cast<int64_t>(data.size()), static_cast<int64_t>(data.size()));
}

rtl::String TclEncoder::EncodeToString(const rtl::String& ASource, TclEncodeMethod AMethod) {
  return EncodeWith(TclTranslator::GetBytes(ASource, u""), AMethod);
}

rtl::String TclEncoder::EncodeBytes(const rtl::Bytes& ASource) { return EncodeWith(ASource, FEncodeMethod); }

rtl::Bytes TclEncoder::DecodeBytes(std::u16string_view ASource) { return DecodeWith(ASource, FEncodeMethod); }

}  // namespace netlib

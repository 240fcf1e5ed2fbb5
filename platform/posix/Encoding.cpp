// Named character sets through glibc iconv.
#include <iconv.h>

#include <bit>
#include <cerrno>
#include <string>

#include "platform/SystemEncoding.h"

namespace platform {

namespace {

constexpr const char* kUtf16Native = std::endian::native == std::endian::little ? "UTF-16LE" : "UTF-16BE";

class TIconvEncoding : public TEncoding {
 public:
  TIconvEncoding(std::string name, unsigned codePage, iconv_t encoder, iconv_t decoder)
      : FName(std::move(name)), FCodePage(codePage), FEncoder(encoder), FDecoder(decoder) {
    FUnicodeForm = FName.rfind("UTF", 0) == 0 || FName.rfind("UCS", 0) == 0 || FName == "GB18030";
  }
  ~TIconvEncoding() override {
    iconv_close(FEncoder);
    iconv_close(FDecoder);
  }

  unsigned CodePage() const override { return FCodePage; }
  rtl::String EncodingName() const override { return rtl::S(FName); }

  rtl::Bytes DoGetBytes(std::u16string_view text) const override {
    rtl::Bytes out;
    iconv(FEncoder, nullptr, nullptr, nullptr, nullptr);  // initial shift state
    const char16_t replacement[1] = {FUnicodeForm ? u'\uFFFD' : u'?'};
    size_t i = 0;
    while (i < text.size()) {
      size_t used = 0;
      int err = Convert(FEncoder, reinterpret_cast<const char*>(text.data() + i), (text.size() - i) * 2, out, used);
      i += used / 2;
      if (err == 0) break;
      // A character the set cannot carry, or a lone surrogate: one replacement, through the same
      // descriptor so a stateful set keeps its shift state right.
      size_t skip = 1;
      if (text[i] >= 0xD800 && text[i] <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
          text[i + 1] <= 0xDFFF)
        skip = 2;
      size_t dummy = 0;
      Convert(FEncoder, reinterpret_cast<const char*>(replacement), 2, out, dummy);
      i += skip;
    }
    Flush(out);
    return out;
  }

  rtl::String DoGetString(const uint8_t* bytes, size_t count) const override {
    rtl::String out;
    iconv(FDecoder, nullptr, nullptr, nullptr, nullptr);
    size_t i = 0;
    while (i < count) {
      size_t used = 0;
      int err = Convert(FDecoder, reinterpret_cast<const char*>(bytes + i), count - i, out, used);
      i += used;
      if (err == 0) break;
      // An undecodable byte (or an incomplete sequence at the end) becomes U+FFFD.
      out.push_back(u'\uFFFD');
      if (err == EINVAL) break;
      i += 1;
    }
    return out;
  }

 private:
  // Converts as much as it can, growing the output; answers 0 when everything was converted,
  // else the errno of the stop (EILSEQ or EINVAL), with `used` the input bytes consumed.
  // Encoding grows a byte array, decoding writes UTF-16 code units straight into the string.
  template <typename Out>
  static int Convert(iconv_t cd, const char* in, size_t inSize, Out& out, size_t& used) {
    constexpr size_t unit = sizeof(typename Out::value_type);
    char* src = const_cast<char*>(in);
    size_t left = inSize;
    for (;;) {
      size_t start = out.size();
      // Room for the usual worst case (decoding: a unit per byte; encoding: four bytes per
      // UTF-16 unit); E2BIG asks for more when a set needs it.
      size_t room = (unit == 1 ? left * 2 : left) + 16;
      out.resize(start + room);
      char* dst = reinterpret_cast<char*>(out.data() + start);
      size_t outLeft = room * unit;
      size_t r = iconv(cd, &src, &left, &dst, &outLeft);
      int e = errno;
      out.resize(start + room - outLeft / unit);
      used = inSize - left;
      if (r != static_cast<size_t>(-1)) return 0;
      if (e == E2BIG) continue;
      return e == EINVAL ? EINVAL : EILSEQ;
    }
  }

  void Flush(rtl::Bytes& out) const {
    for (;;) {
      size_t start = out.size();
      size_t room = 64;
      out.resize(start + room);
      char* dst = reinterpret_cast<char*>(out.data() + start);
      size_t outLeft = room;
      size_t r = iconv(FEncoder, nullptr, nullptr, &dst, &outLeft);
      out.resize(start + (room - outLeft));
      if (r != static_cast<size_t>(-1) || errno != E2BIG) return;
    }
  }

  std::string FName;
  unsigned FCodePage;
  iconv_t FEncoder;
  iconv_t FDecoder;
  bool FUnicodeForm = false;
};

}  // namespace

std::unique_ptr<TEncoding> OpenSystemEncoding(const std::string& charset, unsigned codePage) {
  iconv_t enc = iconv_open(charset.c_str(), kUtf16Native);
  if (enc == reinterpret_cast<iconv_t>(-1)) return nullptr;
  iconv_t dec = iconv_open(kUtf16Native, charset.c_str());
  if (dec == reinterpret_cast<iconv_t>(-1)) {
    iconv_close(enc);
    return nullptr;
  }
  return std::make_unique<TIconvEncoding>(charset, codePage, enc, dec);
}

}  // namespace platform

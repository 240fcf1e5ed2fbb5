// Decoding response text: the translator against a bare iconv conversion (the cost of resolving
// the set and of the replacement handling), and the library's UTF-8 codec against the runtime's
// validating decoder.
#include <iconv.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "BenchUtil.h"
#include "netlib/text/clTranslator.h"

namespace {

// 1 MiB of mixed text: ASCII, Latin, Cyrillic, CJK.
rtl::Bytes MakeBody() {
  const std::string piece = "Content ascii text; Gr\xC3\xBC\xC3\x9F" "e \xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82 "
                            "\xE4\xB8\xAD\xE6\x96\x87 0123456789\r\n";
  rtl::Bytes b;
  while (b.size() < (1u << 20)) b.insert(b.end(), piece.begin(), piece.end());
  return b;
}

volatile size_t gSink;

}  // namespace

int main() {
  const rtl::Bytes body = MakeBody();
  const double mib = static_cast<double>(body.size()) / (1 << 20);

  krvbench::CompareTime(
      "text_get_string_utf8",
      [&] { gSink = netlib::TclTranslator::GetString(body, u"utf-8").size(); },
      [&] {
        iconv_t cd = iconv_open("UTF-16LE", "UTF-8");
        std::u16string out(body.size(), u'\0');
        char* in = const_cast<char*>(reinterpret_cast<const char*>(body.data()));
        size_t inLeft = body.size();
        char* dst = reinterpret_cast<char*>(out.data());
        size_t outLeft = out.size() * 2;
        iconv(cd, &in, &inLeft, &dst, &outLeft);
        iconv_close(cd);
        out.resize(out.size() - outLeft / 2);
        gSink = out.size();
      },
      9, 1000.0 / mib, "ms/MiB");

  krvbench::CompareTime(
      "text_translate_from_utf8",
      [&] { gSink = netlib::TclTranslator::TranslateFromUtf8(body).size(); },
      [&] {
        gSink = rtl::Utf8ToString(std::string_view(reinterpret_cast<const char*>(body.data()), body.size())).size();
      },
      9, 1000.0 / mib, "ms/MiB");
  return 0;
}

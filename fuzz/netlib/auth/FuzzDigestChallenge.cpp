// The Digest challenge parser and the answer built from it, on arbitrary text. Input: UTF-8,
// first line the user name, second the password, the rest the challenge lines. An answer must
// be one header line ending in a 32-digit response; no answer is only allowed for an empty user
// name, an unknown algorithm or a value that would break the line.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz/FuzzText.h"
#include "netlib/auth/clHttpAuthDigest.h"

using namespace netlib;
using krvfuzz::TakeLine;

namespace {

class TFuzzDigest : public TclHttpDigestAuthorization {
 protected:
  rtl::String GenerateClientNonce() override { return u"ab0123456789abcdef0123456789abcd"; }
};

bool IsLowerHex(const rtl::String& s) {
  for (rtl::Char c : s)
    if (!((c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f'))) return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static TclUrlParser url = [] {
    TclUrlParser u;
    u.Parse(u"http://127.0.0.1/dir/index.html?q=1", u"");
    return u;
  }();
  rtl::String text = rtl::Utf8ToString(std::string(reinterpret_cast<const char*>(data), size));

  // The parser on the whole text, line breaks included, and the value written back from it.
  TclDigestChallenge parsed;
  parsed.Parse(text);
  if (parsed.BuildAuthorization().compare(0, 7, u"Digest ") != 0) std::abort();

  const rtl::String user = TakeLine(text);
  const rtl::String password = TakeLine(text);
  rtl::TStringList challenges;
  challenges.SetText(text);

  TFuzzDigest digest;
  digest.AnswerChallenge(url, u"GET", user, password, challenges, nullptr);
  const rtl::String& value = digest.AuthValue();
  const rtl::String line = FindChallenge(challenges, u"digest");
  if (value.empty()) {
    if (line.empty() || user.empty()) return 0;
    TclDigestChallenge c;
    c.Parse(line);
    const rtl::String& alg = c.Algorithm();
    const bool known = alg.empty() || rtl::SameText(alg, u"md5") || rtl::SameText(alg, u"md5-sess");
    const rtl::String sent = user + c.Realm() + c.QopOptions() + alg + c.Nonce() + c.Opaque();
    const bool breaksLine = sent.find_first_of(std::u16string_view(u"\r\n\0", 3)) != rtl::String::npos;
    if (known && !breaksLine) std::abort();
    return 0;
  }
  if (line.empty() || user.empty()) std::abort();
  if (value.compare(0, 7, u"Digest ") != 0) std::abort();
  if (value.find_first_of(std::u16string_view(u"\r\n\0", 3)) != rtl::String::npos) std::abort();
  // ... response="<32 lower-case hex digits>" closes the value.
  const size_t tail = 10 + 32 + 1;
  if (value.size() < tail || value.compare(value.size() - tail, 10, u"response=\"") != 0 || value.back() != u'"' ||
      !IsLowerHex(value.substr(value.size() - 33, 32)))
    std::abort();
  return 0;
}

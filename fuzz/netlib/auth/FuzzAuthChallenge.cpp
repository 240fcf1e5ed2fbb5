// The scheme walk on arbitrary challenges and credentials. Input: UTF-8 text, first line the
// user name, second the password, the rest challenge lines. Whatever scheme is chosen has a
// value; when Basic answers, its value must decode to the credentials in the default code page,
// and when nothing answers, Basic had no challenge or no credentials. A challenge is found by its
// scheme token only.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz/FuzzText.h"
#include "netlib/auth/clEncoder.h"
#include "netlib/auth/clHttpAuth.h"
#include "netlib/text/clTranslator.h"
#include "rtl/Exception.h"

using namespace netlib;
using krvfuzz::TakeLine;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static TclUrlParser url = [] {
    TclUrlParser u;
    u.Parse(u"http://127.0.0.1/x", u"");
    return u;
  }();
  rtl::String text = rtl::Utf8ToString(std::string(reinterpret_cast<const char*>(data), size));
  const rtl::String user = TakeLine(text);
  const rtl::String password = TakeLine(text);
  rtl::TStringList challenges;
  challenges.SetText(text);

  // The challenge found is a piece of one line that begins with the scheme as a whole token
  // (followed by its end, a blank or the comma before its parameters).
  rtl::String basicLine = FindChallenge(challenges, u"basic");
  if (!basicLine.empty()) {
    bool inLine = false;
    for (const rtl::String& line : challenges) inLine = inLine || line.find(basicLine) != rtl::String::npos;
    if (!inLine || !rtl::SameText(basicLine.substr(0, 5), u"basic") ||
        (basicLine.size() > 5 && basicLine[5] != u' ' && basicLine[5] != u'\t' && basicLine[5] != u','))
      std::abort();
  }

  TclHttpAuthorization* a = nullptr;
  try {
    a = TclHttpAuthorization::Authorize(url, u"GET", user, password, challenges, data);
  } catch (const rtl::Exception&) {
    // A scheme may refuse with its own error (NTLM without credentials): a defined outcome.
    return 0;
  }
  if (a == nullptr) {
    if (!basicLine.empty() && !(user.empty() && password.empty())) std::abort();
    return 0;
  }
  if (a->AuthValue().empty()) std::abort();
  // A scheme walked before Basic (Digest, NTLM, some derived from Basic) may have answered;
  // only Basic's value is checked here.
  const rtl::String& value = a->AuthValue();
  if (value.compare(0, 6, u"Basic ") != 0) return 0;
  if (basicLine.empty()) std::abort();
  rtl::String credentials = user.empty() ? password : user + u":" + password;
  if (TclEncoder::DecodeBase64(value.substr(6)) != TclTranslator::GetBytes(credentials, u"")) std::abort();
  return 0;
}

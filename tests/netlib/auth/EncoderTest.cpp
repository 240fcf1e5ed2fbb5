// Base64 in both directions: the RFC 4648 vectors, line breaks, what decoding skips and
// refuses, the stream forms and the default code page of EncodeToString.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "../http/HttpTestLines.h"
#include "netlib/auth/clEncoder.h"

using namespace netlib;
using httptest::A;

namespace {

rtl::Bytes B(std::string_view s) { return rtl::Bytes(s.begin(), s.end()); }
struct Vector {
  const char* plain;
  const char16_t* encoded;
};

// RFC 4648, section 10.
const Vector kRfcVectors[] = {
    {"", u""},         {"f", u"Zg=="},         {"fo", u"Zm8="},         {"foo", u"Zm9v"},
    {"foob", u"Zm9vYg=="}, {"fooba", u"Zm9vYmE="}, {"foobar", u"Zm9vYmFy"},
};

}  // namespace

TEST(Encoder, DefaultsOfTheComponent) {
  TclEncoder e;
  EXPECT_EQ(e.EncodeMethod(), cmBase64);
  EXPECT_EQ(e.CharsPerLine(), 76);
  EXPECT_FALSE(e.SuppressCrlf());
  EXPECT_EQ(e.BatchSize(), 8192);
  EXPECT_FALSE(e.AllowESC());
}

TEST(Encoder, Rfc4648VectorsBothWays) {
  TclEncoder e;
  for (const Vector& v : kRfcVectors) {
    SCOPED_TRACE(v.plain);
    EXPECT_EQ(A(e.EncodeBytes(B(v.plain))), A(v.encoded));
    EXPECT_EQ(e.DecodeBytes(v.encoded), B(v.plain));
    EXPECT_EQ(A(TclEncoder::EncodeBase64(reinterpret_cast<const uint8_t*>(v.plain), std::string(v.plain).size())),
              A(v.encoded));
  }
}

TEST(Encoder, DecodingSkipsBreaksBlanksAndPadding) {
  struct Case {
    const char16_t* in;
    const char* out;
  } cases[] = {
      {u"Zm9v\r\nYmFy", "foobar"},
      {u" Zm 9v Ym Fy ", "foobar"},
      {u"Zm8=\r\n", "fo"},
      {u"Zg=====", "f"},
      {u"Zg==Zg==", "f\x06`"},  // "=" inside is skipped too: "ZgZg" decodes as one run
      {u"\n\n\r\r   ", ""},
      {u"Zm9vY", "foo"},  // a lone trailing character carries no whole byte
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(A(c.in));
    EXPECT_EQ(TclEncoder::DecodeBase64(c.in), B(c.out));
  }
}

TEST(Encoder, DecodingRefusesOtherSymbols) {
  using namespace std::literals;
  const std::u16string_view bad[] = {u"Zm9v!"sv, u"Zm\t9v"sv, u"Zm9v-"sv, u"Zm9v_"sv, u"Zg\u00e9="sv,
                                     u"Zg\u0100="sv, u"\u2028"sv, u"Zm9v\0"sv};
  for (std::u16string_view in : bad) {
    SCOPED_TRACE(A(rtl::String(in)));
    try {
      TclEncoder::DecodeBase64(in);
      ADD_FAILURE() << "no error";
    } catch (const EclEncoderError& e) {
      EXPECT_EQ(A(e.Message()), "Wrong symbols in source stream.");
      EXPECT_STREQ(e.ClassName(), "EclEncoderError");
    }
  }
}

TEST(Encoder, MethodsThatAreNotHandledAreRefused) {
  TclEncoder e;
  for (int m : {static_cast<int>(cmQuotedPrintable), static_cast<int>(cmUUEncode), 5, 200}) {
    SCOPED_TRACE(m);
    e.SetEncodeMethod(static_cast<TclEncodeMethod>(m));
    try {
      e.EncodeBytes(B("abc"));
      ADD_FAILURE() << "no error";
    } catch (const EclEncoderError& err) {
      EXPECT_EQ(A(err.Message()), "Unsupported format.");
    }
    EXPECT_THROW(e.DecodeBytes(u"YWJj"), EclEncoderError);
    EXPECT_THROW(e.EncodeToString(u"abc", static_cast<TclEncodeMethod>(m)), EclEncoderError);
  }
}

TEST(Encoder, PlainMethodsCarryBytesAsCharacters) {
  TclEncoder e;
  for (TclEncodeMethod m : {cmNone, cm8Bit}) {
    e.SetEncodeMethod(m);
    rtl::Bytes all;
    for (int i = 0; i < 256; ++i) all.push_back(static_cast<uint8_t>(i));
    rtl::String text = e.EncodeBytes(all);
    ASSERT_EQ(text.size(), 256u);
    EXPECT_EQ(text[0xE9], u'\u00e9');
    EXPECT_EQ(e.DecodeBytes(text), all);
    EXPECT_THROW(e.DecodeBytes(u"a\u0100"), EclEncoderError);
  }
}

TEST(Encoder, LinesAreBrokenAfterCharsPerLineUnlessSuppressed) {
  TclEncoder e;
  rtl::Bytes data(58, 'x');
  rtl::String lines = e.EncodeBytes(data);
  // 57 bytes fill exactly one line of 76; the 58th starts a second one.
  ASSERT_EQ(lines.size(), 76u + 2 + 4);
  EXPECT_EQ(lines.substr(76, 2), u"\r\n");
  EXPECT_EQ(e.EncodeBytes(rtl::Bytes(57, 'x')).find(u'\r'), rtl::String::npos);
  EXPECT_EQ(e.DecodeBytes(lines), data);

  e.SetSuppressCrlf(true);
  EXPECT_EQ(e.EncodeBytes(data).size(), 80u);
  e.SetSuppressCrlf(false);
  e.SetCharsPerLine(0);
  EXPECT_EQ(e.EncodeBytes(data).size(), 80u);
  e.SetCharsPerLine(10);
  rtl::String shortLines = e.EncodeBytes(data);
  for (size_t start = 0; start < shortLines.size();) {
    size_t end = shortLines.find(u"\r\n", start);
    size_t len = (end == rtl::String::npos ? shortLines.size() : end) - start;
    EXPECT_LE(len, 10u);
    EXPECT_GT(len, 0u);
    if (end == rtl::String::npos) break;
    start = end + 2;
  }
  EXPECT_EQ(e.DecodeBytes(shortLines), data);
}

TEST(Encoder, RandomDataRoundTrips) {
  std::mt19937 rng(1234);
  TclEncoder e;
  for (int n = 0; n < 400; ++n) {
    rtl::Bytes data(static_cast<size_t>(n));
    for (auto& b : data) b = static_cast<uint8_t>(rng());
    e.SetSuppressCrlf(n % 2 == 0);
    rtl::String text = e.EncodeBytes(data);
    if (e.SuppressCrlf()) EXPECT_EQ(text.find(u'\r'), rtl::String::npos);
    else EXPECT_EQ(text.size(), (n + 2) / 3 * 4 + ((n + 2) / 3 * 4 - 1) / 76 * 2 * (n > 0));
    ASSERT_EQ(e.DecodeBytes(text), data) << n;
  }
}

TEST(Encoder, StreamFormsStartAtThePositionAndReportProgress) {
  rtl::TBytesStream source(B("skip:foobar"));
  source.SetPosition(5);
  TclEncoder e;
  e.SetBatchSize(4);
  std::vector<std::pair<int64_t, int64_t>> progress;
  e.OnProgress = [&](TclEncoder*, int64_t done, int64_t total) { progress.emplace_back(done, total); };
  EXPECT_EQ(A(e.Encode(source)), "Zm9vYmFy");
  ASSERT_EQ(progress.size(), 2u);
  EXPECT_EQ(progress[0], std::make_pair(int64_t{4}, int64_t{6}));
  EXPECT_EQ(progress[1], std::make_pair(int64_t{6}, int64_t{6}));

  rtl::TMemoryStream dest;
  dest.WriteBuffer("ab", 2);
  e.Decode(u"Zm9v\r\nYmFy", dest);
  ASSERT_EQ(dest.Size(), 8);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(dest.Memory()), 8), "abfoobar");
  EXPECT_THROW(e.Decode(u"Zm9v*", dest), EclEncoderError);
  EXPECT_EQ(dest.Size(), 8);  // nothing written on error
}

TEST(Encoder, EncodeToStringUsesTheDefaultCodePage) {
  struct Case {
    const char16_t* text;
    const char* base64;
  } cases[] = {
      {u"Aladdin:open sesame", "QWxhZGRpbjpvcGVuIHNlc2FtZQ=="},
      {u"\u00e9", "6Q=="},       // é is 0xE9 in Windows-1252
      {u"\u20ac", "gA=="},       // € is 0x80
      {u"\u0416", "Pw=="},       // Ж is not in the code page: "?"
      {u"", ""},
  };
  TclEncoder e;
  e.SetEncodeMethod(cmNone);  // the argument decides, not the property
  for (const Case& c : cases) {
    SCOPED_TRACE(c.base64);
    EXPECT_EQ(A(e.EncodeToString(c.text, cmBase64)), c.base64);
  }
  EXPECT_EQ(e.EncodeMethod(), cmNone);
}

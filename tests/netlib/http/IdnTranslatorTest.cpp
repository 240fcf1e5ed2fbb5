// The IDN translator: the RFC 3492 samples, cross-checked against Python's own codec.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "netlib/http/clIdnTranslator.h"

using namespace netlib;

namespace {

struct Sample {
  const char* Name;
  std::u16string Label;
  const char* Expected;  // our form: lower-case digits, "xn--" in front
};

// The one-label samples of RFC 3492 section 7.1. Sample (I) is given there with case
// annotations ("aDotc"); the encoder writes no annotations, so its "D" is lower case here.
const Sample Samples[] = {
    {"A Arabic", u"\u0644\u064A\u0647\u0645\u0627\u0628\u062A\u0643\u0644\u0645\u0648\u0634\u0639\u0631\u0628\u064A\u061F",
     "xn--egbpdaj6bu4bxfgehfvwxn"},
    {"B Chinese simplified", u"\u4ED6\u4EEC\u4E3A\u4EC0\u4E48\u4E0D\u8BF4\u4E2D\u6587", "xn--ihqwcrb4cv8a8dqg056pqjye"},
    {"C Chinese traditional", u"\u4ED6\u5011\u7232\u4EC0\u9EBD\u4E0D\u8AAA\u4E2D\u6587", "xn--ihqwctvzc91f659drss3x8bo0yb"},
    {"D Czech", u"Pro\u010Dprost\u011Bnemluv\u00ED\u010Desky", "xn--Proprostnemluvesky-uyb24dma41a"},
    {"E Hebrew",
     u"\u05DC\u05DE\u05D4\u05D4\u05DD\u05E4\u05E9\u05D5\u05D8\u05DC\u05D0\u05DE\u05D3\u05D1\u05E8\u05D9\u05DD\u05E2\u05D1\u05E8\u05D9\u05EA",
     "xn--4dbcagdahymbxekheh6e0a7fei0b"},
    {"F Hindi",
     u"\u092F\u0939\u0932\u094B\u0917\u0939\u093F\u0928\u094D\u0926\u0940\u0915\u094D\u092F\u094B\u0902\u0928\u0939\u0940\u0902\u092C\u094B\u0932\u0938\u0915\u0924\u0947\u0939\u0948\u0902",
     "xn--i1baa7eci9glrd9b2ae1bj0hfcgg6iyaf8o0a1dig0cd"},
    {"G Japanese", u"\u306A\u305C\u307F\u3093\u306A\u65E5\u672C\u8A9E\u3092\u8A71\u3057\u3066\u304F\u308C\u306A\u3044\u306E\u304B",
     "xn--n8jok5ay5dzabd5bym9f0cm5685rrjetr6pdxa"},
    {"H Korean",
     u"\uC138\uACC4\uC758\uBAA8\uB4E0\uC0AC\uB78C\uB4E4\uC774\uD55C\uAD6D\uC5B4\uB97C\uC774\uD574\uD55C\uB2E4\uBA74\uC5BC\uB9C8\uB098\uC88B\uC744\uAE4C",
     "xn--989aomsvi5e83db1d2a355cv1e0vak1dwrv93d5xbh15a0dt30a5jpsd879ccm6fea98c"},
    {"I Russian",
     u"\u043F\u043E\u0447\u0435\u043C\u0443\u0436\u0435\u043E\u043D\u0438\u043D\u0435\u0433\u043E\u0432\u043E\u0440\u044F\u0442\u043F\u043E\u0440\u0443\u0441\u0441\u043A\u0438",
     "xn--b1abfaaepdrnnbgefbadotcwatmq2g4l"},
    {"J Spanish", u"Porqu\u00E9nopuedensimplementehablarenEspa\u00F1ol", "xn--PorqunopuedensimplementehablarenEspaol-fmd56a"},
    {"K Vietnamese", u"T\u1EA1isaoh\u1ECDkh\u00F4ngth\u1EC3ch\u1EC9n\u00F3iti\u1EBFngVi\u1EC7t",
     "xn--TisaohkhngthchnitingVit-kjcr8268qyxafd2f1b9g"},
    {"L 3nenBgumi", u"3\u5E74B\u7D44\u91D1\u516B\u5148\u751F", "xn--3B-ww4c5e180e575a65lsy2b"},
    {"M with-SUPER-MONKEYS", u"\u5B89\u5BA4\u5948\u7F8E\u6075-with-SUPER-MONKEYS", "xn---with-SUPER-MONKEYS-pc58ag80a8qai00g7n9n"},
    {"N Hello-Another-Way", u"Hello-Another-Way-\u305D\u308C\u305E\u308C\u306E\u5834\u6240", "xn--Hello-Another-Way--fc4qua05auwb3674vfr0b"},
    {"O hitotsu", u"\u3072\u3068\u3064\u5C4B\u6839\u306E\u4E0B2", "xn--2-u9tlzr9756bt3uc0v"},
    {"P MajiKoi5", u"Maji\u3067Koi\u3059\u308B5\u79D2\u524D", "xn--MajiKoi5-783gue6qz075azm5e"},
    {"Q pafii de runba", u"\u30D1\u30D5\u30A3\u30FCde\u30EB\u30F3\u30D0", "xn--de-jg4avhby1noc0d"},
    {"R sono supiido de", u"\u305D\u306E\u30B9\u30D4\u30FC\u30C9\u3067", "xn--d9juau41awczczp"},
    {"S all basic", u"-> $1.00 <-", "-> $1.00 <-"},
};

std::string Ascii(const std::u16string& s) {
  std::string r;
  for (char16_t c : s) r += c < 0x80 ? static_cast<char>(c) : '?';
  return r;
}

// Python's "punycode" codec on each label (one process for all), with the prefix we add; one
// output line per label, nothing when python3 fails.
std::vector<std::string> PythonPunycode(const std::vector<std::u16string>& labels) {
  std::string command =
      "python3 -c 'import sys\nfor a in sys.argv[1:]: print(\"xn--\" + "
      "a.encode(\"ascii\").decode(\"unicode_escape\").encode(\"punycode\").decode(\"ascii\"))'";
  char buf[16];
  for (const std::u16string& label : labels) {
    command += " '";
    for (char16_t c : label) {
      std::snprintf(buf, sizeof buf, "\\u%04X", static_cast<unsigned>(c));
      command += buf;
    }
    command += "'";
  }
  command += " 2>/dev/null";
  std::vector<std::string> out;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return out;
  std::string all;
  while (fgets(buf, sizeof buf, pipe)) all += buf;
  if (pclose(pipe) != 0) return {};
  size_t from = 0;
  for (size_t nl; (nl = all.find('\n', from)) != std::string::npos; from = nl + 1)
    out.push_back(all.substr(from, nl - from));
  return out;
}

}  // namespace

TEST(IdnTranslator, EncodesRfc3492Samples) {
  for (const Sample& s : Samples) {
    SCOPED_TRACE(s.Name);
    EXPECT_EQ(Ascii(TclIdnTranslator::GetAscii(s.Label)), s.Expected);
  }
}

TEST(IdnTranslator, AgreesWithPythonCodec) {
  if (std::system("python3 -c 'pass' >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "python3 is not available: the cross-check against its punycode codec is skipped";
  std::vector<const Sample*> encoded;
  std::vector<std::u16string> labels;
  for (const Sample& s : Samples) {
    bool allBasic = true;
    for (char16_t c : s.Label) allBasic = allBasic && c < 0x80;
    if (allBasic) continue;  // returned unchanged, no Punycode involved
    encoded.push_back(&s);
    labels.push_back(s.Label);
  }
  std::vector<std::string> reference = PythonPunycode(labels);
  ASSERT_EQ(reference.size(), labels.size()) << "python3 could not encode the samples";
  for (size_t i = 0; i < encoded.size(); ++i) {
    SCOPED_TRACE(encoded[i]->Name);
    EXPECT_EQ(Ascii(TclIdnTranslator::GetAscii(encoded[i]->Label)), reference[i]);
  }
}

TEST(IdnTranslator, ConvertsHostNamesLabelByLabel) {
  const std::pair<std::u16string, std::u16string> cases[] = {
      {u"b\u00FCcher.de", u"xn--bcher-kva.de"},
      {u"www.B\u00FCcher.de", u"www.xn--Bcher-kva.de"},
      {u"WWW.Example.COM", u"WWW.Example.COM"},
      {u"a..b.", u"a..b."},
      {u"\u00FC", u"xn--tda"},
      {u"", u""},
      {u"\u0442\u0435\u0441\u0442.\u0440\u0444", u"xn--e1aybc.xn--p1ai"},
  };
  for (const auto& [host, expected] : cases) {
    SCOPED_TRACE(Ascii(expected));
    EXPECT_EQ(TclIdnTranslator::GetDomainAscii(host), expected);
  }
}

TEST(IdnTranslator, RaisesWhenIntegersOverflow) {
  // The first check: (maxint - delta) / (h + 1) < m - n.
  std::u16string wide(40000, u'a');
  wide += u'\uFFFF';
  // The second: delta passes the first check but its increments past the basic units wrap.
  // 2147483647 / 32834 = 65404, so m = 65404 + 128 leaves a slack of 8711 < 32833 increments.
  std::u16string wraps(32833, u'a');
  wraps += u'\uFFFC';
  for (const std::u16string* label : {&wide, &wraps}) {
    try {
      TclIdnTranslator::GetAscii(*label);
      ADD_FAILURE() << "no error for a label of " << label->size() << " units";
    } catch (const EclIdnError& e) {
      EXPECT_EQ(e.Message(), u"Input value needs wider integers to translate");
      EXPECT_STREQ(e.ClassName(), "EclIdnError");
    }
  }
  // A long label that still fits encodes.
  std::u16string fits(1000, u'a');
  fits += u'\uFFFF';
  EXPECT_EQ(TclIdnTranslator::GetAscii(fits).substr(0, 4), u"xn--");
}

TEST(IdnTranslator, DigitsAndTheirBadValues) {
  EXPECT_EQ(TclIdnTranslator::EncodeDigit(0), u'a');
  EXPECT_EQ(TclIdnTranslator::EncodeDigit(25), u'z');
  EXPECT_EQ(TclIdnTranslator::EncodeDigit(26), u'0');
  EXPECT_EQ(TclIdnTranslator::EncodeDigit(35), u'9');
  for (int bad : {-1, 36, 1000}) {
    try {
      TclIdnTranslator::EncodeDigit(bad);
      ADD_FAILURE() << bad;
    } catch (const EclIdnError& e) {
      EXPECT_EQ(e.Message(), u"Bad input value for the IDN translator");
    }
  }
}

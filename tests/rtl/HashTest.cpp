#include <gtest/gtest.h>

#include <string>

#include "rtl/Hash.h"

using namespace rtl;

namespace {
String Hex(const TDigest16& d) { return DigestToHex(d); }
}  // namespace

// RFC 1321 appendix A.5 and RFC 1320 appendix A.5.
TEST(Hash, Md5AndMd4TestSuites) {
  struct Case { std::string in; const char16_t* md5; const char16_t* md4; } cases[] = {
      {"", u"d41d8cd98f00b204e9800998ecf8427e", u"31d6cfe0d16ae931b73c59d7e0c089c0"},
      {"a", u"0cc175b9c0f1b6a831c399e269772661", u"bde52cb31de33e46245e05fbdbd6fb24"},
      {"abc", u"900150983cd24fb0d6963f7d28e17f72", u"a448017aaf21d8525fc10ae87aa6729d"},
      {"message digest", u"f96b697d7cb7938d525a2f31aaf161d0", u"d9130a8164549fe818874806e1c7014b"},
      {"abcdefghijklmnopqrstuvwxyz", u"c3fcd3d76192e4007dfb496cca67e13b", u"d79e1c308aa5bbcdeea8ed63df412da9"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
       u"d174ab98d277d9f5a5611c2c9f419d9f", u"043f8582f241db351ce627e153e7f0e4"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       u"57edf4a22be3c955ac49da2e2107b67a", u"e33b4ddc9c38f2199c3e7b164fcc0536"},
  };
  for (auto& c : cases) {
    EXPECT_EQ(Hex(MD5(c.in.data(), c.in.size())), c.md5) << c.in;
    EXPECT_EQ(Hex(MD4(c.in.data(), c.in.size())), c.md4) << c.in;
    // Any split of the input gives the same digest.
    for (size_t cut = 0; cut <= c.in.size(); cut += 7) {
      TMD5 h;
      h.Update(c.in.data(), cut);
      h.Update(c.in.data() + cut, c.in.size() - cut);
      EXPECT_EQ(Hex(h.Final()), c.md5) << c.in << " cut " << cut;
    }
  }
}

// RFC 2202 section 2 (HMAC-MD5).
TEST(Hash, HmacMd5TestCases) {
  struct Case { std::string key, data; const char16_t* mac; } cases[] = {
      {std::string(16, '\x0b'), "Hi There", u"9294727a3638bb1c13f48ef8158bfc9d"},
      {"Jefe", "what do ya want for nothing?", u"750c783e6ab0b503eaa86e310a5db738"},
      {std::string(16, '\xaa'), std::string(50, '\xdd'), u"56be34521d144c88dbb8c733f0e8b3f6"},
      {std::string(80, '\xaa'), "Test Using Larger Than Block-Size Key - Hash Key First",
       u"6b1ab7fe4bd7bf8f0b62e6ce61b9d0cd"},
  };
  for (auto& c : cases)
    EXPECT_EQ(Hex(HmacMD5(c.key.data(), c.key.size(), c.data.data(), c.data.size())), c.mac);
}

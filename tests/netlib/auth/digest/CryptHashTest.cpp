// The MD5 text digest: the test suite of RFC 1321 (appendix A.5) and the code page of the text.
#include <gtest/gtest.h>

#include <string>

#include "netlib/auth/clCryptHash.h"

using netlib::GetMD5HashText;

TEST(CryptHash, MD5TextDigestMatchesTheRfc1321Suite) {
  struct Case {
    const char16_t* text;
    const char* digest;
  } cases[] = {
      {u"", "d41d8cd98f00b204e9800998ecf8427e"},
      {u"a", "0cc175b9c0f1b6a831c399e269772661"},
      {u"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {u"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {u"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {u"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
      {u"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const Case& c : cases) EXPECT_EQ(rtl::U8(GetMD5HashText(c.text)), c.digest) << rtl::U8(c.text);
}

TEST(CryptHash, DigestsTheTextInTheAnsiCodePage) {
  // The euro sign is byte 0x80 in the code page; a character it cannot carry counts as "?".
  EXPECT_EQ(rtl::U8(GetMD5HashText(u"\u20ac")), "8d39dd7eef115ea6975446ef4082951f");
  EXPECT_EQ(rtl::U8(GetMD5HashText(u"\u0416")), "d1457b72c3fb323a2671125aef3eab5d");
  // A NUL inside the text is digested like any other byte.
  EXPECT_NE(GetMD5HashText(std::u16string(u"a\0b", 3)), GetMD5HashText(u"ab"));
}

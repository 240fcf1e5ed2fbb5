// The URL services: splitting, re-assembly, reference resolution and the lazy binding.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "netlib/http/clWinInet.h"
#include "platform/LastError.h"
#include "rtl/Exception.h"

using namespace netlib;

namespace {

// Splits with caller buffers of the parser's sizes.
struct TCracked {
  bool Ok = false;
  uint32_t Error = 0;
  int32_t Scheme = 99;
  uint16_t Port = 0;
  std::string SchemeText, Host, User, Password, Path, Extra;
};

TCracked Crack(const std::string& url) {
  std::vector<char> scheme(32), host(256), user(128), password(128), path(2048), extra(4096);
  URL_COMPONENTS uc{};
  uc.dwStructSize = sizeof(uc);
  uc.lpszScheme = scheme.data();
  uc.dwSchemeLength = 32;
  uc.lpszHostName = host.data();
  uc.dwHostNameLength = 256;
  uc.lpszUserName = user.data();
  uc.dwUserNameLength = 128;
  uc.lpszPassword = password.data();
  uc.dwPasswordLength = 128;
  uc.lpszUrlPath = path.data();
  uc.dwUrlPathLength = 2048;
  uc.lpszExtraInfo = extra.data();
  uc.dwExtraInfoLength = 4096;
  TCracked r;
  platform::SetLastErrorValue(0);
  r.Ok = InternetCrackUrlA(url.data(), static_cast<uint32_t>(url.size()), 0, &uc) != 0;
  r.Error = platform::GetLastErrorValue();
  r.Scheme = uc.nScheme;
  r.Port = uc.nPort;
  r.SchemeText = scheme.data();
  r.Host = host.data();
  r.User = user.data();
  r.Password = password.data();
  r.Path = path.data();
  r.Extra = extra.data();
  return r;
}

std::string Combine(const std::string& base, const std::string& ref, uint32_t flags = ICU_BROWSER_MODE) {
  std::vector<char> buffer(2055, 0);
  uint32_t length = 2055;
  if (!InternetCombineUrlA(base.c_str(), ref.c_str(), buffer.data(), &length, flags)) return "<failed>";
  EXPECT_EQ(length, std::strlen(buffer.data()));
  return buffer.data();
}

}  // namespace

TEST(WinInet, RecordHasItsNaturalLayout) {
  EXPECT_EQ(sizeof(URL_COMPONENTS), 104u);
  EXPECT_EQ(offsetof(URL_COMPONENTS, nPort), 36u);
  EXPECT_EQ(offsetof(URL_COMPONENTS, dwExtraInfoLength), 96u);
}

TEST(WinInet, CrackSplitsComponents) {
  struct Case {
    const char* Url;
    int32_t Scheme;
    uint16_t Port;
    const char* Host;
    const char* User;
    const char* Password;
    const char* Path;
    const char* Extra;
  };
  const Case cases[] = {
      {"http://example.com/a/b?x=1#f", INTERNET_SCHEME_HTTP, 80, "example.com", "", "", "/a/b", "?x=1#f"},
      {"https://example.com", INTERNET_SCHEME_HTTPS, 443, "example.com", "", "", "", ""},
      {"HTTP://Example.COM:8080/", INTERNET_SCHEME_HTTP, 8080, "Example.COM", "", "", "/", ""},
      {"http://u:p@h/x", INTERNET_SCHEME_HTTP, 80, "h", "u", "p", "/x", ""},
      {"http://u@h/x", INTERNET_SCHEME_HTTP, 80, "h", "u", "", "/x", ""},
      {"http://a@b:c@h/x", INTERNET_SCHEME_HTTP, 80, "h", "a@b", "c", "/x", ""},
      {"http://h:/x", INTERNET_SCHEME_HTTP, 80, "h", "", "", "/x", ""},
      {"http://h:00081/x", INTERNET_SCHEME_HTTP, 81, "h", "", "", "/x", ""},
      {"http://h:65535", INTERNET_SCHEME_HTTP, 65535, "h", "", "", "", ""},
      {"http://[::1]:81/x", INTERNET_SCHEME_HTTP, 81, "[::1]", "", "", "/x", ""},
      {"http://h#frag?not-query", INTERNET_SCHEME_HTTP, 80, "h", "", "", "", "#frag?not-query"},
      {"http://h/p with space", INTERNET_SCHEME_HTTP, 80, "h", "", "", "/p with space", ""},
      {"  http://h/x  ", INTERNET_SCHEME_HTTP, 80, "h", "", "", "/x", ""},
      {"ftp://h/f", INTERNET_SCHEME_FTP, 21, "h", "", "", "/f", ""},
      {"gopher://h/", INTERNET_SCHEME_GOPHER, 70, "h", "", "", "/", ""},
      {"file:///C:/x", INTERNET_SCHEME_FILE, 0, "", "", "", "/C:/x", ""},
      {"mailto:a@b?subject=x", INTERNET_SCHEME_MAILTO, 0, "", "", "", "a@b", "?subject=x"},
      {"news:comp.lang", INTERNET_SCHEME_NEWS, 0, "", "", "", "comp.lang", ""},
      {"socks://h", INTERNET_SCHEME_SOCKS, 1080, "h", "", "", "", ""},
      {"foo://h:9/x", INTERNET_SCHEME_UNKNOWN, 9, "h", "", "", "/x", ""},
      {"http://b\xC3\xBC" "cher.de/", INTERNET_SCHEME_HTTP, 80, "b\xC3\xBC" "cher.de", "", "", "/", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Url);
    TCracked r = Crack(c.Url);
    ASSERT_TRUE(r.Ok) << r.Error;
    EXPECT_EQ(r.Scheme, c.Scheme);
    EXPECT_EQ(r.Port, c.Port);
    EXPECT_EQ(r.Host, c.Host);
    EXPECT_EQ(r.User, c.User);
    EXPECT_EQ(r.Password, c.Password);
    EXPECT_EQ(r.Path, c.Path);
    EXPECT_EQ(r.Extra, c.Extra);
  }
}

TEST(WinInet, CrackRejectsWithErrorNumbers) {
  struct Case {
    const char* Url;
    uint32_t Error;
  };
  const Case cases[] = {
      {"", ERROR_INTERNET_UNRECOGNIZED_SCHEME},
      {"www.example.com/path with space", ERROR_INTERNET_UNRECOGNIZED_SCHEME},
      {"localhost:8080/x", ERROR_INTERNET_UNRECOGNIZED_SCHEME},
      {"//host/x", ERROR_INTERNET_UNRECOGNIZED_SCHEME},
      {"1http://h/", ERROR_INTERNET_UNRECOGNIZED_SCHEME},
      {"http:g", ERROR_INTERNET_INVALID_URL},
      {"http:///x", ERROR_INTERNET_INVALID_URL},
      {"http://h:99999/", ERROR_INTERNET_INVALID_URL},
      {"http://h:0/", ERROR_INTERNET_INVALID_URL},
      {"http://h:00000/", ERROR_INTERNET_INVALID_URL},
      {"http://h:8x/", ERROR_INTERNET_INVALID_URL},
      {"http://h:123456/", ERROR_INTERNET_INVALID_URL},
      {"http://[::1/", ERROR_INTERNET_INVALID_URL},
      {"http://[::1]x/", ERROR_INTERNET_INVALID_URL},
      {"http://a b/", ERROR_INTERNET_INVALID_URL},
      {"http://a<b/", ERROR_INTERNET_INVALID_URL},
      {"http://thisschemeisfarfarfar:x", ERROR_INTERNET_INVALID_URL},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Url);
    TCracked r = Crack(c.Url);
    EXPECT_FALSE(r.Ok);
    EXPECT_EQ(r.Error, c.Error);
  }
}

TEST(WinInet, CrackRejectsEmbeddedNul) {
  std::string url("http://h/a\0b", 12);
  TCracked r = Crack(url);
  EXPECT_FALSE(r.Ok);
  EXPECT_EQ(r.Error, ERROR_INTERNET_INVALID_URL);
}

TEST(WinInet, CrackReportsTooSmallBuffer) {
  std::string url = "http://h/" + std::string(3000, 'p');
  TCracked r = Crack(url);
  EXPECT_FALSE(r.Ok);
  EXPECT_EQ(r.Error, platform::ERROR_INSUFFICIENT_BUFFER);
  std::string scheme(40, 'a');
  r = Crack(scheme + "://h/");
  EXPECT_FALSE(r.Ok);
  EXPECT_EQ(r.Error, platform::ERROR_INSUFFICIENT_BUFFER);
}

TEST(WinInet, CrackHandsPointersIntoTheUrl) {
  const char* url = "http://user@host:81/p?q";
  URL_COMPONENTS uc{};
  uc.dwStructSize = sizeof(uc);
  uc.dwHostNameLength = 1;  // pointer wanted
  uc.dwUrlPathLength = 1;
  ASSERT_TRUE(InternetCrackUrlA(url, 0, 0, &uc));
  EXPECT_EQ(std::string(uc.lpszHostName, uc.dwHostNameLength), "host");
  EXPECT_EQ(uc.lpszHostName, url + 12);
  EXPECT_EQ(std::string(uc.lpszUrlPath, uc.dwUrlPathLength), "/p");
  EXPECT_EQ(uc.lpszUserName, nullptr);  // not asked for
  EXPECT_EQ(uc.nPort, 81);
}

TEST(WinInet, CrackChecksTheRecordSize) {
  URL_COMPONENTS uc{};
  uc.dwStructSize = 60;
  platform::SetLastErrorValue(0);
  EXPECT_FALSE(InternetCrackUrlA("http://h/", 0, 0, &uc));
  EXPECT_EQ(platform::GetLastErrorValue(), platform::ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(InternetCrackUrlA(nullptr, 0, 0, &uc));
}

TEST(WinInet, CreateAssemblesComponents) {
  struct Case {
    int32_t Scheme;
    const char* SchemeText;
    const char* Host;
    uint16_t Port;
    const char* User;
    const char* Password;
    const char* Path;
    const char* Extra;
    const char* Expected;
  };
  const Case cases[] = {
      {INTERNET_SCHEME_HTTP, "http", "h", 80, nullptr, nullptr, "/a", "?b#c", "http://h/a?b#c"},
      {INTERNET_SCHEME_HTTP, "HTTP", "h", 8080, nullptr, nullptr, "", "", "http://h:8080"},
      {INTERNET_SCHEME_HTTPS, "https", "h", 443, "u", "p", "/", "", "https://u:p@h/"},
      {INTERNET_SCHEME_HTTPS, "http", "h", 80, nullptr, nullptr, "/", "", "https://h:80/"},
      {INTERNET_SCHEME_HTTP, "http", "h", 80, "u", "", "x", "", "http://u@h/x"},
      {INTERNET_SCHEME_FILE, "file", "", 0, nullptr, nullptr, "/C:/x", "", "file:///C:/x"},
      {INTERNET_SCHEME_MAILTO, "mailto", "", 0, nullptr, nullptr, "a@b", "?s=1", "mailto:a@b?s=1"},
      {INTERNET_SCHEME_UNKNOWN, "foo", "h", 9, nullptr, nullptr, "/x", "", "foo://h:9/x"},
      {INTERNET_SCHEME_DEFAULT, nullptr, "h", 0, nullptr, nullptr, "/x", "", "http://h/x"},
      {INTERNET_SCHEME_PARTIAL, nullptr, "h", 0, nullptr, nullptr, "/x", "", "//h/x"},
      {INTERNET_SCHEME_HTTP, "http", "h", 80, nullptr, nullptr, "", "?q", "http://h/?q"},
      {INTERNET_SCHEME_HTTP, "http", "h", 80, nullptr, nullptr, "", "#f", "http://h/#f"},
      {INTERNET_SCHEME_MAILTO, "mailto", "", 0, nullptr, nullptr, "", "?s", "mailto:?s"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Expected);
    URL_COMPONENTS uc{};
    uc.dwStructSize = sizeof(uc);
    uc.nScheme = c.Scheme;
    uc.lpszScheme = const_cast<char*>(c.SchemeText);
    uc.lpszHostName = const_cast<char*>(c.Host);
    uc.nPort = c.Port;
    uc.lpszUserName = const_cast<char*>(c.User);
    uc.lpszPassword = const_cast<char*>(c.Password);
    uc.lpszUrlPath = const_cast<char*>(c.Path);
    uc.lpszExtraInfo = const_cast<char*>(c.Extra);
    char buffer[2055] = {};
    uint32_t length = sizeof(buffer);
    ASSERT_TRUE(InternetCreateUrlA(&uc, 0, buffer, &length));
    EXPECT_STREQ(buffer, c.Expected);
    EXPECT_EQ(length, std::strlen(c.Expected));
  }
}

TEST(WinInet, CreateRefusesUnknownSchemesAndSmallBuffers) {
  URL_COMPONENTS uc{};
  uc.dwStructSize = sizeof(uc);
  uc.nScheme = INTERNET_SCHEME_UNKNOWN;
  uc.lpszHostName = const_cast<char*>("h");
  char buffer[8] = {};
  uint32_t length = sizeof(buffer);
  platform::SetLastErrorValue(0);
  EXPECT_FALSE(InternetCreateUrlA(&uc, 0, buffer, &length));
  EXPECT_EQ(platform::GetLastErrorValue(), ERROR_INTERNET_UNRECOGNIZED_SCHEME);

  uc.lpszScheme = const_cast<char*>("bad scheme");
  EXPECT_FALSE(InternetCreateUrlA(&uc, 0, buffer, &length));
  EXPECT_EQ(platform::GetLastErrorValue(), ERROR_INTERNET_UNRECOGNIZED_SCHEME);

  uc.nScheme = INTERNET_SCHEME_HTTP;
  uc.lpszUrlPath = const_cast<char*>("/long-path");
  EXPECT_FALSE(InternetCreateUrlA(&uc, 0, buffer, &length));
  EXPECT_EQ(platform::GetLastErrorValue(), platform::ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(length, std::strlen("http://h/long-path") + 1);
  EXPECT_EQ(buffer[0], '\0');  // nothing written
}

// RFC 3986 section 5.4, base "http://a/b/c/d;p?q".
TEST(WinInet, CombineResolvesRfc3986Examples) {
  const char* base = "http://a/b/c/d;p?q";
  const std::pair<const char*, const char*> cases[] = {
      // 5.4.1 normal examples
      {"g:h", "g:h"},
      {"g", "http://a/b/c/g"},
      {"./g", "http://a/b/c/g"},
      {"g/", "http://a/b/c/g/"},
      {"/g", "http://a/g"},
      {"//g", "http://g"},
      {"?y", "http://a/b/c/d;p?y"},
      {"g?y", "http://a/b/c/g?y"},
      {"#s", "http://a/b/c/d;p?q#s"},
      {"g#s", "http://a/b/c/g#s"},
      {"g?y#s", "http://a/b/c/g?y#s"},
      {";x", "http://a/b/c/;x"},
      {"g;x", "http://a/b/c/g;x"},
      {"g;x?y#s", "http://a/b/c/g;x?y#s"},
      {"", "http://a/b/c/d;p?q"},
      {".", "http://a/b/c/"},
      {"./", "http://a/b/c/"},
      {"..", "http://a/b/"},
      {"../", "http://a/b/"},
      {"../g", "http://a/b/g"},
      {"../..", "http://a/"},
      {"../../", "http://a/"},
      {"../../g", "http://a/g"},
      // 5.4.2 abnormal examples
      {"../../../g", "http://a/g"},
      {"../../../../g", "http://a/g"},
      {"/./g", "http://a/g"},
      {"/../g", "http://a/g"},
      {"g.", "http://a/b/c/g."},
      {".g", "http://a/b/c/.g"},
      {"g..", "http://a/b/c/g.."},
      {"..g", "http://a/b/c/..g"},
      {"./../g", "http://a/b/g"},
      {"./g/.", "http://a/b/c/g/"},
      {"g/./h", "http://a/b/c/g/h"},
      {"g/../h", "http://a/b/c/h"},
      {"g;x=1/./y", "http://a/b/c/g;x=1/y"},
      {"g;x=1/../y", "http://a/b/c/y"},
      {"g?y/./x", "http://a/b/c/g?y/./x"},
      {"g?y/../x", "http://a/b/c/g?y/../x"},
      {"g#s/./x", "http://a/b/c/g#s/./x"},
      {"g#s/../x", "http://a/b/c/g#s/../x"},
      {"http:g", "http:g"},  // strict: a reference with its own scheme is taken as it is
  };
  for (const auto& [ref, expected] : cases) {
    SCOPED_TRACE(ref);
    EXPECT_EQ(Combine(base, ref), expected);
  }
}

TEST(WinInet, CombineBrowserModeLeavesQueryAndFragmentAlone) {
  struct Case {
    const char* Base;
    const char* Ref;
    uint32_t Flags;
    const char* Expected;
  };
  const Case cases[] = {
      {"http://h/d/p", "a b?c d#e f", ICU_BROWSER_MODE, "http://h/d/a%20b?c d#e f"},
      {"http://h/d/p", "a b?c d#e f", 0, "http://h/d/a%20b?c%20d#e%20f"},
      {"http://h/d/p", "a b?c d", ICU_NO_ENCODE, "http://h/d/a b?c d"},
      {"http://h/d/p", "x?q  ", ICU_BROWSER_MODE, "http://h/d/x?q  "},
      {"http://h/d/p", "x?q  ", 0, "http://h/d/x?q"},
      {"http://h/d/p", "  x  ", ICU_BROWSER_MODE, "http://h/d/x"},
      {"http://h/d/p", "x%41?%42", ICU_BROWSER_MODE, "http://h/d/x%41?%42"},
      {"http://b\xC3\xBC" "cher.de/a", "b", ICU_BROWSER_MODE, "http://b\xC3\xBC" "cher.de/b"},
      {"http://h", "x", ICU_BROWSER_MODE, "http://h/x"},
      {"http://h/dir/page", "/other", ICU_BROWSER_MODE, "http://h/other"},
      {"http://h/a", "https://k/./b/../c", ICU_BROWSER_MODE, "https://k/c"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Ref);
    EXPECT_EQ(Combine(c.Base, c.Ref, c.Flags), c.Expected);
  }
}

TEST(WinInet, CombineFailsWithoutAbsoluteBaseOrRoom) {
  platform::SetLastErrorValue(0);
  EXPECT_EQ(Combine("relative/base", "g"), "<failed>");
  EXPECT_EQ(platform::GetLastErrorValue(), ERROR_INTERNET_INVALID_URL);
  EXPECT_EQ(Combine("relative/base", "http://h/g"), "http://h/g");

  char small[10] = {};
  uint32_t length = sizeof(small);
  EXPECT_FALSE(InternetCombineUrlA("http://host/", "path", small, &length, ICU_BROWSER_MODE));
  EXPECT_EQ(platform::GetLastErrorValue(), platform::ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(length, std::strlen("http://host/path") + 1);
  EXPECT_EQ(small[0], '\0');
}

namespace {
int SubstituteCalls = 0;
int SubstituteCrack(const char*, uint32_t, uint32_t, URL_COMPONENTS*) {
  ++SubstituteCalls;
  platform::SetLastErrorValue(4242);
  return 0;
}
}  // namespace

TEST(WinInet, BindingIsLazyAndReplaceable) {
  TclWinInetFunctions substitute = BuiltinWinInetFunctions();
  substitute.InternetCrackUrlA = SubstituteCrack;
  SetWinInetLibrary(&substitute);
  EXPECT_FALSE(IsWinInetLoaded());
  URL_COMPONENTS uc{};
  uc.dwStructSize = sizeof(uc);
  EXPECT_FALSE(InternetCrackUrlA("http://h/", 0, 0, &uc));
  EXPECT_TRUE(IsWinInetLoaded());
  EXPECT_EQ(SubstituteCalls, 1);
  EXPECT_EQ(platform::GetLastErrorValue(), 4242u);

  TclWinInetFunctions missing = BuiltinWinInetFunctions();
  missing.InternetCombineUrlA = nullptr;
  SetWinInetLibrary(&missing);
  try {
    InternetCrackUrlA("http://h/", 0, 0, &uc);
    ADD_FAILURE() << "binding with a missing entry point succeeded";
  } catch (const rtl::Exception& e) {
    EXPECT_STREQ(e.ClassName(), "Exception");
    EXPECT_EQ(e.Message(), u"The specified procedure could not be found.");
  }
  EXPECT_FALSE(IsWinInetLoaded());

  SetWinInetLibrary(nullptr);
  EXPECT_TRUE(InternetCrackUrlA("http://h/", 0, 0, &uc));
}

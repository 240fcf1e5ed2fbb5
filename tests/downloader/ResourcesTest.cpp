// The resource table, the resource stream and the embedded settings.
#include <gtest/gtest.h>

#include <cstring>

#include "downloader/Utils.h"
#include "platform/Resources.h"
#include "rtl/Exception.h"
#include "TestUtil.h"

using rtl::String;

namespace {

const char kShipped[] =
    "[global]\r\nLocalization=KO\r\nVersion=1001820\r\nDestinationExe=KorvelFA.exe\r\n"
    "TargetPrefix=dlKorvelFA \r\nDestinationPrefix=dlDownloadFA\r\n";

TEST(Resources, TheShippedSettingsResourceByteForByte) {
  const platform::TResourceEntry* e = platform::FindResource(u"INI", u"SETTINGS");
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->Language, 1060);
  ASSERT_EQ(e->Size, sizeof kShipped - 1);
  EXPECT_EQ(std::memcmp(e->Data, kShipped, e->Size), 0);
  // The file the build embeds carries the same bytes (git keeps its CR LF).
  EXPECT_EQ(krvtest::ReadFile(KRV_SETTINGS_FILE), std::string(kShipped));
}

TEST(Resources, LookupIgnoresCaseAndLanguage) {
  EXPECT_EQ(platform::FindResource(u"ini", u"settings"), platform::FindResource(u"INI", u"SETTINGS"));
  const platform::TResourceEntry* numeric = platform::FindResource(u"#10", u"#7");
  ASSERT_NE(numeric, nullptr);
  EXPECT_EQ(numeric->Language, 1033);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(numeric->Data), numeric->Size), "not an ini at all");
  EXPECT_EQ(platform::FindResource(u"INI", u"#7"), nullptr);
  EXPECT_EQ(platform::FindResource(u"RCDATA", u"SETTINGS"), nullptr);
  EXPECT_EQ(platform::Resources().size(), 7u);
}

TEST(Resources, StreamReadsSeeksAndRefusesWrites) {
  platform::TResourceStream s(u"SETTINGS", u"INI");
  EXPECT_EQ(s.Size(), static_cast<int64_t>(sizeof kShipped - 1));
  EXPECT_EQ(s.Language(), 1060);
  char buf[9] = {};
  EXPECT_EQ(s.Read(buf, 8), 8);
  EXPECT_STREQ(buf, "[global]");
  EXPECT_EQ(s.Seek(-3, rtl::soEnd), s.Size() - 3);
  char tail[8] = {};
  EXPECT_EQ(s.Read(tail, 8), 3);  // only what is left
  EXPECT_STREQ(tail, "A\r\n");
  EXPECT_EQ(s.Read(tail, 8), 0);
  EXPECT_EQ(s.Seek(100, rtl::soEnd), s.Size() + 100);
  EXPECT_EQ(s.Read(tail, 8), 0);
  EXPECT_EQ(s.Seek(-1000, rtl::soCurrent), 0);
  EXPECT_EQ(s.Seek(INT64_MAX, rtl::soEnd), INT64_MAX);  // no overflow
  EXPECT_THROW(s.Write("x", 1), rtl::EStreamError);
  EXPECT_THROW(s.SetSize(1), rtl::EStreamError);
}

TEST(Resources, MissingResourceRaisesEResNotFound) {
  try {
    platform::TResourceStream s(u"NOPE", u"INI");
    ADD_FAILURE() << "no exception";
  } catch (const rtl::Exception& e) {
    EXPECT_STREQ(e.ClassName(), "EResNotFound");
    EXPECT_EQ(e.Message(), u"Resource NOPE not found");
    EXPECT_EQ(e.Diagnostic(), u"EResNotFound: Resource NOPE not found");
  }
}

// Each case loads another INI resource into the five values; the shipped values come back after.
class Settings : public ::testing::Test {
 protected:
  void TearDown() override {
    platform::TResourceStream s(u"SETTINGS", u"INI");
    downloader::LoadSettingsFromStream(s);
  }
};

TEST_F(Settings, ShippedValuesAreLoadedBeforeMain) {
  // Loaded during module initialisation of this test program, which embeds the shipped INI.
  EXPECT_EQ(downloader::Localization, u"KO");
  EXPECT_EQ(downloader::Version, u"1001820");
  EXPECT_EQ(downloader::DestinationExe, u"KorvelFA.exe");
  EXPECT_EQ(downloader::TargetPrefix, u"dlKorvelFA");  // the stored blank is trimmed
  EXPECT_EQ(downloader::DestinationPrefix, u"dlDownloadFA");
}

TEST_F(Settings, OtherContents) {
  struct Case {
    const char16_t* resource;
    const char16_t *localization, *version, *exe, *target, *destination;
  };
  const Case cases[] = {
      {u"MIXEDCASE", u"EN", u"2002000", u"Other.exe", u"dlOther", u"dlDlOther"},
      {u"NOVERSION", u"KO", u"600000", u"KorvelFA.exe", u"dlKorvel", u"dlDownload"},
      {u"EMPTYVERSION", u"", u"", u"Korvel.exe", u"dlKorvel", u"dlDownload"},
      // Lines before the first section are ignored; the first key and the first section win.
      {u"DUPLICATES", u"FIRST", u"600000", u"Korvel.exe", u"dlKorvel", u"dlDownload"},
      {u"UTF8BOM", u"Čš", u"600000", u"Izdelek €.exe", u"dlKorvel", u"dlDownload"},
      {u"#7", u"SI", u"600000", u"Korvel.exe", u"dlKorvel", u"dlDownload"},  // no section at all
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(rtl::U8(c.resource));
    const platform::TResourceEntry* e = nullptr;
    for (const auto& r : platform::Resources())
      if (rtl::SameText(r.Name, c.resource)) e = &r;
    ASSERT_NE(e, nullptr);
    platform::TResourceStream s(e->Name, e->Type);
    downloader::LoadSettingsFromStream(s);
    EXPECT_EQ(downloader::Localization, String(c.localization));
    EXPECT_EQ(downloader::Version, String(c.version));
    EXPECT_EQ(downloader::DestinationExe, String(c.exe));
    EXPECT_EQ(downloader::TargetPrefix, String(c.target));
    EXPECT_EQ(downloader::DestinationPrefix, String(c.destination));
  }
}

TEST(SettingsWithoutResource, ValuesStayEmptyAndOneLineIsReported) {
  std::string out = krvtest::Capture(std::string("\"") + KRV_NOSETTINGS_EXE + "\"");
  EXPECT_EQ(out,
            "log EResNotFound: Resource SETTINGS not found\n"
            "Localization=[]\nVersion=[]\nDestinationExe=[]\nTargetPrefix=[]\nDestinationPrefix=[]\n");
}

}  // namespace

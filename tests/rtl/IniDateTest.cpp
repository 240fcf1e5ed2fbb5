#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <ctime>

#include "rtl/DateUtils.h"
#include "rtl/IniFiles.h"
#include "tests/TimeZone.h"

using namespace rtl;

namespace {
TMemIniFile IniOf(const char16_t* text) {
  TStringList l;
  l.SetText(text);
  return TMemIniFile(l);
}
}  // namespace

TEST(Ini, LoadingRules) {
  auto ini = IniOf(
      u"orphan=1\r\n"
      u"  [ Global ]  \r\n"
      u"; comment=1\r\n"
      u"\r\n"
      u"TargetPrefix=dlKorvelFA \r\n"
      u" Key = spaced value \r\n"
      u"Empty=\r\n"
      u"Bare\r\n"
      u"Dup=first\r\n"
      u"dup=second\r\n"
      u"eq=a=b\r\n"
      u"[other]\r\n"
      u"x=1\r\n"
      u"[GLOBAL]\r\n"
      u"Late=1\r\n");
  EXPECT_EQ(ini.ReadString(u"global", u"TargetPrefix", u"d"), u"dlKorvelFA");
  EXPECT_EQ(ini.ReadString(u"GLOBAL", u"key", u"d"), u"spaced value");
  EXPECT_EQ(ini.ReadString(u"global", u"Empty", u"d"), u"");
  EXPECT_EQ(ini.ReadString(u"global", u"Bare", u"d"), u"");
  EXPECT_EQ(ini.ReadString(u"global", u"dup", u"d"), u"first");
  EXPECT_EQ(ini.ReadString(u"global", u"eq", u"d"), u"a=b");
  EXPECT_EQ(ini.ReadString(u"global", u"Missing", u"d"), u"d");
  EXPECT_EQ(ini.ReadString(u"global", u"orphan", u"d"), u"d");
  EXPECT_EQ(ini.ReadString(u"global", u"comment", u"d"), u"d");
  EXPECT_EQ(ini.ReadString(u"global", u"Late", u"d"), u"d");  // the first section wins
  EXPECT_EQ(ini.ReadString(u"Other", u"X", u"d"), u"1");
  EXPECT_TRUE(ini.SectionExists(u"OTHER"));
  EXPECT_FALSE(ini.ValueExists(u"global", u"Missing"));
}

TEST(DateTime, EncodeDecodeAroundTheEpoch) {
  EXPECT_EQ(EncodeDate(1899, 12, 30), 0.0);
  EXPECT_EQ(EncodeDate(1970, 1, 1), UnixDateDelta);
  EXPECT_EQ(EncodeDate(2021, 6, 9), 44356.0);
  EXPECT_THROW(EncodeDate(2021, 2, 29), EConvertError);
  EXPECT_THROW(EncodeTime(24, 0, 0, 0), EConvertError);
  int y, m, d, h, mi, s, ms;
  DecodeDateTime(EncodeDate(2000, 2, 29) + EncodeTime(23, 59, 58, 999), y, m, d, h, mi, s, ms);
  EXPECT_EQ(std::vector<int>({y, m, d, h, mi, s, ms}), std::vector<int>({2000, 2, 29, 23, 59, 58, 999}));
  for (int year : {1601, 1899, 1900, 1980, 2024, 2100, 9999}) {
    DecodeDate(EncodeDate(year, 12, 31), y, m, d);
    EXPECT_EQ(y, year);
    EXPECT_EQ(m, 12);
    EXPECT_EQ(d, 31);
  }
}

TEST(DateTime, FileTimeAndDosTime) {
  TDateTime t = EncodeDate(2021, 6, 9) + EncodeTime(10, 18, 15, 0);
  uint64_t ft = DateTimeToFileTime(t);
  EXPECT_EQ(ft, 132677074950000000ULL);
  EXPECT_NEAR(FileTimeToDateTime(ft), t, 1e-9);
  uint32_t dos = DateTimeToDosDateTime(t);
  DosDateTimeToDateTime(dos);
  int y, m, d, h, mi, s, ms;
  DecodeDateTime(DosDateTimeToDateTime(dos), y, m, d, h, mi, s, ms);
  EXPECT_EQ(s, 14);  // two-second steps
  EXPECT_EQ(DateTimeToDosDateTime(EncodeDate(1979, 12, 31)), 0u);
}

TEST(DateTime, LocalAndUtcFollowTheZone) {
  krvtest::TScopedCentralEuropeanTime zone;
  TDateTime summer = EncodeDate(2021, 6, 9) + EncodeTime(10, 0, 0, 0);
  EXPECT_NEAR(UTCToLocal(summer), summer + 2.0 / 24, 1e-9);
  EXPECT_NEAR(LocalToUTC(summer + 2.0 / 24), summer, 1e-9);
  TDateTime winter = EncodeDate(2021, 1, 9) + EncodeTime(10, 0, 0, 0);
  EXPECT_NEAR(UTCToLocal(winter), winter + 1.0 / 24, 1e-9);
}

TEST(DateTime, TickCounterIsMonotonic) {
  uint64_t a = GetTickCount64();
  uint64_t b = GetTickCount64();
  EXPECT_LE(a, b);
  EXPECT_NEAR(static_cast<double>(DateTimeToUnix(NowUTC())), static_cast<double>(time(nullptr)), 2);
}

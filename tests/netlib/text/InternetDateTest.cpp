#include <gtest/gtest.h>

#include <cmath>

#include "netlib/text/clUtils.h"
#include "tests/TimeZone.h"

using netlib::ParseInternetDate;
using rtl::String;

namespace {

// Central European time, so the conversion to local time is visible.
class InternetDate : public ::testing::Test {
 protected:
  static double Utc(int y, int mo, int d, int h, int mi, int s) {
    return rtl::EncodeDate(y, mo, d) + rtl::EncodeTime(h, mi, s, 0);
  }

 private:
  krvtest::TScopedCentralEuropeanTime FZone;
};

struct DateCase {
  const char16_t* text;
  int y, mo, d, h, mi, s;  // UTC
};

// Whole seconds are enough; doubles of days carry rounding in the last bits.
void ExpectSameSecond(double actual, double expected, const char16_t* text) {
  EXPECT_LT(std::fabs(actual - expected) * 86400.0, 0.001) << rtl::U8(text);
}

TEST_F(InternetDate, Table) {
  const DateCase cases[] = {
      {u"Wed, 09 Jun 2021 10:18:14 GMT", 2021, 6, 9, 10, 18, 14},
      {u"Wed, 09 Jun 2021 10:18:14 +0200", 2021, 6, 9, 8, 18, 14},
      {u"Wed, 09 Jun 2021 10:18:14 -0130", 2021, 6, 9, 11, 48, 14},
      {u"Wed, 09 Jun 2021 23:30:00 -0100", 2021, 6, 10, 0, 30, 0},
      {u"09 jun 2021 10:18:14 GMT", 2021, 6, 9, 10, 18, 14},
      {u"  Sun,   06   Nov   1994   08:49:37   GMT  ", 1994, 11, 6, 8, 49, 37},
      {u"09 Dec 2021 10:18:14 UTC", 2021, 12, 9, 10, 18, 14},
      // Two-digit years: 70-99 are 1970-1999, 0-69 are 2000-2069.
      {u"09 Jun 21 10:18:14 GMT", 2021, 6, 9, 10, 18, 14},
      {u"09 Jun 69 10:18:14 GMT", 2069, 6, 9, 10, 18, 14},
      {u"09 Jun 70 10:18:14 GMT", 1970, 6, 9, 10, 18, 14},
      {u"09 Jun 99 10:18:14 GMT", 1999, 6, 9, 10, 18, 14},
      {u"09 Jun 00 10:18:14 GMT", 2000, 6, 9, 10, 18, 14},
      {u"09 Jun 10 10:18:14 GMT", 2010, 6, 9, 10, 18, 14},
      {u"09 Jun 11 10:18:14 GMT", 2011, 6, 9, 10, 18, 14},
      {u"09 Jun 100 10:18:14 GMT", 100, 6, 9, 10, 18, 14},
      // Twelve-hour times.
      {u"09 Jun 2021 10:18:14PM GMT", 2021, 6, 9, 22, 18, 14},
      {u"09 Jun 2021 12:05:00am GMT", 2021, 6, 9, 0, 5, 0},
      {u"09 Jun 2021 12:05:00 PM GMT", 2021, 6, 9, 12, 5, 0},
      // Missing and non-numeric time parts count 0.
      {u"09 Jun 2021 10 GMT", 2021, 6, 9, 10, 0, 0},
      {u"09 Jun 2021 10:x:7 GMT", 2021, 6, 9, 10, 0, 7},
      // No time field followed by a space: midnight, no zone read as time.
      {u"09 Jun 2021 GMT", 2021, 6, 9, 0, 0, 0},
      // Offsets that are no offsets count 0.
      {u"09 Jun 2021 10:18:14 +02", 2021, 6, 9, 10, 18, 14},
      {u"09 Jun 2021 10:18:14 +2500", 2021, 6, 9, 10, 18, 14},
      {u"09 Jun 2021 10:18:14 +ab30", 2021, 6, 9, 9, 48, 14},
      {u"09 Jun 2021 10:18:14 +0200 (CEST)", 2021, 6, 9, 8, 18, 14},
  };
  for (const DateCase& c : cases) {
    double utc = Utc(c.y, c.mo, c.d, c.h, c.mi, c.s);
    ExpectSameSecond(ParseInternetDate(c.text), rtl::UTCToLocal(utc), c.text);
  }
}

TEST_F(InternetDate, ResultIsLocalTime) {
  // 10:18:14 UTC in June is 12:18:14 in the summer time set up above.
  double local = ParseInternetDate(u"Wed, 09 Jun 2021 10:18:14 GMT");
  ExpectSameSecond(local, Utc(2021, 6, 9, 12, 18, 14), u"summer");
  double winter = ParseInternetDate(u"Thu, 09 Dec 2021 10:18:14 GMT");
  ExpectSameSecond(winter, Utc(2021, 12, 9, 11, 18, 14), u"winter");
}

TEST_F(InternetDate, IncompleteTextsGiveZero) {
  for (const char16_t* text : {u"", u"   ", u"09", u"09 Jun", u"09 Jun 2021", u"Wed, 09 Jun 2021",
                               u"Wed,", u"0 Jun 2021 10:00:00 GMT"}) {
    EXPECT_EQ(ParseInternetDate(text), 0.0) << rtl::U8(text);
  }
}

TEST_F(InternetDate, AnUnknownMonthIsThisMonthAndItsFieldIsReadAsTheYear) {
  int y, thisMonth, d;
  rtl::DecodeDate(rtl::Now(), y, thisMonth, d);
  // "6" is no month name: month = now, year = 6 -> 2006, "21" the hour.
  double r = ParseInternetDate(u"09 6 21 GMT");
  int ry, rm, rd, rh, rmi, rs, rms;
  rtl::DecodeDateTime(rtl::LocalToUTC(r), ry, rm, rd, rh, rmi, rs, rms);
  EXPECT_EQ(ry, 2006);
  EXPECT_EQ(rm, thisMonth);
  EXPECT_EQ(rd, 9);
  EXPECT_EQ(rh, 21);
}

TEST_F(InternetDate, BadFieldsRaiseConversionErrors) {
  for (const char16_t* text : {
           u"xx Jun 2021 10:18:14 GMT",       // non-numeric day
           u"09-Jun-2021 10:18:14 GMT",       // the dashed form: its first field is no number
           u"09 Jun year 10:18:14 GMT",       // non-numeric year
           u"09 Foo 2021 10:18:14 GMT",       // the unknown month is read as the year
           u"09 Jun 2021 25:00:00 GMT",       // impossible time
           u"09 Jun 2021 10:61:00 GMT",
           u"31 Feb 2021 10:00:00 GMT",       // impossible date
           u"09 Jun -5 10:00:00 GMT",
           u"09 Jun 99999999999 10:00:00 GMT",
       }) {
    EXPECT_THROW(ParseInternetDate(text), rtl::EConvertError) << rtl::U8(text);
  }
}

}  // namespace

#include "rtl/DateUtils.h"

#include <cmath>

#include "rtl/Exception.h"

namespace rtl {

bool IsLeapYear(int y) { return (y % 4 == 0) && ((y % 100 != 0) || (y % 400 == 0)); }

int DaysInMonth(int y, int m) {
  static const int d[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (m < 1 || m > 12) return 0;
  return d[m - 1] + ((m == 2 && IsLeapYear(y)) ? 1 : 0);
}

bool TryEncodeDate(int y, int m, int d, TDateTime& result) {
  if (y < 1 || y > 9999 || m < 1 || m > 12 || d < 1 || d > DaysInMonth(y, m)) return false;
  int64_t days = 0;
  for (int i = 1; i < m; ++i) days += DaysInMonth(y, i);
  int64_t yy = y - 1;
  days += d + yy * 365 + yy / 4 - yy / 100 + yy / 400;
  // 693594 days from 0001-01-01 to 1899-12-30 (inclusive counting as the runtime does).
  result = static_cast<double>(days - 693594);
  return true;
}

bool TryEncodeTime(int h, int mi, int s, int ms, TDateTime& result) {
  if (h < 0 || h > 23 || mi < 0 || mi > 59 || s < 0 || s > 59 || ms < 0 || ms > 999) return false;
  result = (h * 3600000.0 + mi * 60000.0 + s * 1000.0 + ms) / MSecsPerDay;
  return true;
}

TDateTime EncodeDate(int y, int m, int d) {
  TDateTime r;
  if (!TryEncodeDate(y, m, d, r)) throw EConvertError(u"Invalid argument to date encode");
  return r;
}

TDateTime EncodeTime(int h, int m, int s, int ms) {
  TDateTime r;
  if (!TryEncodeTime(h, m, s, ms, r)) throw EConvertError(u"Invalid argument to time encode");
  return r;
}

namespace {
// Splits into whole days (as days since 0001-01-01 counting from 1) and milliseconds of the day,
// rounding to the nearest millisecond as the runtime does.
void Split(TDateTime dt, int64_t& days, int64_t& msOfDay) {
  double ms = std::round(dt * MSecsPerDay);
  int64_t total = static_cast<int64_t>(ms);
  // Negative dates count the time part from midnight forwards as well.
  int64_t d = total / 86400000;
  int64_t rem = total % 86400000;
  if (rem < 0) rem = -rem;
  days = d + 693594;
  msOfDay = rem;
}
}  // namespace

void DecodeDate(TDateTime dt, int& year, int& month, int& day) {
  int64_t days, ms;
  Split(dt, days, ms);
  if (days <= 0) { year = month = day = 0; return; }
  int64_t d = days - 1;
  int64_t y = 1;
  int64_t n400 = d / 146097; d %= 146097; y += n400 * 400;
  int64_t n100 = d / 36524; if (n100 == 4) n100 = 3; d -= n100 * 36524; y += n100 * 100;
  int64_t n4 = d / 1461; d %= 1461; y += n4 * 4;
  int64_t n1 = d / 365; if (n1 == 4) n1 = 3; d -= n1 * 365; y += n1;
  int m = 1;
  while (d >= DaysInMonth(static_cast<int>(y), m)) { d -= DaysInMonth(static_cast<int>(y), m); ++m; }
  year = static_cast<int>(y);
  month = m;
  day = static_cast<int>(d) + 1;
}

void DecodeTime(TDateTime dt, int& hour, int& min, int& sec, int& msec) {
  int64_t days, ms;
  Split(dt, days, ms);
  hour = static_cast<int>(ms / 3600000);
  min = static_cast<int>(ms / 60000 % 60);
  sec = static_cast<int>(ms / 1000 % 60);
  msec = static_cast<int>(ms % 1000);
}

void DecodeDateTime(TDateTime dt, int& y, int& mo, int& d, int& h, int& mi, int& s, int& ms) {
  DecodeDate(dt, y, mo, d);
  DecodeTime(dt, h, mi, s, ms);
}

TDateTime UnixToDateTime(int64_t u) { return UnixDateDelta + static_cast<double>(u) / SecsPerDay; }
int64_t DateTimeToUnix(TDateTime utc) { return static_cast<int64_t>(std::llround((utc - UnixDateDelta) * SecsPerDay)); }

TDateTime Now() { return UTCToLocal(NowUTC()); }

uint64_t DateTimeToFileTime(TDateTime utc) {
  double ticks = std::round((utc - UnixDateDelta) * MSecsPerDay) * 10000.0 + static_cast<double>(FileTimeUnixEpoch);
  if (ticks <= 0) return 0;
  return static_cast<uint64_t>(ticks);
}

TDateTime FileTimeToDateTime(uint64_t ft) {
  int64_t ms = (static_cast<int64_t>(ft) - static_cast<int64_t>(FileTimeUnixEpoch)) / 10000;
  return UnixDateDelta + static_cast<double>(ms) / MSecsPerDay;
}

uint32_t DateTimeToDosDateTime(TDateTime dt) {
  int y, mo, d, h, mi, s, ms;
  DecodeDateTime(dt, y, mo, d, h, mi, s, ms);
  if (y < 1980 || y > 2107) return 0;
  uint32_t date = static_cast<uint32_t>(((y - 1980) << 9) | (mo << 5) | d);
  uint32_t time = static_cast<uint32_t>((h << 11) | (mi << 5) | (s / 2));
  return (date << 16) | time;
}

TDateTime DosDateTimeToDateTime(uint32_t dos) {
  uint32_t date = dos >> 16, time = dos & 0xFFFF;
  TDateTime d, t;
  if (!TryEncodeDate(static_cast<int>((date >> 9) + 1980), static_cast<int>((date >> 5) & 15), static_cast<int>(date & 31), d)) return 0;
  if (!TryEncodeTime(static_cast<int>(time >> 11), static_cast<int>((time >> 5) & 63), static_cast<int>((time & 31) * 2), 0, t)) return 0;
  return d + t;
}

uint32_t GetTickCount() { return static_cast<uint32_t>(GetTickCount64()); }

}  // namespace rtl

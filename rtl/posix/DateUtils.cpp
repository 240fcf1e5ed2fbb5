// The clocks and the local time zone on POSIX.
#include <time.h>

#include <cmath>
#include <ctime>

#include "rtl/DateUtils.h"

namespace rtl {

TDateTime NowUTC() {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return UnixDateDelta + (static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9) / SecsPerDay;
}

TDateTime UTCToLocal(TDateTime utc) {
  double secs = (utc - UnixDateDelta) * SecsPerDay;
  time_t whole = static_cast<time_t>(std::floor(secs));
  double frac = secs - static_cast<double>(whole);
  std::tm t{};
  if (!localtime_r(&whole, &t)) return utc;
  return UnixToDateTime(static_cast<int64_t>(whole) + t.tm_gmtoff) + frac / SecsPerDay;
}

TDateTime LocalToUTC(TDateTime local) {
  double secs = (local - UnixDateDelta) * SecsPerDay;
  time_t whole = static_cast<time_t>(std::floor(secs));
  double frac = secs - static_cast<double>(whole);
  std::tm t{};
  gmtime_r(&whole, &t);
  t.tm_isdst = -1;
  time_t utc = mktime(&t);  // interprets the broken-down local time
  if (utc == static_cast<time_t>(-1)) return local;
  return UnixToDateTime(static_cast<int64_t>(utc)) + frac / SecsPerDay;
}

uint64_t GetTickCount64() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec / 1000000);
}

}  // namespace rtl

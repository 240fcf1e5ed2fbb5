// The clocks and the local time zone on Windows: the system time, the system's time-zone
// settings and its tick counter.
#include "rtl/DateUtils.h"

#include <cmath>

#include "rtl/win32/WinApi.h"

namespace rtl {

namespace {
// FILETIME ticks (100 ns since 1601-01-01) and TDateTime days (since 1899-12-30).
constexpr double kTicksPerDay = 864e9;
constexpr int64_t kTicksAt1899 = 9435312000LL * 10000000;  // 1899-12-30 in FILETIME ticks

TDateTime TicksToDateTime(int64_t ticks) { return static_cast<double>(ticks - kTicksAt1899) / kTicksPerDay; }
int64_t DateTimeToTicks(TDateTime t) { return static_cast<int64_t>(std::llround(t * kTicksPerDay)) + kTicksAt1899; }
int64_t Ticks(const FILETIME& ft) { return (int64_t(ft.dwHighDateTime) << 32) | ft.dwLowDateTime; }
FILETIME FileTime(int64_t ticks) {
  return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(static_cast<uint64_t>(ticks) >> 32)};
}
}  // namespace

TDateTime NowUTC() {
  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);
  return TicksToDateTime(Ticks(ft));
}

// Through SYSTEMTIME, as the zone rules of the system apply to broken-down times.
TDateTime UTCToLocal(TDateTime utc) {
  int64_t ticks = DateTimeToTicks(utc);
  FILETIME ft = FileTime(ticks);
  SYSTEMTIME u, l;
  if (ticks < 0 || !FileTimeToSystemTime(&ft, &u) || !SystemTimeToTzSpecificLocalTime(nullptr, &u, &l)) return utc;
  FILETIME lf;
  if (!SystemTimeToFileTime(&l, &lf)) return utc;
  // SYSTEMTIME keeps milliseconds only: the offset is what the zone added.
  return utc + static_cast<double>(Ticks(lf) - (ticks - ticks % 10000)) / kTicksPerDay;
}

TDateTime LocalToUTC(TDateTime local) {
  int64_t ticks = DateTimeToTicks(local);
  FILETIME ft = FileTime(ticks);
  SYSTEMTIME l, u;
  if (ticks < 0 || !FileTimeToSystemTime(&ft, &l) || !TzSpecificLocalTimeToSystemTime(nullptr, &l, &u)) return local;
  FILETIME uf;
  if (!SystemTimeToFileTime(&u, &uf)) return local;
  return local + static_cast<double>(Ticks(uf) - (ticks - ticks % 10000)) / kTicksPerDay;
}

uint64_t GetTickCount64() { return ::GetTickCount64(); }

}  // namespace rtl

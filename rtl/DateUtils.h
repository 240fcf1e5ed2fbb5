// Dates and times: TDateTime is a double of days since 1899-12-30, the fraction the time of day.
#pragma once

#include <cstdint>

#include "rtl/SysUtils.h"

namespace rtl {

using TDateTime = double;

constexpr double MSecsPerDay = 86400000.0;
constexpr double SecsPerDay = 86400.0;
// Days from 1899-12-30 to 1970-01-01.
constexpr double UnixDateDelta = 25569.0;

bool IsLeapYear(int year);
int DaysInMonth(int year, int month);
bool TryEncodeDate(int year, int month, int day, TDateTime& result);
bool TryEncodeTime(int hour, int min, int sec, int msec, TDateTime& result);
// EConvertError "Invalid argument to date encode" / "Invalid argument to time encode".
TDateTime EncodeDate(int year, int month, int day);
TDateTime EncodeTime(int hour, int min, int sec, int msec);
void DecodeDate(TDateTime dt, int& year, int& month, int& day);
void DecodeTime(TDateTime dt, int& hour, int& min, int& sec, int& msec);
void DecodeDateTime(TDateTime dt, int& year, int& month, int& day, int& hour, int& min, int& sec, int& msec);

TDateTime Now();     // local
TDateTime NowUTC();
TDateTime UTCToLocal(TDateTime utc);
TDateTime LocalToUTC(TDateTime local);

TDateTime UnixToDateTime(int64_t unixSeconds);  // both UTC
int64_t DateTimeToUnix(TDateTime utc);          // rounded to the nearest second

// FILETIME: 100-nanosecond intervals since 1601-01-01 UTC.
constexpr uint64_t FileTimeUnixEpoch = 116444736000000000ULL;
uint64_t DateTimeToFileTime(TDateTime utc);
TDateTime FileTimeToDateTime(uint64_t fileTime);
// DOS date-time: date in the high word, time in the low word, seconds in 2-second steps
// (the odd second is dropped). Years 1980..2107; answers 0 outside that range.
uint32_t DateTimeToDosDateTime(TDateTime dt);
TDateTime DosDateTimeToDateTime(uint32_t dos);

// Milliseconds of the monotonic clock.
uint32_t GetTickCount();
uint64_t GetTickCount64();

}  // namespace rtl

// Central European time (UTC+1, summer UTC+2) for tests that must see a conversion to local time,
// without needing the zone database.
//
// On Linux the zone is set for the scope through TZ. Windows takes the zone from the system's
// settings, which a process cannot change for itself; Wine takes it from TZ when the process
// starts, so the Windows suite runs every test program with this TZ (krv_test), and here the
// zone is only checked.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <string>

#ifdef _WIN32
#include <windows.h>
#endif

namespace krvtest {

inline constexpr const char* kCentralEuropeanTz = "CET-1CEST,M3.5.0,M10.5.0/3";

class TScopedCentralEuropeanTime {
 public:
  TScopedCentralEuropeanTime() {
#ifdef _WIN32
    TIME_ZONE_INFORMATION zone{};
    GetTimeZoneInformation(&zone);
    EXPECT_TRUE(zone.Bias == -60 && zone.DaylightBias == -60 && zone.DaylightDate.wMonth == 3)
        << "the Windows tests run with TZ=" << kCentralEuropeanTz << " (cmake/KrvHelpers.cmake)";
#else
    const char* tz = getenv("TZ");
    FHadTz = tz != nullptr;
    if (tz) FOldTz = tz;
    setenv("TZ", kCentralEuropeanTz, 1);
    tzset();
#endif
  }
  ~TScopedCentralEuropeanTime() {
#ifndef _WIN32
    if (FHadTz)
      setenv("TZ", FOldTz.c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
#endif
  }
  TScopedCentralEuropeanTime(const TScopedCentralEuropeanTime&) = delete;
  TScopedCentralEuropeanTime& operator=(const TScopedCentralEuropeanTime&) = delete;

 private:
  bool FHadTz = false;
  std::string FOldTz;
};

}  // namespace krvtest

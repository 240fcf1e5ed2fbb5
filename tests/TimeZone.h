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

#include <cmath>
#include <string>

#include "rtl/DateUtils.h"

namespace krvtest {

inline constexpr const char* kCentralEuropeanTz = "CET-1CEST,M3.5.0,M10.5.0/3";

class TScopedCentralEuropeanTime {
 public:
  TScopedCentralEuropeanTime() {
#ifdef _WIN32
    rtl::TDateTime june = rtl::EncodeDate(2021, 6, 9), january = rtl::EncodeDate(2021, 1, 9);
    EXPECT_TRUE(std::abs(rtl::UTCToLocal(june) - june - 2.0 / 24) < 1e-6 &&
                std::abs(rtl::UTCToLocal(january) - january - 1.0 / 24) < 1e-6)
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

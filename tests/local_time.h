// Noon of a local calendar day, for tests of dated files and log rows. Kept
// free of any test framework so that the window tests can use it too.
#pragma once

#include <ctime>

namespace norvane::test_support {

inline std::time_t local_time(int year, int month, int day) {
  std::tm parts{};
  parts.tm_year = year - 1900;
  parts.tm_mon = month - 1;
  parts.tm_mday = day;
  parts.tm_hour = 12;
  parts.tm_isdst = -1;  // whatever daylight saving the day has
  return std::mktime(&parts);
}

}  // namespace norvane::test_support

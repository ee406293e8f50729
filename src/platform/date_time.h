// The date-time form the engine keeps times in: days since 1899-12-30 00:00
// with the time of day as the fraction. Conversions to and from civil dates.
#pragma once

#include <cstdint>

namespace cryptlib::platform {

struct CivilDateTime {
  int32_t year = 1899;
  int32_t month = 12;
  int32_t day = 30;
  int32_t hour = 0;
  int32_t minute = 0;
  int32_t second = 0;
  int32_t millisecond = 0;
};

// Days from 1970-01-01 to the civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t year, unsigned month, unsigned day);
// The date-time value of a civil date and time.
double EncodeDateTime(const CivilDateTime& time);
// The date-time value of a clock reading: seconds since 1970-01-01 00:00 on
// that clock (local time: UTC seconds plus the local offset) and the
// millisecond. The same value as EncodeDateTime of the civil fields.
double EncodeClockSeconds(int64_t seconds, int32_t millisecond);
// The civil date and time of a date-time value, to the millisecond (rounded,
// so that a value made by EncodeDateTime comes back unchanged).
CivilDateTime DecodeDateTime(double value);

}  // namespace cryptlib::platform

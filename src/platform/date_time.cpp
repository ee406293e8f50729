#include "platform/date_time.h"

#include <cmath>

namespace cryptlib::platform {
namespace {

// 1899-12-30, day 0 of the date-time form, is 25569 days before 1970-01-01.
constexpr int64_t kEpochOffsetDays = 25569;
constexpr int64_t kMillisecondsPerDay = 86400000;

// The civil date of a day count from 1970-01-01 (H. Hinnant's
// civil_from_days).
CivilDateTime CivilFromDays(int64_t days) {
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const auto doe = static_cast<unsigned>(days - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned day = doy - (153 * mp + 2) / 5 + 1;
  const unsigned month = mp < 10 ? mp + 3 : mp - 9;
  CivilDateTime civil;
  civil.year = static_cast<int32_t>(static_cast<int64_t>(yoe) + era * 400 + (month <= 2 ? 1 : 0));
  civil.month = static_cast<int32_t>(month);
  civil.day = static_cast<int32_t>(day);
  return civil;
}

}  // namespace

// H. Hinnant's days_from_civil.
int64_t DaysFromCivil(int64_t year, unsigned month, unsigned day) {
  year -= month <= 2;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const auto yoe = static_cast<unsigned>(year - era * 400);
  const unsigned doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

double EncodeDateTime(const CivilDateTime& time) {
  const int64_t days =
      DaysFromCivil(time.year, static_cast<unsigned>(time.month), static_cast<unsigned>(time.day)) + kEpochOffsetDays;
  const double secondsOfDay = time.hour * 3600.0 + time.minute * 60.0 + time.second + time.millisecond / 1000.0;
  return static_cast<double>(days) + secondsOfDay / 86400.0;
}

// The same value EncodeDateTime gives for the civil fields of seconds, made
// without them: the clock is read on every cached call. The whole seconds of
// the day are exact in a double, so the fraction adds up as EncodeDateTime's.
double EncodeClockSeconds(int64_t seconds, int32_t millisecond) {
  constexpr int64_t kSecondsPerDay = 86400;
  int64_t days = seconds / kSecondsPerDay;
  int64_t ofDay = seconds % kSecondsPerDay;
  if (ofDay < 0) {
    ofDay += kSecondsPerDay;
    --days;
  }
  const double secondsOfDay = static_cast<double>(ofDay) + millisecond / 1000.0;
  return static_cast<double>(days + kEpochOffsetDays) + secondsOfDay / 86400.0;
}

CivilDateTime DecodeDateTime(double value) {
  // Whole milliseconds first: the fraction of a day is rarely exact.
  const auto total = static_cast<int64_t>(std::llround(value * static_cast<double>(kMillisecondsPerDay)));
  int64_t days = total / kMillisecondsPerDay;
  int64_t ofDay = total % kMillisecondsPerDay;
  if (ofDay < 0) {
    ofDay += kMillisecondsPerDay;
    --days;
  }
  CivilDateTime civil = CivilFromDays(days - kEpochOffsetDays);
  civil.hour = static_cast<int32_t>(ofDay / 3600000);
  civil.minute = static_cast<int32_t>(ofDay / 60000 % 60);
  civil.second = static_cast<int32_t>(ofDay / 1000 % 60);
  civil.millisecond = static_cast<int32_t>(ofDay % 1000);
  return civil;
}

}  // namespace cryptlib::platform

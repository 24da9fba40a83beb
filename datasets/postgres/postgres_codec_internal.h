// What the value codec's two directions share: postgres_codec.cpp writes
// values for the server, postgres_decode.cpp reads them. The day and
// microsecond counts of PostgreSQL's dates and times, and the messages of a
// value that does not fit. Private to those files.
#pragma once

#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>

#include "datasets/postgres/postgres_codec.h"

namespace korvane::pg::codec_internal {

// Days from 1899-12-30 (day zero of a date-time value) to 2000-01-01 (day
// zero of PostgreSQL's dates and timestamps).
constexpr std::int64_t kEpochShift = 36526;
constexpr std::int64_t kMicrosPerDay = 86400000000;
// Years 1 to 9999, in days from 1899-12-30.
constexpr double kFirstDay = -693593;
constexpr double kLastDay = 2958465;

[[noreturn]] void Fail(const std::string& message);
[[noreturn]] void Unfit(const TColumn& column, const char* what);
// The start of a value, for a message.
std::string Shown(std::string_view value);
[[noreturn]] void Unreadable(const TColumn& column, std::string_view value, const char* what);

// The decimals of the server's money: 2 where a unit (MoneyFactor) is 100
// of a currency field's ten-thousandths.
int MoneyDecimals(std::int64_t factor);
// units * 10^-decimals as plain decimal text ("-92233720368547758.08").
std::string AmountText(std::int64_t units, int decimals);

// A date-time value (fractions count forward from midnight even before day
// zero) as microseconds since 2000-01-01; false outside the years 1 to 9999.
inline bool ToMicros(double value, bool timeOnly, std::int64_t& micros) {
  if (!std::isfinite(value)) return false;
  const double whole = std::trunc(value);
  std::int64_t day = static_cast<std::int64_t>(whole);
  const double fraction = std::fabs(value - whole);
  std::int64_t time = 0;
  if (fraction != 0) {
    time = std::llround(fraction * static_cast<double>(kMicrosPerDay));
    // Far from day zero a double cannot tell microseconds apart: a time
    // that is a whole millisecond within the value's precision is taken as
    // one, not as the microseconds next to it.
    const double ulp = std::nextafter(std::fabs(value), INFINITY) - std::fabs(value);
    const auto tolerance =
        static_cast<std::int64_t>(std::ceil(ulp * 4 * static_cast<double>(kMicrosPerDay)));
    const std::int64_t millis = std::llround(fraction * 86400000.0) * 1000;
    if (std::llabs(time - millis) <= tolerance) time = millis;
  }
  if (time >= kMicrosPerDay) {
    time -= kMicrosPerDay;
    ++day;
  }
  if (timeOnly) {
    micros = time;
    return true;
  }
  if (day < kFirstDay || day > kLastDay) return false;
  micros = (day - kEpochShift) * kMicrosPerDay + time;
  return true;
}

inline double FromMicros(std::int64_t micros) {
  std::int64_t day = micros / kMicrosPerDay;
  std::int64_t time = micros % kMicrosPerDay;
  if (time < 0) {
    time += kMicrosPerDay;
    --day;
  }
  day += kEpochShift;
  const double fraction = static_cast<double>(time) / static_cast<double>(kMicrosPerDay);
  return day >= 0 ? static_cast<double>(day) + fraction : static_cast<double>(day) - fraction;
}

}  // namespace korvane::pg::codec_internal

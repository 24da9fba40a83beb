// What the parts of the number and date routines (formats_*.cpp) share:
// character tests, the calendar's day numbers and the parts of a date-time.
// Private to the library: no installed header includes it (the SQLite
// dataset writes its dates by this calendar too).
#pragma once

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "platform/formats.h"
#include "platform/sysutils.h"

namespace korvane::formats_internal {

// ---------------------------------------------------------------------------
// Characters. Classified by hand: <cctype> follows the global locale.

inline bool IsDigitChar(char c) { return c >= '0' && c <= '9'; }
inline bool IsBlankChar(char c) { return static_cast<unsigned char>(c) <= 32; }
inline bool IsLetterChar(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
inline char LowerChar(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

inline std::string_view TrimView(std::string_view s) {
  while (!s.empty() && IsBlankChar(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlankChar(s.back())) s.remove_suffix(1);
  return s;
}

inline bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (LowerChar(a[i]) != LowerChar(b[i])) return false;
  }
  return true;
}

// True when `word` (lower case) stands at position i of s, in any case.
inline bool MatchAt(std::string_view s, std::size_t i, std::string_view word) {
  return i + word.size() <= s.size() && EqualsNoCase(s.substr(i, word.size()), word);
}

// Decimal digits of value, zero-padded to at least `width` digits (for
// messages).
inline void AppendInt(std::string& out, long long value, int width = 0) {
  char buf[32];
  const unsigned long long magnitude = value < 0 ? 0ull - static_cast<unsigned long long>(value)
                                                 : static_cast<unsigned long long>(value);
  char* const end = std::to_chars(buf, buf + sizeof buf, magnitude).ptr;
  if (value < 0) out += '-';
  const auto digits = static_cast<int>(end - buf);
  if (digits < width) out.append(static_cast<std::size_t>(width - digits), '0');
  out.append(buf, static_cast<std::size_t>(end - buf));
}

// What a date or time format worked out once for the settings depends on:
// the format and the two separators. A cache checks its key before each
// use and works the format out again when the key no longer holds.
struct FormatKey {
  bool valid = false;
  std::string format;
  char dateSeparator = 0;
  char timeSeparator = 0;

  bool Holds(std::string_view f, const TFormatSettings& fs) const {
    return valid && dateSeparator == fs.DateSeparator && timeSeparator == fs.TimeSeparator &&
           format == f;
  }
  // Called once the work for f is done; a failure before leaves the key
  // invalid.
  void Take(std::string_view f, const TFormatSettings& fs) {
    format.assign(f);
    dateSeparator = fs.DateSeparator;
    timeSeparator = fs.TimeSeparator;
    valid = true;
  }
};

// TryStrToDate by the full grammar alone, without the quick readings of
// common texts that stand before it; the tests check that those readings
// decide every text as this does.
bool ParseDateByGrammar(std::string_view s, TDateTime& value);

[[noreturn]] inline void ThrowNotValid(std::string_view text, const char* what) {
  std::string message;
  message.reserve(text.size() + 40);
  message += '\'';
  message.append(text);
  message += "' is not a valid ";
  message += what;
  throw EConvertError(message);
}

// ---------------------------------------------------------------------------
// Calendar.

constexpr long long kMsPerDay = 86400000;
constexpr long long kMinDay = -693593;  // 0001-01-01
constexpr long long kMaxDay = 2958465;  // 9999-12-31
constexpr long long kUnixDay = 25569;   // 1970-01-01

// Day number of a valid date of years 1 to 9999, without a branch: years
// are counted from March, so that the leap day ends a year, and the months
// from March on by a table. Unsigned, as no such year is negative.
constexpr std::uint32_t kDaysFromMarch[13] = {0,   306, 337, 0,   31,  61, 92,
                                              122, 153, 184, 214, 245, 275};
constexpr std::uint32_t MarchDayCount(std::uint32_t year, std::uint32_t month, std::uint32_t day) {
  const std::uint32_t y = year - (month <= 2 ? 1 : 0);
  return 365 * y + y / 4 - y / 100 + y / 400 + kDaysFromMarch[month] + day;
}
// 1899-12-30 is day zero.
constexpr std::uint32_t kMarchDayZero = MarchDayCount(1899, 12, 30);
static_assert(MarchDayCount(1900, 3, 1) - kMarchDayZero == 61);
static_assert(MarchDayCount(2000, 2, 29) + 1 == MarchDayCount(2000, 3, 1));
static_assert(MarchDayCount(1970, 1, 1) - kMarchDayZero == kUnixDay);

// TryEncodeDate's work, kept inline for the date readers: the leap-year
// test runs only for February 29.
[[gnu::always_inline]] inline bool EncodeDay(int year, int month, int day, TDateTime& value) {
  static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1) return false;
  if (day > kDays[month - 1]) {
    const bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
    if (!(month == 2 && day == 29 && leap)) return false;
  }
  const std::uint32_t count =
      MarchDayCount(static_cast<std::uint32_t>(year), static_cast<std::uint32_t>(month),
                    static_cast<std::uint32_t>(day));
  value = static_cast<double>(static_cast<std::int32_t>(count - kMarchDayZero));
  return true;
}

// The year counted from March 1 (January and February belong to the year
// before) and the day of that year (0 to 365) of a day number from kMinDay
// to kMaxDay. Counted from 0000-03-01 every such day is positive, so the
// arithmetic is unsigned and 32 bits wide: centuries of 146097 / 4 days,
// then years of 1461 / 4 days inside a century (a multiply by the inverse
// of 1461 and a shift).
static_assert(kMarchDayZero - MarchDayCount(0, 3, 1) == 693899);
inline void MarchYearAndDay(long long dayNumber, std::uint32_t& year, std::uint32_t& dayOfYear) {
  // Day zero is day 693899 counted from 0000-03-01.
  const auto n = static_cast<std::uint32_t>(dayNumber + 693899);
  const std::uint32_t n1 = 4 * n + 3;
  const std::uint32_t century = n1 / 146097;
  const std::uint32_t dayOfCentury = n1 % 146097 / 4;
  const std::uint64_t n2 = std::uint64_t{2939745} * (4 * dayOfCentury + 3);
  year = 100 * century + static_cast<std::uint32_t>(n2 >> 32);
  dayOfYear = static_cast<std::uint32_t>(n2) / 2939745 / 4;
}

// The month and day of a day of the year counted from March 1: months of
// 153 / 5 days (a multiply by 2141 over 65536). True for January and
// February, which belong to the next calendar year.
inline bool MonthAndDay(std::uint32_t dayOfYear, int& m, int& d) {
  const std::uint32_t n3 = 2141 * dayOfYear + 197913;
  const std::uint32_t month = n3 >> 16;    // 3 to 14
  const bool nextYear = dayOfYear >= 306;  // January and February
  d = static_cast<int>((n3 & 0xFFFF) / 2141 + 1);
  m = static_cast<int>(nextYear ? month - 12 : month);
  return nextYear;
}

// The civil date of a day number from kMinDay to kMaxDay.
inline void CivilFromDays(long long dayNumber, int& y, int& m, int& d) {
  std::uint32_t year = 0;
  std::uint32_t dayOfYear = 0;
  MarchYearAndDay(dayNumber, year, dayOfYear);
  y = static_cast<int>(year + (MonthAndDay(dayOfYear, m, d) ? 1 : 0));
}

// Splits a date-time into its day number and its time of day, rounded to
// the millisecond (a rounding up to midnight moves to the next day).
inline void SplitDateTime(TDateTime value, long long& day, long long& msOfDay) {
  bool ok = std::isfinite(value) && value > static_cast<double>(kMinDay - 1) &&
            value < static_cast<double>(kMaxDay + 1);
  if (ok) {
    const double magnitude = std::fabs(value);
    long long days = static_cast<long long>(magnitude);  // the floor: magnitude >= 0
    const double fraction = magnitude - static_cast<double>(days);
    long long ms = fraction == 0 ? 0 : std::llround(fraction * static_cast<double>(kMsPerDay));
    if (ms >= kMsPerDay) {
      ++days;
      ms -= kMsPerDay;
    }
    day = value < 0 ? -days : days;
    msOfDay = ms;
    ok = day >= kMinDay && day <= kMaxDay;
  }
  if (!ok) throw EConvertError("Invalid date-time value: " + FloatToStr(value));
}

struct DateTimeParts {
  int year, month, day, hour, minute, second, msec;
  int dayOfWeek;  // 0 = Sunday
  long long msOfDay;
};

inline DateTimeParts DecodeParts(TDateTime value) {
  long long day = 0;
  long long ms = 0;
  // Whole days in range (every value of a date field) have no time of day
  // to round.
  if (value >= static_cast<double>(kMinDay) && value <= static_cast<double>(kMaxDay) &&
      value == static_cast<double>(static_cast<std::int32_t>(value))) {
    day = static_cast<std::int32_t>(value);
  } else {
    SplitDateTime(value, day, ms);
  }
  DateTimeParts p{};
  CivilFromDays(day, p.year, p.month, p.day);
  // 0001-01-01 (kMinDay) was a Monday.
  p.dayOfWeek = static_cast<int>((static_cast<std::uint32_t>(day - kMinDay) + 1) % 7);
  p.msOfDay = ms;
  if (ms != 0) {  // dates alone have no time of day to split
    const auto msOfDay = static_cast<std::uint32_t>(ms);
    p.hour = static_cast<int>(msOfDay / 3600000);
    p.minute = static_cast<int>(msOfDay / 60000 % 60);
    p.second = static_cast<int>(msOfDay / 1000 % 60);
    p.msec = static_cast<int>(msOfDay % 1000);
  }
  return p;
}

}  // namespace korvane::formats_internal

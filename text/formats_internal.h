// What the parts of the number and date routines (formats_*.cpp) share:
// character tests, the calendar's day numbers and the parts of a date-time.
// Private to the library: no installed header includes it (the SQLite
// dataset writes its dates by this calendar too).
#pragma once

#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "text/formats.h"
#include "core/sysutils.h"

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

// Date-time values count days from 1899-12-30, day zero; the calendar is
// std::chrono's (the proleptic Gregorian one), over the years 1 to 9999.
constexpr std::chrono::sys_days kDayZero{std::chrono::year{1899} / 12 / 30};

constexpr long long DayNumber(std::chrono::year_month_day date) {
  return (std::chrono::sys_days{date} - kDayZero).count();
}

constexpr long long kMsPerDay = 86400000;
constexpr long long kMinDay = DayNumber(std::chrono::year{1} / 1 / 1);
constexpr long long kMaxDay = DayNumber(std::chrono::year{9999} / 12 / 31);
constexpr long long kUnixDay = DayNumber(std::chrono::year{1970} / 1 / 1);
static_assert(kMinDay == -693593 && kMaxDay == 2958465 && kUnixDay == 25569);

// TryEncodeDate's work: false unless the date is one of the years 1 to 9999.
// The month and day are checked for their ranges before std::chrono holds
// them (it keeps only a byte of each).
inline bool EncodeDay(int year, int month, int day, TDateTime& value) {
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 || day > 31) return false;
  const std::chrono::year_month_day date{std::chrono::year{year},
                                         std::chrono::month{static_cast<unsigned>(month)},
                                         std::chrono::day{static_cast<unsigned>(day)}};
  if (!date.ok()) return false;
  value = static_cast<double>(DayNumber(date));
  return true;
}

// The civil date of a day number from kMinDay to kMaxDay.
inline std::chrono::year_month_day CivilFromDays(long long dayNumber) {
  return std::chrono::year_month_day{kDayZero + std::chrono::days{dayNumber}};
}
inline void CivilFromDays(long long dayNumber, int& y, int& m, int& d) {
  const std::chrono::year_month_day date = CivilFromDays(dayNumber);
  y = static_cast<int>(date.year());
  m = static_cast<int>(static_cast<unsigned>(date.month()));
  d = static_cast<int>(static_cast<unsigned>(date.day()));
}

// The day of the week of a day number, 0 for Sunday.
inline int WeekdayOf(long long dayNumber) {
  return static_cast<int>(
      std::chrono::weekday{kDayZero + std::chrono::days{dayNumber}}.c_encoding());
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
  p.dayOfWeek = WeekdayOf(day);
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

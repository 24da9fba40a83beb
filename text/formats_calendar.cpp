// The calendar: day numbers of dates, parts of date-times, the clock.
#include <algorithm>
#include <bit>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "text/formats.h"
#include "text/formats_internal.h"
#include "core/sysutils.h"

namespace korvane {

using namespace formats_internal;

namespace {

// ---------------------------------------------------------------------------
// Process-wide state.

TClockFunction& ClockSlot() {
  static TClockFunction clock;
  return clock;
}

TDateTime SystemNow() {
  using namespace std::chrono;
  const long long ms = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
  long long secs = ms / 1000;
  long long msPart = ms % 1000;
  if (msPart < 0) {
    msPart += 1000;
    --secs;
  }
  const std::time_t stamp = static_cast<std::time_t>(secs);
  std::tm local{};
  localtime_r(&stamp, &local);
  TDateTime date = 0;
  TryEncodeDate(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, date);
  const int second = local.tm_sec > 59 ? 59 : local.tm_sec;  // a leap second
  const long long msOfDay = ((local.tm_hour * 60LL + local.tm_min) * 60 + second) * 1000 + msPart;
  return ComposeDateTime(date, static_cast<double>(msOfDay) / static_cast<double>(kMsPerDay));
}

}  // namespace

bool IsLeapYear(int year) { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

int DaysInMonth(int year, int month) {
  static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12) return 0;
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

bool TryEncodeDate(int year, int month, int day, TDateTime& value) {
  return EncodeDay(year, month, day, value);
}

TDateTime EncodeDate(int year, int month, int day) {
  TDateTime value = 0;
  if (!TryEncodeDate(year, month, day, value)) {
    std::string message = "Invalid date: year ";
    AppendInt(message, year);
    message += ", month ";
    AppendInt(message, month);
    message += ", day ";
    AppendInt(message, day);
    throw EConvertError(message);
  }
  return value;
}

bool TryEncodeTime(int hour, int minute, int second, int msec, TDateTime& value) {
  if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59 || msec < 0 ||
      msec > 999) {
    return false;
  }
  const long long ms = ((hour * 60LL + minute) * 60 + second) * 1000 + msec;
  value = static_cast<double>(ms) / static_cast<double>(kMsPerDay);
  return true;
}

TDateTime EncodeTime(int hour, int minute, int second, int msec) {
  TDateTime value = 0;
  if (!TryEncodeTime(hour, minute, second, msec, value)) {
    std::string message = "Invalid time: ";
    AppendInt(message, hour, 2);
    message += ':';
    AppendInt(message, minute, 2);
    message += ':';
    AppendInt(message, second, 2);
    message += '.';
    AppendInt(message, msec, 3);
    throw EConvertError(message);
  }
  return value;
}

TDateTime ComposeDateTime(TDateTime date, TDateTime time) {
  return date < 0 ? date - time : date + time;
}

void DecodeDate(TDateTime value, std::uint16_t& year, std::uint16_t& month, std::uint16_t& day) {
  const DateTimeParts p = DecodeParts(value);
  year = static_cast<std::uint16_t>(p.year);
  month = static_cast<std::uint16_t>(p.month);
  day = static_cast<std::uint16_t>(p.day);
}

void DecodeTime(TDateTime value, std::uint16_t& hour, std::uint16_t& minute, std::uint16_t& second,
                std::uint16_t& msec) {
  const DateTimeParts p = DecodeParts(value);
  hour = static_cast<std::uint16_t>(p.hour);
  minute = static_cast<std::uint16_t>(p.minute);
  second = static_cast<std::uint16_t>(p.second);
  msec = static_cast<std::uint16_t>(p.msec);
}

int DayOfWeek(TDateTime value) { return DecodeParts(value).dayOfWeek + 1; }

TDateTime Now() {
  const TClockFunction& clock = ClockSlot();
  return clock ? clock() : SystemNow();
}

TClockFunction SetClock(TClockFunction clock) {
  return std::exchange(ClockSlot(), std::move(clock));
}

}  // namespace korvane

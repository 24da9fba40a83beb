// Dates and times in ISO 8601's extended form, as databases and data tools
// of today read and write them: "2024-03-05", "14:30:00", "2024-03-05
// 14:30:00.250", "2024-03-05T14:30:00.123456+01:00". They do not depend on
// the format settings, so a file written this way reads back the same
// whatever the settings of the reader are.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/api.h"
#include "text/formats.h"

namespace korvane {

// Which parts a text must have: a date, a time of day, or a date with an
// optional time (a date alone is midnight).
enum class TIsoKind : std::uint8_t { Date, Time, DateTime };

// Why a text is not an ISO date or time (None: it is one).
enum class TIsoFault : std::uint8_t {
  None,
  NotIso,          // not laid out as yyyy-mm-dd, hh:nn[:ss[.f]], a zone
  NoSuchDay,       // laid out right, but the calendar has no such day
  OutOfRange,      // an hour above 23 (24:00:00 too), a minute or second above 59
  TooManyDigits,   // more than six digits of a fraction of a second
  ZoneOutOfRange,  // an offset beyond -15:59 .. +15:59
  UtcOutOfRange,   // in UTC the day falls outside the years 1 to 9999
};

// A date, a time or both, exactly as a text gave them.
struct TIsoValue {
  bool HasDate = false;
  bool HasTime = false;
  bool HasZone = false;
  bool Utc = false;  // the zone was written "Z"
  std::int32_t Day = 0;        // days from day zero (see TDateTime)
  std::int64_t Micros = 0;     // of the day, 0 to 86,399,999,999
  std::int16_t ZoneMinutes = 0;  // east of UTC
  std::int8_t ZoneSeconds = 0;   // and seconds, signed as the minutes
  std::uint8_t Digits = 0;     // fraction digits the text had (0 to 6)

  // Whether a TDateTime holds the value exactly: no zone, and no part of a
  // second finer than milliseconds.
  bool FitsDateTime() const { return !HasZone && Micros % 1000 == 0; }
  // The value as a date-time (the zone left out, microseconds rounded to
  // milliseconds).
  TDateTime DateTime() const;
};

// Reads s (blanks around are allowed): a date "yyyy-mm-dd" (years 0001 to
// 9999), a time "hh:nn", "hh:nn:ss" or "hh:nn:ss.f" with 1 to 6 digits after
// '.' or ',', and after a time a zone: "Z", "+hh", "+hhmm", "+hh:mm" or
// "+hh:mm:ss" (or with '-'). Between date and time stands 'T' or one blank. kind says which
// parts the text must have; a Date also takes a date followed by exactly
// midnight without a zone ("2024-03-05 00:00:00", as date-time columns
// write dates). Returns the fault, or None with the value in out.
TIsoFault ReadIso(std::string_view s, TIsoKind kind, TIsoValue& out);
// A sentence saying why, such as "has more than 6 digits of a second".
const char* IsoFaultText(TIsoFault fault);

// The most bytes the Put functions below write.
constexpr std::size_t kIsoTextRoom = 40;
// "yyyy-mm-dd"; "hh:nn:ss" with ".zzz" when the milliseconds are not zero;
// and both joined by a blank. Raise EConvertError for values outside the
// years 1 to 9999, infinities and NaN, as DecodeDate does.
char* PutIsoDate(char* p, TDateTime value);
char* PutIsoTime(char* p, TDateTime value);
char* PutIsoDateTime(char* p, TDateTime value);
// The parts the value has: its date, a blank and its time with three or six
// fraction digits as its microseconds need, and its zone as "Z" or "+hh:mm"
// (forms both SQLite's date functions and PostgreSQL read; "+hh:mm:ss" for
// an offset with seconds).
char* PutIso(char* p, const TIsoValue& value);
std::string IsoText(const TIsoValue& value);
// The same instant in UTC: the zone's offset taken off the time (and the
// day, when the value has one), the zone kept as +00:00. A value without a
// zone is left as it is. False, the value untouched, when the day in UTC
// falls outside the years 1 to 9999.
bool MoveToUtc(TIsoValue& value);

}  // namespace korvane

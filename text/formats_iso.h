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
  YearZero,        // the year 0 (ReadWideIso): 1 BC is the year before 1
  FarOutOfRange,   // a year so far that no day count holds it (ReadWideIso)
};

// A date, a time or both, exactly as a text gave them.
struct TIsoValue {
  bool HasDate = false;
  bool HasTime = false;
  bool HasZone = false;
  bool Utc = false;  // the zone was written "Z"
  std::int32_t Day = 0;        // days from day zero (see TDateTime)
  std::int64_t Micros = 0;     // of the day, 0 to 86,399,999,999 (ReadWideIso: to a whole day)
  std::int16_t ZoneMinutes = 0;  // east of UTC
  std::int8_t ZoneSeconds = 0;   // and seconds, signed as the minutes
  std::uint8_t Digits = 0;     // fraction digits the text had (0 to 6; 6 for more zeros)
  // ReadWideIso only: +1 for "infinity", -1 for "-infinity" (no other
  // part is set), 0 for a day or time.
  std::int8_t Infinity = 0;

  // Whether a TDateTime holds the value exactly: no zone, and no part of a
  // second finer than milliseconds.
  bool FitsDateTime() const { return !HasZone && Micros % 1000 == 0; }
  // The value as a date-time (the zone left out, microseconds rounded to
  // milliseconds).
  TDateTime DateTime() const;
};

// The forms ReadIso takes beyond the extended format, or-ed together.
enum TIsoForms : unsigned {
  isoExtended = 0,
  // The basic format, where no number can be taken for it (see ReadIso).
  isoBasic = 1,
  // Fraction digits beyond the sixth when they are all zeros
  // ("12:34:56.123456000", as systems that count nanoseconds write it):
  // they say nothing a microsecond does not. Without it they are
  // TooManyDigits, as any digit beyond the sixth that is not 0 always is.
  isoZeroNanos = 2,
};

// Reads s (blanks around are allowed): a date "yyyy-mm-dd" (years 0001 to
// 9999), a time "hh:nn", "hh:nn:ss" or "hh:nn:ss.f" with 1 to 6 digits after
// '.' or ',' (more under isoZeroNanos), and after a time a zone: "Z", "+hh",
// "+hhmm", "+hh:mm" or "+hh:mm:ss" (or with '-'). Between date and time
// stands 'T' or one blank. kind says which parts the text must have; a Date
// also takes a date followed by exactly midnight without a zone
// ("2024-03-05 00:00:00", as date-time columns write dates). forms adds
// those of TIsoForms; with isoBasic, the basic format, where no number can
// be taken for it: a date "yyyymmdd" (alone, a date the column's type says
// it is), a time "hhnn", "hhnnss" or "hhnnss.f" after 'T' (of a date in
// either format, or for a Time at the start: "T123456"), and both mixed
// with the extended ones ("20240301T12:34:56"). Returns the fault, or None
// with the value in out.
TIsoFault ReadIso(std::string_view s, TIsoKind kind, TIsoValue& out,
                  unsigned forms = isoExtended);
// Reads what ReadIso reads and, beyond it, the forms of a database whose
// dates and times reach further than a date-time (PostgreSQL writes them
// so): a year of five to seven digits ("10000-01-01"), a year before
// Christ ("0044-03-15 BC", "0044-03-15 12:00:00+00 BC"; 1 BC is the year
// before 1, the calendar the proleptic Gregorian one), "infinity" and
// "-infinity" (in any case, a date or date-time), and for a Time the end
// of a day, "24:00:00" (Micros then a whole day). Day counts from day zero
// as ever, far outside the years 1 to 9999 when the text is. The year 0
// (0000-01-01, in either era) is refused as YearZero. Of forms only
// isoZeroNanos counts: those forms are the database's extended ones.
TIsoFault ReadWideIso(std::string_view s, TIsoKind kind, TIsoValue& out,
                      unsigned forms = isoExtended);
// The text of a value ReadWideIso read, as that database writes it:
// "infinity", "-infinity", "0044-03-15 BC", "10000-01-01 12:00:00+01:00",
// "24:00:00"; values within the years 1 to 9999 as IsoText.
std::string WideIsoText(const TIsoValue& value);
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
// falls outside the years 1 to 9999 (unless wide: a value ReadWideIso
// read goes wherever its offset takes it).
bool MoveToUtc(TIsoValue& value, bool wide = false);

}  // namespace korvane

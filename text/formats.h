// Locale-aware conversions between text, numbers and date-time values. Every
// routine is driven by one TFormatSettings object that the host may change;
// nothing here depends on the C library's global locale (numbers go through
// std::from_chars / std::to_chars, characters are classified by hand).
//
// The process-wide settings and the clock are meant to be set up before a
// run, not changed while another thread converts. A run that needs layouts
// of its own puts its own settings in force on its threads
// (TThreadFormatSettings): two such runs on two threads convert side by
// side, each with its own layouts.
#pragma once

#include "core/api.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace korvane {

// Days since 1899-12-30 (day zero), with the time of day as the fraction.
// Dates before day zero are negative, and their fraction is still the time
// of day counted forwards: -1.25 is 1899-12-29 06:00, not 1899-12-28 18:00.
using TDateTime = double;

struct KORVANE_API TFormatSettings {
  char DecimalSeparator = '.';
  char ThousandSeparator = ',';
  char DateSeparator = '/';
  std::string ShortDateFormat = "m/d/yyyy";
  char TimeSeparator = ':';
  std::string LongTimeFormat = "hh:nn:ss";
  std::string TimeAMString = "AM";
  std::string TimePMString = "PM";
  // Two-digit years read by StrToDate: below the pivot they fall in 2000 to
  // 2099, from the pivot up in 1900 to 1999 ("49" is 2049, "50" is 1950).
  // A fixed pivot keeps an import's result independent of the day it runs.
  int TwoDigitYearPivot = 50;
  // Names written by mmm/mmmm and ddd/dddd; days start with Sunday.
  std::array<std::string, 12> ShortMonthNames = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::array<std::string, 12> LongMonthNames = {"January",   "February", "March",    "April",
                                                "May",       "June",     "July",     "August",
                                                "September", "October",  "November", "December"};
  std::array<std::string, 7> ShortDayNames = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  std::array<std::string, 7> LongDayNames = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                             "Thursday", "Friday", "Saturday"};
};

// The settings in force on the calling thread: those a
// TThreadFormatSettings put in force there, else the process-wide ones. The
// host changes them in place.
KORVANE_API TFormatSettings& FormatSettings();
// Puts the defaults back (in the settings FormatSettings() gives).
KORVANE_API void ResetFormatSettings();

// While it lives, FormatSettings() on the thread that made it gives
// *settings, which must outlive it; nullptr gives the process-wide settings
// again. Other threads keep theirs. Nested, the innermost one holds and the
// one before comes back when it ends. A run's own threads take the run's
// settings with ThreadFormatSettings() on the thread that starts them.
class KORVANE_API TThreadFormatSettings {
 public:
  explicit TThreadFormatSettings(TFormatSettings* settings) noexcept;
  ~TThreadFormatSettings();
  TThreadFormatSettings(const TThreadFormatSettings&) = delete;
  TThreadFormatSettings& operator=(const TThreadFormatSettings&) = delete;

 private:
  TFormatSettings* FPrevious;
};
// The settings a TThreadFormatSettings put in force on the calling thread;
// nullptr when the process-wide ones are in force there.
KORVANE_API TFormatSettings* ThreadFormatSettings() noexcept;

// Text to number: an optional sign, digits with at most one
// DecimalSeparator (".5" and "5." are accepted, "." is not), an optional
// exponent ("1.5e3", "2E-4"); leading and trailing blanks (bytes up to 32)
// are allowed. Thousands separators, inner blanks, "inf", "nan" and hex are
// refused, as is a value too large for a double; a value too small for one
// reads as zero. Raises EConvertError ("'%s' is not a valid floating point
// value").
KORVANE_API double StrToFloat(std::string_view s);
KORVANE_API bool TryStrToFloat(std::string_view s, double& value);

// Text to integer: an optional sign and decimal digits, blanks around
// allowed; raises EConvertError ("'%s' is not a valid integer value") for
// any other text and for a value beyond 64 bits (StrToInt: beyond an int).
KORVANE_API std::int64_t StrToInt64(std::string_view s);
KORVANE_API int StrToInt(std::string_view s);

// A money amount in ten-thousandths read exactly from a text StrToFloat
// reads that has no exponent and at most four decimals ("-1234.5" is
// -12345000), when it fits in 64 bits; false, amount untouched, for any
// other text. Such a text needs no rounding, and read through a double some
// amounts of twelve whole digits and more would be off by one ten-thousandth.
bool TryStrToAmount(std::string_view s, std::int64_t& amount);

// Shortest text that reads back as the same double, as std::to_chars
// writes it, with DecimalSeparator for its point: plain digits or a
// mantissa and an exponent, whichever is shorter ("1234.5", "0.001",
// "123456789012345", "1e-05", "1.5e-07", "-2.5e+15"). Negative zero is
// written "0"; infinities and NaN as "INF", "-INF" and "NAN".
KORVANE_API std::string FloatToStr(double value);
// The same text appended to out, for writers that build a line piece by
// piece without a string per value.
KORVANE_API void AppendFloatToStr(std::string& out, double value);
// The same text written into [first, last), like std::to_chars: returns the
// end of the text, or nullptr when it does not fit (the bytes in the range
// are then of no use).
KORVANE_API char* FloatToChars(char* first, char* last, double value);
// The same with decimalSeparator in place of DecimalSeparator, for a writer
// that took the settings once (and may run on a thread of its own).
KORVANE_API char* FloatToChars(char* first, char* last, double value, char decimalSeparator);

// Integer and money texts written in place, for writers that build lines
// without a string per value. Each writes at p, which has room for the
// bytes named, and returns the end of the text.
//
// The decimal digits of value, after a '-' when it is negative.
constexpr std::size_t kIntegerTextRoom = 20;
KORVANE_API char* PutInteger(char* p, std::int64_t value);
// An amount in ten-thousandths with two to four decimals after
// decimalSeparator: "1234.50", "-0.05", "12.3457" (the last two decimals
// only when they are not zeros at the end).
constexpr std::size_t kCurrencyTextRoom = 24;
KORVANE_API char* PutCurrencyAmount(char* p, std::int64_t value, char decimalSeparator);

// Number formats made of '#', '0', ',' and '.' ("###,##0.0", "##0", "0.00",
// "#,##0.00"). '0' and '#' mark digit places: '0' always prints, '#' only
// when it is significant; integer digits beyond the placeholders always
// print. ',' anywhere before the decimal point turns on grouping by three
// with ThousandSeparator; '.' places DecimalSeparator, and the placeholders
// after it set the decimals (trailing zeros kept up to the last '0'). The
// value is rounded half away from zero, working on its shortest decimal
// text, so 2.5 with "0" is "3" and 1.005 with "0.00" is "1.01".
// A negative value gets a leading '-' unless it rounds to zero (-0.04 with
// "0.0" is "0.0", never "-0.0"). Up to three sections separated by ';' give
// the formats for positive, negative (written without '-') and zero values.
// Other characters, and text in single or double quotes, are copied as they
// stand. An empty format gives FloatToStr; infinities and NaN give
// FloatToStr's text.
KORVANE_API std::string FormatFloat(std::string_view format, double value);

// Date and time texts follow ShortDateFormat / LongTimeFormat and the
// separators.
//
// Dates: three numbers in the order of ShortDateFormat's d, m and y parts,
// one- or two-digit day and month, two- or four-digit year (two-digit years
// through TwoDigitYearPivot), separated by DateSeparator or by a separator
// character that ShortDateFormat itself writes literally (so "dd.mm.yyyy"
// texts read back whatever DateSeparator is). Where the format writes the
// month as a name (mmm, mmmm), a short or long month name in any case is
// read too. A format whose parts touch ("yyyymmdd", "ddmmyy") also reads
// texts of exactly its widths: two digits for day and month, two or four
// for the year as the format has it. Years 1 to 9999; the day must exist
// (Feb 29 only in leap years). Between two parts stands one separator
// character or exactly the text the format writes there ("d. mmmm yyyy"
// reads "5. March 2024"); blanks count only as part of such a text.
// Times: "h:n", "h:n:s" or "h:n:s.z" with one- or two-digit hour, minute and
// second, one to three digits of fraction of a second after '.' or
// DecimalSeparator, then optionally blanks and an AM/PM marker (TimeAMString,
// TimePMString, or "AM"/"PM", any case; hours 0 to 12 with a marker, 0 to 23
// without). The separator is TimeSeparator or one that LongTimeFormat writes
// literally.
// Date and time: a date, blanks, a time; or a date alone (midnight), which
// is how DateTimeToStr writes midnight.
// Leading and trailing blanks are allowed everywhere. Failures raise
// EConvertError naming the text: "'%s' is not a valid date", "... time",
// "... date and time".
KORVANE_API TDateTime StrToDate(std::string_view s);
KORVANE_API TDateTime StrToTime(std::string_view s);
KORVANE_API TDateTime StrToDateTime(std::string_view s);
KORVANE_API bool TryStrToDate(std::string_view s, TDateTime& value);
KORVANE_API bool TryStrToTime(std::string_view s, TDateTime& value);
KORVANE_API bool TryStrToDateTime(std::string_view s, TDateTime& value);

// ShortDateFormat; LongTimeFormat; and both joined by a blank, leaving the
// time out when it is exactly midnight (after rounding to milliseconds).
KORVANE_API std::string DateToStr(TDateTime value);
KORVANE_API std::string TimeToStr(TDateTime value);
KORVANE_API std::string DateTimeToStr(TDateTime value);
// The same texts appended to out. A value that raises leaves out as it was.
// The formats are worked out once and kept until the format or a separator
// in the settings changes.
KORVANE_API void AppendDateToStr(std::string& out, TDateTime value);
KORVANE_API void AppendTimeToStr(std::string& out, TDateTime value);
KORVANE_API void AppendDateTimeToStr(std::string& out, TDateTime value);
// The same texts written into [first, last), like std::to_chars: the end of
// the text, or nullptr when the range may be too short for it (its bytes
// are then of no use). They raise like the string forms.
KORVANE_API char* DateToChars(char* first, char* last, TDateTime value);
KORVANE_API char* TimeToChars(char* first, char* last, TDateTime value);
KORVANE_API char* DateTimeToChars(char* first, char* last, TDateTime value);

// Writes many dates in a row, with the text DateToChars gives, without
// looking up ShortDateFormat for each: the format in force when the writer
// is made is worked out once. Make a new writer when the settings change.
class KORVANE_API TDateWriter {
 public:
  TDateWriter();
  ~TDateWriter();
  TDateWriter(const TDateWriter&) = delete;
  TDateWriter& operator=(const TDateWriter&) = delete;

  // The most bytes Put writes; 0 when that depends on the value (the format
  // writes names of days or months): DateToChars then gives the text.
  std::size_t Room() const { return FRoom; }
  // Writes the text of value's date at p, which has Room() bytes, and
  // returns its end. Raises like DateToChars.
  char* Put(char* p, TDateTime value) const;
  // True while the settings give the format the writer was made with.
  bool Current() const;

 private:
  // The worked-out format and how it writes dates (formats_date_writer.cpp).
  struct TState;
  std::unique_ptr<TState> FState;
  std::size_t FRoom = 0;
};

// Date-time formats: d dd ddd dddd (dddd for any longer run), m mm mmm mmmm,
// yy yyyy (y and yy two-digit, longer runs four-digit), h hh n nn s ss,
// z zzz (milliseconds, zzz padded to three digits), am/pm and a/p (written
// in the case they have in the format), ampm (TimeAMString/TimePMString);
// letters are matched in any case. 'm' or 'mm' coming after an h or hh
// (with only literals between) means minutes. h and hh count 1 to 12 when
// the format has an AM/PM part. '/' and ':' write DateSeparator and
// TimeSeparator; text in single or double quotes and every other character
// are copied as they stand. An empty format gives DateTimeToStr.
// Values outside years 1 to 9999, infinities and NaN raise EConvertError.
KORVANE_API std::string FormatDateTime(std::string_view format, TDateTime value);

// EncodeDate raises EConvertError for a day that does not exist or a year
// outside 1 to 9999; EncodeTime for an hour above 23, a minute or second
// above 59 or milliseconds above 999.
KORVANE_API TDateTime EncodeDate(int year, int month, int day);
KORVANE_API TDateTime EncodeTime(int hour, int minute, int second, int msec);
KORVANE_API bool TryEncodeDate(int year, int month, int day, TDateTime& value);
KORVANE_API bool TryEncodeTime(int hour, int minute, int second, int msec, TDateTime& value);
// A date and a time of day as one value (the time goes backwards from a
// negative date, see TDateTime).
KORVANE_API TDateTime ComposeDateTime(TDateTime date, TDateTime time);

// Decoding rounds the value to the nearest millisecond first, so a time just
// short of midnight reads as 00:00:00.000 of the next day, never as 24:00 or
// as 60 seconds. Values outside years 1 to 9999, infinities and NaN raise
// EConvertError.
KORVANE_API void DecodeDate(TDateTime value, std::uint16_t& year, std::uint16_t& month,
                            std::uint16_t& day);
KORVANE_API void DecodeTime(TDateTime value, std::uint16_t& hour, std::uint16_t& minute,
                            std::uint16_t& second, std::uint16_t& msec);
KORVANE_API bool IsLeapYear(int year);
KORVANE_API int DaysInMonth(int year, int month);
// 1 for Sunday to 7 for Saturday.
KORVANE_API int DayOfWeek(TDateTime value);

// The current local date and time. The clock can be replaced (tests set a
// fixed or stepping clock); an empty function restores the system clock.
// SetClock returns the clock it replaces (empty for the system clock).
KORVANE_API TDateTime Now();
using TClockFunction = std::function<TDateTime()>;
KORVANE_API TClockFunction SetClock(TClockFunction clock);

}  // namespace korvane

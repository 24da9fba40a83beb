// Locale-aware conversions between text, numbers and date-time values. Every
// routine is driven by one TFormatSettings object that the host may change;
// nothing here depends on the C library's global locale (numbers go through
// std::from_chars / std::to_chars, characters are classified by hand).
//
// Not thread-safe: the settings and the clock are process-wide and meant to
// be set up before a run, not changed while another thread converts.
#pragma once

#include "platform/api.h"

#include <array>
#include <bit>
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

// The settings in force. The host changes them in place.
KORVANE_API TFormatSettings& FormatSettings();
// Puts the defaults back.
KORVANE_API void ResetFormatSettings();

// Text to number: an optional sign, digits with at most one
// DecimalSeparator (".5" and "5." are accepted, "." is not), an optional
// exponent ("1.5e3", "2E-4"); leading and trailing blanks (bytes up to 32)
// are allowed. Thousands separators, inner blanks, "inf", "nan" and hex are
// refused, as is a value too large for a double; a value too small for one
// reads as zero. Raises EConvertError ("'%s' is not a valid floating point
// value").
KORVANE_API double StrToFloat(std::string_view s);
KORVANE_API bool TryStrToFloat(std::string_view s, double& value);

// A money amount in ten-thousandths read exactly from a text StrToFloat
// reads that has no exponent and at most four decimals ("-1234.5" is
// -12345000), when it fits in 64 bits; false, amount untouched, for any
// other text. Such a text needs no rounding, and read through a double some
// amounts of twelve whole digits and more would be off by one ten-thousandth.
bool TryStrToAmount(std::string_view s, std::int64_t& amount);

// Shortest text that reads back as the same double, with DecimalSeparator.
// Plain digits when the decimal exponent is from -5 to 14 ("1234.5",
// "0.00001", "123456789012345"), otherwise a mantissa and an exponent
// ("1E20", "1.5E-7", "-2.5E15"), which StrToFloat reads back. Negative zero
// is written "0"; infinities and NaN as "INF", "-INF" and "NAN".
KORVANE_API std::string FloatToStr(double value);
// The same text appended to out, for writers that build a line piece by
// piece without a string per value.
KORVANE_API void AppendFloatToStr(std::string& out, double value);
// The same text written into [first, last), like std::to_chars: returns the
// end of the text, or nullptr when it does not fit (the bytes in the range
// are then of no use).
KORVANE_API char* FloatToChars(char* first, char* last, double value);

// Integer and money texts written in place, for writers that build lines
// without a string per value. Each writes at p, which has room for the
// bytes named, and returns the end of the text.
//
// The decimal digits of value, after a '-' when it is negative.
constexpr std::size_t kIntegerTextRoom = 20;
inline char* PutInteger(char* p, std::int64_t value);
// An amount in ten-thousandths with two to four decimals after
// decimalSeparator: "1234.50", "-0.05", "12.3457" (the last two decimals
// only when they are not zeros at the end).
constexpr std::size_t kCurrencyTextRoom = 24;
inline char* PutCurrencyAmount(char* p, std::int64_t value, char decimalSeparator);

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
struct TCompiledDateFormat;
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
  inline char* Put(char* p, TDateTime value) const;
  // True while the settings give the format the writer was made with.
  bool Current() const;

 private:
  // A number of the date with at least `width` digits (2 and 4: exactly),
  // then the suffix character when there is one.
  struct TPiece {
    std::uint8_t part;  // day, month, two-digit year, year
    std::uint8_t width;
    char suffix;
    bool hasSuffix;
  };

  // The text of a day and month, by the day of the year from March 1.
  struct TMonthDay {
    char text[7];
    std::uint8_t length;
  };

  // Put's cases: whole days under a format with a table of days and
  // months, inline; everything else out of line.
  inline char* PutTabled(char* p, std::int32_t day) const;
  inline char* PutYear(char* p, std::uint32_t year) const;
  char* PutOther(char* p, TDateTime value) const;

  std::unique_ptr<TCompiledDateFormat> FFormat;
  std::string FShortDateFormat;
  char FDateSeparator;
  char FTimeSeparator;
  std::size_t FRoom = 0;
  std::array<TPiece, 6> FPieces{};
  std::size_t FPieceCount = 0;  // 0: the format is written step by step
  // With the pieces of the day and month in a table: the year's piece and
  // where it goes (0 nowhere, 1 first, 2 last).
  std::unique_ptr<TMonthDay[]> FMonthDays;
  TPiece FYear{};
  std::uint8_t FYearPlace = 0;
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

// ---------------------------------------------------------------------------
// The number writers above, inline so that writers of many values in a row
// need no call per value.

namespace number_text {

// The decimal digits of u (below 10^8) as eight byte values from 0 to 9,
// leading zeros included, the first digit in the lowest byte. The two
// halves of four digits, then the four pairs, then the eight digits are
// split in every lane at once, each division a multiplication by a scaled
// inverse that is exact for the lane's range.
inline std::uint64_t DigitLanes(std::uint32_t u) {
  std::uint64_t x = (u / 10000) | (std::uint64_t{u % 10000} << 32);
  std::uint64_t q = ((x * 10486) >> 20) & 0x0000007F0000007Full;
  x = q | ((x - q * 100) << 16);
  q = ((x * 103) >> 10) & 0x000F000F000F000Full;
  return q | ((x - q * 10) << 8);
}

constexpr std::uint64_t kZeros = 0x3030303030303030ull;

// Stores the lanes' bytes in memory order, lowest first.
inline void StoreLanes(char* p, std::uint64_t lanes) {
  if constexpr (std::endian::native == std::endian::big) lanes = __builtin_bswap64(lanes);
  std::memcpy(p, &lanes, 8);
}
inline void StoreLanes(char* p, std::uint32_t lanes) {
  if constexpr (std::endian::native == std::endian::big) lanes = __builtin_bswap32(lanes);
  std::memcpy(p, &lanes, 4);
}

// Writes u's digits (u below 10^8) and returns their end. Stores eight
// bytes.
inline char* PutUpTo8(char* p, std::uint32_t u) {
  const std::uint64_t lanes = DigitLanes(u);
  // The leading zeros are the low bytes that are 0; the last digit always
  // counts, also for 0.
  const int zeros = std::countr_zero(lanes | (std::uint64_t{1} << 56)) / 8;
  StoreLanes(p, (lanes | kZeros) >> (8 * zeros));
  return p + 8 - zeros;
}

// Writes u (below 10^8) as exactly eight digits.
inline void Put8(char* p, std::uint32_t u) { StoreLanes(p, DigitLanes(u) | kZeros); }

// Writes u's digits and returns their end. Stores at most twenty bytes.
inline char* PutUnsigned(char* p, std::uint64_t u) {
  constexpr std::uint64_t k8 = 100000000;
  if (u < k8) return PutUpTo8(p, static_cast<std::uint32_t>(u));
  if (u < k8 * k8) {
    p = PutUpTo8(p, static_cast<std::uint32_t>(u / k8));
    Put8(p, static_cast<std::uint32_t>(u % k8));
    return p + 8;
  }
  p = PutUpTo8(p, static_cast<std::uint32_t>(u / (k8 * k8)));
  const std::uint64_t rest = u % (k8 * k8);
  Put8(p, static_cast<std::uint32_t>(rest / k8));
  Put8(p + 8, static_cast<std::uint32_t>(rest % k8));
  return p + 16;
}

inline std::uint64_t Magnitude(std::int64_t value) {
  return value < 0 ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
}

}  // namespace number_text

namespace date_text {

// Whole days of years 1 to 9999.
constexpr std::int32_t kFirstDay = -693593;  // 0001-01-01
constexpr std::int32_t kLastDay = 2958465;   // 9999-12-31

// The year counted from March 1 (January and February belong to the year
// before) and the day of that year (0 to 365) of a day number from
// kFirstDay to kLastDay. Counted from 0000-03-01 every such day is
// positive, so the arithmetic is unsigned and 32 bits wide: centuries of
// 146097 / 4 days, then years of 1461 / 4 days inside a century (a
// multiply by the inverse of 1461 and a shift).
inline void MarchYearAndDay(std::int32_t dayNumber, std::uint32_t& year, std::uint32_t& dayOfYear) {
  // Day zero is day 693899 counted from 0000-03-01.
  const auto n = static_cast<std::uint32_t>(dayNumber + 693899);
  const std::uint32_t n1 = 4 * n + 3;
  const std::uint32_t century = n1 / 146097;
  const std::uint32_t dayOfCentury = n1 % 146097 / 4;
  const std::uint64_t n2 = std::uint64_t{2939745} * (4 * dayOfCentury + 3);
  year = 100 * century + static_cast<std::uint32_t>(n2 >> 32);
  dayOfYear = static_cast<std::uint32_t>(n2) / 2939745 / 4;
}

}  // namespace date_text

inline char* TDateWriter::Put(char* p, TDateTime value) const {
  if (FMonthDays && value >= date_text::kFirstDay && value <= date_text::kLastDay) {
    const auto day = static_cast<std::int32_t>(value);
    if (value == static_cast<double>(day)) return PutTabled(p, day);
  }
  return PutOther(p, value);
}

inline char* TDateWriter::PutTabled(char* p, std::int32_t day) const {
  std::uint32_t year = 0;
  std::uint32_t dayOfYear = 0;
  date_text::MarchYearAndDay(day, year, dayOfYear);
  year += dayOfYear >= 306 ? 1 : 0;  // January and February
  const TMonthDay& monthDay = FMonthDays[dayOfYear];
  if (FYearPlace == 1) p = PutYear(p, year);
  std::memcpy(p, monthDay.text, sizeof monthDay.text);
  p += monthDay.length;
  return FYearPlace == 2 ? PutYear(p, year) : p;
}

// The year's piece of a format with a table: its four digits as byte
// lanes, of which two-digit years keep the last two.
inline char* TDateWriter::PutYear(char* p, std::uint32_t year) const {
  std::uint32_t x = (year / 100) | (year % 100) << 16;
  const std::uint32_t q = ((x * 103) >> 10) & 0x000F000Fu;
  x = q | ((x - q * 10) << 8) | 0x30303030u;
  if (FYear.width == 4) {
    number_text::StoreLanes(p, x);
    p += 4;
  } else {
    number_text::StoreLanes(p, x >> 16);
    p += 2;
  }
  *p = FYear.suffix;
  return p + (FYear.hasSuffix ? 1 : 0);
}

inline char* PutInteger(char* p, std::int64_t value) {
  *p = '-';
  return number_text::PutUnsigned(p + (value < 0 ? 1 : 0), number_text::Magnitude(value));
}

inline char* PutCurrencyAmount(char* p, std::int64_t value, char decimalSeparator) {
  const std::uint64_t magnitude = number_text::Magnitude(value);
  *p = '-';
  p = number_text::PutUnsigned(p + (value < 0 ? 1 : 0), magnitude / 10000);
  // The four decimals as byte values, split like DigitLanes does.
  const auto fraction = static_cast<std::uint32_t>(magnitude % 10000);
  std::uint32_t x = (fraction / 100) | (fraction % 100) << 16;
  const std::uint32_t q = ((x * 103) >> 10) & 0x000F000Fu;
  x = q | ((x - q * 10) << 8);
  // Two decimals always, the third and fourth only when they are not zeros
  // at the end: one dropped for each high byte that is 0.
  const int dropped = std::countl_zero(x | 0xFFFFu) / 8;
  *p = decimalSeparator;
  number_text::StoreLanes(p + 1, x | 0x30303030u);
  return p + 5 - dropped;
}

}  // namespace korvane

// Locale-aware conversions between text, numbers and date-time values. Every
// routine is driven by one TFormatSettings object that the host may change;
// nothing here depends on the C library's global locale.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace korvane {

// Days since 1899-12-30 (day zero), with the time of day as the fraction.
using TDateTime = double;

struct TFormatSettings {
  char DecimalSeparator = '.';
  char ThousandSeparator = ',';
  char DateSeparator = '/';
  std::string ShortDateFormat = "m/d/yyyy";
  char TimeSeparator = ':';
  std::string LongTimeFormat = "hh:nn:ss";
  std::string TimeAMString = "AM";
  std::string TimePMString = "PM";
};

// The settings in force. The host changes them in place.
TFormatSettings& FormatSettings();
// Puts the defaults back.
void ResetFormatSettings();

// Text to number: an optional sign, digits with at most one
// DecimalSeparator, an optional exponent; leading and trailing blanks are
// allowed. Raises EConvertError ("'%s' is not a valid floating point value").
double StrToFloat(std::string_view s);
bool TryStrToFloat(std::string_view s, double& value);

// Shortest text that reads back as the same double, with DecimalSeparator.
std::string FloatToStr(double value);

// Number formats of sections made of '#', '0', ',' and '.' ("###,##0.0",
// "##0", "0.00", ...): ',' anywhere in the integer part turns on grouping
// with ThousandSeparator, '.' places DecimalSeparator, the count of '0' and
// '#' after it sets the decimals (rounded half away from zero).
std::string FormatFloat(std::string_view format, double value);

// Date and time texts follow ShortDateFormat / LongTimeFormat and the
// separators. Parsing accepts the order of ShortDateFormat's d, m and y
// parts, one- or two-digit day and month, two- or four-digit years.
// Failures raise EConvertError naming the text.
TDateTime StrToDate(std::string_view s);
TDateTime StrToTime(std::string_view s);
TDateTime StrToDateTime(std::string_view s);
bool TryStrToDate(std::string_view s, TDateTime& value);

std::string DateToStr(TDateTime value);
std::string TimeToStr(TDateTime value);
std::string DateTimeToStr(TDateTime value);

// Date-time formats: d dd ddd dddd m mm mmm mmmm yy yyyy h hh n nn s ss z zzz
// am/pm a/p ampm, '/' and ':' for the date and time separators, quoted text.
std::string FormatDateTime(std::string_view format, TDateTime value);

TDateTime EncodeDate(int year, int month, int day);  // raises EConvertError
TDateTime EncodeTime(int hour, int minute, int second, int msec);
bool TryEncodeDate(int year, int month, int day, TDateTime& value);
void DecodeDate(TDateTime value, std::uint16_t& year, std::uint16_t& month, std::uint16_t& day);
void DecodeTime(TDateTime value, std::uint16_t& hour, std::uint16_t& minute,
                std::uint16_t& second, std::uint16_t& msec);

// The current local date and time. The clock can be replaced (tests set a
// fixed or stepping clock); an empty function restores the system clock.
TDateTime Now();
using TClockFunction = std::function<TDateTime()>;
TClockFunction SetClock(TClockFunction clock);

}  // namespace korvane

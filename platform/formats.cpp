#include "platform/formats.h"

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

#include "platform/sysutils.h"

namespace korvane {

namespace {

// The settings in force. Constant-initialized, so they are there before any
// other static object is built, and reading them costs no guard.
constinit TFormatSettings gSettings;

// ---------------------------------------------------------------------------
// Characters. Classified by hand: <cctype> follows the global locale.

bool IsDigitChar(char c) { return c >= '0' && c <= '9'; }
bool IsBlankChar(char c) { return static_cast<unsigned char>(c) <= 32; }
bool IsLetterChar(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
char LowerChar(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

std::string_view TrimView(std::string_view s) {
  while (!s.empty() && IsBlankChar(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlankChar(s.back())) s.remove_suffix(1);
  return s;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (LowerChar(a[i]) != LowerChar(b[i])) return false;
  }
  return true;
}

// True when `word` (lower case) stands at position i of s, in any case.
bool MatchAt(std::string_view s, std::size_t i, std::string_view word) {
  return i + word.size() <= s.size() && EqualsNoCase(s.substr(i, word.size()), word);
}

// Decimal digits of value, zero-padded to at least `width` digits, in one
// append.
void AppendInt(std::string& out, long long value, int width = 0) {
  char buf[32];
  char* const end = buf + sizeof buf;
  char* p = end;
  const bool negative = value < 0;
  unsigned long long u = negative ? 0ull - static_cast<unsigned long long>(value)
                                  : static_cast<unsigned long long>(value);
  do {
    *--p = static_cast<char>('0' + u % 10);
    u /= 10;
  } while (u != 0);
  while (end - p < width && p > buf + 1) *--p = '0';
  if (negative) *--p = '-';
  out.append(p, end);
}

[[noreturn]] void ThrowNotValid(std::string_view text, const char* what) {
  std::string message;
  message.reserve(text.size() + 40);
  message += '\'';
  message.append(text);
  message += "' is not a valid ";
  message += what;
  throw EConvertError(message);
}

// ---------------------------------------------------------------------------
// Process-wide state.

TClockFunction& ClockSlot() {
  static TClockFunction clock;
  return clock;
}

// ---------------------------------------------------------------------------
// Numbers.

// A finite, non-zero magnitude as decimal digits: the value is
// 0.d1d2d3... * 10^point, i.e. `point` digits stand before the decimal point
// (none when point <= 0). Digits never start with '0'.
struct Decimal {
  char digits[40];
  int count = 0;
  int point = 0;
};

// Shortest digits that read back as |value| (value finite and non-zero).
void ShortestDecimal(double value, Decimal& d) {
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, std::fabs(value), std::chars_format::scientific);
  const char* p = buf;
  d.count = 0;
  while (p < res.ptr && *p != 'e') {
    if (IsDigitChar(*p)) d.digits[d.count++] = *p;
    ++p;
  }
  int exponent = 0;
  if (p < res.ptr) {
    ++p;  // 'e'
    bool negative = *p == '-';
    if (*p == '+' || *p == '-') ++p;
    std::from_chars(p, res.ptr, exponent);
    if (negative) exponent = -exponent;
  }
  d.point = exponent + 1;
}

// Rounds d half away from zero to `decimals` digits after the point and
// drops trailing zeros; the count becomes 0 when the value rounds to zero.
void RoundDecimal(Decimal& d, int decimals) {
  int keep = d.point + decimals;
  if (keep < d.count) {
    if (keep < 0) {
      d.count = 0;
    } else {
      bool up = d.digits[keep] >= '5';
      d.count = keep;
      if (up) {
        int i = d.count - 1;
        while (i >= 0 && d.digits[i] == '9') --i;
        if (i < 0) {  // 999 -> 1000: one digit "1", one place further left
          d.digits[0] = '1';
          d.count = 1;
          ++d.point;
        } else {
          ++d.digits[i];
          d.count = i + 1;
        }
      }
    }
  }
  while (d.count > 0 && d.digits[d.count - 1] == '0') --d.count;
}

// The end of ParseFloat for texts of many digits or a large exponent,
// checked already: the digits from intBegin on, the decimal separator at
// intEnd when there is one. Out of line, so the short texts keep a small
// frame.
[[gnu::noinline]] bool ParseLongFloat(std::string_view t, char decimal, bool negative,
                                      std::size_t intBegin, std::size_t intEnd,
                                      std::size_t fracBegin, std::size_t fracEnd, long exponent,
                                      double& value) {
  // std::from_chars reads the checked text once the decimal separator is a
  // '.'; only another separator needs a copy.
  const std::string_view body = t.substr(intBegin);
  const char* first = body.data();
  char local[64];
  std::string heap;
  if (decimal != '.' && intEnd < t.size() && t[intEnd] == decimal) {
    char* copy = local;
    if (body.size() > sizeof local) {
      heap.assign(body);
      copy = heap.data();
    } else {
      body.copy(local, body.size());
    }
    copy[intEnd - intBegin] = '.';
    first = copy;
  }
  double result = 0;
  auto res = std::from_chars(first, first + body.size(), result);
  if (res.ec == std::errc::result_out_of_range) {
    // Overflow is an error; a magnitude below the smallest double is zero.
    // The decimal exponent of the first significant digit tells them apart.
    long magnitude = 0;
    std::size_t k = intBegin;
    while (k < intEnd && t[k] == '0') ++k;
    if (k < intEnd) {
      magnitude = static_cast<long>(intEnd - k) - 1;
    } else {
      std::size_t f = fracBegin;
      while (f < fracEnd && t[f] == '0') ++f;
      magnitude = -static_cast<long>(f - fracBegin) - 1;
    }
    if (magnitude + exponent >= 0) return false;
    result = 0;
  } else if (res.ec != std::errc() || res.ptr != first + body.size()) {
    return false;
  }
  value = negative ? -result : result;
  return true;
}

bool ParseFloat(std::string_view text, double& value) {
  const std::string_view t = TrimView(text);
  const char decimal = FormatSettings().DecimalSeparator;
  std::size_t i = 0;
  bool negative = false;
  if (i < t.size() && (t[i] == '+' || t[i] == '-')) {
    negative = t[i] == '-';
    ++i;
  }
  // The digits are gathered as an integer while they are checked: up to 19
  // significant ones (leading zeros count for nothing) fit in 64 bits, and
  // `significant` goes past 19 once there are more.
  std::uint64_t mantissa = 0;
  int significant = 0;
  auto digitsFrom = [&](std::size_t k) {
    for (; k < t.size(); ++k) {
      const unsigned digit = static_cast<unsigned char>(t[k]) - unsigned{'0'};
      if (digit > 9) break;
      if (significant < 19) {
        mantissa = mantissa * 10 + digit;
        if (mantissa != 0) ++significant;
      } else {
        ++significant;
      }
    }
    return k;
  };
  const std::size_t intBegin = i;
  i = digitsFrom(i);
  const std::size_t intEnd = i;
  std::size_t fracBegin = i;
  std::size_t fracEnd = i;
  if (i < t.size() && t[i] == decimal) {
    fracBegin = ++i;
    i = digitsFrom(i);
    fracEnd = i;
  }
  if (intEnd == intBegin && fracEnd == fracBegin) return false;
  long exponent = 0;  // saturated: only its sign matters once it is large
  if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
    ++i;
    bool expNegative = false;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) {
      expNegative = t[i] == '-';
      ++i;
    }
    std::size_t digitsBegin = i;
    while (i < t.size() && IsDigitChar(t[i])) {
      if (exponent < 100000) exponent = exponent * 10 + (t[i] - '0');
      ++i;
    }
    if (i == digitsBegin) return false;
    if (expNegative) exponent = -exponent;
  }
  if (i != t.size()) return false;

  // Few digits and a small power of ten: the digits as an integer, scaled by
  // one exact power of ten. When the integer is exact in a double (at most
  // 2^53) and so is the power (up to 10^22), one multiplication or division
  // rounds correctly, which is what from_chars would give.
  const long scale = exponent - static_cast<long>(fracEnd - fracBegin);
  if (significant <= 19 && mantissa <= (std::uint64_t{1} << 53) && scale >= -22 && scale <= 22) {
    static constexpr double kPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                         1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                         1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    double result = static_cast<double>(mantissa);
    if (scale < 0) {
      result /= kPowers[-scale];
    } else {
      result *= kPowers[scale];
    }
    value = negative ? -result : result;
    return true;
  }

  return ParseLongFloat(t, decimal, negative, intBegin, intEnd, fracBegin, fracEnd, exponent,
                        value);
}

std::string NonFiniteText(double value) {
  if (std::isnan(value)) return "NAN";
  return value < 0 ? "-INF" : "INF";
}

// The most bytes FloatToStr's text takes: a sign, "0.", four zeros and 17
// digits, or a sign, 17 digits, a separator and an exponent like "E-324".
constexpr std::size_t kFloatTextRoom = 32;

// Writes FloatToStr's text at p, which has room for kFloatTextRoom bytes,
// and returns its end.
char* PutFloat(char* p, double value) {
  if (!std::isfinite(value)) {
    const std::string text = NonFiniteText(value);
    return p + text.copy(p, text.size());
  }
  if (value == 0) {
    *p = '0';
    return p + 1;
  }
  const char decimal = FormatSettings().DecimalSeparator;
  Decimal d;
  ShortestDecimal(value, d);
  auto put = [&p](const char* from, int count) {
    std::memcpy(p, from, static_cast<std::size_t>(count));
    p += count;
  };
  auto zeros = [&p](int count) {
    std::memset(p, '0', static_cast<std::size_t>(count));
    p += count;
  };
  if (value < 0) *p++ = '-';
  const int exponent = d.point - 1;
  if (exponent >= -5 && exponent < 15) {
    if (d.point <= 0) {
      *p++ = '0';
      *p++ = decimal;
      zeros(-d.point);
      put(d.digits, d.count);
    } else if (d.point >= d.count) {
      put(d.digits, d.count);
      zeros(d.point - d.count);
    } else {
      put(d.digits, d.point);
      *p++ = decimal;
      put(d.digits + d.point, d.count - d.point);
    }
  } else {
    *p++ = d.digits[0];
    if (d.count > 1) {
      *p++ = decimal;
      put(d.digits + 1, d.count - 1);
    }
    *p++ = 'E';
    p = std::to_chars(p, p + 8, exponent).ptr;
  }
  return p;
}

// One section of a number format, measured before it is written.
struct NumberSection {
  std::string_view text;
  int intPlaces = 0;  // '#' and '0' before the decimal point
  int minInt = 0;     // integer digits always written (from the first '0')
  int maxFrac = 0;    // placeholders after the decimal point
  int minFrac = 0;    // ... up to and including the last '0'
  bool grouping = false;
  bool hasPoint = false;
};

NumberSection MeasureSection(std::string_view text) {
  NumberSection s;
  s.text = text;
  int firstZero = -1;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\'' || c == '"') {
      std::size_t close = text.find(c, i + 1);
      i = close == std::string_view::npos ? text.size() : close;
    } else if (c == '#' || c == '0') {
      if (!s.hasPoint) {
        if (c == '0' && firstZero < 0) firstZero = s.intPlaces;
        ++s.intPlaces;
      } else {
        ++s.maxFrac;
        if (c == '0') s.minFrac = s.maxFrac;
      }
    } else if (c == ',' && !s.hasPoint) {
      s.grouping = true;
    } else if (c == '.' && !s.hasPoint) {
      s.hasPoint = true;
    }
  }
  s.minInt = firstZero < 0 ? 0 : s.intPlaces - firstZero;
  return s;
}

// Writes |value| through one section; `minus` puts a '-' in front. `isZero`
// tells whether the value rounded to zero.
std::string RenderSection(const NumberSection& s, double value, bool minus, bool& isZero) {
  const TFormatSettings& fs = FormatSettings();
  Decimal d;
  if (value != 0) {
    ShortestDecimal(value, d);
    RoundDecimal(d, s.maxFrac);
  }
  isZero = d.count == 0;

  // Integer digits, at least minInt of them.
  std::string intDigits;
  if (!isZero && d.point > 0) {
    int fromDigits = d.point < d.count ? d.point : d.count;
    intDigits.append(d.digits, static_cast<std::size_t>(fromDigits));
    intDigits.append(static_cast<std::size_t>(d.point - fromDigits), '0');
  }
  if (static_cast<int>(intDigits.size()) < s.minInt) {
    intDigits.insert(0, static_cast<std::size_t>(s.minInt) - intDigits.size(), '0');
  }
  // Fraction digits, trailing zeros dropped down to minFrac.
  std::string frac(static_cast<std::size_t>(s.maxFrac), '0');
  if (!isZero) {
    for (int j = 0; j < s.maxFrac; ++j) {
      int k = d.point + j;
      if (k >= 0 && k < d.count) frac[static_cast<std::size_t>(j)] = d.digits[k];
    }
  }
  std::size_t fracLen = frac.size();
  while (fracLen > static_cast<std::size_t>(s.minFrac) && frac[fracLen - 1] == '0') --fracLen;

  const int len = static_cast<int>(intDigits.size());
  std::string out;
  out.reserve(s.text.size() + intDigits.size() + intDigits.size() / 3 + 4);
  if (minus && !isZero) out += '-';
  // Writes the integer digit `fromRight` places left of the point, followed
  // by a group separator where one is due.
  auto putDigit = [&](int fromRight) {
    out += intDigits[static_cast<std::size_t>(len - 1 - fromRight)];
    if (s.grouping && fromRight > 0 && fromRight % 3 == 0) out += fs.ThousandSeparator;
  };
  auto putIntegerDigitsFrom = [&](int lowest) {
    for (int p = len - 1; p >= lowest; --p) putDigit(p);
  };

  int intIndex = 0;
  int fracIndex = 0;
  bool afterPoint = false;
  const std::string_view text = s.text;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\'' || c == '"') {
      std::size_t close = text.find(c, i + 1);
      if (close == std::string_view::npos) close = text.size();
      out.append(text.substr(i + 1, close - i - 1));
      i = close;
    } else if ((c == '#' || c == '0') && !afterPoint) {
      int fromRight = s.intPlaces - 1 - intIndex;
      if (intIndex == 0) {
        putIntegerDigitsFrom(fromRight);  // digits beyond the placeholders go first
      } else if (fromRight < len) {
        putDigit(fromRight);
      }
      ++intIndex;
    } else if (c == '#' || c == '0') {
      if (fracIndex < static_cast<int>(fracLen)) out += frac[static_cast<std::size_t>(fracIndex)];
      ++fracIndex;
    } else if (c == '.' && !afterPoint) {
      afterPoint = true;
      if (s.intPlaces == 0) putIntegerDigitsFrom(0);
      if (fracLen > 0) out += fs.DecimalSeparator;
    } else if (c == ',') {
      // grouping marker, measured already
    } else {
      out += c;
    }
  }
  return out;
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

// The March year and day of the year of a day number from kMinDay to
// kMaxDay (see date_text::MarchYearAndDay).
static_assert(kMinDay == date_text::kFirstDay && kMaxDay == date_text::kLastDay);
static_assert(kMarchDayZero - MarchDayCount(0, 3, 1) == 693899);
void MarchYearAndDay(long long dayNumber, std::uint32_t& year, std::uint32_t& dayOfYear) {
  date_text::MarchYearAndDay(static_cast<std::int32_t>(dayNumber), year, dayOfYear);
}

// The month and day of a day of the year counted from March 1: months of
// 153 / 5 days (a multiply by 2141 over 65536). True for January and
// February, which belong to the next calendar year.
bool MonthAndDay(std::uint32_t dayOfYear, int& m, int& d) {
  const std::uint32_t n3 = 2141 * dayOfYear + 197913;
  const std::uint32_t month = n3 >> 16;    // 3 to 14
  const bool nextYear = dayOfYear >= 306;  // January and February
  d = static_cast<int>((n3 & 0xFFFF) / 2141 + 1);
  m = static_cast<int>(nextYear ? month - 12 : month);
  return nextYear;
}

// The civil date of a day number from kMinDay to kMaxDay.
void CivilFromDays(long long dayNumber, int& y, int& m, int& d) {
  std::uint32_t year = 0;
  std::uint32_t dayOfYear = 0;
  MarchYearAndDay(dayNumber, year, dayOfYear);
  y = static_cast<int>(year + (MonthAndDay(dayOfYear, m, d) ? 1 : 0));
}

// Splits a date-time into its day number and its time of day, rounded to
// the millisecond (a rounding up to midnight moves to the next day).
void SplitDateTime(TDateTime value, long long& day, long long& msOfDay) {
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

DateTimeParts DecodeParts(TDateTime value) {
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

// True when the format writes an AM/PM part, which turns h into 1 to 12.
bool HasAmPm(std::string_view f) {
  for (std::size_t i = 0; i < f.size(); ++i) {
    char c = f[i];
    if (c == '\'' || c == '"') {
      std::size_t close = f.find(c, i + 1);
      if (close == std::string_view::npos) return false;
      i = close;
    } else if (LowerChar(c) == 'a' &&
               (MatchAt(f, i, "am/pm") || MatchAt(f, i, "a/p") || MatchAt(f, i, "ampm"))) {
      return true;
    }
  }
  return false;
}

// A date-time format worked out once into the steps that write it: literal
// texts (with '/' and ':' already turned into the separators in force) and
// the parts of the value with their widths. Names and AM/PM strings are
// taken from the settings as each value is written, so only the format and
// the two separators decide whether a compiled format still holds.
enum class WriteStep : std::uint8_t {
  kLiteral,  // literals[from, from + length)
  kDay,      // at least `width` digits
  kShortDayName,
  kLongDayName,
  kMonth,
  kShortMonthName,
  kLongMonthName,
  kYear2,  // always two digits
  kYear4,  // always four digits
  kHour,   // 1 to 12 when the format has an AM/PM part
  kMinute,
  kSecond,
  kMsec,
  kAmPmLiteral,   // literals[from, +length) before noon, the next `length` after
  kAmPmSettings,  // TimeAMString / TimePMString
};

struct WriteOp {
  WriteStep step;
  std::uint8_t width;
  // A one-character literal that follows the step ("m/d/yyyy" is three
  // steps), so that most formats take one step per part.
  bool hasSuffix;
  char suffix;
  std::uint32_t from;
  std::uint32_t length;
};

}  // namespace

struct TCompiledDateFormat {
  std::vector<WriteOp> ops;
  std::string literals;
  // The longest text the numbers and literals make; names and the AM/PM
  // strings of the settings come on top.
  std::size_t fixedBound = 0;
  bool hasNames = false;
  bool twelveHour = false;
};

namespace {

using CompiledDateFormat = TCompiledDateFormat;

void CompileDateFormat(std::string_view f, CompiledDateFormat& c) {
  const TFormatSettings& fs = FormatSettings();
  c.ops.clear();
  c.literals.clear();
  c.fixedBound = 0;
  c.hasNames = false;
  c.twelveHour = HasAmPm(f);
  auto literal = [&c](std::string_view text) {
    if (text.empty()) return;
    c.fixedBound += text.size();
    if (!c.ops.empty() && c.ops.back().step != WriteStep::kLiteral && !c.ops.back().hasSuffix &&
        text.size() == 1) {
      c.ops.back().hasSuffix = true;
      c.ops.back().suffix = text[0];
      return;
    }
    if (!c.ops.empty() && c.ops.back().step == WriteStep::kLiteral) {
      c.ops.back().length += static_cast<std::uint32_t>(text.size());
    } else {
      c.ops.push_back({WriteStep::kLiteral, 0, false, 0,
                       static_cast<std::uint32_t>(c.literals.size()),
                       static_cast<std::uint32_t>(text.size())});
    }
    c.literals.append(text);
  };
  // longest: the most digits the part can have.
  auto number = [&c](WriteStep step, std::size_t width, std::size_t longest) {
    c.ops.push_back({step, static_cast<std::uint8_t>(width), false, 0, 0, 0});
    c.fixedBound += width > longest ? width : longest;
  };
  auto name = [&c](WriteStep step) {
    c.ops.push_back({step, 0, false, 0, 0, 0});
    c.hasNames = true;
  };
  bool afterHour = false;  // an 'm' right after an hour means minutes
  std::size_t i = 0;
  while (i < f.size()) {
    const char ch = f[i];
    const char lc = LowerChar(ch);
    if (ch == '\'' || ch == '"') {
      std::size_t close = f.find(ch, i + 1);
      if (close == std::string_view::npos) close = f.size();
      literal(f.substr(i + 1, close - i - 1));
      i = close + 1;
      continue;
    }
    if (lc == 'a') {
      const bool full = MatchAt(f, i, "am/pm");
      if (full || MatchAt(f, i, "a/p")) {
        // Morning and afternoon texts as the format spells them, equally long.
        const std::size_t length = full ? 2 : 1;
        c.ops.push_back({WriteStep::kAmPmLiteral, 0, false, 0,
                         static_cast<std::uint32_t>(c.literals.size()),
                         static_cast<std::uint32_t>(length)});
        c.literals.append(f.substr(i, length));
        c.literals.append(f.substr(i + length + 1, length));
        c.fixedBound += length;
        i += 2 * length + 1;
      } else if (MatchAt(f, i, "ampm")) {
        name(WriteStep::kAmPmSettings);
        i += 4;
      } else {
        literal(f.substr(i, 1));
        ++i;
      }
      continue;
    }
    if (lc == 'd' || lc == 'm' || lc == 'y' || lc == 'h' || lc == 'n' || lc == 's' || lc == 'z') {
      std::size_t n = 1;
      while (i + n < f.size() && LowerChar(f[i + n]) == lc) ++n;
      const std::size_t shortWidth = n >= 2 ? 2 : 1;
      bool hourToken = false;
      switch (lc) {
        case 'd':
          if (n <= 2) {
            number(WriteStep::kDay, n, 2);
          } else {
            name(n == 3 ? WriteStep::kShortDayName : WriteStep::kLongDayName);
          }
          break;
        case 'm':
          if (n <= 2) {
            number(afterHour ? WriteStep::kMinute : WriteStep::kMonth, n, 2);
          } else {
            name(n == 3 ? WriteStep::kShortMonthName : WriteStep::kLongMonthName);
          }
          break;
        case 'y':
          if (n <= 2) {
            number(WriteStep::kYear2, 2, 2);
          } else {
            number(WriteStep::kYear4, 4, 4);
          }
          break;
        case 'h':
          number(WriteStep::kHour, shortWidth, 2);
          hourToken = true;
          break;
        case 'n':
          number(WriteStep::kMinute, shortWidth, 2);
          break;
        case 's':
          number(WriteStep::kSecond, shortWidth, 2);
          break;
        default:  // 'z'
          number(WriteStep::kMsec, n >= 3 ? 3 : 1, 3);
          break;
      }
      afterHour = hourToken;
      i += n;
      continue;
    }
    if (ch == '/') {
      literal(std::string_view(&fs.DateSeparator, 1));
    } else if (ch == ':') {
      literal(std::string_view(&fs.TimeSeparator, 1));
    } else {
      literal(f.substr(i, 1));
    }
    ++i;
  }
}

constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// Writes u (below 100) as two digits.
char* PutTwo(char* p, unsigned u) {
  std::memcpy(p, kDigitPairs + 2 * u, 2);
  return p + 2;
}

// Writes u (below 100) with one digit or, when it needs them or width is
// 2, two. Always stores two bytes (the second may be overwritten by what
// follows), so that the digit count costs no branch.
char* PutSmall(char* p, unsigned u, unsigned width) {
  const unsigned two = (u >= 10 ? 1u : 0u) | (width >= 2 ? 1u : 0u);
  std::memcpy(p, kDigitPairs + 2 * u + 1 - two, 2);
  return p + 1 + two;
}

// Writes u (below 1000) with at least `width` (1 or 3) digits.
char* PutMsec(char* p, unsigned u, unsigned width) {
  if (u >= 100 || width >= 3) {
    *p = static_cast<char>('0' + u / 100);
    return PutTwo(p + 1, u % 100);
  }
  return PutSmall(p, u, 1);
}

char* PutText(char* p, std::string_view s) {
  s.copy(p, s.size());
  return p + s.size();
}

// The text a name step writes for a value, from the settings in force.
const std::string& NameText(WriteStep step, const TFormatSettings& fs, const DateTimeParts& parts) {
  const auto day = static_cast<std::size_t>(parts.dayOfWeek);
  const auto month = static_cast<std::size_t>(parts.month - 1);
  switch (step) {
    case WriteStep::kShortDayName:
      return fs.ShortDayNames[day];
    case WriteStep::kLongDayName:
      return fs.LongDayNames[day];
    case WriteStep::kShortMonthName:
      return fs.ShortMonthNames[month];
    case WriteStep::kLongMonthName:
      return fs.LongMonthNames[month];
    default:  // kAmPmSettings
      return parts.hour >= 12 ? fs.TimePMString : fs.TimeAMString;
  }
}

bool IsNameStep(WriteStep step) {
  return step == WriteStep::kShortDayName || step == WriteStep::kLongDayName ||
         step == WriteStep::kShortMonthName || step == WriteStep::kLongMonthName ||
         step == WriteStep::kAmPmSettings;
}

// The most bytes the value's text can take under a compiled format.
std::size_t CompiledBound(const CompiledDateFormat& c, const TFormatSettings& fs,
                          const DateTimeParts& parts) {
  std::size_t bound = c.fixedBound;
  if (c.hasNames) {
    for (const WriteOp& op : c.ops) {
      if (IsNameStep(op.step)) bound += NameText(op.step, fs, parts).size();
    }
  }
  return bound;
}

// Writes the value's text under a compiled format at begin, which has room
// for CompiledBound bytes, and returns its end.
char* PutCompiled(char* const begin, const TFormatSettings& fs, const CompiledDateFormat& c,
                  const DateTimeParts& parts) {
  char* p = begin;
  const char* const literals = c.literals.data();
  for (const WriteOp& op : c.ops) {
    switch (op.step) {
      case WriteStep::kLiteral:
        if (op.length == 1) {
          *p++ = literals[op.from];
        } else {
          std::memcpy(p, literals + op.from, op.length);
          p += op.length;
        }
        break;
      case WriteStep::kDay:
        p = PutSmall(p, static_cast<unsigned>(parts.day), op.width);
        break;
      case WriteStep::kMonth:
        p = PutSmall(p, static_cast<unsigned>(parts.month), op.width);
        break;
      case WriteStep::kYear2:
        p = PutTwo(p, static_cast<unsigned>(parts.year % 100));
        break;
      case WriteStep::kYear4:
        p = PutTwo(p, static_cast<unsigned>(parts.year / 100));
        p = PutTwo(p, static_cast<unsigned>(parts.year % 100));
        break;
      case WriteStep::kHour: {
        int hour = parts.hour;
        if (c.twelveHour) hour = hour % 12 == 0 ? 12 : hour % 12;
        p = PutSmall(p, static_cast<unsigned>(hour), op.width);
        break;
      }
      case WriteStep::kMinute:
        p = PutSmall(p, static_cast<unsigned>(parts.minute), op.width);
        break;
      case WriteStep::kSecond:
        p = PutSmall(p, static_cast<unsigned>(parts.second), op.width);
        break;
      case WriteStep::kMsec:
        p = PutMsec(p, static_cast<unsigned>(parts.msec), op.width);
        break;
      case WriteStep::kAmPmLiteral:
        std::memcpy(p, literals + op.from + (parts.hour >= 12 ? op.length : 0), op.length);
        p += op.length;
        break;
      case WriteStep::kShortDayName:
      case WriteStep::kLongDayName:
      case WriteStep::kShortMonthName:
      case WriteStep::kLongMonthName:
      case WriteStep::kAmPmSettings:
        p = PutText(p, NameText(op.step, fs, parts));
        break;
    }
    if (op.hasSuffix) *p++ = op.suffix;
  }
  return p;
}

// Appends the value's text under a compiled format, growing out once.
void AppendCompiled(std::string& out, const TFormatSettings& fs, const CompiledDateFormat& c,
                    const DateTimeParts& parts) {
  const std::size_t bound = CompiledBound(c, fs, parts);
  char local[64];
  if (bound <= sizeof local) {
    out.append(local, static_cast<std::size_t>(PutCompiled(local, fs, c, parts) - local));
  } else {
    std::string heap(bound, '\0');
    heap.resize(static_cast<std::size_t>(PutCompiled(heap.data(), fs, c, parts) - heap.data()));
    out += heap;
  }
}

// A compiled format kept for as long as the format and the separators it
// was compiled under stay the same. One per thread and per use (short date,
// long time, other formats), so the usual texts never compile again.
struct DateWriting {
  bool valid = false;
  std::string format;
  char dateSeparator = 0;
  char timeSeparator = 0;
  CompiledDateFormat compiled;
};

// Byte-wise equality, eight bytes at a time: formats are short, and a call
// to memcmp costs more than comparing them.
bool SameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  std::size_t i = 0;
  for (; i + 8 <= a.size(); i += 8) {
    std::uint64_t x = 0;
    std::uint64_t y = 0;
    std::memcpy(&x, a.data() + i, 8);
    std::memcpy(&y, b.data() + i, 8);
    if (x != y) return false;
  }
  for (; i < a.size(); ++i) {
    if (a[i] != b[i]) return false;
  }
  return true;
}

const CompiledDateFormat& Compiled(DateWriting& cache, const TFormatSettings& fs,
                                   std::string_view format) {
  if (!cache.valid || cache.dateSeparator != fs.DateSeparator ||
      cache.timeSeparator != fs.TimeSeparator || !SameText(cache.format, format)) {
    cache.valid = false;
    CompileDateFormat(format, cache.compiled);
    cache.format.assign(format);
    cache.dateSeparator = fs.DateSeparator;
    cache.timeSeparator = fs.TimeSeparator;
    cache.valid = true;
  }
  return cache.compiled;
}

DateWriting& ShortDateWriting() {
  thread_local DateWriting cache;
  return cache;
}

DateWriting& LongTimeWriting() {
  thread_local DateWriting cache;
  return cache;
}

DateWriting& OtherFormatWriting() {
  thread_local DateWriting cache;
  return cache;
}

void AppendFormatted(std::string& out, const TFormatSettings& fs, DateWriting& cache,
                     std::string_view format, TDateTime value) {
  const CompiledDateFormat& compiled = Compiled(cache, fs, format);
  AppendCompiled(out, fs, compiled, DecodeParts(value));
}

char* FormattedToChars(char* first, char* last, const TFormatSettings& fs, DateWriting& cache,
                       std::string_view format, TDateTime value) {
  const CompiledDateFormat& compiled = Compiled(cache, fs, format);
  const DateTimeParts parts = DecodeParts(value);
  if (CompiledBound(compiled, fs, parts) > static_cast<std::size_t>(last - first)) return nullptr;
  return PutCompiled(first, fs, compiled, parts);
}

// ---------------------------------------------------------------------------
// Reading dates and times.

// Separators a date or time text may use: the configured one, plus every
// separator the format writes literally (so a text written through the
// format always reads back).
std::string AcceptedSeparators(std::string_view format, char configured) {
  const TFormatSettings& fs = FormatSettings();
  std::string seps(1, configured);
  auto add = [&seps](char c) {
    if (seps.find(c) == std::string::npos) seps += c;
  };
  for (std::size_t i = 0; i < format.size(); ++i) {
    char c = format[i];
    if (c == '\'' || c == '"') {
      std::size_t close = format.find(c, i + 1);
      if (close == std::string_view::npos) break;
      i = close;
    } else if (c == '/') {
      add(fs.DateSeparator);
    } else if (c == ':') {
      add(fs.TimeSeparator);
    } else if (!IsLetterChar(c) && !IsDigitChar(c) && !IsBlankChar(c)) {
      add(c);
    }
  }
  return seps;
}

// Reads up to `maxDigits` digits at t[i]; false when there is none.
bool ReadNumber(std::string_view t, std::size_t& i, int maxDigits, int& value, int& width) {
  value = 0;
  width = 0;
  while (i < t.size() && IsDigitChar(t[i]) && width < maxDigits) {
    value = value * 10 + (t[i] - '0');
    ++width;
    ++i;
  }
  return width > 0;
}

// The parts of a short date format: the order of d, m and y as they first
// appear (any the format leaves out follow in month, day, year order), the
// length of each part's letter run, the text the format writes between the
// parts, and whether the parts follow each other with nothing between
// ("yyyymmdd"). Day names (ddd, dddd) are not a part.
struct DatePattern {
  char order[3] = {0, 0, 0};
  int runs[3] = {0, 0, 0};
  std::string gaps[2];
  bool compact = false;
};

DatePattern ScanDateFormat(std::string_view format) {
  const TFormatSettings& fs = FormatSettings();
  DatePattern p;
  int parts = 0;
  bool between = false;
  std::string gap;
  auto add = [&](char part, int run) {
    for (int k = 0; k < parts; ++k) {
      if (p.order[k] == part) return;
    }
    if (parts == 3) return;  // cannot happen: three parts are d, m and y
    if (parts > 0) p.gaps[parts - 1] = gap;
    p.order[parts] = part;
    p.runs[parts] = run;
    ++parts;
  };
  for (std::size_t i = 0; i < format.size(); ++i) {
    const char c = LowerChar(format[i]);
    if (format[i] == '\'' || format[i] == '"') {
      between = true;
      std::size_t close = format.find(format[i], i + 1);
      if (close == std::string_view::npos) close = format.size();
      gap.append(format.substr(i + 1, close - i - 1));
      i = close;
    } else if (c == 'd' || c == 'm' || c == 'y') {
      std::size_t n = 1;
      while (i + n < format.size() && LowerChar(format[i + n]) == c) ++n;
      if (c == 'd' && n > 2) {
        between = true;
        gap.append(format.substr(i, n));
      } else {
        add(c, static_cast<int>(n));
        gap.clear();
      }
      i += n - 1;
    } else {
      between = true;
      gap += c == '/' ? fs.DateSeparator : c == ':' ? fs.TimeSeparator : format[i];
    }
  }
  p.compact = parts == 3 && !between;
  add('m', 0);
  add('d', 0);
  add('y', 0);
  return p;
}

// A month written as a name: its number, or 0 when it names none.
int MonthFromName(std::string_view name) {
  const TFormatSettings& fs = FormatSettings();
  for (int m = 0; m < 12; ++m) {
    const auto index = static_cast<std::size_t>(m);
    if (EqualsNoCase(name, fs.ShortMonthNames[index]) ||
        EqualsNoCase(name, fs.LongMonthNames[index])) {
      return m + 1;
    }
  }
  return 0;
}

int ExpandYear(int twoDigits) {
  return twoDigits + (twoDigits < FormatSettings().TwoDigitYearPivot ? 2000 : 1900);
}

// "20240305" against a format whose parts touch, each part at its width in
// the format (two digits for d and m, two or four for y).
bool ParseCompactDate(std::string_view t, const DatePattern& p, int& year, int& month, int& day) {
  std::size_t total = 0;
  std::size_t widths[3];
  for (int k = 0; k < 3; ++k) {
    if (p.order[k] != 'y' && p.runs[k] > 2) return false;  // month names are not compact
    widths[k] = p.order[k] == 'y' && p.runs[k] > 2 ? 4 : 2;
    total += widths[k];
  }
  if (t.size() != total) return false;
  std::size_t i = 0;
  for (int k = 0; k < 3; ++k) {
    int value = 0;
    for (std::size_t j = 0; j < widths[k]; ++j, ++i) {
      if (!IsDigitChar(t[i])) return false;
      value = value * 10 + (t[i] - '0');
    }
    if (p.order[k] == 'y') {
      year = widths[k] == 2 ? ExpandYear(value) : value;
    } else {
      (p.order[k] == 'm' ? month : day) = value;
    }
  }
  return true;
}

// What reading a date or a time needs from the settings, worked out again
// only when the settings it depends on change. One per thread, so readers on
// several threads never share it.
struct DateReading {
  bool valid = false;
  std::string format;
  char dateSeparator = 0;
  char timeSeparator = 0;
  DatePattern pattern;
  std::string separators;
  // For the quick reading of all-digit dates: the separators as a byte set,
  // and whether the format's texts between the parts are at most one
  // character each (otherwise every text takes the full path).
  std::uint64_t separatorSet[4] = {0, 0, 0, 0};
  bool quick = false;
  // For the shortest path: day and month first (either order), the year
  // last, and the bytes QuickDate takes between the parts as one byte set
  // per gap, none of them a digit. monthFirst tells the two orders apart.
  bool dayMonthYear = false;
  bool monthFirst = false;
  std::uint64_t gapSets[2][4] = {{0, 0, 0, 0}, {0, 0, 0, 0}};

  bool IsSeparator(char c) const {
    const auto u = static_cast<unsigned char>(c);
    return (separatorSet[u >> 6] >> (u & 63) & 1) != 0;
  }
  // 1 when QuickDate takes byte u after part gap + 1, else 0.
  unsigned InGap(int gap, unsigned char u) const {
    return static_cast<unsigned>(gapSets[gap][u >> 6] >> (u & 63) & 1);
  }
};

// a == b, compared in place: formats are short and compared per value.
bool SameBytes(const std::string& a, const std::string& b) {
  std::size_t n = a.size();
  if (n != b.size()) return false;
  const char* x = a.data();
  const char* y = b.data();
  for (; n >= 8; n -= 8, x += 8, y += 8) {
    std::uint64_t u;
    std::uint64_t v;
    std::memcpy(&u, x, sizeof u);
    std::memcpy(&v, y, sizeof v);
    if (u != v) return false;
  }
  for (; n > 0; --n) {
    if (*x++ != *y++) return false;
  }
  return true;
}

// Works the reading out again for the settings in force (out of line: it
// runs only when the settings change).
[[gnu::noinline]] void RefreshDateReading(DateReading& cache) {
  const TFormatSettings& fs = FormatSettings();
  cache.format = fs.ShortDateFormat;
  cache.dateSeparator = fs.DateSeparator;
  cache.timeSeparator = fs.TimeSeparator;
  cache.pattern = ScanDateFormat(fs.ShortDateFormat);
  cache.separators = AcceptedSeparators(fs.ShortDateFormat, fs.DateSeparator);
  std::fill(std::begin(cache.separatorSet), std::end(cache.separatorSet), 0);
  for (char c : cache.separators) {
    const auto u = static_cast<unsigned char>(c);
    cache.separatorSet[u >> 6] |= std::uint64_t{1} << (u & 63);
  }
  cache.quick = !cache.pattern.compact && cache.pattern.gaps[0].size() <= 1 &&
                cache.pattern.gaps[1].size() <= 1;
  // The bytes QuickDate takes in each gap: the format's own one-byte text in
  // either case, or an accepted separator.
  bool digitGap = false;
  for (int k = 0; k < 2; ++k) {
    std::uint64_t* set = cache.gapSets[k];
    std::copy(std::begin(cache.separatorSet), std::end(cache.separatorSet), set);
    const std::string& gap = cache.pattern.gaps[k];
    if (gap.size() == 1) {
      for (int u = 0; u < 256; ++u) {
        if (LowerChar(static_cast<char>(u)) == LowerChar(gap[0])) {
          set[u >> 6] |= std::uint64_t{1} << (u & 63);
        }
      }
    }
    for (unsigned char d = '0'; d <= '9'; ++d) {
      if ((set[d >> 6] >> (d & 63) & 1) != 0) digitGap = true;
    }
  }
  const char* order = cache.pattern.order;
  cache.dayMonthYear =
      cache.quick && !digitGap && order[2] == 'y' &&
      ((order[0] == 'm' && order[1] == 'd') || (order[0] == 'd' && order[1] == 'm'));
  cache.monthFirst = order[0] == 'm';
  cache.valid = true;
}

const DateReading& CurrentDateReading() {
  thread_local DateReading cache;
  const TFormatSettings& fs = FormatSettings();
  if (!cache.valid || !SameBytes(cache.format, fs.ShortDateFormat) ||
      cache.dateSeparator != fs.DateSeparator || cache.timeSeparator != fs.TimeSeparator) {
    RefreshDateReading(cache);
  }
  return cache;
}

struct TimeReading {
  bool valid = false;
  std::string format;
  char dateSeparator = 0;
  char timeSeparator = 0;
  std::string separators;
};

const TimeReading& CurrentTimeReading() {
  thread_local TimeReading cache;
  const TFormatSettings& fs = FormatSettings();
  if (!cache.valid || cache.format != fs.LongTimeFormat ||
      cache.dateSeparator != fs.DateSeparator || cache.timeSeparator != fs.TimeSeparator) {
    cache.format = fs.LongTimeFormat;
    cache.dateSeparator = fs.DateSeparator;
    cache.timeSeparator = fs.TimeSeparator;
    cache.separators = AcceptedSeparators(fs.LongTimeFormat, fs.TimeSeparator);
    cache.valid = true;
  }
  return cache;
}

// The common case of ParseDate: three runs of digits, each followed by one
// separator character (the format's own or an accepted one). Takes exactly
// the decisions the full reading would take for such a text; anything else
// (month names, longer texts between the parts, stray characters) returns
// false and is left to the full reading.
bool QuickDate(std::string_view t, const DateReading& reading, int& year, int& month, int& day) {
  const DatePattern& pattern = reading.pattern;
  const char* p = t.data();
  const char* const end = p + t.size();
  for (int k = 0; k < 3; ++k) {
    if (k > 0) {
      if (p == end) return false;
      const std::string& gap = pattern.gaps[k - 1];
      if (!(gap.size() == 1 && LowerChar(*p) == LowerChar(gap[0])) && !reading.IsSeparator(*p)) {
        return false;
      }
      ++p;
    }
    // Up to five digits, as the full reading takes them.
    const char* const start = p;
    const char* const limit = end - p > 5 ? p + 5 : end;
    unsigned value = 0;
    while (p != limit) {
      const unsigned digit = static_cast<unsigned char>(*p) - unsigned{'0'};
      if (digit > 9) break;
      value = value * 10 + digit;
      ++p;
    }
    const auto width = p - start;
    if (width == 0) return false;
    const char part = pattern.order[k];
    if (part == 'y') {
      if (width == 2) {
        year = ExpandYear(static_cast<int>(value));
      } else if (width == 4) {
        year = static_cast<int>(value);
      } else {
        return false;
      }
    } else {
      if (width > 2) return false;
      (part == 'm' ? month : day) = static_cast<int>(value);
    }
  }
  return p == end;
}

// QuickDate for formats with the day and month first and the year last
// ("m/d/yyyy", "dd.mm.yy"), without a branch on the widths of day and
// month: a text of six to ten bytes, each of the first two parts one or two
// digits followed by a byte of its gap, then two or four digits of year.
// Where it returns true, QuickDate gives the same parts; where it returns
// false, QuickDate decides.
[[gnu::always_inline]] inline bool DayMonthYearDate(std::string_view t, const DateReading& reading,
                                                    int& year, int& month, int& day) {
  const std::size_t n = t.size();
  if (n < 6 || n > 10) return false;
  const auto* s = reinterpret_cast<const unsigned char*>(t.data());
  auto digit = [](unsigned char c) { return static_cast<unsigned>(c) - unsigned{'0'}; };
  // Unsigned arithmetic: a byte that is no digit gives a large value, and
  // the product of a value with a zero width flag vanishes.
  const unsigned a0 = digit(s[0]);
  const unsigned a1 = digit(s[1]);
  const unsigned twoA = a1 <= 9 ? 1 : 0;
  const unsigned a = a0 + twoA * (9 * a0 + a1);
  const std::size_t gapA = 1 + twoA;  // at most 2
  const unsigned b0 = digit(s[gapA + 1]);
  const unsigned b1 = digit(s[gapA + 2]);  // at most index 4, inside the text
  const unsigned twoB = b1 <= 9 ? 1 : 0;
  const unsigned b = b0 + twoB * (9 * b0 + b1);
  const std::size_t gapB = gapA + 2 + twoB;  // at most 5, inside the text
  unsigned ok = static_cast<unsigned>(a0 <= 9) & static_cast<unsigned>(b0 <= 9) &
                reading.InGap(0, s[gapA]) & reading.InGap(1, s[gapB]);
  const std::size_t y = gapB + 1;
  if (n - y == 4) {
    const unsigned y0 = digit(s[y]);
    const unsigned y1 = digit(s[y + 1]);
    const unsigned y2 = digit(s[y + 2]);
    const unsigned y3 = digit(s[y + 3]);
    ok &= static_cast<unsigned>(y0 <= 9) & static_cast<unsigned>(y1 <= 9) &
          static_cast<unsigned>(y2 <= 9) & static_cast<unsigned>(y3 <= 9);
    year = static_cast<int>(y0 * 1000 + y1 * 100 + y2 * 10 + y3);
  } else if (n - y == 2) {
    const unsigned y0 = digit(s[y]);
    const unsigned y1 = digit(s[y + 1]);
    ok &= static_cast<unsigned>(y0 <= 9) & static_cast<unsigned>(y1 <= 9);
    if (ok == 0) return false;
    year = ExpandYear(static_cast<int>(y0 * 10 + y1));
  } else {
    return false;
  }
  const bool monthFirst = reading.monthFirst;
  month = static_cast<int>(monthFirst ? a : b);
  day = static_cast<int>(monthFirst ? b : a);
  return ok != 0;
}

// ParseDate for the texts QuickDate leaves (out of line, so that the
// common case keeps a small frame).
[[gnu::noinline]] bool ParseDateFully(std::string_view t, const DateReading& reading,
                                      TDateTime& out) {
  const DatePattern& pattern = reading.pattern;
  int year = 0;
  int month = 0;
  int day = 0;
  if (pattern.compact && !t.empty() && IsDigitChar(t[0]) && IsDigitChar(t[t.size() - 1]) &&
      t.size() >= 6 && ParseCompactDate(t, pattern, year, month, day)) {
    return TryEncodeDate(year, month, day, out);
  }

  const std::string& seps = reading.separators;
  auto isSep = [&](std::size_t i) { return seps.find(t[i]) != std::string::npos; };
  std::size_t i = 0;
  for (int k = 0; k < 3; ++k) {
    if (k > 0) {
      // The format's own text between the parts, or one separator.
      const std::string& gap = pattern.gaps[k - 1];
      if (!gap.empty() && MatchAt(t, i, gap)) {
        i += gap.size();
      } else if (i < t.size() && isSep(i)) {
        ++i;
      } else {
        return false;
      }
    }
    const char part = pattern.order[k];
    if (part == 'm' && i < t.size() && !IsDigitChar(t[i])) {
      // A month name, up to the next separator, digit or blank.
      std::size_t begin = i;
      while (i < t.size() && !IsDigitChar(t[i]) && !IsBlankChar(t[i]) && !isSep(i)) ++i;
      month = MonthFromName(t.substr(begin, i - begin));
      if (month == 0) return false;
      continue;
    }
    int value = 0;
    int width = 0;
    if (!ReadNumber(t, i, 5, value, width)) return false;
    if (part == 'y') {
      if (width == 2) {
        value = ExpandYear(value);
      } else if (width != 4) {
        return false;
      }
      year = value;
    } else {
      if (width > 2) return false;
      (part == 'm' ? month : day) = value;
    }
  }
  if (i != t.size()) return false;
  return TryEncodeDate(year, month, day, out);
}

bool ParseDate(std::string_view t, TDateTime& out) {
  const DateReading& reading = CurrentDateReading();
  int year = 0;
  int month = 0;
  int day = 0;
  if (reading.dayMonthYear && DayMonthYearDate(t, reading, year, month, day)) {
    return EncodeDay(year, month, day, out);
  }
  if (reading.quick && QuickDate(t, reading, year, month, day)) {
    return EncodeDay(year, month, day, out);
  }
  return ParseDateFully(t, reading, out);
}

bool ParseTime(std::string_view t, TDateTime& out) {
  const TFormatSettings& fs = FormatSettings();
  const std::string& seps = CurrentTimeReading().separators;
  auto isSep = [&](std::size_t i) { return i < t.size() && seps.find(t[i]) != std::string::npos; };
  std::size_t i = 0;
  int hour = 0;
  int minute = 0;
  int second = 0;
  int msec = 0;
  int width = 0;
  if (!ReadNumber(t, i, 2, hour, width)) return false;
  if (!isSep(i)) return false;
  ++i;
  if (!ReadNumber(t, i, 2, minute, width)) return false;
  if (isSep(i)) {
    ++i;
    if (!ReadNumber(t, i, 2, second, width)) return false;
    if (i + 1 < t.size() && (t[i] == '.' || t[i] == fs.DecimalSeparator) && IsDigitChar(t[i + 1])) {
      ++i;
      ReadNumber(t, i, 3, msec, width);
      for (; width < 3; ++width) msec *= 10;  // a fraction of a second: ".5" is 500 ms
    }
  }
  if (i < t.size() && IsDigitChar(t[i])) return false;
  const std::string_view marker = TrimView(t.substr(i));
  if (!marker.empty()) {
    bool am = EqualsNoCase(marker, "AM") ||
              (!fs.TimeAMString.empty() && EqualsNoCase(marker, fs.TimeAMString));
    bool pm = EqualsNoCase(marker, "PM") ||
              (!fs.TimePMString.empty() && EqualsNoCase(marker, fs.TimePMString));
    if (am == pm || hour > 12) return false;
    if (pm && hour < 12) hour += 12;
    if (am && hour == 12) hour = 0;
  }
  return TryEncodeTime(hour, minute, second, msec, out);
}

bool ParseDateTime(std::string_view t, TDateTime& out) {
  // The date ends at a blank; a date format may hold blanks itself, so each
  // blank is tried in turn as the boundary.
  std::size_t from = 0;
  for (;;) {
    std::size_t blank = from;
    while (blank < t.size() && !IsBlankChar(t[blank])) ++blank;
    TDateTime date = 0;
    if (blank == t.size()) {
      if (!ParseDate(t, date)) return false;
      out = date;
      return true;
    }
    TDateTime time = 0;
    if (ParseDate(t.substr(0, blank), date) && ParseTime(TrimView(t.substr(blank)), time)) {
      out = ComposeDateTime(date, time);
      return true;
    }
    from = blank;
    while (from < t.size() && IsBlankChar(t[from])) ++from;
  }
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

// ---------------------------------------------------------------------------

TFormatSettings& FormatSettings() { return gSettings; }

void ResetFormatSettings() { FormatSettings() = TFormatSettings{}; }

bool TryStrToFloat(std::string_view s, double& value) { return ParseFloat(s, value); }

double StrToFloat(std::string_view s) {
  double value = 0;
  if (!ParseFloat(s, value)) ThrowNotValid(s, "floating point value");
  return value;
}

void AppendFloatToStr(std::string& out, double value) {
  char buf[kFloatTextRoom];
  out.append(buf, static_cast<std::size_t>(PutFloat(buf, value) - buf));
}

char* FloatToChars(char* first, char* last, double value) {
  if (last - first >= static_cast<std::ptrdiff_t>(kFloatTextRoom)) return PutFloat(first, value);
  char buf[kFloatTextRoom];
  const auto length = static_cast<std::size_t>(PutFloat(buf, value) - buf);
  if (length > static_cast<std::size_t>(last - first)) return nullptr;
  std::memcpy(first, buf, length);
  return first + length;
}

std::string FloatToStr(double value) {
  std::string out;
  AppendFloatToStr(out, value);
  return out;
}

std::string FormatFloat(std::string_view format, double value) {
  if (format.empty() || !std::isfinite(value)) return FloatToStr(value);
  // Split into at most three sections at ';' outside quotes.
  std::string_view sections[3];
  int count = 0;
  std::size_t begin = 0;
  for (std::size_t i = 0; i <= format.size() && count < 3; ++i) {
    if (i < format.size() && (format[i] == '\'' || format[i] == '"')) {
      std::size_t close = format.find(format[i], i + 1);
      i = close == std::string_view::npos ? format.size() - 1 : close;
    } else if (i == format.size() || format[i] == ';') {
      sections[count++] = format.substr(begin, i - begin);
      begin = i + 1;
    }
  }
  const bool negative = value < 0;
  const double magnitude = std::fabs(value);
  bool isZero = false;
  const bool ownNegative = negative && count >= 2 && !sections[1].empty();
  std::string out = RenderSection(MeasureSection(sections[ownNegative ? 1 : 0]), magnitude,
                                  negative && !ownNegative, isZero);
  if (isZero) {
    if (count >= 3 && !sections[2].empty()) {
      return RenderSection(MeasureSection(sections[2]), 0.0, false, isZero);
    }
    // A value that rounds to zero is written as zero, without a sign.
    if (negative) return RenderSection(MeasureSection(sections[0]), 0.0, false, isZero);
  }
  return out;
}

bool TryStrToDate(std::string_view s, TDateTime& value) { return ParseDate(TrimView(s), value); }

bool TryStrToTime(std::string_view s, TDateTime& value) { return ParseTime(TrimView(s), value); }

bool TryStrToDateTime(std::string_view s, TDateTime& value) {
  return ParseDateTime(TrimView(s), value);
}

TDateTime StrToDate(std::string_view s) {
  TDateTime value = 0;
  if (!TryStrToDate(s, value)) ThrowNotValid(s, "date");
  return value;
}

TDateTime StrToTime(std::string_view s) {
  TDateTime value = 0;
  if (!TryStrToTime(s, value)) ThrowNotValid(s, "time");
  return value;
}

TDateTime StrToDateTime(std::string_view s) {
  TDateTime value = 0;
  if (!TryStrToDateTime(s, value)) ThrowNotValid(s, "date and time");
  return value;
}

void AppendDateToStr(std::string& out, TDateTime value) {
  const TFormatSettings& fs = FormatSettings();
  AppendFormatted(out, fs, ShortDateWriting(), fs.ShortDateFormat, value);
}

void AppendTimeToStr(std::string& out, TDateTime value) {
  const TFormatSettings& fs = FormatSettings();
  AppendFormatted(out, fs, LongTimeWriting(), fs.LongTimeFormat, value);
}

void AppendDateTimeToStr(std::string& out, TDateTime value) {
  const DateTimeParts parts = DecodeParts(value);
  const TFormatSettings& fs = FormatSettings();
  const CompiledDateFormat& date = Compiled(ShortDateWriting(), fs, fs.ShortDateFormat);
  if (parts.msOfDay == 0) {
    AppendCompiled(out, fs, date, parts);
    return;
  }
  // Both formats are compiled before anything is written, so a failure
  // leaves out as it was.
  const CompiledDateFormat& time = Compiled(LongTimeWriting(), fs, fs.LongTimeFormat);
  AppendCompiled(out, fs, date, parts);
  out += ' ';
  AppendCompiled(out, fs, time, parts);
}

char* DateToChars(char* first, char* last, TDateTime value) {
  const TFormatSettings& fs = FormatSettings();
  return FormattedToChars(first, last, fs, ShortDateWriting(), fs.ShortDateFormat, value);
}

char* TimeToChars(char* first, char* last, TDateTime value) {
  const TFormatSettings& fs = FormatSettings();
  return FormattedToChars(first, last, fs, LongTimeWriting(), fs.LongTimeFormat, value);
}

char* DateTimeToChars(char* first, char* last, TDateTime value) {
  const TFormatSettings& fs = FormatSettings();
  const CompiledDateFormat& date = Compiled(ShortDateWriting(), fs, fs.ShortDateFormat);
  const CompiledDateFormat& time = Compiled(LongTimeWriting(), fs, fs.LongTimeFormat);
  const DateTimeParts parts = DecodeParts(value);
  const bool withTime = parts.msOfDay != 0;
  std::size_t bound = CompiledBound(date, fs, parts);
  if (withTime) bound += 1 + CompiledBound(time, fs, parts);
  if (bound > static_cast<std::size_t>(last - first)) return nullptr;
  char* p = PutCompiled(first, fs, date, parts);
  if (withTime) {
    *p++ = ' ';
    p = PutCompiled(p, fs, time, parts);
  }
  return p;
}

TDateWriter::TDateWriter()
    : FFormat(std::make_unique<TCompiledDateFormat>()),
      FShortDateFormat(FormatSettings().ShortDateFormat),
      FDateSeparator(FormatSettings().DateSeparator),
      FTimeSeparator(FormatSettings().TimeSeparator) {
  CompileDateFormat(FShortDateFormat, *FFormat);
  FRoom = FFormat->hasNames ? 0 : FFormat->fixedBound;
  // Formats made of day, month and year numbers, each followed by at most
  // one literal character ("m/d/yyyy", "dd.mm.yy", "yyyymmdd"), become a
  // short list of pieces written without looking at the steps.
  for (const WriteOp& op : FFormat->ops) {
    TPiece piece{};
    switch (op.step) {
      case WriteStep::kDay:
        piece = {0, op.width, op.suffix, op.hasSuffix};
        break;
      case WriteStep::kMonth:
        piece = {1, op.width, op.suffix, op.hasSuffix};
        break;
      case WriteStep::kYear2:
        piece = {2, 2, op.suffix, op.hasSuffix};
        break;
      case WriteStep::kYear4:
        piece = {3, 4, op.suffix, op.hasSuffix};
        break;
      default:
        FPieceCount = 0;
        return;
    }
    if (FPieceCount == FPieces.size()) {
      FPieceCount = 0;
      return;
    }
    FPieces[FPieceCount++] = piece;
  }
  if (FPieceCount == 0) return;
  ++FRoom;  // the pieces store a byte after the text
  // When the year is written first or last (or not at all), the day and
  // month between come from a table by the day of the year.
  std::size_t firstDay = 0;
  std::size_t endDay = FPieceCount;
  if (FPieces[0].part >= 2) {
    FYear = FPieces[0];
    FYearPlace = 1;
    firstDay = 1;
  } else if (FPieces[FPieceCount - 1].part >= 2) {
    FYear = FPieces[FPieceCount - 1];
    FYearPlace = 2;
    endDay = FPieceCount - 1;
  }
  auto table = std::make_unique<TMonthDay[]>(366);
  for (std::uint32_t dayOfYear = 0; dayOfYear < 366; ++dayOfYear) {
    int month = 0;
    int day = 0;
    MonthAndDay(dayOfYear, month, day);
    char text[32];
    char* p = text;
    for (std::size_t i = firstDay; i < endDay; ++i) {
      const TPiece& piece = FPieces[i];
      if (piece.part >= 2) return;  // a year between: no table
      p = PutSmall(p, static_cast<unsigned>(piece.part == 0 ? day : month), piece.width);
      *p = piece.suffix;
      p += piece.hasSuffix ? 1 : 0;
    }
    if (p - text > static_cast<std::ptrdiff_t>(sizeof table[0].text)) return;
    std::memcpy(table[dayOfYear].text, text, sizeof table[0].text);
    table[dayOfYear].length = static_cast<std::uint8_t>(p - text);
  }
  FMonthDays = std::move(table);
  FRoom += sizeof(TMonthDay::text);  // stored whole
}

TDateWriter::~TDateWriter() = default;

bool TDateWriter::Current() const {
  const TFormatSettings& fs = FormatSettings();
  return fs.ShortDateFormat == FShortDateFormat && fs.DateSeparator == FDateSeparator &&
         fs.TimeSeparator == FTimeSeparator;
}

char* TDateWriter::PutOther(char* p, TDateTime value) const {
  // Whole days (the values of date fields) under a format of pieces need
  // the civil date and nothing else.
  if (FPieceCount > 0 && value >= static_cast<double>(kMinDay) &&
      value <= static_cast<double>(kMaxDay)) {
    const auto day = static_cast<std::int32_t>(value);
    if (value == static_cast<double>(day)) {
      if (FMonthDays) return PutTabled(p, day);
      int year = 0;
      int month = 0;
      int dayOfMonth = 0;
      CivilFromDays(day, year, month, dayOfMonth);
      const unsigned parts[4] = {static_cast<unsigned>(dayOfMonth), static_cast<unsigned>(month),
                                 static_cast<unsigned>(year % 100), static_cast<unsigned>(year)};
      for (std::size_t i = 0; i < FPieceCount; ++i) {
        const TPiece& piece = FPieces[i];
        const unsigned u = parts[piece.part];
        if (piece.width == 4) {
          p = PutTwo(PutTwo(p, u / 100), u % 100);
        } else {
          p = PutSmall(p, u, piece.width);
        }
        *p = piece.suffix;
        p += piece.hasSuffix ? 1 : 0;
      }
      return p;
    }
  }
  return PutCompiled(p, FormatSettings(), *FFormat, DecodeParts(value));
}

std::string DateToStr(TDateTime value) {
  std::string out;
  AppendDateToStr(out, value);
  return out;
}

std::string TimeToStr(TDateTime value) {
  std::string out;
  AppendTimeToStr(out, value);
  return out;
}

std::string DateTimeToStr(TDateTime value) {
  std::string out;
  AppendDateTimeToStr(out, value);
  return out;
}

std::string FormatDateTime(std::string_view format, TDateTime value) {
  if (format.empty()) return DateTimeToStr(value);
  std::string out;
  AppendFormatted(out, FormatSettings(), OtherFormatWriting(), format, value);
  return out;
}

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

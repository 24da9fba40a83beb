#include "cli/type_inference.h"

#include <algorithm>
#include <charconv>
#include <limits>
#include <string>

#include "text/formats.h"
#include "text/formats_iso.h"
#include "text/number_text.h"

namespace korvane::cli {

namespace {

// Kinds a value can be read as, one bit each; a column's type is one whose
// bit every value keeps.
constexpr std::uint32_t kInt = 1u << 0;
constexpr std::uint32_t kReal = 1u << 1;
constexpr std::uint32_t kBool = 1u << 2;
constexpr std::uint32_t kTime = 1u << 3;
constexpr int kLayouts = static_cast<int>(kSniffedDateFormats.size());
constexpr int kDateShift = 4;  // one bit per layout of kSniffedDateFormats
constexpr int kDateTimeShift = kDateShift + kLayouts;  // the same, a time after the date allowed
constexpr std::uint32_t kFormatBits = (1u << kLayouts) - 1;
// Whole numbers and numbers read with a decimal comma and thousands points.
constexpr std::uint32_t kCommaInt = 1u << (kDateTimeShift + kLayouts);
constexpr std::uint32_t kCommaReal = kCommaInt << 1;
// Any plain number (sign, digits, decimal separator), however many digits;
// the same read with a decimal comma and thousands points.
constexpr std::uint32_t kDecimal = kCommaInt << 2;
constexpr std::uint32_t kCommaDecimal = kCommaInt << 3;
constexpr std::uint32_t kAllKinds = kInt | kReal | kBool | kTime | (kFormatBits << kDateShift) |
                                    (kFormatBits << kDateTimeShift) | kCommaInt | kCommaReal |
                                    kDecimal | kCommaDecimal;

// The most digits a declared NUMERIC(p,s) may keep in PostgreSQL.
constexpr int kMaxPrecision = 1000;

using number_scan::IsDigit;

// Reads a run of 1 to maxDigits digits at s[pos]; false when there is none or
// it is longer.
bool Number(std::string_view s, std::size_t& pos, int maxDigits, int& value, int& digits) {
  value = 0;
  digits = 0;
  while (pos < s.size() && IsDigit(s[pos])) {
    if (++digits > maxDigits) return false;
    value = value * 10 + (s[pos++] - '0');
  }
  return digits > 0;
}

bool IsLeapYear(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

bool RealDate(int y, int m, int d) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (y < 1 || m < 1 || m > 12 || d < 1) return false;
  return d <= kDays[m - 1] + (m == 2 && IsLeapYear(y) ? 1 : 0);
}

// The layouts of kSniffedDateFormats that a date text fits, as bits.
std::uint32_t DateLayouts(std::string_view s) {
  std::size_t pos = 0;
  int n[3];
  int width[3];
  char sep = 0;
  for (int i = 0; i < 3; ++i) {
    if (!Number(s, pos, 4, n[i], width[i])) return 0;
    if (i == 2) break;
    if (pos >= s.size() || (sep != 0 && s[pos] != sep)) return 0;
    sep = s[pos++];
  }
  if (pos != s.size()) return 0;
  std::uint32_t bits = 0;
  const bool yearFirst = width[0] == 4 && width[1] <= 2 && width[2] <= 2;
  const bool yearLast = width[2] == 4 && width[0] <= 2 && width[1] <= 2;
  if (sep == '-' && yearFirst && RealDate(n[0], n[1], n[2])) bits |= 1u << 0;
  if (sep == '/' && yearLast && RealDate(n[2], n[0], n[1])) bits |= 1u << 1;
  if (sep == '/' && yearLast && RealDate(n[2], n[1], n[0])) bits |= 1u << 2;
  if (sep == '.' && yearLast && RealDate(n[2], n[1], n[0])) bits |= 1u << 3;
  if (sep == '/' && yearFirst && RealDate(n[0], n[1], n[2])) bits |= 1u << 4;
  if (sep == '.' && yearFirst && RealDate(n[0], n[1], n[2])) bits |= 1u << 5;
  return bits;
}

// h:mm, h:mm:ss or h:mm:ss with 1 to fractionDigits digits after '.', on a
// 24-hour clock.
bool IsTime(std::string_view s, int fractionDigits) {
  std::size_t pos = 0;
  int value = 0;
  int digits = 0;
  if (!Number(s, pos, 2, value, digits) || value > 23) return false;
  for (int part = 0; part < 2 && pos < s.size(); ++part) {
    if (s[pos++] != ':' || !Number(s, pos, 2, value, digits) || digits != 2 || value > 59)
      return false;
    if (part == 0 && pos == s.size()) return true;
  }
  if (pos < s.size() && s[pos] == '.') {
    ++pos;
    if (!Number(s, pos, fractionDigits, value, digits)) return false;
  }
  return pos == s.size() && s.find(':') != std::string_view::npos;
}

// An ISO 8601 time IsTime does not read, without a zone, as IsTime reads
// none: one of the basic format after its 'T' with its seconds ("T123456",
// "T123456.5"), or one whose digits after the sixth of its fraction are
// zeros ("12:34:56.123456000", as systems that count nanoseconds write it).
// A basic time without seconds ("T1000") is as likely a code as a time, so
// it does not make a column TIME (a column declared TIME still reads it).
bool IsOtherIsoTime(std::string_view s) {
  TIsoValue iso;
  const bool basic =
      s.size() >= 7 && (s[0] == 'T' || s[0] == 't') &&
      std::all_of(s.begin() + 1, s.begin() + 7, [](char c) { return c >= '0' && c <= '9'; });
  return (basic || s.find(':') != std::string_view::npos) &&
         ReadIso(s, TIsoKind::Time, iso, isoBasic | isoZeroNanos) == TIsoFault::None &&
         !iso.HasZone;
}

bool SameLetters(std::string_view a, std::string_view lower) {
  if (a.size() != lower.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char c = a[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lower[i]) return false;
  }
  return true;
}

bool IsBooleanWord(std::string_view s) {
  for (std::string_view word : {"true", "false", "yes", "no", "t", "f", "y", "n"}) {
    if (SameLetters(s, word)) return true;
  }
  return false;
}

// Whether a number text reads back from the double it reads as: a REAL
// column would round one that does not, and strict values refuse it.
bool KeptByDouble(std::string_view s, const TNumberSpans& spans, double value) {
  // So few digits read back whatever they are; an exponent may put them far
  // below or above.
  if (!spans.HasExponent && DigitCount(spans) <= static_cast<std::size_t>(kDoubleDigits)) {
    return true;
  }
  const TFormatSettings& fs = FormatSettings();
  TNumberParts number;
  return ReadNumberText(s, nrExponent, fs.DecimalSeparator, fs.ThousandSeparator, number) &&
         ReadsBackAs(number, value, false);
}

// How a number without an exponent is written (TNumberDigits).
TNumberDigits NumberDigits(const TNumberSpans& spans) {
  TNumberDigits digits;
  if (spans.HasExponent) return digits;
  digits.Decimals = static_cast<int>(spans.Fraction.size());
  digits.ZeroEnd = !spans.Fraction.empty() && spans.Fraction.back() == '0';
  for (const char c : spans.Whole) {
    if (IsDigit(c) && (digits.Whole > 0 || c != '0')) ++digits.Whole;  // separators aside
  }
  return digits;
}

// The kinds of a number text read with a decimal comma and thousands points
// (1.234,5 or -0,25), as the strict rules read it under those separators:
// kCommaInt for a whole number within 64 bits, kCommaReal for one a double
// keeps, kCommaDecimal for any number an exact decimal keeps.
std::uint32_t DecimalCommaKinds(std::string_view s, bool& wide, TNumberDigits& digits) {
  TNumberSpans spans;
  if (!ScanNumberText(s, nrThousands | nrExponent, ',', '.', spans)) return 0;
  digits = NumberDigits(spans);
  std::uint32_t kinds = 0;
  if (!spans.HasExponent && DigitCount(spans) <= static_cast<std::size_t>(kDoubleDigits)) {
    kinds |= kCommaReal;  // a double keeps so few digits
  } else {
    TNumberParts number;
    double value = 0;
    if (ReadNumberText(s, nrThousands | nrExponent, ',', '.', number) &&
        NumberToDouble(number, value) && ReadsBackAs(number, value, false)) {
      kinds |= kCommaReal;
    }
  }
  std::int64_t whole = 0;
  if (SpansToInteger(spans, whole)) {
    kinds |= kCommaInt;
    wide = whole < std::numeric_limits<std::int32_t>::min() ||
           whole > std::numeric_limits<std::int32_t>::max();
  }
  if (!spans.HasExponent || (kinds & kCommaReal) != 0) kinds |= kCommaDecimal;
  return kinds;
}

int FormatIndex(const TTypeGuess& guess) {
  for (std::size_t i = 0; i < kSniffedDateFormats.size(); ++i) {
    if (kSniffedDateFormats[i] == guess.DateFormat) return static_cast<int>(i);
  }
  return 0;  // the format given
}

}  // namespace

std::uint32_t TTypeVote::Kinds(std::string_view value, std::uint32_t wanted,
                               TTraits& traits) const {
  std::string_view s = TrimBlanks(value);
  std::uint32_t kinds = 0;
  constexpr std::uint32_t kDates = kFormatBits << kDateShift | kFormatBits << kDateTimeShift;
  std::string_view digits = s;
  if (!digits.empty() && (digits.front() == '-' || digits.front() == '+')) digits.remove_prefix(1);
  traits.LeadingZero = digits.size() > 1 && digits[0] == '0' && IsDigit(digits[1]);
  if (!traits.LeadingZero &&
      (wanted & (kInt | kReal | kCommaInt | kCommaReal | kDecimal | kCommaDecimal)) != 0) {
    const TFormatSettings& fs = FormatSettings();
    TNumberSpans number;
    if (ScanNumberText(s, nrExponent, fs.DecimalSeparator, '\0', number)) {
      traits.Digits = NumberDigits(number);
      std::int64_t whole = 0;
      if (SpansToInteger(number, whole)) {
        kinds |= kInt;
        traits.Wide = whole < std::numeric_limits<std::int32_t>::min() ||
                      whole > std::numeric_limits<std::int32_t>::max();
      }
      double real = 0;
      if (TryStrToFloat(s, real) && KeptByDouble(s, number, real)) kinds |= kReal;
      // What a double keeps is a decimal too, and so is any number without
      // an exponent.
      if (!number.HasExponent || (kinds & kReal) != 0) kinds |= kDecimal;
    }
    if (FDecimalComma && (wanted & (kCommaInt | kCommaReal | kCommaDecimal)) != 0) {
      if (s.find(',') == std::string_view::npos && s.find('.') == std::string_view::npos) {
        // Digits alone read the same with either decimal separator.
        kinds |= (kinds & kInt ? kCommaInt : 0) | (kinds & kReal ? kCommaReal : 0) |
                 (kinds & kDecimal ? kCommaDecimal : 0);
        traits.WideComma = traits.Wide;
        traits.DigitsComma = traits.Digits;
      } else {
        kinds |= DecimalCommaKinds(s, traits.WideComma, traits.DigitsComma);
      }
    }
  }
  if (wanted & kBool) {
    traits.BoolWord = IsBooleanWord(s);
    if (traits.BoolWord || s == "0" || s == "1") kinds |= kBool;
  }
  // ISO 8601 times keep microseconds; the format settings' milliseconds.
  const int fractionDigits = FDateFormatGiven ? 3 : 6;
  if ((wanted & kTime) && (IsTime(s, fractionDigits) || (!FDateFormatGiven && IsOtherIsoTime(s)))) {
    kinds |= kTime;
  }
  if ((wanted & kDates) == 0) {
    // no date layout left to try
  } else if (FDateFormatGiven) {
    TDateTime when = 0;
    if (TryStrToDate(s, when))
      kinds |= (1u << kDateShift) | (1u << kDateTimeShift);
    else if (TryStrToDateTime(s, when))
      kinds |= 1u << kDateTimeShift;
  } else {
    // Two one-byte searches: find_first_of tries each byte against the
    // set, which a value of many megabytes feels.
    const std::size_t blank = std::min(s.find(' '), s.find('\t'));
    if (blank == std::string_view::npos) {
      const std::uint32_t layouts = DateLayouts(s);
      kinds |= (layouts << kDateShift) | (layouts << kDateTimeShift);
    } else if (IsTime(TrimBlanks(s.substr(blank)), fractionDigits)) {
      kinds |= DateLayouts(s.substr(0, blank)) << kDateTimeShift;
    }
    // ISO 8601 date-times: 'T', up to six fraction digits, a zone; in the
    // basic format too (20240301T123456Z), but not a date alone, which
    // stays a number.
    TIsoValue iso;
    if ((kinds & (1u << kDateTimeShift)) == 0 && s.size() > 10 &&
        ReadIso(s, TIsoKind::DateTime, iso, isoBasic | isoZeroNanos) == TIsoFault::None &&
        iso.HasTime) {
      kinds |= 1u << kDateTimeShift;
      traits.Zoned = iso.HasZone;
    }
  }
  return kinds;
}

void TTypeVote::Add(std::string_view value) {
  if (TrimBlanks(value).empty()) return;
  TTraits traits;
  const std::uint32_t kinds = Kinds(value, FKinds, traits);
  FKinds &= kinds;
  ++FValues;
  FLeadingZero |= traits.LeadingZero;
  FWide |= traits.Wide && (kinds & kInt) != 0;
  FWideComma |= traits.WideComma && (kinds & kCommaInt) != 0;
  FBoolWord |= traits.BoolWord;
  FZoned |= traits.Zoned;
  FScale.Add(traits.Digits);
  FScaleComma.Add(traits.DigitsComma);
  // A value read as a date and time but not as a date alone has a time.
  FWithTime |= (kinds >> kDateTimeShift & kFormatBits) != (kinds >> kDateShift & kFormatBits);
}

void TTypeVote::TScaleVote::Add(const TNumberDigits& digits) {
  if (Scale == kNoScale) {
    Scale = digits.Decimals;
  } else if (Scale != digits.Decimals) {
    Scale = kMixedScale;
  }
  ZeroSeen |= digits.ZeroEnd;
  Whole = std::max(Whole, digits.Whole);
}

TTypeGuess TTypeVote::Result(bool decimalComma) const {
  TTypeGuess guess;
  guess.Values = FValues;
  if (FValues == 0) {
    guess.Note = "no values in the sample";
    return guess;
  }
  const std::uint32_t kinds = FKinds & kAllKinds;
  decimalComma = decimalComma && FDecimalComma;
  if (kinds & (decimalComma ? kCommaInt : kInt)) {
    guess.Type = TInferredType::Integer;
    guess.Wide = decimalComma ? FWideComma : FWide;
    guess.DecimalComma = decimalComma;
    return guess;
  }
  if (kinds & (decimalComma ? kCommaReal : kReal)) {
    guess.Type = TInferredType::Real;
    guess.DecimalComma = decimalComma;
    // A double would give 1.50 back as 1.5: a scale the values show is
    // declared, so that they come back as they were written.
    // Its precision holds the widest value's whole digits (a double keeps
    // 1e20, written out with 21), within the 1000 a NUMERIC may have.
    const TScaleVote& vote = decimalComma ? FScaleComma : FScale;
    const int precision = std::max(18, vote.Scale + std::max(vote.Whole, 1));
    if (vote.Scale > 0 && vote.ZeroSeen && precision <= kMaxPrecision) {
      guess.Scale = vote.Scale;
      guess.Precision = precision;
    }
    return guess;
  }
  if (kinds & (decimalComma ? kCommaDecimal : kDecimal)) {
    guess.Type = TInferredType::Decimal;
    guess.DecimalComma = decimalComma;
    return guess;
  }
  if ((kinds & kBool) && FBoolWord) {
    guess.Type = TInferredType::Boolean;
    return guess;
  }
  if (kinds & kTime) {
    guess.Type = TInferredType::Time;
    return guess;
  }
  const std::uint32_t dates = kinds >> kDateShift & kFormatBits;
  const std::uint32_t dateTimes = kinds >> kDateTimeShift & kFormatBits;
  const std::uint32_t layouts = !FWithTime && dates != 0 ? dates : dateTimes;
  guess.DateLayouts = FDateFormatGiven ? 0 : layouts;
  if (layouts != 0) {
    const auto count = static_cast<int>(__builtin_popcount(layouts));
    const int index = __builtin_ctz(layouts);
    if (count == 1) {
      guess.Type = layouts == dates && !FWithTime ? TInferredType::Date : TInferredType::DateTime;
      guess.Zoned = FZoned && guess.Type == TInferredType::DateTime;
      guess.DateFormat = FDateFormatGiven ? FormatSettings().ShortDateFormat
                                          : std::string(kSniffedDateFormats[index]);
      return guess;
    }
    guess.Note = "dates fit ";
    for (std::size_t i = 0; i < kSniffedDateFormats.size(); ++i) {
      if (layouts & (1u << i)) {
        guess.Note += std::string(guess.Note.back() == ' ' ? "" : " and ") +
                      std::string(kSniffedDateFormats[i]);
      }
    }
    guess.Note += ": give --date-format";
    return guess;
  }
  if (FLeadingZero) guess.Note = "leading zeros kept";
  return guess;
}

bool TTypeVote::Fits(std::string_view value, const TTypeGuess& guess) const {
  if (TrimBlanks(value).empty()) return true;
  TTraits traits;
  const std::uint32_t kinds = Kinds(value, kAllKinds, traits);
  switch (guess.Type) {
    case TInferredType::Integer:
      return (kinds & (guess.DecimalComma ? kCommaInt : kInt)) != 0;
    case TInferredType::Real:
      return (kinds & (guess.DecimalComma ? kCommaReal : kReal)) != 0;
    case TInferredType::Decimal:
      return (kinds & (guess.DecimalComma ? kCommaDecimal : kDecimal)) != 0;
    case TInferredType::Boolean:
      return (kinds & kBool) != 0;
    case TInferredType::Time:
      return (kinds & kTime) != 0;
    case TInferredType::Date:
      return (kinds & (1u << (kDateShift + FormatIndex(guess)))) != 0;
    case TInferredType::DateTime:
      return (kinds & (1u << (kDateTimeShift + FormatIndex(guess)))) != 0;
    case TInferredType::Text:
      break;
  }
  return true;
}

TTypeGuess InferColumnType(const std::vector<std::string_view>& values, bool dateFormatGiven) {
  TTypeVote vote(dateFormatGiven);
  for (std::string_view v : values) vote.Add(v);
  return vote.Result();
}

std::string_view TypeName(TInferredType type) {
  switch (type) {
    case TInferredType::Integer:
      return "INTEGER";
    case TInferredType::Real:
      return "REAL";
    case TInferredType::Decimal:
      return "DECIMAL";
    case TInferredType::Date:
      return "DATE";
    case TInferredType::DateTime:
      return "DATETIME";
    case TInferredType::Time:
      return "TIME";
    case TInferredType::Boolean:
      return "BOOLEAN";
    case TInferredType::Text:
      break;
  }
  return "TEXT";
}

// Column types for CREATE TABLE that SQLite and PostgreSQL both read alike:
// a REAL is single precision in PostgreSQL, and it has no DATETIME. The
// exact decimals alone are each database's own.
std::string SqlTypeName(const TTypeGuess& guess, std::string_view exactDecimal) {
  switch (guess.Type) {
    case TInferredType::Integer:
      return guess.Wide ? "BIGINT" : "INTEGER";
    case TInferredType::Real:
      if (guess.Scale > 0) {
        return "NUMERIC(" + std::to_string(guess.Precision) + "," + std::to_string(guess.Scale) +
               ")";
      }
      return "DOUBLE PRECISION";
    case TInferredType::Decimal:
      return std::string(exactDecimal);
    case TInferredType::DateTime:
      // SQLite reads either as a date-time; PostgreSQL keeps the offsets.
      return guess.Zoned ? "TIMESTAMPTZ" : "TIMESTAMP";
    default:
      return std::string(TypeName(guess.Type));
  }
}

}  // namespace korvane::cli

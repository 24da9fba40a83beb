// The one reader of number texts: what the import's strict rules, the
// fields' setters and the command's type inference take for a number, and
// whether a column keeps it exactly. StrToFloat (formats.h) stays the
// reader of the forgiving conversions; this one says why a text is no
// number, or what a column would make of it. Private to the library: no
// installed header includes it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/blanks.h"

namespace korvane {

// What a number text may hold beyond an optional sign and digits with one
// decimal separator.
enum TNumberRules : unsigned {
  nrPlain = 0,
  // The thousands separator between groups of three whole digits.
  nrThousands = 1u << 0,
  // An exponent: "1.5e3", "2E-4".
  nrExponent = 1u << 1,
  // A currency symbol ($, €, £, ¥) before or after the number and
  // accounting parentheses for a negative amount.
  nrMoney = 1u << 2,
};

// A number text read in place, as views into the text: the grammar every
// reader of numbers shares (StrToFloat, the integer fields, money amounts,
// the strict rules, type inference), each then making its own value of it.
struct TNumberSpans {
  bool Negative = false;
  // The whole digits (with the thousands separators between their groups
  // when nrThousands allows them), whether the decimal separator follows,
  // and the digits after it; one digit at least between the two runs.
  std::string_view Whole;
  bool Point = false;
  std::string_view Fraction;
  // Whether an exponent follows, and its value (saturated at +-100000).
  bool HasExponent = false;
  long Exponent = 0;
  // The number from its first digit or separator to its end: no blanks,
  // sign, currency symbol or parentheses.
  std::string_view Body;
};

namespace number_scan {

inline bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// An optional '+' or '-' at the front of t; false when one was taken before.
inline bool TakeSign(std::string_view& t, bool& signed_, bool& negative) {
  if (t.empty() || (t.front() != '+' && t.front() != '-')) return true;
  if (signed_) return false;
  signed_ = true;
  negative = t.front() == '-';
  t.remove_prefix(1);
  return true;
}

// The sign, currency symbol and accounting parentheses around a money
// amount, taken off t; false when they do not go together.
bool TakeMoneyAffixes(std::string_view& t, bool& negative);

// The end of the whole digits at the front of t, the thousands separator
// (when allowed) only between groups of three; npos when the groups are
// wrong.
inline std::size_t ScanWhole(std::string_view t, bool grouping, char thousands) {
  std::size_t i = 0;
  std::size_t group = 0;
  bool grouped = false;
  for (; i < t.size(); ++i) {
    const char c = t[i];
    if (IsDigit(c)) {
      ++group;
    } else if (grouping && c == thousands && i + 1 < t.size() && IsDigit(t[i + 1])) {
      if (group == 0 || group > 3 || (grouped && group != 3)) return std::string_view::npos;
      grouped = true;
      group = 0;
    } else {
      break;
    }
  }
  if (grouped && group != 3) return std::string_view::npos;
  return i;
}

}  // namespace number_scan

// Reads the whole of text (blanks around allowed) as a number under rules,
// with decimal and thousands as separators; false when it is none. In line,
// as are SpansToInteger and ExactAmount: every number an import reads goes
// through them, and where rules are a constant the compiler leaves out what
// they do not allow, so that a plain number is read as fast as by a scan of
// its own (through a call, the money amounts of an import take twice the
// instructions).
[[gnu::always_inline]] inline bool ScanNumberText(std::string_view text, unsigned rules,
                                                  char decimal, char thousands, TNumberSpans& n) {
  using number_scan::IsDigit;
  n = TNumberSpans();
  std::string_view t = TrimBlanks(text);
  if ((rules & nrMoney) != 0) {
    if (!number_scan::TakeMoneyAffixes(t, n.Negative)) return false;
  } else {
    bool signed_ = false;
    number_scan::TakeSign(t, signed_, n.Negative);
  }
  std::size_t i = number_scan::ScanWhole(t, (rules & nrThousands) != 0, thousands);
  if (i == std::string_view::npos) return false;
  n.Whole = t.substr(0, i);
  if (i < t.size() && t[i] == decimal) {
    n.Point = true;
    const std::size_t first = ++i;
    while (i < t.size() && IsDigit(t[i])) ++i;
    n.Fraction = t.substr(first, i - first);
  }
  if (n.Whole.empty() && n.Fraction.empty()) return false;
  if ((rules & nrExponent) != 0 && i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
    ++i;
    bool negative = false;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) negative = t[i++] == '-';
    if (i == t.size() || !IsDigit(t[i])) return false;
    long value = 0;
    for (; i < t.size() && IsDigit(t[i]); ++i) {
      value = value * 10 + (t[i] - '0');
      if (value > 100000) value = 100000;
    }
    n.HasExponent = true;
    n.Exponent = negative ? -value : value;
  }
  if (i != t.size()) return false;
  n.Body = t;
  return true;
}

// How many digits a number read by ScanNumberText holds, before and after
// its decimal separator, thousands separators left out.
inline std::size_t DigitCount(const TNumberSpans& n) {
  std::size_t digits = n.Fraction.size();
  for (const char c : n.Whole) digits += number_scan::IsDigit(c) ? 1 : 0;
  return digits;
}

// The value of a whole number (digits before no decimal separator and no
// exponent); false when it does not fit in 64 bits.
inline bool SpansToInteger(const TNumberSpans& n, std::int64_t& value) {
  if (n.Point || n.HasExponent) return false;
  std::uint64_t magnitude = 0;
  for (const char c : n.Whole) {
    if (!number_scan::IsDigit(c)) continue;  // a thousands separator
    if (__builtin_mul_overflow(magnitude, 10u, &magnitude) ||
        __builtin_add_overflow(magnitude, static_cast<unsigned>(c - '0'), &magnitude)) {
      return false;
    }
  }
  // The magnitude of the most negative value is one more than the largest.
  if (magnitude > static_cast<std::uint64_t>(INT64_MAX) + (n.Negative ? 1 : 0)) return false;
  value = static_cast<std::int64_t>(n.Negative ? 0 - magnitude : magnitude);
  return true;
}

// The amount in ten-thousandths of a number of at most four decimals and
// no exponent, read exactly; false for more decimals or an amount beyond
// 64 bits (the most negative amount included).
inline bool ExactAmount(const TNumberSpans& n, std::int64_t& amount) {
  if (n.HasExponent || n.Fraction.size() > 4) return false;
  std::uint64_t value = 0;
  for (const std::string_view digits : {n.Whole, n.Fraction}) {
    for (const char c : digits) {
      if (!number_scan::IsDigit(c)) continue;  // a thousands separator
      if (__builtin_mul_overflow(value, 10u, &value) ||
          __builtin_add_overflow(value, static_cast<unsigned>(c - '0'), &value)) {
        return false;
      }
    }
  }
  static constexpr std::uint64_t kScale[5] = {10000, 1000, 100, 10, 1};
  if (__builtin_mul_overflow(value, kScale[n.Fraction.size()], &value) ||
      value > static_cast<std::uint64_t>(INT64_MAX)) {
    return false;
  }
  amount = n.Negative ? -static_cast<std::int64_t>(value) : static_cast<std::int64_t>(value);
  return true;
}

// A number text taken apart: its sign, its digits (the separators taken
// out), how many of them stand before the decimal separator, and the
// exponent (saturated at +-100000).
struct TNumberParts {
  bool Negative = false;
  std::string Digits;
  std::size_t WholeDigits = 0;
  long Exponent = 0;

  std::string_view Whole() const { return std::string_view(Digits).substr(0, WholeDigits); }
  std::string_view Fraction() const { return std::string_view(Digits).substr(WholeDigits); }
  // True when every digit is 0.
  bool IsZero() const { return Digits.find_first_not_of('0') == std::string::npos; }
  // The decimals the value has: "12.50" 1, "1.5e-3" 4, "1200" 0.
  int Decimals() const;
};

// Reads the whole of text (blanks around allowed) as a number under rules,
// with decimal and thousands as separators; false when it is none.
bool ReadNumberText(std::string_view text, unsigned rules, char decimal, char thousands,
                    TNumberParts& number);

// The value of a word that stands for no finite number, as databases and
// number writers spell them: "inf", "infinity" and "nan", any case, blanks
// around and a sign allowed ("-Infinity", "INF", "NaN"); false for any
// other text. The float columns' readers take these beside numbers, so
// that an infinity written by an export reads back.
bool NonFiniteNumber(std::string_view text, double& value);

// The double nearest to number; false when it is beyond a double's range
// (a magnitude below the smallest double reads as zero).
bool NumberToDouble(const TNumberParts& number, double& value);

// Whether the shortest text of value (a double, or a float when single)
// has the number's value: the round trip through the stored type keeps it.
bool ReadsBackAs(const TNumberParts& number, double value, bool single);

// The number rounded to `decimals` decimals, halves away from zero, on its
// own digits, as a count of 10^-decimals; false when that does not fit in
// 64 bits.
bool RoundedUnits(const TNumberParts& number, int decimals, std::int64_t& units);

// units * 10^-decimals as the nearest double.
double UnitsToDouble(std::int64_t units, int decimals);

// The number as plain decimal text with '.' as its separator, the exponent
// applied: a '-' for a value below zero, the whole digits without leading
// zeros ("0" for none), then the decimals as the number has them, zeros at
// the end kept ("-1.50e1" is "-15.0", "+007" is "7", "-0.00" is "0.00").
// With decimals >= 0 and more than that many decimals, rounded to them on
// its own digits, halves away from zero. False when the text would hold
// more than kDecimalTextDigits digits.
bool DecimalText(const TNumberParts& number, int decimals, std::string& text);
constexpr long kDecimalTextDigits = 1000;
// Whether text already is what DecimalText makes of it with decimals: an
// optional '-' (never before a zero), whole digits without leading zeros,
// and after a '.' one decimal or more, at most decimals of them when
// decimals >= 0.
bool IsDecimalText(std::string_view text, int decimals);

// At most this many significant digits always read back from a double
// (from a float: 6), whatever they are, within the range of normal values.
constexpr int kDoubleDigits = 15;
constexpr int kFloatDigits = 6;

}  // namespace korvane

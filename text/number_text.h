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

namespace korvane {

// Blanks are the bytes up to 32 (the space and the control characters).
inline bool IsBlankByte(char c) { return static_cast<unsigned char>(c) <= 32; }
// text without the blanks around it.
inline std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && IsBlankByte(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlankByte(text.back())) text.remove_suffix(1);
  return text;
}

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

// At most this many significant digits always read back from a double
// (from a float: 6), whatever they are, within the range of normal values.
constexpr int kDoubleDigits = 15;
constexpr int kFloatDigits = 6;

}  // namespace korvane

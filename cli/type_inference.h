// Column types worked out from the values of a sample: what `korvane sniff`
// reports and what `korvane import --create` declares when no --columns are
// given. A type is chosen only when every non-empty value of the column would
// be stored by it as the value it reads, so nothing is lost by taking it.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace korvane::cli {

// Decimal: numbers, one of which at least a double would not keep digit for
// digit (more than 15 significant digits, or beyond 64-bit integers).
enum class TInferredType : std::uint8_t {
  Integer,
  Real,
  Decimal,
  Date,
  DateTime,
  Time,
  Boolean,
  Text
};

// The date layouts tried when no date format is given, in the order they are
// reported.
inline constexpr std::array<std::string_view, 6> kSniffedDateFormats = {
    "yyyy-mm-dd", "m/d/yyyy", "d/m/yyyy", "dd.mm.yyyy", "yyyy/mm/dd", "yyyy.mm.dd"};

struct TTypeGuess {
  TInferredType Type = TInferredType::Text;
  std::string DateFormat;   // Date and DateTime: the layout every value fits
  // The layouts of kSniffedDateFormats every value fits, one bit each (more
  // than one: the column stays Text, the Note names them).
  std::uint32_t DateLayouts = 0;
  bool Wide = false;        // Integer: some value needs more than 32 bits
  // Integer, Real and Decimal: the numbers are read with a decimal comma and
  // thousands points (1.234,5), not with the format settings' separators.
  bool DecimalComma = false;
  bool Zoned = false;       // DateTime: some value has a zone offset (TIMESTAMPTZ)
  // Real: the decimals every value is written with, when that is one count
  // and the zeros that end some values show it is the column's scale
  // (prices: 1.50, 3.10, 2.25); 0 when not. Precision: the digits a column
  // of that scale keeps, enough for the widest value's whole digits.
  int Scale = 0;
  int Precision = 0;
  std::string Note;         // why a column that looked typed stays Text, or empty
  std::int64_t Values = 0;  // non-empty values that voted
};

// The digits of a number written without an exponent: those after the
// decimal separator (Decimals, -1 for a number with an exponent), whether
// the last of them is a zero, and those before it, leading zeros aside.
struct TNumberDigits {
  int Decimals = -1;
  bool ZeroEnd = false;
  int Whole = 0;
};

// The votes of one column's values, added one at a time. Empty values (and
// values of blanks only) do not vote. With a date format given, dates are
// read with the format settings in force (which hold that format); without,
// the layouts of kSniffedDateFormats are tried. Numbers are read with the
// format settings' separators and, when decimalComma is set, also with a
// decimal comma and thousands points, which Result(true) types by.
class TTypeVote {
 public:
  explicit TTypeVote(bool dateFormatGiven = false, bool decimalComma = false)
      : FDateFormatGiven(dateFormatGiven), FDecimalComma(decimalComma) {}

  void Add(std::string_view value);
  // The type every value fits; with decimalComma, numbers as read with a
  // decimal comma.
  TTypeGuess Result(bool decimalComma = false) const;
  // True when value, as the only vote of a column, would allow the type of
  // guess (an empty value fits every type).
  bool Fits(std::string_view value, const TTypeGuess& guess) const;

 private:
  // What Kinds notes of a value besides its kinds.
  struct TTraits {
    bool LeadingZero = false;
    bool Wide = false;       // a whole number of more than 32 bits
    bool WideComma = false;  // the same, read with a decimal comma
    bool BoolWord = false;
    bool Zoned = false;  // an ISO 8601 date-time with a zone offset
    // How a number is written, read with the format settings' decimal
    // separator and with a decimal comma.
    TNumberDigits Digits;
    TNumberDigits DigitsComma;
  };
  // How the values' decimals agree: Scale is kNoScale before the first
  // number, a count all have, or kMixedScale; Whole the most whole digits.
  static constexpr int kNoScale = -2;
  static constexpr int kMixedScale = -1;
  struct TScaleVote {
    int Scale = kNoScale;
    bool ZeroSeen = false;
    int Whole = 0;
    void Add(const TNumberDigits& digits);
  };
  // The kinds of value among wanted (others may be left out).
  std::uint32_t Kinds(std::string_view value, std::uint32_t wanted, TTraits& traits) const;

  bool FDateFormatGiven;
  bool FDecimalComma;
  std::uint32_t FKinds = ~std::uint32_t{0};
  std::int64_t FValues = 0;
  bool FLeadingZero = false;
  bool FWide = false;
  bool FWideComma = false;
  bool FBoolWord = false;
  bool FWithTime = false;
  bool FZoned = false;
  TScaleVote FScale;
  TScaleVote FScaleComma;
};

// The type every non-empty value of values fits (see TTypeVote).
TTypeGuess InferColumnType(const std::vector<std::string_view>& values,
                           bool dateFormatGiven = false);

// "INTEGER", "REAL", "DECIMAL", "DATE", "DATETIME", "TIME", "BOOLEAN", "TEXT".
std::string_view TypeName(TInferredType type);
// The type a column definition declares: TypeName, except BIGINT for whole
// numbers that need more than 32 bits, NUMERIC(p,s) for numbers of a scale
// s (p at least 18; both databases write them back with s decimals) and
// exactDecimal for decimals: the target database's type that keeps their digits
// (SQLite's DECIMAL_TEXT, PostgreSQL's NUMERIC).
std::string SqlTypeName(const TTypeGuess& guess, std::string_view exactDecimal = "DECIMAL_TEXT");

}  // namespace korvane::cli

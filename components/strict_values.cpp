#include "components/strict_values.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <optional>
#include <string>
#include <system_error>

#include "core/classes.h"
#include "core/utf8_head.h"
#include "text/formats.h"
#include "core/sysutils.h"
#include "components/kvtypes.h"
#include "text/number_text.h"

namespace korvane {

namespace {

using number_scan::IsDigit;

// Reads a whole text as a number under the format settings in force; false
// when it is not one.
bool ScanNumber(std::string_view t, unsigned rules, TNumberParts& n) {
  const TFormatSettings& fs = FormatSettings();
  return ReadNumberText(t, rules | nrThousands, fs.DecimalSeparator, fs.ThousandSeparator, n);
}

std::string_view WithoutLeadingZeros(std::string_view digits) {
  while (!digits.empty() && digits.front() == '0') digits.remove_prefix(1);
  return digits;
}

void IntegerRange(TFieldType type, std::int64_t& min, std::int64_t& max) {
  switch (type) {
    case ftSmallint:
      min = -32768;
      max = 32767;
      return;
    case ftWord:
      min = 0;
      max = 65535;
      return;
    case ftInteger:
    case ftAutoInc:
      min = std::numeric_limits<std::int32_t>::min();
      max = std::numeric_limits<std::int32_t>::max();
      return;
    default:
      min = std::numeric_limits<std::int64_t>::min();
      max = std::numeric_limits<std::int64_t>::max();
      return;
  }
}

bool Fail(TValueFault& fault, TRecordErrorReason reason, std::string message) {
  fault.Reason = reason;
  fault.Message = std::move(message);
  return false;
}

// A number of the usual shape read in place under the format settings in
// force: a sign, digits and one decimal separator, no thousands separators
// and no exponent. The count of its digits, or 0 for a text of another
// shape, which the full reader (ScanNumber) then takes, faster than it.
[[gnu::always_inline]] inline std::size_t PlainDigits(std::string_view text, TNumberSpans& n) {
  if (!ScanNumberText(text, nrPlain, FormatSettings().DecimalSeparator, '\0', n)) return 0;
  return n.Whole.size() + n.Fraction.size();
}

bool WriteStrictInteger(std::string_view text, TField* field, TValueFault& fault) {
  const TFormatSettings& fs = FormatSettings();
  TNumberSpans n;
  if (!ScanNumberText(text, nrThousands, fs.DecimalSeparator, fs.ThousandSeparator, n)) {
    return Fail(fault, rerNotANumber, QuotedValue(text) + " is not a number");
  }
  // A fraction of zeros only: "12.00" is the whole number 12.
  if (n.Whole.empty() || n.Fraction.find_first_not_of('0') != std::string_view::npos) {
    return Fail(fault, rerNotANumber, QuotedValue(text) + " is not a whole number");
  }
  n.Point = false;
  std::int64_t min = 0;
  std::int64_t max = 0;
  IntegerRange(field->DataType(), min, max);
  std::int64_t value = 0;
  if (!SpansToInteger(n, value) || value < min || value > max) {
    return Fail(
        fault, rerOutOfRange,
        QuotedValue(text) + " is out of range (" + IntToStr(min) + " to " + IntToStr(max) + ")");
  }
  field->SetAsLargeInt(value);
  return true;
}

// The decimals a field's column keeps exactly, none when it keeps a double
// (or text) of any decimals: money amounts, and the columns of a declared
// NUMERIC(p,s). Below 0 for a column of negative scale, which keeps
// multiples of 10^-s.
std::optional<int> DecimalsKept(const TField* field) {
  const bool declared = (field->DataType() == ftCurrency && field->Currency()) ||
                        (field->Precision() > 0 && field->DataType() != ftFloat);
  if (declared && field->Scale() >= 0) return field->Scale();
  if (field->Precision() < 0 && field->Scale() < 0) return field->Scale();
  return std::nullopt;
}

// The digits p of a NUMERIC(p,s) column, whatever the sign of its scale.
int DeclaredDigits(const TField* field) { return std::abs(field->Precision()); }

// The power of ten of a number's last digit that is not zero ("1230" 1,
// "12.5" -1, "5e3" 3); the number is not zero.
long LastPlace(const TNumberParts& n) {
  const std::size_t last = n.Digits.find_last_not_of('0');
  return n.Exponent + static_cast<long>(n.WholeDigits) - 1 - static_cast<long>(last);
}

// Whether a column of scale kept holds the number's digits below the point
// (or, with kept below 0, above it) as they are.
bool KeepsLowDigits(const TNumberParts& n, int kept) {
  if (kept >= 0) return n.Decimals() <= kept;
  return n.IsZero() || LastPlace(n) >= -kept;
}

// The place of a number's first significant digit: how many digits stand
// before the point from it on ("12.3" 2, "0.05" -1, "0.5e2" 2); the lowest
// long for zero, which fits every column.
long LeadingPlace(std::string_view whole, std::string_view fraction, long exponent) {
  whole = WithoutLeadingZeros(whole);
  if (!whole.empty()) return static_cast<long>(whole.size()) + exponent;
  const std::size_t first = fraction.find_first_not_of('0');
  if (first == std::string_view::npos) return std::numeric_limits<long>::min();
  return exponent - static_cast<long>(first);
}

// Whether a NUMERIC(p,s) column's whole digits limit its numbers: not a
// money column's. It keeps p - s whole digits, none when p = s, and with
// p < s only numbers below 10^(p-s) ("NUMERIC(2,3)": below 0.1).
bool WholeDigitsLimited(const TField* field) { return field->DataType() != ftCurrency; }

// False, with the reason in fault, when the number has more whole digits or
// decimals than its field's column keeps (kept; below 0, a digit that is
// not zero below 10^-kept).
bool DecimalsFit(std::string_view text, const TNumberParts& n, const TField* field, int kept,
                 TValueFault& fault) {
  const int decimals = n.Decimals();
  // An exact decimal's limits by the standard name of its type, whatever
  // the database calls it; for a message only.
  const auto column = [&] {
    return field->DataType() == ftCurrency
               ? std::string("MONEY")
               : "NUMERIC(" + IntToStr(DeclaredDigits(field)) + "," + IntToStr(kept) + ")";
  };
  const long wholeKept = DeclaredDigits(field) - kept;
  if (const long digits = LeadingPlace(n.Whole(), n.Fraction(), n.Exponent);
      WholeDigitsLimited(field) && digits > wholeKept) {
    if (wholeKept < 0) {
      return Fail(fault, rerOutOfRange,
                  QuotedValue(text) + " is out of range; " + column() +
                      " keeps absolute values below 0." + std::string(-wholeKept - 1, '0') + "1");
    }
    // The reader stops counting an exponent far beyond any column.
    const std::string count = digits > kDecimalTextDigits
                                  ? "more than " + IntToStr(kDecimalTextDigits)
                                  : IntToStr(digits);
    return Fail(fault, rerOutOfRange,
                QuotedValue(text) + " has " + count +
                    (digits == 1 ? " whole digit; " : " whole digits; ") + column() + " keeps " +
                    IntToStr(wholeKept));
  }
  if (KeepsLowDigits(n, kept)) return true;
  if (kept < 0) {
    static constexpr const char* kPlaces[] = {"the tens", "the hundreds", "the thousands"};
    const std::string multiple = std::string("1").append(static_cast<std::size_t>(-kept), '0');
    return Fail(fault, rerOutOfRange,
                QuotedValue(text) + " has a non-zero digit below " +
                    (-kept <= 3 ? std::string(kPlaces[-kept - 1]) : multiple) + "; " + column() +
                    " keeps multiples of " + multiple);
  }
  return Fail(fault, rerOutOfRange,
              QuotedValue(text) + " has " + IntToStr(decimals) +
                  (decimals == 1 ? " decimal; " : " decimals; ") + column() + " keeps " +
                  IntToStr(kept));
}

// Whether a number of the usual shape (PlainDigits) fits as DecimalsFit
// finds; false for a column of negative scale, which DecimalsFit sees to.
bool PlainFits(const TNumberSpans& plain, const TField* field, int kept) {
  if (kept < 0 || plain.Fraction.size() > static_cast<std::size_t>(kept)) return false;
  return !WholeDigitsLimited(field) ||
         LeadingPlace(plain.Whole, plain.Fraction, 0) <= DeclaredDigits(field) - kept;
}

// The shortest text of a float, for messages.
std::string SingleText(double value) {
  char buffer[32];
  const auto written = std::to_chars(buffer, buffer + sizeof buffer, static_cast<float>(value));
  return std::string(buffer, written.ptr);
}

bool WriteStrictFloat(std::string_view text, TField* field, bool money, TValueFault& fault) {
  // A column of four-byte floats, and the decimals of a NUMERIC(p,s).
  const bool single = field->DataType() == ftFloat && field->Precision() == 24;
  const std::optional<int> kept = DecimalsKept(field);
  TNumberSpans plain;
  const std::size_t digits = PlainDigits(text, plain);
  if (digits > 0 && digits <= static_cast<std::size_t>(single ? kFloatDigits : kDoubleDigits) &&
      (!kept || PlainFits(plain, field, *kept)) &&
      (!plain.Point || FormatSettings().DecimalSeparator == '.')) {
    // So few digits read back from the stored type whatever they are: the
    // nearest double, as below.
    double value = 0;
    std::from_chars(plain.Body.data(), plain.Body.data() + plain.Body.size(), value);
    field->WriteFloat(plain.Negative ? -value : value);
    return true;
  }
  TNumberParts n;
  if (!ScanNumber(text, money ? nrMoney : nrExponent, n)) {
    // An infinity or NaN, as an export writes it, in a column of floats.
    if (double word = 0; !money && !kept && NonFiniteNumber(text, word)) {
      field->WriteFloat(word);
      return true;
    }
    return Fail(fault, rerNotANumber, QuotedValue(text) + " is not a number");
  }
  if (kept && !DecimalsFit(text, n, field, *kept, fault)) return false;
  double value = 0;
  if (!NumberToDouble(n, value) || (single && !std::isfinite(static_cast<float>(value)))) {
    return Fail(fault, rerOutOfRange, QuotedValue(text) + " is out of range");
  }
  // Nothing is rounded: the text must read back from what is stored.
  if (value == 0 && !n.IsZero()) {
    return Fail(fault, rerOutOfRange,
                QuotedValue(text) + " is below the smallest " +
                    (single ? "4-byte float" : "double") + "; it would be stored as 0");
  }
  if (!ReadsBackAs(n, value, single)) {
    return Fail(fault, rerOutOfRange,
                QuotedValue(text) + " has more digits than " +
                    (single ? "a 4-byte float" : "a double") + " keeps; it would be stored as " +
                    (single ? SingleText(value) : FloatToStr(value)));
  }
  field->WriteFloat(value);
  return true;
}

// An exact decimal kept as its text: any number, within the whole digits
// and decimals its column declares. Out of line, so that the usual types'
// readers stay in line in WriteStrictFieldData.
[[gnu::noinline]] bool WriteStrictDecimalText(std::string_view text, TField* field,
                                              TValueFault& fault) {
  const std::optional<int> kept = DecimalsKept(field);
  // A number of the usual shape that fits is stored without taking it
  // apart; the rest, and what does not fit, as below.
  if (TNumberSpans plain;
      PlainDigits(text, plain) > 0 && (!kept || PlainFits(plain, field, *kept))) {
    field->WriteString(text);
    return true;
  }
  TNumberParts n;
  if (!ScanNumber(text, nrExponent, n)) {
    // NaN and the infinities, as the export writes them, in the spelling
    // the databases read back. A column of declared digits holds no
    // infinity.
    if (double word = 0; NonFiniteNumber(text, word)) {
      if (std::isnan(word) || !kept) {
        field->WriteString(text);
        return true;
      }
      return Fail(fault, rerOutOfRange,
                  QuotedValue(text) + " is out of range; a column of " +
                      IntToStr(DeclaredDigits(field)) + " digits holds no infinity");
    }
    return Fail(fault, rerNotANumber, QuotedValue(text) + " is not a number");
  }
  if (kept && !DecimalsFit(text, n, field, *kept, fault)) return false;
  field->WriteString(text);
  return true;
}

// The significant digits of an amount in ten-thousandths, the zeros at its
// end aside.
int AmountDigits(std::int64_t amount) {
  std::uint64_t magnitude = amount < 0 ? 0 - static_cast<std::uint64_t>(amount)
                                       : static_cast<std::uint64_t>(amount);
  while (magnitude != 0 && magnitude % 10 == 0) magnitude /= 10;
  int digits = 0;
  for (; magnitude != 0; magnitude /= 10) ++digits;
  return digits;
}

// Money in ten-thousandths, exactly: a text of more decimals than the
// column keeps fails. With wide, an amount beyond 64 bits of them goes to
// the field as its plain decimal text.
bool WriteStrictCurrency(std::string_view text, TField* field, TValueFault& fault, bool wide) {
  const int kept = std::clamp(field->Scale(), 0, 4);
  TNumberSpans plain;
  const std::size_t plainDigits = PlainDigits(text, plain);
  std::int64_t amount = 0;
  // Fifteen digits are within what any money column keeps.
  if (plainDigits > 0 && plainDigits <= 15 &&
      plain.Fraction.size() <= static_cast<std::size_t>(kept) && ExactAmount(plain, amount)) {
    field->WriteCurrency(amount);
    return true;
  }
  TNumberParts n;
  if (!ScanNumber(text, nrMoney, n)) {
    return Fail(fault, rerNotANumber, QuotedValue(text) + " is not a number");
  }
  if (!DecimalsFit(text, n, field, kept, fault)) return false;
  if (!RoundedUnits(n, 4, amount)) {
    std::string decimal;
    if (!wide || !DecimalText(n, kept, decimal)) {
      return Fail(fault, rerOutOfRange, QuotedValue(text) + " is out of range");
    }
    field->SetValueText(decimal);
    return true;
  }
  if (const int digits = AmountDigits(amount); field->Precision() > 0 && digits > field->Precision()) {
    return Fail(fault, rerOutOfRange,
                QuotedValue(text) + " has " + IntToStr(digits) + " digits; MONEY keeps " +
                    IntToStr(field->Precision()) + " here (a double)");
  }
  field->WriteCurrency(amount);
  return true;
}

bool WriteStrictBoolean(std::string_view text, TField* field, TValueFault& fault) {
  const std::string_view t = TrimBlanks(text);
  char lower[5] = {};
  if (t.size() <= sizeof lower) {
    for (std::size_t i = 0; i < t.size(); ++i) {
      lower[i] = t[i] >= 'A' && t[i] <= 'Z' ? static_cast<char>(t[i] - 'A' + 'a') : t[i];
    }
    const std::string_view word(lower, t.size());
    if (word == "true" || word == "yes" || word == "t" || word == "y" || word == "1") {
      field->WriteBoolean(true);
      return true;
    }
    if (word == "false" || word == "no" || word == "f" || word == "n" || word == "0") {
      field->WriteBoolean(false);
      return true;
    }
  }
  return Fail(fault, rerNotABoolean,
              QuotedValue(text) + " is not a boolean (true/false, yes/no, t/f, y/n, 1/0)");
}

// Why a text is not laid out as a value of a date, time or date-time
// column: the layout that column takes, or the part it would not keep.
const char* NotIsoText(std::string_view text, TFieldType type) {
  TIsoValue other;
  const bool dateAndTime =
      ReadIso(text, TIsoKind::DateTime, other, isoBasic | isoZeroNanos) == TIsoFault::None;
  if (type == ftDate) {
    if (!dateAndTime || !other.HasTime) return "is not laid out as yyyy-mm-dd or yyyymmdd";
    return other.Micros == 0 ? "has a zone, which a date column does not keep"
                             : "has a time of day, which a date column does not keep";
  }
  if (type == ftTime) {
    return dateAndTime ? "has a date, which a time column does not keep"
                       : "is not laid out as hh:nn, hh:nn:ss or hh:nn:ss.ffffff (or "
                         "Thhnn[ss[.ffffff]]), with an optional zone (Z, +hh, +hhmm, +hh:mm)";
  }
  return IsoFaultText(TIsoFault::NotIso);
}

bool WriteStrictIso(std::string_view text, TField* field, TValueFault& fault, bool utc,
                    bool wide) {
  const TIsoFault iso = WriteIsoFieldData(text, field, utc, wide);
  if (iso == TIsoFault::None) return true;
  const char* what = field->DataType() == ftDate   ? "date"
                     : field->DataType() == ftTime ? "time"
                                                   : "date and time";
  // Digits beyond the sixth are read when they are all zeros.
  const char* why = iso == TIsoFault::NotIso ? NotIsoText(text, field->DataType())
                    : iso == TIsoFault::TooManyDigits
                        ? "has more than 6 digits of a second, not all zeros after the sixth"
                        : IsoFaultText(iso);
  return Fail(fault, rerNotADate,
              QuotedValue(text) + " is not an ISO 8601 " + what + ": it " + why);
}

bool WriteStrictDateTime(std::string_view text, TField* field, TValueFault& fault) {
  const TFormatSettings& fs = FormatSettings();
  TDateTime value = 0;
  switch (field->DataType()) {
    case ftDate:
      if (TryStrToDate(text, value)) break;
      return Fail(fault, rerNotADate,
                  QuotedValue(text) + " is not a date in the format " + fs.ShortDateFormat);
    case ftTime:
      if (TryStrToTime(text, value)) break;
      return Fail(fault, rerNotADate,
                  QuotedValue(text) + " is not a time in the format " + fs.LongTimeFormat);
    default:
      if (TryStrToDateTime(text, value)) break;
      return Fail(fault, rerNotADate,
                  QuotedValue(text) + " is not a date and time in the format " +
                      fs.ShortDateFormat + " " + fs.LongTimeFormat);
  }
  field->WriteDateTime(value);
  return true;
}

}  // namespace

bool RoundsValue(std::string_view text, const TField* field) {
  const std::optional<int> kept = DecimalsKept(field);
  if (field->DataType() == ftCurrency && field->Currency()) {
    // The digits after the first '.' of the kept characters (NumericOnly),
    // zeros at the end aside.
    const std::size_t point = text.find('.');
    if (point == std::string_view::npos) return false;
    int decimals = 0;
    int counted = 0;
    for (std::size_t i = point + 1; i < text.size(); ++i) {
      if (!IsDigit(text[i])) continue;
      ++counted;
      if (text[i] != '0') decimals = counted;
    }
    if (decimals > kept.value_or(-1)) return true;
    // A column that keeps a double keeps at most Precision digits.
    if (field->Precision() <= 0 || text.size() <= static_cast<std::size_t>(field->Precision())) {
      return false;
    }
    std::int64_t amount = 0;
    try {
      amount = NumericCurrency(text);
    } catch (const Exception&) {
      return false;  // not stored
    }
    return AmountDigits(amount) > field->Precision();
  }
  const bool single = field->DataType() == ftFloat && field->Precision() == 24;
  if (!kept) {
    if (field->DataType() != ftFloat && field->DataType() != ftBCD &&
        field->DataType() != ftCurrency) {
      return false;
    }
    // So few digits read back, whatever they are. Other shapes (an
    // exponent, far below or above) are read in full below.
    TNumberSpans plain;
    const std::size_t digits = PlainDigits(text, plain);
    if (digits > 0 && digits <= static_cast<std::size_t>(single ? kFloatDigits : kDoubleDigits)) {
      return false;
    }
  }
  TNumberParts n;
  if (!ScanNumber(text, nrExponent, n)) return false;
  if (kept && !KeepsLowDigits(n, *kept)) return true;
  if (field->DataType() != ftFloat && field->DataType() != ftBCD) return false;
  double value = 0;
  return NumberToDouble(n, value) && !ReadsBackAs(n, value, single);
}

std::string QuotedValue(std::string_view text) {
  constexpr std::size_t kShown = 60;
  std::string quoted = "\"";
  quoted += Utf8Head(text, kShown);
  quoted += text.size() > kShown ? "...\"" : "\"";
  return quoted;
}

namespace {

// A date or time beyond a date-time's reach, stored as the text of its
// column's database (see ReadWideIso); the fault of the plain reading when
// the text is not of those forms either.
TIsoFault WriteWideIsoFieldData(std::string_view text, TField* field, TIsoKind kind, bool utc,
                                TIsoFault plain) {
  TIsoValue value;
  const TIsoFault fault = ReadWideIso(text, kind, value, isoZeroNanos);
  if (fault != TIsoFault::None) return fault == TIsoFault::NotIso ? plain : fault;
  if (utc && value.HasZone) {
    MoveToUtc(value, true);
    value.HasZone = false;
  }
  field->SetValueText(WideIsoText(value));
  return TIsoFault::None;
}

}  // namespace

TIsoFault WriteIsoFieldData(std::string_view text, TField* field, bool utc, bool wide) {
  const TFieldType type = field->DataType();
  const TIsoKind kind =
      type == ftDate ? TIsoKind::Date : type == ftTime ? TIsoKind::Time : TIsoKind::DateTime;
  TIsoValue value;
  const TIsoFault fault = ReadIso(text, kind, value, isoBasic | isoZeroNanos);
  if (fault != TIsoFault::None) {
    return wide ? WriteWideIsoFieldData(text, field, kind, utc, fault) : fault;
  }
  if (utc && value.HasZone) {
    if (!MoveToUtc(value)) {
      if (!wide) return TIsoFault::UtcOutOfRange;
      // In UTC the day falls beyond the years 1 to 9999.
      MoveToUtc(value, true);
      value.HasZone = false;
      field->SetValueText(WideIsoText(value));
      return TIsoFault::None;
    }
    value.HasZone = false;
  }
  if (value.FitsDateTime()) {
    field->WriteDateTime(value.DateTime());
  } else {
    char canonical[kIsoTextRoom];
    field->SetValueText(std::string_view(canonical, PutIso(canonical, value) - canonical));
  }
  return TIsoFault::None;
}

bool WriteStrictFieldData(std::string_view text, TField* field, bool wholeValues,
                          TValueFault& fault, TDateTimeStyle style, bool utc, bool wide,
                          bool wideMoney) {
  if (text.empty()) return true;
  try {
    switch (field->DataType()) {
      case ftSmallint:
      case ftInteger:
      case ftWord:
      case ftAutoInc:
      case ftLargeint:
        return WriteStrictInteger(text, field, fault);
      case ftFloat:
      case ftBCD:
        return WriteStrictFloat(text, field, false, fault);
      case ftCurrency:
        return field->Currency() ? WriteStrictCurrency(text, field, fault, wideMoney)
                                 : WriteStrictFloat(text, field, true, fault);
      case ftDecimalText:
        return WriteStrictDecimalText(text, field, fault);
      case ftBoolean:
        return WriteStrictBoolean(text, field, fault);
      case ftDate:
      case ftTime:
      case ftDateTime:
        return style == dsISO8601 ? WriteStrictIso(text, field, fault, utc, wide)
                                  : WriteStrictDateTime(text, field, fault);
      default:
        break;
    }
    const TFieldType type = field->DataType();
    if (wholeValues && IsBinaryType(type) && text.starts_with("\\x")) {
      if (WriteWholeFieldData(text, field)) return true;
      return Fail(fault, rerInvalidValue,
                  QuotedValue(text) + " is not \\x and pairs of hexadecimal digits");
    }
    // A text column of a wide NUMERIC(p,s) refuses what it would round.
    if (const std::optional<int> kept = DecimalsKept(field)) {
      TNumberParts n;
      if (ScanNumber(text, nrExponent, n) && !DecimalsFit(text, n, field, *kept, fault)) {
        return false;
      }
    }
    // Texts, memos and blobs take the text as it stands; errors of storing
    // it come with their own message.
    if (type == ftBlob || type == ftMemo || type == ftFmtMemo) {
      AppendFieldBlob(text, field);
    } else {
      field->WriteString(text);
    }
    return true;
  } catch (const ERangeError& e) {
    return Fail(fault, rerOutOfRange, QuotedValue(text) + " is out of range: " + e.Message());
  } catch (const std::exception& e) {
    return Fail(fault, rerInvalidValue, QuotedValue(text) + " cannot be stored: " + e.what());
  }
}

}  // namespace korvane

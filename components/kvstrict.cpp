#include "components/kvstrict.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <system_error>

#include "core/classes.h"
#include "text/formats.h"
#include "core/sysutils.h"
#include "components/kvtypes.h"

namespace korvane {

namespace {

bool IsBlank(char c) { return static_cast<unsigned char>(c) <= 32; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

// The parts of a number text: its sign, the digits before and after the
// decimal separator (thousands separators taken out) and the exponent.
struct TNumberParts {
  bool Negative = false;
  std::string Whole;
  std::string Fraction;
  long Exponent = 0;
};

constexpr std::string_view kCurrencySymbols[] = {"$", "\xE2\x82\xAC", "\xC2\xA3", "\xC2\xA5"};

bool StripSymbolPrefix(std::string_view& t) {
  for (std::string_view symbol : kCurrencySymbols) {
    if (t.starts_with(symbol)) {
      t = TrimBlanks(t.substr(symbol.size()));
      return true;
    }
  }
  return false;
}

bool StripSymbolSuffix(std::string_view& t) {
  for (std::string_view symbol : kCurrencySymbols) {
    if (t.ends_with(symbol)) {
      t = TrimBlanks(t.substr(0, t.size() - symbol.size()));
      return true;
    }
  }
  return false;
}

// An optional '+' or '-' at the front of t; false when one was taken before.
bool TakeSign(std::string_view& t, bool& signed_, bool& negative) {
  if (t.empty() || (t.front() != '+' && t.front() != '-')) return true;
  if (signed_) return false;
  signed_ = true;
  negative = t.front() == '-';
  t.remove_prefix(1);
  return true;
}

// The digits of t into whole, the thousands separator allowed only between
// groups of three; returns how many bytes it read, or npos when the groups
// are wrong.
std::size_t ScanWhole(std::string_view t, std::string& whole) {
  const char thousands = FormatSettings().ThousandSeparator;
  std::size_t i = 0;
  std::size_t group = 0;
  bool grouped = false;
  for (; i < t.size(); ++i) {
    const char c = t[i];
    if (IsDigit(c)) {
      whole += c;
      ++group;
    } else if (c == thousands && i + 1 < t.size() && IsDigit(t[i + 1])) {
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

// Reads a whole text as a number; false when it is not one. money allows
// a currency symbol and accounting parentheses, exponent an exponent.
bool ScanNumber(std::string_view t, bool money, bool exponent, TNumberParts& n) {
  t = TrimBlanks(t);
  bool parenthesised = false;
  if (money && t.size() >= 2 && t.front() == '(' && t.back() == ')') {
    parenthesised = true;
    t = TrimBlanks(t.substr(1, t.size() - 2));
  }
  bool signed_ = false;
  if (!TakeSign(t, signed_, n.Negative)) return false;
  if (money && (StripSymbolPrefix(t) || StripSymbolSuffix(t))) {
    if (!TakeSign(t, signed_, n.Negative)) return false;
  }
  if (parenthesised) {
    if (signed_) return false;
    n.Negative = true;
  }
  const std::size_t whole = ScanWhole(t, n.Whole);
  if (whole == std::string_view::npos) return false;
  std::size_t i = whole;
  if (i < t.size() && t[i] == FormatSettings().DecimalSeparator) {
    for (++i; i < t.size() && IsDigit(t[i]); ++i) n.Fraction += t[i];
  }
  if (n.Whole.empty() && n.Fraction.empty()) return false;
  if (exponent && i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
    std::string_view e = t.substr(i + 1);
    bool expNegative = false;
    if (!e.empty() && (e.front() == '+' || e.front() == '-')) {
      expNegative = e.front() == '-';
      e.remove_prefix(1);
    }
    if (e.empty() || !IsDigit(e.front())) return false;
    long value = 0;
    for (i = 0; i < e.size() && IsDigit(e[i]); ++i) {
      value = std::min<long>(value * 10 + (e[i] - '0'), 100000);
    }
    if (i != e.size()) return false;
    n.Exponent = expNegative ? -value : value;
    return true;
  }
  return i == t.size();
}

std::string_view WithoutLeadingZeros(std::string_view digits) {
  while (!digits.empty() && digits.front() == '0') digits.remove_prefix(1);
  return digits;
}

// The digits as a magnitude; false when it goes past 64 bits.
bool DigitsValue(std::string_view digits, std::uint64_t& value) {
  value = 0;
  for (char c : digits) {
    if (__builtin_mul_overflow(value, 10u, &value) ||
        __builtin_add_overflow(value, static_cast<unsigned>(c - '0'), &value)) {
      return false;
    }
  }
  return true;
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

// The usual shape of a number, an optional '-' and at most `digits` digits
// with at most `decimals` after a '.' (the DecimalSeparator in force): the
// forgiving readers take such a text exactly as the strict rules do, and
// faster.
bool PlainNumber(std::string_view t, std::size_t digits, std::size_t decimals) {
  if (!t.empty() && t.front() == '-') t.remove_prefix(1);
  const std::size_t point = t.find('.');
  if (point != std::string_view::npos &&
      (decimals == 0 || FormatSettings().DecimalSeparator != '.' ||
       t.size() - point - 1 > decimals)) {
    return false;
  }
  std::size_t count = 0;
  for (std::size_t i = 0; i < t.size(); ++i) {
    if (i == point) continue;
    if (!IsDigit(t[i])) return false;
    ++count;
  }
  return count > 0 && count <= digits && point != 0;
}

bool WriteStrictInteger(std::string_view text, TField* field, TValueFault& fault) {
  if (PlainNumber(text, 18, 0)) {
    // Eighteen digits fit 64 bits; the field's own range is checked here so
    // that a value beyond it says so as below.
    std::int64_t value = 0;
    for (char c : text) value = c == '-' ? value : value * 10 + (c - '0');
    if (text.front() == '-') value = -value;
    std::int64_t min = 0;
    std::int64_t max = 0;
    IntegerRange(field->DataType(), min, max);
    if (value >= min && value <= max) {
      field->WriteString(text);
      return true;
    }
  }
  TNumberParts n;
  if (!ScanNumber(text, false, false, n)) {
    return Fail(fault, rerNotANumber, QuotedValue(text) + " is not a number");
  }
  if (n.Fraction.find_first_not_of('0') != std::string::npos || n.Whole.empty()) {
    return Fail(fault, rerNotANumber, QuotedValue(text) + " is not a whole number");
  }
  std::int64_t min = 0;
  std::int64_t max = 0;
  IntegerRange(field->DataType(), min, max);
  std::uint64_t magnitude = 0;
  const bool fits = DigitsValue(WithoutLeadingZeros(n.Whole), magnitude) &&
                    (n.Negative ? magnitude <= 0 - static_cast<std::uint64_t>(min)
                                : magnitude <= static_cast<std::uint64_t>(max));
  if (!fits) {
    return Fail(
        fault, rerOutOfRange,
        QuotedValue(text) + " is out of range (" + IntToStr(min) + " to " + IntToStr(max) + ")");
  }
  const std::int64_t value =
      n.Negative ? static_cast<std::int64_t>(0 - magnitude) : static_cast<std::int64_t>(magnitude);
  field->SetAsLargeInt(value);
  return true;
}

bool WriteStrictFloat(std::string_view text, TField* field, bool money, TValueFault& fault) {
  if (PlainNumber(text, 64, 64)) {
    // Sixty-four digits are far within a double's range: the nearest
    // double, as below.
    double value = 0;
    std::from_chars(text.data(), text.data() + text.size(), value);
    field->WriteFloat(value);
    return true;
  }
  TNumberParts n;
  if (!ScanNumber(text, money, !money, n)) {
    return Fail(fault, rerNotANumber, QuotedValue(text) + " is not a number");
  }
  std::string plain = n.Whole.empty() ? std::string("0") : n.Whole;
  if (!n.Fraction.empty()) plain += '.' + n.Fraction;
  plain += 'e' + std::to_string(n.Exponent);
  double value = 0;
  const auto [end, ec] = std::from_chars(plain.data(), plain.data() + plain.size(), value);
  if (ec == std::errc::result_out_of_range) {
    // Past a double's largest value, or below its smallest (which reads as
    // zero, as StrToFloat has it).
    const std::string_view whole = WithoutLeadingZeros(n.Whole);
    const std::size_t zeros = n.Fraction.find_first_not_of('0');
    const long scale = !whole.empty() ? static_cast<long>(whole.size())
                                      : -static_cast<long>(zeros == std::string::npos ? 0 : zeros);
    if (scale + n.Exponent > 0) {
      return Fail(fault, rerOutOfRange, QuotedValue(text) + " is out of range");
    }
    value = 0;
  } else if (ec != std::errc() || end != plain.data() + plain.size()) {
    return Fail(fault, rerNotANumber, QuotedValue(text) + " is not a number");
  }
  field->WriteFloat(n.Negative ? -value : value);
  return true;
}

// Money in ten-thousandths, rounded to the nearest, halves away from zero.
bool WriteStrictCurrency(std::string_view text, TField* field, TValueFault& fault) {
  if (PlainNumber(text, 15, 4)) {
    field->WriteCurrency(NumericCurrency(text));
    return true;
  }
  TNumberParts n;
  if (!ScanNumber(text, true, false, n)) {
    return Fail(fault, rerNotANumber, QuotedValue(text) + " is not a number");
  }
  std::string digits(WithoutLeadingZeros(n.Whole));
  std::string fraction = n.Fraction;
  fraction.resize(std::max<std::size_t>(fraction.size(), 5), '0');
  digits += fraction.substr(0, 4);
  std::uint64_t amount = 0;
  bool fits = DigitsValue(digits, amount);
  if (fits && fraction[4] >= '5') fits = !__builtin_add_overflow(amount, 1u, &amount);
  const std::uint64_t limit =
      static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) + (n.Negative ? 1 : 0);
  if (!fits || amount > limit) {
    return Fail(fault, rerOutOfRange, QuotedValue(text) + " is out of range");
  }
  field->WriteCurrency(n.Negative ? static_cast<std::int64_t>(0 - amount)
                                  : static_cast<std::int64_t>(amount));
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

std::string QuotedValue(std::string_view text) {
  constexpr std::size_t kShown = 60;
  std::string quoted = "\"";
  quoted += text.substr(0, kShown);
  quoted += text.size() > kShown ? "...\"" : "\"";
  return quoted;
}

bool WriteStrictFieldData(std::string_view text, TField* field, bool wholeValues,
                          TValueFault& fault) {
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
        return field->Currency() ? WriteStrictCurrency(text, field, fault)
                                 : WriteStrictFloat(text, field, true, fault);
      case ftBoolean:
        return WriteStrictBoolean(text, field, fault);
      case ftDate:
      case ftTime:
      case ftDateTime:
        return WriteStrictDateTime(text, field, fault);
      default:
        break;
    }
    const TFieldType type = field->DataType();
    if (wholeValues && IsBinaryType(type) && text.starts_with("\\x")) {
      if (WriteWholeFieldData(text, field)) return true;
      return Fail(fault, rerInvalidValue,
                  QuotedValue(text) + " is not \\x and pairs of hexadecimal digits");
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

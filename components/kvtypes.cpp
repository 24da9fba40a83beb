#include "components/kvtypes.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "text/formats.h"
#include "core/sysutils.h"
#include "text/number_text.h"
#include "io/text_encoding.h"

namespace korvane {

bool FieldInFieldList(TFieldListAction action, const TStrings* list, std::string_view fieldName) {
  if (list == nullptr) return true;
  switch (action) {
    case flaInclude:
      return list->IndexOf(fieldName) >= 0;
    case flaExclude:
      return list->IndexOf(fieldName) < 0;
    default:
      return true;
  }
}

namespace {

// name without the characters SameLooseName leaves out.
std::string LooseName(std::string_view name) {
  std::string kept;
  kept.reserve(name.size());
  for (const char c : name) {
    if (c != ' ' && c != '\t' && c != '-' && c != '_' && c != '.') kept += c;
  }
  return kept;
}

}  // namespace

bool SameLooseName(std::string_view a, std::string_view b) {
  const std::string looseA = LooseName(a);
  return !looseA.empty() && SameText(looseA, LooseName(b));
}

namespace {

bool IsNumericChar(char c) { return (c >= '0' && c <= '9') || c == '-' || c == '.'; }

}  // namespace

std::string NumericOnly(std::string_view text) {
  // A blank text has none of the kept characters, so it gives "" as well.
  std::string result;
  for (char c : text) {
    if (IsNumericChar(c)) result += c;
  }
  return result;
}

bool StrToBoolean(std::string_view text) {
  static constexpr std::string_view kTrueTexts = "|TRUE|1|YES|";
  const std::string_view t = TrimBlanks(text);
  // A text longer than the list cannot be a piece of it.
  if (t.empty() || t.size() > kTrueTexts.size()) return false;
  auto upper = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; };
  // The same as kTrueTexts.find(...) != npos, compared in place: the text
  // is at most twelve bytes and this runs for every boolean value. A first
  // byte the literal does not hold ("FALSE", "NO", "0") settles it at once,
  // and "TRUE" itself, the usual text, is one comparison.
  switch (upper(t[0])) {
    case '|':
    case 'T':
    case 'R':
    case 'U':
    case 'E':
    case '1':
    case 'Y':
    case 'S':
      break;
    default:
      return false;
  }
  const std::size_t n = t.size();
  if (n == 4) {
    // Setting bit 5 turns exactly the four letters' two cases into "true".
    std::uint32_t word;
    std::memcpy(&word, t.data(), sizeof word);
    std::uint32_t lowerTrue;
    std::memcpy(&lowerTrue, "true", sizeof lowerTrue);
    if ((word | 0x20202020u) == lowerTrue) return true;
  }
  char folded[kTrueTexts.size()] = {};
  for (std::size_t i = 0; i < n; ++i) folded[i] = upper(t[i]);
  for (std::size_t at = 0; at + n <= kTrueTexts.size(); ++at) {
    std::size_t k = 0;
    while (k < n && kTrueTexts[at + k] == folded[k]) ++k;
    if (k == n) return true;
  }
  return false;
}

namespace {

// A money amount as a count of ten-thousandths, rounded to the nearest.
std::int64_t ToCurrency(double amount) {
  const double scaled = amount * 10000.0;
  // Below 2^52 a double's whole part and fraction are both exact, so halves
  // round away from zero without a library call; from 2^52 on every double
  // is whole already.
  if (std::fabs(scaled) < 4503599627370496.0) {
    const auto whole = static_cast<std::int64_t>(scaled);
    const double fraction = scaled - static_cast<double>(whole);
    if (fraction >= 0.5) return whole + 1;
    if (fraction <= -0.5) return whole - 1;
    return whole;
  }
  if (!std::isfinite(scaled) || scaled < -9223372036854775808.0 ||
      scaled >= 9223372036854775808.0) {
    throw ERangeError("Currency amount out of range");
  }
  return static_cast<std::int64_t>(scaled);
}

}  // namespace

double NumericFloat(std::string_view text) {
  char local[64];
  if (text.size() > sizeof local) return StrToFloat(NumericOnly(text));
  std::size_t n = 0;
  for (char c : text) {
    if (IsNumericChar(c)) local[n++] = c;
  }
  return StrToFloat(std::string_view(local, n));
}

std::int64_t NumericCurrency(std::string_view text) {
  // At most four decimals: the amount exactly, in integers (through a
  // double, some amounts of twelve whole digits and more would be off by one
  // ten-thousandth, so that the text written for an amount would not read
  // back as that amount). The usual text is a plain number, which its kept
  // characters read the same as: read in place.
  const TFormatSettings& fs = FormatSettings();
  TNumberSpans spans;
  std::int64_t amount = 0;
  if (fs.DecimalSeparator == '.' && ScanNumberText(text, nrPlain, '.', '\0', spans) &&
      ExactAmount(spans, amount)) {
    return amount;
  }
  // The kept characters (NumericOnly), in place for a short text.
  char local[64];
  std::string longText;
  std::string_view kept;
  if (text.size() <= sizeof local) {
    std::size_t n = 0;
    for (const char c : text) {
      if (IsNumericChar(c)) local[n++] = c;
    }
    kept = std::string_view(local, n);
  } else {
    longText = NumericOnly(text);
    kept = longText;
  }
  if (ScanNumberText(kept, nrPlain, fs.DecimalSeparator, '\0', spans) &&
      ExactAmount(spans, amount)) {
    return amount;
  }
  // More decimals: rounded on the text's own digits, halves away from zero
  // (through a double, 0.00015 would be 1 and 12.34565 123456).
  const double value = StrToFloat(kept);  // raises for a text StrToFloat refuses
  TNumberParts parts;
  if (!ReadNumberText(kept, nrPlain, fs.DecimalSeparator, fs.ThousandSeparator, parts)) {
    return ToCurrency(value);
  }
  if (!RoundedUnits(parts, 4, amount)) throw ERangeError("Currency amount out of range");
  return amount;
}

void AppendFieldBlob(std::string_view text, TField* field) {
  TBlobStream stream(field, bmReadWrite);
  stream.Seek(0, TBlobStream::soFromEnd);
  stream.Write(text.data(), static_cast<std::int64_t>(text.size()));
  stream.Commit();  // raising here counts as failure; the destructor cannot report
}

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

bool WriteWholeFieldData(std::string_view text, TField* field) {
  if (!IsBinaryType(field->DataType()) || text.size() < 2 || text[0] != '\\' || text[1] != 'x') {
    return WriteFieldData(text, field);
  }
  const std::string_view digits = text.substr(2);
  if (digits.size() % 2 != 0) return false;
  std::string bytes(digits.size() / 2, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const int high = HexDigit(digits[2 * i]);
    const int low = HexDigit(digits[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    bytes[i] = static_cast<char>(high * 16 + low);
  }
  try {
    if (bytes.empty()) {
      // An empty value, not none: "\\x" alone.
      if (field->IsNull()) field->SetAsString(bytes);
    } else if (field->DataType() == ftBlob) {
      AppendFieldBlob(bytes, field);
    } else {
      field->SetAsString(bytes);
    }
  } catch (const std::exception&) {
    return false;  // as WriteFieldData: the value is not stored
  }
  return true;
}

std::string FieldDelimiterChar(TFieldDelimiter delimiter) {
  switch (delimiter) {
    case fdlSingle:
      return "'";
    case fdlDouble:
      return "\"";
    case fdlNone:
      break;
  }
  return std::string();
}

std::string FieldSeparatorChar(TFieldSeparator separator, const std::string& customSeparator) {
  switch (separator) {
    case fspPipe:
      return "|";
    case fspTab:
      return "\t";
    case fspComma:
      return ",";
    case fspCustom:
    case fspNone:
      break;
  }
  if (customSeparator.empty()) return customSeparator;
  // Its first character: a UTF-8 one of several bytes whole, else one byte.
  const auto lead = static_cast<unsigned char>(customSeparator[0]);
  const std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
  if (length > 1 && customSeparator.size() >= length &&
      FindInvalidUtf8(std::string_view(customSeparator).substr(0, length)) == std::string_view::npos) {
    return customSeparator.substr(0, length);
  }
  return customSeparator.substr(0, 1);
}

bool SeparatorCharFits(const std::string& value, std::string& error) {
  if (value == "\r" || value == "\n") {
    error = "SeparatorChar cannot be a line end";
    return false;
  }
  if (value.size() <= 1) return true;
  // One UTF-8 character of more than one byte: its lead byte gives its length.
  const auto lead = static_cast<unsigned char>(value[0]);
  const std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
  if (length != value.size() || FindInvalidUtf8(value) != std::string_view::npos) {
    error = "SeparatorChar \"" + value + "\" is not one character";
    return false;
  }
  return true;
}

std::string NormaliseCustomSeparator(std::string_view value) {
  const std::string trimmed = Trim(value);
  return trimmed.substr(0, trimmed.empty() ? 0 : 1);
}

}  // namespace korvane

namespace korvane {

int FixedWidth(const TField& field, TDateTimeStyle style) {
  // Texts and blobs that declare no size are given the room of a short text.
  constexpr int kUndeclared = 255;
  const int size = field.Size() > 0 ? field.Size() : kUndeclared;
  const bool iso = style == dsISO8601;
  int width = 0;
  switch (field.DataType()) {
    case ftString:
    case ftFixedChar:
    case ftWideString:
    case ftMemo:
    case ftFmtMemo:
      width = size;
      break;
    case ftBCD:
    case ftDecimalText:
      // A sign, the digits and the decimal separator; 38 digits where the
      // column declares no precision.
      width = std::max(field.DisplayWidth(), (field.Precision() > 0 ? field.Precision() : 38) + 2);
      break;
    case ftDate:
      width = iso ? 10 : field.DisplayWidth();
      break;
    case ftTime:
      width = iso ? 21 : field.DisplayWidth() + 4;  // hh:nn:ss.ffffff+hh:mm, or ".zzz"
      break;
    case ftDateTime:
      width = iso ? 32 : field.DisplayWidth() + 4;
      break;
    default:
      width = IsBinaryType(field.DataType()) ? 2 + 2 * size : field.DisplayWidth();
      break;
  }
  return std::max(width, static_cast<int>(field.FieldName().size()));
}

bool ParseFixedWidths(std::string_view text, std::vector<int>& widths, std::string& fault) {
  widths.clear();
  if (Trim(text).empty()) return true;
  std::size_t start = 0;
  for (;;) {
    const std::size_t comma = text.find(',', start);
    const std::string item =
        Trim(text.substr(start, comma == std::string_view::npos ? comma : comma - start));
    int width = 0;
    const auto [end, ec] = std::from_chars(item.data(), item.data() + item.size(), width);
    if (item.empty() || ec != std::errc() || end != item.data() + item.size() || width < 1) {
      fault = "the widths \"" + std::string(text) + "\" are not whole numbers of at least 1 "
              "separated by commas (\"" + std::string(item) + "\")";
      widths.clear();
      return false;
    }
    widths.push_back(width);
    if (comma == std::string_view::npos) return true;
    start = comma + 1;
  }
}

}  // namespace korvane

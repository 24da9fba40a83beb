// The record plan's lines: each record's values written onto the output in
// the columns Build worked out, quoted and padded, or the record left out
// with its reason. Values that need more than the usual quotes go through
// record_plan_quotes.cpp; fixed-width columns' checks are in
// record_plan_fixed.cpp.
#include "export/record_plan.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <variant>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "text/formats_iso.h"
#include "text/number_text.h"
#include "text/speed_internal.h"
#include "core/sysutils.h"
#include "export/field_traits.h"

namespace korvane {

using namespace export_plan;

namespace {

// Stores n blanks at p in sixteen-byte steps, at least one: up to sixteen
// bytes past them are stored too. Most paddings take the first step only.
void FillBlanks(char* p, std::size_t n) {
  static constexpr char kBlanks[17] = "                ";
  std::memcpy(p, kBlanks, 16);
  if (n <= 16) return;
  if (n > 48) {
    std::memset(p, ' ', n);
    return;
  }
  std::memcpy(p + 16, kBlanks, 16);
  if (n > 32) std::memcpy(p + 32, kBlanks, 16);
}

// Pads the value [first, end) with blanks up to width and returns the new
// end. Aligned on the left, the value starts the column and the blanks
// follow it. Aligned on the right (right set), the value starts width +
// kRightAhead bytes past column and is moved to end the column, after the
// blanks; a value of at most kNumberRoom bytes is moved sixteen bytes at a
// time, within the column's room. A value longer than width is kept whole.
[[gnu::always_inline]] inline char* Pad(char* column, char* first, char* end, std::size_t width,
                                        bool right) {
  const auto length = static_cast<std::size_t>(end - first);
  if (!right) {
    if (length < width) FillBlanks(end, width - length);
    return length < width ? first + width : end;
  }
  if (length >= width) {
    std::memmove(column, first, length);
    return column + length;
  }
  const std::size_t blanks = width - length;
  FillBlanks(column, blanks);  // stores end before first
  char* const to = column + blanks;
  if (length <= 16) {  // most numbers
    std::memcpy(to, first, 16);
  } else if (length <= kNumberRoom) {
    char value[kNumberRoom];
    std::memcpy(value, first, kNumberRoom);
    std::memcpy(to, value, kNumberRoom);
  } else {
    std::memmove(to, first, length);
  }
  return column + width;
}

// How a record's plan reads its values from the dataset's current record,
// by field index.
struct TFieldReader {
  const TFieldData* Values;
  const TFieldData& At(const TColumn& column, std::size_t) const { return Values[column.index]; }
  static bool IsNull(const TFieldData& data) { return korvane::IsNull(data); }
  static std::optional<std::string_view> Text(const TFieldData& data) {
    if (const auto* text = std::get_if<std::string>(&data)) return std::string_view(*text);
    return std::nullopt;
  }
  static const std::int64_t* Int(const TFieldData& data) {
    return std::get_if<std::int64_t>(&data);
  }
  static const bool* Bool(const TFieldData& data) { return std::get_if<bool>(&data); }
  static const double* Double(const TFieldData& data) { return std::get_if<double>(&data); }
  // The value AsDateTime reads: 0 without a value.
  static double Date(const TColumn& column, const TFieldData& data) {
    if (const auto* value = std::get_if<double>(&data)) return *value;
    if (korvane::IsNull(data)) return 0;
    return column.field->AsDateTime();  // another alternative converts or raises
  }
};

// How it reads them from a copy, by column.
struct TCopyReader {
  const TCopiedValue* Row;
  const char* Texts;
  const TCopiedValue& At(const TColumn&, std::size_t k) const { return Row[k]; }
  static bool IsNull(const TCopiedValue& value) { return value.Alternative == vkNull; }
  std::optional<std::string_view> Text(const TCopiedValue& value) const {
    if (value.Alternative != vkText) return std::nullopt;
    return std::string_view(Texts + value.Offset, value.Length);
  }
  static const std::int64_t* Int(const TCopiedValue& value) {
    return value.Alternative == vkInteger ? &value.Integer : nullptr;
  }
  static const bool* Bool(const TCopiedValue& value) {
    return value.Alternative == vkBoolean ? &value.Boolean : nullptr;
  }
  static const double* Double(const TCopiedValue& value) {
    return value.Alternative == vkFloat ? &value.Float : nullptr;
  }
  // Copies carry dates and empty values only.
  static double Date(const TColumn&, const TCopiedValue& value) {
    return value.Alternative == vkFloat ? value.Float : 0;
  }
};

bool IsIsoKind(TColumnKind kind) {
  return kind == TColumnKind::ckIsoDate || kind == TColumnKind::ckIsoTime ||
         kind == TColumnKind::ckIsoDateTime;
}

// The ISO text of a value of an ISO column (at most kIsoTextRoom bytes).
inline char* PutIsoValue(TColumnKind kind, char* p, double value) {
  switch (kind) {
    case TColumnKind::ckIsoDate:
      return PutIsoDate(p, value);
    case TColumnKind::ckIsoTime:
      return PutIsoTime(p, value);
    default:
      return PutIsoDateTime(p, value);
  }
}

// Whether a text a dataset holds in an ISO column is a value of the
// column's kind in ISO 8601 (one with microseconds or a zone), read into
// value.
bool IsIsoValueText(TColumnKind kind, std::string_view text, TIsoValue& value) {
  const TIsoKind isoKind = kind == TColumnKind::ckIsoDate   ? TIsoKind::Date
                           : kind == TColumnKind::ckIsoTime ? TIsoKind::Time
                                                            : TIsoKind::DateTime;
  return !text.empty() && static_cast<unsigned char>(text.front()) > 32 &&
         static_cast<unsigned char>(text.back()) > 32 && ReadIso(text, isoKind, value) == TIsoFault::None;
}

// Whether a text a dataset holds in a money, date or time field is a value
// of its column all the same: an amount beyond the field's 64 bits, a date
// beyond a date-time's years (as the database writes them; see
// TField::SetValueText).
bool IsColumnValueText(const TField& field, std::string_view text) {
  TIsoValue value;
  switch (field.DataType()) {
    case ftCurrency:
      return IsDecimalText(text, -1);
    case ftDate:
      return ReadWideIso(text, TIsoKind::Date, value) == TIsoFault::None;
    case ftTime:
      return ReadWideIso(text, TIsoKind::Time, value) == TIsoFault::None;
    case ftDateTime:
      return ReadWideIso(text, TIsoKind::DateTime, value) == TIsoFault::None;
    default:
      return false;
  }
}

// The shortest digits that read back as a finite value, laid out without
// an exponent (1e+23 as 100000000000000000000000, where its exact digits
// are 99999999999999991611392): at most 327 bytes at to (4.9e-324).
char* ShortestPlainDigits(double value, char* to) {
  char text[32];
  const char* const last = std::to_chars(text, text + sizeof text, value,
                                         std::chars_format::scientific).ptr;
  const char* const e = std::find(static_cast<const char*>(text), last, 'e');
  const char* first = text;
  if (*first == '-') *to++ = *first++;
  char digits[24];
  int count = 0;
  for (const char* c = first; c < e; ++c) {
    if (*c != '.') digits[count++] = *c;
  }
  int exponent = 0;
  std::from_chars(e + 1 + (e[1] == '+' ? 1 : 0), last, exponent);
  const int point = exponent + 1;  // the digits before the decimal point
  if (point <= 0) {
    *to++ = '0';
    *to++ = '.';
    to = std::fill_n(to, -point, '0');
    return std::copy_n(digits, count, to);
  }
  for (int i = 0; i < point; ++i) *to++ = i < count ? digits[i] : '0';
  if (count > point) {
    *to++ = '.';
    to = std::copy(digits + point, digits + count, to);
  }
  return to;
}

}  // namespace

void TRecordPlan::LeaveOut(std::string_view reason, std::string_view field, bool unfit) {
  if (FLeftOut == nullptr) return;
  TLeftOutRecords& totals = FLeftOut->Totals;
  if (totals.Count++ == 0) {
    totals.FirstRecord = FRecords;
    totals.FirstReason.assign(reason);
  }
  if (unfit) ++FLeftOut->Unfit;
  if (FLeftOut->List.size() < TLeftOutLog::kListed) {
    FLeftOut->List.push_back({FRecords, std::string(field), std::string(reason), unfit});
  }
}

void TRecordPlan::LeaveOutEmptyLine() {
  constexpr std::string_view kWhy = ", and an empty line reads back as no record";
  if (FColumns.size() == 1) {
    const std::string& name = FColumns.front().field->FieldName();
    LeaveOut("the value of field '" + name + "' is empty, the record's only value" +
                 std::string(kWhy),
             name, true);
    return;
  }
  // No one field is the cause.
  LeaveOut("the record's " + std::to_string(FColumns.size()) +
               " values are all empty, with no separator between them" + std::string(kWhy),
           {}, true);
}

std::size_t TRecordPlan::Put() {
  ++FRecords;
  // No columns also when the dataset is gone: nothing to read then.
  if (FColumns.empty()) {
    if (!FBuildFailure.empty()) LeaveOut(FBuildFailure);
    return 0;
  }
  return PutRecordAs(TFieldReader{FDataSet->CurrentValues()});
}

std::size_t TRecordPlan::PutCopy(const TCopiedValue* row, const char* texts) {
  ++FRecords;
  if (FColumns.empty()) {
    if (!FBuildFailure.empty()) LeaveOut(FBuildFailure);
    return 0;
  }
  return PutRecordAs(TCopyReader{row, texts});
}

template <class TReader>
std::size_t TRecordPlan::PutRecordAs(const TReader& reader) {
  if (FFixed) return PutRecord<true, false, false>(reader);
  if (FEscape != 0) {
    return FStandard ? PutRecord<false, true, true>(reader) : PutRecord<false, false, true>(reader);
  }
  return FStandard ? PutRecord<false, true, false>(reader) : PutRecord<false, false, false>(reader);
}

char* TRecordPlan::PutText(TLineWriter& line, char* p, std::string_view text,
                           const TColumn& column) {
  p = line.Room(p, text.size() + column.rest);
  std::memcpy(p, text.data(), text.size());
  return p + text.size();
}

char* TRecordPlan::PutStoredText(TLineWriter& line, char* p, std::string_view text,
                                 const TColumn& column) {
  // A value of the column is written as its values are; any other text is
  // quoted like any text, also where the column's own values are not.
  if (IsColumnValueText(*column.field, text)) return PutText(line, p, text, column);
  if (FStandard) FQuoteText = true;  // QuoteValue puts the quotes
  if (column.wrap || FQuote == 0 || FStandard) return PutText(line, p, text, column);
  p = line.Room(p, text.size() + 2 + column.rest);
  *p++ = FQuote;
  std::memcpy(p, text.data(), text.size());
  p += text.size();
  *p++ = FQuote;
  return p;
}

char* TRecordPlan::PutScaledNumber(TLineWriter& line, char* p, const std::int64_t* whole,
                                   const double* real, const TColumn& column) {
  // The shortest text that reads back as the value, without an exponent.
  char digits[400];
  char* end = digits;
  if (whole != nullptr) {
    end = std::to_chars(digits, digits + sizeof digits, *whole).ptr;
  } else if (!std::isfinite(*real)) {
    end = FloatToChars(digits, digits + sizeof digits, *real, FDecimalSeparator);
    return PutText(line, p, std::string_view(digits, static_cast<std::size_t>(end - digits)),
                   column);
  } else {
    end = ShortestPlainDigits(*real, digits);
  }
  FText.assign(digits, end);
  const std::size_t point = FText.find('.');
  const std::size_t decimals = point == std::string::npos ? 0 : FText.size() - point - 1;
  if (point == std::string::npos) {
    FText += FDecimalSeparator;
  } else {
    FText[point] = FDecimalSeparator;
  }
  if (decimals < column.scale) FText.append(column.scale - decimals, '0');
  return PutText(line, p, FText, column);
}

char* TRecordPlan::PutFieldText(TLineWriter& line, char* p, const TColumn& column) {
  FText.clear();
  column.field->AppendText(FText);
  return PutText(line, p, FText, column);
}

char* TRecordPlan::PutHex(TLineWriter& line, char* p, std::string_view bytes,
                          const TColumn& column) {
  static constexpr char kDigits[] = "0123456789abcdef";
  p = line.Room(p, 2 + 2 * bytes.size() + column.rest);
  *p++ = '\\';
  *p++ = 'x';
  for (const char byte : bytes) {
    const auto b = static_cast<unsigned char>(byte);
    *p++ = kDigits[b >> 4];
    *p++ = kDigits[b & 15];
  }
  return p;
}

void TRecordPlan::AppendWholeTime(double value) {
  std::uint16_t hour = 0;
  std::uint16_t minute = 0;
  std::uint16_t second = 0;
  std::uint16_t ms = 0;
  DecodeTime(value, hour, minute, second, ms);
  if (!FTimeTakesMilliseconds) {
    FText += FormatDateTime(ms != 0 ? "hh:nn:ss.zzz" : "hh:nn:ss", value);
    return;
  }
  AppendTimeToStr(FText, value);
  if (ms != 0) {
    const char digits[4] = {'.', static_cast<char>('0' + ms / 100),
                            static_cast<char>('0' + ms / 10 % 10),
                            static_cast<char>('0' + ms % 10)};
    FText.append(digits, 4);
  }
}

char* TRecordPlan::PutDate(TLineWriter& line, char* p, const TColumn& column, bool none,
                           double value) {
  if (none) {
    // No value: nothing, or the width in blanks.
    if (!FFixed) return p;
    FillBlanks(p, column.width);
    return p + column.width;
  }
  if (column.kind == TColumnKind::ckDate) return FDates->Put(p, value);
  if (IsIsoKind(column.kind)) {
    // Within the room the column has; fixed-width lines pad the text.
    char* const end = PutIsoValue(column.kind, p, value);
    if (FFixed && static_cast<std::size_t>(end - p) < column.width) {
      FillBlanks(end, column.width - static_cast<std::size_t>(end - p));
      return p + column.width;
    }
    return end;
  }
  FText.clear();
  switch (column.kind) {
    case TColumnKind::ckTime:
      AppendTimeToStr(FText, value);
      break;
    case TColumnKind::ckDateText:
      AppendDateToStr(FText, value);
      break;
    case TColumnKind::ckWholeTime:
      AppendWholeTime(value);
      break;
    case TColumnKind::ckWholeDateTime:
      AppendDateToStr(FText, value);
      FText += ' ';
      AppendWholeTime(value);
      break;
    default:
      column.field->AppendText(FText);
      break;
  }
  return PutText(line, p, FText, column);
}

// Writes one value at p and returns its end. The usual values of the usual
// kinds are written here, within the room the line already has, so that
// the value still starts at p; the rest go through PutOtherValue, which
// may move the line and sets first to where the value starts then.
template <bool kStandard, class TReader, class TData>
[[gnu::always_inline]] inline char* TRecordPlan::PutValue(TLineWriter& line, char* p, char*& first,
                                                          const TColumn& column,
                                                          const TReader& reader,
                                                          const TData& data, bool& special) {
  first = p;
  switch (column.kind) {
    case TColumnKind::ckNothing:
      return p;
    case TColumnKind::ckDecimalText:
      // Written as it is held where its point is the decimal separator.
      if (FDecimalSeparator != '.') break;
      [[fallthrough]];
    case TColumnKind::ckString:
      if (const auto value = reader.Text(data); value && value->size() <= kShortText) {
        if constexpr (kStandard) {
          special = speed_internal::CopyShortFinding(p, value->data(), value->size(), FQuote,
                                                     FSeparator != 0 ? FSeparator : FQuote);
        } else {
          speed_internal::CopyShort(p, value->data(), value->size());
        }
        return p + value->size();
      }
      break;
    case TColumnKind::ckInteger:
      if (const auto* value = reader.Int(data)) return speed_internal::PutIntegerLanes(p, *value);
      break;
    case TColumnKind::ckBoolean:
      if (const auto* value = reader.Bool(data)) {
        std::memcpy(p, *value ? "True\0\0\0\0" : "False\0\0\0", 8);
        return p + (*value ? 4 : 5);
      }
      break;
    case TColumnKind::ckFloat:
      if (const auto* value = reader.Double(data); value && column.scale == 0) {
        // Whole values keep the sign of a negative zero, which the field's
        // text drops, so that it reads back as itself.
        if (*value == 0 && std::signbit(*value) && FWhole) [[unlikely]] {
          std::memcpy(p, "-0", 2);
          return p + 2;
        }
        return FloatToChars(p, p + kFloatRoom, *value, FDecimalSeparator);
      }
      break;
    case TColumnKind::ckCurrency:
      if (const auto* value = reader.Int(data)) {
        return speed_internal::PutCurrencyAmountLanes(p, *value, FDecimalSeparator);
      }
      break;
    case TColumnKind::ckDate:
      // Dates through the plan's writer, the most usual, without a call.
      if (!column.askDate) {
        if (const auto* value = reader.Double(data)) return FDates->Put(p, *value);
      }
      break;
    case TColumnKind::ckIsoDate:
    case TColumnKind::ckIsoTime:
    case TColumnKind::ckIsoDateTime:
      if (!column.askDate && !FFixed) {
        if (const auto* value = reader.Double(data)) return PutIsoValue(column.kind, p, *value);
      }
      break;
    default:
      break;
  }
  const std::size_t start = line.Length(p);
  p = PutOtherValue(line, p, column, reader, data);
  first = line.At(start);
  FOtherValue = true;
  return p;
}

// The values PutValue leaves: the field's own texts, long texts, binary
// data in hexadecimal, dates but through the plan's writer, no value, and
// values of another alternative than the column's kind reads.
template <class TReader, class TData>
[[gnu::noinline]] char* TRecordPlan::PutOtherValue(TLineWriter& line, char* p,
                                                   const TColumn& column, const TReader& reader,
                                                   const TData& data) {
  switch (column.kind) {
    case TColumnKind::ckField:
      if (const std::string* stored = column.field->StoredText();
          stored != nullptr && !column.field->OnGetText()) {
        return PutStoredText(line, p, *stored, column);
      }
      return PutFieldText(line, p, column);
    case TColumnKind::ckString:
      if (const auto value = reader.Text(data)) return PutText(line, p, *value, column);
      break;
    case TColumnKind::ckDecimalText:
      if (const auto value = reader.Text(data)) {
        p = PutText(line, p, *value, column);
        std::replace(p - value->size(), p, '.', FDecimalSeparator);
        return p;
      }
      break;
    case TColumnKind::ckHex:
      if (const auto value = reader.Text(data)) return PutHex(line, p, *value, column);
      break;
    case TColumnKind::ckFloat:
      if (column.scale > 0) {
        const std::int64_t* whole = reader.Int(data);
        const double* real = reader.Double(data);
        if (whole != nullptr || real != nullptr) return PutScaledNumber(line, p, whole, real, column);
      }
      break;
    case TColumnKind::ckNothing:
    case TColumnKind::ckInteger:
    case TColumnKind::ckBoolean:
    case TColumnKind::ckCurrency:
      break;
    default:
      // Dates: a text is a value the dataset could not read as a date, or
      // under ISO one it holds as its ISO text (microseconds, a zone),
      // which is written as a date is.
      if (const auto value = reader.Text(data)) {
        TIsoValue iso;
        if (IsIsoKind(column.kind) && IsIsoValueText(column.kind, *value, iso)) {
          std::string_view text = *value;
          char utc[kIsoTextRoom + 3];
          if (FUtc && iso.HasZone) {
            // The same instant as written would not be in UTC: the record
            // is left out rather than written with another offset.
            if (!MoveToUtc(iso)) {
              throw std::runtime_error("the value of field '" + column.field->FieldName() +
                                       "' \"" + std::string(*value) +
                                       "\" cannot be written in UTC: it falls outside the years "
                                       "1 to 9999 there");
            }
            // In UTC, written as PostgreSQL writes a session's UTC.
            iso.HasZone = false;
            char* end = PutIso(utc, iso);
            *end++ = '+';
            *end++ = '0';
            *end++ = '0';
            text = std::string_view(utc, static_cast<std::size_t>(end - utc));
          }
          p = PutText(line, p, text, column);
          if (FFixed && text.size() < column.width) {
            FillBlanks(p, column.width - text.size());
            p += column.width - text.size();
          }
          return p;
        }
        return PutStoredText(line, p, *value, column);
      }
      if (column.askDate) {
        return PutDate(line, p, column, column.field->IsNull(), column.field->AsDateTime());
      }
      return PutDate(line, p, column, reader.IsNull(data), reader.Date(column, data));
  }
  // A text in a column of another type is a value the dataset could not
  // read as that type; a value of another alternative is the field's text
  // (which raises as it does elsewhere); no value is nothing.
  if (const auto value = reader.Text(data); value && column.field->StoredText() != nullptr) {
    return PutStoredText(line, p, *value, column);
  }
  return reader.IsNull(data) ? p : PutFieldText(line, p, column);
}

namespace {

// Whether one of the n bytes at value is quote, separator, CR or LF.
// Sixteen bytes at a time with SSE2: value lies in a line, whose room past
// every value (see TLineWriter) lets the last load reach past its end; the
// bytes there are masked out.
[[gnu::always_inline]] inline bool NeedsQuotes(const char* value, std::size_t n, char quote,
                                               char separator) {
#if defined(__SSE2__)
  const __m128i vq = _mm_set1_epi8(quote);
  const __m128i vs = _mm_set1_epi8(separator);
  const __m128i cr = _mm_set1_epi8('\r');
  const __m128i lf = _mm_set1_epi8('\n');
  for (std::size_t i = 0; i < n; i += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(value + i));
    const unsigned keep = n - i >= 16 ? 0xffffu : (1u << (n - i)) - 1;
    const __m128i found = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, vq), _mm_cmpeq_epi8(v, vs)),
                                       _mm_or_si128(_mm_cmpeq_epi8(v, cr), _mm_cmpeq_epi8(v, lf)));
    if ((static_cast<unsigned>(_mm_movemask_epi8(found)) & keep) != 0) return true;
  }
  return false;
#else
  return std::any_of(value, value + n, [quote, separator](char c) {
    return c == quote || c == separator || c == '\r' || c == '\n';
  });
#endif
}

}  // namespace

template <bool kEscape>
[[gnu::always_inline]] inline char* TRecordPlan::QuoteValue(TLineWriter& line, char* first, char* p,
                                                            const TColumn& column, bool none,
                                                            bool found) {
  const auto n = static_cast<std::size_t>(p - first);
  bool search = column.scan || FQuoteText;
  if (FOtherValue) {
    search = true;  // not one of the column's usual values
    FOtherValue = false;
  }
  bool special;
  if constexpr (kEscape) {
    static_cast<void>(search);
    static_cast<void>(found);
    special = NeedsEscapes(first, n);
  } else {
    special = found || (search && NeedsQuotes(first, n, FQuote, FSeparator));
    // The search found a separator's first byte: it may start another character.
    if (special && !FMultiSeparator.empty()) special = NeedsQuotesExactly(first, n);
  }
  if (!special && !FQuoteText && n != 0) {
    // The usual value: closed when it was opened, the closing quote being
    // in the column's room (kColumnRoom).
    *p = FQuote;
    return p + (column.askQuote ? 1 : 0);
  }
  return QuoteOtherValue(line, first, p, column, none, special);
}

template <bool kFixed, bool kStandard, bool kEscape, class TReader>
std::size_t TRecordPlan::PutRecord(const TReader& reader) {
  TLineWriter line(FOutput);
  char* p = line.Begin(FColumns.front().rest);
  // Held apart from FColumns, which every byte stored might change as far
  // as the compiler knows.
  const std::size_t count = FColumns.size();
  const TColumn* const columns = FColumns.data();
  try {
    for (std::size_t k = 0; k < count; ++k) {
      const TColumn& column = columns[k];
      std::memcpy(p, column.open, sizeof column.open);
      p += column.openLength;
      const auto& data = reader.At(column, k);
      char* first;
      bool special = false;  // standard rules: a short text holds a byte that needs quotes
      if constexpr (kFixed) {
        const std::size_t ahead = column.right ? column.width + kRightAhead : 0;
        p = PutValue<false>(line, p + ahead, first, column, reader, data, special);
        std::size_t width = column.width;
        if (FColumnsLayout) width = CheckColumnValue(column, first, p, reader.IsNull(data));
        if (column.pad) p = Pad(first - ahead, first, p, width, column.right);
      } else {
        p = PutValue<kStandard>(line, p, first, column, reader, data, special);
        if constexpr (kStandard) {
          p = QuoteValue<kEscape>(line, first, p, column, reader.IsNull(data), special);
        } else if constexpr (kEscape) {
          p = EscapeValue(line, first, p, column);
        }
        if constexpr (!kStandard) {
          if (FCheckUnquoted) CheckUnquotedValue(column, first, p, reader.IsNull(data));
        }
      }
    }
  } catch (const EUnfitValue& e) {
    LeaveOut(e.what(), e.Field, true);
    return 0;
  } catch (const std::exception& e) {
    // A record that cannot be read is left out whole, with its reason.
    FQuoteText = false;
    LeaveOut(e.what());
    return 0;
  } catch (...) {
    // Host code (a field's OnGetText handler) raised something that
    // carries no text: left out all the same, saying so.
    FQuoteText = false;
    LeaveOut("a field's handler raised an error without a message");
    return 0;
  }
  *p = FQuote;
  p += FCloseLength;
  const std::size_t length = line.Length(p);
  if (length == 0) {
    // An empty line reads back as no record: with whole values, a record of
    // nothing but empty values (one null or, unquoted, one empty text; or
    // several with no separator between them) is left out with its reason
    // rather than without a word.
    if (FWhole) LeaveOutEmptyLine();
    return 0;
  }
  std::memcpy(p, FLineEnd, 2);
  line.End(p + FRecordSeparator.size());
  return length;
}

}  // namespace korvane

#include "datasets/sqlite/sqlite_codec.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <string>
#include <utility>

#include "text/formats.h"
#include "text/formats_internal.h"
#include "text/formats_iso.h"
#include "text/number_text.h"
#include "core/sysutils.h"

namespace korvane::sqlite_parts {

namespace {

// ---------------------------------------------------------------------------
// Date-time values count days from 1899-12-30 with the time of day as the
// fraction; before that day the fraction still counts forward from
// midnight (-1.25 is 1899-12-29 06:00).

constexpr std::int64_t kUnixDay = formats_internal::kUnixDay;
constexpr std::int64_t kFirstDay = formats_internal::kMinDay;
constexpr std::int64_t kLastDay = formats_internal::kMaxDay;
constexpr std::int64_t kMsPerDay = formats_internal::kMsPerDay;
constexpr std::int64_t kCurrencyScale = TSQLiteCodec::kCurrencyScale;

// Splits a value into its calendar day and the milliseconds of its time of
// day (rounded). False outside the years 1 to 9999.
bool SplitDateTime(double value, std::int64_t& day, std::int64_t& ms) {
  if (!std::isfinite(value) || value < static_cast<double>(kFirstDay) - 1 ||
      value > static_cast<double>(kLastDay) + 1) {
    return false;
  }
  const double whole = std::trunc(value);
  day = static_cast<std::int64_t>(whole);
  // Dates hold whole days: no time of day to round.
  ms = value == whole ? 0 : std::llround(std::fabs(value - whole) * static_cast<double>(kMsPerDay));
  if (ms >= kMsPerDay) {
    ms -= kMsPerDay;
    ++day;
  }
  return day >= kFirstDay && day <= kLastDay;
}

double DateTimeOf(std::int64_t day, std::int64_t ms) {
  return ComposeDateTime(static_cast<double>(day),
                         static_cast<double>(ms) / static_cast<double>(kMsPerDay));
}

// A point on a linear day scale (fractions count forward even before day
// zero) as a date-time value.
double FromLinearDays(double days) {
  const double day = std::floor(days);
  return ComposeDateTime(day, days - day);
}

template <int Width>
char* PutDigits(char* p, std::int64_t value) {
  auto v = static_cast<std::uint32_t>(value);
  for (int i = Width - 1; i >= 0; --i) {
    p[i] = static_cast<char>('0' + v % 10);
    v /= 10;
  }
  return p + Width;
}

// 'YYYY-MM-DD', by the platform's calendar.
char* PutDate(char* p, std::int64_t day) {
  int year = 0;
  int month = 0;
  int dayOfMonth = 0;
  formats_internal::CivilFromDays(day, year, month, dayOfMonth);
  p = PutDigits<4>(p, year);
  *p++ = '-';
  p = PutDigits<2>(p, month);
  *p++ = '-';
  return PutDigits<2>(p, dayOfMonth);
}

// 'HH:MM:SS', with '.fff' only when there are milliseconds.
char* PutTime(char* p, std::int64_t ms) {
  p = PutDigits<2>(p, ms / 3600000);
  *p++ = ':';
  p = PutDigits<2>(p, ms / 60000 % 60);
  *p++ = ':';
  p = PutDigits<2>(p, ms / 1000 % 60);
  if (ms % 1000 != 0) {
    *p++ = '.';
    p = PutDigits<3>(p, ms % 1000);
  }
  return p;
}

// Numbers SQLite holds as text, read as SQL writes them: a sign, digits
// with '.' for the point, an exponent; no thousands separators.
bool TextToInt64(std::string_view s, std::int64_t& value) {
  TNumberSpans n;
  return ScanNumberText(s, nrPlain, '.', '\0', n) && SpansToInteger(n, value);
}

bool TextToDouble(std::string_view s, double& value) {
  TNumberSpans n;
  if (!ScanNumberText(s, nrExponent, '.', '\0', n)) return false;
  const auto [end, ec] = std::from_chars(n.Body.data(), n.Body.data() + n.Body.size(), value);
  if (ec != std::errc() || end != n.Body.data() + n.Body.size()) return false;
  if (n.Negative) value = -value;
  return true;
}

bool DoubleToInt64(double d, std::int64_t& value) {
  // 2^63 is exactly representable; everything below it converts.
  if (!(d >= -9223372036854775808.0 && d < 9223372036854775808.0) || std::trunc(d) != d) {
    return false;
  }
  value = static_cast<std::int64_t>(d);
  return true;
}

bool TextToBoolean(std::string_view s, bool& value) {
  static constexpr std::pair<std::string_view, bool> kWords[] = {
      {"TRUE", true}, {"FALSE", false}, {"T", true},  {"F", false}, {"YES", true},
      {"NO", false},  {"Y", true},      {"N", false}, {"1", true},  {"0", false}};
  for (const auto& [word, meaning] : kWords) {
    if (SameText(s, word)) {
      value = meaning;
      return true;
    }
  }
  return false;
}

// Stores value in a record slot, reusing the alternative it holds.
template <typename T>
bool Store(TFieldData& slot, T value) {
  if (auto* held = std::get_if<T>(&slot)) {
    *held = value;
  } else {
    slot.emplace<T>(value);
  }
  return true;
}

bool StoreNull(TFieldData& slot) {
  if (!std::holds_alternative<std::monostate>(slot)) slot.emplace<std::monostate>();
  return true;
}

// The readers of a typed column: type is SQLite's type of v, text its text
// (trimmed, not empty) when that is TEXT or BLOB.

bool LoadInteger(int type, sqlite3_value* v, std::string_view text, TFieldData& slot) {
  std::int64_t i = 0;
  double d = 0;
  if (type == SQLITE_INTEGER) {
    i = sqlite3_value_int64(v);
  } else if (type == SQLITE_FLOAT) {
    if (!DoubleToInt64(sqlite3_value_double(v), i)) return false;
  } else if (!TextToInt64(text, i) && !(TextToDouble(text, d) && DoubleToInt64(d, i))) {
    return false;
  }
  return Store(slot, i);
}

bool LoadBoolean(int type, sqlite3_value* v, std::string_view text, TFieldData& slot) {
  // A number other than 0 and 1 (2, -1, 0.5, stored by another program) is
  // no value of the column: not read as true, which would lose it.
  bool b = false;
  if (type == SQLITE_INTEGER) {
    const std::int64_t i = sqlite3_value_int64(v);
    if (i != 0 && i != 1) return false;
    b = i == 1;
  } else if (type == SQLITE_FLOAT) {
    const double d = sqlite3_value_double(v);
    if (d != 0 && d != 1) return false;
    b = d == 1;
  } else if (!TextToBoolean(text, b)) {
    return false;
  }
  return Store(slot, b);
}

bool LoadFloat(int type, sqlite3_value* v, std::string_view text, TFieldData& slot) {
  double d = 0;
  if (type == SQLITE_INTEGER || type == SQLITE_FLOAT) {
    d = sqlite3_value_double(v);
  } else if (!TextToDouble(text, d)) {
    return false;
  }
  return Store(slot, d);
}

bool LoadCurrency(int type, sqlite3_value* v, std::string_view text, TFieldData& slot) {
  if (type == SQLITE_INTEGER) {
    const std::int64_t i = sqlite3_value_int64(v);
    if (i > INT64_MAX / kCurrencyScale || i < INT64_MIN / kCurrencyScale) return false;
    return Store(slot, i * kCurrencyScale);
  }
  double d = 0;
  if (type == SQLITE_FLOAT) {
    d = sqlite3_value_double(v);
  } else if (!TextToDouble(text, d)) {
    return false;
  }
  std::int64_t i = 0;
  // Below 2^50 ten-thousandths the scaled double is within a quarter of the
  // amount; above, the multiplication may miss it, and the amount is read
  // from the double's shortest digits (15 of them always read back).
  if (std::fabs(d) * kCurrencyScale < 1125899906842624.0) {
    if (!DoubleToInt64(std::round(d * kCurrencyScale), i)) return false;
  } else {
    char digits[32];
    const auto written = std::to_chars(digits, digits + sizeof digits, d);
    TNumberParts number;
    if (written.ec != std::errc() ||
        !ReadNumberText(std::string_view(digits, static_cast<std::size_t>(written.ptr - digits)),
                        nrExponent, '.', ',', number) ||
        !RoundedUnits(number, 4, i)) {
      return false;
    }
  }
  // An amount of more decimals than money keeps (12.34567, stored by
  // another program) is no value of the column: not rounded to four.
  return TSQLiteCodec::AmountDouble(i) == d && Store(slot, i);
}

// The part of a day and time a date, time or date-time field keeps; false
// for a date with a time of day, which a date field would drop.
bool StoreDayAndTime(TStorage storage, std::int64_t day, std::int64_t ms, TFieldData& slot) {
  if (storage == TStorage::Date) return ms == 0 && Store(slot, static_cast<double>(day));
  if (storage == TStorage::Time) return Store(slot, DateTimeOf(0, ms));
  return Store(slot, DateTimeOf(day, ms));
}

bool LoadDateTime(TStorage storage, int type, sqlite3_value* v, std::string_view text,
                  TFieldData& slot) {
  double value = 0;
  if (type == SQLITE_FLOAT) {
    // A Julian day number.
    value = FromLinearDays(sqlite3_value_double(v) - 2415018.5);
  } else if (type == SQLITE_INTEGER) {
    // Seconds since 1970-01-01.
    value = FromLinearDays(static_cast<double>(sqlite3_value_int64(v)) / 86400.0 +
                           static_cast<double>(kUnixDay));
  } else {
    // A text of the column's kind in ISO 8601. One a date-time cannot hold
    // exactly (microseconds, a zone) is kept as the text it is stored as, a
    // value of the column all the same; any other text (a date with a time
    // in a date column, nanoseconds) is no value of the column, and is not
    // read as the part of it that would fit.
    TIsoValue iso;
    const TIsoKind kind = storage == TStorage::Date   ? TIsoKind::Date
                          : storage == TStorage::Time ? TIsoKind::Time
                                                      : TIsoKind::DateTime;
    if (ReadIso(text, kind, iso) != TIsoFault::None) return false;
    if (!iso.FitsDateTime()) {
      TSQLiteCodec::StoreBytes(slot, text.data(), text.size());
      return true;
    }
    return StoreDayAndTime(storage, iso.Day, iso.Micros / 1000, slot);
  }
  std::int64_t day = 0;
  std::int64_t ms = 0;
  return SplitDateTime(value, day, ms) && StoreDayAndTime(storage, day, ms, slot);
}

}  // namespace

bool TSQLiteCodec::Load(TStorage storage, sqlite3_value* v, TFieldData& slot) {
  const int type = sqlite3_value_type(v);
  if (type == SQLITE_NULL) return StoreNull(slot);
  if (storage == TStorage::Text || storage == TStorage::Blob || storage == TStorage::Untyped) {
    // A text in a BLOB column does not fit: written out as a blob's bytes,
    // it would come back a blob. Nor does a blob in a TEXT column: written
    // out as its raw bytes, it would come back a text. Nor does a number in
    // a BLOB column or one of no type, which keep it as a number: written
    // out as its digits, it would come back a blob or a text.
    if (storage == TStorage::Blob ? type != SQLITE_BLOB
                                  : type == SQLITE_BLOB ||
                                        (storage == TStorage::Untyped && type != SQLITE_TEXT)) {
      return false;
    }
    if (type == SQLITE_FLOAT) {
      TDoubleText digits;
      const std::string_view text = HeldText(v, digits);
      StoreBytes(slot, text.data(), text.size());
      return true;
    }
    const char* bytes = storage == TStorage::Blob
                            ? static_cast<const char*>(sqlite3_value_blob(v))
                            : reinterpret_cast<const char*>(sqlite3_value_text(v));
    const std::size_t size = bytes ? static_cast<std::size_t>(sqlite3_value_bytes(v)) : 0;
    StoreBytes(slot, bytes ? bytes : "", size);
    return true;
  }
  if (storage == TStorage::Variant) {
    // A blob is none of the kinds such a field shows: written out as its raw
    // bytes, it would come back a text (or not as UTF-8 at all).
    if (type == SQLITE_BLOB) return false;
    if (type == SQLITE_INTEGER) return Store(slot, std::int64_t{sqlite3_value_int64(v)});
    if (type == SQLITE_FLOAT) return Store(slot, sqlite3_value_double(v));
    const std::string_view text = ValueText(v);
    StoreBytes(slot, text.data(), text.size());
    return true;
  }
  // A typed column: an empty text means no value.
  std::string_view text;
  if (type == SQLITE_TEXT || type == SQLITE_BLOB) {
    text = TrimBlanks(ValueText(v));
    if (text.empty()) return StoreNull(slot);
  }
  switch (storage) {
    case TStorage::Integer:
      return LoadInteger(type, v, text, slot);
    case TStorage::Boolean:
      return LoadBoolean(type, v, text, slot);
    case TStorage::Float:
      return LoadFloat(type, v, text, slot);
    case TStorage::Currency:
      return LoadCurrency(type, v, text, slot);
    case TStorage::Date:
    case TStorage::Time:
    case TStorage::DateTime:
      return LoadDateTime(storage, type, v, text, slot);
    default:
      return StoreNull(slot);
  }
}

std::string TSQLiteCodec::NumericAffinityText(std::string_view text) {
  // SQLite reads a decimal literal with blanks around it: a sign, digits
  // with a point among or after them (or digits after a point), an
  // exponent.
  const auto space = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && space(text[begin])) ++begin;
  while (end > begin && space(text[end - 1])) --end;
  const std::string_view t = text.substr(begin, end - begin);
  std::size_t i = 0;
  if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
  std::size_t digits = 0;
  while (i < t.size() && t[i] >= '0' && t[i] <= '9') ++i, ++digits;
  bool integer = true;
  if (i < t.size() && t[i] == '.') {
    integer = false;
    ++i;
    while (i < t.size() && t[i] >= '0' && t[i] <= '9') ++i, ++digits;
  }
  if (digits == 0) return {};
  if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
    integer = false;
    std::size_t j = i + 1;
    if (j < t.size() && (t[j] == '+' || t[j] == '-')) ++j;
    const std::size_t exponentFrom = j;
    while (j < t.size() && t[j] >= '0' && t[j] <= '9') ++j;
    if (j == exponentFrom) return {};
    i = j;
  }
  if (i != t.size()) return {};
  char out[32];
  if (integer) {
    std::int64_t value = 0;
    const char* from = t.data() + (t[0] == '+' ? 1 : 0);
    const auto read = std::from_chars(from, t.data() + t.size(), value);
    if (read.ec == std::errc() && read.ptr == t.data() + t.size()) {
      return std::string(out, std::to_chars(out, out + sizeof out, value).ptr);
    }
  }
  // A real (or an integer beyond 64 bits): a double, an integer again
  // when it is a whole number within 64 bits.
  const std::string_view number = t.substr(t[0] == '+' ? 1 : 0);
  double d = 0;
  const auto read = std::from_chars(number.data(), number.data() + number.size(), d);
  if (read.ec == std::errc::result_out_of_range) {
    // Beyond a double: SQLite stores an infinity, or below its least a zero.
    const std::string copy(number);
    d = std::strtod(copy.c_str(), nullptr);
  }
  if (d == std::trunc(d) && d >= -9223372036854775808.0 && d < 9223372036854775808.0) {
    return std::string(out,
                       std::to_chars(out, out + sizeof out, static_cast<std::int64_t>(d)).ptr);
  }
  return std::string(out, std::to_chars(out, out + sizeof out, d).ptr);
}

std::string_view TSQLiteCodec::HeldText(sqlite3_value* v, TDoubleText& digits) {
  if (sqlite3_value_type(v) == SQLITE_FLOAT) {
    const double d = sqlite3_value_double(v);
    if (std::isfinite(d)) {
      const auto written = std::to_chars(digits.data(), digits.data() + digits.size(), d);
      if (written.ec == std::errc()) {
        return {digits.data(), static_cast<std::size_t>(written.ptr - digits.data())};
      }
    }
  }
  return ValueText(v);
}

double TSQLiteCodec::WideAmountDouble(std::int64_t amount) { return UnitsToDouble(amount, 4); }

int TSQLiteCodec::BindDateTime(sqlite3_stmt* stmt, int param, TStorage storage, double value,
                               TDateText& dateText) {
  std::int64_t day = 0;
  std::int64_t ms = 0;
  if (!SplitDateTime(value, day, ms)) return kDateOutOfRange;
  char* start = dateText.data();
  char* p = start;
  if (storage != TStorage::Time) p = PutDate(p, day);
  if (storage == TStorage::DateTime) *p++ = ' ';
  if (storage != TStorage::Date) p = PutTime(p, ms);
  return sqlite3_bind_text(stmt, param, start, static_cast<int>(p - start), SQLITE_STATIC);
}

}  // namespace korvane::sqlite_parts

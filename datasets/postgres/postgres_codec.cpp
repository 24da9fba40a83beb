#include "datasets/postgres/postgres_codec.h"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <iterator>
#include <limits>

#include "datasets/postgres/postgres_numeric.h"
#include "text/formats.h"
#include "core/backslash_escape.h"
#include "text/formats_iso.h"
#include "text/number_text.h"
#include "core/sysutils.h"

namespace korvane::pg {

namespace {

[[noreturn]] void Fail(const std::string& message) { throw EDatabaseError(message); }

// Days from 1899-12-30 (day zero of a date-time value) to 2000-01-01 (day
// zero of PostgreSQL's dates and timestamps).
constexpr std::int64_t kEpochShift = 36526;
constexpr std::int64_t kMicrosPerDay = 86400000000;
// Years 1 to 9999, in days from 1899-12-30.
constexpr double kFirstDay = -693593;
constexpr double kLastDay = 2958465;

[[noreturn]] void Unfit(const TColumn& column, const char* what) {
  Fail("Column '" + column.Name + "' cannot hold " + what);
}

// The start of a value, for a message.
std::string Shown(std::string_view value) {
  std::string shown(value.substr(0, 40));
  if (value.size() > 40) shown += "...";
  return shown;
}

[[noreturn]] void Unreadable(const TColumn& column, std::string_view value, const char* what) {
  Fail("Column '" + column.Name + "' holds '" + Shown(value) + "', which is not " + what);
}

void PutBE64(std::string& out, std::uint64_t v) {
  PutBE32(out, static_cast<std::uint32_t>(v >> 32));
  PutBE32(out, static_cast<std::uint32_t>(v));
}
std::uint64_t GetBE64(const char* p) { return std::uint64_t{GetBE32(p)} << 32 | GetBE32(p + 4); }

// A date-time value (fractions count forward from midnight even before day
// zero) as microseconds since 2000-01-01; false outside the years 1 to 9999.
bool ToMicros(double value, bool timeOnly, std::int64_t& micros) {
  if (!std::isfinite(value)) return false;
  const double whole = std::trunc(value);
  std::int64_t day = static_cast<std::int64_t>(whole);
  const double fraction = std::fabs(value - whole);
  std::int64_t time = 0;
  if (fraction != 0) {
    time = std::llround(fraction * static_cast<double>(kMicrosPerDay));
    // Far from day zero a double cannot tell microseconds apart: a time
    // that is a whole millisecond within the value's precision is taken as
    // one, not as the microseconds next to it.
    const double ulp = std::nextafter(std::fabs(value), INFINITY) - std::fabs(value);
    const auto tolerance =
        static_cast<std::int64_t>(std::ceil(ulp * 4 * static_cast<double>(kMicrosPerDay)));
    const std::int64_t millis = std::llround(fraction * 86400000.0) * 1000;
    if (std::llabs(time - millis) <= tolerance) time = millis;
  }
  if (time >= kMicrosPerDay) {
    time -= kMicrosPerDay;
    ++day;
  }
  if (timeOnly) {
    micros = time;
    return true;
  }
  if (day < kFirstDay || day > kLastDay) return false;
  micros = (day - kEpochShift) * kMicrosPerDay + time;
  return true;
}

double FromMicros(std::int64_t micros) {
  std::int64_t day = micros / kMicrosPerDay;
  std::int64_t time = micros % kMicrosPerDay;
  if (time < 0) {
    time += kMicrosPerDay;
    --day;
  }
  day += kEpochShift;
  const double fraction = static_cast<double>(time) / static_cast<double>(kMicrosPerDay);
  return day >= 0 ? static_cast<double>(day) + fraction : static_cast<double>(day) - fraction;
}

template <typename T>
void Store(TFieldData& slot, T value) {
  if (auto* held = std::get_if<T>(&slot)) {
    *held = value;
  } else {
    slot.emplace<T>(value);
  }
}

void StoreBytes(TFieldData& slot, std::string_view bytes) {
  if (auto* held = std::get_if<std::string>(&slot)) {
    held->assign(bytes);
  } else {
    slot.emplace<std::string>(bytes);
  }
}

std::int64_t IntegerOf(const TFieldData& value) {
  if (const auto* i = std::get_if<std::int64_t>(&value)) return *i;
  if (const auto* d = std::get_if<double>(&value)) return static_cast<std::int64_t>(*d);
  if (const auto* b = std::get_if<bool>(&value)) return *b ? 1 : 0;
  return StrToInt64(std::get<std::string>(value));
}

// A value held as text is a field's exact decimal, kept with '.' for its
// point whatever separator the user's values take.
double DoubleOf(const TFieldData& value) {
  if (const auto* d = std::get_if<double>(&value)) return *d;
  if (const auto* i = std::get_if<std::int64_t>(&value)) return static_cast<double>(*i);
  if (const auto* b = std::get_if<bool>(&value)) return *b ? 1 : 0;
  const std::string& text = std::get<std::string>(value);
  TNumberParts number;
  double d = 0;
  if (!ReadNumberText(text, nrExponent, '.', '\0', number) || !NumberToDouble(number, d)) {
    throw EConvertError("'" + text + "' is not a valid floating point value");
  }
  return d;
}

// A value a field keeps as its ISO text (microseconds, a zone): the exact
// count of the column's binary form, a timestamptz's in UTC. A zone in a
// column that would drop it is refused rather than lost.
std::int64_t MicrosOfText(const TColumn& column, std::string_view text) {
  TIsoValue v;
  const TIsoKind kind = column.Kind == TKind::Date   ? TIsoKind::Date
                        : column.Kind == TKind::Time ? TIsoKind::Time
                                                     : TIsoKind::DateTime;
  if (ReadIso(text, kind, v) != TIsoFault::None) {
    Unfit(column, ("the text \"" + std::string(text.substr(0, 60)) + "\"").c_str());
  }
  if (v.HasZone && column.Kind != TKind::TimestampTz) {
    Unfit(column, "a time zone offset, which only a timestamptz keeps");
  }
  std::int64_t micros = v.Micros;
  if (v.HasDate) micros += (static_cast<std::int64_t>(v.Day) - kEpochShift) * kMicrosPerDay;
  if (v.HasZone) micros -= (std::int64_t{v.ZoneMinutes} * 60 + v.ZoneSeconds) * 1000000;
  return micros;
}

// ToMicros of a date, time or date-time value of the column.
std::int64_t MicrosOf(const TColumn& column, const TFieldData& value) {
  if (const auto* text = std::get_if<std::string>(&value)) return MicrosOfText(column, *text);
  std::int64_t micros = 0;
  if (!ToMicros(DoubleOf(value), column.Kind == TKind::Time, micros)) {
    Unfit(column, "a date outside the years 1 to 9999");
  }
  return micros;
}

// A real as the double of its shortest text (0.1f as 0.1, not as
// 0.10000000149011612), so that it is written as the server writes it; the
// double is the float again when stored back.
double FloatAsDouble(float value) {
  char text[32];
  const auto written = std::to_chars(text, text + sizeof text, value);
  double nearest = 0;
  if (!std::isfinite(value) || written.ec != std::errc() ||
      std::from_chars(text, written.ptr, nearest).ec != std::errc() ||
      static_cast<float>(nearest) != value) {
    return double{value};
  }
  return nearest;
}

// The text PostgreSQL's input function reads for a value of the column.
std::string TextOf(const TColumn& column, const TFieldData& value, const TCodecContext&) {
  switch (column.Kind) {
    case TKind::Int2:
    case TKind::Int4:
    case TKind::Int8:
      return std::to_string(IntegerOf(value));
    case TKind::Money:
      if (const auto* amount = std::get_if<std::int64_t>(&value);
          amount && column.Def.DataType == ftCurrency) {
        char buffer[kCurrencyTextRoom];
        return std::string(buffer, PutCurrencyAmount(buffer, *amount, '.'));
      }
      return DecimalText(DoubleOf(value));
    case TKind::Numeric:
    case TKind::Float4:
    case TKind::Float8: {
      const double d = DoubleOf(value);
      if (std::isnan(d)) return "NaN";
      if (std::isinf(d)) return d > 0 ? "Infinity" : "-Infinity";
      if (column.Kind == TKind::Numeric) return DecimalText(d);
      // The server reads '.' for the point, whatever separator the user's
      // files take; a real as the shortest text of its float.
      char text[32];
      char* const end = column.Kind == TKind::Float4
                            ? std::to_chars(text, text + sizeof text, static_cast<float>(d)).ptr
                            : std::to_chars(text, text + sizeof text, d).ptr;
      return std::string(text, end);
    }
    case TKind::Bool:
      return IntegerOf(value) != 0 ? "t" : "f";
    case TKind::Date:
    case TKind::Time:
    case TKind::Timestamp:
    case TKind::TimestampTz: {
      if (const auto* text = std::get_if<std::string>(&value)) {
        MicrosOfText(column, *text);  // refuses what the column cannot keep
        return *text;
      }
      const std::int64_t micros = MicrosOf(column, value);
      const double dt = FromMicros(micros);
      const std::int64_t timeMicros = ((micros % kMicrosPerDay) + kMicrosPerDay) % kMicrosPerDay;
      char time[64];
      std::snprintf(
          time, sizeof time, "%02d:%02d:%02d.%06d", static_cast<int>(timeMicros / 3600000000),
          static_cast<int>(timeMicros / 60000000 % 60), static_cast<int>(timeMicros / 1000000 % 60),
          static_cast<int>(timeMicros % 1000000));
      if (column.Kind == TKind::Time) return time;
      std::uint16_t y = 0;
      std::uint16_t m = 0;
      std::uint16_t d = 0;
      DecodeDate(dt, y, m, d);
      char date[32];
      std::snprintf(date, sizeof date, "%04u-%02u-%02u", unsigned{y}, unsigned{m}, unsigned{d});
      return column.Kind == TKind::Date ? std::string(date) : std::string(date) + " " + time;
    }
    case TKind::Bytea: {
      static constexpr char kHex[] = "0123456789abcdef";
      const std::string& bytes = std::get<std::string>(value);
      std::string out = "\\x";
      for (unsigned char c : bytes) {
        out += kHex[c >> 4];
        out += kHex[c & 15];
      }
      return out;
    }
    default:
      if (const auto* s = std::get_if<std::string>(&value)) return *s;
      Unfit(column, "a value of this kind");
  }
}

// The server's type OIDs and the kind each is read and written as.
struct TTypeKind {
  unsigned Oid;
  TKind Kind;
};
// text, varchar, char(n) and name are all Text.
constexpr TTypeKind kTypeKinds[] = {
    {21, TKind::Int2},   {23, TKind::Int4},    {20, TKind::Int8},        {1700, TKind::Numeric},
    {790, TKind::Money}, {700, TKind::Float4}, {701, TKind::Float8},     {16, TKind::Bool},
    {1082, TKind::Date}, {1083, TKind::Time},  {1114, TKind::Timestamp}, {1184, TKind::TimestampTz},
    {17, TKind::Bytea},  {25, TKind::Text},    {1043, TKind::Text},      {1042, TKind::Text},
    {19, TKind::Text},   {114, TKind::Json},   {3802, TKind::Jsonb}};

// The field type a column of each kind is shown as, in TKind order.
constexpr TFieldType kKindFieldTypes[] = {
    ftSmallint,  // Int2
    ftInteger,   // Int4
    ftLargeint,  // Int8
    ftBCD,       // Numeric
    ftDecimalText,  // WideNumeric
    ftCurrency,  // Money
    ftFloat,     // Float4
    ftFloat,     // Float8
    ftBoolean,   // Bool
    ftDate,      // Date
    ftTime,      // Time
    ftDateTime,  // Timestamp
    ftDateTime,  // TimestampTz
    ftBlob,      // Bytea
    ftString,    // Text
    ftString,    // Json
    ftString,    // Jsonb
    ftString,    // Other
};
static_assert(std::size(kKindFieldTypes) == static_cast<std::size_t>(TKind::Other) + 1);

}  // namespace

TKind KindOfType(unsigned type, int typmod) {
  for (const TTypeKind& entry : kTypeKinds) {
    if (entry.Oid != type) continue;
    if (entry.Kind == TKind::Numeric) {
      // Whole numbers of up to 15 digits come back whole from the nearest
      // double. A column with decimals is read as the text the server
      // holds, so that its scale is kept ("-0.50", not the double's
      // "-0.5").
      constexpr int kDoubleDigits = 15;
      const bool fits =
          typmod >= 4 && ((typmod - 4) >> 16) <= kDoubleDigits && ((typmod - 4) & 0xffff) == 0;
      return fits ? TKind::Numeric : TKind::WideNumeric;
    }
    return entry.Kind;
  }
  return TKind::Other;
}

TFieldDef FieldDefForColumn(const std::string& name, TKind kind, int typmod, bool autoInc) {
  TFieldDef def;
  def.Name = name;
  def.DataType = kKindFieldTypes[static_cast<std::size_t>(kind)];
  if ((kind == TKind::Numeric || kind == TKind::WideNumeric) && typmod >= 4) {
    // numeric(p,s): the strict rules refuse what the server would round.
    def.Precision = (typmod - 4) >> 16;
    def.Scale = (typmod - 4) & 0xffff;
  }
  if (kind == TKind::Float4) def.Precision = 24;
  if (kind == TKind::Numeric) {
    def.Size = typmod >= 4 ? (typmod - 4) & 0xffff : 0;
  } else if (def.DataType == ftString) {
    def.Size = kind == TKind::Text && typmod > 4 ? typmod - 4 : 255;
  }
  // ftAutoInc holds 32 bits: a bigint identity keeps its ftLargeint.
  if (autoInc && (kind == TKind::Int2 || kind == TKind::Int4)) {
    def.DataType = ftAutoInc;
  }
  return def;
}

bool BinaryWritable(TKind kind) { return kind != TKind::Other; }

std::string ReadExpression(const std::string& quotedName, TKind kind, bool binary,
                           bool exactTimes) {
  if (binary && (kind == TKind::Other || (exactTimes && kind == TKind::TimestampTz))) {
    return quotedName + "::text";
  }
  if (!binary && kind == TKind::Money) return quotedName + "::numeric";
  return quotedName;
}

namespace {

// An int2, int4 or int8 value, refused when it does not fit the column.
void AppendBinaryInteger(std::string& out, const TColumn& column, std::int64_t i) {
  if (column.Kind == TKind::Int2) {
    if (i < INT16_MIN || i > INT16_MAX) Unfit(column, ("the number " + std::to_string(i)).c_str());
    PutBE32(out, 2);
    PutBE16(out, static_cast<std::uint16_t>(i));
  } else if (column.Kind == TKind::Int4) {
    if (i < INT32_MIN || i > INT32_MAX) Unfit(column, ("the number " + std::to_string(i)).c_str());
    PutBE32(out, 4);
    PutBE32(out, static_cast<std::uint32_t>(i));
  } else {
    PutBE32(out, 8);
    PutBE64(out, static_cast<std::uint64_t>(i));
  }
}

// A money value in the server's units (MoneyFactor of our 1/10000 units).
void AppendBinaryMoney(std::string& out, const TColumn& column, const TFieldData& value,
                       const TCodecContext& context) {
  std::int64_t amount = 0;
  if (const auto* a = std::get_if<std::int64_t>(&value); a && column.Def.DataType == ftCurrency) {
    const std::int64_t f = context.MoneyFactor;
    amount = (*a >= 0 ? *a + f / 2 : *a - f / 2) / f;
  } else {
    amount = std::llround(DoubleOf(value) * static_cast<double>(10000 / context.MoneyFactor));
  }
  PutBE32(out, 8);
  PutBE64(out, static_cast<std::uint64_t>(amount));
}

}  // namespace

void AppendBinary(std::string& out, const TColumn& column, const TFieldData& value,
                  const TCodecContext& context) {
  switch (column.Kind) {
    case TKind::Int2:
    case TKind::Int4:
    case TKind::Int8:
      AppendBinaryInteger(out, column, IntegerOf(value));
      return;
    case TKind::Numeric:
      AppendNumeric(out, DoubleOf(value));
      return;
    case TKind::WideNumeric: {
      const std::string* given = std::get_if<std::string>(&value);
      const std::string converted =
          given != nullptr ? std::string() : TextOf(column, value, context);
      const std::string& text = given != nullptr ? *given : converted;
      if (!AppendNumericText(out, text)) {
        Fail("Column '" + column.Name + "' cannot hold '" + Shown(text) +
             "', which is not a number");
      }
      return;
    }
    case TKind::Money:
      AppendBinaryMoney(out, column, value, context);
      return;
    case TKind::Float4: {
      PutBE32(out, 4);
      PutBE32(out, std::bit_cast<std::uint32_t>(static_cast<float>(DoubleOf(value))));
      return;
    }
    case TKind::Float8: {
      PutBE32(out, 8);
      PutBE64(out, std::bit_cast<std::uint64_t>(DoubleOf(value)));
      return;
    }
    case TKind::Bool:
      PutBE32(out, 1);
      out += static_cast<char>(IntegerOf(value) != 0);
      return;
    case TKind::Date:
    case TKind::Time:
    case TKind::Timestamp:
    case TKind::TimestampTz: {
      const std::int64_t micros = MicrosOf(column, value);
      if (column.Kind == TKind::Date) {
        const std::int64_t day =
            micros >= 0 ? micros / kMicrosPerDay : -((-micros + kMicrosPerDay - 1) / kMicrosPerDay);
        PutBE32(out, 4);
        PutBE32(out, static_cast<std::uint32_t>(static_cast<std::int32_t>(day)));
      } else {
        PutBE32(out, 8);
        PutBE64(out, static_cast<std::uint64_t>(micros));
      }
      return;
    }
    case TKind::Jsonb: {
      const std::string& text = std::get<std::string>(value);
      PutBE32(out, static_cast<std::uint32_t>(text.size() + 1));
      out += '\1';
      out += text;
      return;
    }
    default: {
      const std::string* text = std::get_if<std::string>(&value);
      const std::string converted =
          text != nullptr ? std::string() : TextOf(column, value, context);
      const std::string& bytes = text != nullptr ? *text : converted;
      if (bytes.size() > 0x7fffffff) Unfit(column, "a value above 2 GiB");
      PutBE32(out, static_cast<std::uint32_t>(bytes.size()));
      out += bytes;
      return;
    }
  }
}

void AppendText(std::string& out, const TColumn& column, const TFieldData& value,
                const TCodecContext& context) {
  const std::string text = TextOf(column, value, context);
  for (char c : text) {
    if (!AppendBackslashEscape(out, c)) out += c;
  }
}

void DecodeBinary(const char* p, std::size_t size, const TColumn& column, TFieldData& slot,
                  const TCodecContext& context) {
  const auto need = [&](std::size_t n) {
    if (size != n) Unreadable(column, "", "a value of its type");
  };
  switch (column.Kind) {
    case TKind::Int2:
      need(2);
      Store(slot, std::int64_t{static_cast<std::int16_t>(GetBE16(p))});
      return;
    case TKind::Int4:
      need(4);
      Store(slot, std::int64_t{static_cast<std::int32_t>(GetBE32(p))});
      return;
    case TKind::Int8:
      need(8);
      Store(slot, static_cast<std::int64_t>(GetBE64(p)));
      return;
    case TKind::Numeric: {
      double d = 0;
      if (!ReadNumeric(p, size, d)) Unreadable(column, "", "a number");
      Store(slot, d);
      return;
    }
    case TKind::WideNumeric: {
      std::string text;
      if (!NumericText(p, size, text)) Unreadable(column, "", "a number");
      StoreBytes(slot, text);
      return;
    }
    case TKind::Money: {
      need(8);
      const auto units = static_cast<std::int64_t>(GetBE64(p));
      if (units > INT64_MAX / context.MoneyFactor || units < INT64_MIN / context.MoneyFactor) {
        Unreadable(column, std::to_string(units), "a money amount the field can hold");
      }
      Store(slot, units * context.MoneyFactor);
      return;
    }
    case TKind::Float4:
      need(4);
      Store(slot, FloatAsDouble(std::bit_cast<float>(GetBE32(p))));
      return;
    case TKind::Float8:
      need(8);
      Store(slot, std::bit_cast<double>(GetBE64(p)));
      return;
    case TKind::Bool:
      need(1);
      Store(slot, *p != 0);
      return;
    case TKind::Date: {
      need(4);
      const auto day = static_cast<std::int32_t>(GetBE32(p));
      if (day == INT32_MAX || day == INT32_MIN) Unreadable(column, "infinity", "a date");
      const double value = static_cast<double>(day + kEpochShift);
      if (value < kFirstDay || value > kLastDay)
        Unreadable(column, std::to_string(day), "a date in the years 1 to 9999");
      Store(slot, value);
      return;
    }
    case TKind::Time: {
      need(8);
      const auto micros = static_cast<std::int64_t>(GetBE64(p));
      if (context.ExactTimes && micros % 1000 != 0) {
        TIsoValue v;
        v.HasTime = true;
        v.Micros = micros;
        StoreBytes(slot, IsoText(v));
        return;
      }
      Store(slot, static_cast<double>(micros) / static_cast<double>(kMicrosPerDay));
      return;
    }
    case TKind::Timestamp:
    case TKind::TimestampTz: {
      if (context.ExactTimes && column.Kind == TKind::TimestampTz) {
        // Read as its text (ReadExpression), offset and all.
        StoreBytes(slot, std::string_view(p, size));
        return;
      }
      need(8);
      const auto micros = static_cast<std::int64_t>(GetBE64(p));
      if (context.ExactTimes && micros % 1000 != 0 && micros != INT64_MAX && micros != INT64_MIN) {
        std::int64_t day = micros / kMicrosPerDay;
        std::int64_t time = micros % kMicrosPerDay;
        if (time < 0) {
          time += kMicrosPerDay;
          --day;
        }
        TIsoValue v;
        v.HasDate = true;
        v.HasTime = true;
        v.Day = static_cast<std::int32_t>(day + kEpochShift);
        v.Micros = time;
        if (v.Day < kFirstDay || v.Day > kLastDay)
          Unreadable(column, std::to_string(micros), "a date in the years 1 to 9999");
        StoreBytes(slot, IsoText(v));
        return;
      }
      if (micros == INT64_MAX || micros == INT64_MIN)
        Unreadable(column, "infinity", "a date and time");
      const double value = FromMicros(micros);
      // Before day zero the time counts away from it: -693593.5 is noon of
      // the first day.
      if (value <= kFirstDay - 1 || value >= kLastDay + 1)
        Unreadable(column, std::to_string(micros), "a date in the years 1 to 9999");
      Store(slot, value);
      return;
    }
    case TKind::Jsonb:
      if (size >= 1) {
        StoreBytes(slot, std::string_view(p + 1, size - 1));
        return;
      }
      Unreadable(column, "", "jsonb");
    default:
      StoreBytes(slot, std::string_view(p, size));
      return;
  }
}

namespace {

bool ParseDate(std::string_view s, double& value) {
  int y = 0;
  int m = 0;
  int d = 0;
  if (s.size() < 10 || s[4] != '-' || s[7] != '-') return false;
  auto num = [&s](std::size_t at, std::size_t n, int& out) {
    auto [end, ec] = std::from_chars(s.data() + at, s.data() + at + n, out);
    return ec == std::errc() && end == s.data() + at + n;
  };
  if (!num(0, 4, y) || !num(5, 2, m) || !num(8, 2, d)) return false;
  return TryEncodeDate(y, m, d, value);
}

// "HH:MM:SS[.ffffff]" as microseconds.
bool ParseTime(std::string_view s, std::int64_t& micros) {
  if (s.size() < 8 || s[2] != ':' || s[5] != ':') return false;
  int h = 0;
  int n = 0;
  int sec = 0;
  std::from_chars(s.data(), s.data() + 2, h);
  std::from_chars(s.data() + 3, s.data() + 5, n);
  std::from_chars(s.data() + 6, s.data() + 8, sec);
  std::int64_t fraction = 0;
  std::size_t pos = 8;
  if (pos < s.size() && s[pos] == '.') {
    std::int64_t scale = 100000;
    for (++pos; pos < s.size() && s[pos] >= '0' && s[pos] <= '9'; ++pos, scale /= 10) {
      fraction += (s[pos] - '0') * scale;
    }
  }
  micros = ((h * 60 + n) * 60 + sec) * std::int64_t{1000000} + fraction;
  if (micros > kMicrosPerDay) return false;
  return true;
}

}  // namespace

void DecodeText(std::string_view text, const TColumn& column, TFieldData& slot,
                bool exactTimes) {
  switch (column.Kind) {
    case TKind::Int2:
    case TKind::Int4:
    case TKind::Int8: {
      std::int64_t i = 0;
      auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), i);
      if (ec != std::errc() || end != text.data() + text.size())
        Unreadable(column, text, "an integer");
      Store(slot, i);
      return;
    }
    case TKind::Money:
    case TKind::Numeric:
    case TKind::Float4:
    case TKind::Float8: {
      double d = 0;
      auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), d);
      if (ec != std::errc() || end != text.data() + text.size())
        Unreadable(column, text, "a number");
      if (column.Kind == TKind::Money) {
        Store(slot, static_cast<std::int64_t>(std::llround(d * 10000)));
      } else {
        Store(slot, d);
      }
      return;
    }
    case TKind::Bool:
      if (text != "t" && text != "f") Unreadable(column, text, "a boolean");
      Store(slot, text == "t");
      return;
    case TKind::Date: {
      double value = 0;
      if (!ParseDate(text, value) || text.size() != 10) Unreadable(column, text, "a date");
      Store(slot, value);
      return;
    }
    case TKind::Time: {
      std::int64_t micros = 0;
      if (!ParseTime(text, micros)) Unreadable(column, text, "a time");
      if (exactTimes && micros % 1000 != 0) {
        StoreBytes(slot, text);
        return;
      }
      Store(slot, static_cast<double>(micros) / static_cast<double>(kMicrosPerDay));
      return;
    }
    case TKind::Timestamp:
    case TKind::TimestampTz: {
      // The session's wall time; an offset after it is the session's own.
      double day = 0;
      std::int64_t micros = 0;
      if (!ParseDate(text, day) || text.size() < 19 || !ParseTime(text.substr(11), micros)) {
        Unreadable(column, text, "a date and time");
      }
      if (exactTimes && (column.Kind == TKind::TimestampTz || micros % 1000 != 0)) {
        StoreBytes(slot, text);
        return;
      }
      std::int64_t total = 0;
      ToMicros(day, false, total);
      Store(slot, FromMicros(total + micros));
      return;
    }
    case TKind::Bytea: {
      if (text.size() < 2 || text[0] != '\\' || text[1] != 'x' || text.size() % 2 != 0) {
        Unreadable(column, text, "bytes in hex form");
      }
      std::string bytes;
      bytes.reserve(text.size() / 2 - 1);
      for (std::size_t i = 2; i < text.size(); i += 2) {
        unsigned v = 0;
        std::from_chars(text.data() + i, text.data() + i + 2, v, 16);
        bytes += static_cast<char>(v);
      }
      StoreBytes(slot, bytes);
      return;
    }
    default:
      StoreBytes(slot, text);
      return;
  }
}

std::string_view BinaryHeader() {
  static constexpr char kHeader[] = "PGCOPY\n\377\r\n\0\0\0\0\0\0\0\0\0";
  return {kHeader, 19};
}

std::string_view BinaryTrailer() { return {"\377\377", 2}; }

}  // namespace korvane::pg

// PostgreSQL values as the server reads them: a field's value in the binary
// or the text COPY format, and the binary format's header and trailer.
#include "datasets/postgres/postgres_codec.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>

#include "datasets/postgres/postgres_codec_internal.h"
#include "datasets/postgres/postgres_numeric.h"
#include "text/formats.h"
#include "core/backslash_escape.h"
#include "text/formats_iso.h"
#include "text/number_text.h"
#include "core/sysutils.h"
#include "core/utf8_head.h"

namespace korvane::pg {

namespace codec_internal {

[[noreturn]] void Fail(const std::string& message) { throw EDatabaseError(message); }

[[noreturn]] void Unfit(const TColumn& column, const char* what) {
  Fail("Column '" + column.Name + "' cannot hold " + what);
}

// The start of a value, for a message.
std::string Shown(std::string_view value) {
  std::string shown(Utf8Head(value, 40));
  if (value.size() > 40) shown += "...";
  return shown;
}

[[noreturn]] void Unreadable(const TColumn& column, std::string_view value, const char* what) {
  Fail("Column '" + column.Name + "' holds '" + Shown(value) + "', which is not " + what);
}

int MoneyDecimals(std::int64_t factor) {
  int decimals = 4;
  for (; factor > 1; factor /= 10) --decimals;
  return decimals;
}

std::string AmountText(std::int64_t units, int decimals) {
  const bool negative = units < 0;
  // The magnitude in unsigned arithmetic, where INT64_MIN has one.
  const std::uint64_t magnitude =
      negative ? 0 - static_cast<std::uint64_t>(units) : static_cast<std::uint64_t>(units);
  std::string digits = std::to_string(magnitude);
  const auto width = static_cast<std::size_t>(decimals);
  if (digits.size() <= width) digits.insert(0, width + 1 - digits.size(), '0');
  if (width > 0) digits.insert(digits.size() - width, 1, '.');
  return negative ? "-" + digits : digits;
}

}  // namespace codec_internal

using namespace codec_internal;

namespace {

void PutBE64(std::string& out, std::uint64_t v) {
  PutBE32(out, static_cast<std::uint32_t>(v >> 32));
  PutBE32(out, static_cast<std::uint32_t>(v));
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

// The server's dates run from 4714-11-24 BC (its first Julian day) to
// 5874897-12-31, its timestamps from the same day to the end of
// 294276-12-31: in days and microseconds from 2000-01-01.
constexpr std::int64_t kServerFirstDay = -2451545;
constexpr std::int64_t kServerLastDay = 2145031948;
constexpr std::int64_t kServerEndOfTimestamps = std::int64_t{106751983} * kMicrosPerDay;

// A value a field keeps as its text (microseconds, a zone, or the forms
// beyond the years 1 to 9999 the server writes: "0044-03-15 BC",
// "infinity", a time of "24:00:00"): the exact count of the column's binary
// form (days of a date, microseconds of the others, a timestamptz's in
// UTC), the server's own for the infinities. A zone in a column that would
// drop it, and a day beyond the server's, are refused rather than lost.
std::int64_t CountOfText(const TColumn& column, std::string_view text) {
  TIsoValue v;
  const TIsoKind kind = column.Kind == TKind::Date   ? TIsoKind::Date
                        : column.Kind == TKind::Time ? TIsoKind::Time
                                                     : TIsoKind::DateTime;
  if (ReadIso(text, kind, v) != TIsoFault::None) {
    std::string shown = "the text \"" + std::string(Utf8Head(text, 60)) + "\"";
    if (const TIsoFault fault = ReadWideIso(text, kind, v); fault != TIsoFault::None) {
      if (fault != TIsoFault::NotIso) shown += std::string(", which ") + IsoFaultText(fault);
      Unfit(column, shown.c_str());
    }
  }
  if (v.HasZone && column.Kind != TKind::TimestampTz) {
    Unfit(column, "a time zone offset, which only a timestamptz keeps");
  }
  if (v.Infinity != 0) {
    if (column.Kind == TKind::Date) return v.Infinity > 0 ? INT32_MAX : INT32_MIN;
    return v.Infinity > 0 ? INT64_MAX : INT64_MIN;
  }
  const std::int64_t day = static_cast<std::int64_t>(v.Day) - kEpochShift;
  const std::int64_t zone = (std::int64_t{v.ZoneMinutes} * 60 + v.ZoneSeconds) * 1000000;
  if (column.Kind == TKind::Date) {
    if (day < kServerFirstDay || day > kServerLastDay) {
      Unfit(column, ("the date \"" + Shown(text) +
                     "\": the server's dates run from 4714-11-24 BC to 5874897-12-31")
                        .c_str());
    }
    return day;
  }
  if (!v.HasDate) return v.Micros;
  // Two days' room either side for the offset, so that the sum below
  // cannot overflow; the instant itself is checked after it.
  std::int64_t micros = kServerEndOfTimestamps;
  if (day >= kServerFirstDay - 2 && day <= kServerEndOfTimestamps / kMicrosPerDay + 2) {
    micros = day * kMicrosPerDay + v.Micros - zone;
  }
  if (micros < kServerFirstDay * kMicrosPerDay || micros >= kServerEndOfTimestamps) {
    Unfit(column, ("the date and time \"" + Shown(text) +
                   "\": the server's run from 4714-11-24 BC to 294276-12-31 23:59:59.999999" +
                   (v.HasZone ? " in UTC" : ""))
                      .c_str());
  }
  return micros;
}

// An amount a currency field keeps as its plain decimal text (beyond its
// 64 bits of ten-thousandths, see TCSVImport::WideMoney) in the server's
// units, exactly: more decimals than its money keeps, or an amount beyond
// money's own 64 bits of them, is refused rather than rounded.
std::int64_t MoneyUnitsOfText(const TColumn& column, std::string_view text,
                              const TCodecContext& context) {
  const int decimals = MoneyDecimals(context.MoneyFactor);
  TNumberParts number;
  std::int64_t units = 0;
  if (!ReadNumberText(text, nrPlain, '.', '\0', number)) {
    Unfit(column, ("the text \"" + Shown(text) + "\", which is not an amount").c_str());
  }
  if (number.Decimals() > decimals) {
    Unfit(column, ("the amount \"" + Shown(text) + "\": money keeps " + std::to_string(decimals) +
                   " decimals here")
                      .c_str());
  }
  if (!RoundedUnits(number, decimals, units)) {
    Unfit(column, ("the amount \"" + Shown(text) + "\": money runs from " +
                   AmountText(INT64_MIN, decimals) + " to " + AmountText(INT64_MAX, decimals))
                      .c_str());
  }
  return units;
}

// ToMicros of a date, time or date-time value of the column.
std::int64_t MicrosOf(const TColumn& column, const TFieldData& value) {
  std::int64_t micros = 0;
  if (!ToMicros(DoubleOf(value), column.Kind == TKind::Time, micros)) {
    Unfit(column, "a date outside the years 1 to 9999");
  }
  return micros;
}

// Refuses a timestamptz wall time (no offset) that the session's time zone
// skips.
void RefuseSkippedTime(const TColumn& column, std::int64_t wallMicros,
                       const TCodecContext& context) {
  const auto& spans = context.SkippedTimes->Spans;
  const auto after = std::upper_bound(
      spans.begin(), spans.end(), wallMicros,
      [](std::int64_t micros, const auto& span) { return micros < span.first; });
  if (after == spans.begin() || wallMicros >= std::prev(after)->second) return;
  TIsoValue wall;
  const std::int64_t day = wallMicros >= 0 ? wallMicros / kMicrosPerDay
                                           : -((-wallMicros + kMicrosPerDay - 1) / kMicrosPerDay);
  wall.HasDate = wall.HasTime = true;
  wall.Day = static_cast<std::int32_t>(day + kEpochShift);
  wall.Micros = wallMicros - day * kMicrosPerDay;
  Unfit(column, ("the wall time \"" + IsoText(wall) + "\", which the session's time zone (" +
                 context.SkippedTimes->Zone +
                 ") skips as its clocks go forward; an offset would say which instant it is")
                    .c_str());
}

// The text PostgreSQL's input function reads for a value of the column.
std::string TextOf(const TColumn& column, const TFieldData& value, const TCodecContext& context) {
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
      if (const auto* text = std::get_if<std::string>(&value)) {
        return AmountText(MoneyUnitsOfText(column, *text, context),
                          MoneyDecimals(context.MoneyFactor));
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
      const bool wall =
          column.Kind == TKind::TimestampTz && context.ZonedSession && context.SkippedTimes;
      if (const auto* text = std::get_if<std::string>(&value)) {
        // Refuses what the column cannot keep.
        const std::int64_t count = CountOfText(column, *text);
        TIsoValue v;
        if (wall && ReadIso(*text, TIsoKind::DateTime, v) == TIsoFault::None && !v.HasZone) {
          RefuseSkippedTime(column, count, context);
        }
        return *text;
      }
      const std::int64_t micros = MicrosOf(column, value);
      if (wall) RefuseSkippedTime(column, micros, context);
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
    // Halves away from zero, on the quotient and remainder: adding half a
    // unit first would overflow within a cent of the largest amount.
    const std::int64_t f = context.MoneyFactor;
    const std::int64_t rest = *a % f;
    amount = *a / f + (rest * 2 >= f ? 1 : rest * 2 <= -f ? -1 : 0);
  } else if (const auto* text = std::get_if<std::string>(&value)) {
    amount = MoneyUnitsOfText(column, *text, context);
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
      // Days (a date) or microseconds from 2000-01-01: from the server's
      // own text of a value beyond a date-time, else from the date-time.
      std::int64_t count = 0;
      if (const auto* text = std::get_if<std::string>(&value)) {
        count = CountOfText(column, *text);
      } else {
        const std::int64_t micros = MicrosOf(column, value);
        count = column.Kind != TKind::Date ? micros
                : micros >= 0 ? micros / kMicrosPerDay
                              : -((-micros + kMicrosPerDay - 1) / kMicrosPerDay);
      }
      if (column.Kind == TKind::Date) {
        PutBE32(out, 4);
        PutBE32(out, static_cast<std::uint32_t>(static_cast<std::int32_t>(count)));
      } else {
        PutBE32(out, 8);
        PutBE64(out, static_cast<std::uint64_t>(count));
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

std::string_view BinaryHeader() {
  static constexpr char kHeader[] = "PGCOPY\n\377\r\n\0\0\0\0\0\0\0\0\0";
  return {kHeader, 19};
}

std::string_view BinaryTrailer() { return {"\377\377", 2}; }

}  // namespace korvane::pg

// PostgreSQL values as the server writes them: a column's value in the
// binary or the text COPY format stored into a record slot.
#include "datasets/postgres/postgres_codec.h"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <string>

#include "datasets/postgres/postgres_codec_internal.h"
#include "datasets/postgres/postgres_numeric.h"
#include "text/number_text.h"
#include "text/formats_iso.h"
#include "core/sysutils.h"

namespace korvane::pg {

using namespace codec_internal;

namespace {

std::uint64_t GetBE64(const char* p) { return std::uint64_t{GetBE32(p)} << 32 | GetBE32(p + 4); }

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

// Whether a time of day reads the same from a date-time's fraction of a
// day: not when it has microseconds, nor at 24:00:00, the end of the day a
// time column holds apart from its start (as a fraction it is a whole day,
// and its time 00:00:00).
bool TimeFitsDateTime(std::int64_t micros) {
  return micros % 1000 == 0 && micros != kMicrosPerDay;
}

// A date or date-time the server holds beyond what a field's date keeps
// (before Christ, after the year 9999, or an infinity), as the server
// writes it: "0044-03-15 BC", "10000-01-01 00:00:00", "infinity". day
// counts from 2000-01-01; a date-time gives its time of day too, and a
// timestamptz in UTC its zone ("+00").
std::string ServerDateText(std::int64_t day, const std::int64_t* time, const char* zone = "") {
  // Year, month and day of the proleptic Gregorian calendar, from a count
  // of days of 400-year eras starting on 0000-03-01.
  const std::int64_t z = day + 10957 + 719468;  // 2000-01-01 is day 10957 from 1970
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const std::int64_t doe = z - era * 146097;
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int64_t mp = (5 * doy + 2) / 153;
  const std::int64_t m = mp < 10 ? mp + 3 : mp - 9;
  const std::int64_t y = yoe + era * 400 + (m <= 2 ? 1 : 0);
  char text[64];
  int n = std::snprintf(text, sizeof text, "%04lld-%02lld-%02lld",
                        static_cast<long long>(y > 0 ? y : 1 - y), static_cast<long long>(m),
                        static_cast<long long>(doy - (153 * mp + 2) / 5 + 1));
  if (time != nullptr) {
    const std::int64_t secs = *time / 1000000;
    n += std::snprintf(text + n, sizeof text - static_cast<std::size_t>(n), " %02lld:%02lld:%02lld",
                       static_cast<long long>(secs / 3600), static_cast<long long>(secs / 60 % 60),
                       static_cast<long long>(secs % 60));
    if (std::int64_t fraction = *time % 1000000; fraction != 0) {
      int digits = 6;
      while (fraction % 10 == 0) {
        fraction /= 10;
        --digits;
      }
      n += std::snprintf(text + n, sizeof text - static_cast<std::size_t>(n), ".%0*lld", digits,
                         static_cast<long long>(fraction));
    }
  }
  return std::string(text, static_cast<std::size_t>(n)) + zone + (y > 0 ? "" : " BC");
}

// A date the server holds that a field's date cannot: held as the server's
// text under exact times, else refused saying what it is.
void StoreFarDate(const TColumn& column, TFieldData& slot, const TCodecContext& context,
                  std::string_view text) {
  if (context.ExactTimes) {
    StoreBytes(slot, text);
    return;
  }
  Unreadable(column, text,
             column.Kind == TKind::Date ? "a date in the years 1 to 9999"
                                        : "a date and time in the years 1 to 9999");
}

// A money amount beyond what a currency field holds (about 922 trillion):
// held as its decimal text under exact times, else refused saying what it
// is.
void StoreWideMoney(const TColumn& column, TFieldData& slot, bool exact, std::string_view text) {
  if (exact) {
    StoreBytes(slot, text);
    return;
  }
  Unreadable(column, text, "a money amount the field can hold (at most 922337203685477.5807)");
}

}  // namespace

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
      // Written straight into the text the slot holds already.
      auto* text = std::get_if<std::string>(&slot);
      if (text == nullptr) text = &slot.emplace<std::string>();
      if (!NumericText(p, size, *text)) Unreadable(column, "", "a number");
      return;
    }
    case TKind::Money: {
      need(8);
      const auto units = static_cast<std::int64_t>(GetBE64(p));
      if (units > INT64_MAX / context.MoneyFactor || units < INT64_MIN / context.MoneyFactor) {
        StoreWideMoney(column, slot, context.ExactTimes,
                       AmountText(units, MoneyDecimals(context.MoneyFactor)));
        return;
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
      const double value = static_cast<double>(day + kEpochShift);
      if (day == INT32_MAX || day == INT32_MIN) {
        StoreFarDate(column, slot, context, day > 0 ? "infinity" : "-infinity");
      } else if (value < kFirstDay || value > kLastDay) {
        StoreFarDate(column, slot, context, ServerDateText(day, nullptr));
      } else {
        Store(slot, value);
      }
      return;
    }
    case TKind::Time: {
      need(8);
      const auto micros = static_cast<std::int64_t>(GetBE64(p));
      if (context.ExactTimes && !TimeFitsDateTime(micros)) {
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
      if (micros == INT64_MAX || micros == INT64_MIN) {
        StoreFarDate(column, slot, context, micros > 0 ? "infinity" : "-infinity");
        return;
      }
      std::int64_t day = micros / kMicrosPerDay;
      std::int64_t time = micros % kMicrosPerDay;
      if (time < 0) {
        time += kMicrosPerDay;
        --day;
      }
      if (day + kEpochShift < kFirstDay || day + kEpochShift > kLastDay) {
        StoreFarDate(column, slot, context,
                     ServerDateText(day, &time, column.Kind == TKind::TimestampTz ? "+00" : ""));
        return;
      }
      if (context.ExactTimes && micros % 1000 != 0) {
        TIsoValue v;
        v.HasDate = true;
        v.HasTime = true;
        v.Day = static_cast<std::int32_t>(day + kEpochShift);
        v.Micros = time;
        StoreBytes(slot, IsoText(v));
        return;
      }
      Store(slot, FromMicros(micros));
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
    case TKind::Money: {
      // The amount read as numeric text, on its own digits: a double would
      // round the cents of amounts beyond 15 digits.
      TNumberParts number;
      std::int64_t units = 0;
      if (!ReadNumberText(text, nrPlain, '.', ',', number)) Unreadable(column, text, "a number");
      if (!RoundedUnits(number, 4, units)) {
        StoreWideMoney(column, slot, exactTimes, text);
        return;
      }
      Store(slot, units);
      return;
    }
    case TKind::Numeric:
    case TKind::Float4:
    case TKind::Float8: {
      double d = 0;
      auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), d);
      if (ec != std::errc() || end != text.data() + text.size())
        Unreadable(column, text, "a number");
      Store(slot, d);
      return;
    }
    case TKind::Bool:
      if (text != "t" && text != "f") Unreadable(column, text, "a boolean");
      Store(slot, text == "t");
      return;
    case TKind::Date: {
      double value = 0;
      if (ParseDate(text, value) && text.size() == 10) {
        Store(slot, value);
      } else if (exactTimes) {
        StoreBytes(slot, text);  // the server's own text of a date beyond the years 1 to 9999
      } else {
        Unreadable(column, text, "a date in the years 1 to 9999");
      }
      return;
    }
    case TKind::Time: {
      std::int64_t micros = 0;
      if (!ParseTime(text, micros)) Unreadable(column, text, "a time");
      if (exactTimes && !TimeFitsDateTime(micros)) {
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
      if (!ParseDate(text, day) || text.size() < 19 || !ParseTime(text.substr(11), micros) ||
          text.ends_with(" BC")) {
        if (exactTimes) {
          StoreBytes(slot, text);  // beyond the years 1 to 9999, as the server wrote it
          return;
        }
        Unreadable(column, text, "a date and time in the years 1 to 9999");
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

}  // namespace korvane::pg

#include "datasets/postgres_codec.h"

#include <algorithm>
#include <bit>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstring>
#include <iterator>
#include <limits>

#include "platform/formats.h"
#include "platform/sysutils.h"

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

// The sign words of a numeric's special values.
constexpr std::uint16_t kNumericNaN = 0xC000;
constexpr std::uint16_t kNumericInfinity = 0xD000;
constexpr std::uint16_t kNumericMinusInfinity = 0xF000;

[[noreturn]] void Unfit(const TColumn& column, const char* what) {
  Fail("Column '" + column.Name + "' cannot hold " + what);
}

[[noreturn]] void Unreadable(const TColumn& column, std::string_view value, const char* what) {
  std::string shown(value.substr(0, 40));
  if (value.size() > 40) shown += "...";
  Fail("Column '" + column.Name + "' holds '" + shown + "', which is not " + what);
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
  std::int64_t time = std::llround(fraction * static_cast<double>(kMicrosPerDay));
  // Far from day zero a double cannot tell microseconds apart: a time that
  // is a whole millisecond within the value's precision is taken as one,
  // not as the microseconds next to it.
  const double ulp = std::nextafter(std::fabs(value), INFINITY) - std::fabs(value);
  const auto tolerance =
      static_cast<std::int64_t>(std::ceil(ulp * 4 * static_cast<double>(kMicrosPerDay)));
  const std::int64_t millis = std::llround(fraction * 86400000.0) * 1000;
  if (std::llabs(time - millis) <= tolerance) time = millis;
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

// The shortest text that reads back as value, in fixed notation.
std::string DecimalText(double value) {
  char buffer[400];
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
  if (ec != std::errc()) return FloatToStr(value);
  return std::string(buffer, end);
}

// Appends a decimal text ("-123.4500") as a binary numeric: digit count,
// weight of the first base-10000 digit, sign, display scale, digits.
void AppendNumeric(std::string& out, std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text[0] == '-' || text[0] == '+')) {
    negative = text[0] == '-';
    text.remove_prefix(1);
  }
  const std::size_t point = text.find('.');
  std::string_view whole = text.substr(0, point);
  std::string_view fraction = point == std::string_view::npos ? "" : text.substr(point + 1);
  while (!whole.empty() && whole.front() == '0') whole.remove_prefix(1);
  const int dscale = static_cast<int>(fraction.size());
  // Pad the whole part on the left and the fraction on the right to groups
  // of four digits.
  std::string digits((4 - whole.size() % 4) % 4, '0');
  digits += whole;
  const int wholeGroups = static_cast<int>(digits.size() / 4);
  digits += fraction;
  digits.append((4 - fraction.size() % 4) % 4, '0');
  std::vector<std::uint16_t> groups;
  for (std::size_t i = 0; i < digits.size(); i += 4) {
    groups.push_back(
        static_cast<std::uint16_t>((digits[i] - '0') * 1000 + (digits[i + 1] - '0') * 100 +
                                   (digits[i + 2] - '0') * 10 + (digits[i + 3] - '0')));
  }
  int weight = wholeGroups - 1;
  std::size_t first = 0;
  while (first < groups.size() && groups[first] == 0) {
    ++first;
    --weight;
  }
  std::size_t last = groups.size();
  while (last > first && groups[last - 1] == 0) --last;
  if (first == last) weight = 0;
  const std::size_t n = last - first;
  PutBE32(out, static_cast<std::uint32_t>(8 + 2 * n));
  PutBE16(out, static_cast<std::uint16_t>(n));
  PutBE16(out, static_cast<std::uint16_t>(weight));
  PutBE16(out, negative && n > 0 ? 0x4000 : 0x0000);
  PutBE16(out, static_cast<std::uint16_t>(dscale));
  for (std::size_t i = first; i < last; ++i) PutBE16(out, groups[i]);
}

// A base-10000 digit as four decimal ones.
void AppendGroup(std::string& text, unsigned group) {
  const char digits[4] = {
      static_cast<char>('0' + group / 1000), static_cast<char>('0' + group / 100 % 10),
      static_cast<char>('0' + group / 10 % 10), static_cast<char>('0' + group % 10)};
  text.append(digits, 4);
}

double ReadNumeric(const char* p, std::size_t size, const TColumn& column) {
  if (size < 8) Unreadable(column, "", "a number");
  const int n = GetBE16(p);
  const auto weight = static_cast<std::int16_t>(GetBE16(p + 2));
  const std::uint16_t sign = GetBE16(p + 4);
  if (sign == kNumericNaN) return std::numeric_limits<double>::quiet_NaN();
  if (sign == kNumericInfinity) return std::numeric_limits<double>::infinity();
  if (sign == kNumericMinusInfinity) return -std::numeric_limits<double>::infinity();
  if (size < 8 + 2 * static_cast<std::size_t>(n)) Unreadable(column, "", "a number");
  // Digits as text, read by from_chars so that the double is the nearest.
  std::string text = sign == 0x4000 ? "-" : "";
  for (int i = 0; i < n; ++i) AppendGroup(text, GetBE16(p + 8 + 2 * i) % 10000u);
  if (n == 0) return 0;
  text += "e" + std::to_string(4 * (weight - n + 1));
  double value = 0;
  std::from_chars(text.data(), text.data() + text.size(), value);
  return value;
}

// A binary numeric as the server writes it in text: every digit of its
// scale, nothing rounded.
std::string NumericText(const char* p, std::size_t size, const TColumn& column) {
  if (size < 8) Unreadable(column, "", "a number");
  const int n = GetBE16(p);
  const auto weight = static_cast<std::int16_t>(GetBE16(p + 2));
  const std::uint16_t sign = GetBE16(p + 4);
  const int scale = GetBE16(p + 6) & 0x3FFF;
  if (sign == kNumericNaN) return "NaN";
  if (sign == kNumericInfinity) return "Infinity";
  if (sign == kNumericMinusInfinity) return "-Infinity";
  if (size < 8 + 2 * static_cast<std::size_t>(n)) Unreadable(column, "", "a number");
  // Four digits for each base-10000 digit from the highest whole one (or
  // the units) to the last one the scale shows.
  const auto group = [&](int i) -> unsigned {
    return i >= 0 && i < n ? GetBE16(p + 8 + 2 * i) % 10000u : 0u;
  };
  std::string text = sign == 0x4000 ? "-" : "";
  std::string digits;
  for (int i = 0; i <= weight; ++i) AppendGroup(digits, group(i));
  const std::size_t lead = digits.find_first_not_of('0');
  text += lead == std::string::npos ? std::string("0") : digits.substr(lead);
  if (scale > 0) {
    text += '.';
    digits.clear();
    for (int i = weight + 1; static_cast<int>(digits.size()) < scale; ++i) {
      AppendGroup(digits, group(i));
    }
    text.append(digits, 0, static_cast<std::size_t>(scale));
  }
  return text;
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

double DoubleOf(const TFieldData& value) {
  if (const auto* d = std::get_if<double>(&value)) return *d;
  if (const auto* i = std::get_if<std::int64_t>(&value)) return static_cast<double>(*i);
  if (const auto* b = std::get_if<bool>(&value)) return *b ? 1 : 0;
  return StrToFloat(std::get<std::string>(value));
}

// ToMicros of a date, time or date-time value of the column.
std::int64_t MicrosOf(const TColumn& column, const TFieldData& value) {
  std::int64_t micros = 0;
  if (!ToMicros(DoubleOf(value), column.Kind == TKind::Time, micros)) {
    Unfit(column, "a date outside the years 1 to 9999");
  }
  return micros;
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
      return column.Kind == TKind::Numeric ? DecimalText(d) : FloatToStr(d);
    }
    case TKind::Bool:
      return IntegerOf(value) != 0 ? "t" : "f";
    case TKind::Date:
    case TKind::Time:
    case TKind::Timestamp:
    case TKind::TimestampTz: {
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
    ftString,    // WideNumeric
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
      // Decimals of up to 15 digits come back whole from the nearest double.
      constexpr int kDoubleDigits = 15;
      const bool fits = typmod >= 4 && ((typmod - 4) >> 16) <= kDoubleDigits;
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

std::string ReadExpression(const std::string& quotedName, TKind kind, bool binary) {
  if (binary && kind == TKind::Other) return quotedName + "::text";
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

void AppendSpecialNumeric(std::string& out, std::uint16_t sign) {
  PutBE32(out, 8);
  PutBE16(out, 0);
  PutBE16(out, 0);
  PutBE16(out, sign);
  PutBE16(out, 0);
}

// A numeric value; NaN and the infinities have sign words of their own.
void AppendBinaryNumeric(std::string& out, double d) {
  if (!std::isfinite(d)) {
    AppendSpecialNumeric(out, std::isnan(d)  ? kNumericNaN
                              : d > 0        ? kNumericInfinity
                                             : kNumericMinusInfinity);
    return;
  }
  AppendNumeric(out, DecimalText(d));
}

bool SameNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == y;
         });
}

std::string_view Digits(std::string_view& text) {
  std::size_t n = 0;
  while (n < text.size() && text[n] >= '0' && text[n] <= '9') ++n;
  const std::string_view digits = text.substr(0, n);
  text.remove_prefix(n);
  return digits;
}

// A number as the server's numeric input reads it (spaces around it, a
// sign, digits with a point, an exponent; NaN, Infinity), appended exactly;
// false when the text is not one or is beyond what a numeric holds.
bool AppendNumericText(std::string& out, std::string_view text) {
  constexpr std::string_view kSpaces = " \t\n\r\f\v";
  const std::size_t first = text.find_first_not_of(kSpaces);
  if (first == std::string_view::npos) return false;
  text = text.substr(first, text.find_last_not_of(kSpaces) - first + 1);
  if (SameNoCase(text, "nan")) {
    AppendSpecialNumeric(out, kNumericNaN);
    return true;
  }
  const bool negative = text.front() == '-';
  if (text.front() == '-' || text.front() == '+') text.remove_prefix(1);
  if (SameNoCase(text, "infinity") || SameNoCase(text, "inf")) {
    AppendSpecialNumeric(out, negative ? kNumericMinusInfinity : kNumericInfinity);
    return true;
  }
  const std::string_view whole = Digits(text);
  std::string_view fraction;
  if (!text.empty() && text.front() == '.') {
    text.remove_prefix(1);
    fraction = Digits(text);
  }
  if (whole.empty() && fraction.empty()) return false;
  // A numeric holds up to 131072 digits before its point and 16383 after.
  constexpr long kWholeDigits = 131072;
  constexpr long kScaleDigits = 16383;
  long exponent = 0;
  if (!text.empty() && (text.front() == 'e' || text.front() == 'E')) {
    text.remove_prefix(1);
    const bool down = !text.empty() && text.front() == '-';
    if (!text.empty() && (text.front() == '-' || text.front() == '+')) text.remove_prefix(1);
    const std::string_view power = Digits(text);
    if (power.empty() || power.size() > 7) return false;
    std::from_chars(power.data(), power.data() + power.size(), exponent);
    if (down) exponent = -exponent;
  }
  if (!text.empty()) return false;
  const std::string digits = std::string(whole) + std::string(fraction);
  const long point = static_cast<long>(whole.size()) + exponent;  // digits before the point
  const long scale = std::max(0L, static_cast<long>(fraction.size()) - exponent);
  if (point > kWholeDigits || scale > kScaleDigits) return false;
  std::string plain = negative ? "-" : "";
  if (point <= 0) {
    plain += "0.";
    plain.append(static_cast<std::size_t>(-point), '0');
    plain += digits;
  } else if (point >= static_cast<long>(digits.size())) {
    plain += digits;
    plain.append(static_cast<std::size_t>(point) - digits.size(), '0');
  } else {
    plain += std::string_view(digits).substr(0, static_cast<std::size_t>(point));
    plain += '.';
    plain += std::string_view(digits).substr(static_cast<std::size_t>(point));
  }
  AppendNumeric(out, plain);
  return true;
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
      AppendBinaryNumeric(out, DoubleOf(value));
      return;
    case TKind::WideNumeric: {
      const std::string text = TextOf(column, value, context);
      if (!AppendNumericText(out, text)) {
        std::string shown = text.substr(0, 40);
        if (text.size() > 40) shown += "...";
        Fail("Column '" + column.Name + "' cannot hold '" + shown + "', which is not a number");
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
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        out += c;
    }
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
    case TKind::Numeric:
      Store(slot, ReadNumeric(p, size, column));
      return;
    case TKind::WideNumeric:
      StoreBytes(slot, NumericText(p, size, column));
      return;
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
      Store(slot, double{std::bit_cast<float>(GetBE32(p))});
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
      Store(slot, static_cast<double>(static_cast<std::int64_t>(GetBE64(p))) /
                      static_cast<double>(kMicrosPerDay));
      return;
    }
    case TKind::Timestamp:
    case TKind::TimestampTz: {
      need(8);
      const auto micros = static_cast<std::int64_t>(GetBE64(p));
      if (micros == INT64_MAX || micros == INT64_MIN)
        Unreadable(column, "infinity", "a date and time");
      const double value = FromMicros(micros);
      if (value < kFirstDay || value > kLastDay + 1)
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

void DecodeText(std::string_view text, const TColumn& column, TFieldData& slot) {
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

#include "datasets/postgres/postgres_numeric.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

#include "datasets/postgres/postgres_codec.h"
#include "core/sysutils.h"

namespace korvane::pg {

namespace {

// The sign words of a numeric's special values.
constexpr std::uint16_t kNumericNaN = 0xC000;
constexpr std::uint16_t kNumericInfinity = 0xD000;
constexpr std::uint16_t kNumericMinusInfinity = 0xF000;

}  // namespace

// The shortest text that reads back as value, in fixed notation.
std::string DecimalText(double value) {
  char buffer[400];
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
  if (ec != std::errc()) return FloatToStr(value);
  return std::string(buffer, end);
}

namespace {

// Appends a decimal text ("-123.4500") as a binary numeric: digit count,
// weight of the first base-10000 digit, sign, display scale, digits.
void AppendDecimal(std::string& out, std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text[0] == '-' || text[0] == '+')) {
    negative = text[0] == '-';
    text.remove_prefix(1);
  }
  const std::size_t point = text.find('.');
  std::string_view whole = text.substr(0, point);
  const std::string_view fraction =
      point == std::string_view::npos ? std::string_view() : text.substr(point + 1);
  while (!whole.empty() && whole.front() == '0') whole.remove_prefix(1);
  // The base-10000 digits, written after the room for the header as they
  // come: the whole digits padded with zeros on the left to whole groups of
  // four, the fraction on the right.
  const std::size_t pad = (4 - whole.size() % 4) % 4;
  const std::size_t groups = (pad + whole.size() + fraction.size() + 3) / 4;
  const std::size_t at = out.size();
  out.resize(at + 12 + 2 * groups);
  char* const digits = out.data() + at + 12;
  char* end = digits;
  unsigned group = 0;
  std::size_t filled = pad;
  const auto take = [&](char c) {
    group = group * 10 + static_cast<unsigned>(c - '0');
    if (++filled == 4) {
      *end++ = static_cast<char>(group >> 8);
      *end++ = static_cast<char>(group);
      group = 0;
      filled = 0;
    }
  };
  for (const char c : whole) take(c);
  for (const char c : fraction) take(c);
  while (filled != 0) take('0');
  // Zero groups at either end are left out, those in front moving the
  // weight down.
  const char* first = digits;
  int weight = static_cast<int>((pad + whole.size()) / 4) - 1;
  while (first != end && first[0] == 0 && first[1] == 0) {
    first += 2;
    --weight;
  }
  while (end != first && end[-2] == 0 && end[-1] == 0) end -= 2;
  const auto n = static_cast<std::size_t>(end - first) / 2;
  if (n == 0) weight = 0;
  if (first != digits) std::memmove(digits, first, 2 * n);
  const auto length = static_cast<std::uint32_t>(8 + 2 * n);
  const std::uint16_t head[] = {static_cast<std::uint16_t>(length >> 16),
                                static_cast<std::uint16_t>(length),
                                static_cast<std::uint16_t>(n),
                                static_cast<std::uint16_t>(weight),
                                static_cast<std::uint16_t>(negative && n > 0 ? 0x4000 : 0),
                                static_cast<std::uint16_t>(fraction.size())};
  char* p = out.data() + at;
  for (const std::uint16_t word : head) {
    *p++ = static_cast<char>(word >> 8);
    *p++ = static_cast<char>(word);
  }
  out.resize(at + 12 + 2 * n);
}

// A base-10000 digit as four decimal ones.
void AppendGroup(std::string& text, unsigned group) {
  const char digits[4] = {
      static_cast<char>('0' + group / 1000), static_cast<char>('0' + group / 100 % 10),
      static_cast<char>('0' + group / 10 % 10), static_cast<char>('0' + group % 10)};
  text.append(digits, 4);
}

// NaN or an infinity, by its sign word.
void AppendSpecialNumeric(std::string& out, std::uint16_t sign) {
  PutBE32(out, 8);
  PutBE16(out, 0);
  PutBE16(out, 0);
  PutBE16(out, sign);
  PutBE16(out, 0);
}

}  // namespace

bool ReadNumeric(const char* p, std::size_t size, double& value) {
  if (size < 8) return false;
  const int n = GetBE16(p);
  const auto weight = static_cast<std::int16_t>(GetBE16(p + 2));
  const std::uint16_t sign = GetBE16(p + 4);
  if (sign == kNumericNaN || sign == kNumericInfinity || sign == kNumericMinusInfinity) {
    value = sign == kNumericNaN ? std::numeric_limits<double>::quiet_NaN()
                                : std::numeric_limits<double>::infinity();
    if (sign == kNumericMinusInfinity) value = -value;
    return true;
  }
  if (size < 8 + 2 * static_cast<std::size_t>(n)) return false;
  // Digits as text, read by from_chars so that the double is the nearest.
  std::string text = sign == 0x4000 ? "-" : "";
  for (int i = 0; i < n; ++i) AppendGroup(text, GetBE16(p + 8 + 2 * i) % 10000u);
  value = 0;
  if (n == 0) return true;
  text += 'e';
  text += std::to_string(4 * (weight - n + 1));
  std::from_chars(text.data(), text.data() + text.size(), value);
  return true;
}

namespace {

// "00" to "99", so that a base-10000 digit is written as two pairs.
constexpr std::array<char, 200> kDigitPairs = [] {
  std::array<char, 200> pairs{};
  for (std::size_t i = 0; i < 100; ++i) {
    pairs[2 * i] = static_cast<char>('0' + i / 10);
    pairs[2 * i + 1] = static_cast<char>('0' + i % 10);
  }
  return pairs;
}();

// A base-10000 digit (below 10000) as four decimal ones.
void PutGroup(char* out, unsigned group) {
  std::memcpy(out, &kDigitPairs[2 * (group / 100)], 2);
  std::memcpy(out + 2, &kDigitPairs[2 * (group % 100)], 2);
}

}  // namespace

// A binary numeric as the server writes it in text: every digit of its
// scale, nothing rounded. The digits are stored straight into text's own
// bytes, two pairs a base-10000 digit, rather than appended one by one: an
// export reads one such value per row and column.
bool NumericText(const char* p, std::size_t size, std::string& text) {
  if (size < 8) return false;
  const int n = GetBE16(p);
  const auto weight = static_cast<std::int16_t>(GetBE16(p + 2));
  const std::uint16_t sign = GetBE16(p + 4);
  const int scale = GetBE16(p + 6) & 0x3FFF;
  if (sign == kNumericNaN || sign == kNumericInfinity || sign == kNumericMinusInfinity) {
    const std::string_view name = sign == kNumericNaN        ? "NaN"
                                  : sign == kNumericInfinity ? "Infinity"
                                                             : "-Infinity";
    text.assign(name.data(), name.size());
    return true;
  }
  if (size < 8 + 2 * static_cast<std::size_t>(n)) return false;
  for (int i = 0; i < n; ++i) {
    if (GetBE16(p + 8 + 2 * i) >= 10000) return false;
  }
  // The base-10000 digit i counted from the first one held (weight is
  // that one's place), zero where none is held.
  const auto group = [&](int i) -> unsigned {
    return i >= 0 && i < n ? GetBE16(p + 8 + 2 * i) : 0u;
  };
  // Base-10000 digits before the point: at least the units' one.
  const int wholeGroups = weight >= 0 ? weight + 1 : 1;
  const auto fractionGroups = static_cast<std::size_t>((scale + 3) / 4);
  // Room for a sign, the whole digits, the point and the fraction's whole
  // groups; cut to what was written at the end.
  text.resize(2 + 4 * (static_cast<std::size_t>(wholeGroups) + fractionGroups));
  char* const start = text.data();
  char* out = start;
  if (sign == 0x4000) *out++ = '-';
  // The whole digits from the first that is not zero (or one zero), then
  // four for each base-10000 digit after it.
  if (weight < 0) {
    *out++ = '0';
  } else {
    int i = 0;
    while (i < weight && group(i) == 0) ++i;
    const unsigned first = group(i);
    const std::size_t digits = first >= 1000 ? 4 : first >= 100 ? 3 : first >= 10 ? 2 : 1;
    char four[8] = {};
    PutGroup(four, first);
    std::memcpy(out, four + 4 - digits, 4);
    out += digits;
    for (++i; i <= weight; ++i, out += 4) PutGroup(out, group(i));
  }
  if (scale > 0) {
    *out++ = '.';
    char* const fraction = out;
    for (std::size_t k = 0; k < fractionGroups; ++k, out += 4) {
      PutGroup(out, group(weight + 1 + static_cast<int>(k)));
    }
    out = fraction + scale;
  }
  text.resize(static_cast<std::size_t>(out - start));
  return true;
}

void AppendNumeric(std::string& out, double d) {
  if (!std::isfinite(d)) {
    AppendSpecialNumeric(out, std::isnan(d) ? kNumericNaN
                              : d > 0       ? kNumericInfinity
                                            : kNumericMinusInfinity);
    return;
  }
  AppendDecimal(out, DecimalText(d));
}

namespace {

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

}  // namespace

bool AppendNumericText(std::string& out, std::string_view text) {
  // Blanks around it: ' ', '\t', '\n', '\v', '\f' and '\r'.
  const auto blank = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  if (text.empty()) return false;
  if (SameNoCase(text, "nan")) {
    AppendSpecialNumeric(out, kNumericNaN);
    return true;
  }
  const std::string_view signedText = text;
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
  if (exponent == 0) {
    // Digits and a point as AppendDecimal reads them (a field's own text).
    if (static_cast<long>(fraction.size()) > kScaleDigits) return false;
    if (static_cast<long>(whole.size()) > kWholeDigits) return false;
    AppendDecimal(out, signedText);
    return true;
  }
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
  AppendDecimal(out, plain);
  return true;
}

}  // namespace korvane::pg

#include "text/number_text.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <system_error>

namespace korvane {

namespace {

using number_scan::IsDigit;

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

// The digits without the zeros at either end, and the decimal exponent of
// the last one kept: the value is digits * 10^exponent. Empty for zero.
std::string_view Significant(const TNumberParts& n, long& exponent) {
  std::string_view d = n.Digits;
  const std::size_t first = d.find_first_not_of('0');
  if (first == std::string_view::npos) {
    exponent = 0;
    return {};
  }
  const std::size_t last = d.find_last_not_of('0');
  exponent = n.Exponent - static_cast<long>(n.Digits.size() - n.WholeDigits) +
             static_cast<long>(d.size() - 1 - last);
  return d.substr(first, last - first + 1);
}

}  // namespace

int TNumberParts::Decimals() const {
  long exponent = 0;
  Significant(*this, exponent);
  return exponent >= 0 ? 0 : static_cast<int>(std::min<long>(-exponent, 1000000));
}

namespace number_scan {

bool TakeMoneyAffixes(std::string_view& t, bool& negative) {
  bool parenthesised = false;
  if (t.size() >= 2 && t.front() == '(' && t.back() == ')') {
    parenthesised = true;
    t = TrimBlanks(t.substr(1, t.size() - 2));
  }
  bool signed_ = false;
  if (!TakeSign(t, signed_, negative)) return false;
  if (StripSymbolPrefix(t) || StripSymbolSuffix(t)) {
    if (!TakeSign(t, signed_, negative)) return false;
  }
  if (parenthesised) {
    if (signed_) return false;
    negative = true;
  }
  return true;
}

}  // namespace number_scan

bool ReadNumberText(std::string_view text, unsigned rules, char decimal, char thousands,
                    TNumberParts& n) {
  n = TNumberParts();
  TNumberSpans spans;
  if (!ScanNumberText(text, rules, decimal, thousands, spans)) return false;
  n.Negative = spans.Negative;
  n.Digits.reserve(spans.Whole.size() + spans.Fraction.size());
  for (const char c : spans.Whole) {
    if (IsDigit(c)) n.Digits += c;
  }
  n.WholeDigits = n.Digits.size();
  n.Digits += spans.Fraction;
  n.Exponent = spans.Exponent;
  return true;
}

bool NonFiniteNumber(std::string_view text, double& value) {
  std::string_view t = TrimBlanks(text);
  bool signed_ = false;
  bool negative = false;
  number_scan::TakeSign(t, signed_, negative);
  const auto is = [t](std::string_view word) {
    return t.size() == word.size() &&
           std::equal(t.begin(), t.end(), word.begin(),
                      [](char a, char b) { return (a | 0x20) == b; });
  };
  if (is("inf") || is("infinity")) {
    value = negative ? -std::numeric_limits<double>::infinity()
                     : std::numeric_limits<double>::infinity();
    return true;
  }
  if (is("nan")) {
    value = std::numeric_limits<double>::quiet_NaN();
    return true;
  }
  return false;
}

bool NumberToDouble(const TNumberParts& n, double& value) {
  long exponent = 0;
  const std::string_view digits = Significant(n, exponent);
  if (digits.empty()) {
    value = n.Negative ? -0.0 : 0.0;
    return true;
  }
  std::string plain(digits);
  plain += 'e';
  plain += std::to_string(exponent);
  double result = 0;
  const auto [end, ec] = std::from_chars(plain.data(), plain.data() + plain.size(), result);
  if (ec == std::errc::result_out_of_range) {
    // Past a double's largest value, or below its smallest.
    if (exponent + static_cast<long>(digits.size()) > 0) return false;
    result = 0;
  } else if (ec != std::errc()) {
    return false;
  }
  value = n.Negative ? -result : result;
  return true;
}

bool ReadsBackAs(const TNumberParts& n, double value, bool single) {
  long exponent = 0;
  const std::string_view digits = Significant(n, exponent);
  if (digits.empty() || value == 0) return digits.empty() && value == 0;
  char buffer[64];
  std::to_chars_result written{};
  if (single) {
    const auto f = static_cast<float>(value);
    if (!std::isfinite(f)) return false;
    written = std::to_chars(buffer, buffer + sizeof buffer, std::fabs(f),
                            std::chars_format::scientific);
  } else {
    if (!std::isfinite(value)) return false;
    written = std::to_chars(buffer, buffer + sizeof buffer, std::fabs(value),
                            std::chars_format::scientific);
  }
  // d[.ddd]e[+-]x: the digits, and the exponent of the first one.
  std::string shortest;
  const char* p = buffer;
  for (; p < written.ptr && *p != 'e'; ++p) {
    if (IsDigit(*p)) shortest += *p;
  }
  int first = 0;
  if (p < written.ptr) {
    ++p;
    if (*p == '+') ++p;
    std::from_chars(p, written.ptr, first);
  }
  while (shortest.size() > 1 && shortest.back() == '0') shortest.pop_back();
  const long shortestLast = first - static_cast<long>(shortest.size()) + 1;
  if (shortest == digits && shortestLast == exponent) return true;
  // A whole number is also kept when it is the stored value exactly, as
  // the plain digits of a large double are (1000022631598738944).
  const double stored = single ? double{static_cast<float>(value)} : value;
  if (exponent < 0 || std::trunc(stored) != stored) return false;
  char whole[400];
  const auto plain = std::to_chars(whole, whole + sizeof whole, std::fabs(stored),
                                   std::chars_format::fixed, 0);
  std::string_view exact(whole, static_cast<std::size_t>(plain.ptr - whole));
  const std::size_t last = exact.find_last_not_of('0');
  return exact.substr(0, last + 1) == digits &&
         static_cast<long>(exact.size() - 1 - last) == exponent;
}

bool RoundedUnits(const TNumberParts& n, int decimals, std::int64_t& units) {
  // The digits up to `decimals` places after the point, and the one after.
  if (n.IsZero()) {
    units = 0;
    return true;
  }
  const long point = static_cast<long>(n.WholeDigits) + n.Exponent;  // digits before the point
  const long keep = point + decimals;
  std::uint64_t magnitude = 0;
  const long size = static_cast<long>(n.Digits.size());
  for (long i = 0; i < keep; ++i) {
    const unsigned digit = i >= 0 && i < size ? static_cast<unsigned>(n.Digits[i] - '0') : 0u;
    if (magnitude == 0 && digit == 0) continue;
    if (__builtin_mul_overflow(magnitude, 10u, &magnitude) ||
        __builtin_add_overflow(magnitude, digit, &magnitude)) {
      return false;
    }
  }
  if (keep >= 0 && keep < size && n.Digits[static_cast<std::size_t>(keep)] >= '5' &&
      __builtin_add_overflow(magnitude, 1u, &magnitude)) {
    return false;
  }
  const std::uint64_t limit = static_cast<std::uint64_t>(INT64_MAX) + (n.Negative ? 1 : 0);
  if (magnitude > limit) return false;
  units = n.Negative ? static_cast<std::int64_t>(0 - magnitude)
                     : static_cast<std::int64_t>(magnitude);
  return true;
}

double UnitsToDouble(std::int64_t units, int decimals) {
  char text[48];
  char* end = std::to_chars(text, text + 24, units).ptr;
  *end++ = 'e';
  end = std::to_chars(end, text + sizeof text, -decimals).ptr;
  double value = 0;
  std::from_chars(text, end, value);
  return value;
}

bool DecimalText(const TNumberParts& n, int decimals, std::string& text) {
  // The digits before the point and after it, the exponent applied.
  const long size = static_cast<long>(n.Digits.size());
  const long point = static_cast<long>(n.WholeDigits) + n.Exponent;
  long fraction = std::max(size - point, 0L);
  const bool rounds = decimals >= 0 && fraction > decimals;
  if (rounds) fraction = decimals;
  if (std::max(point, 0L) + fraction > kDecimalTextDigits) return false;
  std::string digits;
  for (long i = std::min(point, 0L); i < point + fraction; ++i) {
    digits += i >= 0 && i < size ? n.Digits[static_cast<std::size_t>(i)] : '0';
  }
  if (rounds && point + fraction >= 0 && point + fraction < size &&
      n.Digits[static_cast<std::size_t>(point + fraction)] >= '5') {
    std::size_t i = digits.size();
    while (i > 0 && digits[i - 1] == '9') digits[--i] = '0';
    if (i == 0) {
      digits.insert(digits.begin(), '1');
    } else {
      ++digits[i - 1];
    }
  }
  // digits holds the whole digits (none when the point stands before the
  // first digit), then `fraction` decimals.
  const std::size_t whole = digits.size() - static_cast<std::size_t>(fraction);
  std::size_t first = 0;
  while (first + 1 < whole && digits[first] == '0') ++first;
  text.clear();
  if (n.Negative && digits.find_first_not_of('0') != std::string::npos) text += '-';
  if (whole == 0) text += '0';
  text.append(digits, first, whole - first);
  if (fraction > 0) {
    text += '.';
    text.append(digits, whole, std::string::npos);
  }
  return true;
}

bool IsDecimalText(std::string_view text, int decimals) {
  using number_scan::IsDigit;
  const bool negative = !text.empty() && text.front() == '-';
  if (negative) text.remove_prefix(1);
  std::size_t i = 0;
  while (i < text.size() && IsDigit(text[i])) ++i;
  const std::size_t whole = i;
  if (whole == 0 || (whole > 1 && text.front() == '0')) return false;
  std::size_t fraction = 0;
  if (i < text.size()) {
    if (text[i] != '.') return false;
    const std::size_t first = ++i;
    while (i < text.size() && IsDigit(text[i])) ++i;
    fraction = i - first;
    if (fraction == 0 || i != text.size()) return false;
  }
  if (decimals >= 0 && fraction > static_cast<std::size_t>(decimals)) return false;
  if (static_cast<long>(whole + fraction) > kDecimalTextDigits) return false;
  return !negative || text.find_first_not_of("0.") != std::string_view::npos;
}

}  // namespace korvane

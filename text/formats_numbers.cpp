// Numbers: reading and writing floats, and number formats ("#,##0.00").
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <system_error>

#include "core/sysutils.h"
#include "text/formats.h"
#include "text/formats_internal.h"
#include "text/number_text.h"
#include "text/speed_internal.h"

namespace korvane {

using namespace formats_internal;

namespace {

// The settings in force. Constant-initialized, so they are there before any
// other static object is built, and reading them costs no guard. Clang cannot
// constant-evaluate the standard library's strings here, so there they are
// built on first use instead.
#if defined(__clang__)
TFormatSettings& Settings() {
  static TFormatSettings settings;
  return settings;
}
#else
constinit TFormatSettings gSettings;
TFormatSettings& Settings() { return gSettings; }
#endif

// The settings a run put in force on this thread, or nullptr.
constinit thread_local TFormatSettings* tThreadSettings = nullptr;

// ---------------------------------------------------------------------------
// Numbers.

// A finite, non-zero magnitude as decimal digits: the value is
// 0.d1d2d3... * 10^point, i.e. `point` digits stand before the decimal point
// (none when point <= 0). Digits never start with '0'.
struct Decimal {
  char digits[40];
  int count = 0;
  int point = 0;
};

// Shortest digits that read back as |value| (value finite and non-zero).
void ShortestDecimal(double value, Decimal& d) {
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, std::fabs(value), std::chars_format::scientific);
  const char* p = buf;
  d.count = 0;
  while (p < res.ptr && *p != 'e') {
    if (IsDigitChar(*p)) d.digits[d.count++] = *p;
    ++p;
  }
  int exponent = 0;
  if (p < res.ptr) {
    ++p;  // 'e'
    bool negative = *p == '-';
    if (*p == '+' || *p == '-') ++p;
    std::from_chars(p, res.ptr, exponent);
    if (negative) exponent = -exponent;
  }
  d.point = exponent + 1;
}

// Rounds d half away from zero to `decimals` digits after the point and
// drops trailing zeros; the count becomes 0 when the value rounds to zero.
void RoundDecimal(Decimal& d, int decimals) {
  int keep = d.point + decimals;
  if (keep < d.count) {
    if (keep < 0) {
      d.count = 0;
    } else {
      bool up = d.digits[keep] >= '5';
      d.count = keep;
      if (up) {
        int i = d.count - 1;
        while (i >= 0 && d.digits[i] == '9') --i;
        if (i < 0) {  // 999 -> 1000: one digit "1", one place further left
          d.digits[0] = '1';
          d.count = 1;
          ++d.point;
        } else {
          ++d.digits[i];
          d.count = i + 1;
        }
      }
    }
  }
  while (d.count > 0 && d.digits[d.count - 1] == '0') --d.count;
}

// ParseFloat's reading of a text t checked already: the whole digits end
// at intEnd, where the decimal separator stands when there is one.
bool ReadCheckedFloat(std::string_view t, char decimal, bool negative, std::size_t intEnd,
                      std::size_t fracBegin, std::size_t fracEnd, long exponent, double& value) {
  // std::from_chars reads the checked text once the decimal separator is a
  // '.'; only another separator needs a copy.
  const char* first = t.data();
  char local[64];
  std::string heap;
  if (decimal != '.' && intEnd < t.size() && t[intEnd] == decimal) {
    char* copy = local;
    if (t.size() > sizeof local) {
      heap.assign(t);
      copy = heap.data();
    } else {
      t.copy(local, t.size());
    }
    copy[intEnd] = '.';
    first = copy;
  }
  double result = 0;
  auto res = std::from_chars(first, first + t.size(), result);
  if (res.ec == std::errc::result_out_of_range) {
    // Overflow is an error; a magnitude below the smallest double is zero.
    // The decimal exponent of the first significant digit tells them apart.
    long magnitude = 0;
    std::size_t k = 0;
    while (k < intEnd && t[k] == '0') ++k;
    if (k < intEnd) {
      magnitude = static_cast<long>(intEnd - k) - 1;
    } else {
      std::size_t f = fracBegin;
      while (f < fracEnd && t[f] == '0') ++f;
      magnitude = -static_cast<long>(f - fracBegin) - 1;
    }
    if (magnitude + exponent >= 0) return false;
    result = 0;
  } else if (res.ec != std::errc() || res.ptr != first + t.size()) {
    return false;
  }
  value = negative ? -result : result;
  return true;
}

// The grammar is ScanNumberText's (digits, the decimal separator of the
// settings and digits, one digit at least of the two, then an exponent).
// Short texts are read by speed_internal's routine, the others by
// std::from_chars.
bool ParseFloat(std::string_view text, double& value) {
  const char decimal = FormatSettings().DecimalSeparator;
  TNumberSpans n;
  if (!ScanNumberText(text, nrExponent, decimal, '\0', n)) return false;
  double result = 0;
  if (speed_internal::ShortDecimalToDouble(n.Whole, n.Fraction, n.Exponent, result)) {
    value = n.Negative ? -result : result;
    return true;
  }
  const std::size_t intEnd = n.Whole.size();
  const std::size_t fracBegin = n.Point ? intEnd + 1 : intEnd;
  return ReadCheckedFloat(n.Body, decimal, n.Negative, intEnd, fracBegin,
                          fracBegin + n.Fraction.size(), n.Exponent, value);
}

std::string NonFiniteText(double value) {
  if (std::isnan(value)) return "NAN";
  return value < 0 ? "-INF" : "INF";
}

// The most bytes FloatToStr's text takes: "-2.2250738585072014e-308" and
// room to spare.
constexpr std::size_t kFloatTextRoom = 32;

// Writes FloatToStr's text at p, which has room for kFloatTextRoom bytes,
// with decimal as the decimal separator, and returns its end.
char* PutFloat(char* p, double value, char decimal) {
  if (!std::isfinite(value)) {
    const std::string text = NonFiniteText(value);
    return p + text.copy(p, text.size());
  }
  if (value == 0) {
    *p = '0';
    return p + 1;
  }
  char* const end = std::to_chars(p, p + kFloatTextRoom, value).ptr;
  if (decimal != '.') std::replace(p, end, '.', decimal);
  return end;
}

// One section of a number format, measured before it is written.
struct NumberSection {
  std::string_view text;
  int intPlaces = 0;  // '#' and '0' before the decimal point
  int minInt = 0;     // integer digits always written (from the first '0')
  int maxFrac = 0;    // placeholders after the decimal point
  int minFrac = 0;    // ... up to and including the last '0'
  bool grouping = false;
  bool hasPoint = false;
};

NumberSection MeasureSection(std::string_view text) {
  NumberSection s;
  s.text = text;
  int firstZero = -1;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\'' || c == '"') {
      std::size_t close = text.find(c, i + 1);
      i = close == std::string_view::npos ? text.size() : close;
    } else if (c == '#' || c == '0') {
      if (!s.hasPoint) {
        if (c == '0' && firstZero < 0) firstZero = s.intPlaces;
        ++s.intPlaces;
      } else {
        ++s.maxFrac;
        if (c == '0') s.minFrac = s.maxFrac;
      }
    } else if (c == ',' && !s.hasPoint) {
      s.grouping = true;
    } else if (c == '.' && !s.hasPoint) {
      s.hasPoint = true;
    }
  }
  s.minInt = firstZero < 0 ? 0 : s.intPlaces - firstZero;
  return s;
}

// Writes |value| through one section; `minus` puts a '-' in front. `isZero`
// tells whether the value rounded to zero.
std::string RenderSection(const NumberSection& s, double value, bool minus, bool& isZero) {
  const TFormatSettings& fs = FormatSettings();
  Decimal d;
  if (value != 0) {
    ShortestDecimal(value, d);
    RoundDecimal(d, s.maxFrac);
  }
  isZero = d.count == 0;

  // Integer digits, at least minInt of them.
  std::string intDigits;
  if (!isZero && d.point > 0) {
    int fromDigits = d.point < d.count ? d.point : d.count;
    intDigits.append(d.digits, static_cast<std::size_t>(fromDigits));
    intDigits.append(static_cast<std::size_t>(d.point - fromDigits), '0');
  }
  if (static_cast<int>(intDigits.size()) < s.minInt) {
    intDigits.insert(0, static_cast<std::size_t>(s.minInt) - intDigits.size(), '0');
  }
  // Fraction digits, trailing zeros dropped down to minFrac.
  std::string frac(static_cast<std::size_t>(s.maxFrac), '0');
  if (!isZero) {
    for (int j = 0; j < s.maxFrac; ++j) {
      int k = d.point + j;
      if (k >= 0 && k < d.count) frac[static_cast<std::size_t>(j)] = d.digits[k];
    }
  }
  std::size_t fracLen = frac.size();
  while (fracLen > static_cast<std::size_t>(s.minFrac) && frac[fracLen - 1] == '0') --fracLen;

  const int len = static_cast<int>(intDigits.size());
  std::string out;
  out.reserve(s.text.size() + intDigits.size() + intDigits.size() / 3 + 4);
  if (minus && !isZero) out += '-';
  // Writes the integer digit `fromRight` places left of the point, followed
  // by a group separator where one is due.
  auto putDigit = [&](int fromRight) {
    out += intDigits[static_cast<std::size_t>(len - 1 - fromRight)];
    if (s.grouping && fromRight > 0 && fromRight % 3 == 0) out += fs.ThousandSeparator;
  };
  auto putIntegerDigitsFrom = [&](int lowest) {
    for (int p = len - 1; p >= lowest; --p) putDigit(p);
  };

  int intIndex = 0;
  int fracIndex = 0;
  bool afterPoint = false;
  const std::string_view text = s.text;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\'' || c == '"') {
      std::size_t close = text.find(c, i + 1);
      if (close == std::string_view::npos) close = text.size();
      out.append(text.substr(i + 1, close - i - 1));
      i = close;
    } else if ((c == '#' || c == '0') && !afterPoint) {
      int fromRight = s.intPlaces - 1 - intIndex;
      if (intIndex == 0) {
        putIntegerDigitsFrom(fromRight);  // digits beyond the placeholders go first
      } else if (fromRight < len) {
        putDigit(fromRight);
      }
      ++intIndex;
    } else if (c == '#' || c == '0') {
      if (fracIndex < static_cast<int>(fracLen)) out += frac[static_cast<std::size_t>(fracIndex)];
      ++fracIndex;
    } else if (c == '.' && !afterPoint) {
      afterPoint = true;
      if (s.intPlaces == 0) putIntegerDigitsFrom(0);
      if (fracLen > 0) out += fs.DecimalSeparator;
    } else if (c == ',') {
      // grouping marker, measured already
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace

TFormatSettings& FormatSettings() {
  TFormatSettings* const own = tThreadSettings;
  return own != nullptr ? *own : Settings();
}

TThreadFormatSettings::TThreadFormatSettings(TFormatSettings* settings) noexcept
    : FPrevious(tThreadSettings) {
  tThreadSettings = settings;
}

TThreadFormatSettings::~TThreadFormatSettings() { tThreadSettings = FPrevious; }

TFormatSettings* ThreadFormatSettings() noexcept { return tThreadSettings; }

void ResetFormatSettings() { FormatSettings() = TFormatSettings{}; }

char* PutInteger(char* p, std::int64_t value) { return speed_internal::PutIntegerLanes(p, value); }

char* PutCurrencyAmount(char* p, std::int64_t value, char decimalSeparator) {
  return speed_internal::PutCurrencyAmountLanes(p, value, decimalSeparator);
}

bool TryStrToFloat(std::string_view s, double& value) { return ParseFloat(s, value); }

// The grammar: ScanNumberText's without the exponent, and at most four
// decimals; the amount must fit in 64 bits.
bool TryStrToAmount(std::string_view s, std::int64_t& amount) {
  const char decimal = FormatSettings().DecimalSeparator;
  TNumberSpans n;
  return ScanNumberText(s, nrPlain, decimal, '\0', n) && ExactAmount(n, amount);
}

std::int64_t StrToInt64(std::string_view s) {
  TNumberSpans n;
  std::int64_t value = 0;
  if (!ScanNumberText(s, nrPlain, '.', '\0', n) || n.Point || !SpansToInteger(n, value)) {
    ThrowNotValid(s, "integer value");
  }
  return value;
}

int StrToInt(std::string_view s) {
  const std::int64_t value = StrToInt64(s);
  if (value < std::numeric_limits<int>::min() || value > std::numeric_limits<int>::max()) {
    ThrowNotValid(s, "integer value");
  }
  return static_cast<int>(value);
}

double StrToFloat(std::string_view s) {
  double value = 0;
  if (!ParseFloat(s, value)) ThrowNotValid(s, "floating point value");
  return value;
}

void AppendFloatToStr(std::string& out, double value) {
  char buf[kFloatTextRoom];
  const char* end = PutFloat(buf, value, FormatSettings().DecimalSeparator);
  out.append(buf, static_cast<std::size_t>(end - buf));
}

char* FloatToChars(char* first, char* last, double value) {
  return FloatToChars(first, last, value, FormatSettings().DecimalSeparator);
}

char* FloatToChars(char* first, char* last, double value, char decimalSeparator) {
  if (last - first >= static_cast<std::ptrdiff_t>(kFloatTextRoom)) {
    return PutFloat(first, value, decimalSeparator);
  }
  char buf[kFloatTextRoom];
  const auto length = static_cast<std::size_t>(PutFloat(buf, value, decimalSeparator) - buf);
  if (length > static_cast<std::size_t>(last - first)) return nullptr;
  std::memcpy(first, buf, length);
  return first + length;
}

std::string FloatToStr(double value) {
  std::string out;
  AppendFloatToStr(out, value);
  return out;
}

std::string FormatFloat(std::string_view format, double value) {
  if (format.empty() || !std::isfinite(value)) return FloatToStr(value);
  // Split into at most three sections at ';' outside quotes.
  std::string_view sections[3];
  int count = 0;
  std::size_t begin = 0;
  for (std::size_t i = 0; i <= format.size() && count < 3; ++i) {
    if (i < format.size() && (format[i] == '\'' || format[i] == '"')) {
      std::size_t close = format.find(format[i], i + 1);
      i = close == std::string_view::npos ? format.size() - 1 : close;
    } else if (i == format.size() || format[i] == ';') {
      sections[count++] = format.substr(begin, i - begin);
      begin = i + 1;
    }
  }
  const bool negative = value < 0;
  const double magnitude = std::fabs(value);
  bool isZero = false;
  const bool ownNegative = negative && count >= 2 && !sections[1].empty();
  std::string out = RenderSection(MeasureSection(sections[ownNegative ? 1 : 0]), magnitude,
                                  negative && !ownNegative, isZero);
  if (isZero) {
    if (count >= 3 && !sections[2].empty()) {
      return RenderSection(MeasureSection(sections[2]), 0.0, false, isZero);
    }
    // A value that rounds to zero is written as zero, without a sign.
    if (negative) return RenderSection(MeasureSection(sections[0]), 0.0, false, isZero);
  }
  return out;
}

}  // namespace korvane

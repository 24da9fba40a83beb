// Conversion speed of the per-value routines the import and export call for
// every field: text to number and date, number and date to text. Each is set
// against a floor doing the same work with the bare standard library
// (std::from_chars / std::to_chars / std::chrono) and no settings.
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench/import_bench_support.h"
#include "text/formats.h"
#include "text/formats_iso.h"

namespace korvane::bench {
namespace {

constexpr int kValues = 200000;

std::uint32_t NextRandom(std::uint32_t& seed) {
  seed = seed * 1664525u + 1013904223u;
  return seed >> 8;
}

// Amounts with two decimals, as in the people file ("12345.67").
const std::vector<std::string>& AmountTexts() {
  static const std::vector<std::string> texts = [] {
    std::vector<std::string> v;
    std::uint32_t seed = 11;
    char buf[32];
    for (int i = 0; i < kValues; ++i) {
      int n = std::snprintf(buf, sizeof buf, "%u.%02u", NextRandom(seed) % 100000,
                            NextRandom(seed) % 100);
      v.emplace_back(buf, static_cast<std::size_t>(n));
    }
    return v;
  }();
  return texts;
}

// m/d/yyyy dates from 1950 to 2019.
const std::vector<std::string>& DateTexts() {
  static const std::vector<std::string> texts = [] {
    std::vector<std::string> v;
    std::uint32_t seed = 13;
    char buf[32];
    for (int i = 0; i < kValues; ++i) {
      std::uint32_t r = NextRandom(seed);
      int n = std::snprintf(buf, sizeof buf, "%u/%u/%u", 1 + r % 12, 1 + (r >> 5) % 28,
                            1950 + (r >> 10) % 70);
      v.emplace_back(buf, static_cast<std::size_t>(n));
    }
    return v;
  }();
  return texts;
}

// The same dates as yyyy-mm-dd.
const std::vector<std::string>& IsoDateTexts() {
  static const std::vector<std::string> texts = [] {
    std::vector<std::string> v;
    char buf[32];
    for (const std::string& s : DateTexts()) {
      std::uint16_t y = 0;
      std::uint16_t m = 0;
      std::uint16_t d = 0;
      DecodeDate(StrToDate(s), y, m, d);
      int n = std::snprintf(buf, sizeof buf, "%04u-%02u-%02u", unsigned{y}, unsigned{m},
                            unsigned{d});
      v.emplace_back(buf, static_cast<std::size_t>(n));
    }
    return v;
  }();
  return texts;
}

const std::vector<double>& Amounts() {
  static const std::vector<double> values = [] {
    std::vector<double> v;
    for (const std::string& s : AmountTexts()) v.push_back(StrToFloat(s));
    return v;
  }();
  return values;
}

// Date-times from 1950 to 2019 with a time of day in whole seconds.
const std::vector<double>& DateTimes() {
  static const std::vector<double> values = [] {
    std::vector<double> v;
    std::uint32_t seed = 17;
    for (int i = 0; i < kValues; ++i) {
      double day = 18264 + NextRandom(seed) % 25567;
      v.push_back(day + (NextRandom(seed) % 86400) / 86400.0);
    }
    return v;
  }();
  return values;
}

void SetItems(benchmark::State& state) { state.SetItemsProcessed(state.iterations() * kValues); }

// --- text to number ---------------------------------------------------------

void BM_FloorFromChars(benchmark::State& state) {
  const auto& texts = AmountTexts();
  for (auto _ : state) {
    double sum = 0;
    for (const std::string& s : texts) {
      double v = 0;
      std::from_chars(s.data(), s.data() + s.size(), v);
      sum += v;
    }
    benchmark::DoNotOptimize(sum);
  }
  SetItems(state);
}
BENCHMARK(BM_FloorFromChars);

void BM_StrToFloat(benchmark::State& state) {
  const auto& texts = AmountTexts();
  for (auto _ : state) {
    double sum = 0;
    for (const std::string& s : texts) sum += StrToFloat(s);
    benchmark::DoNotOptimize(sum);
  }
  SetItems(state);
}
BENCHMARK(BM_StrToFloat);

// --- number to text ---------------------------------------------------------

void BM_FloorToCharsShortest(benchmark::State& state) {
  const auto& values = Amounts();
  char buf[64];
  for (auto _ : state) {
    std::size_t total = 0;
    for (double v : values)
      total += static_cast<std::size_t>(std::to_chars(buf, buf + 64, v).ptr - buf);
    benchmark::DoNotOptimize(total);
  }
  SetItems(state);
}
BENCHMARK(BM_FloorToCharsShortest);

void BM_FloatToStr(benchmark::State& state) {
  const auto& values = Amounts();
  for (auto _ : state) {
    std::size_t total = 0;
    for (double v : values) total += FloatToStr(v).size();
    benchmark::DoNotOptimize(total);
  }
  SetItems(state);
}
BENCHMARK(BM_FloatToStr);

// The export's writer of float values: the shortest text, to_chars' own
// layout with the decimal separator applied.
void BM_FloatToChars(benchmark::State& state) {
  const auto& values = Amounts();
  char buf[64];
  for (auto _ : state) {
    std::size_t total = 0;
    for (double v : values) total += static_cast<std::size_t>(FloatToChars(buf, buf + 64, v) - buf);
    benchmark::DoNotOptimize(total);
  }
  SetItems(state);
}
BENCHMARK(BM_FloatToChars);

// The writer it replaced, kept here to be measured against: the shortest
// digits from to_chars' scientific form, laid out again as plain digits for
// exponents -5 to 14 and as "1.5E-7" beyond.
char* PutFloatBefore(char* p, double value, char decimal) {
  if (value == 0) {
    *p = '0';
    return p + 1;
  }
  char sci[64];
  const char* end = std::to_chars(sci, sci + sizeof sci, value < 0 ? -value : value,
                                  std::chars_format::scientific)
                        .ptr;
  char digits[40];
  int count = 0;
  const char* q = sci;
  for (; q < end && *q != 'e'; ++q) {
    if (*q >= '0' && *q <= '9') digits[count++] = *q;
  }
  int exponent = 0;
  if (q < end) {
    ++q;
    const bool negative = *q == '-';
    if (*q == '+' || *q == '-') ++q;
    std::from_chars(q, end, exponent);
    if (negative) exponent = -exponent;
  }
  const int point = exponent + 1;
  const auto put = [&p](const char* from, int n) {
    std::memcpy(p, from, static_cast<std::size_t>(n));
    p += n;
  };
  const auto zeros = [&p](int n) {
    std::memset(p, '0', static_cast<std::size_t>(n));
    p += n;
  };
  if (value < 0) *p++ = '-';
  if (exponent >= -5 && exponent < 15) {
    if (point <= 0) {
      *p++ = '0';
      *p++ = decimal;
      zeros(-point);
      put(digits, count);
    } else if (point >= count) {
      put(digits, count);
      zeros(point - count);
    } else {
      put(digits, point);
      *p++ = decimal;
      put(digits + point, count - point);
    }
  } else {
    *p++ = digits[0];
    if (count > 1) {
      *p++ = decimal;
      put(digits + 1, count - 1);
    }
    *p++ = 'E';
    p = std::to_chars(p, p + 8, exponent).ptr;
  }
  return p;
}

void BM_FloatToCharsBefore(benchmark::State& state) {
  const auto& values = Amounts();
  char buf[64];
  for (auto _ : state) {
    std::size_t total = 0;
    for (double v : values) total += static_cast<std::size_t>(PutFloatBefore(buf, v, '.') - buf);
    benchmark::DoNotOptimize(total);
  }
  SetItems(state);
}
BENCHMARK(BM_FloatToCharsBefore);

void BM_FloorToCharsFixed2(benchmark::State& state) {
  const auto& values = Amounts();
  char buf[64];
  for (auto _ : state) {
    std::size_t total = 0;
    for (double v : values) {
      total += static_cast<std::size_t>(
          std::to_chars(buf, buf + 64, v, std::chars_format::fixed, 2).ptr - buf);
    }
    benchmark::DoNotOptimize(total);
  }
  SetItems(state);
}
BENCHMARK(BM_FloorToCharsFixed2);

void BM_FormatFloatGrouped(benchmark::State& state) {
  const auto& values = Amounts();
  for (auto _ : state) {
    std::size_t total = 0;
    for (double v : values) total += FormatFloat("#,##0.00", v).size();
    benchmark::DoNotOptimize(total);
  }
  SetItems(state);
}
BENCHMARK(BM_FormatFloatGrouped);

// --- dates --------------------------------------------------------------------

// m/d/yyyy read with from_chars and turned into a day count by std::chrono,
// without validation beyond the digits.
void BM_FloorDateFromChars(benchmark::State& state) {
  using namespace std::chrono;
  const auto& texts = DateTexts();
  const sys_days dayZero = year{1899} / December / 30;
  for (auto _ : state) {
    long long sum = 0;
    for (const std::string& s : texts) {
      const char* p = s.data();
      const char* end = p + s.size();
      unsigned m = 0, d = 0;
      int y = 0;
      p = std::from_chars(p, end, m).ptr + 1;
      p = std::from_chars(p, end, d).ptr + 1;
      std::from_chars(p, end, y);
      sum += (sys_days(year{y} / month{m} / day{d}) - dayZero).count();
    }
    benchmark::DoNotOptimize(sum);
  }
  SetItems(state);
}
BENCHMARK(BM_FloorDateFromChars);

void BM_StrToDate(benchmark::State& state) {
  const auto& texts = DateTexts();
  for (auto _ : state) {
    double sum = 0;
    for (const std::string& s : texts) sum += StrToDate(s);
    benchmark::DoNotOptimize(sum);
  }
  SetItems(state);
}
BENCHMARK(BM_StrToDate);

// What an import under ISO 8601 does for each date: ReadIso, then the value.
void BM_ReadIsoDate(benchmark::State& state) {
  const auto& texts = IsoDateTexts();
  for (auto _ : state) {
    double sum = 0;
    TIsoValue value;
    for (const std::string& s : texts) {
      if (ReadIso(s, TIsoKind::Date, value) == TIsoFault::None) sum += value.DateTime();
    }
    benchmark::DoNotOptimize(sum);
  }
  SetItems(state);
}
BENCHMARK(BM_ReadIsoDate);

// What an export writes for each date: the plan's writer for m/d/yyyy, and
// PutIsoDate under ISO 8601.
void BM_DateWriterPut(benchmark::State& state) {
  const auto& values = DateTimes();
  const TDateWriter writer;
  std::vector<char> buf(writer.Room());
  for (auto _ : state) {
    std::size_t total = 0;
    for (double v : values) total += static_cast<std::size_t>(writer.Put(buf.data(), v) - buf.data());
    benchmark::DoNotOptimize(total);
  }
  SetItems(state);
}
BENCHMARK(BM_DateWriterPut);

void BM_PutIsoDate(benchmark::State& state) {
  const auto& values = DateTimes();
  char buf[kIsoTextRoom];
  for (auto _ : state) {
    std::size_t total = 0;
    for (double v : values) total += static_cast<std::size_t>(PutIsoDate(buf, v) - buf);
    benchmark::DoNotOptimize(total);
  }
  SetItems(state);
}
BENCHMARK(BM_PutIsoDate);

// m/d/yyyy hh:nn:ss written with std::chrono's calendar and to_chars.
void BM_FloorDateTimeToChars(benchmark::State& state) {
  using namespace std::chrono;
  const auto& values = DateTimes();
  const sys_days dayZero = year{1899} / December / 30;
  char buf[64];
  for (auto _ : state) {
    std::size_t total = 0;
    for (double v : values) {
      const long long whole = static_cast<long long>(v);
      const long long secs = static_cast<long long>((v - static_cast<double>(whole)) * 86400 + 0.5);
      const year_month_day ymd{dayZero + days{whole}};
      char* p = buf;
      p = std::to_chars(p, buf + 32, static_cast<unsigned>(ymd.month())).ptr;
      *p++ = '/';
      p = std::to_chars(p, buf + 32, static_cast<unsigned>(ymd.day())).ptr;
      *p++ = '/';
      p = std::to_chars(p, buf + 32, static_cast<int>(ymd.year())).ptr;
      *p++ = ' ';
      for (long long part : {secs / 3600, secs / 60 % 60, secs % 60}) {
        *p++ = static_cast<char>('0' + part / 10);
        *p++ = static_cast<char>('0' + part % 10);
        *p++ = ':';
      }
      total += static_cast<std::size_t>(p - buf - 1);
    }
    benchmark::DoNotOptimize(total);
  }
  SetItems(state);
}
BENCHMARK(BM_FloorDateTimeToChars);

void BM_DateTimeToStr(benchmark::State& state) {
  const auto& values = DateTimes();
  for (auto _ : state) {
    std::size_t total = 0;
    for (double v : values) total += DateTimeToStr(v).size();
    benchmark::DoNotOptimize(total);
  }
  SetItems(state);
}
BENCHMARK(BM_DateTimeToStr);

// Date-times as an export writes them: DateTimeToChars for m/d/yyyy
// hh:nn:ss, PutIsoDateTime for ISO 8601.
void BM_DateTimeToChars(benchmark::State& state) {
  const auto& values = DateTimes();
  char buf[64];
  for (auto _ : state) {
    std::size_t total = 0;
    for (double v : values) {
      total += static_cast<std::size_t>(DateTimeToChars(buf, buf + sizeof buf, v) - buf);
    }
    benchmark::DoNotOptimize(total);
  }
  SetItems(state);
}
BENCHMARK(BM_DateTimeToChars);

void BM_PutIsoDateTime(benchmark::State& state) {
  const auto& values = DateTimes();
  char buf[kIsoTextRoom];
  for (auto _ : state) {
    std::size_t total = 0;
    for (double v : values) total += static_cast<std::size_t>(PutIsoDateTime(buf, v) - buf);
    benchmark::DoNotOptimize(total);
  }
  SetItems(state);
}
BENCHMARK(BM_PutIsoDateTime);

}  // namespace
}  // namespace korvane::bench

int main(int argc, char** argv) {
  using korvane::bench::TRatioReporter;
  return korvane::bench::RunWithRatios(argc, argv, [](const TRatioReporter& r) {
    r.PrintRatio("StrToFloat", "BM_StrToFloat", "BM_FloorFromChars");
    r.PrintRatio("FloatToStr", "BM_FloatToStr", "BM_FloorToCharsShortest");
    r.PrintRatio("FormatFloat #,##0.00", "BM_FormatFloatGrouped", "BM_FloorToCharsFixed2");
    r.PrintRatio("StrToDate m/d/yyyy", "BM_StrToDate", "BM_FloorDateFromChars");
    r.PrintRatio("DateTimeToStr", "BM_DateTimeToStr", "BM_FloorDateTimeToChars");
    // ISO 8601 against the m/d/yyyy paths it replaces as the command's
    // default (1.0 and above: at least as fast).
    r.PrintRatio("ISO read vs StrToDate m/d/yyyy", "BM_ReadIsoDate", "BM_StrToDate");
    r.PrintRatio("ISO date vs date writer m/d/yyyy", "BM_PutIsoDate", "BM_DateWriterPut");
    r.PrintRatio("ISO date-time vs DateTimeToChars", "BM_PutIsoDateTime", "BM_DateTimeToChars");
  });
}

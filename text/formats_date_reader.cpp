// Reading dates and times: StrToDate, StrToTime and StrToDateTime.
#include <algorithm>
#include <bit>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "text/formats.h"
#include "text/formats_internal.h"
#include "core/sysutils.h"

namespace korvane {

using namespace formats_internal;

namespace {

// ---------------------------------------------------------------------------
// Reading dates and times.

// Separators a date or time text may use: the configured one, plus every
// separator the format writes literally (so a text written through the
// format always reads back).
std::string AcceptedSeparators(std::string_view format, char configured) {
  const TFormatSettings& fs = FormatSettings();
  std::string seps(1, configured);
  auto add = [&seps](char c) {
    if (seps.find(c) == std::string::npos) seps += c;
  };
  for (std::size_t i = 0; i < format.size(); ++i) {
    char c = format[i];
    if (c == '\'' || c == '"') {
      std::size_t close = format.find(c, i + 1);
      if (close == std::string_view::npos) break;
      i = close;
    } else if (c == '/') {
      add(fs.DateSeparator);
    } else if (c == ':') {
      add(fs.TimeSeparator);
    } else if (!IsLetterChar(c) && !IsDigitChar(c) && !IsBlankChar(c)) {
      add(c);
    }
  }
  return seps;
}

// Reads up to `maxDigits` digits at t[i]; false when there is none.
bool ReadNumber(std::string_view t, std::size_t& i, int maxDigits, int& value, int& width) {
  value = 0;
  width = 0;
  while (i < t.size() && IsDigitChar(t[i]) && width < maxDigits) {
    value = value * 10 + (t[i] - '0');
    ++width;
    ++i;
  }
  return width > 0;
}

// The parts of a short date format: the order of d, m and y as they first
// appear (any the format leaves out follow in month, day, year order), the
// length of each part's letter run, the text the format writes between the
// parts, and whether the parts follow each other with nothing between
// ("yyyymmdd"). Day names (ddd, dddd) are not a part.
struct DatePattern {
  char order[3] = {0, 0, 0};
  int runs[3] = {0, 0, 0};
  std::string gaps[2];
  bool compact = false;
};

DatePattern ScanDateFormat(std::string_view format) {
  const TFormatSettings& fs = FormatSettings();
  DatePattern p;
  int parts = 0;
  bool between = false;
  std::string gap;
  auto add = [&](char part, int run) {
    for (int k = 0; k < parts; ++k) {
      if (p.order[k] == part) return;
    }
    if (parts == 3) return;  // cannot happen: three parts are d, m and y
    if (parts > 0) p.gaps[parts - 1] = gap;
    p.order[parts] = part;
    p.runs[parts] = run;
    ++parts;
  };
  for (std::size_t i = 0; i < format.size(); ++i) {
    const char c = LowerChar(format[i]);
    if (format[i] == '\'' || format[i] == '"') {
      between = true;
      std::size_t close = format.find(format[i], i + 1);
      if (close == std::string_view::npos) close = format.size();
      gap.append(format.substr(i + 1, close - i - 1));
      i = close;
    } else if (c == 'd' || c == 'm' || c == 'y') {
      std::size_t n = 1;
      while (i + n < format.size() && LowerChar(format[i + n]) == c) ++n;
      if (c == 'd' && n > 2) {
        between = true;
        gap.append(format.substr(i, n));
      } else {
        add(c, static_cast<int>(n));
        gap.clear();
      }
      i += n - 1;
    } else {
      between = true;
      gap += c == '/' ? fs.DateSeparator : c == ':' ? fs.TimeSeparator : format[i];
    }
  }
  p.compact = parts == 3 && !between;
  add('m', 0);
  add('d', 0);
  add('y', 0);
  return p;
}

// A month written as a name: its number, or 0 when it names none.
int MonthFromName(std::string_view name) {
  const TFormatSettings& fs = FormatSettings();
  for (int m = 0; m < 12; ++m) {
    const auto index = static_cast<std::size_t>(m);
    if (EqualsNoCase(name, fs.ShortMonthNames[index]) ||
        EqualsNoCase(name, fs.LongMonthNames[index])) {
      return m + 1;
    }
  }
  return 0;
}

int ExpandYear(int twoDigits) {
  return twoDigits + (twoDigits < FormatSettings().TwoDigitYearPivot ? 2000 : 1900);
}

// "20240305" against a format whose parts touch, each part at its width in
// the format (two digits for d and m, two or four for y).
bool ParseCompactDate(std::string_view t, const DatePattern& p, int& year, int& month, int& day) {
  std::size_t total = 0;
  std::size_t widths[3];
  for (int k = 0; k < 3; ++k) {
    if (p.order[k] != 'y' && p.runs[k] > 2) return false;  // month names are not compact
    widths[k] = p.order[k] == 'y' && p.runs[k] > 2 ? 4 : 2;
    total += widths[k];
  }
  if (t.size() != total) return false;
  std::size_t i = 0;
  for (int k = 0; k < 3; ++k) {
    int value = 0;
    for (std::size_t j = 0; j < widths[k]; ++j, ++i) {
      if (!IsDigitChar(t[i])) return false;
      value = value * 10 + (t[i] - '0');
    }
    if (p.order[k] == 'y') {
      year = widths[k] == 2 ? ExpandYear(value) : value;
    } else {
      (p.order[k] == 'm' ? month : day) = value;
    }
  }
  return true;
}

// What reading a date or a time needs from the settings, worked out again
// only when the settings it depends on change. One per thread, so readers on
// several threads never share it.
struct DateReading {
  FormatKey key;
  DatePattern pattern;
  std::string separators;
  // For the quick reading of all-digit dates: the separators as a byte set,
  // and whether the format's texts between the parts are at most one
  // character each (otherwise every text takes the full path).
  std::uint64_t separatorSet[4] = {0, 0, 0, 0};
  bool quick = false;
  // For the shortest path: day and month first (either order), the year
  // last, and the bytes QuickDate takes between the parts as one byte set
  // per gap, none of them a digit. monthFirst tells the two orders apart.
  bool dayMonthYear = false;
  bool monthFirst = false;
  std::uint64_t gapSets[2][4] = {{0, 0, 0, 0}, {0, 0, 0, 0}};

  bool IsSeparator(char c) const {
    const auto u = static_cast<unsigned char>(c);
    return (separatorSet[u >> 6] >> (u & 63) & 1) != 0;
  }
  // 1 when QuickDate takes byte u after part gap + 1, else 0.
  unsigned InGap(int gap, unsigned char u) const {
    return static_cast<unsigned>(gapSets[gap][u >> 6] >> (u & 63) & 1);
  }
};

// Works the reading out again for the settings in force (out of line: it
// runs only when the settings change).
[[gnu::noinline]] void RefreshDateReading(DateReading& cache) {
  const TFormatSettings& fs = FormatSettings();
  cache.key.valid = false;
  cache.pattern = ScanDateFormat(fs.ShortDateFormat);
  cache.separators = AcceptedSeparators(fs.ShortDateFormat, fs.DateSeparator);
  std::fill(std::begin(cache.separatorSet), std::end(cache.separatorSet), 0);
  for (char c : cache.separators) {
    const auto u = static_cast<unsigned char>(c);
    cache.separatorSet[u >> 6] |= std::uint64_t{1} << (u & 63);
  }
  cache.quick = !cache.pattern.compact && cache.pattern.gaps[0].size() <= 1 &&
                cache.pattern.gaps[1].size() <= 1;
  // The bytes QuickDate takes in each gap: the format's own one-byte text in
  // either case, or an accepted separator.
  bool digitGap = false;
  for (int k = 0; k < 2; ++k) {
    std::uint64_t* set = cache.gapSets[k];
    std::copy(std::begin(cache.separatorSet), std::end(cache.separatorSet), set);
    const std::string& gap = cache.pattern.gaps[k];
    if (gap.size() == 1) {
      for (int u = 0; u < 256; ++u) {
        if (LowerChar(static_cast<char>(u)) == LowerChar(gap[0])) {
          set[u >> 6] |= std::uint64_t{1} << (u & 63);
        }
      }
    }
    for (unsigned char d = '0'; d <= '9'; ++d) {
      if ((set[d >> 6] >> (d & 63) & 1) != 0) digitGap = true;
    }
  }
  const char* order = cache.pattern.order;
  cache.dayMonthYear =
      cache.quick && !digitGap && order[2] == 'y' &&
      ((order[0] == 'm' && order[1] == 'd') || (order[0] == 'd' && order[1] == 'm'));
  cache.monthFirst = order[0] == 'm';
  cache.key.Take(fs.ShortDateFormat, fs);
}

const DateReading& CurrentDateReading() {
  thread_local DateReading cache;
  const TFormatSettings& fs = FormatSettings();
  if (!cache.key.Holds(fs.ShortDateFormat, fs)) RefreshDateReading(cache);
  return cache;
}

struct TimeReading {
  FormatKey key;
  std::string separators;
};

const TimeReading& CurrentTimeReading() {
  thread_local TimeReading cache;
  const TFormatSettings& fs = FormatSettings();
  if (!cache.key.Holds(fs.LongTimeFormat, fs)) {
    cache.key.valid = false;
    cache.separators = AcceptedSeparators(fs.LongTimeFormat, fs.TimeSeparator);
    cache.key.Take(fs.LongTimeFormat, fs);
  }
  return cache;
}

// The common case of ParseDate: three runs of digits, each followed by one
// separator character (the format's own or an accepted one). Takes exactly
// the decisions the full reading would take for such a text; anything else
// (month names, longer texts between the parts, stray characters) returns
// false and is left to the full reading.
bool QuickDate(std::string_view t, const DateReading& reading, int& year, int& month, int& day) {
  const DatePattern& pattern = reading.pattern;
  const char* p = t.data();
  const char* const end = p + t.size();
  for (int k = 0; k < 3; ++k) {
    if (k > 0) {
      if (p == end) return false;
      const std::string& gap = pattern.gaps[k - 1];
      if (!(gap.size() == 1 && LowerChar(*p) == LowerChar(gap[0])) && !reading.IsSeparator(*p)) {
        return false;
      }
      ++p;
    }
    // Up to five digits, as the full reading takes them.
    const char* const start = p;
    const char* const limit = end - p > 5 ? p + 5 : end;
    unsigned value = 0;
    while (p != limit) {
      const unsigned digit = static_cast<unsigned char>(*p) - unsigned{'0'};
      if (digit > 9) break;
      value = value * 10 + digit;
      ++p;
    }
    const auto width = p - start;
    if (width == 0) return false;
    const char part = pattern.order[k];
    if (part == 'y') {
      if (width == 2) {
        year = ExpandYear(static_cast<int>(value));
      } else if (width == 4) {
        year = static_cast<int>(value);
      } else {
        return false;
      }
    } else {
      if (width > 2) return false;
      (part == 'm' ? month : day) = static_cast<int>(value);
    }
  }
  return p == end;
}

// QuickDate for formats with the day and month first and the year last
// ("m/d/yyyy", "dd.mm.yy"), without a branch on the widths of day and
// month: a text of six to ten bytes, each of the first two parts one or two
// digits followed by a byte of its gap, then two or four digits of year.
// Where it returns true, QuickDate gives the same parts; where it returns
// false, QuickDate decides.
[[gnu::always_inline]] inline bool DayMonthYearDate(std::string_view t, const DateReading& reading,
                                                    int& year, int& month, int& day) {
  const std::size_t n = t.size();
  if (n < 6 || n > 10) return false;
  const auto* s = reinterpret_cast<const unsigned char*>(t.data());
  auto digit = [](unsigned char c) { return static_cast<unsigned>(c) - unsigned{'0'}; };
  // Unsigned arithmetic: a byte that is no digit gives a large value, and
  // the product of a value with a zero width flag vanishes.
  const unsigned a0 = digit(s[0]);
  const unsigned a1 = digit(s[1]);
  const unsigned twoA = a1 <= 9 ? 1 : 0;
  const unsigned a = a0 + twoA * (9 * a0 + a1);
  const std::size_t gapA = 1 + twoA;  // at most 2
  const unsigned b0 = digit(s[gapA + 1]);
  const unsigned b1 = digit(s[gapA + 2]);  // at most index 4, inside the text
  const unsigned twoB = b1 <= 9 ? 1 : 0;
  const unsigned b = b0 + twoB * (9 * b0 + b1);
  const std::size_t gapB = gapA + 2 + twoB;  // at most 5, inside the text
  unsigned ok = static_cast<unsigned>(a0 <= 9) & static_cast<unsigned>(b0 <= 9) &
                reading.InGap(0, s[gapA]) & reading.InGap(1, s[gapB]);
  const std::size_t y = gapB + 1;
  if (n - y == 4) {
    const unsigned y0 = digit(s[y]);
    const unsigned y1 = digit(s[y + 1]);
    const unsigned y2 = digit(s[y + 2]);
    const unsigned y3 = digit(s[y + 3]);
    ok &= static_cast<unsigned>(y0 <= 9) & static_cast<unsigned>(y1 <= 9) &
          static_cast<unsigned>(y2 <= 9) & static_cast<unsigned>(y3 <= 9);
    year = static_cast<int>(y0 * 1000 + y1 * 100 + y2 * 10 + y3);
  } else if (n - y == 2) {
    const unsigned y0 = digit(s[y]);
    const unsigned y1 = digit(s[y + 1]);
    ok &= static_cast<unsigned>(y0 <= 9) & static_cast<unsigned>(y1 <= 9);
    if (ok == 0) return false;
    year = ExpandYear(static_cast<int>(y0 * 10 + y1));
  } else {
    return false;
  }
  const bool monthFirst = reading.monthFirst;
  month = static_cast<int>(monthFirst ? a : b);
  day = static_cast<int>(monthFirst ? b : a);
  return ok != 0;
}

// ParseDate for the texts QuickDate leaves (out of line, so that the
// common case keeps a small frame).
[[gnu::noinline]] bool ParseDateFully(std::string_view t, const DateReading& reading,
                                      TDateTime& out) {
  const DatePattern& pattern = reading.pattern;
  int year = 0;
  int month = 0;
  int day = 0;
  if (pattern.compact && !t.empty() && IsDigitChar(t[0]) && IsDigitChar(t[t.size() - 1]) &&
      t.size() >= 6 && ParseCompactDate(t, pattern, year, month, day)) {
    return TryEncodeDate(year, month, day, out);
  }

  const std::string& seps = reading.separators;
  auto isSep = [&](std::size_t i) { return seps.find(t[i]) != std::string::npos; };
  std::size_t i = 0;
  for (int k = 0; k < 3; ++k) {
    if (k > 0) {
      // The format's own text between the parts, or one separator.
      const std::string& gap = pattern.gaps[k - 1];
      if (!gap.empty() && MatchAt(t, i, gap)) {
        i += gap.size();
      } else if (i < t.size() && isSep(i)) {
        ++i;
      } else {
        return false;
      }
    }
    const char part = pattern.order[k];
    if (part == 'm' && i < t.size() && !IsDigitChar(t[i])) {
      // A month name, up to the next separator, digit or blank.
      std::size_t begin = i;
      while (i < t.size() && !IsDigitChar(t[i]) && !IsBlankChar(t[i]) && !isSep(i)) ++i;
      month = MonthFromName(t.substr(begin, i - begin));
      if (month == 0) return false;
      continue;
    }
    int value = 0;
    int width = 0;
    if (!ReadNumber(t, i, 5, value, width)) return false;
    if (part == 'y') {
      if (width == 2) {
        value = ExpandYear(value);
      } else if (width != 4) {
        return false;
      }
      year = value;
    } else {
      if (width > 2) return false;
      (part == 'm' ? month : day) = value;
    }
  }
  if (i != t.size()) return false;
  return TryEncodeDate(year, month, day, out);
}

bool ParseDate(std::string_view t, TDateTime& out) {
  const DateReading& reading = CurrentDateReading();
  int year = 0;
  int month = 0;
  int day = 0;
  if (reading.dayMonthYear && DayMonthYearDate(t, reading, year, month, day)) {
    return EncodeDay(year, month, day, out);
  }
  if (reading.quick && QuickDate(t, reading, year, month, day)) {
    return EncodeDay(year, month, day, out);
  }
  return ParseDateFully(t, reading, out);
}

bool ParseTime(std::string_view t, TDateTime& out) {
  const TFormatSettings& fs = FormatSettings();
  const std::string& seps = CurrentTimeReading().separators;
  auto isSep = [&](std::size_t i) { return i < t.size() && seps.find(t[i]) != std::string::npos; };
  std::size_t i = 0;
  int hour = 0;
  int minute = 0;
  int second = 0;
  int msec = 0;
  int width = 0;
  if (!ReadNumber(t, i, 2, hour, width)) return false;
  if (!isSep(i)) return false;
  ++i;
  if (!ReadNumber(t, i, 2, minute, width)) return false;
  if (isSep(i)) {
    ++i;
    if (!ReadNumber(t, i, 2, second, width)) return false;
    if (i + 1 < t.size() && (t[i] == '.' || t[i] == fs.DecimalSeparator) && IsDigitChar(t[i + 1])) {
      ++i;
      ReadNumber(t, i, 3, msec, width);
      for (; width < 3; ++width) msec *= 10;  // a fraction of a second: ".5" is 500 ms
    }
  }
  if (i < t.size() && IsDigitChar(t[i])) return false;
  const std::string_view marker = TrimView(t.substr(i));
  if (!marker.empty()) {
    bool am = EqualsNoCase(marker, "AM") ||
              (!fs.TimeAMString.empty() && EqualsNoCase(marker, fs.TimeAMString));
    bool pm = EqualsNoCase(marker, "PM") ||
              (!fs.TimePMString.empty() && EqualsNoCase(marker, fs.TimePMString));
    if (am == pm || hour > 12) return false;
    if (pm && hour < 12) hour += 12;
    if (am && hour == 12) hour = 0;
  }
  return TryEncodeTime(hour, minute, second, msec, out);
}

bool ParseDateTime(std::string_view t, TDateTime& out) {
  // The date ends at a blank; a date format may hold blanks itself, so each
  // blank is tried in turn as the boundary.
  std::size_t from = 0;
  for (;;) {
    std::size_t blank = from;
    while (blank < t.size() && !IsBlankChar(t[blank])) ++blank;
    TDateTime date = 0;
    if (blank == t.size()) {
      if (!ParseDate(t, date)) return false;
      out = date;
      return true;
    }
    TDateTime time = 0;
    if (ParseDate(t.substr(0, blank), date) && ParseTime(TrimView(t.substr(blank)), time)) {
      out = ComposeDateTime(date, time);
      return true;
    }
    from = blank;
    while (from < t.size() && IsBlankChar(t[from])) ++from;
  }
}

}  // namespace

bool formats_internal::ParseDateByGrammar(std::string_view s, TDateTime& value) {
  return ParseDateFully(TrimView(s), CurrentDateReading(), value);
}

bool TryStrToDate(std::string_view s, TDateTime& value) { return ParseDate(TrimView(s), value); }

bool TryStrToTime(std::string_view s, TDateTime& value) { return ParseTime(TrimView(s), value); }

bool TryStrToDateTime(std::string_view s, TDateTime& value) {
  return ParseDateTime(TrimView(s), value);
}

TDateTime StrToDate(std::string_view s) {
  TDateTime value = 0;
  if (!TryStrToDate(s, value)) ThrowNotValid(s, "date");
  return value;
}

TDateTime StrToTime(std::string_view s) {
  TDateTime value = 0;
  if (!TryStrToTime(s, value)) ThrowNotValid(s, "time");
  return value;
}

TDateTime StrToDateTime(std::string_view s) {
  TDateTime value = 0;
  if (!TryStrToDateTime(s, value)) ThrowNotValid(s, "date and time");
  return value;
}

}  // namespace korvane

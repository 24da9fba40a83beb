// ISO 8601 dates and times (formats_iso.h).
#include "text/formats_iso.h"

#include "text/formats_internal.h"

namespace korvane {

using namespace formats_internal;

namespace {

// 0001-01-01 and 9999-12-31 in days from day zero.
constexpr std::int32_t kFirstIsoDay = -693593;
constexpr std::int32_t kLastIsoDay = 2958465;
constexpr std::int64_t kMicrosPerDay = 86400000000;

// Days from 1970-01-01 of a day of the proleptic Gregorian calendar, for
// years far beyond std::chrono's (the year 0 is 1 BC), and back; counted
// in 400-year eras from 0000-03-01.
constexpr long long DaysFromCivil(long long y, unsigned m, unsigned d) {
  y -= m <= 2 ? 1 : 0;
  const long long era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long long>(doe) - 719468;
}

constexpr void CivilFromDaysWide(long long z, long long& y, unsigned& m, unsigned& d) {
  z += 719468;
  const long long era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y = static_cast<long long>(yoe) + era * 400 + (m <= 2 ? 1 : 0);
}
static_assert(DaysFromCivil(1970, 1, 1) == 0 && DaysFromCivil(1899, 12, 30) == -25569);

// Whether a value ReadWideIso read is beyond what ReadIso reads.
bool IsWideIso(const TIsoValue& value) {
  return value.Infinity != 0 || value.Micros >= kMicrosPerDay ||
         (value.HasDate && (value.Day < kFirstIsoDay || value.Day > kLastIsoDay));
}

// n digits at s[pos], as a number; false when one of them is not a digit.
inline bool Digits(std::string_view s, std::size_t pos, std::size_t n, int& value) {
  if (pos + n > s.size()) return false;
  value = 0;
  for (std::size_t i = pos; i < pos + n; ++i) {
    if (!IsDigitChar(s[i])) return false;
    value = value * 10 + (s[i] - '0');
  }
  return true;
}

// "yyyy-mm-dd" at the start of s, or with basic "yyyymmdd" followed by
// nothing or 'T'; length is set to the date's bytes.
TIsoFault ReadDatePart(std::string_view s, TIsoValue& out, bool basic, std::size_t& length) {
  int y = 0;
  int m = 0;
  int d = 0;
  if (basic && s.size() >= 8 && (s.size() == 8 || s[8] == 'T' || s[8] == 't')) {
    if (!Digits(s, 0, 4, y) || !Digits(s, 4, 2, m) || !Digits(s, 6, 2, d)) {
      return TIsoFault::NotIso;
    }
    length = 8;
  } else if (s.size() < 10 || s[4] != '-' || s[7] != '-' || !Digits(s, 0, 4, y) ||
             !Digits(s, 5, 2, m) || !Digits(s, 8, 2, d)) {
    return TIsoFault::NotIso;
  } else {
    length = 10;
  }
  TDateTime day = 0;
  if (!EncodeDay(y, m, d, day)) return TIsoFault::NoSuchDay;
  out.HasDate = true;
  out.Day = static_cast<std::int32_t>(day);
  return TIsoFault::None;
}

// "hh:nn[:ss[.f]]" and a zone, the whole of s; with isoBasic also
// "hhnn[ss[.f]]".
TIsoFault ReadTimePart(std::string_view s, TIsoValue& out, unsigned forms) {
  const bool basic = (forms & isoBasic) != 0;
  int h = 0;
  int n = 0;
  int sec = 0;
  const bool extended = s.size() > 2 && s[2] == ':';
  const std::size_t colon = extended ? 1 : 0;
  if ((!extended && !basic) || !Digits(s, 0, 2, h) || !Digits(s, 2 + colon, 2, n)) {
    return TIsoFault::NotIso;
  }
  std::size_t pos = 4 + colon;
  std::int64_t fraction = 0;
  std::size_t digits = 0;
  bool finerThanMicros = false;  // a digit beyond the sixth that is not 0
  if (pos < s.size() && (extended ? s[pos] == ':' : IsDigitChar(s[pos]))) {
    if (!Digits(s, pos + colon, 2, sec)) return TIsoFault::NotIso;
    pos += 2 + colon;
    if (pos < s.size() && (s[pos] == '.' || s[pos] == ',')) {
      const std::size_t start = ++pos;
      while (pos < s.size() && IsDigitChar(s[pos])) {
        if (pos - start < 6) {
          fraction = fraction * 10 + (s[pos] - '0');
        } else if (s[pos] != '0') {
          finerThanMicros = true;
        }
        ++pos;
      }
      digits = pos - start;
      if (digits == 0) return TIsoFault::NotIso;
    }
  }
  TIsoFault zoneFault = TIsoFault::None;
  if (pos < s.size()) {
    const char z = s[pos];
    if ((z == 'Z' || z == 'z') && pos + 1 == s.size()) {
      out.HasZone = true;
      out.Utc = true;
    } else if (z == '+' || z == '-') {
      int zh = 0;
      int zm = 0;
      int zs = 0;
      const std::string_view zone = s.substr(pos + 1);
      bool ok = Digits(zone, 0, 2, zh);
      if (ok && zone.size() == 4) {
        ok = Digits(zone, 2, 2, zm);
      } else if (ok && (zone.size() == 5 || zone.size() == 8)) {
        // +hh:mm:ss: the local mean time of a zone's early years, as
        // PostgreSQL writes it.
        ok = zone[2] == ':' && Digits(zone, 3, 2, zm) &&
             (zone.size() == 5 || (zone[5] == ':' && Digits(zone, 6, 2, zs)));
      } else {
        ok = ok && zone.size() == 2;
      }
      if (!ok) return TIsoFault::NotIso;
      if (zh > 15 || zm > 59 || zs > 59) zoneFault = TIsoFault::ZoneOutOfRange;
      out.HasZone = true;
      const int sign = z == '-' ? -1 : 1;
      out.ZoneMinutes = static_cast<std::int16_t>(sign * (zh * 60 + zm));
      out.ZoneSeconds = static_cast<std::int8_t>(sign * zs);
    } else {
      return TIsoFault::NotIso;
    }
  }
  if (h > 23 || n > 59 || sec > 59) return TIsoFault::OutOfRange;
  if (digits > 6) {
    if (finerThanMicros || (forms & isoZeroNanos) == 0) return TIsoFault::TooManyDigits;
    digits = 6;
  }
  if (zoneFault != TIsoFault::None) return zoneFault;
  for (std::size_t i = digits; i < 6; ++i) fraction *= 10;
  out.HasTime = true;
  out.Digits = static_cast<std::uint8_t>(digits);
  out.Micros = ((h * 60LL + n) * 60 + sec) * 1000000 + fraction;
  return TIsoFault::None;
}

inline char* Put2(char* p, int v) {
  p[0] = static_cast<char>('0' + v / 10);
  p[1] = static_cast<char>('0' + v % 10);
  return p + 2;
}

char* PutDay(char* p, long long day) {
  int y = 0;
  int m = 0;
  int d = 0;
  CivilFromDays(day, y, m, d);
  p = Put2(p, y / 100);
  p = Put2(p, y % 100);
  *p++ = '-';
  p = Put2(p, m);
  *p++ = '-';
  return Put2(p, d);
}

// "hh:nn:ss" and the fraction: none, three digits, or six when the
// microseconds need them.
char* PutMicros(char* p, std::int64_t micros) {
  const auto secs = static_cast<int>(micros / 1000000);
  p = Put2(p, secs / 3600);
  *p++ = ':';
  p = Put2(p, secs / 60 % 60);
  *p++ = ':';
  p = Put2(p, secs % 60);
  auto fraction = static_cast<int>(micros % 1000000);
  if (fraction == 0) return p;
  *p++ = '.';
  int digits = 6;
  if (fraction % 1000 == 0) {
    fraction /= 1000;
    digits = 3;
  }
  for (int i = digits - 1; i >= 0; --i) {
    p[i] = static_cast<char>('0' + fraction % 10);
    fraction /= 10;
  }
  return p + digits;
}

}  // namespace

TDateTime TIsoValue::DateTime() const {
  const long long ms = (Micros + 500) / 1000;
  const TDateTime time =
      static_cast<double>(ms >= kMsPerDay ? kMsPerDay - 1 : ms) / static_cast<double>(kMsPerDay);
  if (!HasDate) return time;
  return ComposeDateTime(static_cast<double>(Day), time);
}

TIsoFault ReadIso(std::string_view s, TIsoKind kind, TIsoValue& out, unsigned forms) {
  const bool basic = (forms & isoBasic) != 0;
  s = TrimView(s);
  out = TIsoValue{};
  if (kind == TIsoKind::Time) {
    // A time in the basic format stands after 'T', which tells it from a
    // number.
    if (basic && !s.empty() && (s[0] == 'T' || s[0] == 't')) {
      return ReadTimePart(s.substr(1), out, forms);
    }
    return ReadTimePart(s, out, forms & ~unsigned{isoBasic});
  }
  std::size_t length = 0;
  if (const TIsoFault fault = ReadDatePart(s, out, basic, length); fault != TIsoFault::None) {
    return fault;
  }
  if (s.size() == length) return TIsoFault::None;
  const bool t = s[length] == 'T' || s[length] == 't';
  if (!t && (s[length] != ' ' || length != 10)) return TIsoFault::NotIso;
  if (const TIsoFault fault =
          ReadTimePart(s.substr(length + 1), out, t ? forms : forms & ~unsigned{isoBasic});
      fault != TIsoFault::None) {
    return fault;
  }
  if (kind == TIsoKind::Date) {
    // A date-time column's text of a date: exactly midnight, no zone.
    if (out.Micros != 0 || out.HasZone) return TIsoFault::NotIso;
    out.HasTime = false;
    out.Digits = 0;
  }
  return TIsoFault::None;
}

const char* IsoFaultText(TIsoFault fault) {
  switch (fault) {
    case TIsoFault::None:
      return "is a date or time";
    case TIsoFault::NotIso:
      return "is not laid out as yyyy-mm-dd, with an optional time hh:nn[:ss[.ffffff]] after "
             "'T' or a blank and a zone (Z, +hh, +hhmm, +hh:mm), or as yyyymmddThhnn[ss[.ffffff]]";
    case TIsoFault::NoSuchDay:
      return "is not a day of the calendar";
    case TIsoFault::OutOfRange:
      return "has an hour above 23 or a minute or second above 59";
    case TIsoFault::TooManyDigits:
      return "has more than 6 digits of a second";
    case TIsoFault::ZoneOutOfRange:
      return "has a zone offset beyond +/-15:59";
    case TIsoFault::UtcOutOfRange:
      return "falls outside the years 1 to 9999 in UTC";
    case TIsoFault::YearZero:
      return "has the year 0, which the calendar does not have (1 BC is the year before 1)";
    case TIsoFault::FarOutOfRange:
      return "has a year too far from today for any date";
  }
  return "is not a date or time";
}

char* PutIsoDate(char* p, TDateTime value) {
  long long day = 0;
  long long ms = 0;
  SplitDateTime(value, day, ms);
  return PutDay(p, day);
}

char* PutIsoTime(char* p, TDateTime value) {
  long long day = 0;
  long long ms = 0;
  SplitDateTime(value, day, ms);
  return PutMicros(p, ms * 1000);
}

char* PutIsoDateTime(char* p, TDateTime value) {
  long long day = 0;
  long long ms = 0;
  SplitDateTime(value, day, ms);
  p = PutDay(p, day);
  *p++ = ' ';
  return PutMicros(p, ms * 1000);
}

char* PutIso(char* p, const TIsoValue& value) {
  if (value.HasDate) {
    p = PutDay(p, value.Day);
    if (value.HasTime) *p++ = ' ';
  }
  if (!value.HasTime) return p;
  p = PutMicros(p, value.Micros);
  if (value.HasZone) {
    if (value.Utc) {
      *p++ = 'Z';
    } else {
      const int minutes = value.ZoneMinutes < 0 ? -value.ZoneMinutes : value.ZoneMinutes;
      *p++ = value.ZoneMinutes < 0 ? '-' : '+';
      p = Put2(p, minutes / 60);
      *p++ = ':';
      p = Put2(p, minutes % 60);
      if (value.ZoneSeconds != 0) {
        *p++ = ':';
        p = Put2(p, value.ZoneSeconds < 0 ? -value.ZoneSeconds : value.ZoneSeconds);
      }
    }
  }
  return p;
}

TIsoFault ReadWideIso(std::string_view s, TIsoKind kind, TIsoValue& out, unsigned forms) {
  // A year of eight digits would read as a basic date.
  forms &= isoZeroNanos;
  s = TrimView(s);
  if (kind == TIsoKind::Time) {
    const TIsoFault fault = ReadIso(s, kind, out, forms);
    // The end of a day: 24:00:00 and nothing after it.
    if (fault != TIsoFault::OutOfRange || !s.starts_with("24:")) return fault;
    const std::string start = "00" + std::string(s.substr(2));
    if (ReadIso(start, kind, out, forms) != TIsoFault::None || out.Micros != 0) return fault;
    out.Micros = kMicrosPerDay;
    return TIsoFault::None;
  }
  out = TIsoValue{};
  if (EqualsNoCase(s, "infinity") || EqualsNoCase(s, "-infinity")) {
    out.HasDate = true;
    out.Infinity = s[0] == '-' ? -1 : 1;
    return TIsoFault::None;
  }
  const bool bc = s.size() > 3 && EqualsNoCase(s.substr(s.size() - 3), " BC");
  if (bc) s.remove_suffix(3);
  std::size_t yearDigits = 0;
  long long year = 0;
  while (yearDigits < s.size() && IsDigitChar(s[yearDigits])) {
    year = year * 10 + (s[yearDigits++] - '0');
  }
  if (yearDigits < 4 || yearDigits > 7) return ReadIso(s, kind, out, forms);
  // The rest of the text as ReadIso reads it, in a leap year; the day is
  // then placed in its own year.
  const std::string rest = "2000" + std::string(s.substr(yearDigits));
  if (const TIsoFault fault = ReadIso(rest, kind, out, forms); fault != TIsoFault::None) {
    return fault;
  }
  if (year == 0) return TIsoFault::YearZero;
  const auto month =
      static_cast<unsigned>((s[yearDigits + 1] - '0') * 10 + s[yearDigits + 2] - '0');
  const auto day = static_cast<unsigned>((s[yearDigits + 4] - '0') * 10 + s[yearDigits + 5] - '0');
  const long long astronomical = bc ? 1 - year : year;
  const long long days = DaysFromCivil(astronomical, month, day);
  long long y = 0;
  unsigned m = 0;
  unsigned d = 0;
  CivilFromDaysWide(days, y, m, d);
  if (y != astronomical || m != month || d != day) return TIsoFault::NoSuchDay;
  const long long number = days - DaysFromCivil(1899, 12, 30);
  // A day either side to spare for a zone's offset.
  if (number <= INT32_MIN + 1 || number >= INT32_MAX - 1) return TIsoFault::FarOutOfRange;
  out.Day = static_cast<std::int32_t>(number);
  return TIsoFault::None;
}

std::string WideIsoText(const TIsoValue& value) {
  if (value.Infinity != 0) return value.Infinity > 0 ? "infinity" : "-infinity";
  if (!IsWideIso(value)) return IsoText(value);
  std::string text;
  long long y = 1;
  if (value.HasDate) {
    unsigned m = 0;
    unsigned d = 0;
    CivilFromDaysWide(value.Day + DaysFromCivil(1899, 12, 30), y, m, d);
    AppendInt(text, y > 0 ? y : 1 - y, 4);
    text += '-';
    AppendInt(text, m, 2);
    text += '-';
    AppendInt(text, d, 2);
    if (value.HasTime) text += ' ';
  }
  if (value.HasTime) {
    TIsoValue time = value;
    time.HasDate = false;
    text += IsoText(time);
  }
  if (y <= 0) text += " BC";
  return text;
}

bool MoveToUtc(TIsoValue& value, bool wide) {
  if (!value.HasZone) return true;
  std::int64_t micros =
      value.Micros - (std::int64_t{value.ZoneMinutes} * 60 + value.ZoneSeconds) * 1000000;
  std::int32_t day = value.Day;
  if (micros < 0) {
    micros += kMicrosPerDay;
    --day;
  } else if (micros >= kMicrosPerDay) {
    micros -= kMicrosPerDay;
    ++day;
  }
  if (value.HasDate && !wide && (day < kFirstIsoDay || day > kLastIsoDay)) return false;
  value.Micros = micros;
  if (value.HasDate) value.Day = day;
  value.ZoneMinutes = 0;
  value.ZoneSeconds = 0;
  value.Utc = false;
  return true;
}

std::string IsoText(const TIsoValue& value) {
  char text[kIsoTextRoom];
  return std::string(text, PutIso(text, value));
}

}  // namespace korvane

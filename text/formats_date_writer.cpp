// Writing dates and times: formats compiled into steps, and TDateWriter.
#include <algorithm>
#include <array>
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

// True when the format writes an AM/PM part, which turns h into 1 to 12.
bool HasAmPm(std::string_view f) {
  for (std::size_t i = 0; i < f.size(); ++i) {
    char c = f[i];
    if (c == '\'' || c == '"') {
      std::size_t close = f.find(c, i + 1);
      if (close == std::string_view::npos) return false;
      i = close;
    } else if (LowerChar(c) == 'a' &&
               (MatchAt(f, i, "am/pm") || MatchAt(f, i, "a/p") || MatchAt(f, i, "ampm"))) {
      return true;
    }
  }
  return false;
}

// A date-time format worked out once into the steps that write it: literal
// texts (with '/' and ':' already turned into the separators in force) and
// the parts of the value with their widths. Names and AM/PM strings are
// taken from the settings as each value is written, so only the format and
// the two separators decide whether a compiled format still holds.
enum class WriteStep : std::uint8_t {
  kLiteral,  // literals[from, from + length)
  kDay,      // at least `width` digits
  kShortDayName,
  kLongDayName,
  kMonth,
  kShortMonthName,
  kLongMonthName,
  kYear2,  // always two digits
  kYear4,  // always four digits
  kHour,   // 1 to 12 when the format has an AM/PM part
  kMinute,
  kSecond,
  kMsec,
  kAmPmLiteral,   // literals[from, +length) before noon, the next `length` after
  kAmPmSettings,  // TimeAMString / TimePMString
};

struct WriteOp {
  WriteStep step;
  std::uint8_t width;
  // A one-character literal that follows the step ("m/d/yyyy" is three
  // steps), so that most formats take one step per part.
  bool hasSuffix;
  char suffix;
  std::uint32_t from;
  std::uint32_t length;
};

}  // namespace

struct TCompiledDateFormat {
  std::vector<WriteOp> ops;
  std::string literals;
  // The longest text the numbers and literals make; names and the AM/PM
  // strings of the settings come on top.
  std::size_t fixedBound = 0;
  bool hasNames = false;
  bool twelveHour = false;
};

namespace {

using CompiledDateFormat = TCompiledDateFormat;

// The steps CompileDateFormat adds: a literal text (a single character
// after a part becomes its suffix), a number of `width` digits at least and
// `longest` at most, a name from the settings.
void AddLiteral(CompiledDateFormat& c, std::string_view text) {
  if (text.empty()) return;
  c.fixedBound += text.size();
  if (!c.ops.empty() && c.ops.back().step != WriteStep::kLiteral && !c.ops.back().hasSuffix &&
      text.size() == 1) {
    c.ops.back().hasSuffix = true;
    c.ops.back().suffix = text[0];
    return;
  }
  if (!c.ops.empty() && c.ops.back().step == WriteStep::kLiteral) {
    c.ops.back().length += static_cast<std::uint32_t>(text.size());
  } else {
    c.ops.push_back({WriteStep::kLiteral, 0, false, 0,
                     static_cast<std::uint32_t>(c.literals.size()),
                     static_cast<std::uint32_t>(text.size())});
  }
  c.literals.append(text);
}

void AddNumber(CompiledDateFormat& c, WriteStep step, std::size_t width, std::size_t longest) {
  c.ops.push_back({step, static_cast<std::uint8_t>(width), false, 0, 0, 0});
  c.fixedBound += width > longest ? width : longest;
}

void AddName(CompiledDateFormat& c, WriteStep step) {
  c.ops.push_back({step, 0, false, 0, 0, 0});
  c.hasNames = true;
}

// The part of f at i that starts with an 'a' or 'A': am/pm, a/p, ampm or a
// literal 'a'. Returns how many characters it takes.
std::size_t CompileAmPm(std::string_view f, std::size_t i, CompiledDateFormat& c) {
  const bool full = MatchAt(f, i, "am/pm");
  if (full || MatchAt(f, i, "a/p")) {
    // Morning and afternoon texts as the format spells them, equally long.
    const std::size_t length = full ? 2 : 1;
    c.ops.push_back({WriteStep::kAmPmLiteral, 0, false, 0,
                     static_cast<std::uint32_t>(c.literals.size()),
                     static_cast<std::uint32_t>(length)});
    c.literals.append(f.substr(i, length));
    c.literals.append(f.substr(i + length + 1, length));
    c.fixedBound += length;
    return 2 * length + 1;
  }
  if (MatchAt(f, i, "ampm")) {
    AddName(c, WriteStep::kAmPmSettings);
    return 4;
  }
  AddLiteral(c, f.substr(i, 1));
  return 1;
}

// A run of n letters lc (d, m, y, h, n, s or z, lower case) as a part of the
// value. An 'm' right after an hour means minutes; returns whether this run
// is an hour.
bool CompileValuePart(char lc, std::size_t n, bool afterHour, CompiledDateFormat& c) {
  const std::size_t shortWidth = n >= 2 ? 2 : 1;
  switch (lc) {
    case 'd':
      if (n <= 2) {
        AddNumber(c, WriteStep::kDay, n, 2);
      } else {
        AddName(c, n == 3 ? WriteStep::kShortDayName : WriteStep::kLongDayName);
      }
      break;
    case 'm':
      if (n <= 2) {
        AddNumber(c, afterHour ? WriteStep::kMinute : WriteStep::kMonth, n, 2);
      } else {
        AddName(c, n == 3 ? WriteStep::kShortMonthName : WriteStep::kLongMonthName);
      }
      break;
    case 'y':
      if (n <= 2) {
        AddNumber(c, WriteStep::kYear2, 2, 2);
      } else {
        AddNumber(c, WriteStep::kYear4, 4, 4);
      }
      break;
    case 'h':
      AddNumber(c, WriteStep::kHour, shortWidth, 2);
      return true;
    case 'n':
      AddNumber(c, WriteStep::kMinute, shortWidth, 2);
      break;
    case 's':
      AddNumber(c, WriteStep::kSecond, shortWidth, 2);
      break;
    default:  // 'z'
      AddNumber(c, WriteStep::kMsec, n >= 3 ? 3 : 1, 3);
      break;
  }
  return false;
}

bool IsValuePartLetter(char lc) {
  return lc == 'd' || lc == 'm' || lc == 'y' || lc == 'h' || lc == 'n' || lc == 's' || lc == 'z';
}

void CompileDateFormat(std::string_view f, CompiledDateFormat& c) {
  const TFormatSettings& fs = FormatSettings();
  c.ops.clear();
  c.literals.clear();
  c.fixedBound = 0;
  c.hasNames = false;
  c.twelveHour = HasAmPm(f);
  bool afterHour = false;  // an 'm' right after an hour means minutes
  std::size_t i = 0;
  while (i < f.size()) {
    const char ch = f[i];
    const char lc = LowerChar(ch);
    if (ch == '\'' || ch == '"') {
      std::size_t close = f.find(ch, i + 1);
      if (close == std::string_view::npos) close = f.size();
      AddLiteral(c, f.substr(i + 1, close - i - 1));
      i = close + 1;
    } else if (lc == 'a') {
      i += CompileAmPm(f, i, c);
    } else if (IsValuePartLetter(lc)) {
      std::size_t n = 1;
      while (i + n < f.size() && LowerChar(f[i + n]) == lc) ++n;
      afterHour = CompileValuePart(lc, n, afterHour, c);
      i += n;
    } else {
      if (ch == '/') {
        AddLiteral(c, std::string_view(&fs.DateSeparator, 1));
      } else if (ch == ':') {
        AddLiteral(c, std::string_view(&fs.TimeSeparator, 1));
      } else {
        AddLiteral(c, f.substr(i, 1));
      }
      ++i;
    }
  }
}

// Writes u (below 100) as two digits.
char* PutTwo(char* p, unsigned u) {
  p[0] = static_cast<char>('0' + u / 10);
  p[1] = static_cast<char>('0' + u % 10);
  return p + 2;
}

// Writes u (below 100) with one digit or, when it needs them or width is
// 2, two.
char* PutSmall(char* p, unsigned u, unsigned width) {
  if (u >= 10 || width >= 2) return PutTwo(p, u);
  *p = static_cast<char>('0' + u);
  return p + 1;
}

// Writes u (below 1000) with at least `width` (1 or 3) digits.
char* PutMsec(char* p, unsigned u, unsigned width) {
  if (u >= 100 || width >= 3) {
    *p = static_cast<char>('0' + u / 100);
    return PutTwo(p + 1, u % 100);
  }
  return PutSmall(p, u, 1);
}

char* PutText(char* p, std::string_view s) {
  s.copy(p, s.size());
  return p + s.size();
}

// The text a name step writes for a value, from the settings in force.
const std::string& NameText(WriteStep step, const TFormatSettings& fs, const DateTimeParts& parts) {
  const auto day = static_cast<std::size_t>(parts.dayOfWeek);
  const auto month = static_cast<std::size_t>(parts.month - 1);
  switch (step) {
    case WriteStep::kShortDayName:
      return fs.ShortDayNames[day];
    case WriteStep::kLongDayName:
      return fs.LongDayNames[day];
    case WriteStep::kShortMonthName:
      return fs.ShortMonthNames[month];
    case WriteStep::kLongMonthName:
      return fs.LongMonthNames[month];
    default:  // kAmPmSettings
      return parts.hour >= 12 ? fs.TimePMString : fs.TimeAMString;
  }
}

bool IsNameStep(WriteStep step) {
  return step == WriteStep::kShortDayName || step == WriteStep::kLongDayName ||
         step == WriteStep::kShortMonthName || step == WriteStep::kLongMonthName ||
         step == WriteStep::kAmPmSettings;
}

// The most bytes the value's text can take under a compiled format.
std::size_t CompiledBound(const CompiledDateFormat& c, const TFormatSettings& fs,
                          const DateTimeParts& parts) {
  std::size_t bound = c.fixedBound;
  if (c.hasNames) {
    for (const WriteOp& op : c.ops) {
      if (IsNameStep(op.step)) bound += NameText(op.step, fs, parts).size();
    }
  }
  return bound;
}

// Writes the value's text under a compiled format at begin, which has room
// for CompiledBound bytes, and returns its end.
char* PutCompiled(char* const begin, const TFormatSettings& fs, const CompiledDateFormat& c,
                  const DateTimeParts& parts) {
  char* p = begin;
  const char* const literals = c.literals.data();
  for (const WriteOp& op : c.ops) {
    switch (op.step) {
      case WriteStep::kLiteral:
        if (op.length == 1) {
          *p++ = literals[op.from];
        } else {
          std::memcpy(p, literals + op.from, op.length);
          p += op.length;
        }
        break;
      case WriteStep::kDay:
        p = PutSmall(p, static_cast<unsigned>(parts.day), op.width);
        break;
      case WriteStep::kMonth:
        p = PutSmall(p, static_cast<unsigned>(parts.month), op.width);
        break;
      case WriteStep::kYear2:
        p = PutTwo(p, static_cast<unsigned>(parts.year % 100));
        break;
      case WriteStep::kYear4:
        p = PutTwo(p, static_cast<unsigned>(parts.year / 100));
        p = PutTwo(p, static_cast<unsigned>(parts.year % 100));
        break;
      case WriteStep::kHour: {
        int hour = parts.hour;
        if (c.twelveHour) hour = hour % 12 == 0 ? 12 : hour % 12;
        p = PutSmall(p, static_cast<unsigned>(hour), op.width);
        break;
      }
      case WriteStep::kMinute:
        p = PutSmall(p, static_cast<unsigned>(parts.minute), op.width);
        break;
      case WriteStep::kSecond:
        p = PutSmall(p, static_cast<unsigned>(parts.second), op.width);
        break;
      case WriteStep::kMsec:
        p = PutMsec(p, static_cast<unsigned>(parts.msec), op.width);
        break;
      case WriteStep::kAmPmLiteral:
        std::memcpy(p, literals + op.from + (parts.hour >= 12 ? op.length : 0), op.length);
        p += op.length;
        break;
      case WriteStep::kShortDayName:
      case WriteStep::kLongDayName:
      case WriteStep::kShortMonthName:
      case WriteStep::kLongMonthName:
      case WriteStep::kAmPmSettings:
        p = PutText(p, NameText(op.step, fs, parts));
        break;
    }
    if (op.hasSuffix) *p++ = op.suffix;
  }
  return p;
}

// Appends the value's text under a compiled format, growing out once.
void AppendCompiled(std::string& out, const TFormatSettings& fs, const CompiledDateFormat& c,
                    const DateTimeParts& parts) {
  const std::size_t bound = CompiledBound(c, fs, parts);
  char local[64];
  if (bound <= sizeof local) {
    out.append(local, static_cast<std::size_t>(PutCompiled(local, fs, c, parts) - local));
  } else {
    std::string heap(bound, '\0');
    heap.resize(static_cast<std::size_t>(PutCompiled(heap.data(), fs, c, parts) - heap.data()));
    out += heap;
  }
}

// A compiled format kept for as long as the format and the separators it
// was compiled under stay the same. One per thread and per use (short date,
// long time, other formats), so the usual texts never compile again.
struct DateWriting {
  FormatKey key;
  CompiledDateFormat compiled;
};

const CompiledDateFormat& Compiled(DateWriting& cache, const TFormatSettings& fs,
                                   std::string_view format) {
  if (!cache.key.Holds(format, fs)) {
    cache.key.valid = false;
    CompileDateFormat(format, cache.compiled);
    cache.key.Take(format, fs);
  }
  return cache.compiled;
}

DateWriting& ShortDateWriting() {
  thread_local DateWriting cache;
  return cache;
}

DateWriting& LongTimeWriting() {
  thread_local DateWriting cache;
  return cache;
}

DateWriting& OtherFormatWriting() {
  thread_local DateWriting cache;
  return cache;
}

void AppendFormatted(std::string& out, const TFormatSettings& fs, DateWriting& cache,
                     std::string_view format, TDateTime value) {
  const CompiledDateFormat& compiled = Compiled(cache, fs, format);
  AppendCompiled(out, fs, compiled, DecodeParts(value));
}

char* FormattedToChars(char* first, char* last, const TFormatSettings& fs, DateWriting& cache,
                       std::string_view format, TDateTime value) {
  const CompiledDateFormat& compiled = Compiled(cache, fs, format);
  const DateTimeParts parts = DecodeParts(value);
  if (CompiledBound(compiled, fs, parts) > static_cast<std::size_t>(last - first)) return nullptr;
  return PutCompiled(first, fs, compiled, parts);
}

}  // namespace

void AppendDateToStr(std::string& out, TDateTime value) {
  const TFormatSettings& fs = FormatSettings();
  AppendFormatted(out, fs, ShortDateWriting(), fs.ShortDateFormat, value);
}

void AppendTimeToStr(std::string& out, TDateTime value) {
  const TFormatSettings& fs = FormatSettings();
  AppendFormatted(out, fs, LongTimeWriting(), fs.LongTimeFormat, value);
}

void AppendDateTimeToStr(std::string& out, TDateTime value) {
  const DateTimeParts parts = DecodeParts(value);
  const TFormatSettings& fs = FormatSettings();
  const CompiledDateFormat& date = Compiled(ShortDateWriting(), fs, fs.ShortDateFormat);
  if (parts.msOfDay == 0) {
    AppendCompiled(out, fs, date, parts);
    return;
  }
  // Both formats are compiled before anything is written, so a failure
  // leaves out as it was.
  const CompiledDateFormat& time = Compiled(LongTimeWriting(), fs, fs.LongTimeFormat);
  AppendCompiled(out, fs, date, parts);
  out += ' ';
  AppendCompiled(out, fs, time, parts);
}

char* DateToChars(char* first, char* last, TDateTime value) {
  const TFormatSettings& fs = FormatSettings();
  return FormattedToChars(first, last, fs, ShortDateWriting(), fs.ShortDateFormat, value);
}

char* TimeToChars(char* first, char* last, TDateTime value) {
  const TFormatSettings& fs = FormatSettings();
  return FormattedToChars(first, last, fs, LongTimeWriting(), fs.LongTimeFormat, value);
}

char* DateTimeToChars(char* first, char* last, TDateTime value) {
  const TFormatSettings& fs = FormatSettings();
  const CompiledDateFormat& date = Compiled(ShortDateWriting(), fs, fs.ShortDateFormat);
  const CompiledDateFormat& time = Compiled(LongTimeWriting(), fs, fs.LongTimeFormat);
  const DateTimeParts parts = DecodeParts(value);
  const bool withTime = parts.msOfDay != 0;
  std::size_t bound = CompiledBound(date, fs, parts);
  if (withTime) bound += 1 + CompiledBound(time, fs, parts);
  if (bound > static_cast<std::size_t>(last - first)) return nullptr;
  char* p = PutCompiled(first, fs, date, parts);
  if (withTime) {
    *p++ = ' ';
    p = PutCompiled(p, fs, time, parts);
  }
  return p;
}

// What a TDateWriter worked out from the short date format. Formats made
// of day, month and year numbers, each followed by at most one literal
// character ("m/d/yyyy", "dd.mm.yy", "yyyymmdd"), become a short list of
// pieces written without looking at the steps; when the year comes first or
// last, the day and month between come from a table by the day of the year.
struct TDateWriter::TState {
  // A number of the date with at least `width` digits (2 and 4: exactly),
  // then the suffix character when there is one.
  struct TPiece {
    std::uint8_t part;  // day, month, two-digit year, year
    std::uint8_t width;
    char suffix;
    bool hasSuffix;
  };

  // The text of a day and month, at (month - 1) * 31 + day - 1.
  struct TMonthDay {
    char text[7];
    std::uint8_t length;
  };
  static constexpr std::size_t kMonthDays = 12 * 31;

  TCompiledDateFormat format;
  std::string shortDateFormat;
  char dateSeparator = 0;
  char timeSeparator = 0;
  std::array<TPiece, 6> pieces{};
  std::size_t pieceCount = 0;  // 0: the format is written step by step
  // With the pieces of the day and month in a table: the year's piece and
  // where it goes (0 nowhere, 1 first, 2 last).
  std::unique_ptr<TMonthDay[]> monthDays;
  TPiece year{};
  std::uint8_t yearPlace = 0;

  // The pieces of the compiled format; false when it has other steps.
  bool TakePieces() {
    for (const WriteOp& op : format.ops) {
      TPiece piece{};
      switch (op.step) {
        case WriteStep::kDay:
          piece = {0, op.width, op.suffix, op.hasSuffix};
          break;
        case WriteStep::kMonth:
          piece = {1, op.width, op.suffix, op.hasSuffix};
          break;
        case WriteStep::kYear2:
          piece = {2, 2, op.suffix, op.hasSuffix};
          break;
        case WriteStep::kYear4:
          piece = {3, 4, op.suffix, op.hasSuffix};
          break;
        default:
          pieceCount = 0;
          return false;
      }
      if (pieceCount == pieces.size()) {
        pieceCount = 0;
        return false;
      }
      pieces[pieceCount++] = piece;
    }
    return pieceCount > 0;
  }

  // The table of days and months, when the year is not between them; the
  // room it adds to Put's text.
  std::size_t MakeTable() {
    std::size_t firstDay = 0;
    std::size_t endDay = pieceCount;
    if (pieces[0].part >= 2) {
      year = pieces[0];
      yearPlace = 1;
      firstDay = 1;
    } else if (pieces[pieceCount - 1].part >= 2) {
      year = pieces[pieceCount - 1];
      yearPlace = 2;
      endDay = pieceCount - 1;
    }
    auto table = std::make_unique<TMonthDay[]>(kMonthDays);
    for (std::size_t at = 0; at < kMonthDays; ++at) {
      const unsigned month = static_cast<unsigned>(at / 31) + 1;
      const unsigned day = static_cast<unsigned>(at % 31) + 1;
      char text[32];
      char* p = text;
      for (std::size_t i = firstDay; i < endDay; ++i) {
        const TPiece& piece = pieces[i];
        if (piece.part >= 2) return 0;  // a year between: no table
        p = PutSmall(p, piece.part == 0 ? day : month, piece.width);
        *p = piece.suffix;
        p += piece.hasSuffix ? 1 : 0;
      }
      if (p - text > static_cast<std::ptrdiff_t>(sizeof table[0].text)) return 0;
      std::memcpy(table[at].text, text, sizeof table[0].text);
      table[at].length = static_cast<std::uint8_t>(p - text);
    }
    monthDays = std::move(table);
    return sizeof(TMonthDay::text);  // stored whole
  }

  char* PutYear(char* p, std::uint32_t value) const {
    p = year.width == 4 ? PutTwo(PutTwo(p, value / 100), value % 100) : PutTwo(p, value % 100);
    *p = year.suffix;
    return p + (year.hasSuffix ? 1 : 0);
  }

  // A whole day under a format with a table.
  char* PutTabled(char* p, std::int32_t day) const {
    const std::chrono::year_month_day date = CivilFromDays(day);
    const auto y = static_cast<std::uint32_t>(static_cast<int>(date.year()));
    const TMonthDay& monthDay = monthDays[(static_cast<unsigned>(date.month()) - 1) * 31 +
                                          static_cast<unsigned>(date.day()) - 1];
    if (yearPlace == 1) p = PutYear(p, y);
    std::memcpy(p, monthDay.text, sizeof monthDay.text);
    p += monthDay.length;
    return yearPlace == 2 ? PutYear(p, y) : p;
  }

  // A whole day under a format of pieces without a table.
  char* PutPieces(char* p, std::int32_t day) const {
    int y = 0;
    int month = 0;
    int dayOfMonth = 0;
    CivilFromDays(day, y, month, dayOfMonth);
    const unsigned parts[4] = {static_cast<unsigned>(dayOfMonth), static_cast<unsigned>(month),
                               static_cast<unsigned>(y % 100), static_cast<unsigned>(y)};
    for (std::size_t i = 0; i < pieceCount; ++i) {
      const TPiece& piece = pieces[i];
      const unsigned u = parts[piece.part];
      if (piece.width == 4) {
        p = PutTwo(PutTwo(p, u / 100), u % 100);
      } else {
        p = PutSmall(p, u, piece.width);
      }
      *p = piece.suffix;
      p += piece.hasSuffix ? 1 : 0;
    }
    return p;
  }
};

TDateWriter::TDateWriter() : FState(std::make_unique<TState>()) {
  TState& s = *FState;
  const TFormatSettings& fs = FormatSettings();
  s.shortDateFormat = fs.ShortDateFormat;
  s.dateSeparator = fs.DateSeparator;
  s.timeSeparator = fs.TimeSeparator;
  CompileDateFormat(s.shortDateFormat, s.format);
  FRoom = s.format.hasNames ? 0 : s.format.fixedBound;
  if (!s.TakePieces()) return;
  ++FRoom;  // the pieces store a byte after the text
  FRoom += s.MakeTable();
}

TDateWriter::~TDateWriter() = default;

bool TDateWriter::Current() const {
  const TFormatSettings& fs = FormatSettings();
  return fs.ShortDateFormat == FState->shortDateFormat &&
         fs.DateSeparator == FState->dateSeparator && fs.TimeSeparator == FState->timeSeparator;
}

char* TDateWriter::Put(char* p, TDateTime value) const {
  const TState& s = *FState;
  // Whole days (the values of date fields) under a format of pieces need
  // the civil date and nothing else.
  if (s.pieceCount > 0 && value >= static_cast<double>(kMinDay) &&
      value <= static_cast<double>(kMaxDay)) {
    const auto day = static_cast<std::int32_t>(value);
    if (value == static_cast<double>(day)) {
      return s.monthDays ? s.PutTabled(p, day) : s.PutPieces(p, day);
    }
  }
  return PutCompiled(p, FormatSettings(), s.format, DecodeParts(value));
}

std::string DateToStr(TDateTime value) {
  std::string out;
  AppendDateToStr(out, value);
  return out;
}

std::string TimeToStr(TDateTime value) {
  std::string out;
  AppendTimeToStr(out, value);
  return out;
}

std::string DateTimeToStr(TDateTime value) {
  std::string out;
  AppendDateTimeToStr(out, value);
  return out;
}

std::string FormatDateTime(std::string_view format, TDateTime value) {
  if (format.empty()) return DateTimeToStr(value);
  std::string out;
  AppendFormatted(out, FormatSettings(), OtherFormatWriting(), format, value);
  return out;
}

}  // namespace korvane

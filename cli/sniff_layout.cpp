#include "cli/sniff_layout.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "components/fixed_widths.h"
#include "core/blanks.h"
#include "io/text_encoding.h"

namespace korvane::cli::sniffing {

namespace {

// The records of the head the layout is voted on at most.
constexpr std::int64_t kLayoutRecords = 1000;

// The separators tried, in the order preferred when they split the first
// records equally well; bytes that split every line alike come after the
// common ones, before the colon and the space, which stand inside values
// (times, sentences) more often than between them.
constexpr std::string_view kCommonSeparators = ",\t;|";
constexpr std::string_view kLateSeparators = ": ";
constexpr std::string_view kQuotes = std::string_view("\"\0'", 3);

bool IsLineEnd(char c) { return c == '\n' || c == '\r'; }

// Whether a value reads as something other than free text: a number (with
// a currency sign, a percent sign, thousands or decimal commas), a date or
// a time, a truth value, or nothing at all. v comes without the blanks
// around it.
bool LooksTyped(std::string_view v) {
  if (v.empty()) return true;
  auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
  bool other = false;
  for (char c : v) {
    other |= !isDigit(c) && std::string_view("+-.,:/$%eET ").find(c) == std::string_view::npos;
  }
  const char first = v.front();
  const char last = v.back();
  if (!other &&
      (isDigit(first) || std::string_view("+-.$").find(first) != std::string_view::npos) &&
      (isDigit(last) || last == '%')) {
    return true;
  }
  for (std::string_view word : {"true", "false", "yes", "no", "null", "na", "n/a"}) {
    if (v.size() == word.size() && std::equal(v.begin(), v.end(), word.begin(), [](char a, char b) {
          return (a >= 'A' && a <= 'Z' ? static_cast<char>(a - 'A' + 'a') : a) == b;
        })) {
      return true;
    }
  }
  return false;
}

// Whether every sep in text stands inside an address, where it separates
// nothing: the @ of an e-mail address (a name before it, a domain with a
// dot after it) or the colon of a URL's scheme (https://).
bool OnlyInAddresses(std::string_view text, char sep) {
  if (sep != '@' && sep != ':') return false;
  const auto letter = [](char c) { return (c | 0x20) >= 'a' && (c | 0x20) <= 'z'; };
  const auto label = [&](char c) { return letter(c) || (c >= '0' && c <= '9') || c == '-'; };
  const auto inAddress = [&](std::size_t at) {
    if (at == 0) return false;
    if (sep == ':') return letter(text[at - 1]) && text.substr(at, 3) == "://";
    const char before = text[at - 1];
    if (!label(before) && before != '.' && before != '_' && before != '+') return false;
    int labels = 0;
    std::size_t i = at + 1;
    while (true) {
      const std::size_t start = i;
      while (i < text.size() && label(text[i])) ++i;
      if (i == start) return false;
      ++labels;
      if (i >= text.size() || text[i] != '.' || i + 1 >= text.size() || !label(text[i + 1])) break;
      ++i;
    }
    return labels >= 2;
  };
  bool any = false;
  for (std::size_t at = text.find(sep); at != std::string_view::npos; at = text.find(sep, at + 1)) {
    if (!inAddress(at)) return false;
    any = true;
  }
  return any;
}

// How well sep and quote split the first records of head (TLayoutScore).
TLayoutScore ScoreLayout(std::string_view head, bool headIsAll, char sep, char quote,
                         TReadRules skip) {
  TMemorySource source(head);
  TRecordReader reader(source, sep, quote, {}, skip);
  TRecord r;
  std::map<std::size_t, std::int64_t> widths;
  std::int64_t cells = 0;
  std::int64_t clean = 0;
  // Bytes that do not belong in a text value of this layout: the other
  // separators and quotes, but that commas and colons stand in texts often
  // enough (names, times, addresses) not to count against the common
  // separators.
  // A quote character counts only at a value's ends, where it is quoting
  // left in place (inside, it is an apostrophe or an inch).
  std::string foreign;
  const bool common = kCommonSeparators.find(sep) != std::string_view::npos;
  for (char c : std::string_view(common ? "\t;|" : ",:\t;|")) {
    if (c != sep) foreign += c;
  }
  auto isClean = [&](std::string_view v) {
    // Blanks around a value are padding, as they are to the values' readers.
    v = TrimBlanks(v);
    if (LooksTyped(v)) return true;
    if (v.find_first_of(foreign) != std::string_view::npos) return false;
    return v.empty() ||
           ((v.front() != '"' && v.front() != '\'') && (v.back() != '"' && v.back() != '\''));
  };
  TLayoutScore score;
  while (score.Records < kLayoutRecords && reader.Next(r)) {
    if (r.EndOfInput && !headIsAll) break;  // cut by the end of the head
    if (r.Blank()) continue;
    ++score.Records;
    if (r.Unclosed) {
      ++score.Unclosed;  // a quote never closed: a pattern of its own
      continue;
    }
    score.TextAfterQuote += r.QuoteError ? 1 : 0;
    // Text after a closing quote: the record keeps its values, one of them
    // dubious.
    cells += r.QuoteError ? 1 : 0;
    ++widths[r.Values.size()];
    for (std::string_view v : r.Values) {
      ++cells;
      clean += isClean(v) ? 1 : 0;
    }
  }
  if (score.Records == 0) return score;
  double pattern = 0;
  for (auto [values, n] : widths) {
    pattern +=
        static_cast<double>(n) * static_cast<double>(values - 1) / static_cast<double>(values);
    if (n > score.Fitting || (n == score.Fitting && values > score.Values)) {
      score.Fitting = n;
      score.Values = values;
    }
  }
  const auto patterns = static_cast<double>(widths.size() + (score.Unclosed > 0 ? 1 : 0));
  pattern /= patterns * static_cast<double>(score.Records);
  const double typed = cells == 0 ? 0 : static_cast<double>(clean) / static_cast<double>(cells);
  score.Score = pattern * typed;
  score.Clean = typed;
  return score;
}

// Whether the '+' at text[i] is the sign of a zone offset after a time:
// two digits follow it, and before it stand the seconds or minutes of a
// time (13:45:10+00, 13:45:10.5+05:30), or a basic time after T (T1234+0100).
bool OffsetSign(std::string_view text, std::size_t i) {
  auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
  if (i + 2 >= text.size() || !isDigit(text[i + 1]) || !isDigit(text[i + 2])) return false;
  std::size_t j = i;
  while (j > 0 && isDigit(text[j - 1])) --j;
  if (j == i) return false;
  if (j > 0 && (text[j - 1] == '.' || text[j - 1] == ',')) {  // a fraction of a second
    const std::size_t fraction = j - 1;
    j = fraction;
    while (j > 0 && isDigit(text[j - 1])) --j;
    if (fraction - j < 2) return false;
  }
  return j > 0 && (text[j - 1] == ':' || text[j - 1] == 'T');
}

// Bytes that stand the same number of times (at least once) on most
// non-empty lines of text: separators other than the common ones. Letters,
// digits and bytes that occur inside numbers, dates and names are left out,
// and so is a byte that only ever stands as an exponent's sign (1.2E+014)
// or a zone offset's (2024-05-06 13:45:10+00).
std::vector<char> SteadyBytes(std::string_view text, std::int64_t maxLines) {
  std::array<std::map<std::uint32_t, std::uint32_t>, 128> perLine;
  std::array<std::uint32_t, 128> count{};
  std::array<bool, 128> elsewhere{};  // seen other than as an exponent's sign
  auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
  std::uint32_t lines = 0;
  bool empty = true;
  auto endLine = [&] {
    for (std::size_t b = 33; b < 127; ++b) ++perLine[b][count[b]];
    count.fill(0);
    ++lines;
  };
  for (std::size_t i = 0; i < text.size() && lines < maxLines; ++i) {
    const auto b = static_cast<unsigned char>(text[i]);
    if (IsLineEnd(static_cast<char>(b))) {
      if (!empty) endLine();
      empty = true;
    } else {
      empty = false;
      if (b < 128) {
        ++count[b];
        const bool exponent = i > 0 && (text[i - 1] == 'E' || text[i - 1] == 'e') &&
                              i + 1 < text.size() && isDigit(text[i + 1]);
        elsewhere[b] = elsewhere[b] || !(exponent || (b == '+' && OffsetSign(text, i)));
      }
    }
  }
  if (!empty) endLine();
  std::vector<char> bytes;
  for (std::size_t b = 33; b < 127; ++b) {
    const char c = static_cast<char>(b);
    const bool usual = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                       std::strchr("\"'.-/_,;|:", c) != nullptr;
    if (usual || !elsewhere[b]) continue;
    for (auto [times, n] : perLine[b]) {
      if (times > 0 && n * 5 >= lines * 4) bytes.push_back(c);
    }
  }
  return bytes;
}

// Whether text shows a backslash escaping: before the quote, the separator
// or a line end. Whether it escapes there is for the records to tell.
bool EscapeShown(std::string_view text, char sep, char quote) {
  for (const char after : {quote, sep, '\n', '\r'}) {
    const char escaped[] = {'\\', after};
    if (after != '\0' && text.find(std::string_view(escaped, 2)) != std::string_view::npos) {
      return true;
    }
  }
  return false;
}

// Whether the lines of text stand in columns padded with blanks: on most
// lines a run of two blanks or more parts the text, and text starts after
// such a run, or ends before one, at the same place on most lines (a table printed for the eye, which the
// blank separates, if into empty values too).
bool BlankAlignedColumns(std::string_view text, std::int64_t maxLines) {
  constexpr std::size_t kWidth = 4096;  // the start of each line is enough
  std::map<std::size_t, std::int64_t> edges;  // lines with text starting or ending there
  std::int64_t lines = 0;
  std::int64_t padded = 0;
  for (std::size_t at = 0; at < text.size() && lines < maxLines;) {
    std::size_t end = text.find_first_of("\r\n", at);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = text.substr(at, std::min(end - at, kWidth));
    at = end + 1;
    if (line.find_first_not_of(' ') == std::string_view::npos) continue;
    ++lines;
    const std::size_t last = line.find_last_not_of(' ');
    const std::size_t run = line.find("  ", line.find_first_not_of(' '));
    padded += run != std::string_view::npos && run < last ? 1 : 0;
    // Text starting after a run of blanks, or ending before one.
    for (std::size_t i = 2; i <= last; ++i) {
      const bool starts = line[i - 2] == ' ' && line[i - 1] == ' ' && line[i] != ' ';
      const bool ends = line[i - 1] != ' ' && line[i] == ' ' && line[i + 1] == ' ';
      if (starts || ends) ++edges[i];
    }
  }
  if (lines < 2 || padded * 5 < lines * 4) return false;
  for (auto [column, n] : edges) {
    if (n * 5 >= lines * 4) return true;
  }
  return false;
}

// The length of the UTF-8 character that starts with byte b (2 to 4), or 0.
std::size_t WideCharacterLength(unsigned char b) {
  return b >= 0xC2 && b <= 0xDF ? 2 : b >= 0xE0 && b <= 0xEF ? 3 : b >= 0xF0 && b <= 0xF4 ? 4 : 0;
}

// Whether c, a UTF-8 character of more than one byte, is a sign that
// stands between values rather than in them: the broken bar, an arrow, a
// box-drawing line, a shape, a dingbat or a pictograph. Letters, digits,
// currency signs, punctuation marks and mathematical signs are not.
bool IsSeparatorSign(std::string_view c) {
  char32_t code = 0;
  const auto b = [c](std::size_t i) {
    return static_cast<char32_t>(static_cast<unsigned char>(c[i]));
  };
  if (c.size() == 2) code = ((b(0) & 0x1F) << 6) | (b(1) & 0x3F);
  if (c.size() == 3) code = ((b(0) & 0x0F) << 12) | ((b(1) & 0x3F) << 6) | (b(2) & 0x3F);
  if (c.size() == 4) {
    code = ((b(0) & 0x07) << 18) | ((b(1) & 0x3F) << 12) | ((b(2) & 0x3F) << 6) | (b(3) & 0x3F);
  }
  const auto in = [code](char32_t first, char32_t last) { return code >= first && code <= last; };
  return code == 0xA6 || in(0x2190, 0x21FF) || in(0x2500, 0x27BF) || in(0x2B00, 0x2BFF) ||
         in(0x1F000, 0x1FAFF);
}

// Whether the commas of head stand only inside numbers, between thousands
// groups (68,527.00), and none in its first record: a column of amounts
// under its name, which no comma parts.
bool CommasOnlyGroupDigits(std::string_view head, bool headIsAll, TReadRules skip) {
  auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
  TMemorySource source(head);
  TRecordReader reader(source, '\0', '\0', {}, skip);
  TRecord r;
  bool first = true;
  bool grouped = false;
  for (std::int64_t n = 0; n < kLayoutRecords && reader.Next(r); ++n) {
    if (r.EndOfInput && !headIsAll) break;  // cut by the end of the head
    if (r.Blank() || r.Values.empty()) continue;
    const std::string_view v = r.Values.front();
    if (first) {
      if (v.find(',') != std::string_view::npos) return false;
      first = false;
      continue;
    }
    for (std::size_t at = v.find(','); at != std::string_view::npos; at = v.find(',', at + 1)) {
      std::size_t digits = 0;  // before the comma, back to the group's start
      while (digits < at && isDigit(v[at - 1 - digits])) ++digits;
      const bool groupStart = digits < at && v[at - 1 - digits] == ',';
      if (digits == 0 || (digits > 3 && !groupStart) || (groupStart && digits != 3)) return false;
      if (at + 4 > v.size() || !isDigit(v[at + 1]) || !isDigit(v[at + 2]) || !isDigit(v[at + 3]) ||
          (at + 4 < v.size() && isDigit(v[at + 4]))) {
        return false;
      }
      grouped = true;
    }
  }
  return grouped;
}

}  // namespace

std::string UnsplitSeparator(std::string_view head, const TLayout& layout) {
  // Per character: how many lines hold it how many times.
  std::map<std::string, std::map<std::size_t, std::int64_t>> perLine;
  std::map<std::string, std::size_t> count;
  std::int64_t lines = 0;
  auto endLine = [&] {
    for (auto& [c, n] : count) ++perLine[std::string(c)][n];
    count.clear();
    ++lines;
  };
  bool empty = true;
  for (std::size_t i = 0; i < head.size() && lines < kLayoutRecords; ++i) {
    const auto b = static_cast<unsigned char>(head[i]);
    if (IsLineEnd(head[i])) {
      if (!empty) endLine();
      empty = true;
      continue;
    }
    empty = false;
    const std::size_t length = b == 0 ? 1 : WideCharacterLength(b);
    if (length == 0 || i + length > head.size()) continue;
    // A lead byte without its continuation bytes (text in an 8-bit
    // encoding) is no character to split on.
    if (length > 1 && FindInvalidUtf8(head.substr(i, length)) != std::string_view::npos) continue;
    ++count[std::string(head.substr(i, length))];
    i += length - 1;
  }
  if (!empty) endLine();
  if (lines == 0) return {};
  const double layoutShare = layout.Score.Records == 0
                                 ? 0
                                 : static_cast<double>(layout.Score.Fitting) /
                                       static_cast<double>(layout.Score.Records);
  std::string best;
  std::size_t bestValues = std::max<std::size_t>(layout.Score.Values, 1);
  for (const auto& [c, times] : perLine) {
    // Lines without the character count against it.
    // On a single line, a letter of another script (or a zero byte) may
    // stand anywhere: only a sign that stands twice or more separates.
    if (lines == 1 && !IsSeparatorSign(c)) continue;
    for (auto [n, k] : times) {
      const double share = static_cast<double>(k) / static_cast<double>(lines);
      if (share * 10 < 9 || share < layoutShare || n + 1 <= bestValues || (lines == 1 && n < 2)) {
        continue;
      }
      best = c;
      bestValues = n + 1;
    }
  }
  return best;
}

// The separator and quote that split the first records best. With none
// that splits them into two or more values, one value per record: the
// comma when no value holds one (the command's own separator then reads the
// file the same), else no separator.
TLayout SniffLayout(std::string_view head, bool headIsAll, std::optional<char> givenSep,
                    std::optional<char> givenQuote, TReadRules skip, bool tryEscape,
                    bool tryStrayQuotes) {
  std::string seps;
  if (givenSep) {
    seps = std::string(1, *givenSep);
  } else {
    seps = std::string(kCommonSeparators);
    for (char c : SteadyBytes(head, kLayoutRecords)) seps += c;
    seps += kLateSeparators;
  }
  const std::string_view quotes = givenQuote ? std::string_view(&*givenQuote, 1) : kQuotes;
  TLayout best;
  bool found = false;
  const bool thousandsCommas = !givenSep && CommasOnlyGroupDigits(head, headIsAll, skip);
  for (char sep : seps) {
    if (sep == ',' && thousandsCommas) continue;
    if (!givenSep && OnlyInAddresses(head, sep)) continue;
    for (char quote : quotes) {
      // The comment character starts lines; it separates nothing.
      if ((quote != '\0' && quote == sep) || (skip.Comment != '\0' && sep == skip.Comment)) {
        continue;
      }
      TLayoutScore score = ScoreLayout(head, headIsAll, sep, quote, skip);
      char escape = skip.Escape;
      // A backslash escapes where the head shows it and the records split
      // better so (an escaped quote would otherwise end its value early,
      // an escaped separator split a value, an escaped line end cut a
      // record short).
      if (tryEscape && EscapeShown(head, sep, quote)) {
        TReadRules escaped = skip;
        escaped.Escape = '\\';
        const TLayoutScore withEscape = ScoreLayout(head, headIsAll, sep, quote, escaped);
        if (withEscape.Score > score.Score * 1.0001) {
          score = withEscape;
          escape = '\\';
        }
      }
      // A quote inside a quoted value followed by more text ("pedro "pdet"
      // holanda") is a character of the value where the records split
      // better so: such quotes would otherwise end values early and leave
      // the separators after them to split what the writer meant as one.
      // Not where a value so read runs on into the next lines (fewer
      // records) or is never closed: there the quote did close it. Nor on
      // one odd record among others: two records at least show such quotes,
      // or the only one there is.
      bool keepStray = skip.KeepStrayQuotes;
      const bool strayShown =
          score.TextAfterQuote >= 2 || (score.TextAfterQuote == 1 && score.Records == 1);
      if (tryStrayQuotes && quote != '\0' && strayShown) {
        TReadRules kept = skip;
        kept.Escape = escape;
        kept.KeepStrayQuotes = true;
        const TLayoutScore withKept = ScoreLayout(head, headIsAll, sep, quote, kept);
        if (withKept.Records == score.Records && withKept.Unclosed <= score.Unclosed &&
            withKept.Score > score.Score * 1.0001) {
          score = withKept;
          keepStray = true;
        }
      }
      // A space or colon separates only when it splits most records alike
      // into values that nearly all read as values: in one column of
      // sentences or times it is part of the values. Over another separator
      // that splits the records it must win clearly; where that separator
      // leaves most records ragged, a space or colon that fits more of them
      // need not split nearly all alike, as a record of texts padded with
      // blanks or holding a stray separator seldom does.
      const bool late = kLateSeparators.find(sep) != std::string_view::npos;
      const bool weakRival = found && !best.Late &&
                             best.Score.Fitting * 2 < best.Score.Records &&
                             score.Fitting * best.Score.Records >
                                 best.Score.Fitting * score.Records &&
                             score.Values > best.Score.Values;
      if (score.Values < 2 ||
          (late && !weakRival &&
           (score.Records < 2 || score.Fitting * 10 < score.Records * 9 || score.Clean < 0.9))) {
        continue;
      }
      const double margin = late && found && !best.Late ? 1.5 : 1.0001;
      // Ties go to the one tried first.
      if (!found || score.Score > best.Score.Score * margin) {
        best = {sep, quote, score, late, escape, keepStray};
        found = true;
      }
    }
  }
  if (found || givenSep) {
    if (!found) {
      best = {*givenSep, givenQuote.value_or('"'), {}, false, skip.Escape, skip.KeepStrayQuotes};
    }
    return best;
  }
  best.Quote = givenQuote.value_or('"');
  // Columns padded with blanks: the blank separates, though not into the
  // same number of values on every line.
  if (BlankAlignedColumns(head, kLayoutRecords)) {
    best.Separator = ' ';
    best.Late = true;
    best.Score = ScoreLayout(head, headIsAll, ' ', best.Quote, skip);
    return best;
  }
  TMemorySource source(head);
  TRecordReader reader(source, ',', best.Quote, {}, skip);
  TRecord r;
  for (std::int64_t n = 0; n < kLayoutRecords && reader.Next(r); ++n) {
    if (r.Values.size() > 1) {
      best.Separator = '\0';
      break;
    }
  }
  return best;
}

std::vector<std::size_t> FixedColumns(std::string_view head, bool headIsAll, TReadRules skip,
                                      TFixedWidthUnit unit, bool given, bool oneWord) {
  skip.Escape = '\0';
  skip.KeepStrayQuotes = false;
  TMemorySource source(head);
  TRecordReader reader(source, '\0', '\0', {}, skip);
  TRecord r;
  std::vector<std::string> lines;
  std::size_t longest = 0;
  for (std::int64_t n = 0; n < kLayoutRecords && reader.Next(r); ++n) {
    if (r.EndOfInput && !headIsAll) break;  // cut by the end of the head
    if (r.Blank() || r.Values.empty()) continue;
    lines.emplace_back(r.Values.front());
    if (unit == fuCharacters) {
      // One byte a character: the bytes that continue one go, so that each
      // position below is a character's (still one that is not a blank).
      std::erase_if(lines.back(),
                    [](char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; });
    }
    longest = std::max(longest, lines.back().size());
  }
  if (lines.empty() || (lines.size() < 4 && !given)) return {};
  // Lines with text at each position.
  std::vector<std::size_t> filled(longest, 0);
  for (const std::string& line : lines) {
    for (std::size_t p = 0; p < line.size(); ++p) filled[p] += line[p] != ' ' ? 1 : 0;
  }
  // Columns start after gutters, positions blank on every line (a line
  // with text there would be cut through it); the first column takes the
  // blanks before it.
  std::vector<std::size_t> starts = {0};
  bool textBefore = filled[0] > 0;
  for (std::size_t p = 1; p < longest; ++p) {
    if (filled[p - 1] > 0 || filled[p] == 0) continue;
    if (textBefore) starts.push_back(p);
    textBefore = true;
  }
  const auto widthsOf = [longest](const std::vector<std::size_t>& at) {
    std::vector<std::size_t> widths;
    for (std::size_t k = 0; k < at.size(); ++k) {
      widths.push_back((k + 1 < at.size() ? at[k + 1] : longest) - at[k]);
    }
    return widths;
  };
  // A first line of names names every column: a column it leaves blank
  // holds the words after an inner blank of the column before it.
  TRecord first;
  first.Values = {lines.front()};
  CutFixedColumns(first, widthsOf(starts), fuBytes);
  std::size_t names = 0;
  bool allNames = true;
  for (const std::string_view v : first.Values) {
    if (v.empty()) continue;
    const char c = v.front();
    const bool name = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' ||
                      static_cast<unsigned char>(c) >= 0x80;
    names += name ? 1 : 0;
    allNames = allNames && name;
  }
  if (allNames && names >= 2 && first.Values.size() == starts.size()) {
    std::vector<std::size_t> named = {0};
    for (std::size_t k = 1; k < starts.size(); ++k) {
      if (!first.Values[k].empty()) named.push_back(starts[k]);
    }
    starts = std::move(named);
  }
  const std::vector<std::size_t> widths = widthsOf(starts);
  if (given) return widths;
  if (starts.size() < 2) return {};
  // Below the first line (a header's names may stand otherwise), each
  // column holds values on two lines at least (a column of one line's text
  // alone is a long line among short ones), and they start at the same place (left-aligned) or
  // end at the same place (right-aligned) on all lines but one in fifty:
  // words that happen to leave a blank at the same places on a few lines of
  // text do not. Where every value is one word, the blank separates them
  // as ever, unless it splits the records no better than no separator.
  bool innerBlank = false;
  // Columns of one word each are padded to their widths: on a quarter of
  // the lines at least, a value stands after blanks at the line's start or
  // after two blanks or more (not a value of a date and a time, whose one
  // blank stands at the same place on every line).
  if (oneWord) {
    std::size_t padded = 0;
    for (std::size_t i = 1; i < lines.size(); ++i) {
      const std::string_view line = lines[i];
      padded += line.starts_with(' ') || line.find("  ") != std::string_view::npos ? 1 : 0;
    }
    oneWord = padded * 4 >= lines.size() - 1;
  }
  for (std::size_t k = 0; k < starts.size(); ++k) {
    std::map<std::size_t, std::size_t> lefts;
    std::map<std::size_t, std::size_t> rights;
    std::size_t values = 0;
    for (std::size_t i = 1; i < lines.size(); ++i) {
      const std::string_view line = lines[i];
      const std::string_view slice =
          starts[k] < line.size() ? line.substr(starts[k], widths[k]) : std::string_view();
      const std::size_t left = slice.find_first_not_of(' ');
      if (left == std::string_view::npos) continue;
      const std::size_t right = slice.find_last_not_of(' ');
      ++values;
      ++lefts[left];
      ++rights[right];
      innerBlank =
          innerBlank || slice.substr(left, right - left).find(' ') != std::string_view::npos;
    }
    std::size_t aligned = 0;
    for (const auto* edges : {&lefts, &rights}) {
      for (const auto& [at, n] : *edges) aligned = std::max(aligned, n);
    }
    if (values < 2 || aligned + lines.size() / 50 < values) return {};
  }
  return innerBlank || oneWord ? widths : std::vector<std::size_t>();
}

void CutFixedColumns(TRecord& r, const std::vector<std::size_t>& widths, TFixedWidthUnit unit) {
  const std::string_view line = r.Values.empty() ? std::string_view() : r.Values.front();
  r.Values.clear();
  TFixedColumnCutter cutter(line, unit);
  for (const std::size_t width : widths) r.Values.push_back(TrimBlanks(cutter.Next(width)));
  if (const std::string_view rest = TrimBlanks(cutter.Rest()); !rest.empty()) {
    r.Values.push_back(rest);
  }
}

// The lines starting with # that open text, blank lines between them
// aside.
int LeadingCommentLines(std::string_view text) {
  int lines = 0;
  for (std::size_t at = 0; at < text.size(); ++at) {
    if (IsLineEnd(text[at])) continue;
    if (text[at] != '#') break;
    ++lines;
    at = text.find_first_of("\r\n", at);
    if (at == std::string_view::npos) break;
  }
  return lines;
}

// Lines before the data under a layout: a run of lines starting with #
// makes # the comment character (unless it is one line of as many values
// as the data's records, which is a header naming its first column #...),
// and lines of one value before the first record of the data's width are
// a title, skipped with the lines before them. A few records at most.
TReadRules SniffLeadingLines(std::string_view head, bool headIsAll, const TLayout& layout,
                             TReadRules given) {
  constexpr int kLeadingRecords = 10;
  TReadRules skip;
  if (layout.Separator == '\0' || layout.Score.Values < 2) return skip;
  TMemorySource source(head);
  TRecordReader reader(source, layout.Separator, layout.Quote, {}, given);
  TRecord r;
  int comments = 0;
  bool commentIsWide = false;
  std::int64_t titleLine = 0;
  for (int n = 0; n < kLeadingRecords && reader.Next(r); ++n) {
    if (r.EndOfInput && !headIsAll) return {};  // the data not reached in the head
    if (r.Blank()) continue;
    if (r.First == '#') {
      ++comments;
      commentIsWide = r.Values.size() == layout.Score.Values;
    } else if (r.Values.size() == 1 && r.Values.size() != layout.Score.Values) {
      titleLine = r.Line;
    } else {
      if (comments > 0 && (comments > 1 || !commentIsWide || titleLine > 0)) skip.Comment = '#';
      skip.Lines = titleLine;
      return skip;
    }
  }
  return {};
}

}  // namespace korvane::cli::sniffing

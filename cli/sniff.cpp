#include "cli/sniff.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>

#include "cli/cli_util.h"
#include "core/sysutils.h"
#include "import/kvcsvimp_scanner.h"
#include "io/byte_source.h"
#include "io/fileio.h"
#include "io/text_encoding.h"

namespace korvane::cli {

namespace {

// The separator and the quote character are chosen on the records of the
// first read, at most this many: enough to see the layout, few enough that an
// import that sniffs pays next to nothing for it.
constexpr std::size_t kFirstRead = std::size_t{64} << 10;
constexpr std::int64_t kLayoutRecords = 1000;
constexpr std::size_t kScanBuffer = std::size_t{64} << 10;

// The separators tried, in the order preferred when they split the first
// records equally well; bytes that split every line alike come after the
// common ones, before the colon and the space, which stand inside values
// (times, sentences) more often than between them.
constexpr std::string_view kCommonSeparators = ",\t;|";
constexpr std::string_view kLateSeparators = ": ";
constexpr std::string_view kQuotes = std::string_view("\"\0'", 3);

bool IsLineEnd(char c) { return c == '\n' || c == '\r'; }

// Bytes of a text in memory.
class TMemorySource final : public korvane::TByteSource {
 public:
  explicit TMemorySource(std::string_view text) : FText(text) {}
  std::size_t Read(char* buffer, std::size_t count) override {
    const std::size_t n = std::min(count, FText.size() - FAt);
    std::memcpy(buffer, FText.data() + FAt, n);
    FAt += n;
    return n;
  }
  TFileFormat Format() const override { return TFileFormat::ffPlain; }

 private:
  std::string_view FText;
  std::size_t FAt = 0;
};

// The sample's bytes: the head read first, then the rest of the input up to
// the byte limit (none when limit is 0).
class TSampleSource final : public korvane::TByteSource {
 public:
  TSampleSource(std::string_view head, bool headIsAll, const cli::TByteSource& rest,
                std::size_t limit)
      : FHead(head), FAtEnd(headIsAll), FRest(rest), FLimit(limit), FTotal(head.size()) {}
  std::size_t Read(char* buffer, std::size_t count) override {
    if (FHeadAt < FHead.size()) {
      const std::size_t n = std::min(count, FHead.size() - FHeadAt);
      std::memcpy(buffer, FHead.data() + FHeadAt, n);
      FHeadAt += n;
      return n;
    }
    if (FAtEnd) return 0;
    if (FLimit != 0) {
      if (FTotal >= FLimit) {
        FCapped = true;
        return 0;
      }
      count = std::min(count, FLimit - FTotal);
    }
    const std::size_t n = FRest(buffer, count);
    FAtEnd = n == 0;
    FTotal += n;
    return n;
  }
  TFileFormat Format() const override { return TFileFormat::ffPlain; }
  // The byte limit stopped the reading before the input's end.
  bool Capped() const { return FCapped; }

 private:
  std::string_view FHead;
  std::size_t FHeadAt = 0;
  bool FAtEnd;
  const cli::TByteSource& FRest;
  std::size_t FLimit;
  std::size_t FTotal;
  bool FCapped = false;
};

// One record as the import reads it: the scanner cuts it, the splitter cuts
// it into values.
struct TRecord {
  std::vector<std::string_view> Values;
  std::int64_t Bytes = 0;     // its bytes in the input, line ends included
  std::int64_t Line = 1;      // the line it starts on
  int LineEnd = 0;            // 0 none, 1 LF, 2 CRLF, 3 CR, -1 not known (past the head)
  bool QuoteError = false;    // a quote never closed, or text after a closing quote
  bool Unclosed = false;      // a quote never closed
  bool InvalidText = false;   // not valid UTF-8
  bool ClassicAgrees = true;  // the classic rules read the same values
  bool EndOfInput = false;    // the input ended with it (it may be cut short)
  std::string_view Text;      // the record as read (until the next record)
  char First = '\0';          // its first byte as read

  bool Blank() const { return Values.empty() || (Values.size() == 1 && IsBlank(Values[0])); }
};

// What the reader leaves out and how it reads quoted values beyond the
// separator and quote, as the import's SkipLines, CommentChar and
// EscapeChar ('\0': none).
struct TReadRules {
  std::int64_t Lines = 0;
  char Comment = '\0';
  char Escape = '\0';
};

// Reads the records of a source with the import's scanner and splitter
// under the standard rules with the given separator and quote ('\0': none).
// head, when given, is the start of the source's bytes: the line ends of
// the records in it are told apart.
class TRecordReader {
 public:
  TRecordReader(korvane::TByteSource& source, char sep, char quote, std::string_view head = {},
                TReadRules skip = {})
      : FHead(head) {
    FRule = MakeSplitRule(quote == '\0' ? "" : std::string(1, quote),
                          sep == '\0' ? "" : std::string(1, sep), dlStandard,
                          skip.Escape == '\0' ? "" : std::string(1, skip.Escape));
    FClassic = FRule;
    FClassic.Standard = false;
    FScanner.Reset(kScanBuffer);
    FScanner.SetSource(&source);
    FScanner.SetCheckText(true);
    FScanner.SetRule(FRule, true);
    FScanner.SetSkip(skip.Lines, skip.Comment);
  }

  // The next record; false at the end of the input.
  bool Next(TRecord& r) {
    if (FEnded) return false;
    FText.clear();
    TScanResult scan;
    FScanner.Scan(FNoHandle, FText, scan);
    FEnded = scan.EndOfFile;
    if (FEnded && FText.empty()) return false;
    r.Bytes = scan.SkippedBytes + static_cast<std::int64_t>(FText.size()) + scan.LineEndBytes;
    const std::size_t end = FOffset + static_cast<std::size_t>(scan.SkippedBytes) + FText.size();
    r.Line = scan.Line;
    r.LineEnd = scan.LineEndBytes == 0 ? 0 : -1;
    if (scan.LineEndBytes > 0 && end < FHead.size()) {
      const bool crlf = FHead[end] == '\r' && end + 1 < FHead.size() && FHead[end + 1] == '\n';
      r.LineEnd = FHead[end] == '\n' ? 1 : crlf ? 2 : 3;
    }
    FOffset += static_cast<std::size_t>(r.Bytes);
    r.EndOfInput = FEnded;
    r.InvalidText = scan.Fault == rfInvalidText;
    r.Unclosed = scan.Fault == rfUnclosedQuote;
    r.QuoteError = r.Unclosed;
    const bool quoted =
        FRule.HasQuote && FText.find(static_cast<char>(FRule.Quote)) != std::string::npos;
    const bool broken = FText.find_first_of("\r\n") != std::string::npos;
    r.First = FText.empty() ? '\0' : FText[0];
    if (quoted) FCopy = FText;
    r.Values.clear();
    r.QuoteError |= SplitDelimitedText(FRule, FText.data(), FText.size(), r.Values).TextAfterQuote;
    r.ClassicAgrees = !broken && (!quoted || ClassicAgrees(r.Values));
    r.Text = quoted ? std::string_view(FCopy) : std::string_view();
    return true;
  }

 private:
  // Whether the classic rules split the record's text (in FCopy) into
  // values, as they do, the same as the standard ones did.
  bool ClassicAgrees(const std::vector<std::string_view>& values) {
    FClassicText = FCopy;
    FClassicValues.clear();
    SplitDelimitedText(FClassic, FClassicText.data(), FClassicText.size(), FClassicValues);
    std::size_t count = values.size();
    if (count > 0 && values[count - 1].empty()) --count;  // classic drops an empty last value
    if (FClassicValues.size() != count) return false;
    for (std::size_t i = 0; i < count; ++i) {
      if (FClassicValues[i] != values[i]) return false;
    }
    return true;
  }

  std::string_view FHead;
  std::size_t FOffset = 0;
  TSplitRule FRule;
  TSplitRule FClassic;
  TRecordScanner FScanner;
  TFileHandle FNoHandle;
  bool FEnded = false;
  std::string FText;
  std::string FCopy;
  std::string FClassicText;
  std::vector<std::string_view> FClassicValues;
};

// Whether a value reads as something other than free text: a number (with
// a currency sign, a percent sign, thousands or decimal commas), a date or
// a time, a truth value, or nothing at all.
bool LooksTyped(std::string_view v) {
  while (!v.empty() && v.front() == ' ') v.remove_prefix(1);
  while (!v.empty() && v.back() == ' ') v.remove_suffix(1);
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

// How well a separator and a quote split the first records. The records
// fall into patterns by their number of values; the layout is the one under
// which few patterns hold many records of many values (each record of n
// values weighs (n - 1) / n, one value none), and under which the values
// read as values: typed, or texts free of the bytes that separate or quote
// elsewhere.
struct TLayoutScore {
  double Score = 0;
  std::size_t Values = 0;    // values of the most records
  std::int64_t Records = 0;  // records read
  std::int64_t Fitting = 0;  // records of that many values
  double Clean = 0;          // the share of the values that read as values
};

TLayoutScore ScoreLayout(std::string_view head, bool headIsAll, char sep, char quote,
                         TReadRules skip) {
  TMemorySource source(head);
  TRecordReader reader(source, sep, quote, {}, skip);
  TRecord r;
  std::map<std::size_t, std::int64_t> widths;
  std::int64_t faults = 0;
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
    if (LooksTyped(v)) return true;
    // Blanks around a value are padding.
    while (!v.empty() && (v.front() == ' ' || v.front() == '\t')) v.remove_prefix(1);
    while (!v.empty() && (v.back() == ' ' || v.back() == '\t')) v.remove_suffix(1);
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
      ++faults;  // a quote never closed: a pattern of its own
      continue;
    }
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
  const auto patterns = static_cast<double>(widths.size() + (faults > 0 ? 1 : 0));
  pattern /= patterns * static_cast<double>(score.Records);
  const double typed = cells == 0 ? 0 : static_cast<double>(clean) / static_cast<double>(cells);
  score.Score = pattern * typed;
  score.Clean = typed;
  return score;
}

// Bytes that stand the same number of times (at least once) on most
// non-empty lines of text: separators other than the common ones. Letters,
// digits and bytes that occur inside numbers, dates and names are left out,
// and so is a byte that only ever stands as an exponent's sign (1.2E+014).
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
        elsewhere[b] = elsewhere[b] || i == 0 || (text[i - 1] != 'E' && text[i - 1] != 'e') ||
                       i + 1 == text.size() || !isDigit(text[i + 1]);
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

struct TLayout {
  char Separator = ',';
  char Quote = '"';
  TLayoutScore Score;
  bool Late = false;   // a separator of kLateSeparators
  char Escape = '\0';  // a backslash found escaping quotes, else as given
};

// Whether text shows a backslash escaping quote inside quoted values: it
// holds a backslash before the quote, never where a value starts (which
// would show escapes outside quoted values too, which are not read so).
bool EscapeShown(std::string_view text, char sep, char quote) {
  const char escaped[] = {'\\', quote, '\0'};
  if (quote == '\0' || text.find(escaped) == std::string_view::npos) return false;
  if (text.starts_with(escaped)) return false;
  for (const char before : {sep, '\n', '\r'}) {
    const char opening[] = {before, '\\', quote, '\0'};
    if (before != '\0' && text.find(opening) != std::string_view::npos) return false;
  }
  return true;
}

// The separator and quote that split the first records best. With none
// that splits them into two or more values, one value per record: the
// comma when no value holds one (the command's own separator then reads the
// file the same), else no separator.
TLayout SniffLayout(std::string_view head, bool headIsAll, std::optional<char> givenSep,
                    std::optional<char> givenQuote, TReadRules skip, bool tryEscape) {
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
  for (char sep : seps) {
    for (char quote : quotes) {
      // The comment character starts lines; it separates nothing.
      if ((quote != '\0' && quote == sep) || (skip.Comment != '\0' && sep == skip.Comment)) {
        continue;
      }
      TLayoutScore score = ScoreLayout(head, headIsAll, sep, quote, skip);
      char escape = skip.Escape;
      // A backslash escapes quotes where the head shows it and the records
      // split better so (an escaped quote would otherwise end its value
      // early, leaving text after it or a record cut short).
      if (tryEscape && EscapeShown(head, sep, quote)) {
        TReadRules escaped = skip;
        escaped.Escape = '\\';
        const TLayoutScore withEscape = ScoreLayout(head, headIsAll, sep, quote, escaped);
        if (withEscape.Score > score.Score * 1.0001) {
          score = withEscape;
          escape = '\\';
        }
      }
      // A space or colon separates only when it splits most records alike
      // into values that nearly all read as values: in one column of
      // sentences or times it is part of the values. Over another separator
      // that splits the records it must win clearly.
      const bool late = kLateSeparators.find(sep) != std::string_view::npos;
      if (score.Values < 2 ||
          (late &&
           (score.Records < 2 || score.Fitting * 10 < score.Records * 9 || score.Clean < 0.9))) {
        continue;
      }
      const double margin = late && found && !best.Late ? 1.5 : 1.0001;
      // Ties go to the one tried first.
      if (!found || score.Score > best.Score.Score * margin) {
        best = {sep, quote, score, late, escape};
        found = true;
      }
    }
  }
  if (found || givenSep) {
    if (!found) best = {*givenSep, givenQuote.value_or('"'), {}, false, skip.Escape};
    return best;
  }
  best.Quote = givenQuote.value_or('"');
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

bool LooksLikeName(std::string_view s) {
  if (s.empty() || s.size() > 64) return false;
  const char c = s.front();
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' ||
         static_cast<unsigned char>(c) >= 0x80;
}

std::string LowerAscii(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

std::string Trimmed(std::string_view s) {
  while (!s.empty() && static_cast<unsigned char>(s.front()) <= ' ') s.remove_prefix(1);
  while (!s.empty() && static_cast<unsigned char>(s.back()) <= ' ') s.remove_suffix(1);
  return std::string(s);
}

// The pass over the whole sample with the chosen separator and quote.
class TSampleScan {
 public:
  TSampleScan(const TSniffOptions& options, TSniffResult& result)
      : FOptions(options), FResult(result) {}

  void Add(const TRecord& r) {
    if (r.Blank()) return;
    const std::int64_t index = FResult.Records++;
    FResult.Bytes += r.Bytes;
    if (r.LineEnd >= 0) ++FLineEnds[r.LineEnd];
    if (r.InvalidText) NoteEightBit(r, index);
    for (std::string_view v : r.Values) {
      for (char c : v) FAscii &= static_cast<unsigned char>(c) < 0x80;
    }
    FResult.StandardFits &= !r.QuoteError;
    FResult.ClassicFits &= r.ClassicAgrees;
    const std::size_t count = r.Values.size();
    ++FCounts[count];
    std::vector<std::int64_t>& lines = FLinesOf[count];
    if (lines.size() < kMisfitLines) lines.push_back(r.Line);
    FColumns = std::max(FColumns, count);
    if (index == 0) {
      FFirst.assign(r.Values.begin(), r.Values.end());
      FFirstRepeats.assign(count, false);
      return;
    }
    if (FOptions.HeaderRecords && index < *FOptions.HeaderRecords) return;
    if (FVotes.size() < count) FVotes.resize(count, NewVote());
    for (std::size_t i = 0; i < count; ++i) {
      FVotes[i].Add(r.Values[i]);
      if (i < FFirst.size() && !FFirstRepeats[i] && r.Values[i] == FFirst[i]) {
        FFirstRepeats[i] = true;
      }
    }
  }

  void Finish() {
    std::int64_t most = 0;
    std::size_t modal = 0;
    for (auto [values, n] : FCounts) {
      if (n > most) {
        most = n;
        modal = values;
      }
    }
    FResult.RaggedRecords = FResult.Records - most;
    FResult.SeparatorConsistent =
        FResult.Separator != 0 && modal >= 2 && FResult.RaggedRecords == 0;
    FResult.Confidence =
        FResult.Records == 0 ? 0 : static_cast<double>(most) / static_cast<double>(FResult.Records);
    for (const auto& [count, lines] : FLinesOf) {
      if (count == modal) continue;
      FResult.MisfitLines.insert(FResult.MisfitLines.end(), lines.begin(), lines.end());
    }
    std::sort(FResult.MisfitLines.begin(), FResult.MisfitLines.end());
    if (FResult.MisfitLines.size() > kMisfitLines) FResult.MisfitLines.resize(kMisfitLines);
    FinishLineEnds();
    FinishEncoding();
    FVotes.resize(FColumns, NewVote());
    FResult.DecimalComma = DecimalCommaTypesMore();
    FResult.HeaderSniffed = SniffHeader();
    FResult.Header = FOptions.HeaderRecords ? *FOptions.HeaderRecords > 0 : FResult.HeaderSniffed;
    FResult.HeaderRecords =
        FOptions.HeaderRecords ? *FOptions.HeaderRecords : (FResult.Header ? 1 : 0);
    if (!FResult.Header && !FFirst.empty()) {
      for (std::size_t i = 0; i < FFirst.size(); ++i) FVotes[i].Add(FFirst[i]);
    }
    NameColumns();
  }

 private:
  // Decimal commas are tried where a comma cannot be the separator and the
  // user did not say how numbers are written.
  TTypeVote NewVote() const {
    return TTypeVote(FOptions.DateFormatGiven,
                     !FOptions.NumberFormatGiven && FResult.Separator != ',');
  }

  // Whether more columns read as numbers with a decimal comma and thousands
  // points (1.234,5) than with the format settings' separators: a tie keeps
  // the settings, so 1.234 alone stays a decimal point.
  bool DecimalCommaTypesMore() const {
    int point = 0;
    int comma = 0;
    auto number = [](const TTypeGuess& g) {
      return g.Type == TInferredType::Integer || g.Type == TInferredType::Real ? 1 : 0;
    };
    for (const TTypeVote& vote : FVotes) {
      point += number(vote.Result(false));
      comma += number(vote.Result(true));
    }
    return comma > point;
  }

  // The first record is a header when its values do not fit the types of
  // the records after it, or when all the columns hold text and its values
  // are distinct names none of which comes back in its column.
  bool SniffHeader() const {
    if (FResult.Records < 2 || FFirst.empty()) return false;
    int typed = 0;
    int misfits = 0;
    for (std::size_t i = 0; i < FFirst.size(); ++i) {
      TTypeGuess guess = FVotes[i].Result(FResult.DecimalComma);
      if (guess.Type == TInferredType::Text) continue;
      ++typed;
      misfits += FVotes[i].Fits(FFirst[i], guess) ? 0 : 1;
    }
    if (typed > 0) return misfits > 0 && misfits * 2 >= typed;
    std::vector<std::string> seen;
    for (std::size_t i = 0; i < FFirst.size(); ++i) {
      std::string name = LowerAscii(Trimmed(FFirst[i]));
      if (!LooksLikeName(name) || FFirstRepeats[i]) return false;
      if (std::find(seen.begin(), seen.end(), name) != seen.end()) return false;
      seen.push_back(std::move(name));
    }
    return true;
  }

  // Header names as they stand (blanks around them aside), but that empty
  // and repeated ones are made unique; c1, c2, ... without a header.
  void NameColumns() {
    std::vector<std::string> taken;
    auto isTaken = [&taken](const std::string& name) {
      return std::find(taken.begin(), taken.end(), LowerAscii(name)) != taken.end();
    };
    for (std::size_t i = 0; i < FColumns; ++i) {
      TSniffedColumn column;
      column.Guess = FVotes[i].Result(FResult.DecimalComma);
      const std::string position = std::to_string(i + 1);
      const bool named = FResult.Header && i < FFirst.size();
      std::string name = named ? Trimmed(FFirst[i]) : "";
      if (name.empty()) {
        name = "c" + position;
        if (named) FResult.Renamed.push_back("column " + position + " has no name: " + name);
      }
      if (isTaken(name)) {
        const std::string base = name;
        for (int k = 2; isTaken(name); ++k) name = base + "_" + std::to_string(k);
        FResult.Renamed.push_back("column " + position + ": \"" + base + "\" is " + name);
      }
      if (named) column.HeaderName = FFirst[i];
      taken.push_back(LowerAscii(name));
      column.Name = std::move(name);
      FResult.Columns.push_back(std::move(column));
    }
  }

  void FinishLineEnds() {
    static constexpr const char* kNames[] = {"none", "LF", "CRLF", "CR"};
    int kinds = 0;
    int last = 0;
    for (int k = 1; k <= 3; ++k) {
      if (FLineEnds[k] > 0) {
        ++kinds;
        last = k;
      }
    }
    FResult.LineEnds = kinds > 1 ? "mixed" : kNames[last];
  }

  void FinishEncoding() {
    if (!FResult.Encoding.empty()) return;  // told by a byte-order mark or zero bytes
    if (FInvalidRecord >= 0) {
      // Bytes 0x80 to 0x9F are control codes in Latin-1 but letters and
      // signs in Windows-1252, which leaves only five of them undefined.
      FResult.Encoding = "8-bit";
      FResult.EightBitEncoding = FCp1252Signs && !FCp1252Undefined ? "cp1252" : "latin1";
      FResult.EncodingHints.push_back("record " + std::to_string(FInvalidRecord) +
                                      " is not valid UTF-8: read as " + FResult.EightBitEncoding);
    } else {
      FResult.Encoding = FAscii ? "ASCII" : "UTF-8";
    }
  }

  // Notes the bytes of a record that is not valid UTF-8.
  void NoteEightBit(const TRecord& r, std::int64_t index) {
    if (FInvalidRecord < 0) FInvalidRecord = index + 1;
    for (std::string_view v : r.Values) {
      for (char c : v) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x80 || b > 0x9F) continue;
        FCp1252Signs = true;
        FCp1252Undefined |= b == 0x81 || b == 0x8D || b == 0x8F || b == 0x90 || b == 0x9D;
      }
    }
  }

  static constexpr std::size_t kMisfitLines = 5;
  const TSniffOptions& FOptions;
  TSniffResult& FResult;
  std::map<std::size_t, std::vector<std::int64_t>> FLinesOf;  // the first lines of each count
  bool FCp1252Signs = false;
  bool FCp1252Undefined = false;
  std::map<std::size_t, std::int64_t> FCounts;
  std::size_t FColumns = 0;
  std::int64_t FLineEnds[4] = {0, 0, 0, 0};  // none, LF, CRLF, CR
  std::int64_t FInvalidRecord = -1;
  bool FAscii = true;
  std::vector<std::string> FFirst;
  std::vector<bool> FFirstRepeats;
  std::vector<TTypeVote> FVotes;
};

// Byte-order marks and zero bytes at the start of the input; the length of
// a byte-order mark to skip.
std::size_t SniffEncodingStart(std::string_view start, TSniffResult& result) {
  auto begins = [start](std::string_view mark) { return start.substr(0, mark.size()) == mark; };
  if (begins("\xEF\xBB\xBF")) {
    result.ByteOrderMark = true;
    result.EncodingHints.push_back("a UTF-8 byte-order mark starts the file");
    return 3;
  }
  const bool le = begins("\xFF\xFE");
  if (le || begins("\xFE\xFF")) {
    result.ByteOrderMark = true;
    result.Encoding = le ? "UTF-16LE" : "UTF-16BE";
    result.EncodingHints.push_back("UTF-16 text (byte-order mark)");
    return 2;
  }
  // UTF-16 of mostly ASCII text has a zero byte in every other place, and
  // in those places only; other control bytes (but for tab, line ends, form
  // feed and byte 26) in one byte of twenty make binary data, not text.
  std::size_t zeros[2] = {0, 0};
  std::size_t controls = 0;
  const std::size_t n = std::min<std::size_t>(start.size(), 4096);
  for (std::size_t i = 0; i < n; ++i) {
    const auto b = static_cast<unsigned char>(start[i]);
    zeros[i % 2] += b == 0 ? 1 : 0;
    const bool blank = b != 0 && std::strchr("\t\n\r\f\v\x1A", b) != nullptr;
    controls += (b < 0x20 && !blank) || b == 0x7F ? 1 : 0;
  }
  const std::size_t most = std::max(zeros[0], zeros[1]);
  const std::size_t fewest = std::min(zeros[0], zeros[1]);
  if (n >= 4 && most * 4 >= n && fewest * 8 <= most) {
    result.Encoding = zeros[1] > zeros[0] ? "UTF-16LE" : "UTF-16BE";
    result.EncodingHints.push_back(
        "zero bytes between the characters: UTF-16 text without a byte-order mark, read as " +
        result.Encoding);
  } else if (n >= 256 && controls * 20 >= n) {
    result.Binary = true;
    result.Encoding = "binary";
    result.EncodingHints.push_back("zero or control bytes in " +
                                   std::to_string(controls * 100 / n) +
                                   "% of the first bytes: binary data, not text");
  }
  return 0;
}

}  // namespace

TSniffResult Sniff(const TByteSource& source, const TSniffOptions& options) {
  TSniffResult result;
  const bool all = options.SampleRecords < 0;
  const auto byteCap = static_cast<std::size_t>(std::max<std::int64_t>(options.SampleBytes, 1));
  std::string head(all ? kFirstRead : std::min(kFirstRead, byteCap), '\0');
  std::size_t got = 0;
  bool headIsAll = false;
  while (got < head.size()) {
    const std::size_t n = source(head.data() + got, head.size() - got);
    if (n == 0) {
      headIsAll = true;
      break;
    }
    got += n;
  }
  head.resize(got);
  const std::string_view body = std::string_view(head).substr(SniffEncodingStart(head, result));

  if (result.Binary) {
    result.WholeFile = headIsAll;
    return result;
  }
  TReadRules skip{options.SkipLines.value_or(0), options.Comment.value_or('\0'),
                  options.Escape.value_or('\0')};
  // Two lines or more starting with # open the input: comments, whatever
  // the layout, which they would mislead.
  if (!options.Comment && LeadingCommentLines(body) >= 2) skip.Comment = '#';
  const bool tryEscape = !options.Escape;
  TLayout layout = SniffLayout(body, headIsAll, options.Separator, options.Quote, skip, tryEscape);
  if (!options.SkipLines || !options.Comment) {
    // Lines before the data found under the layout: the layout is voted
    // again without them, which they may have misled.
    TReadRules rules = skip;
    rules.Escape = layout.Escape;
    const TReadRules found = SniffLeadingLines(body, headIsAll, layout, rules);
    bool again = false;
    if (!options.SkipLines && found.Lines > 0) {
      skip.Lines = found.Lines;
      again = true;
    }
    if (!options.Comment && skip.Comment == '\0' && found.Comment != '\0') {
      skip.Comment = found.Comment;
      again = true;
    }
    if (again) {
      layout = SniffLayout(body, headIsAll, options.Separator, options.Quote, skip, tryEscape);
    }
  }
  skip.Escape = layout.Escape;
  result.Separator = layout.Separator;
  result.Quote = layout.Quote;
  result.SkipLines = skip.Lines;
  result.Comment = skip.Comment;
  result.Escape = skip.Escape;

  TSampleSource sample(body, headIsAll, source, all ? 0 : byteCap);
  TRecordReader reader(sample, result.Separator, result.Quote, body, skip);
  TSampleScan scan(options, result);
  TRecord r;
  bool ended = false;
  while (all || result.Records < options.SampleRecords) {
    if (!reader.Next(r)) {
      ended = true;
      break;
    }
    if (r.EndOfInput && sample.Capped()) break;  // a record cut by the byte limit is not sampled
    scan.Add(r);
    if (r.EndOfInput) {
      ended = true;
      break;
    }
  }
  result.WholeFile = ended && !sample.Capped();
  scan.Finish();
  return result;
}

TSniffResult SniffText(std::string_view text, const TSniffOptions& options) {
  std::size_t at = 0;
  return Sniff(
      [&](char* buffer, std::size_t size) {
        const std::size_t n = std::min(size, text.size() - at);
        std::memcpy(buffer, text.data() + at, n);
        at += n;
        return n;
      },
      options);
}

namespace {

// Sniffs the file's text as the import reads it: decompressed, and
// converted to UTF-8 from options.Encoding (UTF-8 when empty, which a UTF-16
// byte-order mark switches to UTF-16). encoding receives what the text was
// read as.
TSniffResult SniffDecoded(const std::string& path, const TSniffOptions& options,
                          std::string& encoding) {
  const TFileHandle file = OpenFileForRead(path);
  if (!file.Valid()) {
    throw EUsageError("input file '" + path + "' cannot be read (" + std::strerror(GetLastError()) +
                      ")");
  }
  std::string failure;
  std::unique_ptr<korvane::TByteSource> source;
  try {
    source = OpenByteSource(file, {.Decompress = true, .Thread = false});
    source = OpenDecodingSource(std::move(source),
                                options.Encoding.empty() ? "UTF-8" : options.Encoding);
  } catch (const EInOutError& e) {
    failure = e.what();
  }
  TSniffResult result;
  if (source) {
    result = Sniff(
        [&](char* buffer, std::size_t size) -> std::size_t {
          if (!failure.empty()) return 0;
          try {
            return source->Read(buffer, size);
          } catch (const EInOutError& e) {
            // Damaged data (compressed or encoded) past the sample's start: the sample
            // ends there, and the import itself fails on it, saying how far
            // it came.
            if (e.ErrorCode != 0) failure = e.what();
            return 0;
          }
        },
        options);
    encoding = source->TextEncoding();
  }
  if (!failure.empty()) {
    throw EUsageError("input file '" + path + "' cannot be read (" + failure + ")");
  }
  return result;
}

}  // namespace

TSniffResult SniffFile(const std::string& path, const TSniffOptions& options) {
  std::string read;
  TSniffResult result = SniffDecoded(path, options, read);
  if (read.starts_with("UTF-16") && options.Encoding.empty()) {
    result.Encoding = read;
    result.ByteOrderMark = true;
    result.EncodingHints.push_back("a UTF-16 byte-order mark starts the file: read as " + read +
                                   ", as the import reads it");
    return result;
  }
  if (!options.Encoding.empty()) return result;
  // A text that is not UTF-8 is sniffed again as what it seems to be, and
  // the import is told.
  std::string guess;
  if (result.Encoding == "8-bit") {
    guess = result.EightBitEncoding;
  } else if (result.Encoding.starts_with("UTF-16")) {
    guess = result.Encoding;  // told by zero bytes between the characters
  }
  if (guess.empty()) return result;
  TSniffOptions again = options;
  again.Encoding = guess;
  TSniffResult decoded = SniffDecoded(path, again, read);
  decoded.Encoding = guess;
  decoded.SuggestedEncoding = guess;
  decoded.EightBitEncoding = result.EightBitEncoding;
  decoded.EncodingHints = result.EncodingHints;
  return decoded;
}

std::vector<std::string> ColumnDefinitions(const TSniffResult& result) {
  std::vector<std::string> columns;
  int position = 0;
  for (const TSniffedColumn& c : result.Columns) {
    columns.push_back(ColumnDefinition(c.Name, SqlTypeName(c.Guess), ++position));
  }
  return columns;
}

std::string SeparatorText(char separator) {
  if (separator == '\0') return "none";
  if (separator == '\t') return "tab";
  return std::string(1, separator);
}

}  // namespace korvane::cli

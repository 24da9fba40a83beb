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
#include "io/byte_source.h"
#include "io/fileio.h"
#include "io/text_encoding.h"

namespace korvane::cli {

namespace {

constexpr std::size_t kNpos = std::string_view::npos;
// The separator and the quote character are chosen on the records of the
// first read, at most this many: enough to see the layout, few enough that an
// import that sniffs pays next to nothing for it.
constexpr std::size_t kFirstRead = std::size_t{64} << 10;
constexpr std::int64_t kLayoutRecords = 1000;
// Later reads take what the records still wanted take at the size of those
// read so far, and at least this much.
constexpr std::size_t kRefill = std::size_t{64} << 10;

// The separators tried first, in the order preferred when they tie.
constexpr std::array<char, 4> kCommonSeparators = {',', ';', '\t', '|'};

// One record under the standard rules.
struct TRecord {
  std::vector<std::string> Values;  // the first Count are this record's; kept for their buffers
  std::size_t Count = 0;
  std::size_t Begin = 0;  // the record's bytes, without the line end
  std::size_t End = 0;
  std::size_t Next = 0;      // where the next record starts
  int LineEnd = 0;           // 0 none, 1 LF, 2 CRLF, 3 CR
  bool QuoteError = false;   // an unclosed quote, or text after a closing quote
  bool QuotedBreak = false;  // a line break inside quotes
  bool HasQuote = false;     // the quote character occurs in the record

  std::string_view Value(std::size_t i) const { return Values[i]; }
  bool Blank() const { return Count == 1 && Values[0].empty(); }
  std::string& NewValue() {
    if (Count == Values.size()) Values.emplace_back();
    std::string& v = Values[Count++];
    v.clear();
    return v;
  }
};

bool IsLineEnd(char c) { return c == '\n' || c == '\r'; }

// Scans the record at pos of buf. False when it runs past the end of buf
// while more input may follow (atEnd false): the caller reads more and
// scans it again.
bool ScanRecord(std::string_view buf, std::size_t pos, bool atEnd, char sep, char quote,
                TRecord& r) {
  r.Count = 0;
  r.QuoteError = r.QuotedBreak = r.HasQuote = false;
  r.Begin = pos;
  const std::size_t n = buf.size();
  std::size_t i = pos;
  std::string* v = &r.NewValue();
  bool valueStart = true;
  bool afterQuote = false;
  for (;;) {
    if (i == n) {
      if (!atEnd) return false;
      r.End = r.Next = n;
      r.LineEnd = 0;
      return true;
    }
    const char c = buf[i];
    if (valueStart && quote != 0 && c == quote) {
      r.HasQuote = true;
      for (++i;; ++i) {
        if (i == n) {
          if (!atEnd) return false;
          r.QuoteError = true;
          r.End = r.Next = n;
          r.LineEnd = 0;
          return true;
        }
        if (buf[i] == quote) {
          if (i + 1 == n && !atEnd) return false;
          if (i + 1 < n && buf[i + 1] == quote) {
            v->push_back(quote);
            ++i;
            continue;
          }
          break;
        }
        r.QuotedBreak |= IsLineEnd(buf[i]);
        v->push_back(buf[i]);
      }
      ++i;
      valueStart = false;
      afterQuote = true;
      continue;
    }
    if (c == sep && sep != 0) {
      v = &r.NewValue();
      valueStart = true;
      afterQuote = false;
      ++i;
      continue;
    }
    if (IsLineEnd(c)) {
      r.End = i;
      if (c == '\r') {
        if (i + 1 == n && !atEnd) return false;
        const bool crlf = i + 1 < n && buf[i + 1] == '\n';
        r.LineEnd = crlf ? 2 : 3;
        r.Next = i + (crlf ? 2 : 1);
      } else {
        r.LineEnd = 1;
        r.Next = i + 1;
      }
      return true;
    }
    // A run of ordinary bytes goes in at once.
    std::size_t j = i + 1;
    while (j < n && buf[j] != sep && !IsLineEnd(buf[j])) ++j;
    if (quote != 0 && std::memchr(buf.data() + i, quote, j - i) != nullptr) r.HasQuote = true;
    r.QuoteError |= afterQuote;
    v->append(buf.data() + i, j - i);
    valueStart = false;
    i = j;
  }
}

// The values the classic rules give for text: every quote character toggles
// and is dropped, separators inside quotes are data, and an empty last value
// is not a value.
void ClassicValues(std::string_view text, char sep, char quote, std::vector<std::string>& out) {
  out.clear();
  std::string current;
  bool inQuotes = false;
  for (char c : text) {
    if (quote != 0 && c == quote) {
      inQuotes = !inQuotes;
    } else if (c != sep || sep == 0 || inQuotes) {
      current += c;
    } else {
      out.push_back(std::move(current));
      current.clear();
    }
  }
  if (!current.empty()) out.push_back(std::move(current));
}

// True when the classic rules read the record as the standard rules do.
bool ClassicAgrees(std::string_view buf, const TRecord& r, char sep, char quote,
                   std::vector<std::string>& scratch) {
  if (r.QuotedBreak) return false;
  if (!r.HasQuote) return true;  // the same split, but for an empty last value
  ClassicValues(buf.substr(r.Begin, r.End - r.Begin), sep, quote, scratch);
  std::size_t count = r.Count;
  if (count > 0 && r.Values[count - 1].empty()) --count;
  if (scratch.size() != count) return false;
  for (std::size_t i = 0; i < count; ++i) {
    if (scratch[i] != r.Values[i]) return false;
  }
  return true;
}

// Where the record starting at pos of a well-formed UTF-8 text goes wrong;
// kNpos when it does not. Sets ascii to false when a byte above 127 occurs.
std::size_t InvalidUtf8(std::string_view s, bool& ascii) {
  for (std::size_t i = 0; i < s.size();) {
    if (i + 8 <= s.size()) {
      std::uint64_t eight = 0;
      std::memcpy(&eight, s.data() + i, 8);
      if ((eight & 0x8080808080808080u) == 0) {
        i += 8;  // eight ASCII bytes
        continue;
      }
    }
    const auto b = static_cast<unsigned char>(s[i]);
    if (b < 0x80) {
      ++i;
      continue;
    }
    ascii = false;
    const std::size_t len = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC2 ? 2 : 0;
    if (len == 0 || b > 0xF4 || i + len > s.size()) return i;
    const auto b1 = static_cast<unsigned char>(s[i + 1]);
    if ((b == 0xE0 && b1 < 0xA0) || (b == 0xED && b1 > 0x9F) || (b == 0xF0 && b1 < 0x90) ||
        (b == 0xF4 && b1 > 0x8F)) {
      return i;
    }
    for (std::size_t k = 1; k < len; ++k) {
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return i;
    }
    i += len;
  }
  return kNpos;
}

// The quote character of the text: the one that opens more values (at the
// start of a line or after a common separator). The double quote when
// neither does.
char SniffQuote(std::string_view text) {
  std::size_t starts[2] = {0, 0};
  char before = '\n';
  for (char c : text) {
    if (c == '"' || c == '\'') {
      const bool opens = IsLineEnd(before) ||
                         std::find(kCommonSeparators.begin(), kCommonSeparators.end(), before) !=
                             kCommonSeparators.end();
      if (opens) ++starts[c == '"' ? 0 : 1];
    }
    before = c;
  }
  return starts[1] > starts[0] ? '\'' : '"';
}

// Bytes that stand the same number of times (at least once) on every
// non-empty line of text: separators other than the common ones. Bytes that
// occur inside numbers, dates and names are left out.
std::vector<char> SteadyBytes(std::string_view text, std::int64_t maxLines) {
  std::array<std::uint32_t, 128> steady{};
  std::array<std::uint32_t, 128> count{};
  bool first = true;
  std::int64_t lines = 0;
  auto endLine = [&] {
    for (std::size_t b = 0; b < 128; ++b) {
      if (first)
        steady[b] = count[b];
      else if (steady[b] != count[b])
        steady[b] = 0;
    }
    first = false;
    count.fill(0);
  };
  bool empty = true;
  for (std::size_t i = 0; i < text.size() && lines < maxLines; ++i) {
    const auto b = static_cast<unsigned char>(text[i]);
    if (IsLineEnd(static_cast<char>(b))) {
      if (!empty) {
        endLine();
        ++lines;
      }
      empty = true;
    } else {
      empty = false;
      if (b < 128) ++count[b];
    }
  }
  if (!empty) endLine();
  std::vector<char> bytes;
  if (first) return bytes;
  for (std::size_t b = 33; b < 127; ++b) {
    const char c = static_cast<char>(b);
    const bool usual = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                       std::strchr("\"'.-:/+_,;|", c) != nullptr;
    if (!usual && steady[b] > 0) bytes.push_back(c);
  }
  return bytes;
}

// How well a separator splits the first records.
struct TLayoutScore {
  int Rank = 0;            // 2: every record alike; 1: four in five alike; 0: neither
  std::size_t Values = 0;  // values most records have
  int TypedColumns = 0;    // columns of a type other than TEXT, the first record aside
};

TLayoutScore ScoreSeparator(std::string_view text, bool atEnd, char sep, char quote,
                            std::int64_t maxRecords) {
  TRecord r;
  std::map<std::size_t, std::int64_t> counts;
  std::vector<TTypeVote> votes;
  std::int64_t records = 0;
  bool quoteError = false;
  for (std::size_t pos = 0; pos < text.size() && records < maxRecords;) {
    if (!ScanRecord(text, pos, atEnd, sep, quote, r)) break;
    pos = r.Next;
    if (r.Blank()) continue;
    quoteError |= r.QuoteError;
    ++counts[r.Count];
    if (records++ == 0) continue;
    if (votes.size() < r.Count) votes.resize(r.Count);
    for (std::size_t i = 0; i < r.Count; ++i) votes[i].Add(r.Value(i));
  }
  TLayoutScore score;
  if (records == 0) return score;
  std::int64_t most = 0;
  for (auto [values, n] : counts) {
    if (n > most) {
      most = n;
      score.Values = values;
    }
  }
  if (score.Values < 2 || quoteError) return score;
  score.Rank = most == records ? 2 : most * 5 >= records * 4 ? 1 : 0;
  for (const TTypeVote& v : votes) {
    score.TypedColumns += v.Result().Type != TInferredType::Text ? 1 : 0;
  }
  return score;
}

bool Better(const TLayoutScore& a, const TLayoutScore& b) {
  if (a.Rank != b.Rank) return a.Rank > b.Rank;
  if (a.Values != b.Values) return a.Values > b.Values;
  return a.TypedColumns > b.TypedColumns;
}

// The separator for the first records: the common separator that splits
// them best, or else a byte that splits every line alike; with neither, a
// comma when no value holds one, else no separator.
char SniffSeparator(std::string_view text, bool atEnd, char quote, std::int64_t maxRecords) {
  char best = 0;
  TLayoutScore bestScore;
  for (char sep : kCommonSeparators) {
    TLayoutScore score = ScoreSeparator(text, atEnd, sep, quote, maxRecords);
    if (score.Rank > 0 && (best == 0 || Better(score, bestScore))) {
      best = sep;
      bestScore = score;
    }
  }
  if (bestScore.Rank == 2) return best;
  for (char sep : SteadyBytes(text, maxRecords)) {
    TLayoutScore score = ScoreSeparator(text, atEnd, sep, quote, maxRecords);
    if (score.Rank == 2 && (bestScore.Rank < 2 || Better(score, bestScore))) {
      best = sep;
      bestScore = score;
    }
  }
  if (best != 0) return best;
  TRecord r;
  for (std::size_t pos = 0; pos < text.size();) {
    if (!ScanRecord(text, pos, atEnd, ',', quote, r)) break;
    if (r.Count > 1) return '\0';
    pos = r.Next;
  }
  return ',';
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

  void Add(std::string_view buf, const TRecord& r) {
    if (r.Blank()) return;
    const std::int64_t index = FResult.Records++;
    FResult.Bytes += static_cast<std::int64_t>(r.Next - r.Begin);
    ++FLineEnds[r.LineEnd];
    if (FInvalidRecord < 0 && InvalidUtf8(buf.substr(r.Begin, r.Next - r.Begin), FAscii) != kNpos) {
      FInvalidRecord = index + 1;
    }
    FResult.StandardFits &= !r.QuoteError;
    if (FResult.ClassicFits && !ClassicAgrees(buf, r, FResult.Separator, FResult.Quote, FScratch))
      FResult.ClassicFits = false;
    ++FCounts[r.Count];
    FColumns = std::max(FColumns, r.Count);
    if (index == 0) {
      FFirst.assign(r.Values.begin(), r.Values.begin() + static_cast<std::ptrdiff_t>(r.Count));
      FFirstRepeats.assign(r.Count, false);
      return;
    }
    if (FOptions.HeaderRecords && index < *FOptions.HeaderRecords) return;
    if (FVotes.size() < r.Count) FVotes.resize(r.Count, TTypeVote(FOptions.DateFormatGiven));
    for (std::size_t i = 0; i < r.Count; ++i) {
      FVotes[i].Add(r.Value(i));
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
    FinishLineEnds();
    FinishEncoding();
    FVotes.resize(FColumns, TTypeVote(FOptions.DateFormatGiven));
    FResult.HeaderSniffed = SniffHeader();
    FResult.Header = FOptions.HeaderRecords ? *FOptions.HeaderRecords > 0 : FResult.HeaderSniffed;
    FResult.HeaderRecords =
        FOptions.HeaderRecords ? *FOptions.HeaderRecords : (FResult.Header ? 1 : 0);
    if (!FResult.Header && !FFirst.empty()) {
      for (std::size_t i = 0; i < FFirst.size(); ++i) FVotes[i].Add(FFirst[i]);
    }
    NameColumns();
    UnifyDateFormats();
  }

 private:
  // The first record is a header when its values do not fit the types of
  // the records after it, or when all the columns hold text and its values
  // are distinct names none of which comes back in its column.
  bool SniffHeader() const {
    if (FResult.Records < 2 || FFirst.empty()) return false;
    int typed = 0;
    int misfits = 0;
    for (std::size_t i = 0; i < FFirst.size(); ++i) {
      TTypeGuess guess = FVotes[i].Result();
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
      column.Guess = FVotes[i].Result();
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

  // One date format serves every column of an import: the first date
  // column's. A column of dates in another layout stays text.
  void UnifyDateFormats() {
    std::string format;
    std::string owner;
    for (TSniffedColumn& c : FResult.Columns) {
      TTypeGuess& g = c.Guess;
      if (g.Type != TInferredType::Date && g.Type != TInferredType::DateTime) continue;
      if (format.empty()) {
        format = g.DateFormat;
        owner = c.Name;
      } else if (g.DateFormat != format) {
        g.Note = "dates in " + g.DateFormat + ", but " + owner + " has " + format;
        g.Type = TInferredType::Text;
        g.DateFormat.clear();
      }
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
      FResult.Encoding = "8-bit";
      FResult.EncodingHints.push_back(
          "record " + std::to_string(FInvalidRecord) +
          " is not valid UTF-8 (perhaps Latin-1 or Windows-1252); values are stored byte for "
          "byte");
    } else {
      FResult.Encoding = FAscii ? "ASCII" : "UTF-8";
    }
  }

  const TSniffOptions& FOptions;
  TSniffResult& FResult;
  std::vector<std::string> FScratch;
  std::map<std::size_t, std::int64_t> FCounts;
  std::size_t FColumns = 0;
  std::int64_t FLineEnds[4] = {0, 0, 0, 0};
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
    result.EncodingHints.push_back(
        "UTF-16 text (byte-order mark): values are read byte by byte; convert the file to UTF-8 "
        "first, e.g. iconv -f UTF-16 -t UTF-8");
    return 2;
  }
  std::size_t zeros[2] = {0, 0};
  const std::size_t n = std::min<std::size_t>(start.size(), 4096);
  for (std::size_t i = 0; i < n; ++i) zeros[i % 2] += start[i] == '\0' ? 1 : 0;
  if (n >= 4 && (zeros[0] + zeros[1]) * 4 >= n) {
    result.Encoding = zeros[1] > zeros[0] ? "UTF-16LE" : "UTF-16BE";
    result.EncodingHints.push_back(
        "zero bytes between the characters: UTF-16 text without a byte-order mark; convert the "
        "file to UTF-8 first, e.g. iconv -f UTF-16 -t UTF-8");
  }
  return 0;
}

}  // namespace

TSniffResult Sniff(const TByteSource& source, const TSniffOptions& options) {
  TSniffResult result;
  const bool all = options.SampleRecords < 0;
  const auto byteCap = static_cast<std::size_t>(std::max<std::int64_t>(options.SampleBytes, 1));
  std::string buf;
  bool atEnd = false;
  bool capped = false;
  std::size_t total = 0;  // bytes read so far
  auto fill = [&](std::size_t want) {
    if (!all && total + want > byteCap) want = byteCap > total ? byteCap - total : 0;
    if (want == 0) {
      capped = true;
      return;
    }
    const std::size_t old = buf.size();
    buf.resize(old + want);
    std::size_t got = 0;
    while (got < want) {
      const std::size_t n = source(buf.data() + old + got, want - got);
      if (n == 0) {
        atEnd = true;
        break;
      }
      got += n;
    }
    buf.resize(old + got);
    total += got;
  };
  fill(kFirstRead);
  std::size_t pos = SniffEncodingStart(buf, result);

  const std::int64_t layoutRecords =
      all ? kLayoutRecords : std::min(kLayoutRecords, options.SampleRecords);
  const std::string_view first = std::string_view(buf).substr(pos);
  result.Quote = options.Quote ? *options.Quote : SniffQuote(first);
  result.Separator = options.Separator ? *options.Separator
                                       : SniffSeparator(first, atEnd, result.Quote, layoutRecords);

  TSampleScan scan(options, result);
  TRecord r;
  while (all || result.Records < options.SampleRecords) {
    if (pos == buf.size() && atEnd) break;
    if (ScanRecord(buf, pos, atEnd, result.Separator, result.Quote, r)) {
      scan.Add(buf, r);
      pos = r.Next;
      continue;
    }
    if (capped) break;  // a record cut by the byte limit is not sampled
    buf.erase(0, pos);
    pos = 0;
    std::size_t want = std::max(kRefill, buf.size());
    if (!all && result.Records > 0) {
      const std::int64_t perRecord = result.Bytes / result.Records + 1;
      const std::int64_t left = options.SampleRecords - result.Records;
      want = std::max(want, static_cast<std::size_t>(std::min<std::int64_t>(
                                left * perRecord + left * perRecord / 8, std::int64_t{64} << 20)));
    }
    fill(want);
  }
  result.WholeFile = atEnd && pos == buf.size();
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

TSniffResult SniffFile(const std::string& path, const TSniffOptions& options) {
  const TFileHandle file = OpenFileForRead(path);
  if (!file.Valid()) {
    throw EUsageError("input file '" + path + "' cannot be read (" + std::strerror(GetLastError()) +
                      ")");
  }
  // A compressed file is sniffed by its text, as the import reads it.
  std::string failure;
  std::unique_ptr<korvane::TByteSource> source;
  try {
    source = OpenByteSource(file, {.Decompress = true, .Thread = false});
    if (!options.Encoding.empty()) source = OpenDecodingSource(std::move(source), options.Encoding);
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
  }
  if (!failure.empty()) {
    throw EUsageError("input file '" + path + "' cannot be read (" + failure + ")");
  }
  return result;
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

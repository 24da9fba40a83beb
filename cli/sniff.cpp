#include "cli/sniff.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>

#include "cli/cli_util.h"
#include "cli/sniff_layout.h"
#include "cli/sniff_records.h"
#include "cli/sniff_sample.h"
#include "core/sysutils.h"
#include "import/record_scanner.h"
#include "io/byte_source.h"
#include "io/fileio.h"
#include "io/text_encoding.h"

namespace korvane::cli {

using namespace sniffing;

namespace {

// The separator and the quote character are chosen on the records of the
// first read, at most this many: enough to see the layout, few enough that an
// import that sniffs pays next to nothing for it.
constexpr std::size_t kFirstRead = std::size_t{64} << 10;
// How far the first read goes on for the end of the first record.
constexpr std::size_t kLongestFirstRecord = std::size_t{1} << 20;

// Whether zero bytes stand the same number of times (at least once) on
// nearly every whole line of start: values parted by them, not binary data.
bool ZeroBytesPartLines(std::string_view start) {
  std::map<std::size_t, std::int64_t> lines;  // by zero bytes on the line
  std::int64_t all = 0;
  for (std::size_t at = 0, end; (end = start.find('\n', at)) != std::string_view::npos;
       at = end + 1) {
    ++lines[static_cast<std::size_t>(std::count(start.begin() + static_cast<std::ptrdiff_t>(at),
                                                start.begin() + static_cast<std::ptrdiff_t>(end),
                                                '\0'))];
    ++all;
  }
  for (const auto& [zeros, n] : lines) {
    if (zeros > 0 && n >= 2 && n * 10 >= all * 9) return true;
  }
  return false;
}

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
  // feed and byte 26) in one byte of twenty make binary data, not text, and
  // so do zero bytes unless they part the values of every line alike.
  std::size_t zeros[2] = {0, 0};
  std::size_t controls = 0;
  const std::size_t n = std::min<std::size_t>(start.size(), 4096);
  for (std::size_t i = 0; i < n; ++i) {
    const auto b = static_cast<unsigned char>(start[i]);
    zeros[i % 2] += b == 0 ? 1 : 0;
    const bool blank = b == 0 || std::strchr("\t\n\r\f\v\x1A", b) != nullptr;
    controls += (b < 0x20 && !blank) || b == 0x7F ? 1 : 0;
  }
  if (controls * 20 < n && (zeros[0] + zeros[1] + controls) * 20 >= n &&
      !ZeroBytesPartLines(start.substr(0, n))) {
    controls += zeros[0] + zeros[1];
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

// text's first take bytes, or fewer so that no character is cut at their
// end.
std::size_t WholeCharacters(std::string_view text, std::size_t take) {
  for (std::size_t i = take; i > 0 && take - i < 4; --i) {
    const auto b = static_cast<unsigned char>(text[i - 1]);
    if (b < 0x80) break;
    if (b >= 0xC0) {
      const std::size_t length = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : 2;
      return i - 1 + length > take ? i - 1 : take;
    }
  }
  return take;
}

std::string ReplaceAll(std::string_view text, std::string_view what, std::string_view with) {
  if (what.empty()) return std::string(text);
  std::string out;
  out.reserve(text.size());
  std::size_t from = 0;
  for (std::size_t at = text.find(what); at != std::string_view::npos; at = text.find(what, from)) {
    out.append(text.substr(from, at - from)).append(with);
    from = at + what.size();
  }
  out.append(text.substr(from));
  return out;
}

// Reads a source with every separator of more than one byte replaced by
// a stand-in byte, so that the sample is read as with a one-byte separator.
// A character cut by the end of a read waits for the next read; pending
// holds the bytes read before that come first.
class TStandInSource {
 public:
  TStandInSource(const TByteSource& source, std::string wide, char standIn, std::string pending)
      : FSource(source),
        FWide(std::move(wide)),
        FStandIn(1, standIn),
        FPending(std::move(pending)) {}

  std::size_t operator()(char* buffer, std::size_t size) {
    for (;;) {
      if (!FEnded) {
        const std::size_t have = FPending.size();
        FPending.resize(have + size);
        const std::size_t n = FSource(FPending.data() + have, size);
        FPending.resize(have + n);
        FEnded = n == 0;
      }
      std::size_t take = std::min(FPending.size(), size);
      if (!FEnded) take = WholeCharacters(FPending, take);
      const std::string out = ReplaceAll(FPending.substr(0, take), FWide, FStandIn);
      FPending.erase(0, take);
      std::memcpy(buffer, out.data(), out.size());
      if (!out.empty() || FEnded) return out.size();
    }
  }

 private:
  const TByteSource& FSource;
  std::string FWide;
  std::string FStandIn;
  std::string FPending;
  bool FEnded = false;
};

// A byte the text does not hold, to stand in for a separator of more than
// one byte; '\0' when each candidate is taken.
char StandInFor(std::string_view text) {
  for (const char c : {'\x1f', '\x1e', '\x1d', '\x1c'}) {
    if (text.find(c) == std::string_view::npos) return c;
  }
  return '\0';
}

}  // namespace

TSniffResult Sniff(const TByteSource& source, const TSniffOptions& options) {
  TSniffResult result;
  const bool all = options.SampleRecords < 0;
  const auto byteCap = static_cast<std::size_t>(std::max<std::int64_t>(options.SampleBytes, 1));
  std::string head(all ? kFirstRead : std::min(kFirstRead, byteCap), '\0');
  std::size_t got = 0;
  bool headIsAll = false;
  const auto readHead = [&] {
    while (got < head.size()) {
      const std::size_t n = source(head.data() + got, head.size() - got);
      if (n == 0) {
        headIsAll = true;
        break;
      }
      got += n;
    }
  };
  readHead();
  // A first record longer than the first read (a line of many thousand
  // values) is read whole, within the sample's bytes: the layout is voted
  // on whole records.
  const std::size_t longest = std::min(byteCap, kLongestFirstRecord);
  while (!headIsAll && head.size() < longest &&
         head.find_first_of("\r\n") == std::string::npos) {
    head.resize(std::min(head.size() * 2, longest));
    readHead();
  }
  head.resize(got);
  const std::size_t bodyStart = SniffEncodingStart(head, result);
  std::string_view body = std::string_view(head).substr(bodyStart);

  if (result.Binary) {
    result.WholeFile = headIsAll;
    return result;
  }
  TReadRules skip;
  TLayout layout;
  // The layout vote, with the separator given or standing in.
  const auto vote = [&](std::optional<char> separator) {
    skip = {options.SkipLines.value_or(0), options.Comment.value_or('\0'),
            options.Escape.value_or('\0'), options.KeepStrayQuotes.value_or(false)};
    // Two lines or more starting with # open the input: comments, whatever
    // the layout, which they would mislead.
    if (!options.Comment && LeadingCommentLines(body) >= 2) skip.Comment = '#';
    const bool tryEscape = !options.Escape;
    const bool tryStray = !options.KeepStrayQuotes;
    layout = SniffLayout(body, headIsAll, separator, options.Quote, skip, tryEscape, tryStray);
    // One line starting with # over records that nothing splits: a comment
    // where leaving it out lets a separator split them (a few records of
    // blank-separated numbers under a line of prose would otherwise miss
    // the share of alike records the blank needs).
    if (!options.Comment && skip.Comment == '\0' && layout.Score.Values < 2 &&
        LeadingCommentLines(body) == 1) {
      TReadRules commented = skip;
      commented.Comment = '#';
      TLayout without =
          SniffLayout(body, headIsAll, separator, options.Quote, commented, tryEscape, tryStray);
      if (without.Score.Values >= 2) {
        skip = commented;
        layout = without;
      }
    }
    if (!options.SkipLines || !options.Comment) {
      // Lines before the data found under the layout: the layout is voted
      // again without them, which they may have misled.
      TReadRules rules = skip;
      rules.Escape = layout.Escape;
      rules.KeepStrayQuotes = layout.KeepStrayQuotes;
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
        layout = SniffLayout(body, headIsAll, separator, options.Quote, skip, tryEscape, tryStray);
      }
    }
    skip.Escape = layout.Escape;
    skip.KeepStrayQuotes = options.KeepStrayQuotes.value_or(layout.KeepStrayQuotes);
  };
  // A separator of more than one byte is read through a byte that stands in
  // for it.
  std::string wide = options.WideSeparator;
  std::vector<std::size_t> fixed = options.FixedWidths;
  if (!fixed.empty() || options.FixedGiven) {
    skip = {options.SkipLines.value_or(0), options.Comment.value_or('\0'), '\0', false};
    if (fixed.empty()) fixed = FixedColumns(body, headIsAll, skip, options.FixedWidthUnit, true);
  } else if (wide.empty()) {
    vote(options.Separator);
    if (!options.Separator) {
      result.UnsplitSeparator = UnsplitSeparator(body, layout);
      if (NeedsStandIn(result.UnsplitSeparator)) wide = std::move(result.UnsplitSeparator);
    }
  }
  const char standIn = wide.empty() ? '\0' : StandInFor(body);
  std::optional<TStandInSource> standInSource;
  if (standIn != '\0') {
    // A character the head cuts at its end is read with the rest.
    std::string text(body);
    const std::size_t whole = headIsAll ? text.size() : WholeCharacters(text, text.size());
    standInSource.emplace(source, wide, standIn, text.substr(whole));
    text.resize(whole);
    head = ReplaceAll(text, wide, std::string_view(&standIn, 1));
    body = head;
    vote(standIn);
    result.UnsplitSeparator.clear();
    result.WideSeparator = wide;
  } else if (!options.WideSeparator.empty()) {
    vote(options.Separator);
  } else if (!wide.empty()) {
    result.UnsplitSeparator = wide;  // no byte is free to stand in for it
  }
  // Columns at the same places on every line, where no separator but the
  // blank splits the first records, and it leaves a quarter of them or
  // more ragged: a fixed-width file.
  const bool consistent =
      layout.Score.Values >= 2 && layout.Score.Fitting * 4 >= layout.Score.Records * 3;
  if (fixed.empty() && !options.Separator && !options.Quote && options.WideSeparator.empty() &&
      wide.empty() && !consistent &&
      (layout.Separator == ' ' || layout.Separator == '\0' || layout.Score.Values < 2)) {
    // Where no separator splits the records, columns of one word each are
    // fixed-width too, under a line starting with # that opens the input
    // (a comment: no column of the data lines up under it) if need be.
    const bool unsplit = layout.Score.Values < 2;
    fixed = FixedColumns(body, headIsAll, skip, options.FixedWidthUnit, false, unsplit);
    if (fixed.empty() && unsplit && !options.Comment && skip.Comment == '\0' &&
        LeadingCommentLines(body) == 1) {
      TReadRules commented = skip;
      commented.Comment = '#';
      fixed = FixedColumns(body, headIsAll, commented, options.FixedWidthUnit, false, true);
      if (!fixed.empty()) skip.Comment = '#';
    }
  }
  if (!fixed.empty()) {
    layout.Separator = '\0';
    layout.Quote = '\0';
    skip.Escape = '\0';
    skip.KeepStrayQuotes = false;
    result.FixedWidths = fixed;
    result.FixedWidthUnit = options.FixedWidthUnit;
  }
  result.Separator = layout.Separator;
  result.Quote = layout.Quote;
  result.SkipLines = skip.Lines;
  result.Comment = skip.Comment;
  result.Escape = skip.Escape;
  result.KeepStrayQuotes = skip.KeepStrayQuotes && result.Quote != '\0';

  const TByteSource rest = standInSource ? TByteSource(std::ref(*standInSource)) : source;
  TSampleSource sample(body, headIsAll, rest, all ? 0 : byteCap);
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
    if (!fixed.empty()) CutFixedColumns(r, fixed, options.FixedWidthUnit);
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
  // Shared: imports and sniffs of one file read it side by side.
  const TFileHandle file = OpenFileForSharedRead(path);
  if (!file.Valid()) {
    throw EUsageError(InputName(path) + " cannot be read" + OpenFailureText(GetLastError()));
  }
  std::string failure;
  std::string damage;
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
            (e.ErrorCode != 0 ? failure : damage) = e.what();
            return 0;
          }
        },
        options);
    encoding = source->TextEncoding();
  }
  if (!damage.empty()) {
    constexpr std::string_view kReadFailed = "Read failed: ";
    result.Damage = damage.starts_with(kReadFailed) ? damage.substr(kReadFailed.size()) : damage;
    result.WholeFile = false;
  }
  if (!failure.empty()) {
    throw EUsageError("input file '" + path + "' cannot be read (" + failure + ")");
  }
  return result;
}

}  // namespace

TKeptHead::TKeptHead(const std::string& path, const TSniffOptions& options) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0 || S_ISREG(info.st_mode)) return;
  const bool all = options.SampleRecords < 0 || options.SampleBytes > INT64_MAX / 2;
  const std::uint64_t limit =
      all ? UINT64_MAX : static_cast<std::uint64_t>(options.SampleBytes) + kFirstRead;
  const int in = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return;  // the sniff itself says why it cannot read it
  const char* dir = std::getenv("TMPDIR");
  std::string name =
      std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/korvane-sniff-XXXXXX";
  const int out = ::mkstemp(name.data());
  if (out < 0) {
    const int error = errno;
    ::close(in);
    throw EUsageError("standard input cannot be kept for sniffing in " + name + " (" +
                      std::strerror(error) + ")");
  }
  FPath = name;
  std::string buffer(kFirstRead, '\0');
  std::uint64_t kept = 0;
  int error = 0;
  while (kept < limit) {
    const ssize_t n =
        ::read(in, buffer.data(),
               static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), limit - kept)));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = n < 0 ? errno : 0;
      break;
    }
    for (ssize_t at = 0; at < n && error == 0;) {
      const ssize_t w = ::write(out, buffer.data() + at, static_cast<std::size_t>(n - at));
      if (w < 0 && errno != EINTR) error = errno;
      at += w > 0 ? w : 0;
    }
    if (error != 0) break;
    kept += static_cast<std::uint64_t>(n);
  }
  ::close(in);
  ::close(out);
  if (error != 0) {
    throw EUsageError(InputName(path) + " cannot be read (" + std::strerror(error) + ")");
  }
}

TKeptHead::~TKeptHead() {
  if (!FPath.empty()) ::unlink(FPath.c_str());
}

TSniffResult SniffFile(const std::string& given, const TSniffOptions& options) {
  const TKeptHead head(given, options);
  const std::string& path = head.Path(given);
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

std::vector<std::string> ColumnDefinitions(const TSniffResult& result,
                                           std::string_view exactDecimal) {
  std::vector<std::string> columns;
  int position = 0;
  for (const TSniffedColumn& c : result.Columns) {
    columns.push_back(ColumnDefinition(c.Name, SqlTypeName(c.Guess, exactDecimal), ++position));
  }
  return columns;
}

std::string TooWideRecord(const TSniffResult& result, std::size_t maxColumns) {
  return "the record at line " + std::to_string(result.WidestLine) + " has " +
         (result.WidestRecord > kMaxSniffedColumns ? "at least " : "") +
         std::to_string(result.WidestRecord) + " values, and an import takes " +
         std::to_string(maxColumns) + " columns at most";
}

std::string FixedWidthsText(const TSniffResult& result) {
  std::string text;
  for (const std::size_t width : result.FixedWidths) {
    if (!text.empty()) text += ',';
    text += std::to_string(width);
  }
  return text;
}

std::string SeparatorText(char separator) {
  if (separator == '\0') return "none";
  if (separator == '\t') return "tab";
  if (separator == ' ') return "space";
  return std::string(1, separator);
}

}  // namespace korvane::cli

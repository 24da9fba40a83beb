// Works out how a delimited text file is laid out from a sample of its
// records: the separator, the quote character and which text rules read it,
// whether the first record is a header, the line ends, hints about its
// encoding, and a name and a type for every column. `korvane sniff` prints
// the result; `korvane import` uses it when no separator is given and for the
// columns of a table it creates without --columns.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/type_inference.h"
#include "components/kvenums.h"

namespace korvane::cli {

// The most columns a sniffed table is given: as many as a SQLite table can
// have at most (PostgreSQL's hold fewer). A sample with a wider record names
// no columns.
constexpr std::size_t kMaxSniffedColumns = 32767;

struct TSniffOptions {
  // Records in the sample (the header included); -1 takes every record.
  std::int64_t SampleRecords = 20000;
  // Bytes read at most for the sample; ignored when SampleRecords is -1.
  std::int64_t SampleBytes = std::int64_t{8} << 20;
  // Given separator and quote: taken as they are instead of being sniffed.
  // A separator of '\0' means none (one value per record), a quote of '\0'
  // no quote character.
  std::optional<char> Separator;
  // A given separator of more than one byte (a UTF-8 character) or a zero
  // byte; it overrides Separator.
  std::string WideSeparator;
  std::optional<char> Quote;
  // Given widths in bytes of the columns of a fixed-width input (as import
  // --fixed --widths cuts it): no separator or quote is sniffed. Empty: a
  // fixed-width layout may be found where no separator splits the first
  // records alike.
  std::vector<std::size_t> FixedWidths;
  // What fixed widths count, given or found: characters (as the command
  // reads them), or bytes.
  TFixedWidthUnit FixedWidthUnit = fuCharacters;
  // The input is said to be fixed-width, its widths not given: they are
  // found wherever the lines stand in columns (empty where they do not).
  bool FixedGiven = false;
  // Given lines to leave out before the data, and a given comment
  // character ('\0': none), as the import's SkipLines and CommentChar; unset,
  // the sample tells.
  std::optional<std::int64_t> SkipLines;
  std::optional<char> Comment;
  // A given escape character ('\0': none); unset, a backslash is tried
  // where the sample shows one before a quote, a separator or a line end.
  std::optional<char> Escape;
  // Whether stray quotes inside quoted values are characters of the values
  // (the import's KeepStrayQuotes), given; unset, tried where the sample
  // shows text after a quoted value's closing quote.
  std::optional<bool> KeepStrayQuotes;
  // Header records given: the first of them names the columns and the rest
  // of the records vote on the types. Unset: the sample tells.
  std::optional<int> HeaderRecords;
  // Trailer records given: the last ones of the input do not vote on the
  // types (when the sample reaches its end).
  std::size_t TrailerRecords = 0;
  // Dates are read with the format settings in force, not sniffed.
  bool DateFormatGiven = false;
  // Numbers are read with the format settings' decimal and thousands
  // separators only. Unset, a file not separated by commas may be found to
  // write its numbers with a decimal comma and thousands points.
  bool NumberFormatGiven = false;
  // The file's encoding: its text is sniffed as UTF-8 converted from it, as
  // the import reads it. Empty: the bytes as they are.
  std::string Encoding;
};

struct TSniffedColumn {
  std::string Name;
  std::string HeaderName;  // the value in the header record, when there is one
  TTypeGuess Guess;
};

struct TSniffResult {
  char Separator = ',';  // '\0': none, each record is one value
  char Quote = '"';      // '\0': no quote character
  // The widths in bytes of the columns of a fixed-width input, given or
  // found (Separator and Quote are then '\0'); empty for a delimited one.
  std::vector<std::size_t> FixedWidths;
  TFixedWidthUnit FixedWidthUnit = fuCharacters;  // what they count
  // True when every sampled record splits into the same number of values
  // (at least two) with Separator.
  bool SeparatorConsistent = false;
  // Records of the sample with a number of values other than most records,
  // the lines the first few of them start on, and the share of the records
  // that have as many values as most (1 when all do).
  std::int64_t RaggedRecords = 0;
  std::vector<std::int64_t> MisfitLines;
  double Confidence = 0;
  // The number of values most records have. The columns are as many as the
  // widest record has values: a shorter record gets NULL for the rest.
  std::size_t MostValues = 0;
  // The values of the widest record of the sample and the line it starts
  // on. Values are counted up to kMaxSniffedColumns + 1: a count above
  // kMaxSniffedColumns means at least that many.
  std::size_t WidestRecord = 0;
  std::int64_t WidestLine = 0;
  // A character that would split the records into more values but that the
  // sample could not be split on: one that needs a byte to stand in for it
  // where the sample holds every such byte. Empty when there is none.
  std::string UnsplitSeparator;
  // The separator when it is a UTF-8 character of more than one byte or a
  // zero byte (given or found); Separator is then a byte the sample does not
  // hold, which stood in for it while the sample was read.
  std::string WideSeparator;
  // Which text rules read the sample as intended: the standard rules
  // (quotes only around whole values, doubled quotes inside them, line breaks
  // inside quotes are data) and the classic ones (every line a record, every
  // quote character a toggle, no escape).
  bool StandardFits = true;
  bool ClassicFits = true;
  // The numbers are written with a decimal comma and thousands points
  // (1.234,5): the import reads them with --decimal-separator , and
  // --thousand-separator . (the columns' guesses say DecimalComma).
  bool DecimalComma = false;
  // Lines left out before the data (a title, notes) and the comment
  // character ('\0': none), given or found: a run of lines starting with #
  // before the data makes # the comment character, and lines of one value
  // before the first record of the width most records have are skipped.
  std::int64_t SkipLines = 0;
  char Comment = '\0';
  // The escape character ('\0': none), given or found: a backslash when
  // the sample holds one before a quote, a separator or a line end and
  // splits better with it.
  char Escape = '\0';
  // Quotes inside quoted values that neither another quote, the separator
  // nor a line end follows are characters of the values, given or found:
  // where the sample holds such quotes and splits better so.
  bool KeepStrayQuotes = false;
  bool Header = false;         // the first record names the columns
  bool HeaderSniffed = false;  // the sample says the first record is a header
  int HeaderRecords = 0;       // records taken as the header (0 or more)
  std::string LineEnds;        // "LF", "CRLF", "CR", "mixed" or "none"
  std::string Encoding;        // "ASCII", "UTF-8", "UTF-16LE", "UTF-16BE" or "8-bit"
  std::vector<std::string> EncodingHints;
  // The sample is not valid UTF-8: the 8-bit encoding that reads it,
  // "cp1252" when its bytes 0x80 to 0x9F are all signs there, else "latin1".
  std::string EightBitEncoding;
  // The --encoding an import of the file needs (empty: none), when the
  // sniff found it rather than being given one.
  std::string SuggestedEncoding;
  bool ByteOrderMark = false;
  // The input is binary data (zero or control bytes), not text: nothing
  // else is sniffed.
  bool Binary = false;
  std::int64_t Records = 0;  // records sampled, the header included
  std::int64_t Bytes = 0;    // bytes those records took
  bool WholeFile = false;    // the sample reached the end of the input
  // Why the compressed or encoded data ends before the sample does (cut
  // short, damaged), as an import fails on it; empty when it does not.
  std::string Damage;
  std::vector<TSniffedColumn> Columns;
  // One line per header name that was made unique ("column 4: "amount" is
  // amount_2").
  std::vector<std::string> Renamed;
};

// Reads up to size bytes into buffer; returns how many, 0 at the end.
using TByteSource = std::function<std::size_t(char* buffer, std::size_t size)>;

// Sniffs the input that source gives.
TSniffResult Sniff(const TByteSource& source, const TSniffOptions& options);
// Sniffs text as a whole input.
TSniffResult SniffText(std::string_view text, const TSniffOptions& options);
// Sniffs a file; raises EUsageError when it cannot be read.
TSniffResult SniffFile(const std::string& path, const TSniffOptions& options);

// Standard input or a pipe can be read once only, and a text not in UTF-8
// is sniffed twice: its first bytes (the sample's and a first read more, so
// that the sample knows where it was cut; all of them for a sample of every
// record) are kept in a file of their own, sniffed instead and removed when
// this goes. A regular file is sniffed in place.
class TKeptHead {
 public:
  // Keeps the first bytes of path when it is no regular file; raises
  // EUsageError when they cannot be read or kept.
  TKeptHead(const std::string& path, const TSniffOptions& options);
  ~TKeptHead();
  TKeptHead(const TKeptHead&) = delete;
  TKeptHead& operator=(const TKeptHead&) = delete;
  // The file to sniff: the kept bytes, else the path as given.
  const std::string& Path(const std::string& path) const { return FPath.empty() ? path : FPath; }
  // Whether bytes were kept (path was no regular file).
  bool Kept() const { return !FPath.empty(); }

 private:
  std::string FPath;
};

// Column definitions for a new table, in order: quoted name and type, with
// exactDecimal for decimals (see SqlTypeName).
std::vector<std::string> ColumnDefinitions(const TSniffResult& result,
                                           std::string_view exactDecimal = "DECIMAL_TEXT");

// Says that the widest record of result has more values than a table can
// have columns (maxColumns, a database's own limit where it has a lower
// one), and how many it has (at least).
std::string TooWideRecord(const TSniffResult& result,
                          std::size_t maxColumns = kMaxSniffedColumns);

// The widths of a fixed-width result as --widths takes them: 5,10,12.
std::string FixedWidthsText(const TSniffResult& result);

// The separator as the user writes it: ';', tab, none.
std::string SeparatorText(char separator);

// Whether the sample is read with a byte standing in for separator: a
// UTF-8 character of more than one byte, or a zero byte (which stands for
// no separator among the sniffer's bytes).
inline bool NeedsStandIn(std::string_view separator) {
  return separator.size() > 1 || separator == std::string_view("\0", 1);
}

// Such a separator as --separator takes it: nul for a zero byte.
inline std::string StandInSeparatorWord(std::string_view separator) {
  return separator == std::string_view("\0", 1) ? "nul" : std::string(separator);
}

}  // namespace korvane::cli

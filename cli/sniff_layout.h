// The layout vote of the sniffer: the separator, the quote and the escape
// character that split the first records of a sample best, and the lines
// (comments, a title) that stand before its data.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "cli/sniff_records.h"
#include "components/kvenums.h"

namespace korvane::cli::sniffing {

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
  // Records with text after a quoted value's closing quote ("a "b" c"),
  // and records with a quote never closed.
  std::int64_t TextAfterQuote = 0;
  std::int64_t Unclosed = 0;
};

struct TLayout {
  char Separator = ',';
  char Quote = '"';
  TLayoutScore Score;
  bool Late = false;   // a colon or a space, which stand inside values too
  char Escape = '\0';  // a backslash found escaping, else as given
  // Quotes inside quoted values followed by other text are characters of
  // the values (found, else as given).
  bool KeepStrayQuotes = false;
};

// The separator and quote that split the first records best. With none
// that splits them into two or more values, one value per record: the
// comma when no value holds one (the command's own separator then reads the
// file the same), else no separator.
// tryEscape: a backslash may be found escaping; tryStrayQuotes: quotes
// inside quoted values may be found to be characters of the values.
TLayout SniffLayout(std::string_view head, bool headIsAll, std::optional<char> givenSep,
                    std::optional<char> givenQuote, TReadRules skip, bool tryEscape,
                    bool tryStrayQuotes);

// A character the import cannot split on that stands the same number of
// times (at least once) on nearly every line of the first records of head,
// splitting them into more values than layout does: a character of more than
// one byte in UTF-8, or a zero byte. A sample of one line takes only a
// sign (an arrow, a box-drawing line, a pictograph ...) that stands on it
// twice or more. Empty when there is none.
std::string UnsplitSeparator(std::string_view head, const TLayout& layout);

// The widths in bytes or characters (unit) of the columns a fixed-width
// text stands in, as import --fixed --widths cuts them, from the first
// records of head; empty
// where it does not stand so. A column starts where a run of positions
// that are blank on every line ends (the first at the line's start, with
// the blanks before it), so that right-aligned numbers, empty
// values, lines shorter than the last column and a header of names over
// the columns fit (a column the header leaves blank is part of the one
// before it); the last column reaches the end of the longest line. Taken
// only where reading the blanks as separators would cut values: where a
// value below the first record holds a blank (unless the text is known to
// be fixed-width, given). Columns of one word each are taken only with
// oneWord (no separator splits the records: the blank would leave them
// ragged where padding varies, as a column of signed numbers does).
std::vector<std::size_t> FixedColumns(std::string_view head, bool headIsAll, TReadRules skip,
                                      TFixedWidthUnit unit, bool given = false,
                                      bool oneWord = false);

// The values of a record read as one value per line, cut into the columns
// of widths (bytes or characters) as the import cuts them: blanks around
// each value left out, text past the last column one more value.
void CutFixedColumns(TRecord& r, const std::vector<std::size_t>& widths, TFixedWidthUnit unit);

// The lines starting with # that open text, blank lines between them
// aside.
int LeadingCommentLines(std::string_view text);

// Lines before the data under a layout: a run of lines starting with #
// makes # the comment character (unless it is one line of as many values
// as the data's records, which is a header naming its first column #...),
// and lines of one value before the first record of the data's width are
// a title, skipped with the lines before them. A few records at most.
TReadRules SniffLeadingLines(std::string_view head, bool headIsAll, const TLayout& layout,
                             TReadRules given);

}  // namespace korvane::cli::sniffing

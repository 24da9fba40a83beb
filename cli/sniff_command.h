// `korvane sniff FILE`, and what `korvane import` takes from a sniff: the
// separator and quote when none is given, the columns of a table it creates
// without --columns.
#pragma once

#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "cli/sniff.h"

namespace CLI {
class App;
}

namespace korvane {
class TCSVImport;
}

namespace korvane::cli {

struct TSniffCommandOptions {
  std::string File;
  std::string Sample;
  std::string Separator;
  std::string Quote;
  std::string DateFormat;
  std::string DecimalSeparator;
  std::string ThousandSeparator;
  std::string Encoding;
  std::string Comment;
  std::string SkipLines;
  std::string Escape;
  bool KeepStrayQuotes = false;
  bool ByteWidths = false;  // fixed-width columns line up by bytes
  // The database the suggested command imports into (--db); empty: a new
  // SQLite file named after the table.
  std::string Database;
  bool Json = false;
};

// Adds the sniff subcommand to app.
CLI::App* AddSniffCommand(CLI::App& app, TSniffCommandOptions& o);
// Adds --sample to a subcommand.
void AddSampleOption(CLI::App* command, std::string& sample);
int RunSniff(const TSniffCommandOptions& o, std::ostream& out, std::ostream& err);

// True when one of sets ("Name=Value") sets the property name.
bool SetsProperty(const std::vector<std::string>& sets, std::string_view name);

struct TImportSniffRequest {
  std::string Sample;        // --sample as given
  bool LayoutGiven = false;  // the separator (or fixed widths) was given
  bool QuoteGiven = false;   // the quote character was given
  bool InferTypes = false;   // --create without --columns
  bool DateFormatGiven = false;
  // Sniff the date layouts of the columns too (their votes come in the
  // result also when InferTypes is false).
  bool DateLayouts = false;
  bool NumberFormatGiven = false;  // a decimal or thousands separator was given
  bool SkipLinesGiven = false;
  bool CommentGiven = false;
  bool EscapeGiven = false;
  bool StrayQuotesGiven = false;
  // --header was given; else, inferring types, the sample says whether the
  // first record is a header.
  bool HeaderGiven = false;
  // The file to sniff in place of the import's input: the first bytes of
  // standard input kept (TKeptHead), which the default sample reads.
  std::string SniffPath;
  // What the widths of fixed-width columns found count.
  TFixedWidthUnit WidthUnit = fuCharacters;
};

// The sample --sample asks for (empty: the default).
TSniffOptions SniffSampleOptions(const std::string& sample);

struct TImportSniff {
  // The sniff, when types are to be inferred from it.
  std::optional<TSniffResult> Result;
  // What the command says on stderr when the run goes ahead: the layout it
  // chose.
  std::vector<std::string> Notices;
  // The sample decided whether stray quotes are kept: neither given nor
  // left as they stood (a layout given, an input that is no regular file).
  bool StrayQuotesSniffed = false;
};

// Sniffs the import's input file, a regular file, when the request needs
// it. Without a given separator, sets the import's separator (and quote,
// unless given) from the sample, and the lines it leaves out before the data
// (SkipLines, CommentChar) unless given.
TImportSniff SniffForImport(TCSVImport& import, const TImportSniffRequest& request);

// The column definitions of a new table from a sniff. Without a given date
// format, the format the date columns were found in becomes the format
// settings' date format for the run; numbers found with a decimal comma
// (never when a separator of numbers was given) make the format settings'
// separators a decimal comma and thousands points.
// Decimals a double would round take exactDecimal, the target database's
// type that keeps their digits.
std::vector<std::string> InferredColumns(const TSniffResult& result, bool dateFormatGiven,
                                         std::string_view exactDecimal);

}  // namespace korvane::cli

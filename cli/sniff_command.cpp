#include "cli/sniff_command.h"

#include <sys/stat.h>

#include <CLI/CLI.hpp>
#include <charconv>
#include <nlohmann/json.hpp>

#include "cli/cli_command.h"
#include "cli/cli_database.h"
#include "cli/cli_util.h"
#include "core/classes.h"
#include "core/sysutils.h"
#include "core/utf8_head.h"
#include "import/kvcsvimp.h"
#include "io/text_encoding.h"
#include "text/formats.h"

namespace korvane::cli {

namespace {

using json = nlohmann::json;

// Records an import samples when it sniffs only the separator and quote.
constexpr std::int64_t kLayoutSample = 1000;

// --sample: a number of records, or "all" (-1). Empty: the default.
TSniffOptions SampleOptions(const std::string& sample) {
  TSniffOptions options;
  if (sample.empty()) return options;
  if (SameText(sample, "all")) {
    options.SampleRecords = -1;
    return options;
  }
  std::int64_t n = 0;
  auto [end, ec] = std::from_chars(sample.data(), sample.data() + sample.size(), n);
  if (ec != std::errc() || end != sample.data() + sample.size() || n < 1) {
    throw EUsageError("--sample '" + sample + "': give a number of records, 1 or more, or all");
  }
  options.SampleRecords = n;
  options.SampleBytes = INT64_MAX;  // the records asked for, however long
  return options;
}

}  // namespace

TSniffOptions SniffSampleOptions(const std::string& sample) { return SampleOptions(sample); }

namespace {

char SeparatorChar(const TSeparatorChoice& choice) {
  switch (choice.Separator) {
    case fspPipe:
      return '|';
    case fspTab:
      return '\t';
    case fspComma:
      return ',';
    case fspCustom:
    case fspNone:
      break;
  }
  if (!choice.Exact.empty()) return choice.Exact[0];
  return choice.Custom.empty() ? '\0' : choice.Custom[0];
}

// The separator as --separator takes it.
std::string SeparatorGiven(const TSniffResult& r) {
  return r.WideSeparator.empty() ? SeparatorText(r.Separator)
                                 : StandInSeparatorWord(r.WideSeparator);
}

char QuoteChar(TFieldDelimiter quote) {
  return quote == fdlDouble ? '"' : quote == fdlSingle ? '\'' : '\0';
}

// A word for a shell: as it stands when it is plain, else in single quotes.
std::string ShellWord(std::string_view word) {
  const bool plain = !word.empty() && word.find_first_not_of(
                                          "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                          "0123456789_./:=,@%+-") == std::string_view::npos;
  if (plain) return std::string(word);
  std::string quoted = "'";
  for (char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// A table name from the file's name: letters, digits and underscores.
std::string TableName(const std::string& file) {
  if (file == "-") return "stdin";
  std::string base = file.substr(file.find_last_of('/') + 1);
  base = base.substr(0, base.find('.'));
  std::string name;
  for (char c : base) {
    const bool word = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    name += word ? c : '_';
  }
  if (name.empty() || (name[0] >= '0' && name[0] <= '9')) name = "t_" + name;
  return name;
}

std::string ImportCommandLine(const TSniffResult& r, const TSniffCommandOptions& o) {
  const std::string& file = o.File;
  const std::string& dateFormatGiven = o.DateFormat;
  const std::string& encoding = o.Encoding;
  const std::string table = TableName(file);
  std::string line = "korvane import " + ShellWord(file) + " --db " +
                     ShellWord(o.Database.empty() ? table + ".db" : LocationToRepeat(o.Database)) +
                     " --table " +
                     table;
  if (!r.FixedWidths.empty()) {
    line += " --fixed --widths " + FixedWidthsText(r);
    if (r.FixedWidthUnit == fuBytes) line += " --byte-widths";
  } else if (!r.WideSeparator.empty()) {
    line += " -s " + ShellWord(StandInSeparatorWord(r.WideSeparator));
  } else if (r.Separator != ',') {
    line +=
        " -s " + (r.Separator == '|' ? std::string("pipe") : ShellWord(SeparatorText(r.Separator)));
  }
  if (r.Quote != '"' && r.FixedWidths.empty()) {
    line += r.Quote == '\'' ? " -q single" : " -q none";
  }
  const std::string& textEncoding = encoding.empty() ? r.SuggestedEncoding : encoding;
  if (!textEncoding.empty()) line += " --encoding " + ShellWord(textEncoding);
  // The command reads standard CSV unless told otherwise.
  if (!r.StandardFits && r.ClassicFits) line += " --dialect classic";
  if (r.SkipLines > 0) line += " --skip-lines " + std::to_string(r.SkipLines);
  if (r.Comment != '\0') line += " --comment " + ShellWord(std::string(1, r.Comment));
  if (r.Escape != '\0') line += " --escape " + ShellWord(std::string(1, r.Escape));
  if (r.KeepStrayQuotes) line += " --keep-stray-quotes";
  if (r.Header) line += " --header";
  std::string columns;
  for (const std::string& c : ColumnDefinitions(r, ExactDecimalTypeFor(o.Database))) {
    columns += (columns.empty() ? "" : ", ") + c;
  }
  line += " --create --columns " + ShellWord(columns);
  // One layout for every date column is the run's; layouts that differ are
  // each their column's, ISO 8601 left to the default.
  std::string dateFormat = dateFormatGiven;
  bool one = true;
  for (const TSniffedColumn& c : r.Columns) {
    if (c.Guess.DateFormat.empty() || !dateFormatGiven.empty()) continue;
    if (dateFormat.empty()) dateFormat = c.Guess.DateFormat;
    one = one && c.Guess.DateFormat == dateFormat;
  }
  if (!one) {
    for (const TSniffedColumn& c : r.Columns) {
      if (c.Guess.DateFormat.empty() || c.Guess.DateFormat == "yyyy-mm-dd") continue;
      line += " --column-format " + ShellWord(c.Name + "=" + c.Guess.DateFormat);
    }
  } else if (!dateFormat.empty() && dateFormat != "yyyy-mm-dd") {
    line += " --date-format " + ShellWord(dateFormat);
  }
  if (r.DecimalComma) line += " --decimal-separator , --thousand-separator .";
  if (!o.DecimalSeparator.empty()) line += " --decimal-separator " + ShellWord(o.DecimalSeparator);
  if (!o.ThousandSeparator.empty()) {
    line += " --thousand-separator " + ShellWord(o.ThousandSeparator);
  }
  return line;
}

std::string Shown(char c) {
  return c == '\t' ? "tab" : c == ' ' ? "space" : c == '\0' ? "none" : "'" + std::string(1, c) + "'";
}

std::string TextRules(const TSniffResult& r) {
  if (r.StandardFits && r.ClassicFits) return "standard and classic read the sample alike";
  if (r.StandardFits) {
    return "standard (quoted values hold line breaks, doubled quotes or quotes inside values, "
           "which the classic rules read otherwise)";
  }
  if (r.ClassicFits) return "classic (a quote is never closed, or text follows a closing quote)";
  return "neither reads the sample cleanly (unclosed quotes, or text after a closing quote)";
}

json TextRulesJson(const TSniffResult& r) {
  json rules = json::array();
  if (r.StandardFits) rules.push_back("standard");
  if (r.ClassicFits) rules.push_back("classic");
  return rules;
}

json SniffJson(const TSniffResult& r, const std::string& file, const std::string& command,
               std::string_view exactDecimal) {
  json columns = json::array();
  for (const TSniffedColumn& c : r.Columns) {
    json column = {{"name", JsonText(c.Name)},
                   {"type", std::string(TypeName(c.Guess.Type))},
                   {"sqlType", std::string(SqlTypeName(c.Guess, exactDecimal))},
                   {"values", c.Guess.Values}};
    if (!c.Guess.DateFormat.empty()) column["dateFormat"] = c.Guess.DateFormat;
    if (!c.Guess.Note.empty()) column["note"] = c.Guess.Note;
    if (r.Header) column["headerName"] = JsonText(c.HeaderName);
    columns.push_back(std::move(column));
  }
  json renamed = json::array();
  for (const std::string& s : r.Renamed) renamed.push_back(JsonText(s));
  auto character = [](char c) { return c == '\0' ? json(nullptr) : json(std::string(1, c)); };
  return {{"file", JsonText(file)},
          {"sample", {{"records", r.Records}, {"bytes", r.Bytes}, {"wholeFile", r.WholeFile}}},
          {"damage", r.Damage.empty() ? json(nullptr) : json(r.Damage)},
          {"separator",
           r.WideSeparator.empty() ? character(r.Separator) : json(JsonText(r.WideSeparator))},
          {"fixedWidths", r.FixedWidths.empty() ? json(nullptr) : json(r.FixedWidths)},
          {"fixedWidthUnit", r.FixedWidths.empty()         ? json(nullptr)
                             : r.FixedWidthUnit == fuBytes ? json("bytes")
                                                           : json("characters")},
          {"separatorConsistent", r.SeparatorConsistent},
          {"raggedRecords", r.RaggedRecords},
          {"misfitLines", r.MisfitLines},
          {"mostValues", r.MostValues},
          {"unsplitSeparator",
           r.UnsplitSeparator.empty() ? json(nullptr) : json(JsonText(r.UnsplitSeparator))},
          {"confidence", r.Confidence},
          {"decimalComma", r.DecimalComma},
          {"skipLines", r.SkipLines},
          {"comment", character(r.Comment)},
          {"escape", character(r.Escape)},
          {"quote", character(r.Quote)},
          {"keepStrayQuotes", r.KeepStrayQuotes},
          {"textRules", TextRulesJson(r)},
          {"header", r.Header},
          {"lineEnds", r.LineEnds},
          {"encoding", r.Encoding},
          {"byteOrderMark", r.ByteOrderMark},
          {"binary", r.Binary},
          {"encodingHints", r.EncodingHints},
          {"columns", std::move(columns)},
          {"renamed", std::move(renamed)},
          {"command", JsonText(command)}};
}

// tooWide: why the columns are not listed, where the database takes fewer.
void PrintSniff(std::ostream& out, const TSniffResult& r, const std::string& file,
                const std::string& command, std::string_view exactDecimal,
                const std::string& tooWide) {
  out << "File:        " << file << '\n';
  out << "Sample:      " << r.Records << (r.Records == 1 ? " record, " : " records, ") << r.Bytes
      << " bytes"
      << (r.WholeFile          ? " (the whole file)\n"
          : !r.Damage.empty() ? " (the file up to where its data breaks off)\n"
                              : " (the start of the file; --sample all reads every record)\n");
  if (!r.Damage.empty()) {
    out << "Damaged:     " << r.Damage << "; an import fails there (exit status 1)\n";
  }
  out << "Separator:   "
      << (!r.FixedWidths.empty() ? "none, fixed width: columns of " + FixedWidthsText(r) +
                                       (r.FixedWidthUnit == fuBytes ? " bytes" : " characters")
          : r.WideSeparator.empty()                 ? Shown(r.Separator)
          : r.WideSeparator == std::string(1, '\0') ? std::string("zero byte (nul)")
                                                    : "'" + r.WideSeparator + "'");
  if (r.SeparatorConsistent) {
    out << " (" << r.Columns.size() << " values in every record)";
  } else if (r.RaggedRecords > 0) {
    // How sure the choice is: the share of the records it splits alike, and
    // where the others are.
    out << " (" << static_cast<int>(r.Confidence * 100) << "% of the records alike; "
        << r.RaggedRecords << (r.RaggedRecords == 1 ? " differs" : " differ");
    for (std::size_t i = 0; i < r.MisfitLines.size(); ++i) {
      out << (i > 0                      ? ", "
              : r.MisfitLines.size() > 1 ? ", on lines "
                                         : ", on line ")
          << r.MisfitLines[i];
    }
    if (r.RaggedRecords > static_cast<std::int64_t>(r.MisfitLines.size())) out << ", ...";
    out << ")";
  }
  out << '\n';
  if (!r.UnsplitSeparator.empty()) {
    out << "Not split:   '" << r.UnsplitSeparator
        << "' on every line would separate values: give -s "
        << ShellWord(StandInSeparatorWord(r.UnsplitSeparator)) << " to split on it\n";
  }
  if (r.Columns.size() > r.MostValues && r.MostValues > 0) {
    out << "Widths:      most records have " << r.MostValues << " values, the widest "
        << r.Columns.size() << ": the table takes " << r.Columns.size()
        << " columns, and a shorter record gets NULL for the values it lacks\n";
  }
  out << "Quote:       " << Shown(r.Quote) << '\n';
  if (r.Escape != '\0') {
    // What the escape does, in the file's own characters: it works in
    // values quoted or not, so a file that quotes nothing is told of its
    // separator and line ends.
    const std::string e(1, r.Escape);
    std::string what;
    if (r.Quote != '\0') what += e + r.Quote + " a quote, ";
    if (!r.WideSeparator.empty() && r.WideSeparator != std::string_view("\0", 1)) {
      what += e + r.WideSeparator + " a separator, ";
    } else if (r.Separator == '\t' || r.Separator == ' ') {
      what += e + " before a " + Shown(r.Separator) + " a separator, ";
    } else if (r.Separator != '\0' && r.WideSeparator.empty()) {
      what += e + r.Separator + " a separator, ";
    }
    out << "Escape:      " << Shown(r.Escape)
        << " makes the character after it data, in quoted values or not (" << what << e
        << " before a line end a line break)\n";
  }
  if (r.KeepStrayQuotes) {
    out << "Stray quotes: kept in values (a quote inside a quoted value that the separator or "
           "a line end does not follow is a character of it)\n";
  }
  if (r.SkipLines > 0) {
    out << "Skipped:     "
        << (r.SkipLines == 1 ? std::string("the first line")
                             : "the first " + std::to_string(r.SkipLines) + " lines")
        << " (a title before the data)\n";
  }
  if (r.Comment != '\0') out << "Comments:    lines starting with " << Shown(r.Comment) << '\n';
  out << "Text rules:  " << TextRules(r) << '\n';
  out << "Header:      " << (r.Header ? "yes, the first record names the columns" : "no") << '\n';
  if (r.DecimalComma) out << "Numbers:     decimal comma, thousands point (1.234,5)\n";
  out << "Line ends:   " << r.LineEnds << '\n';
  out << "Encoding:    " << r.Encoding << '\n';
  for (const std::string& hint : r.EncodingHints) out << "             " << hint << '\n';
  out << "Columns:\n";
  std::size_t width = 4;
  // Names line up by their characters, which in UTF-8 may take several bytes.
  for (const TSniffedColumn& c : r.Columns) width = std::max(width, Utf8Characters(c.Name));
  int position = 0;
  if (!tooWide.empty()) {
    out << "  (none: " << tooWide << ")\n";
    return;
  }
  for (const TSniffedColumn& c : r.Columns) {
    std::string line = "  " + std::to_string(++position) + "  " + c.Name;
    line += std::string(width - Utf8Characters(c.Name) + 2, ' ') + std::string(SqlTypeName(c.Guess, exactDecimal));
    if (!c.Guess.DateFormat.empty()) line += " " + c.Guess.DateFormat;
    if (!c.Guess.Note.empty()) line += " (" + c.Guess.Note + ")";
    out << line << '\n';
  }
  for (const std::string& s : r.Renamed) out << "Renamed:     " << s << '\n';
  if (r.Columns.empty()) {
    out << (r.Binary ? "  (none: the file holds binary data, not text)\n"
            : r.WidestRecord > kMaxSniffedColumns ? "  (none: " + TooWideRecord(r) + ")\n"
            : !r.Damage.empty() ? "  (none: the data breaks off before its first record ends)\n"
            : r.WholeFile       ? "  (none: the file holds no records)\n"
                          : "  (none: the first record is longer than the sample; --sample 1 reads "
                            "it whole)\n");
    return;
  }
  out << "Import with:\n  " << command << '\n';
  if (r.Header) {
    out << "  (into an existing table, each value goes to the column its header name names; "
           "--by-position keeps the file's order)\n";
  }
}

// The date format and the separators of numbers given to sniff, in force
// while it runs.
class TScopedFormat {
 public:
  explicit TScopedFormat(const TSniffCommandOptions& o) : FSaved(FormatSettings()) {
    TFormatOptions format;
    format.DateFormat = o.DateFormat;
    format.DecimalSeparator = o.DecimalSeparator;
    format.ThousandSeparator = o.ThousandSeparator;
    ApplyFormat(format);
  }
  ~TScopedFormat() { FormatSettings() = FSaved; }
  TScopedFormat(const TScopedFormat&) = delete;
  TScopedFormat& operator=(const TScopedFormat&) = delete;

 private:
  TFormatSettings FSaved;
};

bool IsRegularFile(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

}  // namespace

CLI::App* AddSniffCommand(CLI::App& app, TSniffCommandOptions& o) {
  CLI::App* sniff = app.add_subcommand(
      "sniff",
      "Work out how a text file is laid out from a sample of its records: separator, quote "
      "(or fixed widths), header, line ends, encoding, column names and types, and the import "
      "command that loads it");
  sniff->add_option("FILE", o.File, "The text file to look at (- for standard input)")->required();
  AddSampleOption(sniff, o.Sample);
  sniff
      ->add_option("-s,--separator", o.Separator,
                   "Take this separator instead of sniffing one (as for import)")
      ->type_name("CHAR");
  sniff
      ->add_option("-q,--quote", o.Quote,
                   "Take this quote character instead of sniffing one (as for import)")
      ->type_name("CHAR");
  sniff
      ->add_option("--date-format", o.DateFormat,
                   "Read dates in this layout (d m y) instead of trying yyyy-mm-dd, m/d/yyyy, "
                   "d/m/yyyy, dd.mm.yyyy, yyyy/mm/dd and yyyy.mm.dd")
      ->type_name("FORMAT");
  sniff
      ->add_option("--decimal-separator", o.DecimalSeparator,
                   "Read numbers with this decimal separator (as for import) instead of trying "
                   "the format settings' and, in a file not separated by commas, a decimal comma "
                   "with thousands points (1.234,5)")
      ->type_name("CHAR");
  sniff
      ->add_option("--thousand-separator", o.ThousandSeparator,
                   "Read numbers with this thousands separator (as for import); like "
                   "--decimal-separator, it takes the decimal comma's sniffing away")
      ->type_name("CHAR");
  sniff
      ->add_option("--encoding", o.Encoding,
                   "Read the file in this encoding (as for import) instead of UTF-8; without it, "
                   "a file that is not valid UTF-8 is read as cp1252 when its bytes 0x80-0x9F are "
                   "signs there, else as latin1, and the import command says so")
      ->type_name("NAME");
  sniff
      ->add_option("--skip-lines", o.SkipLines,
                   "Leave out the first N lines (as for import) instead of sniffing a title "
                   "before the data")
      ->type_name("N");
  sniff
      ->add_option("--comment", o.Comment,
                   "Lines starting with CHAR are comments (as for import) instead of sniffing "
                   "comment lines before the data")
      ->type_name("CHAR");
  sniff
      ->add_option("--escape", o.Escape,
                   "CHAR makes the character after it data, in a quoted value or not (as for "
                   "import), instead of sniffing whether a backslash escapes")
      ->type_name("CHAR");
  sniff->add_flag("--keep-stray-quotes", o.KeepStrayQuotes,
                  "Quotes inside quoted values are read as for import --keep-stray-quotes, "
                  "instead of sniffing whether the file holds such quotes");
  sniff
      ->add_option("--db", o.Database,
                   "The database the suggested import command loads (a file, or "
                   "postgresql://HOST/DATABASE), whose types the columns take; without it, a "
                   "new SQLite file named after the table")
      ->type_name("FILE|URI");
  sniff->add_flag("--byte-widths", o.ByteWidths,
                  "Fixed-width columns are found where they line up by UTF-8 bytes instead "
                  "of characters (as import --fixed --byte-widths reads them)");
  sniff->add_flag("--json", o.Json, "Print what was found as one JSON object");
  sniff->footer(
      "Example:\n  korvane sniff sales.csv\n"
      "A column's type is the one every non-empty sampled value fits: INTEGER (no leading "
      "zeros; BIGINT beyond 32 bits), DOUBLE PRECISION, DECIMAL_TEXT (PostgreSQL: NUMERIC) "
      "for numbers a double would round, DATE, TIMESTAMP, TIMESTAMPTZ (a value with a zone "
      "offset), TIME (in a date format the sample fits; ambiguous dates stay TEXT), BOOLEAN "
      "(true/false, yes/no, t/f, y/n) or TEXT.\n"
      "Exit status: 0 when the file was sniffed, 1 when its data breaks off inside the sample "
      "(a compressed file cut short or damaged), 2 when it cannot be read or the options are "
      "wrong.");
  return sniff;
}

void AddSampleOption(CLI::App* command, std::string& sample) {
  command
      ->add_option("--sample", sample,
                   "Records sniffed for the layout and the column types: N, or all (default: "
                   "the first 20000 records or 8 MiB; every record when import --create "
                   "types the columns)")
      ->type_name("N|all");
}

int RunSniff(const TSniffCommandOptions& o, std::ostream& out, std::ostream& /*err*/) {
  TSniffOptions options = SampleOptions(o.Sample);
  if (!o.Separator.empty()) {
    const TSeparatorChoice choice = ParseSeparator(o.Separator);
    if (NeedsStandIn(choice.Exact)) {
      options.WideSeparator = choice.Exact;
    } else {
      options.Separator = SeparatorChar(choice);
    }
  }
  if (!o.Quote.empty()) options.Quote = QuoteChar(ParseQuote(o.Quote));
  TScopedFormat format(o);
  options.DateFormatGiven = !o.DateFormat.empty();
  options.NumberFormatGiven = !o.DecimalSeparator.empty() || !o.ThousandSeparator.empty();
  if (!o.Encoding.empty() && !EncodingKnown(o.Encoding)) {
    throw EUsageError("--encoding '" + o.Encoding + "' is not an encoding iconv knows (iconv -l)");
  }
  options.Encoding = o.Encoding;
  if (!o.Comment.empty()) options.Comment = ParseFormatChar("--comment", o.Comment);
  if (!o.Escape.empty()) options.Escape = ParseFormatChar("--escape", o.Escape);
  if (o.KeepStrayQuotes) options.KeepStrayQuotes = true;
  options.FixedWidthUnit = o.ByteWidths ? fuBytes : fuCharacters;
  if (!o.SkipLines.empty()) {
    std::int64_t n = 0;
    auto [end, ec] =
        std::from_chars(o.SkipLines.data(), o.SkipLines.data() + o.SkipLines.size(), n);
    if (ec != std::errc() || end != o.SkipLines.data() + o.SkipLines.size() || n < 0) {
      throw EUsageError("--skip-lines '" + o.SkipLines + "': give a number of lines, 0 or more");
    }
    options.SkipLines = n;
  }
  struct stat info {};
  if (::stat(o.File.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
    throw EUsageError("input file '" + o.File + "' is a folder");
  }
  const TSniffResult result =
      SniffFile(o.File == "-" ? std::string(kStandardInputPath) : o.File, options);
  // No command for a file of no columns: nothing would tell the import
  // what to create; nor for more columns than the database's table holds.
  TComponent root(nullptr);
  const std::unique_ptr<TDatabaseTable> target = CreateDatabaseTable(root, o.Database);
  const std::string tooWide =
      result.Columns.size() > target->MaxColumns()
          ? TooWideRecord(result, target->MaxColumns()) + " (" + target->MaxColumnsNote() + ")"
          : "";
  const std::string command =
      result.Columns.empty() || !tooWide.empty() ? "" : ImportCommandLine(result, o);
  const std::string_view exactDecimal = ExactDecimalTypeFor(o.Database);
  if (o.Json) {
    out << SniffJson(result, o.File, command, exactDecimal).dump() << std::endl;
  } else {
    PrintSniff(out, result, o.File, command, exactDecimal, tooWide);
  }
  return result.Damage.empty() ? kExitOk : kExitFailed;
}

bool SetsProperty(const std::vector<std::string>& sets, std::string_view name) {
  for (const std::string& s : sets) {
    if (SameText(Trim(std::string_view(s).substr(0, s.find('='))), name)) return true;
  }
  return false;
}

namespace {

// The import reads the columns of a fixed-width file as export --fixed
// writes them, with the sniffed widths.
void UseFixedWidths(TCSVImport& import, const TSniffResult& result) {
  import.SetImportType(impFixed);
  import.SetFixedLayout(flColumns);
  import.SetFixedWidths(FixedWidthsText(result));
  import.SetFixedWidthUnit(result.FixedWidthUnit);
}

}  // namespace

TImportSniff SniffForImport(TCSVImport& import, const TImportSniffRequest& request) {
  TImportSniff sniff;
  bool sniffLayout = !request.LayoutGiven;
  const bool votes = request.InferTypes || request.DateLayouts;
  const std::string& path = request.SniffPath.empty() ? import.InputFile() : request.SniffPath;
  if ((!sniffLayout && !votes) || !IsRegularFile(path)) return sniff;
  TSniffOptions options = SampleOptions(request.Sample);
  // The layout alone shows in the first records; the types want the sample.
  if (!request.InferTypes && request.Sample.empty()) options.SampleRecords = kLayoutSample;
  // Types for a table the import creates come from every record unless --sample says
  // otherwise: a later value that did not fit its column's type would be stored as null.
  // Of standard input, only the first bytes kept are there.
  if (request.InferTypes && request.Sample.empty() && request.SniffPath.empty()) {
    options.SampleRecords = -1;
  }
  const bool fixedGiven = import.ImportType() == impFixed;
  options.FixedWidthUnit = fixedGiven ? import.FixedWidthUnit() : request.WidthUnit;
  if (fixedGiven) {
    // The file's columns as --widths gives them, else found (for a table
    // made from the file, which then takes them).
    std::vector<int> widths;
    std::string fault;
    if (ParseFixedWidths(import.FixedWidths(), widths, fault)) {
      options.FixedWidths.assign(widths.begin(), widths.end());
    }
    options.FixedGiven = options.FixedWidths.empty();
  } else if (!sniffLayout) {
    const std::string sep = import.GetFieldSeparatorChar();
    options.Separator = sep.empty() ? '\0' : sep[0];
    if (NeedsStandIn(sep)) options.WideSeparator = sep;
  }
  if (request.QuoteGiven || !sniffLayout) {
    const std::string quote = import.GetFieldDelimiterChar();
    options.Quote = quote.empty() ? '\0' : quote[0];
  }
  if (request.HeaderGiven || !request.InferTypes) options.HeaderRecords = import.HeaderRecords();
  options.TrailerRecords =
      static_cast<std::size_t>(std::max(import.TrailerRecords(), std::int32_t{0}));
  // Lines left out before the data are sniffed with the layout, else taken
  // as the import has them.
  if (request.SkipLinesGiven || !sniffLayout) options.SkipLines = import.SkipLines();
  if (request.CommentGiven || !sniffLayout) {
    options.Comment = import.CommentChar().empty() ? '\0' : import.CommentChar()[0];
  }
  if (request.EscapeGiven || !sniffLayout) {
    options.Escape = import.EscapeChar().empty() ? '\0' : import.EscapeChar()[0];
  }
  if (request.StrayQuotesGiven || !sniffLayout) options.KeepStrayQuotes = import.KeepStrayQuotes();
  options.Encoding = import.Encoding();
  options.DateFormatGiven = request.DateFormatGiven;
  options.NumberFormatGiven = request.NumberFormatGiven;
  TSniffResult result = SniffFile(path, options);
  if (sniffLayout && !result.FixedWidths.empty()) {
    UseFixedWidths(import, result);
  } else if (sniffLayout && result.Separator == '\0') {
    // No separator splits the records alike: the command's comma stays, as
    // it always read such files.
    sniffLayout = false;
    options.Separator = ',';
    const std::string quote = import.GetFieldDelimiterChar();
    options.Quote = quote.empty() ? '\0' : quote[0];
    // Nor are the lines before the data or the reading of quoted values
    // taken from the sample then: the header and the types are sniffed from
    // the records as the import reads them.
    options.SkipLines = import.SkipLines();
    options.Comment = import.CommentChar().empty() ? '\0' : import.CommentChar()[0];
    options.Escape = import.EscapeChar().empty() ? '\0' : import.EscapeChar()[0];
    options.KeepStrayQuotes = import.KeepStrayQuotes();
    if (votes) result = SniffFile(path, options);
  }
  if (sniffLayout) {
    if (!request.SkipLinesGiven) import.SetSkipLines(static_cast<std::int32_t>(result.SkipLines));
    if (!request.CommentGiven && result.Comment != '\0') {
      import.SetCommentChar(std::string(1, result.Comment));
    }
    if (!request.EscapeGiven && result.Escape != '\0') {
      import.SetEscapeChar(std::string(1, result.Escape));
    }
    if (!request.StrayQuotesGiven && result.KeepStrayQuotes) import.SetKeepStrayQuotes(true);
    sniff.StrayQuotesSniffed = !request.StrayQuotesGiven;
    const TSeparatorChoice choice = ParseSeparator(SeparatorGiven(result));
    import.SetFieldSeparator(choice.Separator);
    import.SetCustomSeparator(choice.Custom);
    import.SetSeparatorChar(choice.Exact);
    if (!request.QuoteGiven) {
      import.SetFieldDelimiter(result.Quote == '\0' ? fdlNone
                                                    : ParseQuote(std::string(1, result.Quote)));
    }
  }
  // A plain CSV file reads as it always did, without a word.
  const bool leftOut = (!request.SkipLinesGiven && result.SkipLines > 0) ||
                       (!request.CommentGiven && result.Comment != '\0') ||
                       (!request.EscapeGiven && result.Escape != '\0') ||
                       (!request.StrayQuotesGiven && result.KeepStrayQuotes);
  if (sniffLayout && (result.Separator != ',' || result.Quote != '"' || leftOut)) {
    // A file by its path as given, standard input by that name.
    const std::string& input = import.InputFile();
    std::string notice =
        "korvane: reading " + (input == kStandardInputPath ? InputName(input) : input) + " as ";
    notice += !result.FixedWidths.empty()
                  ? "fixed width (--fixed --widths " + FixedWidthsText(result) +
                        (result.FixedWidthUnit == fuBytes ? " --byte-widths)" : ")")
              : result.WideSeparator == std::string(1, '\0') ? std::string("zero-byte-separated")
              : !result.WideSeparator.empty() ? "'" + result.WideSeparator + "'-separated"
              : result.Separator == '\0'      ? std::string("one value per record")
              : result.Separator == '\t'      ? std::string("tab-separated")
              : result.Separator == ' '       ? std::string("space-separated")
                                        : "'" + std::string(1, result.Separator) + "'-separated";
    if (result.FixedWidths.empty()) {
      notice +=
          result.Quote == '\0' ? ", unquoted" : ", '" + std::string(1, result.Quote) + "'-quoted";
    }
    if (!request.SkipLinesGiven && result.SkipLines > 0) {
      notice += result.SkipLines == 1
                    ? std::string(", leaving out the first line")
                    : ", leaving out the first " + std::to_string(result.SkipLines) + " lines";
    }
    if (!request.CommentGiven && result.Comment != '\0') {
      notice += ", lines starting with " + std::string(1, result.Comment) + " as comments";
    }
    if (!request.EscapeGiven && result.Escape != '\0') {
      notice += ", " + std::string(1, result.Escape) + " escaping inside quotes";
    }
    if (!request.StrayQuotesGiven && result.KeepStrayQuotes) {
      notice += ", stray quotes inside quoted values kept";
    }
    notice += result.HeaderSniffed ? ", header present" : ", no header";
    if (result.RaggedRecords > 0) {
      notice += "; " + std::to_string(result.RaggedRecords) +
                " sampled records have a number of values unlike the rest";
    }
    sniff.Notices.push_back(std::move(notice));
  }
  if (votes) sniff.Result = std::move(result);
  return sniff;
}

std::vector<std::string> InferredColumns(const TSniffResult& result, bool dateFormatGiven,
                                         std::string_view exactDecimal) {
  if (result.DecimalComma) {
    FormatSettings().DecimalSeparator = ',';
    FormatSettings().ThousandSeparator = '.';
  }
  if (!dateFormatGiven) {
    for (const TSniffedColumn& c : result.Columns) {
      if (!c.Guess.DateFormat.empty()) {
        FormatSettings().ShortDateFormat = c.Guess.DateFormat;
        break;
      }
    }
  }
  return ColumnDefinitions(result, exactDecimal);
}

}  // namespace korvane::cli

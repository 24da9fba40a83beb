// korvane import's options and help: what each option sets and the
// footer with examples; the run they describe is in cli_import.cpp.
#include <string>

#include "cli/cli_command.h"
#include "cli/sniff_command.h"

namespace korvane::cli {

namespace {

void AddRejectOptions(CLI::App* imp, TImportOptions& io) {
  const char* group = "Failed records";
  imp->add_flag("--lenient", io.Lenient,
                "Forgiving values (ValueErrors=veLenient): a value that does not convert leaves "
                "its column empty and the record is stored; values beyond the last column are "
                "skipped; values with more decimals or digits than their column keeps are stored "
                "rounded (strict values fail them) and counted at the end")
      ->group(group);
  imp->add_option("--rejects", io.Rejects,
                  "Write every failed record to FILE exactly as read (the --skip-lines lines and "
                  "the header records first, the trailer records last), to fix and import again "
                  "with the same options; also the records a PostgreSQL server "
                  "refuses. Written as each fails: a FILE that cannot be written (a full disk) "
                  "stops the run")
      ->type_name("FILE")
      ->group(group);
  imp->add_option("--reject-log", io.RejectLog,
                  "Write one JSON object per failed record to FILE: record, line, field, value, "
                  "reason, message")
      ->type_name("FILE")
      ->group(group);
  io.MaxErrorsOption =
      imp->add_option("--max-errors", io.MaxErrors,
                      "Stop when more than N records have failed (0: at the first); the run "
                      "then fails (exit status 1)")
          ->type_name("N")
          ->group(group);
  imp->add_flag("--atomic", io.Atomic,
                "One transaction for the whole import: when a record fails (beyond "
                "--max-errors), the run fails, is interrupted or is killed, the table stays "
                "exactly as it was")
      ->group(group);
}

}  // namespace

CLI::App* AddImportCommand(CLI::App& app, TImportOptions& io) {
  CLI::App* imp = app.add_subcommand(
      "import",
      "Import a text file into a table: one record per line, values by separator (CSV by "
      "default) or by fixed widths, each converted to its column's type");
  imp->add_option("INPUT", io.File,
                  "The text file to read (- for standard input); gzip and zstd files are "
                  "read by their first bytes, whatever their name")
      ->type_name("FILE");
  imp->add_option("--table", io.Table, "The table that receives the records")->type_name("NAME");
  AddLayoutOptions(imp, io, true);
  AddSampleOption(imp, io.Sample);
  io.HeaderOption = imp->add_option("--header", io.Header,
                                    "The first N records (1 without N) are header records: not "
                                    "imported, kept as headerData (--json); with --create they "
                                    "name the columns. Without it, a first record naming the "
                                    "table's columns, or the header sniffed for a table --create "
                                    "makes, is the header; --header 0: none")
                        ->type_name("[N]")
                        ->expected(0, 1)
                        ->default_str("1");
  io.SkipLinesOption =
      imp->add_option("--skip-lines", io.SkipLines,
                      "Leave out the first N lines (a title or notes above the header; blank "
                      "lines counted) and the blank lines after them (SkipLines); sniffed when "
                      "not given")
          ->type_name("N");
  imp->add_option("--comment", io.Comment,
                  "Lines that start with CHAR where a record would start are comments, left out "
                  "(CommentChar); # is sniffed when comment lines stand before the data")
      ->type_name("CHAR");
  imp->add_option("--escape", io.Escape,
                  "CHAR makes the character after it data, in a quoted value or not: \\\" a "
                  "quote, \\, a separator, \\\\ a backslash, an escaped line end part of the "
                  "value (EscapeChar; standard rules); sniffed where the file shows it")
      ->type_name("CHAR");
  imp->add_flag("--keep-stray-quotes", io.KeepStrayQuotes,
                "A quote inside a quoted value that neither another quote, the separator nor a "
                "line end follows is a character of the value: \"a \"b\" c\" is a \"b\" c, where "
                "such a quote ends the value otherwise (KeepStrayQuotes; standard rules); "
                "sniffed where a file (not a pipe) shows such quotes");
  imp->add_option("--column-format", io.ColumnFormats,
                  "The dates of column NAME in LAYOUT (d m y), whatever the other columns use "
                  "(ColumnFormats); repeat for more columns. sniff and an import of a file "
                  "whose date columns differ give each its own")
      ->type_name("NAME=LAYOUT")
      ->allow_extra_args(false);
  imp->add_option("--trailer", io.Trailer,
                  "The last N records are trailer records: not imported, kept as trailerData "
                  "(--json)")
      ->type_name("N");
  imp->add_flag("--create", io.Create,
                "Create the table (and the database) when it does not exist: columns from "
                "--columns, or else named by --fields, by the header record, or c1, c2, ... "
                "with the types their values fit in a sample (see korvane sniff, --sample); "
                "numbers a double would round get DECIMAL_TEXT, kept digit for digit "
                "(PostgreSQL: numeric)");
  imp->add_option("--commit-every", io.CommitEvery,
                  "Records per transaction (every record is committed when the import ends; a "
                  "killed import keeps the groups committed before). Into PostgreSQL, the rows "
                  "of a transaction wait for the server in a temporary file in $TMPDIR (else "
                  "/tmp), emptied at each commit")
      ->type_name("N")
      ->default_str(std::to_string(kDefaultCommitEvery));
  imp->add_option("--start-record", io.StartRecord,
                  "Skip the first N-1 data records (those after the header records): after an "
                  "interrupted import, the number it printed completes the load without "
                  "duplicates")
      ->type_name("N")
      ->default_str("1");
  imp->add_option("--columns", io.Columns,
                  "The new table's columns as in SQL, e.g. \"id INTEGER PRIMARY KEY, name "
                  "TEXT, amount MONEY, born DATE, active BOOLEAN\"")
      ->type_name("DEFS");
  imp->add_option("--mode", io.Mode,
                  "How records meet the rows the table holds: append (every record a new row), "
                  "truncate (empty the table first, committed only with a record stored, "
                  "so a load that fails, stops or is killed before storing one leaves the old "
                  "rows; with --atomic, in the one transaction), replace (a record whose key is "
                  "in the table replaces that row; columns it leaves empty take their default), "
                  "upsert (it updates that row in the columns it gives values for; the others "
                  "keep theirs), skip (that row is left alone; the record is counted skipped). "
                  "Keys repeated in the file: the last wins (replace, upsert), the first (skip)")
      ->type_name("MODE")
      ->default_str("append");
  imp->add_option("--key", io.Key,
                  "The columns that match a record to a row under --mode replace, upsert or "
                  "skip: a primary or unique key of the table (with --create, made one). "
                  "Default: the table's primary key, else its only unique key")
      ->type_name("COL,...");
  const char* matching = "Columns";
  imp->add_flag("--by-position", io.ByPosition,
                "Values go to the table's columns in order, whatever the header record names "
                "(--fields and --exclude then choose the columns that take part)")
      ->group(matching);
  imp->add_option("--ignore-columns", io.IgnoreColumns,
                  "With --header: the values under these header names are not imported, "
                  "whether or not the table has such columns (a name holding a comma in double quotes: "
                  "'\"Amount, USD\",zip')")
      ->type_name("NAME,...")
      ->group(matching);
  imp->add_flag("--ignore-extra-columns", io.IgnoreExtraColumns,
                "Skip the values whose header name (or --fields name) is none of the table's "
                "columns, instead of stopping")
      ->group(matching);
  AddRejectOptions(imp, io);
  imp->footer(
      "Examples:\n"
      "  korvane import people.csv --db people.db --table people --header --create\n"
      "  korvane import people.csv --db postgresql://localhost/shop --table people --header "
      "--create\n"
      "  korvane import data.txt --db shop.db --table orders -s tab -q none --set "
      "HeaderRecords=2 --set HeaderStored=true\n"
      "  korvane import changes.csv --db shop.db --table prices --header --mode upsert --key "
      "sku\n"
      "With a header record (--header), each value goes to the column its header name names, "
      "compared without regard to case, in any order (a name spelt otherwise, \"First Name\" or "
      "\"E-mail\", takes the one column it spells with blanks, hyphens, underscores and dots "
      "left out: first_name, email; said on stderr); columns the header leaves out take their "
      "default (a serial or identity number, DEFAULT, else NULL). A name that is no column "
      "stops the import before any record is stored (exit status 2), naming the nearest "
      "column. --fields A,B,C names the columns that take the values, in the file's order "
      "(with or without a header); --by-position keeps the table's order.\n"
      "Dates and times are read as ISO 8601 (2024-03-05, 14:30:00, 2024-03-05T14:30:00.123456"
      "+01:00; DateTimeStyle=dsISO8601), or in the layout the sample shows or --date-format "
      "gives; numbers with the format settings, blobs from \\x and "
      "hexadecimal (WholeValues; --set WholeValues=false stores such texts as they stand). "
      "Values are strict: a value that is not of its column's type (\"12x\" or \"3.7\" for "
      "an INTEGER, 2024-02-30 for a DATE, 24:00:00 for a TIME, \"maybe\" for a BOOLEAN, a number the column cannot "
      "hold) fails its record, as does a record with more values than the table has columns "
      "and one the table refuses; the import goes on, and at the end stderr says how many "
      "failed and why, with the first few by line number.\n" +
      std::string(kExitText));

  return imp;
}

}  // namespace korvane::cli

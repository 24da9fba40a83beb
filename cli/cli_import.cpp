// korvane import: a TCSVImport from the options (declared in
// cli_import_options) into the --db table (the table itself prepared in
// cli_import_table), the run with its failed records accounted for
// (cli_rejects), and the outcome.
#include <sys/stat.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/cli_command.h"
#include "cli/cli_database.h"
#include "cli/cli_import_ranges.h"
#include "cli/cli_import_table.h"
#include "cli/input_relay.h"
#include "cli/interrupt.h"
#include "cli/sniff_command.h"
#include "data/db_failure.h"

namespace korvane::cli {

namespace {

// What --rejects, --reject-log, --max-errors and --atomic ask of the
// failed records of import, owned by root.
TFailedRecords& CreateFailedRecords(TComponent& root, TCSVImport& import,
                                    const TImportOptions& o) {
  auto* failed = new TFailedRecords(&root);
  failed->SetName("FailedRecords");
  failed->SetImport(&import);
  failed->SetRejectsFile(o.Rejects);
  failed->SetRejectLog(o.RejectLog);
  if (o.MaxErrorsOption->count() > 0) {
    if (o.MaxErrors < 0) throw EUsageError("--max-errors: give a number of records, 0 or more");
    failed->SetMaxErrors(o.MaxErrors);
  }
  failed->SetAtomic(o.Atomic);
  return *failed;
}

}  // namespace

// An import that completed with failed records ends partly done.
int ImportExitFor(const TCSVImport& import, std::int32_t result) {
  // Stopped by a signal: 128 + its number, as a shell reports it.
  // (An import stopped because another range of the run failed is not.)
  if (import.Interrupted() && TImportInterrupts::Signal() != 0) {
    return 128 + TImportInterrupts::Signal();
  }
  // Header names that match no column: the command cannot run as given.
  if (!import.ColumnFault().empty()) return kExitUsage;
  if (result < 0) return kExitFailed;
  return import.ErrorRecords() > 0 ? kExitPartly : kExitOk;
}

bool ImportRanThrough(const TCSVImport& import, std::int32_t result) {
  return import.StoredRecords() > 0 ||
         (result >= 0 && import.ErrorRecords() == 0 && !import.Interrupted());
}

bool EndAtomicRun(TSession& session, TAtomicRun& atomic, const TCSVImport& import,
                  std::int32_t& result) {
  if (!atomic.On()) return true;
  // A run that stored nothing (failed records under --max-errors) leaves
  // the table as it was: a truncate's emptying alone is no load.
  if (result >= 0 && ImportRanThrough(import, result)) {
    try {
      atomic.Commit();
      return true;
    } catch (const std::exception& e) {
      session.Say(mtError, std::string("--atomic: the records cannot be committed: ") + e.what());
      result = -1;
    }
  }
  if (const std::string failed = atomic.Rollback(); failed.empty()) {
    session.Say(mtInformation, "--atomic: nothing was stored; the table is as it was");
  } else {
    session.Say(mtError, "--atomic: the transaction cannot be rolled back: " + failed);
  }
  return false;
}

// Runs an import inside one bulk load of its dataset, so that the records go
// in large transactions whatever the dataset does by itself, and every record
// posted is committed when this returns. Errors raised by the run are shown
// as "Error: TEXT" and give -1. report has been attached to the import; what
// it says of the failed records is shown at the end, each line after prefix.
namespace {

// The header names that took a column spelt otherwise (LooseColumnNames),
// said once, before what the records did.
void SayLooseColumns(TSession& session, const TCSVImport& import, const std::string& prefix) {
  const auto& loose = import.LooselyMatchedColumns();
  if (loose.empty()) return;
  std::string text;
  for (const auto& [name, column] : loose) {
    text += (text.empty() ? "" : ", ") + ("\"" + name + "\"" +
                                          (loose.size() == 1 ? " taken for column " : " for ") +
                                          column);
  }
  const std::string said = loose.size() == 1 ? "header name " + text
                                             : "header names taken for columns spelt otherwise: " +
                                                   text;
  session.Say(mtInformation,
              prefix + said + " (--set LooseColumnNames=false takes a column's own name only)");
}

}  // namespace

TImportOutcome ExecuteImport(TSession& session, TCSVImport& import, TRejectReport& report,
                             const std::string& prefix, TRangedImport* ranged, bool atomic,
                             const std::string& strayQuotesHint) {
  TDataSet* ds = import.DataSet();
  try {
    if (ds != nullptr && ds->Active()) ds->BeginBulk();
  } catch (const Exception& e) {
    session.Say(mtError, e.Message());
    return {};
  }
  const bool bulk = ds != nullptr && ds->Active();
  std::int32_t result = -1;
  std::string failure;
  bool damagedInput = false;
  // Records posted that are not in the table: rolled back after damaged
  // input, or lost with a commit that failed.
  std::int64_t rolledBack = 0;
  // Over ranges, the command's import reads the first: what its run raises
  // is that range's.
  const std::string first = ranged != nullptr ? ranged->Prefix(0) : std::string();
  try {
    if (ranged != nullptr) {
      TImportInterrupts interrupts(ranged->Imports());
      result = ranged->Execute(session, report, rolledBack, failure, damagedInput);
    } else {
    TImportInterrupts interrupts(import);
    result = import.Execute();
    }
    if (!failure.empty()) {
      // A later range's failure, said as the run's.
    } else if (result < 0 && !import.SetupFailure().empty()) {
      failure = "the import cannot start: " + import.SetupFailure();
    } else if (!import.LastError().empty() && !session.Showed(import.LastError())) {
      // After the component's own message, what it does not say.
      failure = import.LastError();
    }
  } catch (const EInOutError& e) {
    failure = first + e.what();
    damagedInput = true;
  } catch (const std::exception& e) {
    failure = first + e.what();
  }
  if (import.InputFile() == kStandardInputPath) failure = NamingStandardInput(failure);
  // Over ranges, each range's bulk run has ended, the first's too.
  if (bulk && ranged == nullptr) {
    try {
      // The records read since the last commit may come from the damaged
      // part of the input: only whole committed groups stay.
      if (damagedInput || !ImportRanThrough(import, failure.empty() ? result : -1)) {
        rolledBack = ds->AbandonBulk();
      } else {
        ds->EndBulk();
      }
    } catch (const EDatabaseFailure& e) {
      // The transaction the commit held went with it. A failed run has
      // shown the database's failure already.
      rolledBack = e.Lost();
      if (result < 0) {
        // Said with the run's failure.
      } else if (failure.empty()) {
        failure = e.what();
      } else {
        session.Say(mtError, e.what());
      }
    } catch (const std::exception& e) {
      if (failure.empty()) failure = e.what();
    }
  }
  try {
    if (failure.empty() && !import.Interrupted()) report.WriteTrailer(*import.TrailerData());
    report.Finish();
  } catch (const std::exception& e) {
    if (failure.empty()) failure = e.what();
  }
  SayLooseColumns(session, import, prefix);
  // A command line run never leaves records out without a word: what
  // failed, and why.
  for (const std::string& line : report.Summary()) session.Say(mtWarning, prefix + line);
  if (const std::int64_t n = import.RoundedValues(); n > 0) {
    session.Say(mtWarning, prefix + std::to_string(n) + (n == 1 ? " value was" : " values were") +
                               " stored rounded (--lenient): more decimals or digits than "
                               "their column keeps");
  }
  if (const std::int64_t n = import.UnconvertedValues(); n > 0) {
    session.Say(mtWarning, prefix + std::to_string(n) + (n == 1 ? " value" : " values") +
                               " did not convert to the type of " +
                               (n == 1 ? "its column and was" : "their columns and were") +
                               " left empty (--lenient)");
  }
  if (const std::int64_t n = import.ExtraValueRecords(); n > 0) {
    session.Say(mtWarning, prefix + std::to_string(n) + (n == 1 ? " record holds" : " records hold") +
                               " values beyond the last column, left out (--lenient)");
  }
  if (const std::int64_t n = import.CutValues(); n > 0) {
    session.Say(mtWarning,
                prefix + std::to_string(n) +
                    (n == 1 ? " value was stored without the character its column ends inside"
                            : " values were stored without the characters their columns end "
                              "inside") +
                    " (--lenient): fixed widths count bytes");
  }
  if (const std::int64_t n = import.TextAfterQuoteRecords(); n > 0) {
    session.Say(mtWarning, prefix + std::to_string(n) + (n == 1 ? " record has" : " records have") +
                               " text after a closing quote, kept as data; first at line " +
                               std::to_string(import.FirstTextAfterQuoteLine()) +
                               (!strayQuotesHint.empty() && !import.KeepStrayQuotes()
                                    ? " (" + strayQuotesHint +
                                          ": --keep-stray-quotes reads such a quote as a "
                                          "character of its value)"
                                    : ""));
  }
  const std::int64_t kept = import.StoredRecords() - rolledBack;
  if (!failure.empty()) {
    if (atomic) {
      // Rolled back next, whatever was posted: said there.
    } else if (ranged != nullptr) {
      // The failure is one range's, and says what that range committed;
      // what each range stored, and in all, is said next.
      if (damagedInput && rolledBack > 0) {
        failure += "; the " + std::to_string(rolledBack) +
                   " records read since the last commit were rolled back";
      }
    } else if (damagedInput) {
      failure += "; " + std::to_string(import.RecordCounter()) + " records read, " +
                 std::to_string(kept) + " stored" +
                 (rolledBack > 0 ? ", the " + std::to_string(rolledBack) +
                                       " read since the last commit were rolled back"
                                 : std::string());
    } else if (rolledBack > 0) {
      failure += "; " + std::to_string(kept) + (kept == 1 ? " record is" : " records are") +
                 " in the table";
    } else if (kept > 0) {
      failure += " (" + std::to_string(kept) + (kept == 1 ? " record" : " records") +
                 " stored before)";
    }
    session.Say(mtError, failure);
    return {-1, kept};
  }
  // Stopped by a signal: the caller says what is stored once it is settled.
  if (import.Interrupted()) return {-1, kept};
  return {result, kept};
}

namespace {

// Which column each value goes to. With a header record, the column its
// name names; --fields names them in order; without a header, --exclude
// leaves its columns out of that order (the values go to the others);
// --by-position keeps the values in the table's order, --fields and
// --exclude then choosing the columns that take part.
void ApplyColumnMatching(TCSVImport& import, const TImportOptions& o) {
  const bool byName = !o.ByPosition && o.Fields.empty() && import.HeaderRecords() > 0 &&
                      import.HeaderStored();
  if (!o.IgnoreColumns.empty()) {
    if (!byName) {
      throw EUsageError(
          "--ignore-columns skips values by their name in the header record: it needs --header, "
          "and neither --fields nor --by-position");
    }
    TStringList names;
    names.Assign(*import.FieldList());
    if (import.FieldListAction() != flaExclude) names.Clear();
    for (std::string& name : SplitNameList("--ignore-columns", o.IgnoreColumns)) {
      names.Add(std::move(name));
    }
    import.SetFieldList(&names);
    import.SetFieldListAction(flaExclude);
  }
  if (o.ByPosition) {
    if (o.IgnoreExtraColumns) throw EUsageError("give --ignore-extra-columns or --by-position");
    return;
  }
  if (!o.Fields.empty() || (!o.Exclude.empty() && !byName)) {
    import.SetColumnMatching(cmByFieldList);
  } else if (byName) {
    import.SetColumnMatching(cmByHeaderName);
  }
  import.SetSkipUnknownColumns(o.IgnoreExtraColumns);
}

// The import component of the options, owned by root, importing into ds;
// wideValues: ds keeps dates beyond the years 1 to 9999 and money beyond a
// currency field (WideDates, WideMoney).
TCSVImport& CreateImport(TComponent& root, TDataSet* ds, bool wideValues, const TImportOptions& o) {
  auto* import = new TCSVImport(&root);
  import->SetName("Import");
  // The command's defaults are those of a CSV file, the same a program
  // gets from UseCommandDefaults: strict values, ISO 8601 dates and times,
  // compressed files read by their first bytes, text as UTF-8 unless
  // --encoding says otherwise.
  UseCommandDefaults(*import);
  // A header name spelt otherwise ("First Name", "E-mail") names its column
  // (first_name, email). Imports of one file may run at once; a program
  // writing it in place still keeps them out, and they it.
  import->SetLooseColumnNames(true);
  // Values for a generated column stop the run before any record, rather
  // than failing every record.
  import->SetRefuseReadOnlyFields(true);
  import->SetSharedReading(true);
  if (o.Lenient) import->SetValueErrors(veLenient);
  // A date or time layout given replaces ISO 8601 (so does one the sample
  // shows, see ChooseDateStyle).
  if (o.Format.DatesGiven()) import->SetDateTimeStyle(dsFormatSettings);
  ChooseFormats(*import, o.Format);
  import->SetDialect(ParseDialect(o.Dialect));
  ApplyDelimiting(*import, o);
  if (o.Fixed) import->SetImportType(impFixed);
  // - reads standard input: through the name the system gives it, so that
  // the run's file rules (one open, read to the end) hold for a pipe too.
  import->SetInputFile(o.File == "-" ? kStandardInputPath : o.File);
  // Blank lines above the first record are no record of the file's: the
  // header is the first line with text on it, as the sniff reads it.
  import->SetSkipBlankStart(true);
  if (o.HeaderOption->count() > 0) {
    if (o.Header < 0) throw EUsageError("--header: give a number of records, 0 or more");
    import->SetHeaderRecords(o.Header);
    import->SetHeaderStored(o.Header > 0);
  }
  if (o.SkipLinesOption->count() > 0) {
    if (o.SkipLines < 0) throw EUsageError("--skip-lines: give a number of lines, 0 or more");
    import->SetSkipLines(o.SkipLines);
  }
  if (!o.Comment.empty())
    import->SetCommentChar(std::string(1, ParseFormatChar("--comment", o.Comment)));
  if (!o.Escape.empty()) {
    import->SetEscapeChar(std::string(1, ParseFormatChar("--escape", o.Escape)));
  }
  if (o.KeepStrayQuotes) import->SetKeepStrayQuotes(true);
  // What such a table exports (0044-03-15 BC, infinity, 24:00:00,
  // 92233720368547758.07) loads back.
  if (wideValues) {
    import->SetWideDates(true);
    import->SetWideMoney(true);
  }
  for (const std::string& entry : o.ColumnFormats) {
    const std::size_t eq = entry.find('=');
    const std::string layout = eq == std::string::npos ? "" : UpperCase(entry.substr(eq + 1));
    if (eq == std::string::npos || eq == 0 || layout.find('D') == std::string::npos ||
        layout.find('M') == std::string::npos || layout.find('Y') == std::string::npos) {
      throw EUsageError("--column-format '" + entry +
                        "': write it as NAME=LAYOUT, the layout with a day (d), a month (m) and "
                        "a year (y), as in born=d/m/yyyy");
    }
    import->ColumnFormats()->Add(entry);
  }
  if (o.Trailer < 0) throw EUsageError("--trailer: give a number of records, 0 or more");
  import->SetTrailerRecords(o.Trailer);
  import->SetTrailerStored(o.Trailer > 0);
  if (o.StartRecord < 1) throw EUsageError("--start-record: give a record number, 1 or more");
  import->SetStartRecord(o.StartRecord);
  import->SetDataSet(ds);
  ApplyColumnMatching(*import, o);
  for (const std::string& s : o.Sets) ApplySet(*import, s, OwnedComponents(root));
  return *import;
}

// An import under ISO 8601 whose sample shows the date columns in another
// layout (one of the layouts sniffing knows) reads them in that layout: a
// file of m/d/yyyy dates keeps loading without options. Columns whose
// layouts differ each get their own (ColumnFormats).
void ChooseDateStyle(TSession& session, TCSVImport& import, TDatabaseTable& table,
                     const TSniffResult& sniffed) {
  const std::vector<TField*>* fields = nullptr;
  if (table.DataSet().Active()) fields = &table.DataSet().Fields();
  struct TDated {
    std::string Name;
    std::string Layout;
  };
  std::vector<TDated> dated;
  for (std::size_t i = 0; i < sniffed.Columns.size(); ++i) {
    const TTypeGuess& guess = sniffed.Columns[i].Guess;
    // Dates that fit m/d/yyyy and d/m/yyyy alike are read as the format
    // settings always read them, saying so.
    std::string layout = guess.DateFormat;
    const bool usual = layout.empty() && (guess.DateLayouts & (1u << 1)) != 0;
    if (usual) layout = kSniffedDateFormats[1];
    if (layout.empty()) continue;
    std::string name = sniffed.Columns[i].Name;
    if (fields != nullptr) {
      // The values go to the fields by position: only a date field's
      // layout counts.
      if (i >= fields->size()) break;
      const TFieldType type = (*fields)[i]->DataType();
      if (type != ftDate && type != ftDateTime) continue;
      name = (*fields)[i]->FieldName();
    }
    if (usual) {
      session.Say(mtInformation, "reading the dates of " + sniffed.Columns[i].Name + " as " +
                                     layout + "; they fit d/m/yyyy too (--date-format decides)");
    }
    dated.push_back({std::move(name), std::move(layout)});
  }
  bool one = true;
  for (const TDated& d : dated) one = one && d.Layout == dated.front().Layout;
  if (dated.empty() || (one && dated.front().Layout == "yyyy-mm-dd")) return;
  if (one) {
    import.SetDateTimeStyle(dsFormatSettings);
    import.SetShortDateFormat(dated.front().Layout);
    FormatSettings().ShortDateFormat = dated.front().Layout;
    return;
  }
  // ISO 8601 for the rest.
  for (const TDated& d : dated) {
    if (d.Layout != "yyyy-mm-dd") import.ColumnFormats()->Add(d.Name + "=" + d.Layout);
  }
}

}  // namespace

int RunImport(TImportOptions& o, std::ostream& out, std::ostream& err) {
  TSession session(out, err, o);
  ApplyFormat(o.Format);
  TComponent root(nullptr);
  const std::unique_ptr<TDatabaseTable> table =
      CreateOptionsTable(root, o.Database, o.Table, "", "Table");
  TDataSet* ds = &table->DataSet();
  if (o.CommitEvery < 1) throw EUsageError("--commit-every: give a number of records, 1 or more");
  table->SetBulkCommitCount(o.CommitEvery);
  if (o.Format.Utc) table->SetUtcTimes(true);
  std::int32_t jobs = 1;
  if (!o.Jobs.empty()) {
    jobs = ParseJobs(o.Jobs);
    if (jobs > 1 && o.Atomic) {
      throw EUsageError(
          "--atomic keeps the whole import in one transaction on one connection, and --jobs "
          "loads over several, each committing its own groups: give one or the other");
    }
    if (jobs > 1 && ParseLoadMode(o.Mode) == lmTruncate) {
      throw EUsageError("--mode truncate loads over one connection (several would each empty "
                        "the table): leave --jobs out, or empty the table and load with --mode "
                        "append --jobs N");
    }
    if (jobs == 0 && (o.Atomic || ParseLoadMode(o.Mode) == lmTruncate)) {
      // Over several connections such a load would no longer be one: ranges
      // committing apart from the --atomic transaction, or each emptying
      // the table.
      jobs = 1;
      session.Say(mtInformation, "--jobs auto: " + (o.Atomic ? "--atomic" : "--mode " + o.Mode) +
                                     " loads over one connection");
    }
    table->SetJobs(jobs);
  }
  TCSVImport* import = &CreateImport(root, ds, table->KeepsWideValues(), o);
  ApplyLoadMode(table->SQLDataSet(), o);

  CheckInputFile(import->InputFile());
  if (import->DataSet() != ds) throw EUsageError("--set DataSet: the import needs the --db table");
  const bool layoutGiven =
      !o.Separator.empty() || o.Fixed || SetsProperty(o.Sets, "FieldSeparator") ||
      SetsProperty(o.Sets, "CustomSeparator") || SetsProperty(o.Sets, "ImportType");
  const bool quoteGiven = !o.Quote.empty() || SetsProperty(o.Sets, "FieldDelimiter");
  const bool inferTypes = o.Create && o.Columns.empty();
  TImportSniffRequest request{o.Sample,
                              layoutGiven,
                              quoteGiven,
                              inferTypes,
                              !o.Format.DateFormat.empty(),
                              import->ImportType() != impFixed && !o.Format.DatesGiven() &&
                                  !SetsProperty(o.Sets, "DateTimeStyle"),
                              !o.Format.DecimalSeparator.empty() ||
                                  !o.Format.ThousandSeparator.empty(),
                              o.SkipLinesOption->count() > 0 || SetsProperty(o.Sets, "SkipLines"),
                              !o.Comment.empty() || SetsProperty(o.Sets, "CommentChar"),
                              !o.Escape.empty() || SetsProperty(o.Sets, "EscapeChar"),
                              o.KeepStrayQuotes || SetsProperty(o.Sets, "KeepStrayQuotes"),
                              HeaderGiven(o),
                              ""};
  // Fixed-width columns found are counted as the run counts given ones.
  request.WidthUnit = o.Fixed || SetsProperty(o.Sets, "FixedWidthUnit") ? import->FixedWidthUnit()
                      : o.ByteWidths                                    ? fuBytes
                                                                        : fuCharacters;
  // For a table made from its sample, standard input is sniffed from its
  // first bytes, kept in a file, and the run reads them again, then the
  // rest, through a pipe standing in for it. Otherwise it is read as it
  // comes, each record stored without waiting for a sample's worth.
  std::optional<TKeptHead> keptInput;
  std::optional<TInputRelay> relay;
  if (o.File == "-" && request.InferTypes) {
    keptInput.emplace(kStandardInputPath, SniffSampleOptions(o.Sample));
    if (keptInput->Kept()) {
      request.SniffPath = keptInput->Path(kStandardInputPath);
      relay.emplace(request.SniffPath);
    }
  }
  const TImportSniff sniff = SniffForImport(*import, request);
  const std::optional<TSniffResult>& sniffed = sniff.Result;
  TFailedRecords& failed = CreateFailedRecords(root, *import, o);
  // The reject files are made (or emptied) before the table is touched; a
  // run only saved writes none.
  std::optional<TRejectReport> rejects;
  if (o.Save.empty()) rejects.emplace(TRejectReport::TOptions::Of(failed, import->InputFile()));
  const THeaderFound headerFound = PrepareImportTable(*table, *import, o, o.Save.empty(),
                                                     sniffed ? &*sniffed : nullptr);
  if (sniffed && import->DateTimeStyle() == dsISO8601 && !o.Format.DatesGiven() &&
      o.ColumnFormats.empty() && !SetsProperty(o.Sets, "DateTimeStyle")) {
    ChooseDateStyle(session, *import, *table, *sniffed);
  }
  for (const std::string& notice : sniff.Notices) {
    session.Say(mtInformation, notice.substr(notice.starts_with("korvane: ") ? 9 : 0));
  }
  SayHeaderFound(session, headerFound, sniffed ? &*sniffed : nullptr, *import, o);
  if (inferTypes && sniffed && table->CreateTable()) {
    // Fixed-width columns found for the new table are the run's.
    if (import->ImportType() == impFixed && import->FixedWidths().empty()) {
      import->SetFixedWidths(FixedWidthsText(*sniffed));
    }
    // --fields names the columns instead of the header.
    if (o.Fields.empty()) {
      for (const std::string& s : sniffed->Renamed) session.Say(mtInformation, "renamed " + s);
    }
    if (sniffed->DecimalComma) {
      // The import's own, so that --save keeps them.
      import->SetDecimalSeparator(",");
      import->SetThousandSeparator(".");
      session.Say(mtInformation,
                  "reading numbers with a decimal comma and thousands points (1.234,5); "
                  "--decimal-separator and --thousand-separator decide");
    }
  }
  // A table the run makes has the file's columns in the file's order, named
  // as a table can name them (the sniffed or --columns names, which may
  // differ from the header's): the values go by position.
  if (table->CreateTable() && import->ColumnMatching() == cmByHeaderName &&
      !SetsProperty(o.Sets, "ColumnMatching")) {
    import->SetColumnMatching(cmByPosition);
  }
  if (!o.Save.empty()) {
    std::vector<TComponent*> saved{ds, import};
    if (failed.Asked()) saved.push_back(&failed);
    SaveSettings(o.Save, saved);
    return kExitOk;
  }

  // Over several connections, a plain file is cut into ranges, each read,
  // converted and loaded by an import of its own.
  std::unique_ptr<TRangedImport> ranged;
  if (!o.Jobs.empty()) {
    std::string why;
    ranged = TRangedImport::Plan(root, *import, *table, o, jobs,
                                 TRejectReport::TOptions::Of(failed, import->InputFile()), why);
    if (!why.empty()) session.Say(mtInformation, "--jobs " + o.Jobs + ": " + why);
  }
  session.Wire(*import, "");
  TRejectReport& report = *rejects;
  report.Attach(*import);
  std::optional<TRunMeter> meter;
  if (o.Progress) meter.emplace(*import);
  if (meter && ranged) ranged->SetMeter(&*meter);
  TAtomicRun atomic(*table, failed.Atomic());
  const std::string strayQuotesHint = request.StrayQuotesGiven ? ""
                                      : sniff.StrayQuotesSniffed
                                          ? "the sample shows such quotes in fewer than two records"
                                          : "stray quotes were not sniffed for this input";
  TImportOutcome outcome =
      ExecuteImport(session, *import, report, "", ranged.get(), atomic.On(), strayQuotesHint);
  std::int32_t& result = outcome.Result;
  if (relay) {
    // The run read the pipe to its end, but standard input was not.
    const std::string failure = relay->Finish();
    if (!failure.empty() && result >= 0 && !import->Interrupted()) {
      session.Say(mtError, failure + ": the run missed the rest of the input");
      result = -1;
    }
  }
  const bool kept = EndAtomicRun(session, atomic, *import, result);
  SayJobsNote(session, o, *table);
  // Stopped by Ctrl-C, a run over several connections says what each
  // committed, as a failed one does.
  const bool signalled = import->Interrupted() && TImportInterrupts::Signal() != 0;
  // A run that never started (a header naming no column is a usage error)
  // has no counts to give.
  const bool started = import->SetupFailure().empty() && import->ColumnFault().empty();
  if (ranged && started && (signalled || result < 0)) {
    session.Say(mtInformation, "--jobs " + o.Jobs + ": " + ranged->StoredText(!signalled));
  } else if (signalled && !o.Jobs.empty() && !table->JobsCommitted().empty() &&
             table->JobsNote() != table->JobsCommitted()) {
    session.Say(mtInformation, "--jobs " + o.Jobs + ": " + table->JobsCommitted());
  }
  if (const std::string gaps = ranged && signalled ? ranged->NotStored() : ""; !gaps.empty()) {
    // The ranges stopped each where it was: what is missing is not the
    // file's end.
    session.Say(mtError, import->Name() + ": interrupted; " + std::to_string(outcome.Stored) +
                             " records are stored; not stored: " + gaps +
                             "; records after the first of them are stored, so --start-record "
                             "would store those twice: load the records not stored alone, or "
                             "the file again with --mode skip into a table with a key");
  } else {
  SayInterrupted(session, *import, kept);
  }
  // Only a table this run made took its types from the sample.
  if (inferTypes && sniffed && table->CreateTable() && !sniffed->WholeFile &&
      import->ErrorRecords() > 0) {
    session.Say(mtInformation, "the column types came from the first " +
                                   std::to_string(sniffed->Records) +
                                   " records; --sample all takes them from every record");
  }
  // Numbers of a decimal comma into a table the run did not make are read
  // as the options say: where some failed, say how to read them.
  if (sniffed && sniffed->DecimalComma && report.Failed(TRecordErrorReason::rerNotANumber) > 0 &&
      import->DecimalSeparator().empty() && import->ThousandSeparator().empty()) {
    session.Say(mtInformation,
                "the file's numbers look written with a decimal comma and thousands points "
                "(1.234,5): --decimal-separator , --thousand-separator . reads them so");
  }
  if (meter) session.Say(mtInformation, meter->Line(*import, kept ? outcome.Stored : 0));
  if (!import->ColumnFault().empty()) {
    if (const auto& readOnly = import->ReadOnlyColumns(); !readOnly.empty()) {
      std::string names;
      for (const std::string& name : readOnly) names += (names.empty() ? "" : ",") + name;
      session.Say(mtInformation,
                  import->ColumnMatching() == cmByHeaderName
                      ? "nothing was stored; --ignore-columns " + names + " leaves their values out"
                      : "nothing was stored; --fields A,B,C names the columns that take the "
                        "file's values, in its order, without " + names);
    } else if (import->ColumnFault().starts_with("FieldList")) {
      // The names came from --fields (or --exclude), not from the header.
      session.Say(mtInformation,
                  "nothing was stored; --fields and --exclude name columns of the table "
                  "(--fields A,B,C those that take the file's values, in its order)");
    } else if (!import->UnknownColumns().empty()) {
      session.Say(mtInformation,
                  "nothing was stored; --ignore-columns NAME,... skips the values of those names "
                  "(--ignore-extra-columns: of every name that is no column), --fields A,B,C "
                  "names the columns in the file's order");
    } else if (import->ImportType() == impDelimited) {
      // A column named twice, or a name spelt like several.
      session.Say(mtInformation,
                  "nothing was stored; --fields A,B,C names the columns in the file's order");
    }
    session.PrintJson(ImportJson(*import, outcome, report));
    return kExitUsage;
  }
  json j = ImportJson(*import, outcome, report);
  // Over several connections: the ranges the file was read in (1: read on
  // one thread, its records dealt out).
  if (!o.Jobs.empty()) j["ranges"] = ranged ? ranged->Ranges() : 1;
  if (!kept) {
    for (const char* count : {"stored", "inserted", "updated", "skipped"}) j[count] = 0;
  }
  SayLoadCounts(session, *table, j, import->ErrorRecords(),
                kept && ImportRanThrough(*import, result), "", table->CreateTable());
  session.PrintJson(std::move(j));
  return ImportExitFor(*import, result);
}

}  // namespace korvane::cli

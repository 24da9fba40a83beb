// The korvane command. Each subcommand builds the components a host program
// would build (the dataset --db names and a TCSVImport or TCSVExport, or whatever a
// settings file stores), sets their published properties from the options,
// checks what it can check before anything is changed, and calls Execute.
#include "cli/korvane_cli.h"

#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "cli/cli_command.h"
#include "cli/cli_database.h"
#include "cli/cli_rejects.h"
#include "cli/cli_suggest.h"
#include "cli/cli_util.h"
#include "cli/sniff_command.h"
#include "io/byte_sink.h"
#include "ui/dialogs.h"
#include "text/formats.h"
#include "core/published.h"
#include "core/settings.h"
#include "ui/terminal_renderer.h"
#include "export/kvcsvexp.h"
#include "import/kvcsvimp.h"
#include "registry/kvprops.h"
#include "components/kvtypes.h"

namespace korvane {

namespace cli {
namespace {

constexpr const char* kVersionText = "korvane 1.32";

void PrepareExportSource(TDatabaseTable& ds) {
  ds.RequireLocation();
  if (ds.TableName().empty() == ds.Query().empty()) {
    throw EUsageError(ds.TableName().empty() ? "give what to export: --table NAME or --query SQL"
                                             : "give --table or --query, not both");
  }
  if (!ds.Exists()) {
    throw EUsageError("database '" + ds.Location() + "' does not exist: check the path");
  }
  try {
    ds.DataSet().Open();
  } catch (const Exception& e) {
    throw EUsageError(e.Message());
  }
}

// --widths gives one width for each column written: another count is a
// usage error, found once the columns are known and before the target is
// touched.
void CheckGivenWidths(const TTransferOptions& o, const TCSVExport& exporter) {
  if (o.Widths.empty() || exporter.FixedWidths() != o.Widths ||
      exporter.FixedLayout() != flColumns) {
    return;
  }
  std::vector<int> widths;
  std::string fault;
  if (!ParseFixedWidths(o.Widths, widths, fault)) return;  // refused with the options
  std::vector<std::string> columns;
  for (const TField* field : exporter.DataSet()->Fields()) {
    if (FieldInFieldList(exporter.FieldListAction(), exporter.FieldList(), field->FieldName())) {
      columns.push_back(field->FieldName());
    }
  }
  if (widths.size() == columns.size()) return;
  std::string names;
  for (const std::string& name : columns) names += (names.empty() ? "" : ", ") + name;
  throw EUsageError("--widths gives " + std::to_string(widths.size()) +
                    (widths.size() == 1 ? " width" : " widths") + " for " +
                    std::to_string(columns.size()) +
                    (columns.size() == 1 ? " column (" : " columns (") + names +
                    "): give one width for each column, in their order");
}

// How an export ended: Execute's result (-1: failed, the target unchanged)
// and the records it left out, each failed alone, when the file took the
// target's place.
struct TExportOutcome {
  std::int32_t Result = -1;
  std::int64_t Failed = 0;
};

int ExitFor(const TExportOutcome& outcome) {
  if (outcome.Result < 0) return kExitFailed;
  return outcome.Failed > 0 ? kExitPartly : kExitOk;
}

// A record left out because a value of it could not be read fails the whole
// export: the file would lack it and look whole. The first such record.
std::string UnreadRecordText(const TCSVExport& exporter) {
  const TLeftOutRecords& leftOut = exporter.LeftOutRecords();
  std::int64_t record = leftOut.FirstRecord;
  std::string reason = leftOut.FirstReason;
  for (const TLeftOutRecord& r : exporter.LeftOutList()) {
    if (r.Unfit) continue;
    record = r.Record;
    reason = r.Reason;
    break;
  }
  return "record " + std::to_string(record) + " cannot be written: " + reason +
         (leftOut.Count > 1 ? " (" + std::to_string(leftOut.Count) + " records in all)"
                            : std::string());
}

// Records whose line cannot hold a value fail alone, as an import's failed
// records do: how many, the first few and why.
void SayFailedRecords(TSession& session, const TCSVExport& exporter, const std::string& prefix) {
  constexpr std::size_t kShown = 5;
  const std::int64_t failed = exporter.UnfitRecords();
  session.Say(mtWarning, prefix + std::to_string(failed) +
                             (failed == 1 ? " record failed, not written: it holds"
                                          : " records failed, not written: each holds") +
                             " a value its fixed-width line cannot hold");
  const std::vector<TLeftOutRecord>& list = exporter.LeftOutList();
  for (std::size_t i = 0; i < list.size() && i < kShown; ++i) {
    session.Say(mtWarning, prefix + "record " + std::to_string(list[i].Record) + ": " +
                               list[i].Reason);
  }
  if (failed > static_cast<std::int64_t>(kShown)) {
    session.Say(mtWarning, prefix + "and " + std::to_string(failed - kShown) +
                               " more (--json lists the first 100)");
  }
}

// What --json says of an export: the records written and, when some failed,
// how many and why (the first 100, as an import's reasons).
json ExportJson(const TCSVExport& exporter, const TExportOutcome& outcome) {
  if (outcome.Result < 0 || outcome.Failed == 0) return {{"result", outcome.Result}};
  json reasons = json::array();
  for (const TLeftOutRecord& r : exporter.LeftOutList()) {
    reasons.push_back({{"record", r.Record}, {"field", JsonText(r.Field)},
                       {"message", JsonText(r.Reason)}});
  }
  return {{"result", outcome.Result - outcome.Failed},
          {"errorRecords", outcome.Failed},
          {"reasons", std::move(reasons)}};
}

// Runs an export into a replacement file that takes the target's place only
// when the run succeeded.
TExportOutcome ExecuteExport(TSession& session, TCSVExport& exporter, TReplacementFile& output,
                             const std::string& target, const std::string& prefix) {
  TExportOutcome outcome;
  std::string failure;
  try {
    const std::int32_t result = exporter.Execute();
    const TLeftOutRecords& leftOut = exporter.LeftOutRecords();
    if (result >= 0 && exporter.LastError().empty() && leftOut.Count == exporter.UnfitRecords()) {
      output.Commit();
      outcome = {result, leftOut.Count};
      if (leftOut.Count > 0) SayFailedRecords(session, exporter, prefix);
    } else if (result >= 0 && leftOut.Count > 0) {
      failure = UnreadRecordText(exporter) + "; any earlier file '" + target + "' is unchanged";
    } else if (!exporter.SetupFailure().empty()) {
      failure = "the export cannot start: " + exporter.SetupFailure() + "; any earlier file '" +
                target + "' is unchanged";
    } else if (!exporter.WriteErrorText().empty()) {
      failure = "cannot write '" + target + "': " + exporter.WriteErrorText() +
                "; any earlier file of that name is unchanged";
    } else if (exporter.WriteErrorCode() != 0) {
      failure = "cannot write '" + target + "' (" + std::strerror(exporter.WriteErrorCode()) +
                "); any earlier file of that name is unchanged";
    } else if (!exporter.LastError().empty()) {
      failure = exporter.LastError() + "; any earlier file '" + target + "' is unchanged";
    } else {
      failure = "the export did not run; any earlier file '" + target + "' is unchanged";
    }
  } catch (const std::exception& e) {
    failure = std::string(e.what()) + "; any earlier file '" + target + "' is unchanged";
  }
  if (!failure.empty()) {
    session.Say(mtError, failure);
    return TExportOutcome{};
  }
  return outcome;
}

// Values that did not fit their column were written as the database holds
// them: say so once, with the first one.
void WarnOfMisfits(TSession& session, const TMisfitValues& misfits) {
  if (misfits.Count == 0) return;
  session.Err() << "Warning: " << misfits.Count
                << (misfits.Count == 1 ? " value did not fit its column's type and was"
                                       : " values did not fit their column's type and were")
                << " written as stored; first: row " << misfits.Row << ", " << misfits.Column
                << " = \"" << misfits.Text << "\"" << std::endl;
}

// The compression an export writes: --compress, or else the one the target's
// name asks for (the component writes to a file of another name first).
TCompression ExportCompression(const std::string& given, TCompression current,
                               const std::string& target) {
  if (given == "gzip") return cmGzip;
  if (given == "zstd") return cmZstd;
  if (given == "none") return cmNone;
  if (!given.empty()) {
    throw EUsageError("--compress '" + given + "': give gzip, zstd or none");
  }
  if (current != cmAuto) return current;
  switch (FileFormatForName(target)) {
    case TFileFormat::ffGzip:
      return cmGzip;
    case TFileFormat::ffZstd:
      return cmZstd;
    case TFileFormat::ffPlain:
      break;
  }
  return cmNone;
}

// ---------------------------------------------------------------------------
// The subcommands.

int RunExport(TExportOptions& o, std::ostream& out, std::ostream& err) {
  TSession session(out, err, o);
  ApplyFormat(o.Format);
  TComponent root(nullptr);
  const std::unique_ptr<TDatabaseTable> table =
      CreateOptionsTable(root, o.Database, o.Table, o.Query, "Query");
  TDataSet* ds = &table->DataSet();
  table->SetReadOnly(true);
  if (!o.Jobs.empty()) table->SetJobs(ParseJobs(o.Jobs));
  table->SetUnorderedRead(o.Unordered);
  auto* exporter = new TCSVExport(&root);
  exporter->SetName("Export");
  // The command's defaults, the same a program gets from
  // UseCommandDefaults: standard CSV, ISO 8601 dates and times (as databases
  // and data tools write them), the compression the target's name asks for.
  UseCommandDefaults(*exporter);
  if (o.QuoteAll) exporter->SetDelimitedFields(dfAll);
  if (o.Format.DatesGiven()) exporter->SetDateTimeStyle(dsFormatSettings);
  ChooseFormats(*exporter, o.Format);
  if (o.Format.Utc) table->SetUtcTimes(true);
  exporter->SetDialect(ParseDialect(o.Dialect));
  if (!o.Escape.empty()) {
    exporter->SetEscapeChar(std::string(1, ParseFormatChar("--escape", o.Escape)));
  }
  exporter->SetByteOrderMark(o.ByteOrderMark);
  ApplyDelimiting(*exporter, o);
  if (o.Fixed) exporter->SetExportType(expFixed);
  if (o.AlignRight) exporter->SetNumericAlign(naRight);
  exporter->SetRecordSeparator(ParseRecordSeparator(o.RecordSeparator));
  exporter->SetOutputFile(o.File);
  exporter->SetDataSet(ds);
  if (o.Header || !o.HeaderLines.empty()) {
    TStringList lines;
    for (const std::string& line : o.HeaderLines) lines.Add(line);
    exporter->SetHeaderData(&lines);
    exporter->SetHeaderOutput(true);
    exporter->SetHeaderFieldNames(o.Header);
  }
  if (!o.TrailerLines.empty()) {
    TStringList lines;
    for (const std::string& line : o.TrailerLines) lines.Add(line);
    exporter->SetTrailerData(&lines);
    exporter->SetTrailerOutput(true);
  }
  // --compress as given; else by the target's name when the export runs
  // (a saved export keeps cmAuto, so that `korvane run` goes by the name).
  if (!o.Compress.empty()) {
    exporter->SetCompression(ExportCompression(o.Compress, cmAuto, o.File));
  }
  for (const std::string& s : o.Sets) ApplySet(*exporter, s, OwnedComponents(root));

  const std::string target = exporter->OutputFile();
  if (target.empty()) {
    throw EUsageError(
        "give the file to write: korvane export FILE --db DATABASE --table TABLE (- for "
        "standard output)");
  }
  if (exporter->DataSet() != ds)
    throw EUsageError("--set DataSet: the export needs the --db table");
  if (!o.Save.empty()) {
    table->RequireLocation();
    SaveSettings(o.Save, {ds, exporter});
    return kExitOk;
  }
  PrepareExportSource(*table);
  CheckGivenWidths(o, *exporter);
  exporter->SetCompression(ExportCompression("", exporter->Compression(), target));
  // The command replaces the target itself, so that it can keep the old
  // file also when records were left out.
  exporter->SetWriteMode(wmInPlace);
  const std::unique_ptr<TReplacementFile> output = OpenReplacement(target);
  exporter->SetOutputFile(output->WritePath());

  session.Wire(*exporter, "");
  const TExportOutcome outcome = ExecuteExport(session, *exporter, *output, target, "");
  SayJobsNote(session, o, *table);
  if (outcome.Result >= 0) WarnOfMisfits(session, table->Misfits());
  session.PrintJson(ExportJson(*exporter, outcome));
  return ExitFor(outcome);
}

// The components of a settings file, and those of them that run.
struct TStoredRun {
  std::vector<std::unique_ptr<TComponent>> Components;
  std::vector<TComponent*> Runnable;

  TComponent* Find(std::string_view name) const {
    TComponent* found = nullptr;
    for (const auto& c : Components) {
      if (SameText(c->Name(), name)) found = c.get();
    }
    return found;
  }
};

// --set Component.Property=Value, or Property=Value when there is one
// component to run.
void ApplyStoredSet(const TStoredRun& run, const std::string& s, const TRunOptions& o,
                    const TComponentLookup& lookup) {
  std::size_t eq = s.find('=');
  std::size_t dot = s.find('.');
  TComponent* target = nullptr;
  std::string assignment = s;
  if (dot != std::string::npos && (eq == std::string::npos || dot < eq)) {
    std::string name = s.substr(0, dot);
    target = run.Find(name);
    if (target == nullptr) {
      throw EUsageError("--set " + s + ": '" + o.SettingsFile + "' has no component '" + name +
                        "'");
    }
    assignment = s.substr(dot + 1);
  } else if (run.Runnable.size() == 1) {
    target = run.Runnable.front();
  } else {
    throw EUsageError("--set " + s + ": '" + o.SettingsFile +
                      "' holds several components: write --set Component.Name=Value");
  }
  TComponentLookup fileLookup = [&](std::string_view name) -> TComponent* {
    for (const auto& c : run.Components) {
      if (SameText(c->Name(), name)) return c.get();
    }
    return lookup(name);
  };
  ApplySet(*target, assignment, fileLookup, target->Name() + ".");
}

// Opens a stored component's dataset, when it is not open, as a usage error
// naming the component when it cannot be.
void OpenStoredDataSet(TDataSet& ds, const std::string& name) {
  if (ds.Active()) return;
  try {
    ds.Open();
  } catch (const Exception& e) {
    throw EUsageError(name + ": " + e.Message());
  }
}

// A stored import's table must exist unless the dataset creates it.
void CheckStoredImportTable(TCSVImport& import, const std::string& name) {
  auto sq = AsDatabaseTable(import.DataSet());
  if (!sq || sq->DataSet().Active()) return;
  if (sq->CreateTable() || !sq->Query().empty() || !sq->Exists()) return;
  bool exists = false;
  try {
    exists = sq->TableExists(sq->TableName());
  } catch (const Exception& e) {
    throw EUsageError(e.Message());
  }
  if (!exists) {
    throw EUsageError(name + ": table '" + sq->TableName() + "' does not exist in '" +
                      sq->Location() + "' (set CreateTable and Columns on the dataset to make it)");
  }
}

// Runs a stored import, its failed records handled as failed asks (none:
// as a plain run); its outcome goes to results. The run's result.
std::int32_t RunStoredImport(TSession& session, TCSVImport& import, const TFailedRecords* failed,
                             const TRunOptions& o, json& results) {
  const std::string& name = import.Name();
  if (o.Progress) import.SetShowProgress(true);
  CheckInputFile(import.InputFile());
  if (import.DataSet() == nullptr) {
    throw EUsageError(name +
                      ": no DataSet to import into (set DataSet in the file, or give "
                      "--db and --table)");
  }
  CheckStoredImportTable(import, name);
  OpenStoredDataSet(*import.DataSet(), name);
  const bool atomic = failed != nullptr && failed->Atomic();
  const std::unique_ptr<TDatabaseTable> table = AsDatabaseTable(import.DataSet());
  if (atomic && table == nullptr) {
    throw EUsageError(name + ": Atomic needs a database table to import into");
  }
  session.Wire(import, name);
  TRejectReport report(failed != nullptr
                           ? TRejectReport::TOptions::Of(*failed, import.InputFile())
                           : TRejectReport::TOptions{});
  report.Attach(import);
  std::optional<TAtomicRun> transaction;
  if (atomic) transaction.emplace(*table, true);
  TImportOutcome outcome = ExecuteImport(session, import, report, name + ": ");
  const bool kept = !transaction || EndAtomicRun(session, *transaction, outcome.Result);
  SayInterrupted(session, import, kept);
  json r = ImportJson(import, outcome, report);
  if (!kept) {
    for (const char* count : {"stored", "inserted", "updated", "skipped"}) r[count] = 0;
  }
  r["component"] = JsonText(name);
  results.push_back(std::move(r));
  return outcome.Result;
}

// Runs a stored export; its outcome goes to results. The run's exit status.
int RunStoredExport(TSession& session, TCSVExport& exporter, const TRunOptions& o,
                             json& results) {
  const std::string& name = exporter.Name();
  if (o.Progress) exporter.SetShowProgress(true);
  const std::string target = exporter.OutputFile();
  if (target.empty()) throw EUsageError(name + ": no OutputFile to write");
  if (exporter.DataSet() == nullptr) throw EUsageError(name + ": no DataSet to export");
  OpenStoredDataSet(*exporter.DataSet(), name);
  const TCompression compression = exporter.Compression();
  exporter.SetCompression(ExportCompression("", compression, target));
  const TWriteMode writeMode = exporter.WriteMode();
  exporter.SetWriteMode(wmInPlace);  // the command replaces the target itself
  const std::unique_ptr<TReplacementFile> output = OpenReplacement(target);
  exporter.SetOutputFile(output->WritePath());
  session.Wire(exporter, name);
  const TExportOutcome outcome = ExecuteExport(session, exporter, *output, target, name + ": ");
  exporter.SetOutputFile(target);
  exporter.SetWriteMode(writeMode);
  exporter.SetCompression(compression);
  json r = ExportJson(exporter, outcome);
  r["component"] = JsonText(name);
  results.push_back(std::move(r));
  return ExitFor(outcome);
}

int RunSettings(TRunOptions& o, std::ostream& out, std::ostream& err) {
  TSession session(out, err, o);
  ApplyFormat(o.Format);

  // A dataset from the options, which the file's components can name.
  TComponent root(nullptr);
  if (!o.Database.empty() || !o.Table.empty() || !o.Query.empty()) {
    CreateOptionsTable(root, o.Database, o.Table, o.Query, "Query")->RequireLocation();
  }
  const TComponentLookup lookup = OwnedComponents(root);

  TStoredRun run;
  try {
    run.Components = LoadComponentsFromFile(o.SettingsFile, lookup);
  } catch (const Exception& e) {
    throw EUsageError(e.Message());
  }
  // What each import's failed records ask, one at most for an import.
  std::vector<const TFailedRecords*> failures;
  for (auto& c : run.Components) {
    const auto* failed = dynamic_cast<const TFailedRecords*>(c.get());
    if (failed == nullptr) continue;
    if (failed->Import() == nullptr) {
      throw EUsageError("'" + o.SettingsFile + "': TFailedRecords '" + failed->Name() +
                        "' names no Import");
    }
    for (const TFailedRecords* other : failures) {
      if (other->Import() == failed->Import()) {
        throw EUsageError("'" + o.SettingsFile + "' holds two TFailedRecords of import '" +
                          failed->Import()->Name() + "': keep one");
      }
    }
    failures.push_back(failed);
  }
  const auto failedOf = [&](const TCSVImport& import) -> const TFailedRecords* {
    for (const TFailedRecords* failed : failures) {
      if (failed->Import() == &import) return failed;
    }
    return nullptr;
  };
  for (auto& c : run.Components) {
    // The options' format settings and --utc go before the components' own.
    if (auto* import = dynamic_cast<TCSVImport*>(c.get())) {
      ChooseFormats(*import, o.Format);
      run.Runnable.push_back(c.get());
    } else if (auto* exporter = dynamic_cast<TCSVExport*>(c.get())) {
      ChooseFormats(*exporter, o.Format);
      run.Runnable.push_back(c.get());
    } else if (auto table = AsDatabaseTable(dynamic_cast<TDataSet*>(c.get()));
               table && o.Format.Utc) {
      table->SetUtcTimes(true);
    }
  }
  if (run.Runnable.empty()) {
    throw EUsageError("'" + o.SettingsFile + "' holds no TCSVImport or TCSVExport to run");
  }
  for (const std::string& s : o.Sets) ApplyStoredSet(run, s, o, lookup);

  json results = json::array();
  int status = kExitOk;
  for (TComponent* c : run.Runnable) {
    if (auto* import = dynamic_cast<TCSVImport*>(c)) {
      const std::int32_t result = RunStoredImport(session, *import, failedOf(*import), o, results);
      const int importStatus = ImportExitFor(*import, result);
      if (result < 0) {
        status = importStatus;
        break;
      }
      status = std::max(status, importStatus);
    } else if (auto* exporter = dynamic_cast<TCSVExport*>(c)) {
      const int exportStatus = RunStoredExport(session, *exporter, o, results);
      if (exportStatus == kExitFailed) {
        status = kExitFailed;
        break;
      }
      status = std::max(status, exportStatus);
    }
  }
  session.PrintJson({{"components", results}});
  return status;
}

CLI::App* AddExportCommand(CLI::App& app, TExportOptions& eo) {
  CLI::App* exp = app.add_subcommand(
      "export",
      "Export a table or query into a text file: one line per record, delimited (CSV by "
      "default) or fixed-width");
  exp->add_option("OUTPUT", eo.File,
                  "The file to write (- for standard output); replaced only when the export "
                  "succeeds")
      ->type_name("FILE");
  exp->add_option("--table", eo.Table, "The table to export, in rowid order")->type_name("NAME");
  exp->add_option("--query", eo.Query, "A SELECT whose result to export, in its order")
      ->type_name("SQL");
  AddLayoutOptions(exp, eo, false);
  exp->add_flag("--header", eo.Header, "Write the field names as the first line");
  exp->add_option("--header-line", eo.HeaderLines,
                  "Write this line before the records (repeat "
                  "for more lines)")
      ->type_name("TEXT")
      ->allow_extra_args(false);
  exp->add_option("--trailer-line", eo.TrailerLines,
                  "Write this line after the records (repeat for more lines)")
      ->type_name("TEXT")
      ->allow_extra_args(false);
  exp->add_option("--record-separator", eo.RecordSeparator,
                  "What ends every line: lf (default), crlf or cr")
      ->type_name("lf|crlf|cr");
  exp->add_flag("--quote-all", eo.QuoteAll, "Quote every value, not only text values");
  exp->add_option("--escape", eo.Escape,
                  "Write CHAR before each character that would end or change a value, as "
                  "import --escape reads it back: \\\" a quote and \\\\ a backslash inside "
                  "quotes (a value holding CHAR is quoted), \\, a separator and an escaped line "
                  "break with --quote none (EscapeChar; standard rules)")
      ->type_name("CHAR");
  exp->add_flag("--bom", eo.ByteOrderMark,
                "Write a byte-order mark first, in the --encoding's form (spreadsheets then "
                "read the file in its encoding)");
  exp->add_option("--compress", eo.Compress,
                  "Write the file compressed: gzip or zstd (default: by the name, .gz or .zst; "
                  "none for neither)")
      ->type_name("gzip|zstd|none");
  exp->add_flag("--unordered", eo.Unordered,
                "With --jobs, write the records as the connections deliver them instead of in "
                "the table's order (UnorderedRead): no connection waits for another");
  exp->add_flag("--align-right", eo.AlignRight,
                "In fixed-width lines, pad numbers on the left (right-aligned)");
  exp->footer(
      "Examples:\n"
      "  korvane export people-out.csv --db people.db --table people --header\n"
      "  korvane export - --db shop.db --query \"SELECT id, total FROM orders\" -s ';'\n"
      "Dates and times are written in ISO 8601 (yyyy-mm-dd, hh:nn:ss, yyyy-mm-dd hh:nn:ss, "
      "with the fraction digits and zone the value has; DateTimeStyle=dsISO8601) unless "
      "--date-format or --time-format is given. "
      "Every value is written whole (WholeValues): date-times with their time, times with "
      "their milliseconds, memos as text, blobs as \\x and hexadecimal, NULL as an empty "
      "value (nothing), an empty text as \"\"; --set WholeValues=false writes the classic layout. "
      "A value that does not fit its "
      "column's type is written as stored, and a warning counts them.\n" +
      std::string(kExitText));
  return exp;
}

CLI::App* AddRunCommand(CLI::App& app, TRunOptions& ro) {
  CLI::App* run = app.add_subcommand(
      "run", "Run the import and export components stored in a settings file, in file order");
  run->add_option("SETTINGS-FILE", ro.SettingsFile,
                  "The settings file (see docs/settings-format.md)")
      ->required();
  run->add_option("--db", ro.Database,
                  "Also supply a dataset (a SQLite file or a postgresql:// URI), named after "
                  "--table (or \"Query\"), that the file's DataSet properties can name")
      ->type_name("FILE|URI");
  run->add_option("--table", ro.Table, "The supplied dataset's table")->type_name("NAME");
  run->add_option("--query", ro.Query, "The supplied dataset's query")->type_name("SQL");
  AddRunSwitches(run, ro);
  run->footer(
      "--set takes Component.Name=Value (or Name=Value when the file holds one component to "
      "run).\n" +
      std::string(kExitText));
  return run;
}

// The command line so far as --help takes it: "korvane" and the subcommand
// given, if any.
std::string ParsedCommand(CLI::App& app) {
  for (const CLI::App* sub : app.get_subcommands([](CLI::App*) { return true; })) {
    if (sub->parsed()) return "korvane " + sub->get_name();
  }
  return "korvane";
}

}  // namespace
}  // namespace cli

int RunKorvane(int argc, char** argv, std::ostream& out, std::ostream& err) {
  using namespace cli;
  RegisterKorvaneClasses();
  RegisterDatabaseClasses();
  RegisterCommandClasses();
  CLI::App app{
#if KORVANE_WITH_POSTGRES
      "Korvane moves data between flat text files and database tables (SQLite, or\n"
      "PostgreSQL when --db is a postgresql:// URI).\n"
#else
      "Korvane moves data between flat text files and database tables (SQLite).\n"
#endif
      "  korvane import FILE --db DATABASE --table TABLE [options]\n"
      "  korvane export FILE --db DATABASE (--table TABLE | --query SQL) [options]\n"
      "  korvane run SETTINGS-FILE [options]\n"
      "  korvane sniff FILE [options]",
      "korvane"};
  app.set_version_flag("--version", kVersionText);
  app.require_subcommand(1);
  app.footer(kExitText);

  TImportOptions io;
  CLI::App* imp = AddImportCommand(app, io);

  TExportOptions eo;
  CLI::App* exp = AddExportCommand(app, eo);

  TRunOptions ro;
  AddRunCommand(app, ro);

  TSniffCommandOptions so;
  CLI::App* sniff = AddSniffCommand(app, so);

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    out << app.help();
    return kExitOk;
  } catch (const CLI::CallForAllHelp&) {
    out << app.help("", CLI::AppFormatMode::All);
    return kExitOk;
  } catch (const CLI::CallForVersion&) {
    out << kVersionText << '\n';
    return kExitOk;
  } catch (const CLI::ParseError& e) {
    const std::optional<std::string> unknown = UnknownWordMessage(app, argc, argv, e.what());
    err << "korvane: " << (unknown ? *unknown : std::string(e.what())) << " (see "
        << ParsedCommand(app) << " --help)" << std::endl;
    return kExitUsage;
  }

  try {
    if (imp->parsed()) return RunImport(io, out, err);
    if (exp->parsed()) return RunExport(eo, out, err);
    if (sniff->parsed()) return RunSniff(so, out, err);
    return RunSettings(ro, out, err);
  } catch (const EUsageError& e) {
    err << "korvane: " << e.what() << std::endl;
    if (io.Json || eo.Json || ro.Json || so.Json)
      out << json{{"error", JsonText(e.what())}}.dump() << std::endl;
    return kExitUsage;
  } catch (const std::exception& e) {
    err << "Error: " << e.what() << std::endl;
    if (io.Json || eo.Json || ro.Json || so.Json)
      out << json{{"error", JsonText(e.what())}}.dump() << std::endl;
    return kExitFailed;
  }
}

}  // namespace korvane

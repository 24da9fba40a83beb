// korvane export: a table or a query written to a text file by a TCSVExport,
// the file taking the target's place only when the run succeeded.
#include "cli/cli_command.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <ostream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "cli/cli_database.h"
#include "cli/cli_util.h"
#include "io/byte_sink.h"
#include "text/formats.h"
#include "core/published.h"
#include "core/utf8_head.h"
#include "export/kvcsvexp.h"
#include "components/kvtypes.h"
#include "ui/dialogs.h"

namespace korvane::cli {
namespace {

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

// The database's own file as the target would be replaced by the text of
// its table: refused before anything is written.
void CheckTargetIsNotTheDatabase(const TDatabaseTable& table, const std::string& target) {
  if (target == "-") return;
  std::error_code ec;  // no such file (or a server's address): another file
  if (std::filesystem::equivalent(target, table.Location(), ec)) {
    throw EUsageError("'" + target + "' is the database being exported: give another file");
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

// --fields and --exclude name fields of the table or query: a name that is
// none (a typo would silently leave a column out or in) is a usage error,
// found before the target is touched.
void CheckFieldNames(const TTransferOptions& o, const TCSVExport& exporter) {
  if (o.Fields.empty() && o.Exclude.empty()) return;
  std::vector<std::string> fieldNames;
  for (const TField* field : exporter.DataSet()->Fields()) fieldNames.push_back(field->FieldName());
  std::string unknown;
  const TStrings* names = exporter.FieldList();
  for (int i = 0; i < names->Count(); ++i) {
    const std::string& name = names->Strings(i);
    if (std::any_of(fieldNames.begin(), fieldNames.end(),
                    [&](const std::string& field) { return SameText(name, field); })) {
      continue;
    }
    unknown += (unknown.empty() ? "\"" : ", \"") + name + "\"";
    const std::string nearest = NearestWord(name, fieldNames, true);
    if (!nearest.empty()) unknown += " (nearest: \"" + nearest + "\")";
  }
  if (unknown.empty()) return;
  std::string all;
  for (const std::string& field : fieldNames) all += (all.empty() ? "" : ", ") + field;
  throw EUsageError(std::string(o.Fields.empty() ? "--exclude" : "--fields") +
                    " names fields the export does not have: " + unknown + "; its fields are " +
                    all);
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

// Records whose line cannot hold them (a value, or an empty line) fail alone, as an import's failed
// records do: how many, the first few and why.
void SayFailedRecords(TSession& session, const TCSVExport& exporter, const std::string& prefix) {
  constexpr std::size_t kShown = 5;
  const std::int64_t failed = exporter.UnfitRecords();
  session.Say(mtWarning, prefix + std::to_string(failed) +
                             (failed == 1 ? " record failed, not written: its line cannot hold it"
                                          : " records failed, not written: their lines cannot "
                                            "hold them"));
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

// A value as a message line shows it: its first 60 bytes at most, not
// splitting a UTF-8 character, control bytes and bytes that are no UTF-8
// escaped (ShownBytes).
std::string ShownValue(std::string_view value) {
  constexpr std::size_t kShown = 60;
  const std::string shown = ShownBytes(Utf8Head(value, kShown));
  return value.size() > kShown ? shown + "..." : shown;
}

// Values that did not fit their column were written as the database holds
// them: say so once, with the first one.
void WarnOfMisfits(TSession& session, const TMisfitValues& misfits) {
  if (misfits.Count == 0) return;
  session.Err() << "Warning: " << misfits.Count
                << (misfits.Count == 1 ? " value did not fit its column's type and was"
                                       : " values did not fit their column's type and were")
                << " written as stored; first: row " << misfits.Row << ", " << misfits.Column
                << " = \"" << ShownValue(misfits.Text) << "\"" << std::endl;
}

}  // namespace

int ExportExitFor(const TExportOutcome& outcome) {
  if (outcome.Result < 0) return kExitFailed;
  return outcome.Failed > 0 ? kExitPartly : kExitOk;
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
  // What became of the target: a pipe or a terminal cannot take back the
  // lines it was given; standard output redirected to a file is given the
  // export only once it has succeeded.
  const bool toStdout = target == "-";
  const std::string where = toStdout ? std::string("standard output") : "'" + target + "'";
  const std::string cannotWrite =
      toStdout ? std::string("cannot write to standard output") : "cannot write '" + target + "'";
  std::string unchanged = "; any earlier file '" + target + "' is unchanged";
  std::string nameUnchanged = "; any earlier file of that name is unchanged";
  if (output.Direct()) {
    unchanged = nameUnchanged = "; the lines before it went to " + where;
  } else if (toStdout) {
    unchanged = nameUnchanged = "; nothing went to standard output";
  }
  // The component's own error messages ("Write failed with error code 84")
  // are held back: every failure of the run is said below, with its reason
  // and what became of the target; they are shown only if it is not.
  std::vector<std::string> heldErrors;
  const TMessageEvent given = exporter.OnMessage();
  exporter.SetOnMessage([&heldErrors, &given](TObject* sender, const std::string& text,
                                              TMsgDlgType type) {
    if (type == mtError) {
      heldErrors.push_back(text);
    } else if (given) {
      given(sender, text, type);
    } else {
      MessageDlg(text, type, TMsgDlgButtons{mbOK}, 0);
    }
  });
  struct TRestore {
    TCSVExport& Exporter;
    const TMessageEvent& Given;
    ~TRestore() { Exporter.SetOnMessage(Given); }
  } restore{exporter, given};
  try {
    const std::int32_t result = exporter.Execute();
    const TLeftOutRecords& leftOut = exporter.LeftOutRecords();
    if (result >= 0 && exporter.LastError().empty() && leftOut.Count == exporter.UnfitRecords()) {
      // Commit's own message says what became of the target.
      try {
        output.Commit();
      } catch (const EInOutError& e) {
        session.Say(mtError, e.Message());
        return TExportOutcome{};
      }
      outcome = {result, leftOut.Count};
      if (leftOut.Count > 0) SayFailedRecords(session, exporter, prefix);
    } else if (result >= 0 && leftOut.Count > 0) {
      // The run went on past the records it could not write.
      failure = UnreadRecordText(exporter) +
                (output.Direct() ? "; the lines of the other records went to " + where : unchanged);
    } else if (!exporter.SetupFailure().empty()) {
      failure = "the export cannot start: " + exporter.SetupFailure() + unchanged;
    } else if (!exporter.WriteErrorText().empty()) {
      failure = cannotWrite + ": " + exporter.WriteErrorText() + nameUnchanged;
    } else if (exporter.WriteErrorCode() != 0) {
      failure = cannotWrite + " (" + std::strerror(exporter.WriteErrorCode()) + ")" + nameUnchanged;
    } else if (!exporter.LastError().empty()) {
      failure = exporter.LastError() + unchanged;
    } else {
      failure = std::string("the export did not run") + unchanged;
    }
  } catch (const std::exception& e) {
    failure = std::string(e.what()) + unchanged;
  }
  if (!failure.empty()) {
    session.Say(mtError, failure);
    return TExportOutcome{};
  }
  for (const std::string& text : heldErrors) MessageDlg(text, mtError, TMsgDlgButtons{mbOK}, 0);
  return outcome;
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
  CheckTargetIsNotTheDatabase(*table, target);
  // The lines are formatted on a second thread only where a processor is
  // free for it: a server on this machine spends one on each connection
  // reading the table (a query is read over one). On 2 cores, 2 connections
  // export a table in about 0.9 of the time with the lines formatted on the
  // caller's thread (bench/postgres_compare.sh).
  if (table->ServerOnThisMachine()) {
    std::int32_t jobs = o.Jobs.empty() || !o.Query.empty() ? 1 : ParseJobs(o.Jobs);
    if (jobs == 0) jobs = table->AutoJobs();
    const unsigned cores = std::thread::hardware_concurrency();
    if (cores != 0 && cores < 2 + static_cast<unsigned>(jobs)) exporter->SetFormatAhead(false);
  }
  CheckFieldNames(o, *exporter);
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
  return ExportExitFor(outcome);
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
      "their milliseconds, numbers of a DECIMAL(p,s) column with their s decimals (1.50), "
      "memos as text, blobs as \\x and hexadecimal, NULL as an empty "
      "value (nothing), an empty text as \"\"; --set WholeValues=false writes the classic layout. "
      "A value that does not fit its "
      "column's type is written as stored, and a warning counts them.\n" +
      std::string(kExitText));
  return exp;
}

}  // namespace korvane::cli

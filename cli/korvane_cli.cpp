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

#include "cli/cli_database.h"
#include "cli/cli_rejects.h"
#include "cli/cli_suggest.h"
#include "cli/cli_util.h"
#include "cli/sniff_command.h"
#include "platform/byte_sink.h"
#include "platform/dialogs.h"
#include "platform/formats.h"
#include "platform/published.h"
#include "platform/settings.h"
#include "platform/terminal_renderer.h"
#include "src/kvcsvexp.h"
#include "src/kvcsvimp.h"
#include "src/kvprops.h"
#include "src/kvtypes.h"

namespace korvane {

namespace cli {
namespace {

using json = nlohmann::json;

constexpr const char* kVersionText = "korvane 1.32";

// ---------------------------------------------------------------------------
// Options as parsed.

struct TFormatOptions {
  std::string DecimalSeparator;
  std::string ThousandSeparator;
  std::string DateFormat;
  std::string DateSeparator;
  std::string TimeFormat;
  std::string TimeSeparator;
};

struct TRunSwitches {
  bool Json = false;
  bool Progress = false;
  std::string Events;
  std::vector<std::string> Sets;
  TFormatOptions Format;
};

// What import and export share.
struct TTransferOptions : TRunSwitches {
  std::string File;  // INPUT or OUTPUT
  std::string Database;
  std::string Table;
  std::string Separator;
  std::string Quote;
  std::string Dialect = "standard";
  bool Fixed = false;
  std::string Fields;
  std::string Exclude;
  std::string Save;
};

// Records per transaction of an import. A commit waits for the disk (tens of
// milliseconds); at this size that wait is a small part of the group's work,
// while a process killed mid-import still keeps every group before the last.
constexpr int kDefaultCommitEvery = 500000;

struct TImportOptions : TTransferOptions {
  int CommitEvery = kDefaultCommitEvery;
  int Header = 1;
  CLI::Option* HeaderOption = nullptr;
  int Trailer = 0;
  bool Create = false;
  std::string Columns;
  std::string Sample;
  bool Lenient = false;
  std::string Rejects;
  std::string RejectLog;
  std::int64_t MaxErrors = -1;
  CLI::Option* MaxErrorsOption = nullptr;
  bool Atomic = false;
};

struct TExportOptions : TTransferOptions {
  std::string Query;
  bool Header = false;
  std::vector<std::string> HeaderLines;
  std::vector<std::string> TrailerLines;
  std::string RecordSeparator = "lf";
  bool QuoteAll = false;
  bool AlignRight = false;
  bool ByteOrderMark = false;
  std::string Compress;
};

struct TRunOptions : TRunSwitches {
  std::string SettingsFile;
  std::string Database;
  std::string Table;
  std::string Query;
};

// ---------------------------------------------------------------------------
// One invocation: where output goes, the event log, the messages shown, and
// the process-wide settings it replaces for its duration.

class TSession {
 public:
  TSession(std::ostream& out, std::ostream& err, const TRunSwitches& switches)
      : FOut(out),
        FErr(err),
        FJson(switches.Json),
        FSavedFormat(FormatSettings()),
        FMessages([this](const std::string& text, TMsgDlgType type, TMsgDlgButtons, int) {
          // The progress block is erased first so that it does not draw over
          // the message.
          ReleaseTerminalRenderers();
          FErr << MsgDlgTypeCaption(type) << ": " << text << std::endl;
          FShown.push_back({{"type", MsgDlgTypeCaption(type)}, {"text", JsonText(text)}});
          return static_cast<int>(mrOk);
        }),
        FRenderers(StderrRendererFactory()) {
    if (!switches.Events.empty()) FEvents = std::make_unique<TEventLog>(switches.Events);
  }
  ~TSession() { FormatSettings() = FSavedFormat; }
  TSession(const TSession&) = delete;
  TSession& operator=(const TSession&) = delete;

  std::ostream& Err() { return FErr; }
  bool JsonWanted() const { return FJson; }

  // Shows a message of the command's own on stderr, "korvane: TEXT" (or
  // "Error: TEXT" for an error), and keeps it for --json's messages.
  void Say(TMsgDlgType type, const std::string& text) {
    ReleaseTerminalRenderers();
    FErr << (type == mtError ? "Error: " : "korvane: ") << text << std::endl;
    FShown.push_back({{"type", MsgDlgTypeCaption(type)}, {"text", JsonText(text)}});
  }

  // Prints the JSON result (with the messages shown) when --json was given.
  void PrintJson(json result) {
    if (!FJson) return;
    result["messages"] = FShown;
    FOut << result.dump() << std::endl;
  }

  // Hooks the components' events up to the event log, when there is one.
  void Wire(TCSVImport& import, const std::string& component) {
    if (!FEvents) return;
    TEventLog* log = FEvents.get();
    import.SetOnBeginImport([log, component](TObject*) { log->Write("OnBeginImport", component);
  });
    import.SetOnImportRecord([log, component](TObject*, std::int32_t iBytes) {
      log->Write("OnImportRecord", component, {{"iBytes", iBytes}});
    });
    import.SetOnFinishImport(
        [log, component](TObject*) { log->Write("OnFinishImport", component);
    }  // namespace
);
}  // namespace cli
void Wire(TCSVExport& exporter, const std::string& component) {
  if (!FEvents) return;
  TEventLog* log = FEvents.get();
  exporter.SetOnBeginExport([log, component](TObject*) { log->Write("OnBeginExport", component); });
  exporter.SetOnExportRecord([log, component](TObject*, std::int32_t Records, std::int64_t Bytes) {
    log->Write("OnExportRecord", component, {{"Records", Records}, {"Bytes", Bytes}});
  });
  exporter.SetOnFinishExport(
      [log, component](TObject*) { log->Write("OnFinishExport", component); });
}

private:
std::ostream& FOut;
std::ostream& FErr;
bool FJson;
TFormatSettings FSavedFormat;
std::vector<json> FShown;
TScopedMessageHandler FMessages;
TScopedRendererFactory FRenderers;
std::unique_ptr<TEventLog> FEvents;
};  // namespace korvane

// ---------------------------------------------------------------------------
// Setting properties from options.

void ApplyFormat(const TFormatOptions& o) {
  TFormatSettings& fs = FormatSettings();
  if (!o.DecimalSeparator.empty())
    fs.DecimalSeparator = ParseFormatChar("--decimal-separator", o.DecimalSeparator);
  if (!o.ThousandSeparator.empty())
    fs.ThousandSeparator = ParseFormatChar("--thousand-separator", o.ThousandSeparator);
  if (!o.DateSeparator.empty())
    fs.DateSeparator = ParseFormatChar("--date-separator", o.DateSeparator);
  if (!o.TimeSeparator.empty())
    fs.TimeSeparator = ParseFormatChar("--time-separator", o.TimeSeparator);
  if (fs.DecimalSeparator == fs.ThousandSeparator) {
    throw EUsageError("the decimal and thousands separators are both '" +
                      std::string(1, fs.DecimalSeparator) +
                      "': give one of them another character");
  }
  if (!o.DateFormat.empty()) {
    std::string upper = UpperCase(o.DateFormat);
    if (upper.find('D') == std::string::npos || upper.find('M') == std::string::npos ||
        upper.find('Y') == std::string::npos) {
      throw EUsageError("--date-format '" + o.DateFormat +
                        "': it needs a day (d), a month (m) and a year (y), as in m/d/yyyy or "
                        "yyyy-mm-dd");
    }
    fs.ShortDateFormat = o.DateFormat;
  }
  if (!o.TimeFormat.empty()) {
    if (UpperCase(o.TimeFormat).find('H') == std::string::npos) {
      throw EUsageError("--time-format '" + o.TimeFormat +
                        "': it needs the hour (h), as in hh:nn:ss (n is the minutes)");
    }
    fs.LongTimeFormat = o.TimeFormat;
  }
}

// --set Name=Value for any published property of component.
void ApplySet(TComponent& component, const std::string& assignment, const TComponentLookup& lookup,
              std::string_view nameShown = {}) {
  std::size_t eq = assignment.find('=');
  if (eq == std::string::npos || eq == 0) {
    throw EUsageError("--set '" + assignment + "': write it as --set Name=Value");
  }
  std::string name = assignment.substr(0, eq);
  std::string value = assignment.substr(eq + 1);
  try {
    SetPropertyByName(component, name, value, lookup);
  } catch (const EPropertyError& e) {
    throw EUsageError("--set " + std::string(nameShown.empty() ? "" : nameShown) + assignment +
                      ": " + e.Message());
  }
}

template <class C>
void ApplyDelimiting(C& component, const TTransferOptions& o) {
  if (!o.Separator.empty()) {
    TSeparatorChoice choice = ParseSeparator(o.Separator);
    component.SetFieldSeparator(choice.Separator);
    component.SetCustomSeparator(choice.Custom);
  } else if (o.Fixed) {
    // Fixed-width lines stand side by side unless a separator is asked for.
    component.SetFieldSeparator(fspNone);
    component.SetCustomSeparator("");
  }
  if (!o.Quote.empty() || o.Fixed) {
    component.SetFieldDelimiter(o.Quote.empty() ? fdlNone : ParseQuote(o.Quote));
  }
  if (!o.Fields.empty() && !o.Exclude.empty()) {
    throw EUsageError("give --fields or --exclude, not both");
  }
  if (!o.Fields.empty() || !o.Exclude.empty()) {
    bool include = !o.Fields.empty();
    TStringList names;
    for (std::string& name :
         SplitNameList(include ? "--fields" : "--exclude", include ? o.Fields : o.Exclude)) {
      names.Add(std::move(name));
    }
    component.SetFieldList(&names);
    component.SetFieldListAction(include ? flaInclude : flaExclude);
  }
  component.SetShowProgress(o.Progress);
}

// ---------------------------------------------------------------------------
// Checks made before a run changes anything.

constexpr const char* kStandardInputPath = "/dev/stdin";

void CheckInputFile(const std::string& path) {
  if (path.empty()) {
    throw EUsageError("give the file to import: korvane import FILE --db DATABASE --table TABLE");
  }
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) {
    throw EUsageError("input file '" + path + "' cannot be read (" + std::strerror(errno) + ")");
  }
  if (S_ISDIR(info.st_mode)) throw EUsageError("input file '" + path + "' is a folder");
  if (::access(path.c_str(), R_OK) != 0) {
    throw EUsageError("input file '" + path + "' cannot be read (" + std::strerror(errno) + ")");
  }
}

// The column definitions for a new table when --columns is not given: the
// names of the import's first header record, each of type TEXT.
std::vector<std::string> ColumnsFromHeader(TCSVImport& import) {
  if (import.HeaderRecords() < 1 || !import.HeaderStored()) {
    throw EUsageError(
        "--create needs the new table's columns: add --header to take the names from the "
        "first record, or give them with --columns \"id INTEGER, name TEXT, ...\"");
  }
  if (import.ImportType() == impFixed) {
    throw EUsageError(
        "--create with --fixed needs --columns: fixed-width records take their widths from "
        "the columns' sizes, as in --columns \"id CHAR(6), name CHAR(30)\"");
  }
  if (import.InputFile() == kStandardInputPath) {
    // Its first record would be gone by the time the run reads it.
    throw EUsageError(
        "--create on standard input needs the new table's columns: give them with --columns");
  }
  if (!import.OpenInputFile()) {
    throw EUsageError("input file '" + import.InputFile() + "' cannot be read (" +
                      std::strerror(GetLastError()) + ")");
  }
  std::uint32_t bytes = 0;
  std::string first;
  import.ReadTextFileRecord(import.FileHandle(), bytes, first);
  import.CloseInputFile();
  import.ResolveSeparators();
  std::unique_ptr<TStringList> names = import.SplitDelimitedFields(first);
  std::vector<std::string> columns;
  if (names) {
    for (int i = 0; i < names->Count(); ++i) {
      columns.push_back(TextColumnDefinition(names->Strings(i), i + 1));
    }
  }
  if (columns.empty()) {
    throw EUsageError("the first record of '" + import.InputFile() +
                      "' holds no column names: give the columns with --columns");
  }
  return columns;
}

// Points the import's dataset at the table, creating it when asked and it is
// missing. Opens it only when open is set (--save only describes the run).
void PrepareImportTable(TDatabaseTable& ds, TCSVImport& import, const TImportOptions& o, bool open,
                        const TSniffResult* sniffed) {
  ds.RequireLocation();
  if (ds.TableName().empty()) throw EUsageError("give the table to import into with --table NAME");
  const bool dbExists = ds.Exists();
  if (!dbExists && !o.Create) {
    throw EUsageError("database '" + ds.Location() +
                      "' does not exist: check the path, or add --create to make a new database "
                      "with the table");
  }
  bool tableExists = false;
  if (dbExists) {
    try {
      tableExists = ds.TableExists(ds.TableName());
    } catch (const Exception& e) {
      throw EUsageError(e.Message());
    }
  }
  if (!tableExists) {
    if (!o.Create) {
      throw EUsageError("table '" + ds.TableName() + "' does not exist in '" + ds.Location() +
                        "': check the name, or add --create to make it (names from the header "
                        "record with --header, or --columns \"id INTEGER, name TEXT, ...\")");
    }
    std::vector<std::string> columns;
    if (!o.Columns.empty()) {
      columns = SplitColumnDefinitions(o.Columns);
    } else if (sniffed != nullptr && !sniffed->Columns.empty()) {
      columns = InferredColumns(*sniffed, !o.Format.DateFormat.empty());
    } else {
      columns = ColumnsFromHeader(import);
    }
    TStringList list;
    for (std::string& c : columns) list.Add(std::move(c));
    ds.SetCreateWith(list);
  }
  if (!open) return;
  try {
    ds.DataSet().Open();
  } catch (const Exception& e) {
    if (!tableExists && !o.Columns.empty()) {
      throw EUsageError("--columns: the table cannot be made from the column definitions: " +
                        e.Message());
    }
    throw EUsageError(e.Message());
  }
  if (!ds.DataSet().CanModify()) throw EUsageError(ReadOnlyMessage(ds));
}

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

int ExitFor(std::int32_t result) { return result >= 0 ? kExitOk : kExitFailed; }

// An import that completed with failed records ends partly done.
int ImportExitFor(const TCSVImport& import, std::int32_t result) {
  if (result < 0) return kExitFailed;
  return import.ErrorRecords() > 0 ? kExitPartly : kExitOk;
}

json ListJson(const TStrings* list) {
  json items = json::array();
  if (list != nullptr) {
    for (int i = 0; i < list->Count(); ++i) items.push_back(JsonText(list->Strings(i)));
  }
  return items;
}

json RefusalsJson(const TCSVImport& import) {
  json items = json::array();
  for (const std::string& reason : import.RefusalMessages()) items.push_back(JsonText(reason));
  return items;
}

json ImportJson(const TCSVImport& import, std::int32_t result, const TRejectReport& report) {
  json j = {{"result", result},
            {"stored", import.StoredRecords()},
            {"errorRecords", import.ErrorRecords()},
            {"headerData", ListJson(import.HeaderData())},
            {"trailerData", ListJson(import.TrailerData())},
            {"refusals", RefusalsJson(import)}};
  report.AddJson(j);
  return j;
}

// Runs an import inside one bulk load of its dataset, so that the records go
// in large transactions whatever the dataset does by itself, and every record
// posted is committed when this returns. Errors raised by the run are shown
// as "Error: TEXT" and give -1. report has been attached to the import; what
// it says of the failed records is shown at the end, each line after prefix.
std::int32_t ExecuteImport(TSession& session, TCSVImport& import, TRejectReport& report,
                           const std::string& prefix) {
  TDataSet* ds = import.DataSet();
  try {
    if (ds != nullptr && ds->Active()) ds->BeginBulk();
  } catch (const Exception& e) {
    session.Say(mtError, e.Message());
    return -1;
  }
  const bool bulk = ds != nullptr && ds->Active();
  std::int32_t result = -1;
  std::string failure;
  bool damagedInput = false;
  try {
    result = import.Execute();
  } catch (const EInOutError& e) {
    failure = e.what();
    damagedInput = true;
  } catch (const std::exception& e) {
    failure = e.what();
  }
  std::int64_t rolledBack = 0;
  if (bulk) {
    try {
      // The records read since the last commit may come from the damaged
      // part of the input: only whole committed groups stay.
      if (damagedInput) {
        rolledBack = ds->AbandonBulk();
      } else {
        ds->EndBulk();
      }
    } catch (const std::exception& e) {
      if (failure.empty()) failure = e.what();
    }
  }
  try {
    report.Finish();
  } catch (const std::exception& e) {
    if (failure.empty()) failure = e.what();
  }
  // A command line run never leaves records out without a word: what
  // failed, and why.
  for (const std::string& line : report.Summary()) session.Say(mtWarning, prefix + line);
  if (!failure.empty()) {
    if (damagedInput) {
      const std::int64_t kept = import.StoredRecords() - rolledBack;
      failure += "; " + std::to_string(import.RecordCounter()) + " records read, " +
                 std::to_string(kept) + " stored" +
                 (rolledBack > 0 ? ", the " + std::to_string(rolledBack) +
                                       " read since the last commit were rolled back"
                                 : std::string());
    } else if (const std::int64_t stored = import.StoredRecords(); stored > 0) {
      failure += " (" + std::to_string(stored) + (stored == 1 ? " record" : " records") +
                 " stored before)";
    }
    session.Say(mtError, failure);
    return -1;
  }
  return result;
}

// Runs an export into a replacement file that takes the target's place only
// when the run succeeded.
std::int32_t ExecuteExport(TSession& session, TCSVExport& exporter, TReplacementFile& output,
                           const std::string& target) {
  std::int32_t result = -1;
  std::string failure;
  try {
    result = exporter.Execute();
    if (result >= 0) {
      output.Commit();
    } else if (exporter.WriteErrorCode() != 0) {
      failure = "cannot write '" + target + "' (" + std::strerror(exporter.WriteErrorCode()) +
                "); any earlier file of that name is unchanged";
    } else {
      failure = "the export did not run; any earlier file '" + target + "' is unchanged";
    }
  } catch (const std::exception& e) {
    failure = std::string(e.what()) + "; any earlier file '" + target + "' is unchanged";
    result = -1;
  }
  if (!failure.empty()) {
    session.Say(mtError, failure);
    return -1;
  }
  return result;
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

// Writes the components of a command as a settings file instead of running
// them (--save).
void SaveSettings(const std::string& path, std::vector<TComponent*> components) {
  for (TComponent* c : components) {
    if (ClassOf(*c) == nullptr) {
      throw EUsageError("--save: component '" + c->Name() + "' (of a class without a description)" +
                        " cannot be stored in a settings file");
    }
  }
  try {
    WriteSettingsFile(path, components);
  } catch (const Exception& e) {
    throw EUsageError("--save: " + e.Message());
  }
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

// What --rejects, --reject-log, --max-errors and --atomic ask of the
// failed records.
TRejectReport::TOptions RejectOptions(const TImportOptions& o, const std::string& input) {
  TRejectReport::TOptions r;
  r.RejectsFile = o.Rejects;
  r.RejectLog = o.RejectLog;
  if (o.MaxErrorsOption->count() > 0) {
    if (o.MaxErrors < 0) throw EUsageError("--max-errors: give a number of records, 0 or more");
    r.MaxErrors = o.MaxErrors;
    r.StopReason = "stopped: more than " + std::to_string(o.MaxErrors) +
                   (o.MaxErrors == 1 ? " record" : " records") + " failed (--max-errors " +
                   std::to_string(o.MaxErrors) + ")";
  } else if (o.Atomic) {
    r.MaxErrors = 0;
    r.StopReason = "stopped: a record failed, and --atomic stores all records or none";
  }
  if (!o.Rejects.empty()) r.LineEnd = LineEndOf(input);
  return r;
}

// Ends an --atomic run: commits what a run that succeeded stored, rolls
// everything back otherwise. False when the table was left as it was.
bool EndAtomicRun(TSession& session, TAtomicRun& atomic, std::int32_t& result) {
  if (!atomic.On()) return true;
  if (result >= 0) {
    try {
      atomic.Commit();
      return true;
    } catch (const std::exception& e) {
      session.Say(mtError, std::string("--atomic: the records cannot be committed: ") + e.what());
      result = -1;
    }
  }
  if (atomic.Rollback()) {
    session.Say(mtInformation, "--atomic: nothing was stored; the table is as it was");
  } else {
    session.Say(mtError, "--atomic: the transaction cannot be rolled back");
  }
  return false;
}

// ---------------------------------------------------------------------------
// The subcommands.

int RunImport(TImportOptions& o, std::ostream& out, std::ostream& err) {
  TSession session(out, err, o);
  ApplyFormat(o.Format);
  TComponent root(nullptr);
  const std::unique_ptr<TDatabaseTable> table = CreateDatabaseTable(root, o.Database);
  TDataSet* ds = &table->DataSet();
  ds->SetName(o.Table.empty() ? "Table" : o.Table);
  table->SetTableName(o.Table);
  if (o.CommitEvery < 1) throw EUsageError("--commit-every: give a number of records, 1 or more");
  table->SetBulkCommitCount(o.CommitEvery);
  auto* import = new TCSVImport(&root);
  import->SetName("Import");
  // The command's defaults are those of a CSV file.
  import->SetFieldSeparator(fspComma);
  import->SetFieldDelimiter(fdlDouble);
  import->SetWholeValues(true);
  import->SetValueErrors(o.Lenient ? veLenient : veStrict);
  import->SetDialect(ParseDialect(o.Dialect));
  // Compressed files are read by their first bytes, whatever their name.
  import->SetCompression(cmAuto);
  ApplyDelimiting(*import, o);
  if (o.Fixed) import->SetImportType(impFixed);
  // - reads standard input: through the name the system gives it, so that
  // the run's file rules (one open, read to the end) hold for a pipe too.
  import->SetInputFile(o.File == "-" ? kStandardInputPath : o.File);
  if (o.HeaderOption->count() > 0) {
    if (o.Header < 0) throw EUsageError("--header: give a number of records, 0 or more");
    import->SetHeaderRecords(o.Header);
    import->SetHeaderStored(o.Header > 0);
  }
  if (o.Trailer < 0) throw EUsageError("--trailer: give a number of records, 0 or more");
  import->SetTrailerRecords(o.Trailer);
  import->SetTrailerStored(o.Trailer > 0);
  import->SetDataSet(ds);
  TComponentLookup lookup = [&root](std::string_view name) { return root.FindComponent(name); };
  for (const std::string& s : o.Sets) ApplySet(*import, s, lookup);

  CheckInputFile(import->InputFile());
  if (import->DataSet() != ds) throw EUsageError("--set DataSet: the import needs the --db table");
  const bool layoutGiven =
      !o.Separator.empty() || o.Fixed || SetsProperty(o.Sets, "FieldSeparator") ||
      SetsProperty(o.Sets, "CustomSeparator") || SetsProperty(o.Sets, "ImportType");
  const bool quoteGiven = !o.Quote.empty() || SetsProperty(o.Sets, "FieldDelimiter");
  const bool inferTypes = o.Create && o.Columns.empty() && import->ImportType() != impFixed;
  const TImportSniff sniff = SniffForImport(
      *import, {o.Sample, layoutGiven, quoteGiven, inferTypes, !o.Format.DateFormat.empty()});
  const std::optional<TSniffResult>& sniffed = sniff.Result;
  TRejectReport report(RejectOptions(o, import->InputFile()));
  PrepareImportTable(*table, *import, o, o.Save.empty(), sniffed ? &*sniffed : nullptr);
  for (const std::string& notice : sniff.Notices) {
    session.Say(mtInformation, notice.substr(notice.starts_with("korvane: ") ? 9 : 0));
  }
  if (sniffed && table->CreateTable()) {
    for (const std::string& s : sniffed->Renamed) session.Say(mtInformation, "renamed " + s);
  }
  if (!o.Save.empty()) {
    SaveSettings(o.Save, {ds, import});
    return kExitOk;
  }

  session.Wire(*import, "");
  report.Attach(*import);
  std::optional<TRunMeter> meter;
  if (o.Progress) meter.emplace(*import);
  TAtomicRun atomic(*table, o.Atomic);
  std::int32_t result = ExecuteImport(session, *import, report, "");
  const bool kept = EndAtomicRun(session, atomic, result);
  if (sniffed && !sniffed->WholeFile && import->ErrorRecords() > 0) {
    session.Say(mtInformation, "the column types came from the first " +
                                   std::to_string(sniffed->Records) +
                                   " records; --sample all takes them from every record");
  }
  if (meter) session.Say(mtInformation, meter->Line(*import));
  json j = ImportJson(*import, result, report);
  if (!kept) j["stored"] = 0;
  session.PrintJson(std::move(j));
  return ImportExitFor(*import, result);
}

int RunExport(TExportOptions& o, std::ostream& out, std::ostream& err) {
  TSession session(out, err, o);
  ApplyFormat(o.Format);
  TComponent root(nullptr);
  const std::unique_ptr<TDatabaseTable> table = CreateDatabaseTable(root, o.Database);
  TDataSet* ds = &table->DataSet();
  ds->SetName(o.Table.empty() ? "Query" : o.Table);
  table->SetTableName(o.Table);
  table->SetQuery(o.Query);
  table->SetReadOnly(true);
  auto* exporter = new TCSVExport(&root);
  exporter->SetName("Export");
  exporter->SetFieldSeparator(fspComma);
  exporter->SetFieldDelimiter(fdlDouble);
  exporter->SetDelimitedFields(o.QuoteAll ? dfAll : dfTextOnly);
  exporter->SetWholeValues(true);
  exporter->SetDialect(ParseDialect(o.Dialect));
  exporter->SetByteOrderMark(o.ByteOrderMark);
  exporter->SetCompression(cmAuto);
  ApplyDelimiting(*exporter, o);
  if (o.Fixed) exporter->SetExportType(expFixed);
  if (o.AlignRight) exporter->SetNumericAlign(naRight);
  exporter->SetRecordSeparator(ParseRecordSeparator(o.RecordSeparator));
  exporter->SetOutputFile(o.File);
  exporter->SetDataSet(ds);
  TComponentLookup lookup = [&root](std::string_view name) { return root.FindComponent(name); };
  for (const std::string& s : o.Sets) ApplySet(*exporter, s, lookup);

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
  if (o.Header || !o.HeaderLines.empty()) {
    TStringList lines;
    for (const std::string& line : o.HeaderLines) lines.Add(line);
    if (o.Header) lines.Add(exporter->GetFieldNamesLine());
    exporter->SetHeaderData(&lines);
    exporter->SetHeaderOutput(true);
  }
  if (!o.TrailerLines.empty()) {
    TStringList lines;
    for (const std::string& line : o.TrailerLines) lines.Add(line);
    exporter->SetTrailerData(&lines);
    exporter->SetTrailerOutput(true);
  }
  exporter->SetCompression(ExportCompression(o.Compress, exporter->Compression(), target));
  TReplacementFile output(target);
  exporter->SetOutputFile(output.WritePath());

  session.Wire(*exporter, "");
  std::int32_t result = ExecuteExport(session, *exporter, output, target);
  if (result >= 0) WarnOfMisfits(session, table->Misfits());
  session.PrintJson({{"result", result}});
  return ExitFor(result);
}

int RunSettings(TRunOptions& o, std::ostream& out, std::ostream& err) {
  TSession session(out, err, o);
  ApplyFormat(o.Format);

  // A dataset from the options, which the file's components can name.
  TComponent root(nullptr);
  if (!o.Database.empty() || !o.Table.empty() || !o.Query.empty()) {
    const std::unique_ptr<TDatabaseTable> supplied = CreateDatabaseTable(root, o.Database);
    supplied->DataSet().SetName(o.Table.empty() ? "Query" : o.Table);
    supplied->SetTableName(o.Table);
    supplied->SetQuery(o.Query);
    supplied->RequireLocation();
  }
  TComponentLookup lookup = [&root](std::string_view name) { return root.FindComponent(name); };

  std::vector<std::unique_ptr<TComponent>> components;
  try {
    components = LoadComponentsFromFile(o.SettingsFile, lookup);
  } catch (const Exception& e) {
    throw EUsageError(e.Message());
  }
  std::vector<TComponent*> runnable;
  for (auto& c : components) {
    if (dynamic_cast<TCSVImport*>(c.get()) || dynamic_cast<TCSVExport*>(c.get()))
      runnable.push_back(c.get());
  }
  if (runnable.empty()) {
    throw EUsageError("'" + o.SettingsFile + "' holds no TCSVImport or TCSVExport to run");
  }

  // --set Component.Property=Value, or Property=Value when there is one
  // component to run.
  for (const std::string& s : o.Sets) {
    std::size_t eq = s.find('=');
    std::size_t dot = s.find('.');
    TComponent* target = nullptr;
    std::string assignment = s;
    if (dot != std::string::npos && (eq == std::string::npos || dot < eq)) {
      std::string name = s.substr(0, dot);
      for (auto& c : components) {
        if (SameText(c->Name(), name)) target = c.get();
      }
      if (target == nullptr) {
        throw EUsageError("--set " + s + ": '" + o.SettingsFile + "' has no component '" + name +
                          "'");
      }
      assignment = s.substr(dot + 1);
    } else if (runnable.size() == 1) {
      target = runnable.front();
    } else {
      throw EUsageError("--set " + s + ": '" + o.SettingsFile +
                        "' holds several components: write --set Component.Name=Value");
    }
    TComponentLookup fileLookup = [&](std::string_view name) -> TComponent* {
      for (auto& c : components) {
        if (SameText(c->Name(), name)) return c.get();
      }
      return lookup(name);
    };
    ApplySet(*target, assignment, fileLookup, target->Name() + ".");
  }

  json results = json::array();
  int status = kExitOk;
  for (TComponent* c : runnable) {
    const std::string& name = c->Name();
    if (auto* import = dynamic_cast<TCSVImport*>(c)) {
      if (o.Progress) import->SetShowProgress(true);
      CheckInputFile(import->InputFile());
      if (import->DataSet() == nullptr) {
        throw EUsageError(name +
                          ": no DataSet to import into (set DataSet in the file, or give "
                          "--db and --table)");
      }
      if (auto sq = AsDatabaseTable(import->DataSet()); sq && !sq->DataSet().Active()) {
        if (!sq->CreateTable() && sq->Query().empty() && sq->Exists()) {
          bool exists = false;
          try {
            exists = sq->TableExists(sq->TableName());
          } catch (const Exception& e) {
            throw EUsageError(e.Message());
          }
          if (!exists) {
            throw EUsageError(name + ": table '" + sq->TableName() + "' does not exist in '" +
                              sq->Location() +
                              "' (set CreateTable and Columns on the dataset to make it)");
          }
        }
      }
      if (!import->DataSet()->Active()) {
        try {
          import->DataSet()->Open();
        } catch (const Exception& e) {
          throw EUsageError(name + ": " + e.Message());
        }
      }
      session.Wire(*import, name);
      TRejectReport report({});
      report.Attach(*import);
      std::int32_t result = ExecuteImport(session, *import, report, name + ": ");
      json r = ImportJson(*import, result, report);
      r["component"] = JsonText(name);
      results.push_back(std::move(r));
      if (result < 0) {
        status = kExitFailed;
        break;
      }
      status = std::max(status, ImportExitFor(*import, result));
    } else if (auto* exporter = dynamic_cast<TCSVExport*>(c)) {
      if (o.Progress) exporter->SetShowProgress(true);
      const std::string target = exporter->OutputFile();
      if (target.empty()) throw EUsageError(name + ": no OutputFile to write");
      if (exporter->DataSet() == nullptr) throw EUsageError(name + ": no DataSet to export");
      if (!exporter->DataSet()->Active()) {
        try {
          exporter->DataSet()->Open();
        } catch (const Exception& e) {
          throw EUsageError(name + ": " + e.Message());
        }
      }
      const TCompression compression = exporter->Compression();
      exporter->SetCompression(ExportCompression("", compression, target));
      TReplacementFile output(target);
      exporter->SetOutputFile(output.WritePath());
      session.Wire(*exporter, name);
      std::int32_t result = ExecuteExport(session, *exporter, output, target);
      exporter->SetOutputFile(target);
      exporter->SetCompression(compression);
      results.push_back({{"component", JsonText(name)}, {"result", result}});
      if (result < 0) {
        status = kExitFailed;
        break;
      }
    }
  }
  session.PrintJson({{"components", results}});
  return status;
}

// ---------------------------------------------------------------------------
// The command line.

void AddRunSwitches(CLI::App* app, TRunSwitches& o) {
  app->add_flag("--progress", o.Progress,
                "Show the progress window on the terminal (same as --set ShowProgress=true)");
  app->add_flag("--json", o.Json,
                "When the run ends, print one JSON object with its outcome on standard output");
  app->add_option("--events", o.Events,
                  "Write one JSON object per line to FILE for every event as it fires, e.g. "
                  "{\"event\":\"OnImportRecord\",\"iBytes\":5}")
      ->type_name("FILE");
  app->add_option("--set", o.Sets,
                  "Set any published property of the component by name; enumerations by "
                  "identifier (FieldSeparator=fspTab). Each --set of a list property "
                  "(FieldList) adds one item. Applied after the other options")
      ->type_name("NAME=VALUE")
      ->allow_extra_args(false);
  const char* group = "Format settings (default: the platform's)";
  app->add_option("--decimal-separator", o.Format.DecimalSeparator,
                  "Decimal separator of numbers (.)")
      ->type_name("CHAR")
      ->group(group);
  app->add_option("--thousand-separator", o.Format.ThousandSeparator,
                  "Thousands separator of numbers (,)")
      ->type_name("CHAR")
      ->group(group);
  app->add_option("--date-format", o.Format.DateFormat,
                  "Date layout, d m y for day month year: m/d/yyyy (default), dd.mm.yyyy, "
                  "yyyy-mm-dd")
      ->type_name("FORMAT")
      ->group(group);
  app->add_option("--date-separator", o.Format.DateSeparator,
                  "What / in the date format stands for (/)")
      ->type_name("CHAR")
      ->group(group);
  app->add_option("--time-format", o.Format.TimeFormat,
                  "Time layout, h n s for hour minute second: hh:nn:ss (default)")
      ->type_name("FORMAT")
      ->group(group);
  app->add_option("--time-separator", o.Format.TimeSeparator,
                  "What : in the time format stands for (:)")
      ->type_name("CHAR")
      ->group(group);
}

void AddLayoutOptions(CLI::App* app, TTransferOptions& o, bool import) {
  app->add_option("--db", o.Database,
                  "The database: a SQLite file, or a postgresql:// (postgres://) URI")
      ->type_name("FILE|URI");
  app->add_option("-s,--separator", o.Separator,
                  import
                      ? "Value separator: comma, tab, pipe, none, or any one character such as ;"
                        " (default: sniffed from the file, see korvane sniff)"
                      : "Value separator: comma (default), tab, pipe, none, or any one character "
                        "such as ;")
      ->type_name("CHAR");
  app->add_option("-q,--quote", o.Quote,
                  import ? "Quote character around values: \", ' or none (default: sniffed with "
                           "the separator when -s is not given, else \")"
                         : "Quote character around values: \" (default), ' or none; with "
                           "--quote-all around every value, else around text")
      ->type_name("CHAR");
  app->add_option("--dialect", o.Dialect,
                  import ? "Text rules of delimited records: standard (default: CSV as common "
                           "tools write it; a quote opens only a whole value, \"\" inside "
                           "stands for one quote, line ends inside quotes are data) or classic "
                           "(every quote toggles quoting and is dropped; line ends always end a "
                           "record)"
                         : "Text rules of delimited lines: standard (default: CSV as common "
                           "tools read it; values holding the quote, the separator or a line "
                           "end are quoted, quotes inside doubled, NULL written as nothing and "
                           "an empty text as \"\") or classic (quotes as the quote rule says, "
                           "never doubled)")
      ->type_name("RULES");
  app->add_flag("--fixed", o.Fixed,
                import ? "Fixed-width records: each value as wide as its column's size (no "
                         "separator or quotes unless given)"
                       : "Fixed-width lines: each value padded to its field's display width "
                         "(no separator or quotes unless given)");
  app->add_option("--fields", o.Fields,
                  import ? "Only these fields receive values (values still go to fields by "
                           "position)"
                         : "Write only these fields")
      ->type_name("NAME,...");
  app->add_option("--exclude", o.Exclude,
                  import ? "These fields receive no values" : "Leave these fields out")
      ->type_name("NAME,...");
  app->add_option("--save", o.Save,
                  "Do not run: write the command's components to a settings file for "
                  "`korvane run`")
      ->type_name("SETTINGS-FILE");
  AddRunSwitches(app, o);
}

void AddRejectOptions(CLI::App* imp, TImportOptions& io) {
  const char* group = "Failed records";
  imp->add_flag("--lenient", io.Lenient,
                "Forgiving values (ValueErrors=veLenient): a value that does not convert leaves "
                "its column empty and the record is stored; values beyond the last column are "
                "skipped")
      ->group(group);
  imp->add_option("--rejects", io.Rejects,
                  "Write every failed record to FILE exactly as read (the header records first "
                  "with --header), to fix and import again with the same options")
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

const char* kExitText =
    "Exit status: 0 when the run returned 0 or more and every record read was stored, 3 when "
    "an import completed but some records failed (left out; stderr and --json say how many "
    "and why), 1 when it failed (returned -1, broke off with an error, or stopped by "
    "--max-errors), 2 when the command cannot run as given (the message says what to fix). "
    "Component messages go to stderr as \"Warning: TEXT\" or \"Error: TEXT\".";

}  // namespace
}  // namespace cli

int RunKorvane(int argc, char** argv, std::ostream& out, std::ostream& err) {
  using namespace cli;
  RegisterKorvaneClasses();
  RegisterDatabaseClasses();
  CLI::App app{
      "Korvane moves data between flat text files and database tables (SQLite).\n"
      "  korvane import FILE --db DATABASE --table TABLE [options]\n"
      "  korvane export FILE --db DATABASE (--table TABLE | --query SQL) [options]\n"
      "  korvane run SETTINGS-FILE [options]\n"
      "  korvane sniff FILE [options]",
      "korvane"};
  app.set_version_flag("--version", kVersionText);
  app.require_subcommand(1);
  app.footer(kExitText);

  TImportOptions io;
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
                                    "name the columns")
                        ->type_name("[N]")
                        ->expected(0, 1)
                        ->default_str("1");
  imp->add_option("--trailer", io.Trailer,
                  "The last N records are trailer records: not imported, kept as trailerData "
                  "(--json)")
      ->type_name("N");
  imp->add_flag("--create", io.Create,
                "Create the table (and the database) when it does not exist: columns from "
                "--columns, or else named by the header record (c1, c2, ... without --header) "
                "with the types their values fit in a sample (see korvane sniff, --sample)");
  imp->add_option("--commit-every", io.CommitEvery,
                  "Records per transaction (every record is committed when the import ends; a "
                  "killed import keeps the groups committed before)")
      ->type_name("N")
      ->default_str(std::to_string(kDefaultCommitEvery));
  imp->add_option("--columns", io.Columns,
                  "The new table's columns as in SQL, e.g. \"id INTEGER PRIMARY KEY, name "
                  "TEXT, amount MONEY, born DATE, active BOOLEAN\"")
      ->type_name("DEFS");
  AddRejectOptions(imp, io);
  imp->footer(
      "Examples:\n"
      "  korvane import people.csv --db people.db --table people --header --create\n"
      "  korvane import people.csv --db postgresql://localhost/shop --table people --header "
      "--create\n"
      "  korvane import data.txt --db shop.db --table orders -s tab -q none --set "
      "HeaderRecords=2 --set HeaderStored=true\n"
      "Dates, times and numbers are read with the format settings, blobs from \\x and "
      "hexadecimal (WholeValues; --set WholeValues=false stores such texts as they stand). "
      "Values are strict: a value that is not of its column's type (\"12x\" or \"3.7\" for "
      "an INTEGER, 2/30/2024 for a DATE, \"maybe\" for a BOOLEAN, a number the column cannot "
      "hold) fails its record, as does a record with more values than the table has columns "
      "and one the table refuses; the import goes on, and at the end stderr says how many "
      "failed and why, with the first few by line number.\n" +
      std::string(kExitText));

  TExportOptions eo;
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
  exp->add_flag("--bom", eo.ByteOrderMark,
                "Write a UTF-8 byte-order mark first (spreadsheets then read the file as UTF-8)");
  exp->add_option("--compress", eo.Compress,
                  "Write the file compressed: gzip or zstd (default: by the name, .gz or .zst; "
                  "none for neither)")
      ->type_name("gzip|zstd|none");
  exp->add_flag("--align-right", eo.AlignRight,
                "In fixed-width lines, pad numbers on the left (right-aligned)");
  exp->footer(
      "Examples:\n"
      "  korvane export people-out.csv --db people.db --table people --header\n"
      "  korvane export - --db shop.db --query \"SELECT id, total FROM orders\" -s ';'\n"
      "Every value is written whole (WholeValues): date-times with their time, times with "
      "their milliseconds, memos as text, blobs as \\x and hexadecimal, NULL as an empty "
      "value (nothing), an empty text as \"\"; --set WholeValues=false writes the classic layout. "
      "A value that does not fit its "
      "column's type is written as stored, and a warning counts them.\n" +
      std::string(kExitText));

  TRunOptions ro;
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
    std::string where = imp->parsed()     ? "korvane import"
                        : exp->parsed()   ? "korvane export"
                        : run->parsed()   ? "korvane run"
                        : sniff->parsed() ? "korvane sniff"
                                          : "korvane";
    const std::optional<std::string> unknown = UnknownWordMessage(app, argc, argv, e.what());
    err << "korvane: " << (unknown ? *unknown : std::string(e.what())) << " (see " << where
        << " --help)" << std::endl;
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

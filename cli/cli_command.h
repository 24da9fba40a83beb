// What the korvane command's subcommands share: their options as parsed, the
// session of one invocation (output, messages, event log, format settings),
// setting component properties from options, and the import command, which
// the settings-file runner uses too.
#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <ostream>
#include <string>
#include <type_traits>
#include <vector>

#include "cli/cli_rejects.h"
#include "cli/cli_util.h"
#include "ui/dialogs.h"
#include "text/formats.h"
#include "core/published.h"
#include "ui/terminal_renderer.h"
#include "io/text_encoding.h"
#include "export/kvcsvexp.h"
#include "import/kvcsvimp.h"

namespace korvane::cli {

using json = nlohmann::json;

// ---------------------------------------------------------------------------
// Options as parsed.

struct TFormatOptions {
  std::string DecimalSeparator;
  std::string ThousandSeparator;
  std::string DateFormat;
  std::string DateSeparator;
  std::string TimeFormat;
  std::string TimeSeparator;
  bool Utc = false;

  // Whether dates and times follow the format settings the options give
  // (a date or time format, or one of their separators) rather than the
  // command's ISO 8601.
  bool DatesGiven() const {
    return !DateFormat.empty() || !DateSeparator.empty() || !TimeFormat.empty() ||
           !TimeSeparator.empty();
  }
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
  std::string Encoding;
  bool Fixed = false;
  std::string Widths;  // --widths: the fixed-width columns' widths
  bool ByteWidths = false;  // --byte-widths: they count bytes, not characters
  std::string Fields;
  std::string Exclude;
  std::string Save;
  std::string Jobs;  // --jobs as given; empty: not given
};

// Records per transaction of an import. A commit waits for the disk (tens of
// milliseconds); at this size that wait is a small part of the group's work,
// while a process killed mid-import still keeps every group before the last.
constexpr int kDefaultCommitEvery = 500000;

struct TImportOptions : TTransferOptions {
  int CommitEvery = kDefaultCommitEvery;
  int StartRecord = 1;
  int Header = 1;
  CLI::Option* HeaderOption = nullptr;
  int Trailer = 0;
  int SkipLines = 0;
  CLI::Option* SkipLinesOption = nullptr;
  std::string Comment;
  std::string Escape;
  bool KeepStrayQuotes = false;
  // --column-format NAME=LAYOUT, each a ColumnFormats entry.
  std::vector<std::string> ColumnFormats;
  bool Create = false;
  std::string Columns;
  // How values find their columns (cli_import.cpp: ApplyColumnMatching).
  bool ByPosition = false;
  std::string IgnoreColumns;
  bool IgnoreExtraColumns = false;
  std::string Sample;
  bool Lenient = false;
  std::string Rejects;
  std::string RejectLog;
  std::int64_t MaxErrors = -1;
  CLI::Option* MaxErrorsOption = nullptr;
  bool Atomic = false;
  std::string Mode = "append";
  std::string Key;
};

struct TExportOptions : TTransferOptions {
  std::string Query;
  bool Header = false;
  std::vector<std::string> HeaderLines;
  std::vector<std::string> TrailerLines;
  std::string RecordSeparator = "lf";
  bool QuoteAll = false;
  std::string Escape;
  bool AlignRight = false;
  bool ByteOrderMark = false;
  std::string Compress;
  bool Unordered = false;
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
  TSession(std::ostream& out, std::ostream& err, const TRunSwitches& switches);
  ~TSession() { FormatSettings() = FSavedFormat; }
  TSession(const TSession&) = delete;
  TSession& operator=(const TSession&) = delete;

  std::ostream& Err() { return FErr; }
  bool JsonWanted() const { return FJson; }

  // Shows a message of the command's own on stderr, "korvane: TEXT" (or
  // "Error: TEXT" for an error), and keeps it for --json's messages.
  void Say(TMsgDlgType type, const std::string& text);
  // Whether a message of this text was shown (a component's or the
  // command's own).
  bool Showed(const std::string& text) const;
  // Prints the JSON result (with the messages shown) when --json was given.
  void PrintJson(json result);
  // Writes an event of the command's own to the event log, when there is
  // one.
  void Event(std::string_view event, std::initializer_list<TEventLog::TArg> args);
  // Hooks the components' events up to the event log, when there is one.
  void Wire(TCSVImport& import, const std::string& component);
  void Wire(TCSVExport& exporter, const std::string& component);

 private:
  std::ostream& FOut;
  std::ostream& FErr;
  bool FJson;
  TFormatSettings FSavedFormat;
  std::vector<json> FShown;
  TScopedMessageHandler FMessages;
  TScopedRendererFactory FRenderers;
  std::unique_ptr<TEventLog> FEvents;
};

// ---------------------------------------------------------------------------
// Setting properties from options.

// The format settings the options give; raises EUsageError for one that
// cannot be.
void ApplyFormat(const TFormatOptions& o);

// What the options give of the format settings (after ApplyFormat), made
// the component's own so that --save keeps it, and --utc.
template <class TComponentT>
void ChooseFormats(TComponentT& component, const TFormatOptions& o) {
  const TFormatSettings& fs = FormatSettings();
  if (o.DatesGiven()) component.SetShortDateFormat(fs.ShortDateFormat);
  if (!o.TimeFormat.empty()) component.SetLongTimeFormat(fs.LongTimeFormat);
  if (!o.DateSeparator.empty()) component.SetDateSeparator(std::string(1, fs.DateSeparator));
  if (!o.TimeSeparator.empty()) component.SetTimeSeparator(std::string(1, fs.TimeSeparator));
  // Either separator given may have moved the other aside: both are kept.
  if (!o.DecimalSeparator.empty() || !o.ThousandSeparator.empty()) {
    component.SetDecimalSeparator(std::string(1, fs.DecimalSeparator));
    component.SetThousandSeparator(std::string(1, fs.ThousandSeparator));
  }
  if (o.Utc) component.SetUtcTimes(true);
}
// Finds the components root owns by name, for --set of a component property.
inline TComponentLookup OwnedComponents(TComponent& root) {
  return [&root](std::string_view name) { return root.FindComponent(name); };
}
// --set Name=Value for any published property of component.
void ApplySet(TComponent& component, const std::string& assignment, const TComponentLookup& lookup,
              std::string_view nameShown = {});

template <class C>
void ApplyDelimiting(C& component, const TTransferOptions& o) {
  if (!o.Separator.empty()) {
    TSeparatorChoice choice = ParseSeparator(o.Separator);
    if constexpr (std::is_same_v<C, TCSVExport>) {
      if (choice.Exact == std::string(1, '\0')) {
        throw EUsageError("--separator nul: a zero byte separates values on import only; "
                          "export with tab or another character");
      }
    }
    component.SetFieldSeparator(choice.Separator);
    component.SetCustomSeparator(choice.Custom);
    component.SetSeparatorChar(choice.Exact);
  } else if (o.Fixed) {
    // Fixed-width lines stand side by side unless a separator is asked for.
    component.SetFieldSeparator(fspNone);
    component.SetCustomSeparator("");
    component.SetSeparatorChar("");
  }
  if (!o.Quote.empty() || o.Fixed) {
    component.SetFieldDelimiter(o.Quote.empty() ? fdlNone : ParseQuote(o.Quote));
  }
  if (o.Fixed) {
    // Both ways the same columns: what an export writes, an import reads,
    // their widths counted in characters as an editor lines them up.
    component.SetFixedLayout(flColumns);
    component.SetFixedWidthUnit(o.ByteWidths ? fuBytes : fuCharacters);
    if (!o.Separator.empty() || !o.Quote.empty()) {
      throw EUsageError(
          "--fixed lays the values side by side, each in its column: --separator and --quote "
          "do not go with it (--set FixedLayout=flClassic keeps the classic layout)");
    }
  }
  if (o.ByteWidths && !o.Fixed && std::is_same_v<C, TCSVExport>) {
    throw EUsageError("--byte-widths counts the columns of --fixed in bytes: add --fixed");
  }
  if (!o.Widths.empty()) {
    if (!o.Fixed) throw EUsageError("--widths gives the columns of --fixed: add --fixed");
    std::vector<int> widths;
    std::string fault;
    if (!ParseFixedWidths(o.Widths, widths, fault)) throw EUsageError("--widths: " + fault);
    component.SetFixedWidths(o.Widths);
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
  if (!o.Encoding.empty()) {
    if (!EncodingKnown(o.Encoding)) {
      throw EUsageError("--encoding '" + o.Encoding +
                        "': not an encoding this system converts; `iconv -l` lists the names it "
                        "knows (latin1, cp1252, utf-16, shift_jis, ...)");
    }
    component.SetEncoding(o.Encoding);
  }
}

// --jobs: a number of connections, 1 or more, or auto (0); raises
// EUsageError for anything else.
std::int32_t ParseJobs(const std::string& given);
// Says (as information) why a run used fewer connections than --jobs asked.
class TDatabaseTable;
void SayJobsNote(TSession& session, const TTransferOptions& o, const TDatabaseTable& table);

// Raises EUsageError when path cannot be read as an input file.
void CheckInputFile(const std::string& path);
// Writes the components of a command as a settings file instead of running
// them (--save).
void SaveSettings(const std::string& path, std::vector<TComponent*> components);

// The options every subcommand that runs components has, and those import
// and export share.
void AddRunSwitches(CLI::App* app, TRunSwitches& o);
void AddLayoutOptions(CLI::App* app, TTransferOptions& o, bool import);
// The exit statuses, for the help texts.
extern const char* const kExitText;

// ---------------------------------------------------------------------------
// The import command (cli_import.cpp).

// Adds `korvane import` and its options, parsed into io.
CLI::App* AddImportCommand(CLI::App& app, TImportOptions& io);
int RunImport(TImportOptions& o, std::ostream& out, std::ostream& err);
// What an import run gave: the component's result (-1 when the run failed)
// and the records the table kept (fewer than the run stored when the records
// read since the last commit were rolled back).
struct TImportOutcome {
  std::int32_t Result = -1;
  std::int64_t Stored = 0;
};
// What the records of an import did to its table: new rows, rows replaced
// or updated and records left out for a key the table held (--mode).
struct TImportCounts {
  std::int64_t Inserted = 0;
  std::int64_t Updated = 0;
  std::int64_t Skipped = 0;
};
class TRangedImport;
// Runs an import inside one bulk load of its dataset (see cli_import.cpp),
// over the ranges of ranged when given. atomic: the run's records stay
// uncommitted until EndAtomicRun, so a failure says nothing of records
// stored before it (EndAtomicRun says what the table holds).
// strayQuotesHint: why --keep-stray-quotes is off for this input, which
// the user did not decide (empty: they did); records with text after a
// closing quote then also point to it.
TImportOutcome ExecuteImport(TSession& session, TCSVImport& import, TRejectReport& report,
                             const std::string& prefix, TRangedImport* ranged = nullptr,
                             bool atomic = false, const std::string& strayQuotesHint = "");
// The import's outcome for --json.
json ImportJson(const TCSVImport& import, const TImportOutcome& outcome,
                const TRejectReport& report);
// The closing line of a --mode other than append ("1 inserted, 2 updated,
// 0 skipped, 1 failed", after prefix), and its event; j is the import's
// ImportJson. emptied: a truncate run emptied the table (see
// ImportRanThrough), else it says that the table keeps its rows; of a
// table the run made (madeTable) it says neither.
void SayLoadCounts(TSession& session, TDatabaseTable& table, const json& j, std::int64_t failed,
                   bool emptied, const std::string& prefix, bool madeTable);
// Whether what an import that ended with result did to the table holds as
// a whole: a run that stored nothing and failed records, stopped or failed
// leaves the table as it was (a truncate does not empty it).
bool ImportRanThrough(const TCSVImport& import, std::int32_t result);
// The exit status of an import that returned result.
int ImportExitFor(const TCSVImport& import, std::int32_t result);
// Ends an --atomic run: commits what a run that succeeded stored, rolls
// everything back otherwise (result then -1 when the commit failed) and
// when the run stored nothing and records failed (see ImportRanThrough).
// False when the table was left as it was.
bool EndAtomicRun(TSession& session, TAtomicRun& atomic, const TCSVImport& import,
                  std::int32_t& result);
// After an import a signal stopped: how many records are stored (none when
// kept is false: --atomic rolled them back) and where --start-record goes on.
void SayInterrupted(TSession& session, const TCSVImport& import, bool kept);

// ---------------------------------------------------------------------------
// The export command (cli_export.cpp).

// Adds `korvane export` and its options, parsed into eo.
CLI::App* AddExportCommand(CLI::App& app, TExportOptions& eo);
int RunExport(TExportOptions& o, std::ostream& out, std::ostream& err);
// How an export ended: Execute's result (-1: failed, the target unchanged)
// and the records it left out, each failed alone, when the file took the
// target's place.
struct TExportOutcome {
  std::int32_t Result = -1;
  std::int64_t Failed = 0;
};
// The exit status of an export that ended with outcome.
int ExportExitFor(const TExportOutcome& outcome);
// Runs an export into output, a replacement file that takes target's place
// only when the run succeeded; prefix starts each message (a stored
// component's name, or nothing).
TExportOutcome ExecuteExport(TSession& session, TCSVExport& exporter, TReplacementFile& output,
                             const std::string& target, const std::string& prefix);
// The export's outcome for --json.
json ExportJson(const TCSVExport& exporter, const TExportOutcome& outcome);
// The compression an export writes: given (--compress), or else current
// when set, or else the one the target's name asks for.
TCompression ExportCompression(const std::string& given, TCompression current,
                               const std::string& target);

// ---------------------------------------------------------------------------
// The run command (cli_run.cpp).

// Adds `korvane run` and its options, parsed into ro.
CLI::App* AddRunCommand(CLI::App& app, TRunOptions& ro);
int RunSettings(TRunOptions& o, std::ostream& out, std::ostream& err);

}  // namespace korvane::cli

// What the korvane command's subcommands share (cli_command.h).
#include "cli/cli_command.h"

#include "cli/cli_database.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>

#include "core/settings.h"

namespace korvane::cli {

TSession::TSession(std::ostream& out, std::ostream& err, const TRunSwitches& switches)
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

void TSession::Say(TMsgDlgType type, const std::string& text) {
  ReleaseTerminalRenderers();
  FErr << (type == mtError ? "Error: " : "korvane: ") << text << std::endl;
  FShown.push_back({{"type", MsgDlgTypeCaption(type)}, {"text", JsonText(text)}});
}

bool TSession::Showed(const std::string& text) const {
  const json shown = JsonText(text);
  for (const json& message : FShown) {
    if (message.at("text") == shown) return true;
  }
  return false;
}

void TSession::PrintJson(json result) {
  if (!FJson) return;
  result["messages"] = FShown;
  FOut << result.dump() << std::endl;
}

void TSession::Event(std::string_view event, std::initializer_list<TEventLog::TArg> args) {
  if (FEvents) FEvents->Write(event, "", args);
}

void TSession::Wire(TCSVImport& import, const std::string& component) {
  if (!FEvents) return;
  TEventLog* log = FEvents.get();
  import.SetOnBeginImport([log, component](TObject*) { log->Write("OnBeginImport", component); });
  import.SetOnImportRecord([log, component](TObject*, std::int32_t iBytes) {
    log->Write("OnImportRecord", component, {{"iBytes", iBytes}});
  });
  import.SetOnFinishImport(
      [log, component](TObject*) { log->Write("OnFinishImport", component); });
}

void TSession::Wire(TCSVExport& exporter, const std::string& component) {
  if (!FEvents) return;
  TEventLog* log = FEvents.get();
  exporter.SetOnBeginExport(
      [log, component](TObject*) { log->Write("OnBeginExport", component); });
  exporter.SetOnExportRecord(
      [log, component](TObject*, std::int32_t Records, std::int64_t Bytes) {
        log->Write("OnExportRecord", component, {{"Records", Records}, {"Bytes", Bytes}});
      });
  exporter.SetOnFinishExport(
      [log, component](TObject*) { log->Write("OnFinishExport", component); });
}

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
  // One of the two given alone takes the place of the other's default: a
  // decimal comma then groups thousands with points, a thousands point
  // leaves the decimals a comma.
  if (fs.DecimalSeparator == fs.ThousandSeparator && o.ThousandSeparator.empty()) {
    fs.ThousandSeparator = fs.DecimalSeparator == '.' ? ',' : '.';
  } else if (fs.DecimalSeparator == fs.ThousandSeparator && o.DecimalSeparator.empty()) {
    fs.DecimalSeparator = fs.ThousandSeparator == ',' ? '.' : ',';
  }
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
  // A time layout or separator alone keeps the dates in ISO 8601's order.
  if (o.DatesGiven() && o.DateFormat.empty()) fs.ShortDateFormat = "yyyy-mm-dd";
}

// --set Name=Value for any published property of component.
void ApplySet(TComponent& component, const std::string& assignment,
              const TComponentLookup& lookup, std::string_view nameShown) {
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

// ---------------------------------------------------------------------------
// Checks made before a run changes anything.

void CheckInputFile(const std::string& path) {
  if (path.empty()) {
    throw EUsageError("give the file to import: korvane import FILE --db DATABASE --table TABLE");
  }
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) {
    throw EUsageError(InputName(path) + " cannot be read (" + std::strerror(errno) + ")");
  }
  if (S_ISDIR(info.st_mode)) throw EUsageError(InputName(path) + " is a folder");
  if (::access(path.c_str(), R_OK) != 0) {
    throw EUsageError(InputName(path) + " cannot be read (" + std::strerror(errno) + ")");
  }
}

// Writes the components of a command as a settings file instead of running
// them (--save).
void SaveSettings(const std::string& path, std::vector<TComponent*> components) {
  for (TComponent* c : components) {
    if (ClassOf(*c) == nullptr) {
      throw EUsageError("--save: component '" + c->Name() +
                        "' (of a class without a description)" +
                        " cannot be stored in a settings file");
    }
  }
  try {
    WriteSettingsFile(path, components);
  } catch (const Exception& e) {
    throw EUsageError("--save: " + e.Message());
  }
}

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
  const char* group =
      "Format settings (dates and times default to ISO 8601: yyyy-mm-dd, hh:nn:ss, and an "
      "import reads the basic yyyymmddThhnnss too; numbers to the platform's)";
  app->add_option("--decimal-separator", o.Format.DecimalSeparator,
                  "Decimal separator of numbers (.); given alone as the thousands separator's "
                  "character (,), the thousands separator becomes . (and the other way round)")
      ->type_name("CHAR")
      ->group(group);
  app->add_option("--thousand-separator", o.Format.ThousandSeparator,
                  "Thousands separator of numbers (,)")
      ->type_name("CHAR")
      ->group(group);
  app->add_option("--date-format", o.Format.DateFormat,
                  "Date layout, d m y for day month year, instead of ISO 8601 (yyyy-mm-dd, "
                  "and hh:nn:ss times): m/d/yyyy, dd.mm.yyyy, d/m/yyyy ... (DateTimeStyle="
                  "dsFormatSettings with this ShortDateFormat)")
      ->type_name("FORMAT")
      ->group(group);
  app->add_option("--date-separator", o.Format.DateSeparator,
                  "What / in the date format stands for (/)")
      ->type_name("CHAR")
      ->group(group);
  app->add_option("--time-format", o.Format.TimeFormat,
                  "Time layout, h n s for hour minute second, instead of ISO 8601's hh:nn:ss "
                  "(dates then stay yyyy-mm-dd unless --date-format is given)")
      ->type_name("FORMAT")
      ->group(group);
  app->add_option("--time-separator", o.Format.TimeSeparator,
                  "What : in the time format stands for (:)")
      ->type_name("CHAR")
      ->group(group);
  app->add_flag("--utc", o.Format.Utc,
                "Work in UTC: an import stores a date-time with a zone offset as the same "
                "instant in UTC without it; an export writes such values in UTC with +00; a "
                "PostgreSQL session runs in UTC whatever the connection chooses (UtcTimes)")
      ->group(group);
}

void AddLayoutOptions(CLI::App* app, TTransferOptions& o, bool import) {
  app->add_option("--db", o.Database,
                  "The database: a SQLite file, or a postgresql:// (postgres://) URI")
      ->type_name("FILE|URI");
  app->add_option("-s,--separator", o.Separator,
                  import
                      ? "Value separator: comma, tab, pipe, space, nul (a zero byte), none, or any "
                        "one character such as ; or a UTF-8 one such as \u00a6 (default: sniffed "
                        "from the file, see korvane sniff)"
                      : "Value separator: comma (default), tab, pipe, space, none, or any one "
                        "character such as ; or a UTF-8 one such as \u00a6")
      ->type_name("CHAR");
  app->add_option("-q,--quote", o.Quote,
                  import ? "Quote character around values: \", ' or none (default: sniffed with "
                           "the separator when -s is not given, else \")"
                         : "Quote character around values: \" (default), ' or none; with "
                           "--quote-all around every value, else around text. With none, a "
                           "record whose value holds the separator or a line break (without "
                           "--escape) or is an empty text fails alone: its line would not read "
                           "back")
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
  app->add_option("--encoding", o.Encoding,
                  import ? "The file's text encoding, any name iconv knows (latin1, cp1252, "
                           "utf-16, shift_jis, ...; iconv -l lists them); default UTF-8, and a "
                           "UTF-16 byte-order mark switches to UTF-16. Under strict values a "
                           "record with bytes not valid in it fails (--lenient lets them pass)"
                         : "Write the text in this encoding, any name iconv knows (default "
                           "UTF-8); a character it cannot hold fails the export, naming it. "
                           "utf-16 starts with a byte-order mark, as spreadsheets expect")
      ->type_name("NAME");
  app->add_flag("--fixed", o.Fixed,
                import ? "Fixed-width records, as export --fixed writes them: each column as "
                         "wide as its type's longest value and its name (text: its declared "
                         "length, else 255); blanks around a value are padding, a value of "
                         "blanks is NULL"
                       : "Fixed-width lines that import --fixed reads back: each value padded "
                         "with blanks to its column's width (text: its declared length, else "
                         "255; numbers, dates, booleans: their longest value; at least the "
                         "name). A value wider than its column, holding a line break, or a "
                         "text that is empty or ends in a blank fails its record (not written; "
                         "stderr names it, exit status 3)");
  app->add_option("--widths", o.Widths,
                  import ? "With --fixed: the columns' widths in characters, in order, one for "
                           "each column that takes part, or with --header for each column of "
                           "the file (e.g. 5,10,12); without it, --create without --columns "
                           "finds them where runs of blanks part the columns on every line"
                         : "With --fixed: the columns' widths in characters, in order, one for "
                           "each column that takes part (e.g. 5,10,12)")
      ->type_name("N,...");
  app->add_flag("--byte-widths", o.ByteWidths,
                import ? "Fixed-width columns count UTF-8 bytes instead of characters (a file "
                         "whose columns line up by bytes); in a one-byte encoding "
                         "(--encoding latin1) characters are its bytes already"
                       : "With --fixed: widths count UTF-8 bytes instead of characters, each "
                         "value padded to its column's bytes");
  app->add_option("--fields", o.Fields,
                  import ? "The columns that receive the file's values, in the file's order "
                           "(with --by-position: only these columns take their values by "
                           "position)"
                         : "Write only these fields, in the table's or query's order (a name "
                           "that is no field is refused)")
      ->type_name("NAME,...");
  app->add_option("--exclude", o.Exclude,
                  import ? "These columns receive no values: the file's values go to the "
                           "other columns in order (with a header record: the values under these "
                           "names are skipped; with --by-position: the values in their places)"
                         : "Leave these fields out (a name that is no field is refused)")
      ->type_name("NAME,...");
  app->add_option("--jobs", o.Jobs,
                  import ? "PostgreSQL: load over N connections at once, each committing its "
                           "own --commit-every groups: a plain file is cut into N ranges of "
                           "whole records, each read and converted on a thread of its own; a "
                           "compressed file or standard input is read on one thread, its records "
                           "dealt out in blocks (auto: the server's max_parallel_workers or the "
                           "client's cores, whichever is fewer); --mode replace, upsert and skip "
                           "deal the records out by key, each key's records to one connection; "
                           "not with --mode truncate or --atomic (auto then loads over one "
                           "connection)"
                         : "PostgreSQL: read a table over N connections at once, in ranges of "
                           "its pages, all in one snapshot, written in the table's order "
                           "(--unordered: as they come); a --query is read over one (auto: the "
                           "server's max_parallel_workers or the client's cores, whichever is "
                           "fewer)")
      ->type_name("N|auto");
  app->add_option("--save", o.Save,
                  "Do not run: write the command's components to a settings file for "
                  "`korvane run`, with everything the run would use (every option, and the "
                  "layout, header and date formats sniffed from the file)")
      ->type_name("SETTINGS-FILE");
  AddRunSwitches(app, o);
}

std::int32_t ParseJobs(const std::string& given) {
  if (given == "auto") return 0;
  std::int32_t value = 0;
  const char* end = given.data() + given.size();
  const auto [at, ec] = std::from_chars(given.data(), end, value);
  if (given.empty() || ec != std::errc() || at != end || value < 1) {
    throw EUsageError("--jobs '" + given + "': give a number of connections, 1 or more, or auto");
  }
  return value;
}

void SayJobsNote(TSession& session, const TTransferOptions& o, const TDatabaseTable& table) {
  if (o.Jobs.empty()) return;
  if (const std::string note = table.JobsNote(); !note.empty()) {
    session.Say(mtInformation, "--jobs " + o.Jobs + ": " + note);
  }
}

const char* const kExitText =
    "Exit status: 0 when the run returned 0 or more and every record read was stored (or "
    "written), 3 when an import or export completed but some records failed (left out; stderr "
    "and --json say how many and why), 1 when it failed (returned -1, broke off with an error, or stopped by "
    "--max-errors), 2 when the command cannot run as given (the message says what to fix), "
    "130 or 143 when Ctrl-C (SIGINT) or SIGTERM stopped an import between two records "
    "(stderr says how many records are stored and where --start-record goes on). "
    "Component messages go to stderr as \"Warning: TEXT\" or \"Error: TEXT\".";

}  // namespace korvane::cli

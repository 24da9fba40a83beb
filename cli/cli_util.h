// Helpers of the korvane command that do not need a component: reading the
// friendly option values, splitting column and name lists, the event log and
// the output file that replaces its target only when a run succeeds.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "io/fileio.h"
#include "components/kvenums.h"

namespace korvane::cli {

// Exit statuses of the command.
inline constexpr int kExitOk = 0;      // Execute returned 0 or more
inline constexpr int kExitFailed = 1;  // Execute returned -1, or the run broke off
inline constexpr int kExitUsage = 2;   // the command cannot run as given
inline constexpr int kExitPartly = 3;  // an import completed, but some records failed

// The command cannot run as given: an unknown option, property or value, a
// missing or unusable file, database or table. The message says what to fix
// and fits on one line.
class EUsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// What --separator gives: the enumeration value and, for a character that
// has no value of its own, the custom separator.
struct TSeparatorChoice {
  TFieldSeparator Separator = fspComma;
  std::string Custom;
};
// "," or "comma", "|" or "pipe", "tab" or "\t" (also a real tab), "none"
// (no separator: for fixed-width lines), or any other single printable
// character (a custom separator). Raises EUsageError otherwise.
TSeparatorChoice ParseSeparator(std::string_view text);

// What --quote gives: '"' or "double", "'" or "single", "" or "none".
// Raises EUsageError otherwise.
TFieldDelimiter ParseQuote(std::string_view text);

// What --dialect gives: "standard" or "classic" (any case).
TDialect ParseDialect(std::string_view text);

// What --record-separator gives: "lf", "crlf" or "cr" (any case).
TRecordSeparator ParseRecordSeparator(std::string_view text);

// One character for a format option (--decimal-separator and the like);
// raises EUsageError naming the option otherwise.
char ParseFormatChar(std::string_view option, std::string_view text);

// Column definitions written as one SQL list ("id INTEGER PRIMARY KEY, name
// VARCHAR(40), price DECIMAL(10,2)"): split at the commas that stand outside
// parentheses and quotes, each item trimmed. Raises EUsageError for an empty
// item, unbalanced parentheses or an unclosed quote.
std::vector<std::string> SplitColumnDefinitions(std::string_view text);

// A comma-separated list of names ("id,name, city"), each trimmed; empty
// items are refused (EUsageError naming the option).
std::vector<std::string> SplitNameList(std::string_view option, std::string_view text);

// A column definition that gives a column this name and the type TEXT, the
// name quoted as an SQL identifier; an empty name becomes "columnN" (N the
// 1-based position).
std::string TextColumnDefinition(std::string_view name, int position);
// The same with another type ("INTEGER", "DATE", ...).
std::string ColumnDefinition(std::string_view name, std::string_view type, int position);

// text as valid UTF-8 for JSON: well-formed UTF-8 sequences pass through,
// every other byte above 127 is taken as a Latin-1 character (so that any
// 8-bit text can be shown, and no byte is dropped).
std::string JsonText(std::string_view text);

// text as a JSON string, quotes included (JsonText, then escaped).
std::string JsonString(std::string_view text);

// Writes one JSON object per line to a file, each line handed to the
// operating system as soon as it is complete, so that a reader following the
// file sees every event as it fires. Owns the file; closes it when destroyed.
class TEventLog {
 public:
  // Creates (or empties) path; raises EUsageError when it cannot be written.
  explicit TEventLog(const std::string& path);
  ~TEventLog();
  TEventLog(const TEventLog&) = delete;
  TEventLog& operator=(const TEventLog&) = delete;

  // {"event":NAME} plus "component":COMPONENT when it is not empty, plus
  // the named whole-number arguments in order.
  struct TArg {
    std::string_view Name;
    std::int64_t Value;
  };
  void Write(std::string_view event, std::string_view component,
             std::initializer_list<TArg> args = {});
  // False once a write has failed (the log then stops writing).
  bool Good() const { return FGood; }

 private:
  int FFd = -1;
  bool FGood = true;
  std::string FLine;
};

// The file an export writes to, standing in for its target until the run
// has succeeded. For a regular file (or a path that does not exist yet) it is
// a new file beside the target; Commit renames it over the target, so the
// target is either the old file, untouched, or the complete new one. The new
// file has no name until Commit (O_TMPFILE, written through its /proc path)
// where the file system allows it, so that nothing is left behind however
// the process ends; elsewhere it is named after the target and the process
// (".NAME.korvane-PID-XXXXXX"), and a later export to the same target
// removes such files whose process is gone. For
// anything else (a terminal, a pipe, a device) the export writes to the
// target directly and Commit does nothing.
//
// The target "-" is standard output: written directly when it is a pipe or a
// terminal; when it is a regular file (a shell redirection, possibly
// appending) the export goes to a temporary file whose bytes Commit then
// writes to standard output, so that the file is neither reopened nor
// truncated.
//
// While the new file exists, an interrupt (SIGINT, SIGTERM, SIGHUP) removes
// it before the process ends. One replacement file at a time.
class TReplacementFile {
 public:
  // Raises EUsageError when the target's folder cannot take a new file (the
  // message gives the reason).
  explicit TReplacementFile(const std::string& target);
  // Removes the new file unless it was committed.
  ~TReplacementFile();
  TReplacementFile(const TReplacementFile&) = delete;
  TReplacementFile& operator=(const TReplacementFile&) = delete;

  // The path the export writes to.
  const std::string& WritePath() const { return FWritePath; }
  // Puts the new file in the target's place (see above). Raises
  // std::runtime_error with the reason when it cannot.
  void Commit();

 private:
  void CreateTemporary(const std::string& dir, const std::string& prefix,
                       const std::string& shown);
  static void RemoveOrphans(const std::string& dir, const std::string& prefix);
  std::string NameUnnamed();

  std::string FTarget;
  std::string FWritePath;
  bool FDirect = false;
  bool FToStdout = false;
  bool FCommitted = false;
  std::optional<unsigned> FTargetMode;
  std::string FDir;
  std::string FPrefix;
  TFileHandle FUnnamed;  // the unnamed new file, until Commit names it
};

}  // namespace korvane::cli

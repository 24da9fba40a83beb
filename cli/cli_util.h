// Helpers of the korvane command that do not need a component: reading the
// friendly option values, splitting column and name lists, the event log and
// the output file that replaces its target only when a run succeeds.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "io/fileio.h"
#include "io/replacement_file.h"
#include "components/kvenums.h"

namespace korvane::cli {

// Exit statuses of the command.
inline constexpr int kExitOk = 0;      // Execute returned 0 or more
inline constexpr int kExitFailed = 1;  // Execute returned -1, or the run broke off
inline constexpr int kExitUsage = 2;   // the command cannot run as given
inline constexpr int kExitPartly = 3;  // an import or export completed, but some records failed

// The command cannot run as given: an unknown option, property or value, a
// missing or unusable file, database or table. The message says what to fix
// and fits on one line.
class EUsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// What --separator gives: the enumeration value and, for a character that
// has no value of its own, the custom separator, or a blank as it stands
// (the components' SeparatorChar, which CustomSeparator would trim away).
struct TSeparatorChoice {
  TFieldSeparator Separator = fspComma;
  std::string Custom;
  std::string Exact;
};
// "," or "comma", "|" or "pipe", "tab" or "\t" (also a real tab), " " or
// "space", "nul" or "\0" (a zero byte, Exact), "none" (no separator: for
// fixed-width lines), any other single printable character (a custom
// separator), or one UTF-8 character of more than one byte (Exact). Raises
// EUsageError otherwise.
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

// A comma-separated list of names ("id,name, city"), each trimmed; a name
// in double quotes keeps its commas and blanks ("Amount, USD", "" for a
// quote). Empty names and unclosed quotes are refused (EUsageError naming
// the option).
std::vector<std::string> SplitNameList(std::string_view option, std::string_view text);

// A column definition that gives a column this name and the type TEXT, the
// name quoted as an SQL identifier; an empty name becomes "columnN" (N the
// 1-based position).
std::string TextColumnDefinition(std::string_view name, int position);
// The same with another type ("INTEGER", "DATE", ...).
std::string ColumnDefinition(std::string_view name, std::string_view type, int position);

// What - as INPUT reads.
inline constexpr const char* kStandardInputPath = "/dev/stdin";
// The input as messages name it: "standard input" for kStandardInputPath
// (whatever it is redirected from), else "input file 'PATH'".
std::string InputName(const std::string& path);
// A component's message about the input with standard input named so:
// where it quotes kStandardInputPath ("cannot open '/dev/stdin': ...").
std::string NamingStandardInput(std::string text);

// The text for a message line: a tab as \t, other control bytes (an escape
// sequence, a blob's bytes) as \xHH.
std::string ShownControls(std::string_view text);
// The same, bytes that are not well-formed UTF-8 as \xHH too.
std::string ShownBytes(std::string_view text);

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


// The replacement file of an export's target (see TReplacementFile), removed
// when the command is interrupted (SIGINT, SIGTERM, SIGHUP) while it exists.
// Raises EUsageError when the target cannot be replaced.
std::unique_ptr<TReplacementFile> OpenReplacement(const std::string& target);

}  // namespace korvane::cli

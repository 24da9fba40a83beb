// The file a run writes in place of its target, which takes the target's
// place only once the run has succeeded.
#pragma once

#include "core/api.h"

#include <optional>
#include <string>

#include "core/temporary_file.h"
#include "io/fileio.h"

namespace korvane {

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
// A named new file is reported to the pending watch (SetPendingWatch) while
// it exists, so that a host that ends on a signal can remove it first (the
// command does, for SIGINT, SIGTERM and SIGHUP).
class TReplacementFile {
 public:
  // Raises EInOutError when the target is a folder or its folder cannot take
  // a new file (the message gives the reason).
  explicit TReplacementFile(const std::string& target);
  // Removes the new file unless it was committed.
  ~TReplacementFile();
  TReplacementFile(const TReplacementFile&) = delete;
  TReplacementFile& operator=(const TReplacementFile&) = delete;

  // The path the export writes to.
  const std::string& WritePath() const { return FWritePath; }
  // True when the export writes to the target itself (a pipe, a terminal, a
  // device): what it wrote before a failure is there, and stays.
  bool Direct() const { return FDirect; }
  // Puts the new file in the target's place (see above). Raises EInOutError
  // with the reason when it cannot, saying what became of the target: a file
  // is then unchanged; standard output has what went there before the
  // failure (the message says how many bytes, if any).
  void Commit();

  // Called with the path of a named new file when it comes to exist and
  // with nullptr once it is gone (renamed or removed). One watch for the
  // process, nullptr (initially) for none; the path stays valid until the
  // next call.
  using TPendingWatch = void (*)(const char* path);
  static void SetPendingWatch(TPendingWatch watch);

 private:
  void CreateTemporary(const std::string& dir, const std::string& prefix, const std::string& shown);
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
  TFileHandle FUnnamed;   // the unnamed new file, until Commit names it
  TTemporaryFile FNamed;  // the named new file, until it replaces the target
};

}  // namespace korvane

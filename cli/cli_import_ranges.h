// korvane import --jobs N of a plain file: the file cut into ranges of whole
// records (TCSVImport::CutInput), each read, converted and loaded by an
// import of its own over a connection of its own, and the runs summed into
// the command's import, so that the rest of the command sees one run.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "cli/cli_command.h"
#include "cli/cli_database.h"
#include "cli/cli_rejects.h"

namespace korvane::cli {

// Owns the imports of the ranges after the first (the command's import
// reads the first) and their reports; the components are owned by the root
// they were made under. Used on the command's thread; each range's import
// runs on a thread of its own inside Execute.
class TRangedImport {
 public:
  // A run of import, whose dataset is table's (open) and whose failed
  // records go as rejects asks, over ranges of its input for jobs
  // connections (0: as many as the database serves). nullptr when the input
  // is read by one import (its records then dealt out to the connections);
  // why then says the reason when one is worth saying. Sets table's dataset
  // to load over its own connection when it does return a run.
  static std::unique_ptr<TRangedImport> Plan(TComponent& root, TCSVImport& import,
                                             TDatabaseTable& table, const TImportOptions& o,
                                             std::int32_t jobs,
                                             const TRejectReport::TOptions& rejects,
                                             std::string& why);
  ~TRangedImport();
  TRangedImport(const TRangedImport&) = delete;
  TRangedImport& operator=(const TRangedImport&) = delete;

  // How many ranges the input was cut into.
  std::size_t Ranges() const { return FParts.size(); }
  // Every import of the run, the command's first.
  std::vector<TCSVImport*> Imports() const;
  // Counts the bytes of the other ranges too.
  void SetMeter(TRunMeter* meter) { FMeter = meter; }
  // Runs the command's import over the first range on this thread while the
  // others run on theirs; the first to fail (or to raise) stops the rest.
  // Ends the bulk run the command began on the first range's dataset as
  // soon as that range has run, and each later range's on its thread.
  // Then takes every range's run into the command's import and report, in
  // the order of the input, says their messages, each after its range's
  // Prefix, and returns as the command's import's Execute does, or -1 with
  // failure (the first failed range's reason, after its Prefix) and
  // rolledBack (records the ranges rolled back) set.
  // What the command's import raises is raised again once the rest ended.
  std::int32_t Execute(TSession& session, TRejectReport& report, std::int64_t& rolledBack,
                       std::string& failure, bool& damagedInput);
  // "range 2 of 4: ", before what a range says (0: the first).
  std::string Prefix(std::size_t range) const;
  // "records stored by range: 1000 (1), 998 (2, failed), ...; 1998 in all".
  // After a failure, a range that the failure stopped says where: "500 (3,
  // stopped before record 2501)".
  std::string StoredText(bool failed) const;
  // After a stop: the records not stored, as several ranges each stop where
  // they were ("records 1001-5000 (line 1002 on), 9001 on (line 9002
  // on)"); empty when they are the file's last ones, which --start-record
  // then loads.
  std::string NotStored() const;

 private:
  struct TPart;
  TRangedImport(TCSVImport& main, std::size_t ranges);
  void StopAll() noexcept;
  void RunPart(TPart& part) noexcept;
  static void EndBulk(TDataSet& ds, TPart& part) noexcept;

  TCSVImport& FMain;
  // FParts[0] stands for the command's import (no thread, no import of its
  // own); the others for the later ranges.
  std::vector<std::unique_ptr<TPart>> FParts;
  TRunMeter* FMeter = nullptr;
};

}  // namespace korvane::cli

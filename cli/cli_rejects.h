// What the korvane command does with the records an import fails: counts
// them by reason, writes them to a reject file and a reject log, stops the
// run after --max-errors, and says at the end what failed and why. Also the
// whole-or-nothing run of --atomic and the closing line of --progress.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "cli/cli_database.h"
#include "core/published.h"
#include "import/kvcsvimp.h"
#include "io/text_encoding.h"

namespace korvane::cli {

// The run was stopped on purpose: more records failed than it allows. The
// message says why and names the last failed record.
class EStoppedRun : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The short name of a reason, as --json and the reject log give it
// ("not_a_number"), and its words in the summary ("not a number").
std::string_view ReasonKey(TRecordErrorReason reason);
std::string_view ReasonWords(TRecordErrorReason reason);

// One failed record as the command reports it: "line 17: amount: \"12x\" is
// not a number" (without the line for a record the dataset refused only
// when it stored a group).
std::string FailureLine(const TRecordError& error);

// The line end of a text file in encoding (empty: its bytes as they are),
// by its first one: "\r\n", "\r" or "\n" (also when it has none, cannot be
// read or is no regular file).
std::string LineEndOf(const std::string& path, const std::string& encoding);

// What the command does with the failed records of one import (--rejects,
// --reject-log, --max-errors, --atomic), as a component of its own, so that
// a settings file written by --save keeps it beside the import it serves
// and `korvane run` handles them as the saved run would. Registered by the
// command (RegisterCommandClasses); a file holds one only when the run asked
// for any of them. References its import, which the owner keeps alive.
class TFailedRecords : public TComponent {
 public:
  explicit TFailedRecords(TComponent* owner) : TComponent(owner) {}

  // The import whose failed records these are.
  TCSVImport* Import() const { return FImport; }
  void SetImport(TCSVImport* value) { FImport = value; }
  // Where each failed record goes exactly as read; empty (initially): nowhere.
  const std::string& RejectsFile() const { return FRejectsFile; }
  void SetRejectsFile(std::string value) { FRejectsFile = std::move(value); }
  // Where one JSON object per failed record goes; empty (initially): nowhere.
  const std::string& RejectLog() const { return FRejectLog; }
  void SetRejectLog(std::string value) { FRejectLog = std::move(value); }
  // Records that may fail before the run stops; -1 (initially): no limit.
  std::int64_t MaxErrors() const { return FMaxErrors; }
  void SetMaxErrors(std::int64_t value) { FMaxErrors = value; }
  // Whether the import runs in one transaction, stored all or nothing.
  bool Atomic() const { return FAtomic; }
  void SetAtomic(bool value) { FAtomic = value; }

  // Whether any of them asks for more than a plain run.
  bool Asked() const {
    return !FRejectsFile.empty() || !FRejectLog.empty() || FMaxErrors >= 0 || FAtomic;
  }

 private:
  TCSVImport* FImport = nullptr;
  std::string FRejectsFile;
  std::string FRejectLog;
  std::int64_t FMaxErrors = -1;
  bool FAtomic = false;
};

// Registers the component classes of the command's own (TFailedRecords).
void RegisterCommandClasses();

// Keeps account of one import's failed records. Owns the reject file and
// the reject log while it lives. Used on the import's thread only.
class TRejectReport {
 public:
  struct TOptions {
    // What failed records asks of the run, for input (whose line end the
    // reject file takes).
    static TOptions Of(const TFailedRecords& failed, const std::string& input);

    std::string RejectsFile;  // empty: none
    std::string RejectLog;    // empty: none
    // Records that may fail before the run stops; -1: no limit.
    std::int64_t MaxErrors = -1;
    // Why the run stops at the first record beyond MaxErrors, for its message.
    std::string StopReason;
    // What ends each record in the reject file.
    std::string LineEnd = "\n";
    // The run is a settings file's: its summary names the properties that
    // keep failed records, not the import command's options.
    bool FromSettings = false;
    // The failed records go to unnamed temporary files instead of
    // RejectsFile and RejectLog (which then only say whether to keep them),
    // without the header records, for another report to Append.
    bool Spool = false;
  };

  // Creates (or empties) the reject file and log. Raises EUsageError naming
  // the file when one cannot be written.
  explicit TRejectReport(TOptions options);
  ~TRejectReport();
  TRejectReport(const TRejectReport&) = delete;
  TRejectReport& operator=(const TRejectReport&) = delete;

  // Reports import's failed records here (any OnRecordError handler set
  // before is called first), each written to the files before the run goes
  // on: one that cannot be written raises std::runtime_error naming the
  // file and the record, which stops the run. import must outlive the
  // report's use.
  void Attach(TCSVImport& import);
  // Records failed so far, and those for one reason.
  std::int64_t Failed() const { return FFailed; }
  std::int64_t Failed(TRecordErrorReason reason) const;
  // MaxErrors counts the records failed in every report that shares count
  // (reports of imports that run at once over parts of one input).
  void ShareFailedCount(std::atomic<std::int64_t>* count) { FShared = count; }
  // Takes a spooled report of the records after this one's (a later part of
  // the same input, its run ended): its failed records are written to the
  // files after this one's (the header records of import first, if none
  // were written yet), counted and kept for the summary as if they had
  // failed here, without MaxErrors' check. Raises as Finish does.
  void Append(TRejectReport& later, const TCSVImport& import);
  // Writes the trailer records of a run that read its input to the end
  // after the failed records, when any were written: an import of the file
  // with the same options holds them back again instead of the last failed
  // records. Raises as Finish does.
  void WriteTrailer(const TStrings& trailer);
  // Writes out what the files still hold; raises std::runtime_error naming
  // the file when writing failed.
  void Finish();
  // The end-of-run summary: one line of counts by reason, the first few
  // failed records, and where the rest are (or how to get them). Empty when
  // nothing failed.
  std::vector<std::string> Summary() const;
  // Adds "rejected" (counts by reason key) and "reasons" (the first 100
  // failed records) to an import's JSON result.
  void AddJson(nlohmann::json& result) const;

 private:
  void Add(const TCSVImport& import, const TRecordError& error);
  // Writes import's header records to the reject file once.
  bool WriteHeader(const TCSVImport& import);
  // Writes a record's text and the line end to the reject file, in the
  // input's encoding.
  bool WriteRecord(std::string_view text);
  static bool Write(std::FILE* file, std::string_view bytes);
  // Raises std::runtime_error: the file cannot be written (errno says why),
  // and the record that failed is not in it.
  [[noreturn]] void WriteFailed(const std::string& name, const TRecordError& error);
  // Raises std::runtime_error with text, noting that the file of that name
  // (the rejects file or the log) does not hold every failed record.
  [[noreturn]] void CannotWrite(const std::string& name, const std::string& text);

  TOptions FOptions;
  struct TFileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
  };
  std::unique_ptr<std::FILE, TFileCloser> FRejects;
  std::unique_ptr<std::FILE, TFileCloser> FLog;
  std::unique_ptr<TTextReencoder> FReencoder;  // null: the text as it is
  std::string FLeadingLines;                   // the lines the import leaves out before the records
  bool FHeaderWritten = false;
  bool FRejectsShort = false;  // a write to the rejects file failed
  bool FLogShort = false;      // a write to the log failed
  std::int64_t FFailed = 0;
  std::atomic<std::int64_t>* FShared = nullptr;
  std::array<std::int64_t, 16> FCounts{};
  std::vector<nlohmann::json> FFirst;  // the first kKept failed records
  std::vector<std::string> FFirstLines;
};

// --atomic: the import runs inside one transaction of the host, committed
// only when the run succeeded; anything else (a failure, an interrupt, the
// process killed) leaves the table as it was.
class TAtomicRun {
 public:
  // Starts the transaction when on; raises EUsageError when it cannot.
  TAtomicRun(TDatabaseTable& table, bool on);
  // Rolls back unless committed, which happens only when the run left
  // early on an error the user is shown. A rollback that fails there loses
  // nothing: a transaction never committed is rolled back when its
  // connection closes or is lost.
  ~TAtomicRun();
  TAtomicRun(const TAtomicRun&) = delete;
  TAtomicRun& operator=(const TAtomicRun&) = delete;
  bool On() const { return FOpen; }
  void Commit();
  // Rolls back; empty, or why that failed too.
  std::string Rollback() noexcept;

 private:
  TDatabaseTable& FTable;
  bool FOpen = false;
};

// The closing line of --progress: records stored and failed, bytes read,
// time taken and speed. Counts the bytes through OnImportRecord (calling
// any handler set before).
class TRunMeter {
 public:
  explicit TRunMeter(TCSVImport& import);
  // The summary of the run, stored the records in the table.
  std::string Line(const TCSVImport& import, std::int64_t stored) const;
  // Counts bytes read by another import of the same run.
  void AddBytes(std::int64_t bytes) { *FBytes += bytes; }

 private:
  std::chrono::steady_clock::time_point FStart;
  std::shared_ptr<std::int64_t> FBytes;
};

}  // namespace korvane::cli

// Appends records to a PostgreSQL table through COPY ... FROM STDIN.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "data/db.h"
#include "datasets/postgres/postgres_codec.h"
#include "datasets/postgres/postgres_connection.h"
#include "datasets/sql_dataset.h"
#include "io/spill_buffer.h"

namespace korvane::pg {

// Writes records with COPY FROM STDIN, in the binary format unless the
// connection refuses it (then in the text format, from then on).
//
// Outside a bulk run every record is stored at once (autocommit): Add raises
// with the server's message when the table refuses it.
//
// In a bulk run records are encoded as they come and streamed to the
// server in one COPY per transaction (RecordsPerTransaction records, or the
// host's own transaction, which is left to the host, in COPYs of at most a
// few hundred megabytes), under a savepoint: each further COPY of a
// transaction costs the server time. The COPY's rows are kept meanwhile in
// a spill buffer (a few megabytes in memory, the rest in a temporary file).
// A COPY the server refuses is rolled back and its rows are read back and
// stored again in segments of a few megabytes, each under a savepoint; a
// segment the server refuses is stored again in parts: the rows before the
// line the server names go in one COPY, the named row is refused, the rest
// is tried again; where the server names no line the part is halved. So
// every refused record is isolated with the server's message and SQLSTATE,
// every other one is stored, and a transaction without refusals costs one
// COPY. The refusals are counted for TakeRefusals, each named by the post
// number Add was given with its record.
//
// A lost connection or a failed COMMIT is no record's fault: the writer is
// broken from then on, and every Add and Finish raises, saying how many
// records were committed.
//
// The connection and the columns must outlive the writer. Not thread-safe.
class TCopyWriter {
 public:
  // One flag per column: left out of a COPY.
  using TMask = std::vector<bool>;
  using TAfterCopy = std::function<void(const TMask& omitted)>;

  // serverBinary: whether the connection takes the binary format; the
  // writer uses it unless a column's values need the text format, and sets
  // it false when the server refuses the binary format.
  TCopyWriter(TConnection& connection, std::string quotedTable, const std::vector<TColumn>& columns,
              const TCodecContext& context, bool& serverBinary);

  // Records per transaction of a bulk run (at least 1).
  void SetRecordsPerTransaction(std::int64_t value) { FPerTransaction = value < 1 ? 1 : value; }
  bool Binary() const { return FBinary; }

  // Starts a bulk run: own transactions unless the host has one open.
  void BeginBulk();
  // Ends the segment in progress, so that every record added so far is
  // stored or refused; the transaction stays open.
  void Flush();
  // Flush, then commits the transaction this writer opened. Ends the run.
  void EndBulk();
  // Flush, then commits the transaction this writer opened; the run goes
  // on, its next record opening the next transaction.
  void CommitNow();
  // Ends the bulk run, rolling back what it posted since its last commit:
  // the segment in progress and, when the writer opened it, the
  // transaction (a host's transaction keeps what went in before the
  // segment). Returns how many posted records were rolled back. Never
  // raises: a connection that fails meanwhile has rolled back already.
  std::int64_t AbandonBulk() noexcept;
  // Ends any COPY and transaction without raising (for Close).
  void Abandon() noexcept;

  // Stores or queues one record (values in column order; a value of a
  // defaulted column left null lets the column take its default). post
  // names the record in TakeRefusals' Posts; 0 leaves it unnamed.
  void Add(const TFieldData* values, std::int64_t post = 0);

  // Records of a bulk run added but not yet known to be stored or refused.
  std::int64_t Held() const { return FBulk ? FStreamRows : 0; }

  // True while a COPY is open on the connection.
  bool Copying() const { return FCopying; }

  TDataSet::TRefusals TakeRefusals();
  std::int64_t Committed() const { return FCommitted; }

  // Load modes (see TLoadMode).
  //
  // Every row carries one more value, in the column named so: a number that
  // rises from row to row, the post number Add was given (else one more than
  // the last).
  void SetRowNumbers(std::string column) { FRowNumberColumn = std::move(column); }
  // Run in a bulk run's first transaction before its first row: the
  // emptying of lmTruncate. It raises as Fail does. It is committed only
  // with a row stored after it: a transaction of the writer's own whose
  // rows were all refused is rolled back, and the next one runs it again.
  // A run that stored no row runs it at EndBulk, in a transaction of its
  // own, unless a post of the run failed (then the table stays as it was).
  void SetOpening(std::function<void()> opening) { FOpening = std::move(opening); }
  // Called whenever the rows of a COPY are settled (stored or refused),
  // inside their transaction when there is one, with the columns the COPY
  // left out: the merge of a keyed load.
  void SetAfterCopy(TAfterCopy hook) { FAfterCopy = std::move(hook); }
  // For those: ends the run as a lost connection does.
  [[noreturn]] void Fail(const TError& error) { Break(error); }
  // A post of the bulk run raised: a pending opening is left undone.
  void NotePostFailed() { FPostFailed = true; }
  bool Bulk() const { return FBulk; }
  bool InTransaction() const { return FInTransaction; }
  // A row that went in but the after-copy hook found refused: in a bulk
  // run it is counted and named (by its row number) for TakeRefusals;
  // outside one, Add raises EDatabaseError for it.
  void RefuseRow(std::int64_t row, const TError& error);
  // What the settled rows did, counted with the transaction they are in.
  void Count(const TLoadCounts& counts);
  TLoadCounts Counts() const;

 private:
  void StartSegment(const TMask& omitted);
  bool StartCopy(const TMask& omitted, TError& error);
  void SendPending();
  void Keep();
  void EndSegment();
  void StoreAgain(const TError& failed);
  void ClearRows();
  bool TryRange(std::size_t first, std::size_t last, TError& error);
  void StoreRange(std::size_t first, std::size_t last, const TError* known);
  void Refuse(std::size_t row, const TError& error);
  void Savepoint();
  void Commit();
  [[noreturn]] void Break(const TError& error);
  void CheckBroken() const;
  std::string CopyCommand(const TMask& omitted, bool binary) const;

  TConnection& FConn;
  std::string FTable;
  const std::vector<TColumn>& FColumns;
  TCodecContext FContext;
  bool& FServerBinary;
  bool FBinary;
  std::int64_t FPerTransaction = 500000;

  bool FBulk = false;
  bool FOwnTransaction = false;  // this writer runs BEGIN/COMMIT
  bool FInTransaction = false;
  bool FCopying = false;
  TMask FOmitted;         // defaulted columns left out of the segment's COPY
  std::size_t FSentColumns = 0;  // and those it sends
  bool FMayOmit = false;         // some column is generated or has a default
  std::string FRows;  // rows not handed to the server yet, or a segment's rows
  std::vector<std::size_t> FRowStarts;  // of the rows in FRows, for a retry
  std::int64_t FFirstPost = 0;          // the post number of FRows' first row
  // A bulk run's COPY: its rows, kept for a retry, and their number.
  TSpillBuffer FStream;
  std::int64_t FStreamRows = 0;
  std::int64_t FStreamFirstPost = 0;
  std::int64_t FTransactionRows = 0;
  std::int64_t FCommitted = 0;
  TMask FScratchMask;

  std::string FBroken;  // why the writer stopped, empty while it works
  TDataSet::TRefusals FRefusals;

  std::string FRowNumberColumn;
  std::int64_t FRowNumber = 0;
  std::function<void()> FOpening;
  bool FOpeningPending = false;
  bool FOpeningInTransaction = false;  // the writer's transaction in progress ran it
  bool FPostFailed = false;            // a record of the bulk run failed
  TAfterCopy FAfterCopy;
  TLoadCounts FCounts;         // committed, or outside the writer's transactions
  TLoadCounts FPendingCounts;  // of the transaction in progress

  void RunOpening();
  void AfterCopy();
};

}  // namespace korvane::pg

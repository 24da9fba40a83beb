// The writing side of the SQLite dataset. Private to datasets/sqlite_*.cpp.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "datasets/sqlite/sqlite_codec.h"
#include "datasets/sqlite/sqlite_cursor.h"
#include "datasets/sqlite/sqlite_schema.h"
#include "data/db_failure.h"

namespace korvane::sqlite_parts {

// TSQLiteBulkWriter stores posted records: an INSERT per set of assigned
// columns (a null field is left out, so its column takes its default),
// prepared once and cached by that set, and one UPDATE by rowid. Between
// BeginBulk and EndBulk it groups the writes into transactions of the
// dataset's BulkCommitCount records; with deferred foreign keys each record
// gets a savepoint, and a schema that can roll a whole transaction back
// gets one transaction per record, so that a refused record never takes
// others with it. An error of the database itself (full, I/O, corrupt,
// read-only, locked past the timeout) rolls the group in progress back and
// raises EDatabaseFailure with the number of posted records that went with
// it, so that the database keeps whole groups only; errors about the record
// raise EDatabaseError and leave the group as it was. Once the
// database stayed locked for a whole BusyTimeout, writes stop waiting for
// it until one gets through, so that a run against a locked database fails
// at once instead of hanging.
//
// Under a keyed LoadMode each INSERT ends in ON CONFLICT on the key, DO
// NOTHING (lmSkip) or DO UPDATE (lmReplace: every column but the key and
// the rowid alias; lmUpsert: the columns the record sets), so a record
// costs one statement whichever way it goes. Whether it inserted, updated
// or was skipped is told by sqlite3_changes and by a function of the
// connection that the DO UPDATE calls. Under lmTruncate the first group's
// transaction starts by emptying the table, and the emptying is committed
// only with a record stored: a group that stores none is rolled back at
// its end and the next group empties the table again. A run that ends with
// nothing stored keeps the table as it was when a post failed (or when it
// is abandoned), and empties it otherwise.
//
// Owns its prepared statements, the bind scratch and the grouping state;
// the connection (db), the dataset, the source and the cursor belong to the
// dataset and must outlive it. One thread at a time.
class TSQLiteBulkWriter {
 public:
  TSQLiteBulkWriter(const TDb& db, const TSQLiteDataSet& dataSet, const TSQLiteSource& source,
                    TSQLiteCursor& cursor)
      : FDb(db), FDataSet(dataSet), FSource(source), FCursor(cursor) {}

  // A new source was opened (Start) or closed (Forget); Disconnect drops
  // every statement before the connection closes.
  void Start() { FDateTexts.resize(FSource.Cols.size()); }
  void Forget() noexcept;
  void Disconnect() noexcept;

  // Stores the record in slots; raises EDatabaseError with SQLite's message
  // when it is refused. PostInsert puts the new rowid into an empty rowid
  // alias.
  void PostInsert(TFieldData* slots);
  void PostUpdate(TFieldData* slots);
  // A post of the bulk run raised (refused, or the database failed).
  void NotePostFailed() { FPostFailed = true; }

  // What the records stored since the source was opened did (see
  // TLoadCounts): committed groups and the group in progress.
  TLoadCounts Counts() const {
    return {FCounts.Inserted + FGroupCounts.Inserted, FCounts.Updated + FGroupCounts.Updated,
            FCounts.Skipped + FGroupCounts.Skipped};
  }

  void BeginBulk();
  void EndBulk();
  // At the outermost level, rolls the group in progress back and ends the
  // bulk run (returning how many posted records that dropped); nested,
  // EndBulk.
  std::int64_t AbandonBulk();
  // Commits a group in progress when the dataset closes.
  void CommitOnClose();
  // After the host ran SQL of its own, which may have ended the group's
  // transaction (AfterExec), or failed with message (NoteLostGroup).
  void AfterExec();
  bool NoteLostGroup(const std::string& message);

 private:
  sqlite3* db() const { return FDb.get(); }
  std::string ErrorMessage() const { return sqlite3_errmsg(FDb.get()); }
  std::string FieldName(std::size_t index) const {
    return FDataSet.Fields(static_cast<int>(index))->FieldName();
  }

  using TMask = std::vector<std::uint64_t>;
  struct TMaskHash {
    std::size_t operator()(const TMask& mask) const noexcept;
  };

  void Bind(sqlite3_stmt* stmt, int param, std::size_t index, const TFieldData& data);
  // Under ExactTexts: fails a text that the column, of numeric affinity,
  // would store as a number that does not give it back.
  [[gnu::cold]] void CheckNumericText(std::size_t index, const TFieldData& data);
  void BuildMask(const TFieldData* slots);
  sqlite3_stmt* InsertFor(const TMask& mask);
  // Whether the column at index is one of a keyed load's key.
  bool IsKeyColumn(std::size_t index) const;
  std::string ConflictClause(const TMask& mask);
  bool MeetsRowOfKey(const TFieldData* slots, std::string_view refusal);
  void Empty();
  void SettleGroupCounts(bool committed);
  sqlite3_stmt* UpdateStatement();
  template <class Op>
  int Locking(Op op);
  void BeginGroup();
  void CommitGroup();
  std::int64_t AbandonGroup() noexcept;
  void DropGroup() noexcept;
  void Write(sqlite3_stmt* stmt);
  void PrepareWrite();
  void SetUpGrouping();

  const TDb& FDb;
  const TSQLiteDataSet& FDataSet;
  const TSQLiteSource& FSource;
  TSQLiteCursor& FCursor;

  std::unordered_map<TMask, TStmt, TMaskHash> FInserts;
  TMask FMask;
  TMask FLastMask;
  sqlite3_stmt* FLastInsert = nullptr;
  TStmt FUpdate;
  std::vector<TSQLiteCodec::TDateText> FDateTexts;  // date texts being bound

  // Keyed loads: rows the DO UPDATE changed (counted by the connection's
  // function), and whether the function is there.
  std::int64_t FUpdates = 0;
  bool FUpdateFunction = false;
  bool FEmptyPending = false;  // lmTruncate: the table is still to be emptied
  bool FEmptyInGroup = false;  // the group in progress emptied it
  bool FPostFailed = false;    // a post of the bulk run raised
  TLoadCounts FCounts;         // committed, or stored outside a group
  TLoadCounts FGroupCounts;    // of the group in progress

  int FBulkDepth = 0;
  bool FGroupingReady = false;  // the bulk run's way of grouping is decided
  bool FGrouping = false;       // this dataset runs the transactions
  bool FInTransaction = false;  // a group is open
  bool FRowSavepoints = false;  // deferred constraints: undo a refused row alone
  std::int64_t FGroupRows = 0;
  bool FBlocked = false;
  std::int64_t FLostRows = 0;
  std::string FLostMessage;
  TStmt FBegin;
  TStmt FCommit;
  TStmt FRollback;
  TStmt FSavepoint;
  TStmt FRelease;
  TStmt FRollbackTo;
};

}  // namespace korvane::sqlite_parts

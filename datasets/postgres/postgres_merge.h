// Keyed loads into a PostgreSQL table: rows copied into a temporary table,
// then merged into the table. Private to datasets/postgres_*.cpp.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "datasets/postgres/postgres_codec.h"
#include "datasets/postgres/postgres_connection.h"
#include "datasets/postgres/postgres_copy_writer.h"
#include "datasets/sql_dataset.h"

namespace korvane::pg {

// TMerge carries out lmReplace, lmUpsert and lmSkip for the records of a
// TCopyWriter: the writer copies them (binary COPY, refused rows isolated
// as ever) into a temporary table of the target's columns plus a row
// number, and after each COPY calls Merge, which moves them into the target
// with one MERGE joining them to the table on the key where the rows are a
// good part of the table, else (and on a server older than PostgreSQL 15,
// or one without MERGE) with one INSERT ... SELECT ... ON CONFLICT, and
// empties the temporary table, counting what each row did.
//
// A merge the server refuses for a record's sake (a constraint, a value)
// is tried again on halves of the rows, by row number, each under a
// savepoint, until every refused row stands alone: it is refused through
// the writer with the server's message, the other rows are merged. Keys
// repeated among the rows make the merge fail as a whole; it is then done
// again on one row per key: the last (lmSkip: the first; lmUpsert: each
// column's last value that is not null, as upserting the rows one by one
// would leave it). Rows that leave a key column to its default (a serial)
// are inserted as new rows.
//
// The connection and the columns must outlive it. Not thread-safe.
class TMerge {
 public:
  TMerge(TConnection& connection, std::string quotedTable, const std::vector<TColumn>& columns,
         std::vector<std::size_t> key, TLoadMode mode);

  // Makes the temporary table (again: any table of the name goes first);
  // raises EDatabaseError when it cannot.
  void Prepare();
  // The temporary table and its row-number column, for the writer.
  static constexpr const char* kTable = "pg_temp.korvane_merge";
  const std::string& RowColumn() const { return FRowColumn; }

  // Merges by INSERT ... ON CONFLICT whatever the table's size: it probes
  // each key through the table's index where MERGE would read the whole
  // table, which costs little on one connection and much on several merging
  // into one table at once (each reading all of it, past the rows the
  // others are writing). Off initially.
  void SetProbeKeys(bool value) { FProbeKeys = value; }

  // Merges the rows the writer copied (a COPY that left out the columns
  // marked in omitted), then empties the temporary table.
  void Merge(const TCopyWriter::TMask& omitted, TCopyWriter& writer);

 private:
  struct TStatements {
    std::string Count;
    std::string Merge;
  };
  TStatements Statements(const TCopyWriter::TMask& omitted, bool dedupe, std::int64_t first,
                         std::int64_t last) const;
  bool Run(const TStatements& sql, TLoadCounts& counts, TError& error);
  bool MergeServes(TCopyWriter& writer);
  // Whether a COPY that left out the columns marked in omitted left out a
  // key column (to its default): its rows are new rows.
  bool KeyOmitted(const TCopyWriter::TMask& omitted) const;
  bool TryMerge(const TCopyWriter::TMask& omitted, std::int64_t first, std::int64_t last,
                TCopyWriter& writer, TError& error);
  bool TryMergeAgain(const TCopyWriter::TMask& omitted, std::int64_t first, std::int64_t last,
                     TCopyWriter& writer, TError& error, bool savepoint);
  void Isolate(const TCopyWriter::TMask& omitted, std::int64_t first, std::int64_t last,
               const TError& known, TCopyWriter& writer);

  TConnection& FConn;
  std::string FTable;
  const std::vector<TColumn>& FColumns;
  std::vector<std::size_t> FKey;
  TLoadMode FMode;
  std::string FRowColumn;
  bool FIndexed = false;     // the row numbers have an index (after a refusal)
  bool FMergeKnown = false;  // the server has MERGE
  bool FUseMerge = false;    // this merge runs MERGE rather than INSERT ... ON CONFLICT
  bool FProbeKeys = false;
  bool FPartitioned = false;  // the table is partitioned: its rows show no xmax
  bool FDeferrableKey = false;  // the key is a deferrable constraint: no ON CONFLICT arbiter
};

}  // namespace korvane::pg

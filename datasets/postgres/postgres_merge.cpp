#include "datasets/postgres/postgres_merge.h"

#include <algorithm>
#include <cstdlib>
#include <utility>

#include "core/sysutils.h"

namespace korvane::pg {

namespace {

// The error of a DO UPDATE that meets one row twice: keys repeated among
// the rows merged together.
constexpr const char* kCardinalityViolation = "21000";

}  // namespace

TMerge::TMerge(TConnection& connection, std::string quotedTable,
               const std::vector<TColumn>& columns, std::vector<std::size_t> key, TLoadMode mode)
    : FConn(connection),
      FTable(std::move(quotedTable)),
      FColumns(columns),
      FKey(std::move(key)),
      FMode(mode),
      FRowColumn("korvane_row") {
  // A name no column of the table takes.
  for (int n = 2; std::any_of(columns.begin(), columns.end(),
                              [this](const TColumn& c) { return SameText(c.Name, FRowColumn); });
       ++n) {
    FRowColumn = "korvane_row_" + std::to_string(n);
  }
}

void TMerge::Prepare() {
  std::string columns;
  for (const TColumn& c : FColumns) {
    if (!c.Generated) columns += (columns.empty() ? "" : ", ") + QuoteIdent(c.Name);
  }
  // The table's column types without its constraints and defaults: every
  // row goes in, and the merge meets the table's rules.
  // One the connection made before goes first (asked, not dropped "if
  // exists", which would print a notice).
  TResult found = FConn.ExecParams("SELECT to_regclass($1) IS NOT NULL", {kTable});
  if (*PQgetvalue(found.get(), 0, 0) == 't') FConn.Exec(std::string("DROP TABLE ") + kTable);
  FConn.Exec(std::string("CREATE TEMP TABLE ") +
             "korvane_merge AS SELECT " + columns + " FROM " + FTable +
             " WITH NO DATA; ALTER TABLE " + kTable + " ADD COLUMN " + QuoteIdent(FRowColumn) +
             " int8");
  FIndexed = false;
}

// One INSERT ... SELECT ... ON CONFLICT of the rows numbered first to last
// (all when last is 0), giving the rows it inserted, the rows it updated and
// the rows it read.
std::string TMerge::Statement(const TCopyWriter::TMask& omitted, bool dedupe, std::int64_t first,
                              std::int64_t last) const {
  const auto inKey = [this](std::size_t i) {
    return std::find(FKey.begin(), FKey.end(), i) != FKey.end();
  };
  std::string columns;
  std::string key;
  std::string set;
  for (std::size_t i = 0; i < FColumns.size(); ++i) {
    const TColumn& c = FColumns[i];
    const std::string name = QuoteIdent(c.Name);
    if (!omitted[i]) columns += (columns.empty() ? "" : ", ") + name;
    if (inKey(i) || c.Generated) continue;
    // Replacing gives every other column what a new row would hold (a
    // column left out takes its default); an upsert keeps the row's value
    // where the record has none.
    if (FMode == lmReplace && (!c.AutoInc || !omitted[i])) {
      set += (set.empty() ? "" : ", ") + name + " = EXCLUDED." + name;
    } else if (FMode == lmUpsert && !omitted[i]) {
      set += (set.empty() ? "" : ", ") + name + " = coalesce(EXCLUDED." + name + ", t." + name + ")";
    }
  }
  for (std::size_t i : FKey) key += (key.empty() ? "" : ", ") + QuoteIdent(FColumns[i].Name);
  const std::string row = QuoteIdent(FRowColumn);
  std::string where;
  if (last > 0) {
    where = " WHERE " + row + " BETWEEN " + std::to_string(first) + " AND " + std::to_string(last);
  }
  std::string source = "SELECT " + columns + " FROM " + kTable + where;
  if (dedupe) {
    // The last row of each key.
    source = "SELECT " + columns + " FROM (SELECT DISTINCT ON (" + key + ") " + columns + ", " +
             row + " FROM " + kTable + where + " ORDER BY " + key + ", " + row + " DESC) d";
  }
  // Skipping keeps the first row of a key: the rows go in in their order.
  if (FMode == lmSkip || dedupe) source += " ORDER BY " + row;
  std::string action = "NOTHING";
  if (FMode != lmSkip) {
    if (set.empty()) set = QuoteIdent(FColumns[FKey.front()].Name) + " = t." + QuoteIdent(FColumns[FKey.front()].Name);
    action = "UPDATE SET " + set;
  }
  return "WITH m AS (INSERT INTO " + FTable + " AS t (" + columns + ") " + source +
         " ON CONFLICT (" + key + ") DO " + action +
         " RETURNING t.xmax = 0 AS fresh) SELECT count(*) FILTER (WHERE fresh), count(*), "
         "(SELECT count(*) FROM " +
         kTable + where + ") FROM m";
}

// Merges the rows numbered first to last (all when last is 0) under a
// savepoint; false, with the server's error and nothing merged, when the
// server refuses them for a record's sake.
bool TMerge::TryMerge(const TCopyWriter::TMask& omitted, std::int64_t first, std::int64_t last,
                      TCopyWriter& writer, TError& error) {
  const bool savepoint = writer.InTransaction();
  TError failed;
  if (savepoint && !FConn.TryExec("SAVEPOINT korvane_merge", failed)) writer.Fail(failed);
  for (bool dedupe : {false, true}) {
    TResult r(PQexec(FConn.get(), Statement(omitted, dedupe, first, last).c_str()));
    if (r && PQresultStatus(r.get()) == PGRES_TUPLES_OK) {
      if (savepoint && !FConn.TryExec("RELEASE korvane_merge", failed)) writer.Fail(failed);
      TLoadCounts counts;
      counts.Inserted = std::atoll(PQgetvalue(r.get(), 0, 0));
      const std::int64_t read = std::atoll(PQgetvalue(r.get(), 0, 2));
      // A row left out, repeating a key, met the row of its key all the same.
      if (FMode == lmSkip) {
        counts.Skipped = read - counts.Inserted;
      } else {
        counts.Updated = read - counts.Inserted;
      }
      writer.Count(counts);
      return true;
    }
    error = ErrorOf(FConn.get(), r.get());
    if (error.ConnectionLost || !IsRecordFault(error.SqlState)) writer.Fail(error);
    if (savepoint && !FConn.TryExec("ROLLBACK TO SAVEPOINT korvane_merge", failed)) {
      writer.Fail(failed);
    }
    if (error.SqlState != kCardinalityViolation || FMode == lmSkip) break;
  }
  if (savepoint && !FConn.TryExec("RELEASE korvane_merge", failed)) writer.Fail(failed);
  return false;
}

// Rows first to last, refused together with known: merges all but the
// refused ones, refusing each alone.
void TMerge::Isolate(const TCopyWriter::TMask& omitted, std::int64_t first, std::int64_t last,
                     const TError& known, TCopyWriter& writer) {
  if (first == last) {
    writer.RefuseRow(first, known);
    return;
  }
  const std::int64_t middle = first + (last - first) / 2;
  for (const auto& [from, to] : {std::pair{first, middle}, std::pair{middle + 1, last}}) {
    TError e;
    if (!TryMerge(omitted, from, to, writer, e)) Isolate(omitted, from, to, e, writer);
  }
}

void TMerge::Merge(const TCopyWriter::TMask& omitted, TCopyWriter& writer) {
  TError e;
  if (!TryMerge(omitted, 0, 0, writer, e)) {
    TError failed;
    if (!writer.Bulk()) {
      // One record, stored on its own: its Post fails.
      if (!FConn.TryExec(std::string("TRUNCATE ") + kTable, failed)) writer.Fail(failed);
      writer.RefuseRow(0, e);
    }
    const std::string row = QuoteIdent(FRowColumn);
    if (!FIndexed) {
      if (!FConn.TryExec("CREATE INDEX ON " + std::string(kTable) + " (" + row + ")", failed)) {
        writer.Fail(failed);
      }
      FIndexed = true;
    }
    TResult range(PQexec(FConn.get(), ("SELECT min(" + row + "), max(" + row + ") FROM " +
                                       std::string(kTable))
                                          .c_str()));
    if (!range || PQresultStatus(range.get()) != PGRES_TUPLES_OK) {
      writer.Fail(ErrorOf(FConn.get(), range.get()));
    }
    if (!PQgetisnull(range.get(), 0, 0)) {
      Isolate(omitted, std::atoll(PQgetvalue(range.get(), 0, 0)),
              std::atoll(PQgetvalue(range.get(), 0, 1)), e, writer);
    }
  }
  TError failed;
  if (!FConn.TryExec(std::string("TRUNCATE ") + kTable, failed)) writer.Fail(failed);
}

}  // namespace korvane::pg

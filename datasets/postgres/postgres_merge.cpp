#include "datasets/postgres/postgres_merge.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <utility>

#include "core/sysutils.h"

namespace korvane::pg {

namespace {

// The error of a DO UPDATE that meets one row twice: keys repeated among
// the rows merged together.
constexpr const char* kCardinalityViolation = "21000";
// A key inserted twice by one MERGE.
constexpr const char* kUniqueViolation = "23505";
// A server without MERGE.
constexpr const char* kSyntaxError = "42601";
constexpr const char* kNotSupported = "0A000";

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
  FConn.Exec(std::string("CREATE TEMP TABLE ") + "korvane_merge AS SELECT " + columns + " FROM " +
             FTable + " WITH NO DATA; ALTER TABLE " + kTable + " ADD COLUMN " +
             QuoteIdent(FRowColumn) + " int8");
  FIndexed = false;
  TResult kind = FConn.ExecParams("SELECT relkind = 'p' FROM pg_class WHERE oid = $1::regclass",
                                  {FTable});
  FPartitioned = PQntuples(kind.get()) == 1 && *PQgetvalue(kind.get(), 0, 0) == 't';
  // ON CONFLICT takes no deferrable key as its arbiter: such a key is
  // merged by MERGE.
  TResult deferrable = FConn.ExecParams(
      "SELECT c.oid, a.attname FROM pg_constraint c JOIN pg_attribute a ON a.attrelid = "
      "c.conrelid AND a.attnum = ANY (c.conkey) WHERE c.conrelid = $1::regclass AND c.contype IN "
      "('p', 'u') AND c.condeferrable ORDER BY c.oid",
      {FTable});
  FDeferrableKey = false;
  for (int row = 0; row < PQntuples(deferrable.get()) && !FDeferrableKey;) {
    const std::string constraint = PQgetvalue(deferrable.get(), row, 0);
    std::size_t matched = 0;
    bool exact = true;
    for (; row < PQntuples(deferrable.get()) && constraint == PQgetvalue(deferrable.get(), row, 0);
         ++row) {
      const std::string_view name = PQgetvalue(deferrable.get(), row, 1);
      const bool inKey = std::any_of(FKey.begin(), FKey.end(),
                                     [&](std::size_t k) { return FColumns[k].Name == name; });
      matched += inKey ? 1 : 0;
      exact = exact && inKey;
    }
    FDeferrableKey = exact && matched == FKey.size();
  }
  TResult version = FConn.Exec("SHOW server_version_num", PGRES_TUPLES_OK);
  FMergeKnown = std::atoi(PQgetvalue(version.get(), 0, 0)) >= 150000;
}

// MERGE (PostgreSQL 15 and later) joins the rows to the whole table: about
// a third faster than ON CONFLICT's probe of the key row by row when the
// rows are a good part of the table (bench/upsert_compare.sh), slower when
// the table is many times larger than them.
bool TMerge::MergeServes(TCopyWriter& writer) {
  if (!FMergeKnown) return false;
  if (FDeferrableKey) return true;
  if (FProbeKeys) return false;
  TResult r(PQexecParams(FConn.get(),
                         "SELECT (SELECT count(*) FROM pg_temp.korvane_merge), CASE WHEN "
                         "reltuples >= 0 THEN reltuples::int8 ELSE pg_relation_size(oid) / 100 "
                         "END FROM pg_class WHERE oid = $1::regclass",
                         1, nullptr, std::array{FTable.c_str()}.data(), nullptr, nullptr, 0));
  if (!r || PQresultStatus(r.get()) != PGRES_TUPLES_OK || PQntuples(r.get()) != 1) {
    writer.Fail(ErrorOf(FConn.get(), r.get()));
  }
  const std::int64_t rows = std::atoll(PQgetvalue(r.get(), 0, 0));
  const std::int64_t table = std::atoll(PQgetvalue(r.get(), 0, 1));
  // A small table takes either about as fast.
  return table <= 10 * rows + 10000;
}

// The statements that merge the rows numbered first to last (all when
// last is 0), keeping the last row of each key (the first under lmSkip) when
// dedupe is set. Under ON CONFLICT, Merge alone gives the rows it inserted
// and the rows it read. Under MERGE, Count gives the rows read, the rows
// merged and those of them whose key the table holds, and Merge changes as
// many rows as it merged.
TMerge::TStatements TMerge::Statements(const TCopyWriter::TMask& omitted, bool dedupe,
                                       std::int64_t first, std::int64_t last) const {
  const auto inKey = [this](std::size_t i) {
    return std::find(FKey.begin(), FKey.end(), i) != FKey.end();
  };
  std::string columns;
  std::string values;
  std::string set;
  for (std::size_t i = 0; i < FColumns.size(); ++i) {
    const TColumn& c = FColumns[i];
    const std::string name = QuoteIdent(c.Name);
    if (!omitted[i]) {
      columns += (columns.empty() ? "" : ", ") + name;
      values += (values.empty() ? "s." : ", s.") + name;
    }
    if (inKey(i) || c.Generated) continue;
    // Replacing gives every other column what a new row would hold (a
    // column left out takes its default); an upsert keeps the row's value
    // where the record has none.
    const std::string incoming = FUseMerge ? "s." + name : "EXCLUDED." + name;
    if (FMode == lmReplace && (!c.AutoInc || !omitted[i])) {
      set += (set.empty() ? "" : ", ") + name + " = " + (omitted[i] ? "DEFAULT" : incoming);
    } else if (FMode == lmUpsert && !omitted[i]) {
      set += (set.empty() ? "" : ", ") + name + " = coalesce(" + incoming + ", t." + name + ")";
    }
  }
  if (set.empty()) {
    const std::string name = QuoteIdent(FColumns[FKey.front()].Name);
    set = name + " = t." + name;
  }
  std::string key;
  std::string match;
  for (std::size_t i : FKey) {
    const std::string name = QuoteIdent(FColumns[i].Name);
    key += (key.empty() ? "" : ", ") + name;
    match += (match.empty() ? "t." : " AND t.") + name + " = s." + name;
  }
  const std::string row = QuoteIdent(FRowColumn);
  std::string where;
  if (last > 0) {
    where = " WHERE " + row + " BETWEEN " + std::to_string(first) + " AND " + std::to_string(last);
  }
  // ON CONFLICT checks the row it would insert (NOT NULL, CHECK) before it
  // meets the row of its key, which MERGE does not: there a value an upsert
  // leaves empty takes the row's own where there is one, and a record whose
  // key the table holds is left out of a skip before, so that neither is
  // refused for a row it does not write. from: the rows' alias.
  const std::string from = dedupe ? "d" : "s";
  std::string list = columns;  // what the rows give
  std::string absent;          // a skip's condition: no row of the key
  if (!FUseMerge && !KeyOmitted(omitted) && (FMode == lmUpsert || FMode == lmSkip)) {
    std::string same;
    for (std::size_t i : FKey) {
      const std::string name = QuoteIdent(FColumns[i].Name);
      same += (same.empty() ? "t." : " AND t.") + name + " = " + from + "." + name;
    }
    const std::string rowOf = "FROM " + FTable + " t WHERE " + same;
    if (FMode == lmSkip) {
      absent = "NOT EXISTS (SELECT 1 " + rowOf + ")";
    } else {
      list.clear();
      for (std::size_t i = 0; i < FColumns.size(); ++i) {
        if (omitted[i]) continue;
        const std::string name = QuoteIdent(FColumns[i].Name);
        const std::string value = from + "." + name;
        list += (list.empty() ? "" : ", ") +
                (inKey(i) || FColumns[i].Generated
                     ? value
                     : "coalesce(" + value + ", (SELECT t." + name + " " + rowOf + ")) AS " + name);
      }
    }
  }
  std::string source = "SELECT " + list + " FROM " + kTable + " s" + where;
  if (!dedupe && !absent.empty()) source += (where.empty() ? " WHERE " : " AND ") + absent;
  const std::string read = "(SELECT count(*) FROM " + std::string(kTable) + where + ")";
  TStatements sql;
  if (KeyOmitted(omitted)) {
    // Rows that leave a key column to the table (a serial) meet no row of
    // it: each is a new row, numbered in the file's order.
    sql.Merge = "WITH m AS (INSERT INTO " + FTable + " (" + columns + ") " + source + " ORDER BY " +
                row + " RETURNING 1) SELECT count(*), " + read + " FROM m";
    return sql;
  }
  if (dedupe && FMode == lmUpsert) {
    // One row per key holding what the rows of the key, upserted one after
    // the other, would leave: each column's last value that is not null.
    std::string latest;
    for (std::size_t i = 0; i < FColumns.size(); ++i) {
      if (omitted[i]) continue;
      const std::string name = QuoteIdent(FColumns[i].Name);
      latest += (latest.empty() ? "" : ", ") +
                (inKey(i) ? name
                          : "(array_agg(" + name + " ORDER BY " + row + " DESC) FILTER (WHERE " +
                                name + " IS NOT NULL))[1] AS " + name);
    }
    source = "SELECT " + list + " FROM (SELECT " + latest + ", max(" + row + ") AS " + row +
             " FROM " + kTable + where + " GROUP BY " + key + ") d";
  } else if (dedupe) {
    // The last row of each key (the first when skipping).
    source = "SELECT " + list + " FROM (SELECT DISTINCT ON (" + key + ") " + columns + ", " +
             row + " FROM " + kTable + where + " ORDER BY " + key + ", " + row +
             (FMode == lmSkip ? "" : " DESC") + ") d";
    if (!absent.empty()) source += " WHERE " + absent;
  }
  if (FUseMerge) {
    // EXPLAIN ANALYZE runs the MERGE and says how many rows it inserted,
    // updated and left alone, which MERGE itself does not tell before
    // PostgreSQL 17; counting them apart would be a join of its own, an
    // eighth of the run (bench/upsert_compare.sh).
    if (dedupe) sql.Count = "SELECT " + read;
    sql.Merge = "EXPLAIN (ANALYZE, TIMING OFF, COSTS OFF) MERGE INTO " + FTable + " AS t USING (" +
                source + ") AS s ON " + match;
    if (FMode != lmSkip) sql.Merge += " WHEN MATCHED THEN UPDATE SET " + set;
    sql.Merge += " WHEN NOT MATCHED THEN INSERT (" + columns + ") VALUES (" + values + ")";
    return sql;
  }
  // Skipping keeps the first row of a key: the rows go in in their order.
  if (FMode == lmSkip || dedupe) source += " ORDER BY " + row;
  // A row the statement inserted has no xmax. A partitioned table's rows
  // show none: there a row is new when the statement's snapshot, taken
  // before it ran, holds no row of its key.
  std::string fresh = "t.xmax = 0";
  if (FPartitioned) {
    std::string same;
    for (std::size_t i : FKey) {
      const std::string name = QuoteIdent(FColumns[i].Name);
      same += (same.empty() ? "o." : " AND o.") + name + " = t." + name;
    }
    fresh = "NOT EXISTS (SELECT 1 FROM " + FTable + " o WHERE " + same + ")";
  }
  sql.Merge =
      "WITH m AS (INSERT INTO " + FTable + " AS t (" + columns + ") " + source + " ON CONFLICT (" +
      key + ") DO " + (FMode == lmSkip ? std::string("NOTHING") : "UPDATE SET " + set) +
      " RETURNING " + fresh + " AS fresh) SELECT count(*) FILTER (WHERE fresh), " + read +
      " FROM m";
  return sql;
}

// Runs the statements of one try; false with the server's error.
bool TMerge::Run(const TStatements& sql, TLoadCounts& counts, TError& error) {
  std::int64_t read = 0;
  if (FUseMerge) {
    if (!sql.Count.empty()) {
      TResult c(PQexec(FConn.get(), sql.Count.c_str()));
      if (!c || PQresultStatus(c.get()) != PGRES_TUPLES_OK) {
        error = ErrorOf(FConn.get(), c.get());
        return false;
      }
      read = std::atoll(PQgetvalue(c.get(), 0, 0));
    }
    TResult m(PQexec(FConn.get(), sql.Merge.c_str()));
    if (!m || PQresultStatus(m.get()) != PGRES_TUPLES_OK) {
      error = ErrorOf(FConn.get(), m.get());
      return false;
    }
    // "Tuples: inserted=N updated=N skipped=N", the counts that are not 0.
    std::int64_t seen = 0;
    for (int line = 0; line < PQntuples(m.get()); ++line) {
      std::string_view text = PQgetvalue(m.get(), line, 0);
      // The line itself, not a name in another line's condition.
      text.remove_prefix(std::min(text.find_first_not_of(' '), text.size()));
      if (!text.starts_with("Tuples:")) continue;
      for (const char* name : {"inserted=", "updated=", "skipped="}) {
        const std::size_t at = text.find(name);
        if (at == std::string_view::npos) continue;
        const std::int64_t n = std::atoll(text.data() + at + std::strlen(name));
        if (name[0] == 'i') counts.Inserted = n;
        seen += n;
      }
    }
    if (sql.Count.empty()) read = seen;
  } else {
    TResult r(PQexec(FConn.get(), sql.Merge.c_str()));
    if (!r || PQresultStatus(r.get()) != PGRES_TUPLES_OK) {
      error = ErrorOf(FConn.get(), r.get());
      return false;
    }
    counts.Inserted = std::atoll(PQgetvalue(r.get(), 0, 0));
    read = std::atoll(PQgetvalue(r.get(), 0, 1));
  }
  // A row left out, repeating a key, met the row of its key all the same.
  if (FMode == lmSkip) {
    counts.Skipped = read - counts.Inserted;
  } else {
    counts.Updated = read - counts.Inserted;
  }
  return true;
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
    // A deferred key would let MERGE insert a key twice, to be refused at
    // the commit, with the group: one row per key goes in.
    if (!dedupe && FDeferrableKey && FUseMerge) continue;
    TLoadCounts counts;
    if (Run(Statements(omitted, dedupe, first, last), counts, error)) {
      if (savepoint && !FConn.TryExec("RELEASE korvane_merge", failed)) writer.Fail(failed);
      writer.Count(counts);
      return true;
    }
    if (savepoint && !error.ConnectionLost &&
        !FConn.TryExec("ROLLBACK TO SAVEPOINT korvane_merge", failed)) {
      writer.Fail(failed);
    }
    if (FUseMerge && !error.ConnectionLost &&
        (error.SqlState == kSyntaxError || error.SqlState == kNotSupported)) {
      // A server that speaks the protocol without MERGE: ON CONFLICT from
      // now on.
      FMergeKnown = false;
      FUseMerge = false;
      return TryMergeAgain(omitted, first, last, writer, error, savepoint);
    }
    if (error.ConnectionLost || !IsRecordFault(error.SqlState)) writer.Fail(error);
    // Keys repeated among the rows: a DO UPDATE or a MERGE meets a row
    // twice, or a MERGE inserts a key twice.
    const bool repeated = error.SqlState == kCardinalityViolation ||
                          (FUseMerge && error.SqlState == kUniqueViolation);
    if (!repeated || (FMode == lmSkip && !FUseMerge)) break;
  }
  if (savepoint && !FConn.TryExec("RELEASE korvane_merge", failed)) writer.Fail(failed);
  return false;
}

bool TMerge::TryMergeAgain(const TCopyWriter::TMask& omitted, std::int64_t first, std::int64_t last,
                           TCopyWriter& writer, TError& error, bool savepoint) {
  TError failed;
  if (savepoint && !FConn.TryExec("RELEASE korvane_merge", failed)) writer.Fail(failed);
  return TryMerge(omitted, first, last, writer, error);
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

bool TMerge::KeyOmitted(const TCopyWriter::TMask& omitted) const {
  return std::any_of(FKey.begin(), FKey.end(), [&omitted](std::size_t i) { return omitted[i]; });
}

void TMerge::Merge(const TCopyWriter::TMask& omitted, TCopyWriter& writer) {
  FUseMerge = !KeyOmitted(omitted) && MergeServes(writer);
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
    TResult range(
        PQexec(FConn.get(),
               ("SELECT min(" + row + "), max(" + row + ") FROM " + std::string(kTable)).c_str()));
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

// TPostgresDataSet appending: the bulk run's COPY writer (and the merge of
// the keyed modes), a bulk run over several connections, emptying the
// table, the keys the catalog gives and the values a record stored on its
// own took.
#include "datasets/postgres/postgres_dataset_state.h"

#include <array>
#include <cstdlib>
#include <memory>

namespace korvane {

// After a record stored on its own: the values its serial and identity
// columns left null took, from the session's last value of each sequence.
void TPostgresDataSet::TState::TakeGeneratedValues(std::vector<TFieldData>& values) {
  for (std::size_t i = 0; i < Cols.size(); ++i) {
    if (Cols[i].Sequence.empty() || values[i].index() != 0) continue;
    // Asked only with the right to read it (an identity's sequence needs
    // none to fill the column), so that no error breaks a host's
    // transaction. The record is stored: a value not learnt stays null.
    pg::TResult r(
        PQexecParams(conn(),
                     "SELECT CASE WHEN has_sequence_privilege($1::text, 'USAGE') OR "
                     "has_sequence_privilege($1::text, 'SELECT') THEN currval($1::regclass) END",
                     1, nullptr, std::array{Cols[i].Sequence.c_str()}.data(), nullptr, nullptr, 0));
    if (r && PQresultStatus(r.get()) == PGRES_TUPLES_OK && PQntuples(r.get()) == 1 &&
        !PQgetisnull(r.get(), 0, 0)) {
      pg::DecodeText(PQgetvalue(r.get(), 0, 0), Cols[i], values[i]);
    }
  }
}

// The instants from 1900 to 2100 where the session's zone moves its clocks
// forward, to the second: days whose offset grew, then their hour, minute
// and second; with the offsets before and after (seconds east of UTC).
constexpr const char* kForwardShiftsSql =
    "SELECT extract(epoch FROM x.t)::bigint, "
    "extract(timezone FROM x.t - interval '1 second')::bigint, "
    "extract(timezone FROM x.t)::bigint, current_setting('TimeZone') "
    "FROM (SELECT m.t FROM (SELECT h.t FROM (SELECT d.t FROM generate_series("
    "timestamptz '1900-01-02 00:00+00', '2100-01-01 00:00+00', interval '24 hours') d(t) "
    "WHERE extract(timezone FROM d.t) > extract(timezone FROM d.t - interval '24 hours') "
    "OFFSET 0) d CROSS JOIN LATERAL generate_series(d.t - interval '23 hours', d.t, "
    "interval '1 hour') h(t) "
    "WHERE extract(timezone FROM h.t) > extract(timezone FROM h.t - interval '1 hour') "
    "OFFSET 0) h CROSS JOIN LATERAL generate_series(h.t - interval '59 minutes', h.t, "
    "interval '1 minute') m(t) "
    "WHERE extract(timezone FROM m.t) > extract(timezone FROM m.t - interval '1 minute') "
    "OFFSET 0) m CROSS JOIN LATERAL generate_series(m.t - interval '59 seconds', m.t, "
    "interval '1 second') x(t) "
    "WHERE extract(timezone FROM x.t) > extract(timezone FROM x.t - interval '1 second') "
    "ORDER BY 1";

void TPostgresDataSet::TState::LearnSkippedTimes() {
  if (!Context.ZonedSession || Context.SkippedTimes) return;
  auto skipped = std::make_shared<pg::TCodecContext::TSkippedTimes>();
  pg::TResult r = Conn->Exec(kForwardShiftsSql, PGRES_TUPLES_OK);
  // Seconds from 1970-01-01 to 2000-01-01.
  constexpr std::int64_t kEpoch2000 = 946684800;
  for (int row = 0; row < PQntuples(r.get()); ++row) {
    const std::int64_t at = std::atoll(PQgetvalue(r.get(), row, 0)) - kEpoch2000;
    const std::int64_t before = std::atoll(PQgetvalue(r.get(), row, 1));
    const std::int64_t after = std::atoll(PQgetvalue(r.get(), row, 2));
    skipped->Spans.emplace_back((at + before) * 1000000, (at + after) * 1000000);
    skipped->Zone = PQgetvalue(r.get(), row, 3);
  }
  Context.SkippedTimes = std::move(skipped);
}

pg::TCopyWriter& TPostgresDataSet::TState::WriterFor(std::int32_t perTransaction) {
  if (!Writer) {
    LearnSkippedTimes();
    if (IsKeyedLoad(Mode)) {
      // The records go to a temporary table first, and from there into
      // the table after each COPY.
      Merge = std::make_unique<pg::TMerge>(*Conn, Table, Cols, Key, Mode);
      Merge->Prepare();
      Writer = std::make_unique<pg::TCopyWriter>(*Conn, pg::TMerge::kTable, Cols, Context, Binary);
      Writer->SetRowNumbers(Merge->RowColumn());
      Writer->SetAfterCopy(
          [this](const pg::TCopyWriter::TMask& omitted) { Merge->Merge(omitted, *Writer); });
    } else {
      Writer = std::make_unique<pg::TCopyWriter>(*Conn, Table, Cols, Context, Binary);
    }
    if (Mode == lmTruncate) Writer->SetOpening([this] { Empty(); });
  }
  Writer->SetRecordsPerTransaction(perTransaction);
  return *Writer;
}

// Starts a bulk run over several connections; false (JobsNote saying why
// when jobs were asked for) when it runs on the dataset's own.
bool TPostgresDataSet::TState::StartParallelLoad(std::int32_t wanted, std::int32_t perTransaction,
                                                 const std::string& connection) {
  JobsUsed = 1;
  JobsNote.clear();
  JobsCommitted.clear();
  if (wanted == 1) return false;
  const std::int64_t asked = wanted == 0 ? AutoJobs() : wanted;
  if (asked <= 1) return false;
  if (Mode == lmTruncate) {
    JobsNote = "LoadMode " + std::string(kLoadModeNames[Mode]) +
               " loads over one connection: several would each empty the table";
    return false;
  }
  // A keyed load deals its records out by key: each key's records meet its
  // row on one connection, whose merges no other connection's touch.
  for (const std::size_t k : IsKeyedLoad(Mode) ? Key : std::vector<std::size_t>()) {
    if (!pg::TParallelLoad::KeyDealable(Cols[k].Kind)) {
      JobsNote = "LoadMode " + std::string(kLoadModeNames[Mode]) + " by the key column " +
                 Cols[k].Name +
                 " loads over one connection: equal keys of its type may be written "
                 "differently, and could meet on two connections at once";
      return false;
    }
  }
  if (PQtransactionStatus(conn()) != PQTRANS_IDLE) {
    JobsNote = "a bulk run inside a transaction of the host loads over its connection";
    return false;
  }
  auto conns = OpenJobConnections(connection, asked, "");
  if (conns.size() < 2) {
    JobsNote += ": loading over one connection";
    return false;
  }
  LearnSkippedTimes();
  pg::TParallelLoad::TOptions options;
  options.Table = Table;
  options.Columns = &Cols;
  options.Context = Context;
  options.Binary = Binary;
  options.RecordsPerTransaction = perTransaction;
  options.Mode = Mode;
  options.Key = Key;
  JobsUsed = static_cast<std::int32_t>(conns.size());
  LoadRefusals = {};
  LoadCommitted = 0;
  LoadCounts = {};
  LoadRan = true;
  Load = std::make_unique<pg::TParallelLoad>(std::move(options), std::move(conns));
  return true;
}

// Ends the bulk run over several connections, keeping its refusals and
// commits for TakeRefusals and LoadCounts.
std::int64_t TPostgresDataSet::TState::EndParallelLoad(bool abandon) {
  std::unique_ptr<pg::TParallelLoad> load = std::move(Load);
  const auto keep = [&] {
    TRefusals refused = load->Refusals(true);
    LoadRefusals.Count += refused.Count;
    for (std::string& m : refused.Messages) {
      if (LoadRefusals.Messages.size() < kRefusalMessagesKept) {
        LoadRefusals.Messages.push_back(std::move(m));
      }
    }
    for (TRefusedPost& p : refused.Posts) LoadRefusals.Posts.push_back(std::move(p));
    LoadCommitted = load->Committed();
    LoadCounts = load->Counts();
    JobsCommitted = load->CommittedText();
    // After a failed connection, what each one kept.
    if (load->Failed()) JobsNote = load->CommittedText();
  };
  std::int64_t rolledBack = 0;
  try {
    rolledBack = load->End(abandon);
  } catch (const EDatabaseError&) {
    keep();
    throw;
  }
  keep();
  return rolledBack;
}

// lmTruncate, in the writer's transaction: TRUNCATE, or DELETE where a
// foreign key keeps TRUNCATE from the table.
void TPostgresDataSet::TState::Empty() {
  pg::TError e;
  if (Conn->TryExec("SAVEPOINT korvane_empty; TRUNCATE " + Table, e)) {
    if (!Conn->TryExec("RELEASE korvane_empty", e)) Writer->Fail(e);
    return;
  }
  if (e.ConnectionLost || e.SqlState != "0A000") {
    e.Message = "table " + Table + " cannot be emptied: " + e.Message;
    Writer->Fail(e);
  }
  if (!Conn->TryExec(
          "ROLLBACK TO SAVEPOINT korvane_empty; DELETE FROM " + Table + "; RELEASE korvane_empty",
          e)) {
    e.Message = "table " + Table + " cannot be emptied: " + e.Message;
    Writer->Fail(e);
  }
}

// The primary key and the unique keys of plain columns, by the catalog.
void TPostgresDataSet::TState::ReadKeys(const std::string& oid) {
  pg::TResult r = Conn->ExecParams(
      "SELECT i.indexrelid, i.indisprimary, a.attname FROM pg_index i CROSS JOIN LATERAL "
      "unnest(i.indkey) WITH ORDINALITY k(attnum, n) JOIN pg_attribute a ON a.attrelid = "
      "i.indrelid AND a.attnum = k.attnum WHERE i.indrelid = $1 AND i.indisunique AND "
      "i.indpred IS NULL AND i.indexprs IS NULL ORDER BY i.indisprimary DESC, i.indexrelid, k.n",
      {oid});
  std::string index;
  for (int row = 0; row < PQntuples(r.get()); ++row) {
    const bool primary = *PQgetvalue(r.get(), row, 1) == 't';
    if (index != PQgetvalue(r.get(), row, 0)) {
      index = PQgetvalue(r.get(), row, 0);
      if (!primary) UniqueKeys.emplace_back();
    }
    (primary ? PrimaryKey : UniqueKeys.back()).push_back(PQgetvalue(r.get(), row, 2));
  }
}
}  // namespace korvane

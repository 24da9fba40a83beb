// TPostgresDataSet reading: COPY ... TO STDOUT over its connection, or the
// table's pages in ranges over several (pg::TParallelRead), and the rows
// decoded into records.
#include "datasets/postgres/postgres_dataset_state.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "core/owned.h"

namespace korvane {

namespace {

[[noreturn]] void Fail(const std::string& message) { throw EDatabaseError(message); }

using TCopyBuffer = TOwned<char, &PQfreemem>;

}  // namespace

// The select list that reads the columns in the format; cast is set when
// it differs from the plain column list.
std::string TPostgresDataSet::TState::ReadExpressions(bool binary, bool& cast) const {
  cast = false;
  std::string exprs;
  for (std::size_t i = 0; i < Cols.size(); ++i) {
    const std::string name = SelectName(i);
    const std::string expr = pg::ReadExpression(name, Cols[i].Kind, Cols[i].Type, binary, Context.ExactTimes);
    // COPY of a table's column list cannot name generated columns.
    cast = cast || expr != name || Cols[i].Generated;
    exprs += (i > 0 ? ", " : "") + expr;
  }
  return exprs;
}

std::string TPostgresDataSet::TState::CopyOutCommand(bool binary) const {
  bool cast = false;
  const std::string exprs = ReadExpressions(binary, cast);
  std::string source;
  if (IsQuery) {
    if (cast) {
      std::string names;
      for (std::size_t i = 0; i < Cols.size(); ++i)
        names += (i > 0 ? ", c" : "c") + std::to_string(i + 1);
      source = "(SELECT " + exprs + " FROM (" + QueryText + ") AS korvane_query(" + names + "))";
    } else {
      source = "(" + QueryText + ")";
    }
  } else {
    // COPY names a plain table alone; a view, a materialized view, a
    // partitioned or foreign table is copied from a SELECT of it.
    source = cast || Kind != 'r' ? "(SELECT " + exprs + " FROM " + Table + ")"
                                 : Table + " (" + SelectList() + ")";
  }
  return "COPY " + source + " TO STDOUT" + (binary ? " (FORMAT binary)" : "");
}

// Starts streaming the records; false (and the error) when the COPY is
// refused.
bool TPostgresDataSet::TState::StartCopyOut(bool binary, pg::TError& error) {
  pg::TResult r(PQexec(conn(), CopyOutCommand(binary).c_str()));
  if (r && PQresultStatus(r.get()) == PGRES_COPY_OUT) return true;
  error = pg::ErrorOf(conn(), r.get());
  pg::DrainResults(conn(), error);
  return false;
}

bool TPostgresDataSet::TState::ProbeRangeCopy(bool binary, pg::TError& error) {
  if (!Conn->TryExec("SAVEPOINT korvane_probe", error)) return false;
  bool cast = false;
  const std::string sql = "COPY (SELECT " + ReadExpressions(binary, cast) + " FROM " + Table +
                          " WHERE ctid >= '(0,0)'::tid AND ctid < '(0,0)'::tid) TO STDOUT" +
                          (binary ? " (FORMAT binary)" : "");
  bool ok = PQsendQuery(conn(), sql.c_str()) == 1;
  if (!ok) error = pg::ErrorOf(conn(), nullptr);
  // Also reads the rows of the COPY (none but the format's own) to its end.
  ok = pg::DrainResults(conn(), error) && ok;
  pg::TError undo;
  const bool undone = Conn->TryExec(
      ok ? "RELEASE korvane_probe" : "ROLLBACK TO SAVEPOINT korvane_probe; RELEASE korvane_probe",
      undo);
  if (!undone && ok) error = undo;
  return ok && undone;
}

// Starts reading the table over several connections; false (JobsNote
// saying why when jobs were asked for) when it is read over one.
bool TPostgresDataSet::TState::StartParallelRead(std::int32_t wanted, bool unordered,
                                                 const std::string& connection) {
  JobsUsed = 1;
  JobsNote.clear();
  if (wanted == 1) return false;
  const std::int64_t asked = wanted == 0 ? AutoJobs() : wanted;
  if (asked <= 1) return false;
  const auto single = [&](const std::string& why) {
    JobsNote = why + ": read over one connection";
    return false;
  };
  if (IsQuery) return single("a query");
  if (Kind != 'r' && Kind != 'm') {
    return single("only a table's own pages can be read in ranges, and " + Table +
                  " is a view, a foreign or a partitioned table");
  }
  if (PQserverVersion(conn()) < 140000) {
    return single("the server (version " + std::to_string(PQserverVersion(conn())) +
                  ") cannot scan a range of pages, which PostgreSQL 14 and later can");
  }
  if (PQtransactionStatus(conn()) != PQTRANS_IDLE) {
    return single("inside a transaction of the host, the table");
  }
  Conn->Exec("BEGIN ISOLATION LEVEL REPEATABLE READ, READ ONLY");
  ReadTransaction = true;
  pg::TResult r(PQexecParams(conn(),
                             "SELECT pg_export_snapshot(), pg_relation_size($1::regclass) / "
                             "current_setting('block_size')::int8",
                             1, nullptr, std::array{Table.c_str()}.data(), nullptr, nullptr, 0));
  if (!r || PQresultStatus(r.get()) != PGRES_TUPLES_OK || PQntuples(r.get()) != 1) {
    const pg::TError e = pg::ErrorOf(conn(), r.get());
    EndReadTransaction();
    return single("the server cannot share a snapshot between connections (" + e.Text() + ")");
  }
  const std::string snapshot = PQgetvalue(r.get(), 0, 0);
  const std::int64_t pages = std::atoll(PQgetvalue(r.get(), 0, 1));
  pg::TParallelRead::TPlan plan;
  plan.Pages = pages;
  plan.Ordered = !unordered;
  // Ordered, a range is read whole ahead of its turn only as far as its
  // connection's pipe holds: ranges of 4 MB of pages keep every
  // connection busy.
  plan.PagesPerRange = std::max<std::int64_t>(1, pages / asked);
  if (!unordered) plan.PagesPerRange = std::min<std::int64_t>(plan.PagesPerRange, 512);
  const std::int64_t ranges =
      std::max<std::int64_t>(1, (pages + plan.PagesPerRange - 1) / plan.PagesPerRange);
  const std::int64_t jobs = std::min(asked, ranges);
  if (jobs <= 1) {
    return single("the table's " + std::to_string(pages) +
                  (pages == 1 ? " page is" : " pages are") + " too few to share out, and were");
  }
  // An engine that speaks the protocol may lack a range scan of pages or the
  // binary format: an empty range, copied first in the snapshot's own
  // transaction, finds out before the ranges start. Refused binary, the
  // ranges are read in the text format, as over one connection.
  pg::TError e;
  bool binary = Binary;
  bool probed = ProbeRangeCopy(binary, e);
  if (!probed && binary && pg::RefusesBinaryFormat(e)) {
    binary = false;
    probed = ProbeRangeCopy(false, e);
  }
  if (!probed) {
    EndReadTransaction();
    return single("the server cannot copy a range of a table's pages (" + e.Text() + ")");
  }
  Binary = binary;
  // This connection, whose transaction holds the snapshot, reads the first
  // ranges itself: one connection fewer to open before the rows come.
  auto conns = OpenJobConnections(connection, jobs - 1,
                                  "BEGIN ISOLATION LEVEL REPEATABLE READ, READ ONLY; SET "
                                  "TRANSACTION SNAPSHOT " +
                                      pg::QuoteLiteral(snapshot),
                                  1);
  if (conns.empty()) {
    const std::string why = JobsNote;
    return single(why);
  }
  bool cast = false;
  plan.Binary = Binary;
  plan.CopyStart = "COPY (SELECT " + ReadExpressions(Binary, cast) + " FROM " + Table + " WHERE ";
  plan.CopyEnd = std::string(") TO STDOUT") + (Binary ? " (FORMAT binary)" : "");
  JobsUsed = static_cast<std::int32_t>(conns.size()) + 1;
  Parallel = std::make_unique<pg::TParallelRead>(std::move(plan), *Conn, std::move(conns));
  Reading = true;
  ReadBinary = Binary;
  HeaderDone = true;
  return true;
}

void TPostgresDataSet::TState::StartReading(std::int32_t jobs, bool unordered,
                                            const std::string& connection) {
  StopReading();
  if (StartParallelRead(jobs, unordered, connection)) return;
  if (IsQuery && PQtransactionStatus(conn()) == PQTRANS_IDLE) {
    Conn->Exec("BEGIN TRANSACTION READ ONLY");
    ReadTransaction = true;
  }
  pg::TError e;
  bool started = StartCopyOut(Binary, e);
  if (!started && Binary && pg::RefusesBinaryFormat(e)) {
    // A server that sends only the text format.
    if (ReadTransaction) {
      Conn->Exec("ROLLBACK");
      Conn->Exec("BEGIN TRANSACTION READ ONLY");
    }
    Binary = false;
    started = StartCopyOut(false, e);
  }
  if (!started) {
    EndReadTransaction();
    Fail((IsQuery ? "Query failed: " : "Reading " + Table + " failed: ") + e.Text());
  }
  Reading = true;
  ReadBinary = Binary;
  HeaderDone = false;
}

void TPostgresDataSet::TState::EndReadTransaction() noexcept {
  if (ReadTransaction && PQstatus(conn()) == CONNECTION_OK) {
    pg::TError ignored;
    Conn->TryExec("COMMIT", ignored);
  }
  ReadTransaction = false;
}

// Stops a COPY TO still streaming: the server is asked to cancel it and
// what it sent meanwhile is read and dropped.
void TPostgresDataSet::TState::StopReading() noexcept {
  AtFirst = false;
  if (Parallel) {
    Reading = false;
    Parallel.reset();
  }
  if (Reading) {
    Reading = false;
    Conn->Cancel();
    char* row = nullptr;
    int n;
    while ((n = PQgetCopyData(conn(), &row, 0)) > 0) PQfreemem(row);
    pg::TError ignored;
    pg::DrainResults(conn(), ignored);
  }
  EndReadTransaction();
}

// Reads the next record into record; false at the end.
bool TPostgresDataSet::TState::ReadRecord(TFieldData* record) {
  if (Parallel && Reading) {
    std::string_view row;
    try {
      while (Parallel->Next(row)) {
        if (ReadBinary ? DecodeBinaryRow(row.data(), row.size(), record)
                       : DecodeTextRow(row.data(), row.size(), record)) {
          return true;
        }
      }
    } catch (const EDatabaseError&) {
      StopReading();
      throw;
    }
    StopReading();
    return false;
  }
  while (Reading) {
    char* raw = nullptr;
    const int n = PQgetCopyData(conn(), &raw, 0);
    if (n < 0) {
      Reading = false;
      pg::TError e;
      const bool ok = pg::DrainResults(conn(), e);
      EndReadTransaction();
      if (!ok || n == -2) {
        if (ok) e = pg::ErrorOf(conn(), nullptr);
        Fail("Reading failed: " + e.Text());
      }
      return false;
    }
    TCopyBuffer row(raw);
    if (ReadBinary ? DecodeBinaryRow(row.get(), static_cast<std::size_t>(n), record)
                   : DecodeTextRow(row.get(), static_cast<std::size_t>(n), record)) {
      return true;
    }
  }
  return false;
}

void TPostgresDataSet::TState::Malformed() { Fail("The server sent a record that cannot be read"); }

// False for a message that holds no record (the header, the trailer).
bool TPostgresDataSet::TState::DecodeBinaryRow(const char* p, std::size_t size,
                                               TFieldData* record) {
  const char* end = p + size;
  if (!HeaderDone) {
    const std::string_view signature = pg::BinaryHeader().substr(0, 11);
    if (size < 19 || std::memcmp(p, signature.data(), signature.size()) != 0) Malformed();
    const std::uint32_t extension = pg::GetBE32(p + 15);
    if (extension > size - 19) Malformed();
    p += 19 + extension;
    HeaderDone = true;
    if (p == end) return false;
  }
  if (end - p < 2) Malformed();
  const auto fields = static_cast<std::int16_t>(pg::GetBE16(p));
  if (fields == -1) return false;
  if (static_cast<std::size_t>(fields) != Cols.size()) Malformed();
  p += 2;
  for (std::size_t i = 0; i < Cols.size(); ++i) {
    if (end - p < 4) Malformed();
    const auto length = static_cast<std::int32_t>(pg::GetBE32(p));
    p += 4;
    if (length < 0) {
      if (!IsNull(record[i])) record[i].emplace<std::monostate>();
      continue;
    }
    if (end - p < length) Malformed();
    pg::DecodeBinary(p, static_cast<std::size_t>(length), Cols[i], record[i], Context);
    p += length;
  }
  return true;
}

bool TPostgresDataSet::TState::DecodeTextRow(const char* p, std::size_t size, TFieldData* record) {
  if (size > 0 && p[size - 1] == '\n') --size;
  std::string_view line(p, size);
  std::string value;
  std::size_t pos = 0;
  for (std::size_t i = 0; i < Cols.size(); ++i) {
    if (pos > line.size()) Malformed();
    std::size_t tab = line.find('\t', pos);
    if (tab == std::string_view::npos) tab = line.size();
    const std::string_view field = line.substr(pos, tab - pos);
    pos = tab + 1;
    if (field == "\\N") {
      if (!IsNull(record[i])) record[i].emplace<std::monostate>();
      continue;
    }
    value.clear();
    for (std::size_t k = 0; k < field.size(); ++k) {
      if (field[k] != '\\' || k + 1 == field.size()) {
        value += field[k];
        continue;
      }
      const char c = field[++k];
      switch (c) {
        case 'b':
          value += '\b';
          break;
        case 'f':
          value += '\f';
          break;
        case 'n':
          value += '\n';
          break;
        case 'r':
          value += '\r';
          break;
        case 't':
          value += '\t';
          break;
        case 'v':
          value += '\v';
          break;
        default:
          if (c >= '0' && c <= '7') {
            int v = c - '0';
            for (int d = 0;
                 d < 2 && k + 1 < field.size() && field[k + 1] >= '0' && field[k + 1] <= '7'; ++d) {
              v = v * 8 + (field[++k] - '0');
            }
            value += static_cast<char>(v);
          } else {
            value += c;
          }
      }
    }
    pg::DecodeText(value, Cols[i], record[i], Context.ExactTimes);
  }
  return true;
}
}  // namespace korvane

#include <algorithm>
#include "datasets/postgres/postgres_dataset.h"

#include <array>
#include <cstring>
#include <exception>
#include <thread>
#include <utility>
#include <vector>

#include "core/owned.h"
#include "core/sysutils.h"
#include "datasets/postgres/postgres_codec.h"
#include "datasets/postgres/postgres_connection.h"
#include "datasets/postgres/postgres_copy_writer.h"
#include "datasets/postgres/postgres_merge.h"
#include "datasets/postgres/postgres_parallel_load.h"
#include "datasets/postgres/postgres_parallel_read.h"

namespace korvane {

using pg::TKind;

namespace {

[[noreturn]] void Fail(const std::string& message) { throw EDatabaseError(message); }

using TCopyBuffer = TOwned<char, &PQfreemem>;

std::string WithoutTrailingSemicolons(std::string text) {
  while (!text.empty() && (text.back() == ';' || static_cast<unsigned char>(text.back()) <= ' ')) {
    text.pop_back();
  }
  return text;
}

}  // namespace

struct TPostgresDataSet::TState {
  std::unique_ptr<pg::TConnection> Conn;
  // The connection's COPY format: binary until the server refuses it.
  bool Binary = true;

  // What Open found.
  bool IsQuery = false;
  bool Writable = false;
  char Kind = 'r';  // pg_class.relkind of the table
  std::string Table;  // quoted, schema-qualified when it was given so
  std::string QueryText;
  std::vector<pg::TColumn> Cols;
  pg::TCodecContext Context;

  // Reading.
  bool Reading = false;    // a COPY TO is streaming
  bool ReadBinary = true;  // in the binary format
  bool ReadTransaction = false;
  bool HeaderDone = false;
  bool AtFirst = false;  // on the first record, nothing read beyond it
  bool FirstFound = false;
  std::unique_ptr<pg::TCopyWriter> Writer;
  int BulkDepth = 0;
  // Keyed loads: the key's columns and the merge; by column, whether the
  // table fills it in itself.
  std::vector<std::size_t> Key;
  TLoadMode Mode = lmAppend;
  std::unique_ptr<pg::TMerge> Merge;
  std::vector<bool> AutoInc;
  std::vector<std::string> PrimaryKey;
  std::vector<std::vector<std::string>> UniqueKeys;

  // Several connections at once (Jobs): a read in ranges of pages, or a
  // bulk run dealing its records out; what the last one used, and why
  // fewer than asked. A run's refusals and commits outlive it until the
  // next one.
  std::unique_ptr<pg::TParallelRead> Parallel;
  std::unique_ptr<pg::TParallelLoad> Load;
  TRefusals LoadRefusals;
  std::int64_t LoadCommitted = 0;
  bool LoadRan = false;
  std::int32_t JobsUsed = 1;
  std::string JobsNote;
  std::string SessionSetup;  // run on every connection of the jobs first

  PGconn* conn() const { return Conn->get(); }

  void ForgetSource() noexcept {
    IsQuery = false;
    Writable = false;
    Table.clear();
    QueryText.clear();
    Cols.clear();
    Writer.reset();
    BulkDepth = 0;
    Key.clear();
    Mode = lmAppend;
    Merge.reset();
    AutoInc.clear();
    PrimaryKey.clear();
    UniqueKeys.clear();
    Load.reset();
    LoadRefusals = {};
    LoadCommitted = 0;
    LoadRan = false;
  }

  std::string SelectList() const {
    std::string list;
    for (std::size_t i = 0; i < Cols.size(); ++i) {
      if (i > 0) list += ", ";
      list += IsQuery ? "c" + std::to_string(i + 1) : pg::QuoteIdent(Cols[i].Name);
    }
    return list;
  }

  // The select list that reads the columns in the format; cast is set when
  // it differs from the plain column list.
  std::string ReadExpressions(bool binary, bool& cast) const {
    cast = false;
    std::string exprs;
    for (std::size_t i = 0; i < Cols.size(); ++i) {
      const std::string name = IsQuery ? "c" + std::to_string(i + 1) : pg::QuoteIdent(Cols[i].Name);
      const std::string expr = pg::ReadExpression(name, Cols[i].Kind, binary, Context.ExactTimes);
      // COPY of a table's column list cannot name generated columns.
      cast = cast || expr != name || Cols[i].Generated;
      exprs += (i > 0 ? ", " : "") + expr;
    }
    return exprs;
  }

  std::string CopyOutCommand(bool binary) const {
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
      source =
          cast ? "(SELECT " + exprs + " FROM " + Table + ")" : Table + " (" + SelectList() + ")";
    }
    return "COPY " + source + " TO STDOUT" + (binary ? " (FORMAT binary)" : "");
  }

  // Starts streaming the records; false (and the error) when the COPY is
  // refused.
  bool StartCopyOut(bool binary, pg::TError& error) {
    pg::TResult r(PQexec(conn(), CopyOutCommand(binary).c_str()));
    if (r && PQresultStatus(r.get()) == PGRES_COPY_OUT) return true;
    error = pg::ErrorOf(conn(), r.get());
    pg::DrainResults(conn(), error);
    return false;
  }

  // Jobs 0: the server's max_parallel_workers or the client's cores,
  // whichever is fewer (the cores alone on an engine without the setting).
  std::int32_t AutoJobs() const {
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    std::int64_t server = cores;
    pg::TResult r(PQexec(conn(), "SHOW max_parallel_workers"));
    if (r && PQresultStatus(r.get()) == PGRES_TUPLES_OK && PQntuples(r.get()) == 1) {
      server = std::atoll(PQgetvalue(r.get(), 0, 0));
    }
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(server, 1, cores));
  }

  // Opens up to count more connections for the jobs; fewer when the server
  // refuses one (JobsNote says why). begin runs on each first.
  std::vector<std::unique_ptr<pg::TConnection>> OpenJobConnections(
      const std::string& connection, std::int64_t count, const std::string& begin) {
    std::vector<std::unique_ptr<pg::TConnection>> conns;
    try {
      while (static_cast<std::int64_t>(conns.size()) < count) {
        auto c = std::make_unique<pg::TConnection>(connection);
        if (!SessionSetup.empty()) c->Exec(SessionSetup);
        if (!begin.empty()) c->Exec(begin);
        conns.push_back(std::move(c));
      }
    } catch (const EDatabaseError& e) {
      JobsNote = "only " + std::to_string(conns.size()) + " of " + std::to_string(count) +
                 " connections could be opened (" + e.Message() + ")";
    }
    return conns;
  }

  // Starts reading the table over several connections; false (JobsNote
  // saying why when jobs were asked for) when it is read over one.
  bool StartParallelRead(std::int32_t wanted, bool unordered, const std::string& connection) {
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
    const std::int64_t ranges = std::max<std::int64_t>(1, (pages + plan.PagesPerRange - 1) /
                                                              plan.PagesPerRange);
    const std::int64_t jobs = std::min(asked, ranges);
    if (jobs <= 1) {
      return single("the table's " + std::to_string(pages) +
                    (pages == 1 ? " page is" : " pages are") + " too few to share out, and were");
    }
    auto conns = OpenJobConnections(connection, jobs,
                                    "BEGIN ISOLATION LEVEL REPEATABLE READ, READ ONLY; SET "
                                    "TRANSACTION SNAPSHOT " +
                                        pg::QuoteLiteral(snapshot));
    if (conns.size() < 2) {
      const std::string why = JobsNote;
      return single(why);
    }
    bool cast = false;
    plan.Binary = Binary;
    plan.CopyStart = "COPY (SELECT " + ReadExpressions(Binary, cast) + " FROM " + Table + " WHERE ";
    plan.CopyEnd = std::string(") TO STDOUT") + (Binary ? " (FORMAT binary)" : "");
    JobsUsed = static_cast<std::int32_t>(conns.size());
    Parallel = std::make_unique<pg::TParallelRead>(std::move(plan), std::move(conns));
    Reading = true;
    ReadBinary = Binary;
    HeaderDone = true;
    return true;
  }

  void StartReading(std::int32_t jobs = 1, bool unordered = false,
                    const std::string& connection = {}) {
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

  void EndReadTransaction() noexcept {
    if (ReadTransaction && PQstatus(conn()) == CONNECTION_OK) {
      pg::TError ignored;
      Conn->TryExec("COMMIT", ignored);
    }
    ReadTransaction = false;
  }

  // Stops a COPY TO still streaming: the server is asked to cancel it and
  // what it sent meanwhile is read and dropped.
  void StopReading() noexcept {
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
  bool ReadRecord(TFieldData* record) {
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

  [[noreturn]] static void Malformed() { Fail("The server sent a record that cannot be read"); }

  // False for a message that holds no record (the header, the trailer).
  bool DecodeBinaryRow(const char* p, std::size_t size, TFieldData* record) {
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

  bool DecodeTextRow(const char* p, std::size_t size, TFieldData* record) {
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
                   d < 2 && k + 1 < field.size() && field[k + 1] >= '0' && field[k + 1] <= '7';
                   ++d) {
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

  // After a record stored on its own: the values its serial and identity
  // columns left null took, from the session's last value of each sequence.
  void TakeGeneratedValues(std::vector<TFieldData>& values) {
    for (std::size_t i = 0; i < Cols.size(); ++i) {
      if (Cols[i].Sequence.empty() || values[i].index() != 0) continue;
      // Asked only with the right to read it (an identity's sequence needs
      // none to fill the column), so that no error breaks a host's
      // transaction. The record is stored: a value not learnt stays null.
      pg::TResult r(PQexecParams(
          conn(),
          "SELECT CASE WHEN has_sequence_privilege($1::text, 'USAGE') OR "
          "has_sequence_privilege($1::text, 'SELECT') THEN currval($1::regclass) END",
          1, nullptr, std::array{Cols[i].Sequence.c_str()}.data(), nullptr, nullptr, 0));
      if (r && PQresultStatus(r.get()) == PGRES_TUPLES_OK && PQntuples(r.get()) == 1 &&
          !PQgetisnull(r.get(), 0, 0)) {
        pg::DecodeText(PQgetvalue(r.get(), 0, 0), Cols[i], values[i]);
      }
    }
  }

  pg::TCopyWriter& WriterFor(std::int32_t perTransaction) {
    if (!Writer) {
      if (IsKeyedLoad(Mode)) {
        // The records go to a temporary table first, and from there into
        // the table after each COPY.
        Merge = std::make_unique<pg::TMerge>(*Conn, Table, Cols, Key, Mode);
        Merge->Prepare();
        Writer =
            std::make_unique<pg::TCopyWriter>(*Conn, pg::TMerge::kTable, Cols, Context, Binary);
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
  bool StartParallelLoad(std::int32_t wanted, std::int32_t perTransaction,
                         const std::string& connection) {
    JobsUsed = 1;
    JobsNote.clear();
    if (wanted == 1) return false;
    const std::int64_t asked = wanted == 0 ? AutoJobs() : wanted;
    if (asked <= 1) return false;
    if (Mode != lmAppend) {
      JobsNote = "LoadMode " + std::string(kLoadModeNames[Mode]) +
                 " loads over one connection: several would each empty or merge alone";
      return false;
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
    pg::TParallelLoad::TOptions options;
    options.Table = Table;
    options.Columns = &Cols;
    options.Context = Context;
    options.Binary = Binary;
    options.RecordsPerTransaction = perTransaction;
    JobsUsed = static_cast<std::int32_t>(conns.size());
    LoadRefusals = {};
    LoadCommitted = 0;
    LoadRan = true;
    Load = std::make_unique<pg::TParallelLoad>(std::move(options), std::move(conns));
    return true;
  }

  // Ends the bulk run over several connections, keeping its refusals and
  // commits for TakeRefusals and LoadCounts.
  std::int64_t EndParallelLoad(bool abandon) {
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
  void Empty() {
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
  void ReadKeys(const std::string& oid) {
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
};

// ---------------------------------------------------------------------------

TPostgresDataSet::TPostgresDataSet(TComponent* owner)
    : TSQLDataSet(owner), FState(std::make_unique<TState>()) {}

TPostgresDataSet::~TPostgresDataSet() {
  try {
    Close();
  } catch (const std::exception&) {
    // A destructor cannot report: a host that needs to know whether the
    // records of an unfinished bulk run were stored calls EndBulk or Close
    // first, which raise the reason.
  }
}

std::string TPostgresDataSet::ShownConnection() const { return pg::HidePassword(FConnection); }

void TPostgresDataSet::SetConnection(const std::string& value) {
  CheckInactive("Connection");
  if (value != FConnection) FState->Conn.reset();
  FConnection = value;
}
void TPostgresDataSet::SetExactTimes(bool value) {
  CheckInactive("ExactTimes");
  FExactTimes = value;
}

void TPostgresDataSet::SetUtcTimes(bool value) {
  CheckInactive("UtcTimes");
  if (value != FUtcTimes) FState->Conn.reset();
  FUtcTimes = value;
}

void TPostgresDataSet::SetJobs(std::int32_t value) {
  CheckInactive("Jobs");
  if (value < 0) Fail("Jobs is a number of connections, 1 or more (0: as many as fit)");
  FJobs = value;
}

std::int32_t TPostgresDataSet::JobsUsed() const { return FState->JobsUsed; }
const std::string& TPostgresDataSet::JobsNote() const { return FState->JobsNote; }

std::int32_t TPostgresDataSet::AutoJobs() {
  Connect();
  return FState->AutoJobs();
}

void TPostgresDataSet::SetBinaryCopy(bool value) {
  CheckInactive("BinaryCopy");
  FBinaryCopy = value;
  FState->Binary = value;
}

bool TPostgresDataSet::CopiesBinary() const { return FState->Binary; }

void TPostgresDataSet::Connect() {
  if (FState->Conn && !FState->Conn->Lost()) return;
  if (FConnection.empty())
    Fail("Connection is empty: give a postgresql:// URI or key=value string");
  FState->Conn = std::make_unique<pg::TConnection>(FConnection);
  if (FUtcTimes) FState->Conn->Exec("SET TimeZone = 'UTC'");
  // The connections of the jobs work in the same session settings.
  FState->SessionSetup = FUtcTimes ? "SET TimeZone = 'UTC'" : "";
  FState->Binary = FBinaryCopy;
}

void TPostgresDataSet::ExecSQL(const std::string& sql) {
  Connect();
  FState->StopReading();
  if (FState->Writer) FState->Writer->Flush();
  FState->Conn->Exec(sql);
}

namespace {

// The OID of a relation spelled as for TableName, or "" when there is none.
std::string FindRelation(pg::TConnection& conn, const pg::TQualifiedName& name) {
  for (const std::string& spelled : {name.Quoted(), name.QuotedFolded()}) {
    pg::TResult r = conn.ExecParams("SELECT to_regclass($1)::oid", {spelled});
    if (PQntuples(r.get()) == 1 && !PQgetisnull(r.get(), 0, 0)) return PQgetvalue(r.get(), 0, 0);
  }
  return {};
}

}  // namespace

bool TPostgresDataSet::TableExists(const std::string& name) {
  Connect();
  FState->StopReading();
  return !FindRelation(*FState->Conn, pg::ParseQualifiedName(name)).empty();
}

void TPostgresDataSet::InternalOpen() {
  CheckSource();
  ForgetKey();
  TState& s = *FState;
  s.Context.ExactTimes = FExactTimes;
  try {
    Connect();
    if (Query().empty()) {
      OpenTable();
    } else {
      OpenQuery();
    }
    s.Context.ZonedSession = false;
    for (const pg::TColumn& c : s.Cols) {
      if (c.Kind == TKind::TimestampTz && FExactTimes) {
        pg::TResult r = s.Conn->Exec(
            "SELECT current_setting('TimeZone') NOT IN ('UTC', 'Etc/UTC', 'GMT', 'Etc/GMT')",
            PGRES_TUPLES_OK);
        s.Context.ZonedSession = *PQgetvalue(r.get(), 0, 0) == 't';
        break;
      }
    }
    for (const pg::TColumn& c : s.Cols) {
      if (c.Kind == TKind::Money) {
        pg::TResult r = s.Conn->Exec("SELECT scale('1'::money::numeric)", PGRES_TUPLES_OK);
        const int scale = std::atoi(PQgetvalue(r.get(), 0, 0));
        s.Context.MoneyFactor = scale == 0   ? 10000
                                : scale == 1 ? 1000
                                : scale == 2 ? 100
                                : scale == 3 ? 10
                                             : 1;
        // The decimals the server's money keeps, for the strict rules.
        for (TField* field : Fields()) {
          if (field->DataType() == ftCurrency) field->SetScale(std::clamp(scale, 0, 4));
        }
        break;
      }
    }
  } catch (...) {
    s.ForgetSource();
    ForgetKey();
    DestroyFields();
    throw;
  }
}

void TPostgresDataSet::OpenTable() {
  TState& s = *FState;
  const pg::TQualifiedName name = pg::ParseQualifiedName(TableName());
  std::string oid = FindRelation(*s.Conn, name);
  if (oid.empty()) {
    if (!CreateTable()) Fail("Table '" + TableName() + "' does not exist");
    std::string columns;
    for (const std::string& item : ColumnList().Items()) {
      if (IsBlank(item)) continue;
      columns += (columns.empty() ? "" : ", ") + item;
    }
    if (columns.empty()) {
      Fail("Table '" + TableName() +
           "' does not exist and Columns is empty, so it cannot be created");
    }
    s.Conn->Exec("CREATE TABLE " + name.QuotedFolded() + " (" + columns + ")");
    oid = FindRelation(*s.Conn, name);
    if (oid.empty()) Fail("Table '" + TableName() + "' was not created");
  }
  pg::TResult rel = s.Conn->ExecParams(
      "SELECT quote_ident(n.nspname) || '.' || quote_ident(c.relname), c.relkind, "
      "has_table_privilege(c.oid, 'INSERT') FROM pg_class c JOIN pg_namespace n ON "
      "n.oid = c.relnamespace WHERE c.oid = $1",
      {oid});
  s.Table = PQgetvalue(rel.get(), 0, 0);
  const char kind = *PQgetvalue(rel.get(), 0, 1);
  s.Kind = kind;
  const bool insertable = *PQgetvalue(rel.get(), 0, 2) == 't';
  pg::TResult cols = s.Conn->ExecParams(
      "SELECT a.attname, CASE WHEN t.typtype = 'd' THEN t.typbasetype ELSE a.atttypid END, "
      "CASE WHEN t.typtype = 'd' THEN t.typtypmod ELSE a.atttypmod END, a.atthasdef, "
      "a.attidentity <> '', a.attgenerated <> '', "
      "coalesce(pg_get_expr(d.adbin, d.adrelid) LIKE 'nextval(%', false), a.attnotnull, "
      "coalesce(pg_get_serial_sequence($2, a.attname), '') "
      "FROM pg_attribute a JOIN pg_type t ON t.oid = a.atttypid "
      "LEFT JOIN pg_attrdef d ON d.adrelid = a.attrelid AND d.adnum = a.attnum "
      "WHERE a.attrelid = $1 AND a.attnum > 0 AND NOT a.attisdropped ORDER BY a.attnum",
      {oid, s.Table});
  const int rows = PQntuples(cols.get());
  if (rows == 0) Fail("Table '" + TableName() + "' has no columns");
  for (int i = 0; i < rows; ++i) {
    const auto flag = [&](int column) { return *PQgetvalue(cols.get(), i, column) == 't'; };
    pg::TColumn c;
    c.Name = PQgetvalue(cols.get(), i, 0);
    const int typmod = std::atoi(PQgetvalue(cols.get(), i, 2));
    c.Kind = pg::KindOfType(
        static_cast<unsigned>(std::strtoul(PQgetvalue(cols.get(), i, 1), nullptr, 10)), typmod);
    const bool identity = flag(4);
    c.Generated = flag(5);
    c.AutoInc = identity || flag(6);
    c.HasDefault = flag(3) || identity;
    c.Sequence = PQgetvalue(cols.get(), i, 8);
    c.Def = pg::FieldDefForColumn(c.Name, c.Kind, typmod, c.AutoInc);
    TField* field = AddField(c.Def.Name, c.Def.DataType, c.Def.Size);
    if (c.Def.DataType == ftCurrency) field->SetCurrency(true);
    field->SetPrecision(c.Def.Precision);
    if (c.Def.Scale >= 0) field->SetScale(c.Def.Scale);
    if (c.Generated) field->SetReadOnly(true);
    s.AutoInc.push_back(c.AutoInc);
    s.Cols.push_back(std::move(c));
  }
  s.Writable = !ReadOnly() && insertable && (kind == 'r' || kind == 'p' || kind == 'f');
  if (s.Writable && LoadMode() != lmAppend) {
    s.ReadKeys(oid);
    ChooseKey(s.PrimaryKey, s.UniqueKeys);
    s.Mode = LoadMode();
    for (const TField* field : KeyFieldList()) {
      s.Key.push_back(static_cast<std::size_t>(field->Index()));
    }
  }
}

void TPostgresDataSet::OpenQuery() {
  TState& s = *FState;
  s.IsQuery = true;
  s.QueryText = WithoutTrailingSemicolons(Query());
  if (s.QueryText.empty()) Fail("Query holds no statement");
  pg::TResult prepared(PQprepare(s.conn(), "", s.QueryText.c_str(), 0, nullptr));
  if (!prepared || PQresultStatus(prepared.get()) != PGRES_COMMAND_OK) {
    Fail("Query failed: " + pg::ErrorOf(s.conn(), prepared.get()).Text());
  }
  pg::TResult described(PQdescribePrepared(s.conn(), ""));
  if (!described || PQresultStatus(described.get()) != PGRES_COMMAND_OK) {
    Fail("Query failed: " + pg::ErrorOf(s.conn(), described.get()).Text());
  }
  const int count = PQnfields(described.get());
  if (count == 0) Fail("Query returns no columns");
  for (int i = 0; i < count; ++i) {
    const char* raw = PQfname(described.get(), i);
    std::string fieldName = raw != nullptr && *raw != '\0' && std::strcmp(raw, "?column?") != 0
                                ? raw
                                : "Column" + std::to_string(i + 1);
    for (int n = 1; FindField(fieldName); ++n) {
      fieldName = (raw ? std::string(raw) : "Column") + "_" + std::to_string(n);
    }
    pg::TColumn c;
    c.Name = fieldName;
    c.Kind = pg::KindOfType(PQftype(described.get(), i), PQfmod(described.get(), i));
    c.Def = pg::FieldDefForColumn(fieldName, c.Kind, PQfmod(described.get(), i), false);
    TField* field = AddField(c.Def.Name, c.Def.DataType, c.Def.Size);
    if (c.Def.DataType == ftCurrency) field->SetCurrency(true);
    field->SetPrecision(c.Def.Precision);
    if (c.Def.Scale >= 0) field->SetScale(c.Def.Scale);
    field->SetReadOnly(true);
    s.Cols.push_back(std::move(c));
  }
  s.Writable = false;
}

void TPostgresDataSet::InternalClose() {
  TState& s = *FState;
  // Closing in the middle of a bulk run keeps what was posted; a commit
  // that fails then is raised once the dataset is closed, so that the host
  // learns that the records posted since the last commit are not stored.
  std::exception_ptr failed;
  if (s.Conn) {
    s.StopReading();
    if (s.Load) {
      try {
        s.EndParallelLoad(false);
      } catch (const std::exception&) {
        failed = std::current_exception();
      }
    }
    if (s.Writer) {
      try {
        s.Writer->EndBulk();
      } catch (const std::exception&) {
        failed = std::current_exception();
      }
      s.Writer->Abandon();
    }
  }
  s.ForgetSource();
  s.Conn.reset();
  ForgetKey();
  DestroyFields();
  if (failed) std::rethrow_exception(failed);
}

bool TPostgresDataSet::InternalFirst() {
  TState& s = *FState;
  if (s.AtFirst) return s.FirstFound;
  if (s.Writer && s.Writer->Copying()) s.Writer->Flush();
  // A table open for appending is read over its own connection: its
  // first record is all an import reads.
  s.StartReading(s.Writable ? 1 : FJobs, FUnorderedRead, FConnection);
  s.FirstFound = s.ReadRecord(BrowseBuffer());
  SetActiveBuffer(nullptr);
  s.AtFirst = true;
  return s.FirstFound;
}

bool TPostgresDataSet::InternalNext() {
  TState& s = *FState;
  s.AtFirst = false;
  if (!s.Reading) return false;
  if (!s.ReadRecord(BrowseBuffer())) return false;
  SetActiveBuffer(nullptr);
  return true;
}

void TPostgresDataSet::InternalPost() {
  TState& s = *FState;
  if (!s.Writable) Fail("Dataset cannot be modified");
  if (State() == dsEdit) Fail("Records of a PostgreSQL table can only be appended, not edited");
  s.StopReading();
  std::vector<TFieldData>& values = EditBuffer();
  if (!KeyFieldList().empty()) CheckKeyValues(values.data(), s.AutoInc);
  if (s.Load) {
    s.Load->Add(values.data(), PostCount() + 1);
    return;
  }
  s.WriterFor(BulkCommitCount()).Add(values.data(), RefusedPostsWanted() ? PostCount() + 1 : 0);
  if (s.BulkDepth == 0) s.TakeGeneratedValues(values);
}

bool TPostgresDataSet::CanModify() const {
  if (!Active()) return TSQLDataSet::CanModify();
  return FState->Writable;
}

int TPostgresDataSet::RecordCount() const {
  TState& s = *FState;
  if (!Active() || !s.Conn) return -1;
  try {
    s.StopReading();
    if (s.Writer && s.Writer->Copying()) s.Writer->Flush();
    const std::string source = s.IsQuery ? "(" + s.QueryText + ") AS korvane_query" : s.Table;
    pg::TResult r = s.Conn->Exec("SELECT count(*) FROM " + source, PGRES_TUPLES_OK);
    const long long count = std::atoll(PQgetvalue(r.get(), 0, 0));
    return count > INT32_MAX ? INT32_MAX : static_cast<int>(count);
  } catch (const EDatabaseError&) {
    return -1;
  }
}

void TPostgresDataSet::BeginBulk() {
  TState& s = *FState;
  if (s.BulkDepth++ > 0 || !s.Conn || !s.Writable) return;
  s.StopReading();
  try {
    if (s.StartParallelLoad(FJobs, BulkCommitCount(), FConnection)) return;
    s.WriterFor(BulkCommitCount()).BeginBulk();
  } catch (...) {
    --s.BulkDepth;
    throw;
  }
}

void TPostgresDataSet::EndBulk() {
  TState& s = *FState;
  if (s.BulkDepth == 0) return;
  --s.BulkDepth;
  if (s.Load) {
    if (s.BulkDepth == 0) {
      s.EndParallelLoad(false);
    } else {
      s.Load->Flush();
    }
    return;
  }
  if (!s.Writer) return;
  if (s.BulkDepth > 0) {
    s.Writer->Flush();
  } else {
    s.Writer->EndBulk();
  }
}

std::int64_t TPostgresDataSet::AbandonBulk() {
  TState& s = *FState;
  if (s.BulkDepth == 1 && s.Load) {
    s.BulkDepth = 0;
    return s.EndParallelLoad(true);
  }
  if (s.BulkDepth != 1 || !s.Writer) {
    EndBulk();
    return 0;
  }
  s.BulkDepth = 0;
  return s.Writer->AbandonBulk();
}

std::int64_t TPostgresDataSet::HeldPosts() const {
  if (FState->Load) return PostCount() - FState->Load->Settled();
  return FState->Writer ? FState->Writer->Held() : 0;
}

TLoadCounts TPostgresDataSet::LoadCounts() const {
  const TState& s = *FState;
  if (s.Load) return {s.Load->Committed(), 0, 0};
  if (s.LoadRan) return {s.LoadCommitted + (s.Writer ? s.Writer->Committed() : 0), 0, 0};
  if (!s.Writer) return {};
  if (IsKeyedLoad(s.Mode)) return s.Writer->Counts();
  return {s.Writer->Committed(), 0, 0};
}

TDataSet::TRefusals TPostgresDataSet::TakeRefusals() {
  TState& s = *FState;
  if (s.Load) return s.Load->Refusals(RefusedPostsWanted());
  if (s.LoadRefusals.Count > 0) {
    TRefusals refused = std::exchange(s.LoadRefusals, {});
    if (!RefusedPostsWanted()) refused.Posts.clear();
    return refused;
  }
  return s.Writer ? s.Writer->TakeRefusals() : TRefusals{};
}

template <>
TComponentClass ComponentClass<TPostgresDataSet>() {
  using D = TPostgresDataSet;
  static const TClassInfo info = [] {
    TClassBuilder<D> builder("TPostgresDataSet");
    builder.String("Connection", &D::ShownConnection, &D::SetConnection);
    PublishSQLSource(builder);
    return PublishSQLLoad(builder)
        .Integer("BulkCommitCount", &D::BulkCommitCount, &D::SetBulkCommitCount)
        .Boolean("BinaryCopy", &D::BinaryCopy, &D::SetBinaryCopy)
        .Boolean("ExactTimes", &D::ExactTimes, &D::SetExactTimes)
        .Boolean("UtcTimes", &D::UtcTimes, &D::SetUtcTimes)
        .Integer("Jobs", &D::Jobs, &D::SetJobs)
        .Boolean("UnorderedRead", &D::UnorderedRead, &D::SetUnorderedRead)
        .Build();
  }();
  return &info;
}

}  // namespace korvane

#include "datasets/postgres/postgres_copy_writer.h"

#include <algorithm>
#include <string_view>
#include <utility>

#include "data/db_failure.h"
#include "core/sysutils.h"

namespace korvane::pg {

namespace {

// A COPY that the server refused is stored again in segments of this many
// bytes of encoded rows, read back from the spill buffer.
constexpr std::size_t kSegmentBytes = std::size_t{4} << 20;
// A bulk run's COPY ends at this many bytes even inside a transaction (the
// host's, which has no record count), so that the temporary file stays
// bounded.
constexpr std::uint64_t kStreamBytes = std::uint64_t{256} << 20;
// Encoded rows are handed to libpq in pieces of this size.
constexpr std::size_t kSendBytes = std::size_t{64} << 10;

// Finds the whole rows at the start of rows (binary or text COPY rows),
// appending where each starts; returns where the last whole one ends.
std::size_t FindRows(std::string_view rows, bool binary, std::vector<std::size_t>& starts) {
  std::size_t at = 0;
  while (at < rows.size()) {
    std::size_t next = 0;
    if (binary) {
      if (rows.size() - at < 2) break;
      const unsigned fields = GetBE16(rows.data() + at);
      next = at + 2;
      for (unsigned i = 0; i < fields && next != 0; ++i) {
        if (rows.size() - next < 4) {
          next = 0;
          break;
        }
        const std::uint32_t length = GetBE32(rows.data() + next);
        next += 4;
        if (length == 0xffffffffu) continue;  // null
        next = rows.size() - next < length ? 0 : next + length;
      }
      if (next == 0) break;
    } else {
      const std::size_t end = rows.find('\n', at);
      if (end == std::string_view::npos) break;
      next = end + 1;
    }
    starts.push_back(at);
    at = next;
  }
  return at;
}

}  // namespace

TCopyWriter::TCopyWriter(TConnection& connection, std::string quotedTable,
                         const std::vector<TColumn>& columns, const TCodecContext& context,
                         bool& serverBinary)
    : FConn(connection),
      FTable(std::move(quotedTable)),
      FColumns(columns),
      FContext(context),
      FServerBinary(serverBinary),
      FBinary(serverBinary) {
  // Values of types without a kind of their own travel as text, which only
  // the text format carries.
  for (const TColumn& c : columns) FBinary = FBinary && (c.Generated || BinaryWritable(c.Kind));
  for (const TColumn& c : columns) {
    if (context.ZonedSession && c.Kind == TKind::TimestampTz && !c.Generated) FBinary = false;
    FMayOmit = FMayOmit || c.Generated || c.HasDefault;
  }
}

std::string TCopyWriter::CopyCommand(const TMask& omitted, bool binary) const {
  std::string sql = "COPY " + FTable + " (";
  bool first = true;
  for (std::size_t i = 0; i < FColumns.size(); ++i) {
    if (omitted[i]) continue;
    if (!first) sql += ", ";
    first = false;
    sql += QuoteIdent(FColumns[i].Name);
  }
  if (!FRowNumberColumn.empty()) sql += (first ? "" : ", ") + QuoteIdent(FRowNumberColumn);
  sql += ") FROM STDIN";
  if (binary) sql += " (FORMAT binary)";
  return sql;
}

void TCopyWriter::CheckBroken() const {
  if (!FBroken.empty()) throw EDatabaseFailure(FBroken, 0);
}

void TCopyWriter::Break(const TError& error) {
  const std::int64_t lost =
      FTransactionRows + (FBulk ? FStreamRows : static_cast<std::int64_t>(FRowStarts.size()));
  std::string text = error.ConnectionLost ? "the connection to the server was lost: " : "";
  text += error.Text() + "; ";
  if (FOwnTransaction || !FBulk) {
    text += std::to_string(FCommitted) + (FCommitted == 1 ? " record was" : " records were") +
            " committed";
    if (lost > 0) text += ", the " + std::to_string(lost) + " after them were not stored";
  } else {
    text += "the transaction is the host's to roll back";
  }
  FBroken = text;
  FPendingCounts = {};
  ClearRows();
  Abandon();
  // Not a refused record: the run can store nothing more.
  throw EDatabaseFailure(FBroken, lost);
}

void TCopyWriter::Savepoint() {
  TError e;
  if (!FConn.TryExec("SAVEPOINT korvane_part", e)) Break(e);
}

bool TCopyWriter::StartCopy(const TMask& omitted, TError& error) {
  TResult r(PQexec(FConn.get(), CopyCommand(omitted, FBinary).c_str()));
  if (!r || PQresultStatus(r.get()) != PGRES_COPY_IN) {
    error = ErrorOf(FConn.get(), r.get());
    DrainResults(FConn.get(), error);
    return false;
  }
  if (FBinary) {
    const std::string_view header = BinaryHeader();
    if (PQputCopyData(FConn.get(), header.data(), static_cast<int>(header.size())) != 1) {
      error = ErrorOf(FConn.get(), nullptr);
      return false;
    }
  }
  return true;
}

void TCopyWriter::StartSegment(const TMask& omitted) {
  if (!FBulk) FInTransaction = PQtransactionStatus(FConn.get()) == PQTRANS_INTRANS;
  if (FBulk && FOwnTransaction && !FInTransaction) {
    TError e;
    if (!FConn.TryExec("BEGIN", e)) Break(e);
    FInTransaction = true;
  }
  if (FOpeningPending && FInTransaction) RunOpening();
  if (FInTransaction) Savepoint();
  TError e;
  bool started = StartCopy(omitted, e);
  if (!started && FBinary && RefusesBinaryFormat(e) && !e.ConnectionLost) {
    // This server takes only the text format: use it from now on.
    TError undo;
    if (FInTransaction && !FConn.TryExec("ROLLBACK TO SAVEPOINT korvane_part", undo)) Break(undo);
    FBinary = false;
    FServerBinary = false;
    started = StartCopy(omitted, e);
  }
  if (!started) {
    if (e.ConnectionLost) Break(e);
    TError undo;
    if (FInTransaction &&
        !FConn.TryExec("ROLLBACK TO SAVEPOINT korvane_part; RELEASE korvane_part", undo)) {
      Break(undo);
    }
    throw EDatabaseError(e.Text());
  }
  FCopying = true;
  FOmitted = omitted;
  FSentColumns = static_cast<std::size_t>(std::count(omitted.begin(), omitted.end(), false));
  ClearRows();
}

void TCopyWriter::ClearRows() {
  FRows.clear();
  FRowStarts.clear();
  FStream.Clear();
  FStreamRows = 0;
}

void TCopyWriter::Add(const TFieldData* values, std::int64_t post) {
  CheckBroken();
  // The columns a row leaves out: generated ones, and those with a default
  // it has no value for. Without either in the table, every row sends
  // every column and keeps the COPY running.
  if (FMayOmit || !FCopying) {
    FScratchMask.assign(FColumns.size(), false);
    for (std::size_t i = 0; i < FColumns.size(); ++i) {
      const TColumn& c = FColumns[i];
      FScratchMask[i] = c.Generated || (c.HasDefault && IsNull(values[i]));
    }
    if (FCopying && FScratchMask != FOmitted) EndSegment();
    if (!FCopying) StartSegment(FScratchMask);
  }

  const std::size_t start = FRows.size();
  try {
    const bool numbered = !FRowNumberColumn.empty();
    if (FBinary) {
      PutBE16(FRows, static_cast<std::uint16_t>(FSentColumns + (numbered ? 1 : 0)));
    }
    bool first = true;
    for (std::size_t i = 0; i < FColumns.size(); ++i) {
      if (FOmitted[i]) continue;
      const TFieldData& v = values[i];
      if (FBinary) {
        if (IsNull(v)) {
          PutBE32(FRows, 0xffffffffu);
        } else {
          AppendBinary(FRows, FColumns[i], v, FContext);
        }
      } else {
        if (!first) FRows += '\t';
        if (IsNull(v)) {
          FRows += "\\N";
        } else {
          AppendText(FRows, FColumns[i], v, FContext);
        }
      }
      first = false;
    }
    if (numbered) {
      FRowNumber = post > FRowNumber ? post : FRowNumber + 1;
      if (FBinary) {
        PutBE32(FRows, 8);
        PutBE32(FRows, static_cast<std::uint32_t>(static_cast<std::uint64_t>(FRowNumber) >> 32));
        PutBE32(FRows, static_cast<std::uint32_t>(FRowNumber));
      } else {
        if (!first) FRows += '\t';
        FRows += std::to_string(FRowNumber);
      }
    }
    if (!FBinary) FRows += '\n';
  } catch (...) {
    FRows.resize(start);
    if (!FBulk) Abandon();
    throw;
  }
  if (!FBulk) {
    FFirstPost = post;
    FRowStarts.push_back(start);
  } else if (FStreamRows++ == 0) {
    FStreamFirstPost = post;
  }
  try {
    if (!FBulk) {
      EndSegment();
      return;
    }
    if (FRows.size() >= kSendBytes) SendPending();
    if (!FCopying) return;  // the send failed and the COPY was settled
    if (FTransactionRows + FStreamRows >= FPerTransaction) {
      EndSegment();
      Commit();
    } else if (FStream.Size() >= kStreamBytes) {
      EndSegment();
    }
  } catch (const EDatabaseFailure& e) {
    // This record's Post fails: it is not among the posted records lost.
    throw EDatabaseFailure(e.Message(), e.Lost() > 0 ? e.Lost() - 1 : 0);
  }
}

// Hands the rows waiting in FRows to the server, keeping them in the spill
// buffer for a retry.
void TCopyWriter::SendPending() {
  if (FRows.empty()) return;
  Keep();
  const bool sent =
      PQputCopyData(FConn.get(), FRows.data(), static_cast<int>(FRows.size())) == 1;
  FRows.clear();
  // The server has stopped the COPY (a refused row, a lost connection):
  // settle it now.
  if (!sent) EndSegment();
}

void TCopyWriter::Keep() {
  try {
    FStream.Append(FRows);
  } catch (const EInOutError& e) {
    TError error;
    error.Message = e.what();
    Break(error);
  }
}

void TCopyWriter::EndSegment() {
  if (!FCopying) return;
  FCopying = false;
  bool sent = true;
  if (!FRows.empty()) {
    if (FBulk) Keep();
    sent = PQputCopyData(FConn.get(), FRows.data(), static_cast<int>(FRows.size())) == 1;
  }
  if (sent && FBinary) {
    const std::string_view trailer = BinaryTrailer();
    PQputCopyData(FConn.get(), trailer.data(), static_cast<int>(trailer.size()));
  }
  PQputCopyEnd(FConn.get(), nullptr);
  TError e;
  const bool ok = DrainResults(FConn.get(), e);
  if (ok) {
    TError release;
    if (FInTransaction && !FConn.TryExec("RELEASE korvane_part", release)) Break(release);
    const std::int64_t rows =
        FBulk ? FStreamRows : static_cast<std::int64_t>(FRowStarts.size());
    FTransactionRows += FInTransaction ? rows : 0;
    if (!FInTransaction) FCommitted += rows;
    ClearRows();
    AfterCopy();
    return;
  }
  if (e.ConnectionLost || !IsRecordFault(e.SqlState)) Break(e);
  if (!FBulk) {
    TError undo;
    if (FInTransaction &&
        !FConn.TryExec("ROLLBACK TO SAVEPOINT korvane_part; RELEASE korvane_part", undo)) {
      Break(undo);
    }
    FRows.clear();
    FRowStarts.clear();
    throw EDatabaseError(e.Text());
  }
  TError undo;
  if (!FConn.TryExec("ROLLBACK TO SAVEPOINT korvane_part; RELEASE korvane_part", undo)) Break(undo);
  try {
    StoreAgain(e);
  } catch (const EInOutError& failure) {
    TError error;
    error.Message = failure.what();
    Break(error);
  }
  ClearRows();
  AfterCopy();
}

void TCopyWriter::AfterCopy() {
  if (FAfterCopy) FAfterCopy(FOmitted);
}

void TCopyWriter::RunOpening() {
  FOpeningPending = false;
  FOpeningInTransaction = FOwnTransaction;
  FOpening();
}

void TCopyWriter::RefuseRow(std::int64_t row, const TError& error) {
  if (FInTransaction) {
    --FTransactionRows;
  } else {
    --FCommitted;
  }
  if (!FBulk) throw EDatabaseError(error.Text());
  FPostFailed = true;
  ++FRefusals.Count;
  if (FRefusals.Messages.size() < TDataSet::kRefusalMessagesKept) {
    FRefusals.Messages.push_back(error.Text());
  }
  FRefusals.Posts.push_back({row, error.Text()});
}

void TCopyWriter::Count(const TLoadCounts& counts) {
  TLoadCounts& into = FBulk && FOwnTransaction && FInTransaction ? FPendingCounts : FCounts;
  into.Inserted += counts.Inserted;
  into.Updated += counts.Updated;
  into.Skipped += counts.Skipped;
}

TLoadCounts TCopyWriter::Counts() const {
  return {FCounts.Inserted + FPendingCounts.Inserted, FCounts.Updated + FPendingCounts.Updated,
          FCounts.Skipped + FPendingCounts.Skipped};
}

// Reads the rows of the refused COPY back in segments and stores each
// again, isolating the refused records. The segment holding the line the
// server named starts from the server's error.
void TCopyWriter::StoreAgain(const TError& failed) {
  const std::uint64_t size = FStream.Size();
  std::uint64_t offset = 0;
  std::int64_t rowsBefore = 0;
  std::size_t piece = kSegmentBytes;
  while (offset < size) {
    const auto left = size - offset;
    FStream.Read(offset, static_cast<std::size_t>(std::min<std::uint64_t>(piece, left)), FRows);
    FRowStarts.clear();
    const std::size_t end = FindRows(FRows, FBinary, FRowStarts);
    if (FRowStarts.empty()) {
      if (piece >= left) throw EInOutError("the rows kept to send again are cut short");
      piece *= 2;  // a row longer than the piece
      continue;
    }
    piece = kSegmentBytes;
    FRows.resize(end);
    const auto rows = static_cast<std::int64_t>(FRowStarts.size());
    FRowStarts.push_back(end);  // the end of the last row
    FFirstPost = FStreamFirstPost > 0 ? FStreamFirstPost + rowsBefore : 0;
    TError known = failed;
    known.Line -= rowsBefore;
    const bool named = failed.Line > rowsBefore && failed.Line <= rowsBefore + rows;
    StoreRange(0, static_cast<std::size_t>(rows), named ? &known : nullptr);
    offset += end;
    rowsBefore += rows;
  }
}

bool TCopyWriter::TryRange(std::size_t first, std::size_t last, TError& error) {
  Savepoint();
  if (!StartCopy(FOmitted, error)) {
    if (error.ConnectionLost) Break(error);
    throw EDatabaseError(error.Text());
  }
  const std::size_t from = FRowStarts[first];
  const std::size_t to = FRowStarts[last];
  bool sent = PQputCopyData(FConn.get(), FRows.data() + from, static_cast<int>(to - from)) == 1;
  if (sent && FBinary) {
    const std::string_view trailer = BinaryTrailer();
    PQputCopyData(FConn.get(), trailer.data(), static_cast<int>(trailer.size()));
  }
  PQputCopyEnd(FConn.get(), nullptr);
  const bool ok = DrainResults(FConn.get(), error);
  TError undo;
  if (ok) {
    if (!FConn.TryExec("RELEASE korvane_part", undo)) Break(undo);
    FTransactionRows += static_cast<std::int64_t>(last - first);
    FStreamRows -= static_cast<std::int64_t>(last - first);
    return true;
  }
  if (error.ConnectionLost || !IsRecordFault(error.SqlState)) Break(error);
  if (!FConn.TryExec("ROLLBACK TO SAVEPOINT korvane_part; RELEASE korvane_part", undo)) Break(undo);
  return false;
}

// Stores rows [first, last) of the segment, isolating each refused one. A
// known error is the one the rows just gave together.
void TCopyWriter::StoreRange(std::size_t first, std::size_t last, const TError* known) {
  while (first < last) {
    TError e;
    if (known != nullptr) {
      e = *known;
      known = nullptr;
    } else if (TryRange(first, last, e)) {
      return;
    }
    if (last - first == 1) {
      Refuse(first, e);
      return;
    }
    const std::size_t count = last - first;
    if (e.Line >= 1 && static_cast<std::size_t>(e.Line) <= count) {
      // The rows before the named one went in before it failed.
      const std::size_t bad = first + static_cast<std::size_t>(e.Line) - 1;
      if (bad > first) StoreRange(first, bad, nullptr);
      Refuse(bad, e);
      first = bad + 1;
    } else {
      const std::size_t middle = first + count / 2;
      StoreRange(first, middle, nullptr);
      first = middle;
    }
  }
}

void TCopyWriter::Refuse(std::size_t row, const TError& error) {
  FPostFailed = true;
  ++FRefusals.Count;
  --FStreamRows;
  if (FRefusals.Messages.size() < TDataSet::kRefusalMessagesKept) {
    FRefusals.Messages.push_back(error.Text());
  }
  // Rows of a segment come from consecutive posts.
  if (FFirstPost > 0) {
    FRefusals.Posts.push_back({FFirstPost + static_cast<std::int64_t>(row), error.Text()});
  }
}

void TCopyWriter::Commit() {
  if (!FInTransaction || !FOwnTransaction) return;
  TError e;
  if (FOpeningInTransaction && FTransactionRows == 0 && FPostFailed) {
    // Every row after the opening was refused: it waits for the next.
    FInTransaction = false;
    FOpeningInTransaction = false;
    FOpeningPending = true;
    FPendingCounts = {};
    if (!FConn.TryExec("ROLLBACK", e)) Break(e);
    return;
  }
  FOpeningInTransaction = false;
  if (!FConn.TryExec("COMMIT", e)) {
    FInTransaction = false;
    Break(e);
  }
  FInTransaction = false;
  FCommitted += FTransactionRows;
  FTransactionRows = 0;
  FCounts.Inserted += FPendingCounts.Inserted;
  FCounts.Updated += FPendingCounts.Updated;
  FCounts.Skipped += FPendingCounts.Skipped;
  FPendingCounts = {};
}

void TCopyWriter::BeginBulk() {
  CheckBroken();
  FBulk = true;
  FOwnTransaction = PQtransactionStatus(FConn.get()) == PQTRANS_IDLE;
  FInTransaction = !FOwnTransaction;
  FTransactionRows = 0;
  FOpeningPending = static_cast<bool>(FOpening);
  FOpeningInTransaction = false;
  FPostFailed = false;
}

void TCopyWriter::Flush() {
  CheckBroken();
  EndSegment();
}

void TCopyWriter::CommitNow() {
  CheckBroken();
  EndSegment();
  Commit();
}

void TCopyWriter::EndBulk() {
  if (!FBulk) return;
  try {
    CheckBroken();
    EndSegment();
    Commit();
    if (FOpeningPending && !FPostFailed) {
      // No record was stored, and none failed: the opening goes in on its
      // own.
      if (FOwnTransaction) {
        TError e;
        if (!FConn.TryExec("BEGIN", e)) Break(e);
        FInTransaction = true;
      }
      RunOpening();
    }
    Commit();
  } catch (...) {
    FBulk = false;
    FOpeningPending = false;
    throw;
  }
  FBulk = false;
  FInTransaction = false;
}

std::int64_t TCopyWriter::AbandonBulk() noexcept {
  if (!FBulk) return 0;
  FBulk = false;
  FOpeningPending = false;
  FOpeningInTransaction = false;
  FPendingCounts = {};
  if (!FBroken.empty()) return 0;  // rolled back, and said so, already
  PGconn* conn = FConn.get();
  std::int64_t dropped = FStreamRows;
  const bool segmentOpen = FCopying;
  if (FCopying) {
    FCopying = false;
    PQputCopyEnd(conn, "abandoned");
    TError ignored;
    DrainResults(conn, ignored);
  }
  TError ignored;
  if (FOwnTransaction) {
    if (FInTransaction) {
      dropped += FTransactionRows;
      FConn.TryExec("ROLLBACK", ignored);
    }
  } else if (segmentOpen) {
    FConn.TryExec("ROLLBACK TO SAVEPOINT korvane_part; RELEASE korvane_part", ignored);
  }
  FInTransaction = false;
  FTransactionRows = 0;
  ClearRows();
  return dropped;
}

void TCopyWriter::Abandon() noexcept {
  PGconn* conn = FConn.get();
  if (FCopying) {
    FCopying = false;
    PQputCopyEnd(conn, "abandoned");
    TError ignored;
    DrainResults(conn, ignored);
  }
  if (FInTransaction && FOwnTransaction && PQstatus(conn) == CONNECTION_OK) {
    TError ignored;
    FConn.TryExec("ROLLBACK", ignored);
  }
  FInTransaction = false;
}

TDataSet::TRefusals TCopyWriter::TakeRefusals() { return std::exchange(FRefusals, {}); }

}  // namespace korvane::pg

// A table, or a read-only query, of a PostgreSQL database as a dataset.
#pragma once

#include "core/api.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "datasets/sql_dataset.h"
#include "core/classes.h"
#include "data/db.h"
#include "core/published.h"

namespace korvane {

// TPostgresDataSet shows one table of a PostgreSQL database (read and
// append) or the result of one read-only query (read only) as a TDataSet,
// through libpq. It works with any server that speaks PostgreSQL's protocol
// and its COPY.
//
// Fields come from the catalog types (pg::FieldDefForColumn): int2
// ftSmallint, int4 ftInteger, int8 ftLargeint, a column filled by a sequence
// or an identity ftAutoInc, numeric of at most 15 digits ftBCD (a wider one,
// or one of no set precision, ftDecimalText holding its exact digits), money
// ftCurrency, float4/float8
// ftFloat, bool ftBoolean, date ftDate, time ftTime, timestamp and
// timestamptz ftDateTime, char(n)/varchar(n) ftString of Size n, text
// ftString of Size 255 (values are never cut), bytea ftBlob, and every other
// type ftString holding PostgreSQL's text form of the value. The session
// works in UTC unless the connection chooses a time zone (options=-c
// TimeZone=..., PGTZ).
//
// Reading streams the table (in its physical order) or the query (in its
// ORDER BY) through COPY ... TO STDOUT, one record at a time: memory stays
// flat whatever the size. A query runs in a read-only transaction.
//
// Appending: a field left null takes its column's default (a sequence, an
// identity, a DEFAULT expression); other null fields store NULL. Outside a
// bulk run each Post stores its record at once and raises EDatabaseError
// with the server's message and SQLSTATE when the table refuses it; a field
// of a serial or identity column left null then holds the value the column
// took. (In a bulk run the record is stored later, and such a field stays
// null.) Between
// BeginBulk and EndBulk the records go in through COPY ... FROM STDIN in
// transactions of BulkCommitCount records (see pg::TCopyWriter): a record
// the server refuses is isolated from the others of its group, which are
// stored, and is reported by TakeRefusals (at the latest after EndBulk, also
// a nested one). A lost connection, a cancelled statement or a failed COMMIT
// ends the run: Post and EndBulk raise, saying how many records were
// committed. Existing records cannot be edited.
//
// LoadMode: lmTruncate empties the table (TRUNCATE, or DELETE where a
// foreign key refers to it) in the bulk run's first transaction. The keyed
// modes copy each group into a temporary table and merge it into the table
// with one INSERT ... SELECT ... ON CONFLICT (see pg::TMerge); a record the
// merge refuses is isolated and reported as a refused COPY row is.
//
// COPY travels in the binary format, values converted here; a server that
// refuses it gets the text format for the rest of the connection.
//
// Owns its connection: opened by Open (or ExecSQL), closed by Close and the
// destructor. Not thread-safe.
class KORVANE_API TPostgresDataSet : public TSQLDataSet {
 public:
  explicit TPostgresDataSet(TComponent* owner);
  ~TPostgresDataSet() override;

  // Published properties, besides TSQLDataSet's. Connection and BinaryCopy
  // cannot change while the dataset is open (EDatabaseError).
  //
  // A postgresql:// URI or a libpq key=value string; libpq's environment
  // variables (PGHOST, PGPASSWORD, ...) and password file fill in what it
  // leaves out. A password in it is never shown: ShownConnection (what
  // settings files store and messages print) has "***" in its place.
  const std::string& Connection() const;
  std::string ShownConnection() const;
  void SetConnection(const std::string& value);
  // TableName is "name" or "schema.name". A part in double quotes is taken
  // as written ("Sales"."Q1 2026"); an unquoted part is looked up as written
  // and then in lower case, as PostgreSQL spells unquoted names, and a table
  // made by CreateTable gets the lower-case spelling.
  //
  // False makes COPY use the text format from the start (the binary format
  // is left automatically when a server refuses it).
  bool BinaryCopy() const;
  void SetBinaryCopy(bool value);
  // Whether times and timestamps keep their microseconds and a timestamptz
  // its offset: such values are read as PostgreSQL's text of them (a
  // timestamptz in the session's TimeZone, as psql writes it), which the
  // field keeps whole (StoredText), and a field's ISO text is written
  // exactly. False, the initial value, reads them as date-times rounded to
  // the millisecond, a timestamptz as its UTC time.
  bool ExactTimes() const;
  void SetExactTimes(bool value);
  // Whether the session works in UTC whatever the connection chooses (a
  // timestamptz is then read with +00, and one without an offset is
  // written as UTC). False, the initial value: the connection's time zone
  // (options, PGTZ), else UTC.
  bool UtcTimes() const;
  void SetUtcTimes(bool value);

  // Connections a read of the table or a bulk run uses at once: 1 (the
  // initial value) reads and appends over the dataset's own connection; N
  // opens N more, each on a thread of its own; 0 takes the server's
  // max_parallel_workers or the client's cores, whichever is fewer.
  //
  // Reading: the table's pages are cut into ranges read by one COPY each,
  // all in the snapshot of one transaction (pg_export_snapshot), and the
  // records come in the order of the pages, as one COPY gives them (or as
  // the connections deliver them, with UnorderedRead). A query, a view, a
  // partitioned table, a server before PostgreSQL 14 (no scan by page
  // range) or one that cannot share a snapshot is read over one connection,
  // and so is a table open for appending (ReadOnly false).
  //
  // A bulk run (outside a transaction of the host) deals the records out
  // to the connections, each storing them in its own transactions of
  // BulkCommitCount records (see pg::TParallelLoad): lmAppend in blocks,
  // lmReplace, lmUpsert and lmSkip by the value of the key, each key's
  // records to one connection (a key column of a type whose equal values
  // may be written differently, a float or a timestamp, loads over one).
  // lmTruncate and a host's transaction use one connection. JobsNote says
  // why fewer connections ran than asked.
  // Jobs may change while the dataset is open: it counts from the next
  // First or bulk run on.
  std::int32_t Jobs() const;
  void SetJobs(std::int32_t value);
  bool UnorderedRead() const;
  void SetUnorderedRead(bool value);
  // What the server says beside results on the dataset's connection (a
  // NOTICE or WARNING: of a trigger, of the host's ExecSQL, ...), as its
  // one text without the line end ("NOTICE:  table \"t\" does not exist,
  // skipping"), with the dataset as Sender, on the thread that uses the
  // connection. Empty (initially): printed to stderr, as libpq does. The
  // connections Jobs opens beside it print theirs to stderr. A handler
  // must not raise: the process ends if one does.
  using TNoticeEvent = std::function<void(TObject* Sender, const std::string& Text)>;
  const TNoticeEvent& OnNotice() const;
  void SetOnNotice(TNoticeEvent value);
  // The connections the last read or bulk run used, and why fewer than
  // Jobs asked for (empty when as many ran, or Jobs is 1).
  std::int32_t JobsUsed() const;
  const std::string& JobsNote() const;
  // How many records each connection of the last bulk run over several
  // committed ("records committed by connection: ..."); empty when it used
  // one.
  const std::string& JobsCommitted() const;
  // What Jobs 0 comes to on this connection (connects when needed).
  std::int32_t AutoJobs();

  // True while the connection's COPY travels in the binary format (false
  // once the server refused it, or with BinaryCopy false). Columns of types
  // without a kind of their own are written in the text format anyway.
  bool CopiesBinary() const;

  bool CanModify() const override;
  // count(*) of the table or query; -1 when closed or on an error.
  int RecordCount() const override;
  void BeginBulk() override;
  void EndBulk() override;
  // Rolls back the records posted since the bulk run's last commit (see
  // pg::TCopyWriter::AbandonBulk) when it ends the outermost bulk run.
  std::int64_t AbandonBulk() override;
  TRefusals TakeRefusals() override;
  std::int64_t HeldPosts() const override;
  TLoadCounts LoadCounts() const override;

  // Runs SQL statements on the connection, connecting when needed. Raises
  // EDatabaseError with the server's message.
  void ExecSQL(const std::string& sql);
  // True when the database holds a table or view of that name (spelled as
  // for TableName).
  bool TableExists(const std::string& name);
  // Connects now (a no-op when connected); raises EDatabaseError with
  // libpq's reason on one line.
  void Connect();
  // Whether the server runs on this machine, reached over a Unix-domain
  // socket or a loopback address (connects when needed): its processes
  // then share this machine's processors with the host, one for each
  // connection reading or loading at once.
  bool ServerOnThisMachine();

  // A column definition for Columns: the quoted name and the PostgreSQL
  // type that maps back to the field's type (NOT NULL for a Required field,
  // an identity for ftAutoInc).
  static std::string ColumnDefinition(const TFieldDef& def);

 protected:
  void InternalOpen() override;
  void InternalClose() override;
  bool InternalFirst() override;
  bool InternalNext() override;
  void InternalPost() override;

 private:
  struct KORVANE_LOCAL TState;

  void OpenTable();
  void OpenQuery();

  std::unique_ptr<TState> FState;
};

// The published-property description of TPostgresDataSet (class name
// "TPostgresDataSet"). Its Connection is stored without the password.
template <>
KORVANE_API TComponentClass ComponentClass<TPostgresDataSet>();

}  // namespace korvane

// A table, or a read-only query, of a SQLite database file as a dataset.
#pragma once

#include "core/api.h"

#include <concepts>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "datasets/sql_dataset.h"
#include "core/classes.h"
#include "data/db.h"
#include "data/db_failure.h"
#include "core/published.h"

namespace korvane {

namespace sqlite_parts {
struct TSQLiteSource;
}

// Values a walk read that did not fit their column's field type: how many,
// and the first one's row (its rowid, or its place in a query's result
// counting from 1), column and text as SQLite holds it.
struct KORVANE_API TSQLiteMisfits {
  std::int64_t Count = 0;
  std::int64_t Row = 0;
  std::string Column;
  std::string Text;
};

// TSQLiteDataSet shows one table of a SQLite database file (read, append,
// edit) or the result of one read-only query (read only) as a TDataSet.
//
// Fields are made from the declared column types (FieldDefForColumn), and
// values are stored in SQLite's own terms so that other tools read them
// naturally: dates as TEXT 'YYYY-MM-DD', date-times as 'YYYY-MM-DD HH:MM:SS'
// (with '.fff' only when there are milliseconds), times as 'HH:MM:SS',
// booleans as INTEGER 0/1, money as the REAL amount, blobs as BLOB. Reading
// also accepts the other forms SQLite's date functions know (Julian day
// numbers as REAL, Unix times as INTEGER) and treats an empty text in a
// typed column as null. A value that is none of these (SQLite lets a DATE
// column hold 'garbage', an INTEGER column 2.5, a BLOB column a text, a TEXT
// column a blob) does not stop a walk: the field shows it as the text SQLite
// holds (TField::StoredText; a blob field as its bytes, a text field a
// blob's bytes), and Misfits counts it.
//
// Loading into rows the table holds (LoadMode): see TSQLiteBulkWriter.
//
// Appending: a field left null in an appended record is left out of the
// INSERT, so the column takes its default (NULL where it has none) and an
// INTEGER PRIMARY KEY column gets the next id, which the
// field shows after Post. A record the database refuses raises
// EDatabaseError from Post with SQLite's message; the dataset stays usable.
//
// Bulk loading: between BeginBulk and EndBulk the posts are grouped into
// transactions of BulkCommitCount records, with one prepared INSERT per set
// of assigned columns. A refused record never takes the rest of its group
// with it. When the database itself fails (full, I/O error, corrupt,
// read-only, locked past BusyTimeout), the group in progress is rolled back
// and Post or EndBulk raises EDatabaseFailure, saying how many posted
// records it took. When EndBulk returns, every record posted was committed; a crash
// or kill in between loses at most the group in progress and leaves a
// consistent database (journal and syncing stay as the database has them).
//
// Owns its database connection: opened by Open (or by ExecSQL), closed by
// Close and by the destructor. Not thread-safe: a dataset and its connection
// belong to one thread at a time.
class KORVANE_API TSQLiteDataSet : public TSQLDataSet {
 public:
  explicit TSQLiteDataSet(TComponent* owner);
  ~TSQLiteDataSet() override;

  // Published properties, besides TSQLDataSet's. DatabaseFile and
  // ForeignKeys cannot change while the dataset is open (EDatabaseError).
  //
  // The database file. Open refuses a file that does not exist unless
  // CreateTable is set; ":memory:" is a private in-memory database.
  const std::string& DatabaseFile() const;
  void SetDatabaseFile(const std::string& value);
  // The same for a path (its native text).
  template <std::same_as<std::filesystem::path> P>
  void SetDatabaseFile(const P& value) {
    SetDatabaseFile(value.string());
  }
  // Enforces foreign keys on the connection (SQLite leaves them off unless
  // asked).
  bool ForeignKeys() const;
  void SetForeignKeys(bool value);
  // Whether a text stored into a column of texts that SQLite gives numeric
  // affinity (declared STRING, JSON, UUID, ...: no INT, CHAR, CLOB, TEXT,
  // BLOB, REAL, FLOA or DOUB in its type, nor NUM, which names a number),
  // which SQLite turns into a number when it reads as one, is refused when
  // that number would not give back the text: "007" (stored 7), "1.50",
  // "1e5", " 5", an integer beyond 64 bits. False, the initial value, stores
  // it as SQLite does.
  bool ExactTexts() const;
  void SetExactTexts(bool value);
  // How long to wait for another connection's lock, in milliseconds, before
  // failing with "database is locked".
  std::int32_t BusyTimeout() const;
  void SetBusyTimeout(std::int32_t value);
  // BulkCommitCount: each commit waits for the disk (tens of milliseconds);
  // the default group is half a second or so of inserting, so commits cost
  // a few percent of a load while a killed run loses at most that group.
  // The page cache spills to the database file, so memory does not grow
  // with the group.

  // False for a query, a view, a read-only database or ReadOnly.
  bool CanModify() const override;
  // The number of rows (SELECT count(*)); -1 when closed or on an error.
  int RecordCount() const override;
  // Starts grouping posts into transactions; raises EDatabaseError when the
  // database cannot be locked for writing (after BusyTimeout). Calls nest;
  // inside a transaction the host started itself, the host's transaction is
  // used as it is.
  void BeginBulk() override;
  // Commits the group in progress. Raises EDatabaseError when it cannot
  // (the group is then rolled back, and the message says how many records
  // were lost) or when an earlier group was lost to a database error.
  void EndBulk() override;
  // At the outermost level, rolls the group in progress back and ends the
  // bulk run; nested, EndBulk.
  std::int64_t AbandonBulk() override;
  TLoadCounts LoadCounts() const override;

  // The values read since the last First that did not fit their field's
  // type.
  const TSQLiteMisfits& Misfits() const;

  // Runs SQL statements on the connection, opening it (and creating the
  // database file) when needed. Raises EDatabaseError with SQLite's message.
  void ExecSQL(const std::string& sql);
  // True when the database holds a table or view of that name.
  bool TableExists(const std::string& name);

  // The field for a column of a declared type, by these rules (first match,
  // case-insensitive): contains BOOL: ftBoolean; DATETIME or TIMESTAMP:
  // ftDateTime; DATE: ftDate; TIME: ftTime; MONEY or CURRENCY: ftCurrency;
  // SMALLINT or INT2: ftSmallint; MEDIUMINT or INT4: ftInteger; other INT
  // (INTEGER, INT, BIGINT, INT8, the rowid alias INTEGER PRIMARY KEY): ftLargeint,
  // as SQLite holds them in 64 bits; DECIMAL_TEXT: ftDecimalText (TEXT
  // affinity: SQLite keeps the digits as they are); DECIMAL or NUMERIC: ftBCD;
  // REAL, FLOA or DOUB: ftFloat; CLOB or MEMO: ftMemo; BLOB: ftBlob; a type
  // with a length, CHAR(n), VARCHAR(n), ...: ftString of Size n; anything
  // else: ftString of Size 255.
  static TFieldDef FieldDefForColumn(const std::string& name, const std::string& declaredType,
                                     bool rowidAlias = false);
  // A declared type that maps back to dataType (and size) under
  // FieldDefForColumn (ftWord and ftAutoInc to the wider ftLargeint) and
  // gives SQLite's matching column affinity.
  static std::string DeclaredType(TFieldType dataType, int size = 0);
  // A column definition for Columns: the quoted name, DeclaredType (with
  // the Precision and Scale of an ftDecimalText: DECIMAL_TEXT(p,s)), PRIMARY
  // KEY for ftAutoInc, NOT NULL for a Required field.
  static std::string ColumnDefinition(const TFieldDef& def);

 protected:
  void InternalOpen() override;
  void InternalClose() override;
  bool InternalFirst() override;
  bool InternalNext() override;
  void InternalPost() override;

 private:
  struct KORVANE_LOCAL TState;

  void ReadOnlyChanged() override;
  void OpenConnection(bool create);
  void CloseConnection() noexcept;
  void OpenTable();
  void OpenQuery();
  // Makes the fields of what Open found and hands its SELECT to the cursor.
  void ShowSource(sqlite_parts::TSQLiteSource&& source);

  std::unique_ptr<TState> FState;
};

// The published-property description of TSQLiteDataSet (class name
// "TSQLiteDataSet"), for settings files and setting properties by name. The
// host registers it (RegisterClass) where it wants the class known.
template <>
KORVANE_API TComponentClass ComponentClass<TSQLiteDataSet>();

}  // namespace korvane

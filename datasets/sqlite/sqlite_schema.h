// Schema mapping of the SQLite dataset: declared column types to fields.
// Private to datasets/sqlite_*.cpp.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "datasets/sqlite/sqlite_handles.h"
#include "core/classes.h"
#include "data/db.h"

namespace korvane::sqlite_parts {

// How a column's values are bound and read (see TSQLiteCodec): a codec
// strategy per column, finer than how a value is held (TValueKind): money,
// dates and times are converted on the way, blobs are not texts.
enum class TStorage : std::uint8_t {
  Integer,
  Boolean,
  Float,
  Currency,
  Date,
  Time,
  DateTime,
  Text,
  Blob,
  // A value of the kind SQLite holds it in: integer, double or text.
  Variant,
  // A table's column of no declared type, shown as text: SQLite keeps any
  // kind of value in it as it was given.
  Untyped
};

TStorage StorageFor(TFieldType type);

struct TSQLiteColumn {
  std::string Name;  // as the database spells it; for a query, the field's name
  TFieldDef Def;     // the field that shows it
  TStorage Storage = TStorage::Text;
  bool Insertable = true;  // not generated, not a query's
  bool AutoInc = false;    // the rowid alias
  // A column of texts that SQLite gives numeric affinity: a text that reads
  // as a number is stored as that number.
  bool NumericText = false;
};

// What Open found about a table or a query: its columns and their fields,
// whether it can be written, how its rowid is reached, and the SELECT that
// walks it (handed to the cursor).
struct TSQLiteSource {
  bool IsQuery = false;
  bool Writable = false;
  std::string Table;  // the name as the database spells it
  std::string Rowid;  // how to reach the rowid; empty when there is none
  std::vector<TSQLiteColumn> Cols;
  bool HasAutoInc = false;  // a column is the rowid alias
  // A table's primary key and its other unique keys (no partial or
  // expression ones), column names in key order.
  std::vector<std::string> PrimaryKey;
  std::vector<std::vector<std::string>> UniqueKeys;
  std::string QueryText;    // the query's one statement, without its ';'
  // For a table with a rowid, the rowid comes first and a parameter ?1
  // starts the walk at a rowid.
  TStmt Select;

  // 1 when each row the SELECT gives starts with its rowid.
  int Offset() const { return (Rowid.empty() || IsQuery) ? 0 : 1; }
};

struct TSQLiteTableRequest {
  std::string Name;
  std::string DatabaseFile;  // for messages
  bool Create = false;       // create the table from Columns when it is missing
  std::vector<std::string> Columns;
  bool ReadOnly = false;
};

// TSQLiteSchema maps a database's schema to fields: it reads a table's
// columns (pragma_table_xinfo) or a query's result columns, gives each the
// field its declared type maps to (TSQLiteDataSet::FieldDefForColumn),
// finds the rowid and its alias, tells generated columns (read-only) from
// insertable ones, creates a missing table on request and prepares the
// SELECT the cursor walks. It owns nothing between calls: each returns the
// TSQLiteSource it found, and raises EDatabaseError where the table or
// query cannot be shown.
class TSQLiteSchema {
 public:
  static TSQLiteSource MapTable(sqlite3* db, const TSQLiteTableRequest& request);
  static TSQLiteSource MapQuery(sqlite3* db, const std::string& query);
};

}  // namespace korvane::sqlite_parts

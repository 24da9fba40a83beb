// The database behind --db: the command chooses the dataset class here, so
// that a second database is one new case in cli_database.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "core/classes.h"
#include "data/db.h"
#include "datasets/sql_dataset.h"

namespace korvane::cli {

// Values a walk of the dataset read that did not fit their column's type,
// and which it shows as the database holds them: how many, and the first
// one's row, column and text.
struct TMisfitValues {
  std::int64_t Count = 0;
  std::int64_t Row = 0;
  std::string Column;
  std::string Text;
};

// What the command needs of a dataset that stands for a database table or
// query, whichever database it is. Refers to the dataset; its owner keeps
// it alive.
class TDatabaseTable {
 public:
  virtual ~TDatabaseTable() = default;

  virtual TDataSet& DataSet() const = 0;
  // The same dataset with the settings every SQL database shares.
  virtual TSQLDataSet& SQLDataSet() const = 0;
  // Where the database is, as messages name it; empty when none was given.
  virtual std::string Location() const = 0;
  // Raises EUsageError saying how to give the database when Location is
  // empty.
  virtual void RequireLocation() const = 0;
  // Whether the database is there already.
  virtual bool Exists() const = 0;
  virtual bool TableExists(const std::string& name) = 0;

  virtual const std::string& TableName() const = 0;
  virtual const std::string& Query() const = 0;
  virtual bool CreateTable() const = 0;
  virtual void SetTableName(const std::string& value) = 0;
  virtual void SetQuery(const std::string& value) = 0;
  virtual void SetReadOnly(bool value) = 0;
  virtual void SetBulkCommitCount(std::int32_t value) = 0;
  // The declared type of a new column of exact decimals of any size:
  // SQLite's DECIMAL_TEXT (kept as text, digit for digit), PostgreSQL's
  // numeric.
  virtual std::string_view ExactDecimalType() const = 0;
  // The most columns a new table may have for the dataset to load it:
  // SQLite's column limit (2000 as it is usually built) less the rowid read
  // beside them, PostgreSQL's 1600.
  virtual std::size_t MaxColumns() const = 0;
  // Where MaxColumns comes from, for messages: "SQLite's limit of 2000,
  // less the rowid read beside them".
  virtual std::string MaxColumnsNote() const = 0;
  // Makes the session work in UTC where the database has sessions with a
  // time zone (PostgreSQL's UtcTimes).
  virtual void SetUtcTimes(bool value) = 0;
  // Whether its columns keep what a date-time and a currency field do not
  // reach, so that the import takes it (TCSVImport::WideDates and
  // WideMoney): dates before Christ or after 9999, the infinities, a time
  // of 24:00:00, money beyond 922337203685477.5807 (PostgreSQL's under
  // ExactTimes, which the command turns on).
  virtual bool KeepsWideValues() const = 0;
  // --jobs: connections at once (0: as many as fit). Raises EUsageError
  // for more than 1 where the database takes one connection at a time.
  virtual void SetJobs(std::int32_t value) = 0;
  virtual void SetUnorderedRead(bool value) = 0;
  // Why the last read or load used fewer connections than --jobs asked;
  // empty when it used as many.
  virtual std::string JobsNote() const = 0;
  // How many records each connection of the last load over several
  // committed; empty when it used one.
  virtual std::string JobsCommitted() const = 0;
  // What --jobs auto comes to: the connections the database serves at once
  // for one load (1 where it takes one writer).
  virtual std::int32_t AutoJobs() = 0;
  // Whether a database server on this machine does the reading and writing
  // (its processes take this machine's processors, one per connection);
  // false for an embedded database, which works on the caller's threads.
  virtual bool ServerOnThisMachine() = 0;
  // A second dataset of the same class and settings, owned by root and not
  // open, that loads over a connection of its own (Jobs 1) into the table,
  // which it does not create.
  virtual std::unique_ptr<TDatabaseTable> Another(TComponent& root) const = 0;
  // Makes the dataset create its table, with these column definitions, on
  // Open.
  virtual void SetCreateWith(const TStrings& columns) = 0;
  // The values since the walk's First that did not fit their column.
  virtual TMisfitValues Misfits() const = 0;
  // Runs SQL on the dataset's connection (BEGIN, COMMIT, ...); raises with
  // the database's message.
  virtual void ExecSQL(const std::string& sql) = 0;
};

// Why an import cannot add records to table (CanModify is false): a
// database file that cannot be written is said to be read-only.
std::string ReadOnlyMessage(TDatabaseTable& table);

// A new dataset, owned by root, for the database database names (the --db
// value; an empty one gives a dataset whose RequireLocation raises).
std::unique_ptr<TDatabaseTable> CreateDatabaseTable(TComponent& root, const std::string& database);
// The dataset of the options --db, --table and --query (empty: not given),
// named after the table, or `unnamed` without one.
std::unique_ptr<TDatabaseTable> CreateOptionsTable(TComponent& root, const std::string& database,
                                                   const std::string& table,
                                                   const std::string& query,
                                                   const std::string& unnamed);
// ExactDecimalType of the database database names, without reaching it.
std::string_view ExactDecimalTypeFor(const std::string& database);
// The database database names, for a command line the user is shown to
// repeat: its Location with no password in it (the server asks for it, or
// PGPASSWORD or a password file gives it).
std::string LocationToRepeat(const std::string& database);
// The same view of a dataset made elsewhere (a settings file); nullptr when
// it stands for no database the command knows.
std::unique_ptr<TDatabaseTable> AsDatabaseTable(TDataSet* dataSet);
// Gives to the published properties that settings files store (component
// references left out) the values they have in from, a component of the
// same registered class.
void CopyStoredProperties(const TComponent& from, TComponent& to);
// Registers the dataset classes of every database, for settings files.
void RegisterDatabaseClasses();

}  // namespace korvane::cli

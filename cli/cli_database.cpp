#include "cli/cli_database.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "cli/cli_util.h"
#include "datasets/sqlite/sqlite_dataset.h"
#if KORVANE_WITH_POSTGRES
#include "datasets/postgres/postgres_connection.h"
#include "datasets/postgres/postgres_dataset.h"
#endif
#include "core/published.h"
#include "registry/kvprops.h"

namespace korvane::cli {
namespace {

// What differs between databases: how --db names one, where it is and
// whether it is there. One set of these per database, and one row in
// kDatabases.

bool PathExists(const std::string& path) {
  struct stat info {};
  return path == ":memory:" || ::stat(path.c_str(), &info) == 0;
}

// SQLite: --db is the database file. The command refuses a text that a
// column of numeric affinity would store as another number (ExactTexts).
void Locate(TSQLiteDataSet& ds, const std::string& database) {
  ds.SetDatabaseFile(database);
  ds.SetExactTexts(true);
}
std::string LocationOf(const TSQLiteDataSet& ds) { return ds.DatabaseFile(); }
const char* MissingLocation(const TSQLiteDataSet&) {
  return "give the database file with --db FILE";
}
bool DatabaseExists(const TSQLiteDataSet& ds) { return PathExists(ds.DatabaseFile()); }
bool NamesSQLite(const std::string&) { return true; }  // any other --db is a file
std::string_view ExactDecimalTypeOf(const TSQLiteDataSet*) { return "DECIMAL_TEXT"; }
// The library's own limit (SQLITE_MAX_COLUMN, 2000 unless built otherwise),
// which every connection starts with, less the rowid that the dataset reads
// beside a table's columns: a SELECT of more fails (too many columns in
// result set), so a table of 2000 columns could be made but not loaded.
std::size_t MaxColumnsOf(const TSQLiteDataSet&) {
  static const std::size_t limit = [] {
    sqlite3* raw = nullptr;
    const int rc = sqlite3_open(":memory:", &raw);
    const std::unique_ptr<sqlite3, int (*)(sqlite3*)> db(raw, sqlite3_close);
    return static_cast<std::size_t>(
               rc == SQLITE_OK ? sqlite3_limit(db.get(), SQLITE_LIMIT_COLUMN, -1) : 2000) -
           1;
  }();
  return limit;
}
std::string MaxColumnsNoteOf(const TSQLiteDataSet& ds) {
  return "SQLite's limit of " + std::to_string(MaxColumnsOf(ds) + 1) +
         ", less the rowid read beside them";
}
// One writer at a time, and a file read best by one reader.
void SetJobsOf(TSQLiteDataSet&, std::int32_t value) {
  if (value > 1) {
    throw EUsageError("--jobs " + std::to_string(value) +
                      ": a SQLite database takes one writer at a time, and its file is read "
                      "fastest by one reader; --jobs is for PostgreSQL (--db postgresql://...)");
  }
}
void SetUnorderedReadOf(TSQLiteDataSet&, bool) {}
std::string JobsNoteOf(const TSQLiteDataSet&) { return {}; }
std::string JobsCommittedOf(const TSQLiteDataSet&) { return {}; }
std::int32_t AutoJobsOf(TSQLiteDataSet&) { return 1; }
bool ServerOnThisMachineOf(TSQLiteDataSet&) { return false; }
bool KeepsWideValuesOf(const TSQLiteDataSet&) { return false; }
TMisfitValues MisfitsOf(const TSQLiteDataSet& ds) {
  const TSQLiteMisfits& m = ds.Misfits();
  return {m.Count, m.Row, m.Column, m.Text};
}
// SQLite has no time zones: --utc is the import's and the export's alone.
void WorkInUtc(TSQLiteDataSet&, bool) {}

#if KORVANE_WITH_POSTGRES
// PostgreSQL: --db is a postgresql:// (or postgres://) URI. The location
// shown never holds the password. A server that cannot be reached, refuses
// the login or has no such database is a usage error with libpq's reason.
// The command keeps microseconds and offsets (ExactTimes).
void Locate(TPostgresDataSet& ds, const std::string& database) {
  ds.SetConnection(database);
  ds.SetExactTimes(true);
}
std::string LocationOf(const TPostgresDataSet& ds) { return ds.ShownConnection(); }
const char* MissingLocation(const TPostgresDataSet&) {
  return "give the database with --db FILE or --db postgresql://HOST/DATABASE";
}
bool DatabaseExists(TPostgresDataSet& ds) {
  try {
    ds.Connect();
  } catch (const Exception& e) {
    throw EUsageError(e.Message());
  }
  return true;
}
bool NamesPostgres(const std::string& database) { return pg::IsPostgresUri(database); }
std::string_view ExactDecimalTypeOf(const TPostgresDataSet*) { return "NUMERIC"; }
std::size_t MaxColumnsOf(const TPostgresDataSet&) { return 1600; }
std::string MaxColumnsNoteOf(const TPostgresDataSet&) { return "PostgreSQL's limit"; }
void WorkInUtc(TPostgresDataSet& ds, bool value) { ds.SetUtcTimes(value); }
void SetJobsOf(TPostgresDataSet& ds, std::int32_t value) { ds.SetJobs(value); }
void SetUnorderedReadOf(TPostgresDataSet& ds, bool value) { ds.SetUnorderedRead(value); }
std::string JobsNoteOf(const TPostgresDataSet& ds) { return ds.JobsNote(); }
std::string JobsCommittedOf(const TPostgresDataSet& ds) { return ds.JobsCommitted(); }
std::int32_t AutoJobsOf(TPostgresDataSet& ds) { return ds.AutoJobs(); }
bool ServerOnThisMachineOf(TPostgresDataSet& ds) { return ds.ServerOnThisMachine(); }
bool KeepsWideValuesOf(const TPostgresDataSet& ds) { return ds.ExactTimes(); }
// Every PostgreSQL value is of its column's type.
TMisfitValues MisfitsOf(const TPostgresDataSet&) { return {}; }
#endif

// The rest is the same for every database's dataset class.
template <class TClass>
class TDatabaseTableOf final : public TDatabaseTable {
 public:
  explicit TDatabaseTableOf(TClass& ds) : FDataSet(ds) {}

  TDataSet& DataSet() const override { return FDataSet; }
  TSQLDataSet& SQLDataSet() const override { return FDataSet; }
  std::string Location() const override { return LocationOf(FDataSet); }
  void RequireLocation() const override {
    if (Location().empty()) throw EUsageError(MissingLocation(FDataSet));
  }
  bool Exists() const override { return DatabaseExists(FDataSet); }
  bool TableExists(const std::string& name) override { return FDataSet.TableExists(name); }
  const std::string& TableName() const override { return FDataSet.TableName(); }
  const std::string& Query() const override { return FDataSet.Query(); }
  bool CreateTable() const override { return FDataSet.CreateTable(); }
  void SetTableName(const std::string& value) override { FDataSet.SetTableName(value); }
  void SetQuery(const std::string& value) override { FDataSet.SetQuery(value); }
  void SetReadOnly(bool value) override { FDataSet.SetReadOnly(value); }
  void SetBulkCommitCount(std::int32_t value) override { FDataSet.SetBulkCommitCount(value); }
  void SetUtcTimes(bool value) override { WorkInUtc(FDataSet, value); }
  bool KeepsWideValues() const override { return KeepsWideValuesOf(FDataSet); }
  void SetJobs(std::int32_t value) override { SetJobsOf(FDataSet, value); }
  void SetUnorderedRead(bool value) override { SetUnorderedReadOf(FDataSet, value); }
  std::string JobsNote() const override { return JobsNoteOf(FDataSet); }
  std::string JobsCommitted() const override { return JobsCommittedOf(FDataSet); }
  TMisfitValues Misfits() const override { return MisfitsOf(FDataSet); }
  void ExecSQL(const std::string& sql) override { FDataSet.ExecSQL(sql); }
  std::string_view ExactDecimalType() const override { return ExactDecimalTypeOf(&FDataSet); }
  std::size_t MaxColumns() const override { return MaxColumnsOf(FDataSet); }
  std::string MaxColumnsNote() const override { return MaxColumnsNoteOf(FDataSet); }
  std::int32_t AutoJobs() override { return AutoJobsOf(FDataSet); }
  bool ServerOnThisMachine() override { return ServerOnThisMachineOf(FDataSet); }
  std::unique_ptr<TDatabaseTable> Another(TComponent& root) const override {
    auto* ds = new TClass(&root);
    CopyStoredProperties(FDataSet, *ds);
    SetJobsOf(*ds, 1);
    ds->SetCreateTable(false);
    return std::make_unique<TDatabaseTableOf<TClass>>(*ds);
  }
  void SetCreateWith(const TStrings& columns) override {
    FDataSet.SetColumns(&columns);
    FDataSet.SetCreateTable(true);
  }

 private:
  TClass& FDataSet;
};

template <class TClass>
std::unique_ptr<TDatabaseTable> Create(TComponent& root, const std::string& database) {
  auto* ds = new TClass(&root);
  Locate(*ds, database);
  return std::make_unique<TDatabaseTableOf<TClass>>(*ds);
}

template <class TClass>
std::unique_ptr<TDatabaseTable> Adopt(TDataSet* dataSet) {
  auto* ds = dynamic_cast<TClass*>(dataSet);
  if (ds == nullptr) return nullptr;
  return std::make_unique<TDatabaseTableOf<TClass>>(*ds);
}

template <class TClass>
std::string_view ExactDecimal() {
  return ExactDecimalTypeOf(static_cast<const TClass*>(nullptr));
}

template <class TClass>
void Register() {
  RegisterClass(ComponentClass<TClass>());
}

struct TDatabaseKind {
  bool (*Names)(const std::string& database);
  std::unique_ptr<TDatabaseTable> (*Create)(TComponent& root, const std::string& database);
  std::unique_ptr<TDatabaseTable> (*Adopt)(TDataSet* dataSet);
  void (*Register)();
  std::string_view (*ExactDecimal)();
};

// Asked in order; the last takes every --db.
constexpr TDatabaseKind kDatabases[] = {
#if KORVANE_WITH_POSTGRES
    {NamesPostgres, Create<TPostgresDataSet>, Adopt<TPostgresDataSet>, Register<TPostgresDataSet>,
     ExactDecimal<TPostgresDataSet>},
#endif
    {NamesSQLite, Create<TSQLiteDataSet>, Adopt<TSQLiteDataSet>, Register<TSQLiteDataSet>,
     ExactDecimal<TSQLiteDataSet>},
};

}  // namespace

std::unique_ptr<TDatabaseTable> CreateDatabaseTable(TComponent& root, const std::string& database) {
  for (const TDatabaseKind& kind : kDatabases) {
    if (kind.Names(database)) return kind.Create(root, database);
  }
  return kDatabases[std::size(kDatabases) - 1].Create(root, database);
}

std::string_view ExactDecimalTypeFor(const std::string& database) {
  for (const TDatabaseKind& kind : kDatabases) {
    if (kind.Names(database)) return kind.ExactDecimal();
  }
  return kDatabases[std::size(kDatabases) - 1].ExactDecimal();
}

std::string LocationToRepeat(const std::string& database) {
  TComponent root(nullptr);
  std::string location = CreateDatabaseTable(root, database)->Location();
  for (std::size_t at = location.find(":***@"); at != std::string::npos;
       at = location.find(":***@", at)) {
    location.erase(at, 4);
  }
  return location;
}

std::unique_ptr<TDatabaseTable> CreateOptionsTable(TComponent& root, const std::string& database,
                                                   const std::string& table,
                                                   const std::string& query,
                                                   const std::string& unnamed) {
  std::unique_ptr<TDatabaseTable> result = CreateDatabaseTable(root, database);
  result->DataSet().SetName(table.empty() ? unnamed : table);
  result->SetTableName(table);
  if (!query.empty()) result->SetQuery(query);
  return result;
}

std::unique_ptr<TDatabaseTable> AsDatabaseTable(TDataSet* dataSet) {
  for (const TDatabaseKind& kind : kDatabases) {
    if (auto table = kind.Adopt(dataSet)) return table;
  }
  return nullptr;
}

void CopyStoredProperties(const TComponent& from, TComponent& to) {
  const TComponentClass info = ClassOf(from);
  if (info == nullptr) throw EPropertyError("the settings of this component cannot be copied");
  for (const TPropertyInfo& p : info->Properties) {
    if (p.Stored() && p.Kind != pkComponent) p.Set(to, p.Get(from));
  }
}

void RegisterDatabaseClasses() {
  for (const TDatabaseKind& kind : kDatabases) kind.Register();
}

std::string ReadOnlyMessage(TDatabaseTable& table) {
  const std::string location = table.Location();
  if (::access(location.c_str(), F_OK) == 0 && ::access(location.c_str(), W_OK) != 0) {
    return "database '" + location + "' is read-only (" + std::strerror(errno) +
           "): no record can be imported";
  }
  return "table '" + table.TableName() + "' in '" + location +
         "' is read-only (a view, or a database opened read-only): no record can be imported";
}

}  // namespace korvane::cli

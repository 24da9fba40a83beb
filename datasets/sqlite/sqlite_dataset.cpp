#include "datasets/sqlite/sqlite_dataset.h"

#include <sys/stat.h>

#include <cstdio>
#include <limits>
#include <string>
#include <utility>

#include "datasets/sqlite/sqlite_bulk_writer.h"
#include "datasets/sqlite/sqlite_cursor.h"
#include "datasets/sqlite/sqlite_handles.h"
#include "datasets/sqlite/sqlite_schema.h"
#include "core/sysutils.h"

namespace korvane {

using namespace sqlite_parts;

namespace {

bool IsSpecialFileName(const std::string& name) {
  return name == ":memory:" || name.rfind("file:", 0) == 0;
}

}  // namespace

// The dataset's parts while it is connected: the connection, what Open
// found (schema mapping), the cursor that reads and the writer that stores.
// The parts refer to each other and to the dataset, so they live and die
// together here; the connection outlives the source, which outlives the
// cursor and the writer.
struct TSQLiteDataSet::TState {
  explicit TState(TSQLiteDataSet* owner)
      : Cursor(*owner, Source), Writer(Db, *owner, Source, Cursor) {}

  TDb Db;
  TSQLiteSource Source;
  TSQLiteCursor Cursor;
  TSQLiteBulkWriter Writer;
  std::vector<bool> AutoInc;  // by field: the rowid alias

  // The properties' values.
  std::string FDatabaseFile;
  bool FForeignKeys = true;
  bool FExactTexts = false;
  std::int32_t FBusyTimeout = 5000;

  sqlite3* db() const { return Db.get(); }
  std::string ErrorMessage() const { return sqlite3_errmsg(Db.get()); }

  void ForgetSource() noexcept {
    Cursor.Forget();
    Writer.Forget();
    Source = TSQLiteSource{};
    AutoInc.clear();
  }
};

// ---------------------------------------------------------------------------

TSQLiteDataSet::TSQLiteDataSet(TComponent* owner)
    : TSQLDataSet(owner), FState(std::make_unique<TState>(this)) {}

const std::string& TSQLiteDataSet::DatabaseFile() const { return FState->FDatabaseFile; }
bool TSQLiteDataSet::ForeignKeys() const { return FState->FForeignKeys; }
bool TSQLiteDataSet::ExactTexts() const { return FState->FExactTexts; }
void TSQLiteDataSet::SetExactTexts(bool value) { FState->FExactTexts = value; }
std::int32_t TSQLiteDataSet::BusyTimeout() const { return FState->FBusyTimeout; }

// Programs built against an earlier library allocate the class with the size
// they were compiled with.
static_assert(sizeof(TSQLiteDataSet) == sizeof(TSQLDataSet) + sizeof(void*),
              "a property's value goes in TSQLiteDataSet::TState");

TSQLiteDataSet::~TSQLiteDataSet() {
  try {
    Close();
  } catch (...) {
    // A no-throw boundary: a destructor cannot report. A host that needs
    // to know whether an unfinished bulk run's records were stored calls
    // EndBulk first, which raises the reason.
  }
  CloseConnection();
}

void TSQLiteDataSet::SetDatabaseFile(const std::string& value) {
  CheckInactive("DatabaseFile");
  FState->FDatabaseFile = value;
  CloseConnection();
}

void TSQLiteDataSet::ReadOnlyChanged() { CloseConnection(); }

void TSQLiteDataSet::SetForeignKeys(bool value) {
  CheckInactive("ForeignKeys");
  FState->FForeignKeys = value;
  CloseConnection();
}

void TSQLiteDataSet::SetBusyTimeout(std::int32_t value) {
  FState->FBusyTimeout = value < 0 ? 0 : value;
  if (FState->Db) sqlite3_busy_timeout(FState->db(), FState->FBusyTimeout);
}

void TSQLiteDataSet::OpenConnection(bool create) {
  TState& s = *FState;
  if (s.Db) return;
  if (FState->FDatabaseFile.empty()) Fail("No DatabaseFile is set");
  struct stat info {};
  if (!create && !IsSpecialFileName(FState->FDatabaseFile) &&
      stat(FState->FDatabaseFile.c_str(), &info) != 0) {
    Fail("Database file '" + FState->FDatabaseFile + "' does not exist");
  }
  // The connection is never shared between threads (see the class comment),
  // so it needs no mutex of its own.
  int flags = SQLITE_OPEN_NOMUTEX;
  flags |=
      ReadOnly() ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0);
  sqlite3* raw = nullptr;
  const int rc = sqlite3_open_v2(FState->FDatabaseFile.c_str(), &raw, flags, nullptr);
  TDb db(raw);
  const std::string prefix = "Cannot open database '" + FState->FDatabaseFile + "': ";
  if (rc != SQLITE_OK) Fail(prefix + (raw ? sqlite3_errmsg(raw) : sqlite3_errstr(rc)));
  sqlite3_extended_result_codes(db.get(), 1);
  sqlite3_busy_timeout(db.get(), FState->FBusyTimeout);
  try {
    // Reading the schema is what finds out whether this is a database.
    QueryInt(db.get(), "SELECT count(*) FROM sqlite_schema");
    if (FState->FForeignKeys) Exec(db.get(), "PRAGMA foreign_keys=ON");
  } catch (const EDatabaseError& e) {
    Fail(prefix + e.Message());
  }
  s.Db = std::move(db);
}

void TSQLiteDataSet::CloseConnection() noexcept {
  TState& s = *FState;
  s.ForgetSource();
  s.Writer.Disconnect();
  s.Db.reset();
}

bool TSQLiteDataSet::TableExists(const std::string& name) {
  if (!FState->Db) {
    struct stat info {};
    if (!IsSpecialFileName(FState->FDatabaseFile) &&
        stat(FState->FDatabaseFile.c_str(), &info) != 0) {
      return false;
    }
    OpenConnection(false);
  }
  TStmt stmt = Prepare(FState->db(),
                       "SELECT 1 FROM pragma_table_list WHERE schema='main' AND name=?1 "
                       "COLLATE NOCASE");
  sqlite3_bind_text(stmt.get(), 1, name.data(), static_cast<int>(name.size()), SQLITE_STATIC);
  const int rc = sqlite3_step(stmt.get());
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) Fail(FState->ErrorMessage());
  return rc == SQLITE_ROW;
}

void TSQLiteDataSet::ExecSQL(const std::string& sql) {
  TState& s = *FState;
  OpenConnection(!ReadOnly());
  s.Cursor.LetGo();
  try {
    Exec(s.db(), sql);
  } catch (const EDatabaseError& e) {
    s.Writer.NoteLostGroup(e.Message());
    throw;
  }
  s.Writer.AfterExec();
}

void TSQLiteDataSet::InternalOpen() {
  CheckSource();
  ForgetKey();
  TState& s = *FState;
  const bool connected = static_cast<bool>(s.Db);
  const bool create = Query().empty() && CreateTable();
  struct stat info {};
  const bool newFile = !connected && create && !IsSpecialFileName(FState->FDatabaseFile) &&
                       stat(FState->FDatabaseFile.c_str(), &info) != 0;
  try {
    OpenConnection(create);
    if (Query().empty()) {
      OpenTable();
    } else {
      OpenQuery();
    }
  } catch (...) {
    s.ForgetSource();
    ForgetKey();
    DestroyFields();
    if (!connected) CloseConnection();
    // A failed open leaves no database file behind that it made itself.
    if (newFile) {
      std::remove(FState->FDatabaseFile.c_str());
      std::remove((FState->FDatabaseFile + "-journal").c_str());
    }
    throw;
  }
}

void TSQLiteDataSet::OpenTable() {
  TSQLiteTableRequest request;
  request.Name = TableName();
  request.DatabaseFile = FState->FDatabaseFile;
  request.Create = CreateTable();
  request.Columns = ColumnList().Items();
  request.ReadOnly = ReadOnly();
  ShowSource(TSQLiteSchema::MapTable(FState->db(), request));
  if (FState->Source.Writable) ChooseKey(FState->Source.PrimaryKey, FState->Source.UniqueKeys);
}

void TSQLiteDataSet::OpenQuery() { ShowSource(TSQLiteSchema::MapQuery(FState->db(), Query())); }

void TSQLiteDataSet::ShowSource(TSQLiteSource&& source) {
  TState& s = *FState;
  s.Source = std::move(source);
  for (const TSQLiteColumn& column : s.Source.Cols) {
    const TFieldDef& def = column.Def;
    TField* field = AddField(def.Name, def.DataType, def.Size);
    if (def.DataType == ftCurrency) field->SetCurrency(true);
    if (def.ReadOnly) field->SetReadOnly(true);
    s.AutoInc.push_back(column.AutoInc);
    field->SetPrecision(def.Precision);
    if (def.Scale >= 0) field->SetScale(def.Scale);
  }
  s.Cursor.Start(std::move(s.Source.Select));
  s.Writer.Start();
}

void TSQLiteDataSet::InternalClose() {
  FState->Cursor.LetGo();
  FState->Writer.CommitOnClose();
  CloseConnection();
  ForgetKey();
  DestroyFields();
}

const TSQLiteMisfits& TSQLiteDataSet::Misfits() const { return FState->Cursor.Misfits(); }

bool TSQLiteDataSet::InternalFirst() { return FState->Cursor.First(ActiveBuffer()); }

bool TSQLiteDataSet::InternalNext() { return FState->Cursor.Next(ActiveBuffer()); }

void TSQLiteDataSet::InternalPost() {
  if (!FState->Source.Writable) Fail("Dataset cannot be modified");
  try {
    if (State() == dsEdit) {
      FState->Writer.PostUpdate(ActiveBuffer());
    } else {
      if (!KeyFieldList().empty()) CheckKeyValues(ActiveBuffer(), FState->AutoInc);
      FState->Writer.PostInsert(ActiveBuffer());
    }
  } catch (...) {
    // Raised on to the caller; the bulk run only notes that a post failed.
    FState->Writer.NotePostFailed();
    throw;
  }
}

bool TSQLiteDataSet::CanModify() const {
  if (!Active()) return TSQLDataSet::CanModify();
  return FState->Source.Writable;
}

int TSQLiteDataSet::RecordCount() const {
  const TState& s = *FState;
  if (!Active() || !s.Db) return -1;
  try {
    std::int64_t count = 0;
    if (s.Source.IsQuery) {
      // Statements that cannot be a subquery (PRAGMA, ...) are counted by
      // running them.
      const std::string wrapped = "SELECT count(*) FROM (\n" + s.Source.QueryText + "\n)";
      sqlite3_stmt* raw = nullptr;
      const int rc = sqlite3_prepare_v2(s.db(), wrapped.c_str(), -1, &raw, nullptr);
      TStmt stmt(raw);
      if (rc == SQLITE_OK) {
        if (sqlite3_step(stmt.get()) != SQLITE_ROW) return -1;
        count = sqlite3_column_int64(stmt.get(), 0);
      } else {
        TStmt run = Prepare(s.db(), s.Source.QueryText);
        int step;
        while ((step = sqlite3_step(run.get())) == SQLITE_ROW) ++count;
        if (step != SQLITE_DONE) return -1;
      }
    } else {
      count = QueryInt(s.db(), "SELECT count(*) FROM " + QuoteIdent(s.Source.Table));
    }
    return count > std::numeric_limits<int>::max() ? std::numeric_limits<int>::max()
                                                   : static_cast<int>(count);
  } catch (const EDatabaseError&) {
    return -1;
  }
}

void TSQLiteDataSet::BeginBulk() { FState->Writer.BeginBulk(); }

void TSQLiteDataSet::EndBulk() { FState->Writer.EndBulk(); }

std::int64_t TSQLiteDataSet::AbandonBulk() { return FState->Writer.AbandonBulk(); }

TLoadCounts TSQLiteDataSet::LoadCounts() const { return FState->Writer.Counts(); }

template <>
TComponentClass ComponentClass<TSQLiteDataSet>() {
  using D = TSQLiteDataSet;
  static const TClassInfo info = [] {
    TClassBuilder<D> builder("TSQLiteDataSet");
    builder.String("DatabaseFile", &D::DatabaseFile,
                   static_cast<void (D::*)(const std::string&)>(&D::SetDatabaseFile));
    PublishSQLSource(builder);
    return PublishSQLLoad(builder)
        .Boolean("ForeignKeys", &D::ForeignKeys, &D::SetForeignKeys)
        .Boolean("ExactTexts", &D::ExactTexts, &D::SetExactTexts)
        .Integer("BusyTimeout", &D::BusyTimeout, &D::SetBusyTimeout)
        .Integer("BulkCommitCount", &D::BulkCommitCount, &D::SetBulkCommitCount)
        .Build();
  }();
  return &info;
}

}  // namespace korvane

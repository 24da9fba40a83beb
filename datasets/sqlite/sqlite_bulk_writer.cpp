#include "datasets/sqlite/sqlite_bulk_writer.h"

#include <algorithm>
#include <bit>
#include <functional>
#include <string_view>

#include "data/db_failure.h"

namespace korvane::sqlite_parts {

namespace {

// Prepared INSERTs kept per set of assigned columns; beyond this many sets
// the cache starts over.
constexpr std::size_t kMaxInsertStatements = 256;

// Results that tell of the database rather than of the record: no record
// written after them would be stored either.
bool IsDatabaseFailure(int rc) {
  switch (rc & 0xff) {
    case SQLITE_FULL:
    case SQLITE_IOERR:
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
    case SQLITE_READONLY:
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
    case SQLITE_CANTOPEN:
    case SQLITE_NOMEM:
    case SQLITE_PROTOCOL:
    case SQLITE_PERM:
    case SQLITE_NOLFS:
      return true;
    default:
      return false;
  }
}

// Called by a keyed load's DO UPDATE for every row it changes: counts it.
void CountUpdate(sqlite3_context* context, int, sqlite3_value**) {
  ++*static_cast<std::int64_t*>(sqlite3_user_data(context));
  sqlite3_result_int(context, 1);
}

constexpr const char* kUpdateFunction = "korvane_row_updated";

}  // namespace

std::size_t TSQLiteBulkWriter::TMaskHash::operator()(const TMask& mask) const noexcept {
  std::size_t h = 0;
  for (std::uint64_t w : mask) h = h * 1000003u ^ std::hash<std::uint64_t>{}(w);
  return h;
}

void TSQLiteBulkWriter::Forget() noexcept {
  FInserts.clear();
  FLastMask.clear();
  FLastInsert = nullptr;
  FUpdate.reset();
  FDateTexts.clear();
  FCounts = {};
  FGroupCounts = {};
  FEmptyPending = false;
  FEmptyInGroup = false;
  FPostFailed = false;
}

void TSQLiteBulkWriter::Disconnect() noexcept {
  Forget();
  FBegin.reset();
  FCommit.reset();
  FRollback.reset();
  FSavepoint.reset();
  FRelease.reset();
  FRollbackTo.reset();
  FGroupingReady = false;
  FGrouping = false;
  FBlocked = false;
  FInTransaction = false;
  FGroupRows = 0;
  FUpdateFunction = false;
}

// -- statements ---------------------------------------------------------------

inline void TSQLiteBulkWriter::Bind(sqlite3_stmt* stmt, int param, std::size_t index,
                             const TFieldData& data) {
  const TSQLiteColumn& column = FSource.Cols[index];
  if (column.NumericText) CheckNumericText(index, data);
  const int rc = TSQLiteCodec::Bind(stmt, param, column.Storage, data, FDateTexts[index]);
  if (rc == TSQLiteCodec::kDateOutOfRange) {
    Fail("Field '" + FieldName(index) + "' holds a date outside the years 1 to 9999");
  }
  if (rc == TSQLiteCodec::kNotANumber) {
    Fail("Field '" + FieldName(index) + "' holds NaN, which SQLite cannot store (it would be NULL)");
  }
  if (rc != SQLITE_OK) Fail("Field '" + FieldName(index) + "': " + ErrorMessage());
}

void TSQLiteBulkWriter::CheckNumericText(std::size_t index, const TFieldData& data) {
  const auto* text = std::get_if<std::string>(&data);
  if (text == nullptr || !FDataSet.ExactTexts()) return;
  const std::string stored = TSQLiteCodec::NumericAffinityText(*text);
  if (stored.empty() || stored == *text) return;
  Fail("Field '" + FieldName(index) + "' holds the text \"" + *text +
       "\", which its column (SQLite gives its type numeric affinity) would store as the number " +
       stored + "; a column declared TEXT keeps it");
}

// The columns the record sets: one bit per insertable column that is not
// null, each word built in a register and stored once.
inline void TSQLiteBulkWriter::BuildMask(const TFieldData* slots) {
  const std::vector<TSQLiteColumn>& cols = FSource.Cols;
  const std::size_t count = cols.size();
  FMask.resize((count + 63) / 64);
  for (std::size_t w = 0; w < FMask.size(); ++w) {
    std::uint64_t bits = 0;
    const std::size_t end = std::min(count, w * 64 + 64);
    for (std::size_t i = w * 64; i < end; ++i) {
      if (cols[i].Insertable && !IsNull(slots[i])) bits |= std::uint64_t{1} << (i % 64);
    }
    FMask[w] = bits;
  }
}

sqlite3_stmt* TSQLiteBulkWriter::InsertFor(const TMask& mask) {
  // The same columns as the record before, as a rule: compared word by
  // word in place.
  if (FLastInsert && mask.size() == FLastMask.size() &&
      std::equal(mask.begin(), mask.end(), FLastMask.begin(),
                 [](std::uint64_t a, std::uint64_t b) { return a == b; })) {
    return FLastInsert;
  }
  auto found = FInserts.find(mask);
  if (found == FInserts.end()) {
    if (FInserts.size() >= kMaxInsertStatements) {
      FInserts.clear();
      FLastInsert = nullptr;
    }
    std::string names;
    std::string params;
    for (std::size_t i = 0; i < FSource.Cols.size(); ++i) {
      if ((mask[i / 64] >> (i % 64) & 1) == 0) continue;
      if (!names.empty()) {
        names += ',';
        params += ',';
      }
      names += QuoteIdent(FSource.Cols[i].Name);
      params += '?';
    }
    std::string sql = "INSERT INTO " + QuoteIdent(FSource.Table);
    sql += names.empty() ? " DEFAULT VALUES" : " (" + names + ") VALUES (" + params + ")";
    if (IsKeyedLoad(FDataSet.LoadMode())) sql += ConflictClause(mask);
    found = FInserts.emplace(mask, Prepare(db(), sql)).first;
  }
  FLastMask = mask;
  FLastInsert = found->second.get();
  return FLastInsert;
}

bool TSQLiteBulkWriter::IsKeyColumn(std::size_t index) const {
  const std::vector<TField*>& key = FDataSet.KeyFieldList();
  return std::any_of(key.begin(), key.end(), [index](const TField* field) {
    return static_cast<std::size_t>(field->Index()) == index;
  });
}

// The ON CONFLICT clause of a keyed load's INSERT of the columns in mask.
std::string TSQLiteBulkWriter::ConflictClause(const TMask& mask) {
  const std::vector<TField*>& key = FDataSet.KeyFieldList();
  std::string target;
  for (const TField* field : key) {
    if (!target.empty()) target += ',';
    target += QuoteIdent(FSource.Cols[field->Index()].Name);
  }
  std::string sql = " ON CONFLICT (" + target + ") DO ";
  if (FDataSet.LoadMode() == lmSkip) return sql + "NOTHING";
  if (!FUpdateFunction) {
    const int rc =
        sqlite3_create_function_v2(db(), kUpdateFunction, 0, SQLITE_UTF8 | SQLITE_DIRECTONLY,
                                   &FUpdates, &CountUpdate, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) Fail(ErrorMessage());
    FUpdateFunction = true;
  }
  std::string set;
  for (std::size_t i = 0; i < FSource.Cols.size(); ++i) {
    const TSQLiteColumn& c = FSource.Cols[i];
    const bool inKey = IsKeyColumn(i);
    const bool given = (mask[i / 64] >> (i % 64) & 1) != 0;
    // Replacing gives every other column what a new row would hold; an
    // upsert touches only the columns the record sets.
    const bool take =
        FDataSet.LoadMode() == lmReplace ? c.Insertable && (!c.AutoInc || given) : given;
    if (inKey || !take) continue;
    const std::string name = QuoteIdent(c.Name);
    if (!set.empty()) set += ',';
    set.append(name).append("=excluded.").append(name);
  }
  // Nothing to change but the row is matched all the same: it counts as
  // updated.
  if (set.empty())
    set = QuoteIdent(FSource.Cols[key.front()->Index()].Name) + "=" +
          QuoteIdent(FSource.Cols[key.front()->Index()].Name);
  return sql + "UPDATE SET " + set + " WHERE " + kUpdateFunction + "()";
}

// ON CONFLICT checks the row it would insert (NOT NULL, CHECK) before it
// meets the row of its key. A keyed record so refused whose key the table
// holds is judged by that row instead: under lmSkip it is skipped, under
// lmUpsert that row takes the values the record gives (which may be
// refused in their turn). False, leaving the refusal, for anything else.
bool TSQLiteBulkWriter::MeetsRowOfKey(const TFieldData* slots, std::string_view refusal) {
  const TLoadMode mode = FDataSet.LoadMode();
  if ((mode != lmUpsert && mode != lmSkip) ||
      (refusal.find("NOT NULL constraint failed") == std::string_view::npos &&
       refusal.find("CHECK constraint failed") == std::string_view::npos) ||
      (FBulkDepth > 0 && FGrouping && !FInTransaction)) {  // the group went with it
    return false;
  }
  const std::vector<TField*>& key = FDataSet.KeyFieldList();
  std::string where;
  for (const TField* field : key) {
    where += (where.empty() ? "" : " AND ") + QuoteIdent(FSource.Cols[field->Index()].Name) + "=?";
  }
  const std::string table = QuoteIdent(FSource.Table);
  const auto bindKey = [&](sqlite3_stmt* stmt, int param) {
    for (const TField* field : key) {
      const auto i = static_cast<std::size_t>(field->Index());
      Bind(stmt, ++param, i, slots[i]);
    }
  };
  TStmt find = Prepare(db(), "SELECT 1 FROM " + table + " WHERE " + where);
  bindKey(find.get(), 0);
  if (Locking([&find] { return sqlite3_step(find.get()); }) != SQLITE_ROW) return false;
  find.reset();
  if (mode == lmUpsert) {
    std::string set;
    std::vector<std::size_t> given;
    for (std::size_t w = 0; w < FMask.size(); ++w) {
      for (std::uint64_t bits = FMask[w]; bits != 0; bits &= bits - 1) {
        const std::size_t i = w * 64 + static_cast<std::size_t>(std::countr_zero(bits));
        if (IsKeyColumn(i)) continue;
        set += (set.empty() ? "" : ",") + QuoteIdent(FSource.Cols[i].Name) + "=?";
        given.push_back(i);
      }
    }
    if (!set.empty()) {
      TStmt update = Prepare(db(), "UPDATE " + table + " SET " + set + " WHERE " + where);
      int param = 0;
      for (const std::size_t i : given) Bind(update.get(), ++param, i, slots[i]);
      bindKey(update.get(), param);
      Write(update.get());
    }
  }
  TLoadCounts& counts = FInTransaction ? FGroupCounts : FCounts;
  ++(mode == lmSkip ? counts.Skipped : counts.Updated);
  FCursor.ClearCurrent();
  return true;
}

sqlite3_stmt* TSQLiteBulkWriter::UpdateStatement() {
  if (!FUpdate) {
    std::string sql = "UPDATE " + QuoteIdent(FSource.Table) + " SET ";
    bool first = true;
    for (const TSQLiteColumn& c : FSource.Cols) {
      if (!c.Insertable) continue;
      if (!first) sql += ',';
      first = false;
      sql += QuoteIdent(c.Name) + "=?";
    }
    sql += " WHERE " + FSource.Rowid + "=?";
    FUpdate = Prepare(db(), sql);
  }
  return FUpdate.get();
}

// -- groups -------------------------------------------------------------------

// Runs a step that may need a lock (see FBlocked).
template <class Op>
int TSQLiteBulkWriter::Locking(Op op) {
  const bool blocked = FBlocked;
  if (blocked) sqlite3_busy_timeout(db(), 0);
  const int rc = op();
  if (blocked) sqlite3_busy_timeout(db(), FDataSet.BusyTimeout());
  if ((rc & 0xff) == SQLITE_BUSY) {
    FBlocked = true;
  } else if (rc == SQLITE_DONE || rc == SQLITE_ROW || rc == SQLITE_OK) {
    FBlocked = false;
  }
  return rc;
}

void TSQLiteBulkWriter::BeginGroup() {
  sqlite3_stmt* begin = Statement(db(), FBegin, "BEGIN IMMEDIATE");
  if (Locking([begin] { return Run(begin); }) != SQLITE_DONE) {
    throw EDatabaseFailure(ErrorMessage(), 0);
  }
  FInTransaction = true;
  FGroupRows = 0;
  if (FEmptyPending) Empty();
}

// lmTruncate: empties the table in the transaction open (a group's, or the
// host's), so that the emptying is committed with the records that follow
// it or not at all. A group of ours that goes without a stored record takes
// the emptying with it (see DropGroup).
void TSQLiteBulkWriter::Empty() {
  sqlite3_stmt* raw = nullptr;
  const std::string sql = "DELETE FROM " + QuoteIdent(FSource.Table);
  if (sqlite3_prepare_v2(db(), sql.c_str(), -1, &raw, nullptr) != SQLITE_OK) {
    Fail("Table '" + FSource.Table + "' cannot be emptied: " + ErrorMessage());
  }
  TStmt stmt(raw);
  if (Locking([&stmt] { return Run(stmt.get()); }) != SQLITE_DONE) {
    const std::string message = ErrorMessage();
    throw EDatabaseFailure("Table '" + FSource.Table + "' cannot be emptied: " + message,
                           AbandonGroup());
  }
  FEmptyPending = false;
  FEmptyInGroup = FInTransaction;
}

void TSQLiteBulkWriter::SettleGroupCounts(bool committed) {
  if (committed) {
    FCounts.Inserted += FGroupCounts.Inserted;
    FCounts.Updated += FGroupCounts.Updated;
    FCounts.Skipped += FGroupCounts.Skipped;
  }
  FGroupCounts = {};
}

// A group that cannot be committed is rolled back whole: the database keeps
// only whole groups.
void TSQLiteBulkWriter::CommitGroup() {
  sqlite3_stmt* commit = Statement(db(), FCommit, "COMMIT");
  if (Locking([commit] { return Run(commit); }) != SQLITE_DONE) {
    const std::string message = ErrorMessage();
    throw EDatabaseFailure(message, AbandonGroup());
  }
  FInTransaction = false;
  FGroupRows = 0;
  FEmptyInGroup = false;
  SettleGroupCounts(true);
}

// The group in progress is gone (rolled back): an emptying it held waits
// for the next group.
void TSQLiteBulkWriter::DropGroup() noexcept {
  FInTransaction = false;
  FGroupRows = 0;
  FEmptyPending = FEmptyPending || FEmptyInGroup;
  FEmptyInGroup = false;
  SettleGroupCounts(false);
}

// Rolls back the group in progress (unless SQLite already did) and returns
// how many posted records it held.
std::int64_t TSQLiteBulkWriter::AbandonGroup() noexcept {
  if (!FInTransaction) return 0;
  if (!sqlite3_get_autocommit(db())) {
    sqlite3_stmt* rollback = nullptr;
    try {
      rollback = Statement(db(), FRollback, "ROLLBACK");
    } catch (const EDatabaseError&) {
      // No statement to be had: SQLite rolls the journal back when the
      // connection closes or the file is next opened.
    }
    if (rollback) Run(rollback);
  }
  const std::int64_t lost = FGroupRows;
  DropGroup();
  return lost;
}

// SQLite rolls a whole transaction back on some errors (a full disk, an
// I/O error, a ROLLBACK conflict clause). The records of that group are
// gone although their posts succeeded: remember them for EndBulk.
bool TSQLiteBulkWriter::NoteLostGroup(const std::string& message) {
  if (!FInTransaction || !sqlite3_get_autocommit(db())) return false;
  FLostRows += FGroupRows;
  FLostMessage = message;
  DropGroup();
  return true;
}

void TSQLiteBulkWriter::AfterExec() {
  if (FInTransaction && sqlite3_get_autocommit(db())) {
    FInTransaction = false;
    FGroupRows = 0;
    FEmptyInGroup = false;
    // Ended by the host's SQL: committed or not, the host knows.
    SettleGroupCounts(true);
  }
}

// Runs an INSERT or UPDATE whose parameters are bound, inside the bulk
// group when there is one. Raises with SQLite's message when refused.
void TSQLiteBulkWriter::Write(sqlite3_stmt* stmt) {
  const bool savepoint = FInTransaction && FRowSavepoints;
  int deferredBefore = 0;
  int high = 0;
  if (savepoint) {
    sqlite3_db_status(db(), SQLITE_DBSTATUS_DEFERRED_FKS, &deferredBefore, &high, 0);
    if (Run(Statement(db(), FSavepoint, "SAVEPOINT korvane_row")) != SQLITE_DONE) {
      const std::string failure = ErrorMessage();
      throw EDatabaseFailure(failure, AbandonGroup());
    }
  }
  const int rc = Locking([stmt] { return sqlite3_step(stmt); });
  std::string message;
  if (rc != SQLITE_DONE && rc != SQLITE_ROW) message = ErrorMessage();
  sqlite3_reset(stmt);
  if (IsDatabaseFailure(rc)) {
    const std::int64_t lost = AbandonGroup();
    if (lost == 0) throw EDatabaseFailure(message, 0);
    throw EDatabaseFailure(message + " (the " + std::to_string(lost) +
                               " records posted since the last commit were rolled back)",
                           lost);
  }
  if (savepoint && FInTransaction && !sqlite3_get_autocommit(db())) {
    int deferredAfter = 0;
    sqlite3_db_status(db(), SQLITE_DBSTATUS_DEFERRED_FKS, &deferredAfter, &high, 0);
    // A deferred foreign key would only fail at COMMIT and take the whole
    // group with it: refuse the record now instead.
    if (message.empty() && deferredBefore == 0 && deferredAfter != 0) {
      message = "FOREIGN KEY constraint failed";
    }
    if (!message.empty()) Run(Statement(db(), FRollbackTo, "ROLLBACK TO korvane_row"));
    Run(Statement(db(), FRelease, "RELEASE korvane_row"));
  }
  if (message.empty()) {
    if (FInTransaction) ++FGroupRows;
    return;
  }
  if (NoteLostGroup(message) && FLostRows > 0) {
    Fail(message + " (the " + std::to_string(FLostRows) +
         " records posted since the last commit were rolled back)");
  }
  Fail(message);
}

// Opens a group before a write when bulk grouping is on, committing the
// previous group once it is full. A commit that fails raises before the
// record is written, so the record is refused rather than lost.
inline void TSQLiteBulkWriter::PrepareWrite() {
  FCursor.LetGo();
  if (FBulkDepth == 0) return;
  if (!FGroupingReady) SetUpGrouping();
  if (FGrouping) {
    if (FInTransaction && FGroupRows >= FDataSet.BulkCommitCount()) CommitGroup();
    if (!FInTransaction) BeginGroup();
    return;
  }
  // One transaction per record; a pending emptying goes in a group with
  // the records that follow it until one of them is stored.
  if (FInTransaction && FGroupRows > 0) CommitGroup();
  if (!FInTransaction && FEmptyPending && sqlite3_get_autocommit(db())) BeginGroup();
}

// Decides how the bulk run groups its records and opens the first group.
// Inside the host's own transaction the host decides when to commit.
void TSQLiteBulkWriter::SetUpGrouping() {
  FCursor.LetGo();
  FGrouping = false;
  FRowSavepoints = false;
  if (sqlite3_get_autocommit(db())) {
    const std::string anySchema =
        "SELECT count(*) FROM (SELECT sql FROM sqlite_schema UNION ALL "
        "SELECT sql FROM sqlite_temp_schema) WHERE sql LIKE ";
    // A ROLLBACK conflict clause or RAISE(ROLLBACK) undoes the whole
    // transaction: such a schema gets one transaction per record.
    FGrouping = QueryInt(db(), anySchema + "'%ROLLBACK%'") == 0;
    // Deferred foreign keys are only checked at COMMIT, where a bad record
    // would fail its whole group: each record gets a savepoint instead.
    FRowSavepoints = QueryInt(db(), "PRAGMA foreign_keys") != 0 &&
                     (QueryInt(db(), "PRAGMA defer_foreign_keys") != 0 ||
                      QueryInt(db(), anySchema + "'%DEFERRED%'") != 0);
  }
  FGroupingReady = true;
  if (FGrouping) {
    BeginGroup();
  } else if (FEmptyPending && !sqlite3_get_autocommit(db())) {
    Empty();  // in the host's transaction: the host commits it or not
  }
}

// -- posting ------------------------------------------------------------------

void TSQLiteBulkWriter::PostInsert(TFieldData* slots) {
  PrepareWrite();
  // The columns the record sets pick the statement.
  BuildMask(slots);
  sqlite3_stmt* stmt = InsertFor(FMask);
  int param = 0;
  for (std::size_t w = 0; w < FMask.size(); ++w) {
    for (std::uint64_t bits = FMask[w]; bits != 0; bits &= bits - 1) {
      const std::size_t i = w * 64 + static_cast<std::size_t>(std::countr_zero(bits));
      Bind(stmt, ++param, i, slots[i]);
    }
  }
  const std::int64_t updatesBefore = FUpdates;
  try {
    Write(stmt);
  } catch (const EDatabaseFailure&) {
    throw;
  } catch (const EDatabaseError& refused) {
    if (!MeetsRowOfKey(slots, refused.what())) throw;
    return;
  }
  TLoadCounts& counts = FInTransaction ? FGroupCounts : FCounts;
  if (FUpdates != updatesBefore ||
      (IsKeyedLoad(FDataSet.LoadMode()) && sqlite3_changes(db()) == 0)) {
    // No new row: the record met one the table holds.
    ++(FUpdates != updatesBefore ? counts.Updated : counts.Skipped);
    FCursor.ClearCurrent();
    return;
  }
  ++counts.Inserted;
  if (FSource.Rowid.empty()) {
    FCursor.ClearCurrent();
    return;
  }
  const std::int64_t rowid = sqlite3_last_insert_rowid(db());
  FCursor.SetCurrent(rowid);
  if (!FSource.HasAutoInc) return;
  for (std::size_t i = 0; i < FSource.Cols.size(); ++i) {
    if (FSource.Cols[i].AutoInc && std::holds_alternative<std::monostate>(slots[i])) {
      slots[i] = rowid;
    }
  }
}

void TSQLiteBulkWriter::PostUpdate(TFieldData* slots) {
  if (!FCursor.HaveCurrent() || FSource.Rowid.empty()) {
    Fail("Records of '" + FSource.Table + "' cannot be changed: the table has no rowid");
  }
  PrepareWrite();
  sqlite3_stmt* update = UpdateStatement();
  int param = 0;
  for (std::size_t i = 0; i < FSource.Cols.size(); ++i) {
    if (FSource.Cols[i].Insertable) Bind(update, ++param, i, slots[i]);
  }
  if (sqlite3_bind_int64(update, ++param, FCursor.CurrentRowid()) != SQLITE_OK) {
    Fail(ErrorMessage());
  }
  Write(update);
  for (std::size_t i = 0; i < FSource.Cols.size(); ++i) {
    if (const auto* id = std::get_if<std::int64_t>(&slots[i]); id && FSource.Cols[i].AutoInc) {
      FCursor.MoveCurrent(*id);
    }
  }
}

// -- bulk runs ----------------------------------------------------------------

void TSQLiteBulkWriter::BeginBulk() {
  if (FBulkDepth++ > 0 || !FDb || !FSource.Writable) return;
  FEmptyPending = FDataSet.LoadMode() == lmTruncate;
  FPostFailed = false;
  try {
    SetUpGrouping();
  } catch (...) {
    --FBulkDepth;
    FGroupingReady = false;
    FEmptyPending = false;
    throw;
  }
}

void TSQLiteBulkWriter::EndBulk() {
  if (FBulkDepth == 0 || --FBulkDepth > 0) return;
  FGroupingReady = false;
  FGrouping = false;
  // An emptying no record was stored with: a run of refused records keeps
  // the table as it was; a run without records (or without a post that
  // failed) empties it.
  if (FInTransaction && FEmptyInGroup && FGroupRows == 0 && FPostFailed && FDb) {
    Run(Statement(db(), FRollback, "ROLLBACK"));
    DropGroup();
  }
  if (FEmptyPending && !FInTransaction && !FPostFailed && FDb && sqlite3_get_autocommit(db())) {
    BeginGroup();
  }
  FEmptyPending = false;
  if (FInTransaction && FDb) {
    // The last commit waits for its lock as long as it may.
    FBlocked = false;
    sqlite3_stmt* commit = Statement(db(), FCommit, "COMMIT");
    if (Locking([commit] { return Run(commit); }) != SQLITE_DONE) {
      const std::string message = ErrorMessage();
      FLostRows += AbandonGroup();
      FLostMessage = message;
    }
    FInTransaction = false;
    FGroupRows = 0;
    SettleGroupCounts(true);
  }
  if (FLostRows > 0) {
    const std::int64_t lost = FLostRows;
    FLostRows = 0;
    throw EDatabaseFailure(
        std::to_string(lost) + " posted records were not stored: " + FLostMessage, lost);
  }
}

std::int64_t TSQLiteBulkWriter::AbandonBulk() {
  std::int64_t dropped = 0;
  if (FBulkDepth == 1 && FInTransaction && FDb) {
    Run(Statement(db(), FRollback, "ROLLBACK"));
    dropped = FGroupRows;
    DropGroup();
  }
  // Nor is an emptying left for EndBulk to do.
  if (FBulkDepth == 1) FEmptyPending = false;
  EndBulk();
  return dropped;
}

void TSQLiteBulkWriter::CommitOnClose() {
  if (!FInTransaction || !FDb) return;
  // Closing in the middle of a bulk run keeps what was posted, and an
  // emptying only with a record stored after it.
  if (FEmptyInGroup && FGroupRows == 0) {
    Run(Statement(db(), FRollback, "ROLLBACK"));
    DropGroup();
    return;
  }
  if (Run(Statement(db(), FCommit, "COMMIT")) != SQLITE_DONE && !sqlite3_get_autocommit(db())) {
    Run(Statement(db(), FRollback, "ROLLBACK"));
  }
}

}  // namespace korvane::sqlite_parts

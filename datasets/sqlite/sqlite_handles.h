// What the parts of the SQLite dataset share: owners of a connection and of
// a prepared statement, and the few calls every part makes on them. Private
// to datasets/sqlite_*.cpp.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "data/db.h"
#include "core/owned.h"

namespace korvane::sqlite_parts {

using TStmt = TOwned<sqlite3_stmt, &sqlite3_finalize>;
using TDb = TOwned<sqlite3, &sqlite3_close_v2>;

[[noreturn]] inline void Fail(const std::string& message) { throw EDatabaseError(message); }

// name as an SQL identifier: in double quotes, inner quotes doubled.
std::string QuoteIdent(std::string_view name);

// A statement kept for reuse; raises EDatabaseError with SQLite's message.
TStmt Prepare(sqlite3* db, std::string_view sql);

// Runs a statement that returns no rows and makes it ready to run again.
inline int Run(sqlite3_stmt* stmt) {
  const int rc = sqlite3_step(stmt);
  sqlite3_reset(stmt);
  return rc == SQLITE_ROW ? SQLITE_DONE : rc;
}

// Runs SQL statements; raises EDatabaseError with SQLite's message.
void Exec(sqlite3* db, const std::string& sql);

// The first column of the first row of a query (0 when it has none).
std::int64_t QueryInt(sqlite3* db, const std::string& sql);

// The prepared statement in slot, preparing sql the first time.
inline sqlite3_stmt* Statement(sqlite3* db, TStmt& slot, const char* sql) {
  if (!slot) slot = Prepare(db, sql);
  return slot.get();
}

}  // namespace korvane::sqlite_parts

#include "datasets/sqlite/sqlite_handles.h"

#include "datasets/sql_quote.h"

namespace korvane::sqlite_parts {

std::string QuoteIdent(std::string_view name) { return SqlQuoted(name, '"'); }

TStmt Prepare(sqlite3* db, std::string_view sql) {
  sqlite3_stmt* raw = nullptr;
  const int rc = sqlite3_prepare_v3(db, sql.data(), static_cast<int>(sql.size()),
                                    SQLITE_PREPARE_PERSISTENT, &raw, nullptr);
  TStmt stmt(raw);
  if (rc != SQLITE_OK) Fail(sqlite3_errmsg(db));
  return stmt;
}

void Exec(sqlite3* db, const std::string& sql) {
  char* raw = nullptr;
  const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &raw);
  std::unique_ptr<char, decltype(&sqlite3_free)> error(raw, &sqlite3_free);
  if (rc != SQLITE_OK) Fail(error ? error.get() : sqlite3_errstr(rc));
}

std::int64_t QueryInt(sqlite3* db, const std::string& sql) {
  TStmt stmt = Prepare(db, sql);
  const int rc = sqlite3_step(stmt.get());
  if (rc == SQLITE_ROW) return sqlite3_column_int64(stmt.get(), 0);
  if (rc != SQLITE_DONE) Fail(sqlite3_errmsg(db));
  return 0;
}

}  // namespace korvane::sqlite_parts

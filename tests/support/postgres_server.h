// The PostgreSQL server the tests run against: ./test starts a throwaway one
// and passes its libpq connection string in KORVANE_TEST_POSTGRES. Without
// it the tests skip, saying why, unless KORVANE_REQUIRE_POSTGRES is set (as
// in CI), where they fail instead.
#pragma once

#include <string>

namespace korvane::test {

// The connection string, or "" when there is no server (the caller skips).
std::string PostgresConnection();
// Why the tests skip, for GTEST_SKIP.
const char* PostgresSkipReason();
// True when a missing server must fail the tests rather than skip them.
bool PostgresRequired();

// A schema of its own for one test, dropped with everything in it when the
// object goes; its name is unique to the test and process.
class TScratchSchema {
 public:
  explicit TScratchSchema(const std::string& connection);
  ~TScratchSchema();
  TScratchSchema(const TScratchSchema&) = delete;
  TScratchSchema& operator=(const TScratchSchema&) = delete;

  const std::string& Name() const { return FName; }
  // "schema.table".
  std::string Table(const std::string& table) const { return FName + "." + table; }
  // Runs SQL on a connection of its own; raises EDatabaseError on failure.
  void Exec(const std::string& sql) const;
  // The first value of the first row of a query, as text ("" for null).
  std::string Value(const std::string& sql) const;

 private:
  std::string FConnection;
  std::string FName;
};

}  // namespace korvane::test

// Skips (or, where required, fails) the current test when there is no
// server; sets `conn` to the connection string otherwise.
#define KORVANE_NEED_POSTGRES(conn)                               \
  const std::string conn = ::korvane::test::PostgresConnection(); \
  if (conn.empty()) {                                             \
    if (::korvane::test::PostgresRequired()) {                    \
      FAIL() << ::korvane::test::PostgresSkipReason();            \
    }                                                             \
    GTEST_SKIP() << ::korvane::test::PostgresSkipReason();        \
  }

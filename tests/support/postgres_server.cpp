#include "tests/support/postgres_server.h"

#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "core/sysutils.h"

namespace korvane::test {

std::string PostgresConnection() {
  const char* conn = std::getenv("KORVANE_TEST_POSTGRES");
  return conn != nullptr ? conn : "";
}

const char* PostgresSkipReason() {
  return "no PostgreSQL test server: KORVANE_TEST_POSTGRES is not set (./test starts one)";
}

bool PostgresRequired() { return std::getenv("KORVANE_REQUIRE_POSTGRES") != nullptr; }

namespace {

std::string Run(const std::string& connection, const std::string& sql) {
  PGconn* conn = PQconnectdb(connection.c_str());
  std::string error;
  std::string value;
  if (PQstatus(conn) != CONNECTION_OK) {
    error = PQerrorMessage(conn);
  } else {
    PQsetNoticeProcessor(
        conn, [](void*, const char*) {}, nullptr);
    PGresult* r = PQexec(conn, sql.c_str());
    const ExecStatusType status = PQresultStatus(r);
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
      error = PQresultErrorMessage(r);
    } else if (status == PGRES_TUPLES_OK && PQntuples(r) > 0 && PQnfields(r) > 0) {
      value = PQgetvalue(r, 0, 0);
    }
    PQclear(r);
  }
  PQfinish(conn);
  if (!error.empty()) throw EDatabaseError(sql + ": " + error);
  return value;
}

}  // namespace

TScratchSchema::TScratchSchema(const std::string& connection) : FConnection(connection) {
  const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = "t_";
  for (char c : std::string(info != nullptr ? info->name() : "test")) {
    name += std::isalnum(static_cast<unsigned char>(c)) ? static_cast<char>(std::tolower(c)) : '_';
  }
  FName = name.substr(0, 40) + "_" + std::to_string(getpid());
  Exec("DROP SCHEMA IF EXISTS " + FName + " CASCADE; CREATE SCHEMA " + FName);
}

TScratchSchema::~TScratchSchema() {
  try {
    Exec("DROP SCHEMA IF EXISTS " + FName + " CASCADE");
  } catch (const std::exception& e) {
    // A no-throw boundary: the test's own result stands; the schema left
    // behind is named so that it can be dropped by hand.
    std::fprintf(stderr, "scratch schema %s was not dropped: %s\n", FName.c_str(), e.what());
  }
}

void TScratchSchema::Exec(const std::string& sql) const { Run(FConnection, sql); }

std::string TScratchSchema::Value(const std::string& sql) const { return Run(FConnection, sql); }

}  // namespace korvane::test

// korvane import --mode and --key end to end, the same cases through SQLite
// and PostgreSQL: what each mode leaves in the table, the counts it gives,
// records refused in the middle of a group, keys the table or the file
// lacks, and a killed run under truncate.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "support/cli_run.h"
#include "support/temp_dir.h"
#if KORVANE_WITH_POSTGRES
#include "support/postgres_server.h"
#endif

namespace korvane {
namespace {

using namespace test::cli_run;

// One database the cases run against: where --db points, a table name,
// and SQL run beside the command.
class TTarget {
 public:
  virtual ~TTarget() = default;
  virtual std::string Db() const = 0;
  virtual std::string Table(const std::string& name) const = 0;
  virtual void Exec(const std::string& sql) const = 0;
  virtual std::string Value(const std::string& sql) const = 0;
  // The rows of table name as "v1:v2:... v1:v2:..." ordered by the first
  // column, "-" for null.
  std::string Dump(const std::string& name, const std::vector<std::string>& columns) const {
    std::string line;
    for (const std::string& c : columns) {
      line += (line.empty() ? "" : " || ':' || ") + ("coalesce(CAST(" + c + " AS TEXT), '-')");
    }
    return Value("SELECT " + Aggregate() + " FROM (SELECT " + line + " AS line FROM " +
                 Table(name) + " ORDER BY " + columns[0] + ", " + columns[1] + ") s");
  }

 protected:
  virtual std::string Aggregate() const = 0;
};

class TSQLiteTarget final : public TTarget {
 public:
  explicit TSQLiteTarget(const test::TTempDir& dir) : FDb(dir.Path("t.db")) {}
  std::string Db() const override { return FDb; }
  std::string Table(const std::string& name) const override { return name; }
  void Exec(const std::string& sql) const override { test::cli_run::Exec(FDb, sql); }
  std::string Value(const std::string& sql) const override {
    const auto rows = Rows(FDb, sql);
    return rows.empty() || rows[0].empty() || rows[0][0] == "NULL" ? "" : rows[0][0];
  }

 protected:
  std::string Aggregate() const override { return "group_concat(line, ' ')"; }

 private:
  std::string FDb;
};

#if KORVANE_WITH_POSTGRES
class TPostgresTarget final : public TTarget {
 public:
  explicit TPostgresTarget(const std::string& connection) : FSchema(connection) {}
  std::string Db() const override {
    const char* port = std::getenv("KORVANE_TEST_POSTGRES_PORT");
    return "postgresql://postgres@127.0.0.1:" + std::string(port ? port : "5432") + "/postgres";
  }
  std::string Table(const std::string& name) const override { return FSchema.Table(name); }
  void Exec(const std::string& sql) const override { FSchema.Exec(sql); }
  std::string Value(const std::string& sql) const override { return FSchema.Value(sql); }

 protected:
  std::string Aggregate() const override { return "string_agg(line, ' ')"; }

 private:
  test::TScratchSchema FSchema;
};
#endif

class CliModesTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    if (!GetParam()) {
      target = std::make_unique<TSQLiteTarget>(dir);
    } else {
#if KORVANE_WITH_POSTGRES
      KORVANE_NEED_POSTGRES(conn);
      target = std::make_unique<TPostgresTarget>(conn);
#else
      GTEST_SKIP() << "built without PostgreSQL";
#endif
    }
    // qty < 100 lets a record be refused in the middle of a group.
    target->Exec("CREATE TABLE " + T("t") +
                 " (id int PRIMARY KEY, name text, qty int DEFAULT 5 CHECK (qty < 100))");
    target->Exec("INSERT INTO " + T("t") + " VALUES (1, 'a', 10), (2, 'b', 20)");
  }
  std::string T(const std::string& name) const { return target->Table(name); }
  std::vector<std::string> Import(const std::string& input, const std::string& table,
                                  std::vector<std::string> more) {
    std::vector<std::string> args = {
        "import", input, "--db", target->Db(), "--table", target->Table(table), "--header"};
    args.insert(args.end(), more.begin(), more.end());
    return args;
  }
  std::string Rows3(const std::string& table = "t") const {
    return target->Dump(table, {"id", "name", "qty"});
  }

  test::TTempDir dir;
  std::unique_ptr<TTarget> target;
};

TEST_P(CliModesTest, EachModeMeetsExistingRowsAndCountsWhatItDid) {
  // Key 3 comes twice, the second time without a name; 4 is refused (qty)
  // in the same group; key 2 is in the table, its qty left empty.
  const std::string input = dir.Put("in.csv", "id,name,qty\n3,c,30\n3,,33\n4,d,500\n2,B,\n");
  struct {
    const char* Mode;
    std::string Rows;
    int Inserted, Updated, Skipped, Failed;
  } const cases[] = {
      {"truncate", "2:B:5 3:c:30", 2, 0, 0, 2},
      {"replace", "1:a:10 2:B:5 3:-:33", 1, 2, 0, 1},
      {"upsert", "1:a:10 2:B:20 3:c:33", 1, 2, 0, 1},
      {"skip", "1:a:10 2:b:20 3:c:30", 1, 0, 2, 1},
  };
  // Into PostgreSQL the keyed modes load over two connections too, the
  // records dealt out by key.
  std::vector<std::pair<std::string, std::string>> runs;
  for (const auto& c : cases) {
    runs.emplace_back(c.Mode, "1");
    if (GetParam() && std::string_view(c.Mode) != "truncate") runs.emplace_back(c.Mode, "2");
  }
  for (const auto& [mode, jobs] : runs) {
    const auto& c = *std::find_if(std::begin(cases), std::end(cases),
                                  [&](const auto& k) { return mode == k.Mode; });
    SCOPED_TRACE(mode + " --jobs " + jobs);
    target->Exec("DELETE FROM " + T("t"));
    target->Exec("INSERT INTO " + T("t") + " VALUES (1, 'a', 10), (2, 'b', 20)");
    const std::string rejects = dir.Path(mode + jobs + ".csv");
    std::vector<std::string> options = {"--mode", mode, "--json", "--rejects", rejects};
    if (GetParam()) options.insert(options.end(), {"--jobs", jobs});
    const TRun r = Korvane(Import(input, "t", options));
    EXPECT_EQ(r.Status, 3) << r.Err;
    EXPECT_EQ(Rows3(), c.Rows);
    const json j = json::parse(r.Out);
    EXPECT_EQ(j["inserted"], c.Inserted);
    EXPECT_EQ(j["updated"], c.Updated);
    EXPECT_EQ(j["skipped"], c.Skipped);
    EXPECT_EQ(j["errorRecords"], c.Failed);
    EXPECT_EQ(j["stored"], c.Inserted + c.Updated);
    EXPECT_NE(r.Err.find("line 4: refused: "), std::string::npos) << r.Err;
    const std::string rejected = ReadText(rejects);
    EXPECT_TRUE(rejected.starts_with("id,name,qty\n")) << rejected;
    EXPECT_NE(rejected.find("\n4,d,500\n"), std::string::npos) << rejected;
  }
}

// A record judged by the row of its key, not by the row it would insert:
// an upsert that leaves a NOT NULL column empty for a row that has it, and
// a skipped record whose values the table would refuse, are no failures
// (into PostgreSQL over several connections too, which merge otherwise).
TEST_P(CliModesTest, RecordsAreJudgedByTheRowOfTheirKey) {
  target->Exec("CREATE TABLE " + T("n") +
               " (id int PRIMARY KEY, a text NOT NULL, b int CHECK (b < 100))");
  const struct {
    const char* Mode;
    const char* File;
    const char* Rows;
  } cases[] = {
      {"upsert", "id,a,b\n1,,7\n3,,8\n3,,9\n2,z,5\n", "1:x:7 2:z:5 3:w:9"},
      {"skip", "id,a,b\n1,y,500\n3,q,400\n3,r,4\n2,z,5\n", "1:x:1 2:z:5 3:w:3"},
  };
  for (const auto& c : cases) {
    for (const char* jobs : {"1", "2"}) {
      if (!GetParam() && std::string_view(jobs) != "1") continue;
      SCOPED_TRACE(std::string(c.Mode) + " --jobs " + jobs);
      target->Exec("DELETE FROM " + T("n"));
      target->Exec("INSERT INTO " + T("n") + " VALUES (1, 'x', 1), (3, 'w', 3)");
      std::vector<std::string> options = {"--mode", c.Mode};
      if (GetParam()) options.insert(options.end(), {"--jobs", jobs});
      const TRun r = Korvane(Import(dir.Put("n.csv", c.File), "n", options));
      EXPECT_EQ(r.Status, 0) << r.Err;
      EXPECT_EQ(target->Dump("n", {"id", "a", "b"}), c.Rows);
    }
  }
}

TEST_P(CliModesTest, CompositeKeysAndKeysTheTableOrTheFileLack) {
  target->Exec("CREATE TABLE " + T("c") + " (a int, b int, v text, PRIMARY KEY (a, b))");
  target->Exec("INSERT INTO " + T("c") + " VALUES (1, 1, 'old')");
  const std::string input = dir.Put("c.csv", "a,b,v\n1,1,x\n1,2,y\n");
  const std::string events = dir.Path("events.jsonl");
  TRun r = Korvane(Import(input, "c", {"--mode", "upsert", "--events", events}));
  EXPECT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(target->Dump("c", {"a", "b", "v"}), "1:1:x 1:2:y");
  EXPECT_NE(r.Err.find("1 inserted, 1 updated, 0 skipped, 0 failed"), std::string::npos) << r.Err;
  EXPECT_EQ(JsonLines(ReadText(events)).back(),
            json::parse(R"({"event":"LoadCounts","inserted":1,"updated":1,"skipped":0,)"
                        R"("failed":0})"));

  const std::string noB = dir.Put("nob.csv", "a\n1\n");
  target->Exec("CREATE TABLE " + T("n") + " (a int, b int)");
  struct {
    std::vector<std::string> Args;
    std::string Err;
  } const usage[] = {
      {Import(noB, "c", {"--mode", "skip"}), "but the file gives it no value"},
      {Import(input, "c", {"--mode", "replace", "--key", "a"}),
       "has no primary key or unique key of exactly these columns"},
      {Import(input, "c", {"--mode", "upsert", "--key", "a,z"}), "--key: 'z' is not a column"},
      {Import(input, "c", {"--mode", "upsert", "--key", "a,vv"}), "'vv' is not a column of table "},
      {Import(input, "c", {"--mode", "upsert", "--key", "a,vv"}), "(nearest: 'v')"},
      {Import(input, "c", {"--mode", "upsert", "--key", "a,\"b"}), "has no closing quote"},
      {Import(input, "n", {"--mode", "upsert"}), "name the key columns with --key COL,..."},
      {Import(input, "c", {"--key", "a"}), "give it with --mode replace, upsert or skip"},
      {Import(input, "c", {"--mode", "merge"}), "--mode 'merge': give append, truncate"},
  };
  for (const auto& u : usage) {
    r = Korvane(u.Args);
    EXPECT_EQ(r.Status, 2) << r.Err;
    EXPECT_NE(r.Err.find(u.Err), std::string::npos) << r.Err;
  }
  EXPECT_EQ(target->Dump("c", {"a", "b", "v"}), "1:1:x 1:2:y");

  // The header's names say where the key is, not the values' positions.
  target->Exec("CREATE TABLE " + T("k") + " (v text, k int PRIMARY KEY)");
  r = Korvane(Import(dir.Put("k.csv", "k\n7\n"), "k", {"--mode", "upsert"}));
  EXPECT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(target->Dump("k", {"k", "v"}), "7:-");

  // A settings file keeps the mode and the key.
  const std::string settings = dir.Path("upsert.kvs");
  r = Korvane(Import(input, "c", {"--mode", "replace", "--key", "b,a", "--save", settings}));
  ASSERT_EQ(r.Status, 0) << r.Err;
  target->Exec("UPDATE " + T("c") + " SET v = 'changed'");
  r = Korvane({"run", settings, "--json"});
  EXPECT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(json::parse(r.Out)["components"][0]["updated"], 2) << r.Out;
  EXPECT_NE(r.Err.find("Import: 0 inserted, 2 replaced, 0 skipped, 0 failed"), std::string::npos)
      << r.Err;
  EXPECT_EQ(target->Dump("c", {"a", "b", "v"}), "1:1:x 1:2:y");

  // A key column whose name holds a comma is named in double quotes.
  target->Exec("CREATE TABLE " + T("q") + " (\"r, s\" int PRIMARY KEY, v text)");
  r = Korvane(Import(dir.Put("q.csv", "\"r, s\",v\n1,x\n1,y\n"), "q",
                     {"--mode", "upsert", "--key", "\"r, s\""}));
  EXPECT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(target->Dump("q", {"\"r, s\"", "v"}), "1:y");

  // A new table gets the key --key names.
  r = Korvane(Import(input, "new", {"--create", "--mode", "skip", "--key", "a,b"}));
  EXPECT_EQ(r.Status, 0) << r.Err;
  r = Korvane(Import(input, "new", {"--mode", "skip", "--json"}));
  EXPECT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(json::parse(r.Out)["skipped"], 2);
}

// A record that leaves empty a key the table numbers itself is a new row,
// whichever keyed mode, beside records that meet rows by their key.
// A recurring job's file of the day may come empty: under a keyed mode it
// stores nothing and changes no row, as under append, rather than being
// taken for a file that leaves the key out.
TEST_P(CliModesTest, AFileOfNoRecordsMeetsNoRow) {
  for (const char* text : {"", "id,name,qty\n"}) {
    for (const char* mode : {"replace", "upsert", "skip"}) {
      SCOPED_TRACE(std::string(mode) + " of \"" + text + "\"");
      const TRun r = Korvane(Import(dir.Put("none.csv", text), "t", {"--mode", mode, "--json"}));
      EXPECT_EQ(r.Status, 0) << r.Err;
      EXPECT_EQ(Rows3(), "1:a:10 2:b:20");
      if (r.Status != 0) continue;
      const json j = json::parse(r.Out);
      EXPECT_EQ(j["inserted"].get<int>() + j["updated"].get<int>() + j["skipped"].get<int>(), 0);
    }
  }
}

TEST_P(CliModesTest, ARecordLeavingANumberedKeyEmptyIsANewRow) {
  target->Exec("CREATE TABLE " + T("s") + " (id " +
               (GetParam() ? "int GENERATED BY DEFAULT AS IDENTITY" : "INTEGER") +
               " PRIMARY KEY, name text)");
  const std::string input = dir.Put("s.csv", "id,name\n100,A\n,new\n");
  struct {
    const char* Mode;
    int Updated, Skipped;
  } const cases[] = {{"replace", 1, 0}, {"upsert", 1, 0}, {"skip", 0, 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Mode);
    target->Exec("DELETE FROM " + T("s") + "; INSERT INTO " + T("s") + " VALUES (100, 'a')");
    const TRun r = Korvane(Import(input, "s", {"--mode", c.Mode, "--json"}));
    EXPECT_EQ(r.Status, 0) << r.Err;
    const json j = json::parse(r.Out);
    EXPECT_EQ(j["inserted"], 1);
    EXPECT_EQ(j["updated"], c.Updated);
    EXPECT_EQ(j["skipped"], c.Skipped);
    EXPECT_EQ(target->Value("SELECT count(*) FROM " + T("s") + " WHERE id <> 100 AND name = 'new'"),
              "1");
  }
}

// Names reach SQL only quoted, also the key's and those the counts are read
// beside.
TEST_P(CliModesTest, HostileColumnNamesAsKeyAndValues) {
  const std::string key = "\"k\"\"; DROP TABLE x; --\"";
  const std::string value = "\"Tuples: inserted=9 'v'\"";
  target->Exec("CREATE TABLE " + T("h") + " (" + key + " int PRIMARY KEY, " + value + " text)");
  // Many rows besides: a PostgreSQL table many times larger than the file
  // is merged row by row (ON CONFLICT) rather than joined whole (MERGE).
  target->Exec("INSERT INTO " + T("h") + " WITH RECURSIVE g(i) AS (SELECT 1 UNION ALL SELECT " +
               "i + 1 FROM g WHERE i < 60000) SELECT i, 'a' FROM g WHERE i <> 2");
  // The header names them too (quoted as CSV quotes them, which is how SQL
  // quotes them).
  const std::string input = dir.Put("h.csv", key + "," + value + "\n1,b\n2,c\n");
  const TRun r =
      Korvane(Import(input, "h", {"--mode", "upsert", "--key", "k\"; DROP TABLE x; --", "--json"}));
  EXPECT_EQ(r.Status, 0) << r.Err;
  const json j = json::parse(r.Out);
  EXPECT_EQ(j["inserted"], 1);
  EXPECT_EQ(j["updated"], 1);
  target->Exec("DELETE FROM " + T("h") + " WHERE " + key + " > 2");
  EXPECT_EQ(target->Dump("h", {key, value}), "1:b 2:c");
}

// Under truncate the emptying goes in with the first record stored: a run
// that stores none keeps the old rows and says so; an input without records
// empties the table.
TEST_P(CliModesTest, ATruncateThatStoresNothingKeepsTheOldRows) {
  struct {
    const char* Name;
    const char* Records;
    std::vector<std::string> More;
    int Status;
    const char* Rows;
    int Stored;
    const char* Says;
  } const cases[] = {
      {"no value converts",
       "3,c,x\n4,d,y\n",
       {},
       3,
       "1:a:10 2:b:20",
       0,
       "0 inserted, 2 failed; nothing was stored, so the table was not emptied"},
      {"the table refuses each",
       "3,c,500\n4,d,600\n",
       {"--commit-every", "1"},
       3,
       "1:a:10 2:b:20",
       0,
       "the table was not emptied"},
      {"a later group stores",
       "3,c,x\n4,d,500\n5,e,50\n",
       {"--commit-every", "1"},
       3,
       "5:e:50",
       1,
       "table emptied, 1 inserted, 2 failed"},
      {"stopped by --max-errors",
       "3,c,x\n4,d,y\n5,e,50\n",
       {"--max-errors", "1"},
       1,
       "1:a:10 2:b:20",
       0,
       "the table was not emptied"},
      {"--atomic, failures allowed",
       "3,c,x\n",
       {"--atomic", "--max-errors", "5"},
       3,
       "1:a:10 2:b:20",
       0,
       "--atomic: nothing was stored; the table is as it was"},
      {"no records", "", {}, 0, "", 0, "table emptied, 0 inserted, 0 failed"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    target->Exec("DELETE FROM " + T("t"));
    target->Exec("INSERT INTO " + T("t") + " VALUES (1, 'a', 10), (2, 'b', 20)");
    const std::string input = dir.Put("in.csv", "id,name,qty\n" + std::string(c.Records));
    std::vector<std::string> more = {"--mode", "truncate", "--json"};
    more.insert(more.end(), c.More.begin(), c.More.end());
    const TRun r = Korvane(Import(input, "t", more));
    EXPECT_EQ(r.Status, c.Status) << r.Err;
    EXPECT_EQ(Rows3(), c.Rows);
    EXPECT_NE(r.Err.find(c.Says), std::string::npos) << r.Err;
    EXPECT_EQ(json::parse(r.Out)["stored"], c.Stored);
  }
  // Nor does a header that names no column empty it.
  target->Exec("INSERT INTO " + T("t") + " VALUES (1, 'a', 10)");
  const TRun r = Korvane(Import(dir.Put("h.csv", "id,nome\n3,c\n"), "t", {"--mode", "truncate"}));
  EXPECT_EQ(r.Status, 2) << r.Err;
  EXPECT_EQ(Rows3(), "1:a:10");
  // A table the run makes had nothing to empty, whether a record is stored
  // or none; korvane run of the saved import says the same, and speaks of
  // emptying once the table is there.
  for (const char* records : {"3,c,7\n", "3,c,x\n"}) {
    SCOPED_TRACE(records);
    const std::vector<std::string> create = {"--create", "--columns", "id int, name text, qty int",
                                             "--mode", "truncate"};
    const std::string input = dir.Put("n.csv", "id,name,qty\n" + std::string(records));
    target->Exec("DROP TABLE IF EXISTS " + T("n"));
    const TRun made = Korvane(Import(input, "n", create));
    EXPECT_NE(made.Err.find(" inserted, "), std::string::npos) << made.Err;
    EXPECT_EQ(made.Err.find("emptied"), std::string::npos) << made.Err;
    target->Exec("DROP TABLE IF EXISTS " + T("n"));
    std::vector<std::string> save = create;
    save.insert(save.end(), {"--save", dir.Path("n.kvs")});
    ASSERT_EQ(Korvane(Import(input, "n", save)).Status, 0);
    const std::string closing = made.Err.substr(made.Err.rfind("korvane: ") + 9);
    TRun run = Korvane({"run", dir.Path("n.kvs")});
    EXPECT_NE(run.Err.find("korvane: Import: " + closing), std::string::npos) << run.Err;
    run = Korvane({"run", dir.Path("n.kvs")});
    EXPECT_NE(run.Err.find("emptied"), std::string::npos) << run.Err;
  }
}

// A run killed in its first group under truncate leaves the old rows: the
// emptying is committed with the first group or not at all.
TEST_P(CliModesTest, AKilledTruncateLeavesTheOldRows) {
  const std::string events = dir.Path("events.jsonl");
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::dup2(fds[0], STDIN_FILENO);
    ::close(fds[0]);
    ::close(fds[1]);
    const TRun run = Korvane(
        Import("-", "t", {"--mode", "truncate", "--commit-every", "1000", "--events", events}));
    ::_exit(run.Status);
  }
  ::close(fds[0]);
  std::string records = "id,name,qty\n";
  for (int id = 10; id < 60; ++id) records += std::to_string(id) + ",n,1\n";
  ASSERT_EQ(::write(fds[1], records.data(), records.size()), static_cast<ssize_t>(records.size()));
  // Every record but the last posted (OnBeginImport is a line too).
  auto lines = [&events] {
    const std::string text = ReadText(events);
    return std::count(text.begin(), text.end(), '\n');
  };
  for (int wait = 0; wait < 30000 && lines() < 50; ++wait) ::usleep(1000);
  EXPECT_GE(lines(), 50);
  ::kill(child, SIGKILL);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ::close(fds[1]);
  EXPECT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(Rows3(), "1:a:10 2:b:20");
}

INSTANTIATE_TEST_SUITE_P(Databases, CliModesTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& param) {
                           return param.param ? "PostgreSQL" : "SQLite";
                         });

}  // namespace
}  // namespace korvane

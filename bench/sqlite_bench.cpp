// What TSQLiteDataSet costs over SQLite itself. Inserting: 1,000,000 typed
// people-like rows (id, name, city, amount, birth date, flag) through Append,
// the field setters and Post inside BeginBulk/EndBulk, against the floor of
// raw sqlite3 (one prepared INSERT bound per row from pre-built values, one
// transaction; once with the default connection and once, like the dataset's,
// without the connection's own mutex). Reading: walking the table with First/Next and the typed
// field getters, against stepping the same SELECT with sqlite3 directly.
// Prints each ratio to its floor at the end. KORVANE_BENCH_ROWS changes the
// row count.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "datasets/sqlite/sqlite_dataset.h"

namespace korvane {
namespace {

namespace fs = std::filesystem;

int Rows() {
  static const int rows = [] {
    const char* env = std::getenv("KORVANE_BENCH_ROWS");
    return env && std::atoi(env) > 0 ? std::atoi(env) : 1000000;
  }();
  return rows;
}

const char* const kColumns[] = {"id INTEGER",   "name TEXT", "city TEXT",
                                "amount MONEY", "born DATE", "active BOOLEAN"};

// Pre-built values, so that only storing them is measured. The floor gets
// the date already as text, as a hand-written loader would bind it.
struct Source {
  std::vector<std::string> names;
  std::vector<std::string> cities;
  std::vector<std::string> bornText;
  std::vector<TDateTime> born;
  Source() {
    const char* const towns[] = {"Springfield", "Riverside", "Fairview", "Kingston"};
    for (int i = 0; i < Rows(); ++i) {
      names.push_back("Customer number " + std::to_string(i));
      cities.push_back(towns[i % 4]);
      char text[16];
      std::snprintf(text, sizeof text, "%04d-%02d-%02d", 1950 + i % 50, 1 + i % 12, 1 + i % 28);
      bornText.push_back(text);
      born.push_back(EncodeDate(1950 + i % 50, 1 + i % 12, 1 + i % 28));
    }
  }
  static std::int64_t Amount(int i) { return std::int64_t{i % 100000} * 125; }  // 12.50 steps
  static bool Active(int i) { return i % 3 == 0; }
};

const Source& Values() {
  static const Source source;
  return source;
}

std::string DatabasePath(const char* name) {
  return (fs::temp_directory_path() / (std::string("korvane-bench-") + name + ".db")).string();
}

void RemoveDatabase(const std::string& path) {
  fs::remove(path);
  fs::remove(path + "-journal");
}

void Check(int rc, sqlite3* db) {
  if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW) {
    std::fprintf(stderr, "sqlite: %s\n", sqlite3_errmsg(db));
    std::exit(1);
  }
}

// noMutex: open the connection without its own mutex, as the dataset does.
void InsertRaw(const std::string& path, bool noMutex = false) {
  sqlite3* db = nullptr;
  Check(sqlite3_open_v2(
            path.c_str(), &db,
            SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | (noMutex ? SQLITE_OPEN_NOMUTEX : 0),
            nullptr),
        db);
  std::string create = "CREATE TABLE people (";
  for (const char* c : kColumns) create += std::string(c) + (c == kColumns[5] ? ")" : ", ");
  Check(sqlite3_exec(db, create.c_str(), nullptr, nullptr, nullptr), db);
  sqlite3_stmt* insert = nullptr;
  Check(sqlite3_prepare_v2(db, "INSERT INTO people VALUES (?,?,?,?,?,?)", -1, &insert, nullptr),
        db);
  Check(sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr), db);
  const Source& src = Values();
  for (int i = 0; i < Rows(); ++i) {
    const auto k = static_cast<std::size_t>(i);
    sqlite3_bind_int64(insert, 1, i);
    sqlite3_bind_text(insert, 2, src.names[k].data(), static_cast<int>(src.names[k].size()),
                      SQLITE_STATIC);
    sqlite3_bind_text(insert, 3, src.cities[k].data(), static_cast<int>(src.cities[k].size()),
                      SQLITE_STATIC);
    sqlite3_bind_double(insert, 4, static_cast<double>(Source::Amount(i)) / 10000.0);
    sqlite3_bind_text(insert, 5, src.bornText[k].data(), 10, SQLITE_STATIC);
    sqlite3_bind_int(insert, 6, Source::Active(i) ? 1 : 0);
    Check(sqlite3_step(insert), db);
    sqlite3_reset(insert);
  }
  Check(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db);
  sqlite3_finalize(insert);
  sqlite3_close(db);
}

void InsertDataSet(const std::string& path, int commitCount) {
  TSQLiteDataSet ds(nullptr);
  ds.SetDatabaseFile(path);
  ds.SetTableName("people");
  ds.SetCreateTable(true);
  for (const char* c : kColumns) ds.Columns()->Add(c);
  if (commitCount > 0) ds.SetBulkCommitCount(commitCount);
  ds.Open();
  TField* id = ds.Fields(0);
  TField* name = ds.Fields(1);
  TField* city = ds.Fields(2);
  TField* amount = ds.Fields(3);
  TField* born = ds.Fields(4);
  TField* active = ds.Fields(5);
  const Source& src = Values();
  ds.BeginBulk();
  for (int i = 0; i < Rows(); ++i) {
    const auto k = static_cast<std::size_t>(i);
    ds.Append();
    id->SetAsLargeInt(i);
    name->SetAsString(src.names[k]);
    city->SetAsString(src.cities[k]);
    amount->SetAsCurrency(Source::Amount(i));
    born->SetAsDateTime(src.born[k]);
    active->SetAsBoolean(Source::Active(i));
    ds.Post();
  }
  ds.EndBulk();
}

// state.range(0): 1 to open the connection without its mutex.
void BM_InsertFloor(benchmark::State& state) {
  Values();
  const std::string path = DatabasePath("floor");
  for (auto _ : state) {
    RemoveDatabase(path);
    InsertRaw(path, state.range(0) != 0);
  }
  RemoveDatabase(path);
  state.SetItemsProcessed(state.iterations() * Rows());
}

// state.range(0): records per commit (0: the default).
void BM_InsertDataSet(benchmark::State& state) {
  Values();
  const std::string path = DatabasePath("dataset");
  for (auto _ : state) {
    RemoveDatabase(path);
    InsertDataSet(path, static_cast<int>(state.range(0)));
  }
  RemoveDatabase(path);
  state.SetItemsProcessed(state.iterations() * Rows());
}

const std::string& ReadPath() {
  static const std::string path = [] {
    std::string p = DatabasePath("read");
    RemoveDatabase(p);
    InsertRaw(p);
    return p;
  }();
  return path;
}

void BM_ReadFloor(benchmark::State& state) {
  sqlite3* db = nullptr;
  Check(sqlite3_open(ReadPath().c_str(), &db), db);
  sqlite3_stmt* select = nullptr;
  Check(sqlite3_prepare_v2(db,
                           "SELECT rowid, id, name, city, amount, born, active FROM people "
                           "ORDER BY rowid",
                           -1, &select, nullptr),
        db);
  for (auto _ : state) {
    std::int64_t sum = 0;
    std::size_t bytes = 0;
    while (sqlite3_step(select) == SQLITE_ROW) {
      sum += sqlite3_column_int64(select, 1);
      bytes += static_cast<std::size_t>(sqlite3_column_bytes(select, 2));
      bytes += static_cast<std::size_t>(sqlite3_column_bytes(select, 3));
      sum += static_cast<std::int64_t>(sqlite3_column_double(select, 4));
      bytes += static_cast<std::size_t>(sqlite3_column_bytes(select, 5));
      sum += sqlite3_column_int(select, 6);
    }
    sqlite3_reset(select);
    benchmark::DoNotOptimize(sum + static_cast<std::int64_t>(bytes));
  }
  sqlite3_finalize(select);
  sqlite3_close(db);
  state.SetItemsProcessed(state.iterations() * Rows());
}

void BM_ReadDataSet(benchmark::State& state) {
  TSQLiteDataSet ds(nullptr);
  ds.SetDatabaseFile(ReadPath());
  ds.SetTableName("people");
  ds.Open();
  TField* f[6];
  for (int i = 0; i < 6; ++i) f[i] = ds.Fields(i);
  for (auto _ : state) {
    std::int64_t sum = 0;
    std::size_t bytes = 0;
    for (ds.First(); !ds.Eof(); ds.Next()) {
      sum += f[0]->AsLargeInt() + f[3]->AsCurrency();
      bytes += f[1]->BlobData().size() + f[2]->BlobData().size();
      sum += static_cast<std::int64_t>(f[4]->AsDateTime());
      sum += f[5]->AsBoolean() ? 1 : 0;
    }
    benchmark::DoNotOptimize(sum + static_cast<std::int64_t>(bytes));
  }
  state.SetItemsProcessed(state.iterations() * Rows());
}

BENCHMARK(BM_InsertFloor)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_InsertDataSet)->Arg(0)->Arg(100000000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ReadFloor)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ReadDataSet)->Unit(benchmark::kMillisecond)->UseRealTime();

// Console output plus each dataset run's ratio to its floor, by wall time
// (committing waits on the disk) and by CPU time.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median") continue;
      std::string name = run.run_name.function_name;
      if (!run.run_name.args.empty()) name += "/" + run.run_name.args;
      real_[name] = run.GetAdjustedRealTime();
      cpu_[name] = run.GetAdjustedCPUTime();
    }
    ConsoleReporter::ReportRuns(runs);
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    const std::pair<const char*, const char*> pairs[] = {
        {"BM_InsertDataSet/0", "BM_InsertFloor/0"},
        {"BM_InsertDataSet/0", "BM_InsertFloor/1"},
        {"BM_InsertDataSet/100000000", "BM_InsertFloor/0"},
        {"BM_InsertDataSet/100000000", "BM_InsertFloor/1"},
        {"BM_ReadDataSet", "BM_ReadFloor"}};
    for (const auto& [ours, floor] : pairs) {
      if (real_[floor] > 0 && real_[ours] > 0) {
        std::printf("%-28s / %-17s wall %.2f  cpu %.2f  (%.0f ns per row over the floor)\n", ours,
                    floor, real_[ours] / real_[floor], cpu_[ours] / cpu_[floor],
                    (real_[ours] - real_[floor]) * 1e6 / Rows());
      }
    }
  }

 private:
  std::map<std::string, double> real_;
  std::map<std::string, double> cpu_;
};

}  // namespace
}  // namespace korvane

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  korvane::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  korvane::RemoveDatabase(korvane::DatabasePath("read"));
  return 0;
}

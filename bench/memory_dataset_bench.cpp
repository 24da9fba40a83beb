// What the dataset layer costs per record: appending typed values through
// Append / field setters / Post into a TMemoryDataSet, and walking them back
// with First / Next and the field getters, each against a floor that does the
// same work on a plain std::vector of records. Prints the ratios at the end.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "datasets/memory/memory_dataset.h"

namespace korvane {
namespace {

constexpr int kRecords = 1000000;

// The values of one record of a customer file: id, two names, an amount in
// ten-thousandths, a date and a flag. Built once so that only storing them
// is measured.
struct Source {
  std::vector<std::string> names;
  std::vector<std::string> cities;
  Source() {
    names.reserve(kRecords);
    cities.reserve(kRecords);
    for (int i = 0; i < kRecords; ++i) {
      names.push_back("Customer number " + std::to_string(i));  // past the short-string size
      cities.push_back(i % 2 ? "Springfield" : "Riverside");
    }
  }
};

const Source& Values() {
  static const Source source;
  return source;
}

void FillDataSet(TMemoryDataSet& ds) {
  ds.SetFieldDefs({{"Id", ftInteger},
                   {"Name", ftString, 30},
                   {"City", ftString, 20},
                   {"Amount", ftCurrency},
                   {"Day", ftDate},
                   {"Active", ftBoolean}});
  ds.Open();
  TField* id = ds.Fields(0);
  TField* name = ds.Fields(1);
  TField* city = ds.Fields(2);
  TField* amount = ds.Fields(3);
  TField* day = ds.Fields(4);
  TField* active = ds.Fields(5);
  const Source& src = Values();
  for (int i = 0; i < kRecords; ++i) {
    ds.Append();
    id->SetAsInteger(i);
    name->SetAsString(src.names[static_cast<std::size_t>(i)]);
    city->SetAsString(src.cities[static_cast<std::size_t>(i)]);
    amount->SetAsCurrency(std::int64_t{i} * 125);
    day->SetAsDateTime(45000.0 + i % 365);
    active->SetAsBoolean(i % 3 == 0);
    ds.Post();
  }
}

using Row = std::array<TFieldData, 6>;

void FillRows(std::vector<Row>& rows) {
  const Source& src = Values();
  for (int i = 0; i < kRecords; ++i) {
    Row& r = rows.emplace_back();
    r[0].emplace<std::int64_t>(i);
    r[1].emplace<std::string>(src.names[static_cast<std::size_t>(i)]);
    r[2].emplace<std::string>(src.cities[static_cast<std::size_t>(i)]);
    r[3].emplace<std::int64_t>(std::int64_t{i} * 125);
    r[4].emplace<double>(45000.0 + i % 365);
    r[5].emplace<bool>(i % 3 == 0);
  }
}

void BM_AppendFloor(benchmark::State& state) {
  Values();
  for (auto _ : state) {
    std::vector<Row> rows;
    rows.reserve(kRecords);
    FillRows(rows);
    benchmark::DoNotOptimize(rows.data());
  }
  state.SetItemsProcessed(state.iterations() * kRecords);
}

void BM_AppendDataSet(benchmark::State& state) {
  Values();
  for (auto _ : state) {
    TMemoryDataSet ds;
    FillDataSet(ds);
    benchmark::DoNotOptimize(ds.RecordCount());
  }
  state.SetItemsProcessed(state.iterations() * kRecords);
}

void BM_WalkFloor(benchmark::State& state) {
  std::vector<Row> rows;
  rows.reserve(kRecords);
  FillRows(rows);
  for (auto _ : state) {
    std::int64_t sum = 0;
    std::size_t bytes = 0;
    for (const Row& r : rows) {
      sum += std::get<std::int64_t>(r[0]) + std::get<std::int64_t>(r[3]);
      bytes += std::get<std::string>(r[1]).size() + std::get<std::string>(r[2]).size();
      sum += std::get<bool>(r[5]) ? 1 : 0;
      sum += static_cast<std::int64_t>(std::get<double>(r[4]));
    }
    benchmark::DoNotOptimize(sum + static_cast<std::int64_t>(bytes));
  }
  state.SetItemsProcessed(state.iterations() * kRecords);
}

void BM_WalkDataSet(benchmark::State& state) {
  TMemoryDataSet ds;
  FillDataSet(ds);
  TField* f[6];
  for (int i = 0; i < 6; ++i) f[i] = ds.Fields(i);
  for (auto _ : state) {
    std::int64_t sum = 0;
    std::size_t bytes = 0;
    for (ds.First(); !ds.Eof(); ds.Next()) {
      sum += f[0]->AsLargeInt() + f[3]->AsCurrency();
      bytes += f[1]->BlobData().size() + f[2]->BlobData().size();
      sum += f[5]->AsBoolean() ? 1 : 0;
      sum += static_cast<std::int64_t>(f[4]->AsDateTime());
    }
    benchmark::DoNotOptimize(sum + static_cast<std::int64_t>(bytes));
  }
  state.SetItemsProcessed(state.iterations() * kRecords);
}

BENCHMARK(BM_AppendFloor)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AppendDataSet)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WalkFloor)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WalkDataSet)->Unit(benchmark::kMillisecond);

// Console output plus the ratio of each dataset run to its floor, by CPU
// time (the machine is shared, so wall time waits on other work).
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) times_[run.benchmark_name()] = run.GetAdjustedCPUTime();
    ConsoleReporter::ReportRuns(runs);
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    for (const char* what : {"Append", "Walk"}) {
      double floor = times_["BM_" + std::string(what) + "Floor"];
      double ours = times_["BM_" + std::string(what) + "DataSet"];
      if (floor > 0 && ours > 0) {
        std::printf("%s: dataset / floor = %.2f (%.0f ns per record over the floor)\n", what,
                    ours / floor, (ours - floor) * 1e6 / kRecords);
      }
    }
  }

 private:
  std::map<std::string, double> times_;
};

}  // namespace
}  // namespace korvane

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  korvane::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}

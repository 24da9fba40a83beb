// Splitting and storing: 1,000,000 people-like records (integer, two quoted
// strings, a 2-decimal amount into a currency field, an m/d/yyyy date, a
// boolean) read, split and stored into a TMemoryDataSet, against the reader
// alone as the floor.
#include <memory>

#include "bench/import_bench_support.h"
#include "datasets/memory/memory_dataset.h"
#include "import/kvcsvimp.h"
#include "components/kvtypes.h"

namespace korvane::bench {
namespace {

constexpr std::int64_t kRecords = 1000000;

const TBenchFile& File() {
  // A static object, so that the file is removed when the program ends.
  static const TBenchFile file("split.csv");
  static const bool written = (WritePeopleFile(file.Path(), kRecords), true);
  static_cast<void>(written);
  return file;
}

std::unique_ptr<TCSVImport> NewImport() {
  auto imp = std::make_unique<TCSVImport>(nullptr);
  imp->SetInputFile(File().Path());
  imp->SetFieldSeparator(fspComma);
  imp->SetFieldDelimiter(fdlDouble);
  imp->ResolveSeparators();
  return imp;
}

void Report(benchmark::State& state) {
  state.SetBytesProcessed(state.iterations() * File().Size());
  state.SetItemsProcessed(state.iterations() * kRecords);
}

void BM_Reader(benchmark::State& state) {
  auto imp = NewImport();
  for (auto _ : state) {
    if (!imp->OpenInputFile()) return state.SkipWithError("cannot open the input");
    std::string rec;
    std::uint32_t bytes = 0;
    while (!imp->EndOfFile()) {
      imp->ReadTextFileRecord(imp->FileHandle(), bytes, rec);
      benchmark::DoNotOptimize(rec.data());
    }
    imp->CloseInputFile();
  }
  Report(state);
}
BENCHMARK(BM_Reader)->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_ReadSplit(benchmark::State& state) {
  auto imp = NewImport();
  TValueList values;
  for (auto _ : state) {
    if (!imp->OpenInputFile()) return state.SkipWithError("cannot open the input");
    std::string rec;
    std::uint32_t bytes = 0;
    while (!imp->EndOfFile()) {
      imp->ReadTextFileRecord(imp->FileHandle(), bytes, rec);
      static_cast<void>(imp->SplitFieldsInto(rec, values));
      benchmark::DoNotOptimize(values.Count());
    }
    imp->CloseInputFile();
  }
  Report(state);
}
BENCHMARK(BM_ReadSplit)->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_ReadSplitStore(benchmark::State& state) {
  auto imp = NewImport();
  TMemoryDataSet data;
  DefinePeople(data);
  data.Open();
  data.Reserve(static_cast<std::size_t>(kRecords));
  TValueList values;
  int failed = 0;
  for (auto _ : state) {
    state.PauseTiming();
    data.EmptyDataSet();
    state.ResumeTiming();
    if (!imp->OpenInputFile()) return state.SkipWithError("cannot open the input");
    std::string rec;
    std::uint32_t bytes = 0;
    failed = 0;
    while (!imp->EndOfFile()) {
      imp->ReadTextFileRecord(imp->FileHandle(), bytes, rec);
      if (!imp->SplitFieldsInto(rec, values)) continue;
      data.Append();
      const int n = std::min(values.Count(), data.FieldCount());
      for (int i = 0; i < n; ++i) {
        if (!WriteFieldData(values[i], data.Fields(i))) ++failed;
      }
      data.Post();
    }
    imp->CloseInputFile();
  }
  if (failed != 0 || data.RecordCount() != kRecords) state.SkipWithError("records were lost");
  Report(state);
}
BENCHMARK(BM_ReadSplitStore)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace
}  // namespace korvane::bench

int main(int argc, char** argv) {
  using korvane::bench::TRatioReporter;
  return korvane::bench::RunWithRatios(argc, argv, [](const TRatioReporter& r) {
    r.PrintRatio("read + split", "BM_ReadSplit", "BM_Reader");
    r.PrintRatio("read + split + store into TMemoryDataSet", "BM_ReadSplitStore", "BM_Reader");
  });
}

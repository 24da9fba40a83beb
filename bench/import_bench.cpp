// The whole import: TCSVImport::Execute over 1,000,000 people-like records
// into a TMemoryDataSet, with and without the progress window, against the
// reader alone and the reader plus splitter as floors. A run into a dataset
// that keeps nothing shows whether the component's own memory grows with the
// file.
#include <sys/resource.h>

#include <fstream>
#include <functional>
#include <memory>

#include "bench/import_bench_support.h"
#include "datasets/memory/memory_dataset.h"
#include "ui/forms.h"
#include "ui/terminal_renderer.h"
#include "import/kvcsvimp.h"

namespace korvane::bench {
namespace {

constexpr std::int64_t kRecords = 1000000;

const TBenchFile& File() {
  // A static object, so that the file is removed when the program ends.
  static const TBenchFile file("import.csv");
  static const bool written = (WritePeopleFile(file.Path(), kRecords), true);
  static_cast<void>(written);
  return file;
}

// The same records with every value quoted and one in ten holding a doubled
// quote or a line break.
const TBenchFile& QuotedFile() {
  static const TBenchFile file("import_quoted.csv");
  static const bool written = (WritePeopleFile(file.Path(), kRecords, true), true);
  static_cast<void>(written);
  return file;
}

// The same records with their dates as yyyy-mm-dd.
const TBenchFile& IsoFile() {
  static const TBenchFile file("import_iso.csv");
  static const bool written = (WritePeopleFile(file.Path(), kRecords, false, true), true);
  static_cast<void>(written);
  return file;
}

void Configure(TCSVImport& imp) {
  imp.SetInputFile(File().Path());
  imp.SetFieldSeparator(fspComma);
  imp.SetFieldDelimiter(fdlDouble);
}

void Report(benchmark::State& state, const TBenchFile& file = File()) {
  state.SetBytesProcessed(state.iterations() * file.Size());
  state.SetItemsProcessed(state.iterations() * kRecords);
}

void BM_Reader(benchmark::State& state) {
  TCSVImport imp(nullptr);
  Configure(imp);
  for (auto _ : state) {
    if (!imp.OpenInputFile()) return state.SkipWithError("cannot open the input");
    std::string rec;
    std::uint32_t bytes = 0;
    while (!imp.EndOfFile()) {
      imp.ReadTextFileRecord(imp.FileHandle(), bytes, rec);
      benchmark::DoNotOptimize(rec.data());
    }
    imp.CloseInputFile();
  }
  Report(state);
}
BENCHMARK(BM_Reader)->Unit(benchmark::kMillisecond)->Iterations(20)->Repetitions(6);

void BM_ReadSplit(benchmark::State& state) {
  TCSVImport imp(nullptr);
  Configure(imp);
  imp.ResolveSeparators();
  TValueList values;
  for (auto _ : state) {
    if (!imp.OpenInputFile()) return state.SkipWithError("cannot open the input");
    std::string rec;
    std::uint32_t bytes = 0;
    while (!imp.EndOfFile()) {
      imp.ReadTextFileRecord(imp.FileHandle(), bytes, rec);
      static_cast<void>(imp.SplitFieldsInto(rec, values));
      benchmark::DoNotOptimize(values.Count());
    }
    imp.CloseInputFile();
  }
  Report(state);
}
BENCHMARK(BM_ReadSplit)->Unit(benchmark::kMillisecond)->Iterations(8)->Repetitions(6);

// Execute into a memory dataset. progress: 0 off, 1 the window as a model
// (no renderer), 2 drawn by the terminal renderer (to /dev/null, as on an
// ANSI terminal). The records are read ahead on a second thread, which on
// two shared processors now and then waits for the other thread's
// processor: several short repetitions, of which the ratios take the best,
// keep such a stretch from standing for the whole run. CPU time is the
// process's, both threads.
void BM_Execute(benchmark::State& state) {
  const auto progress = state.range(0);
  std::ofstream devNull("/dev/null");
  TScopedRendererFactory renderers(
      progress == 2 ? TRendererFactory([&devNull](TForm&) -> std::unique_ptr<TFormRenderer> {
        TTerminalRendererOptions options;
        options.IsTerminal = true;
        return std::make_unique<TTerminalRenderer>(devNull, options);
      })
                    : TRendererFactory());
  TMemoryDataSet data;
  DefinePeople(data);
  data.Open();
  data.Reserve(static_cast<std::size_t>(kRecords));
  TCSVImport imp(nullptr);
  Configure(imp);
  imp.SetDataSet(&data);
  imp.SetShowProgress(progress != 0);
  std::int32_t result = 0;
  for (auto _ : state) {
    state.PauseTiming();
    data.EmptyDataSet();
    state.ResumeTiming();
    result = imp.Execute();
  }
  if (result != kRecords || imp.ErrorRecords() != 0 || data.RecordCount() != kRecords) {
    state.SkipWithError("records were lost");
  }
  Report(state);
}
BENCHMARK(BM_Execute)
    ->ArgName("progress")
    ->Arg(0)
    ->Arg(1)
    ->Arg(2)
    ->MeasureProcessCPUTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(4)
    ->Repetitions(6);

// Execute into a memory dataset, set up by setup (with an OnRecordError
// handler when withHandler); the runs whose figures two settings compare
// side by side. Every record of file is to be stored unless !whole (the
// classic rules cut the quoted file's records at their line breaks).
void ExecuteSetUp(benchmark::State& state, bool withHandler,
                  const std::function<void(TCSVImport&)>& setup, const TBenchFile& file = File(),
                  bool whole = true, TFieldType amountType = ftCurrency) {
  TMemoryDataSet data;
  DefinePeople(data, amountType);
  data.Open();
  data.Reserve(static_cast<std::size_t>(kRecords));
  TCSVImport imp(nullptr);
  Configure(imp);
  imp.SetInputFile(file.Path());
  imp.SetDataSet(&data);
  std::int64_t failed = 0;
  if (withHandler) imp.SetOnRecordError([&failed](TObject*, const TRecordError&) { ++failed; });
  setup(imp);
  std::int32_t result = 0;
  for (auto _ : state) {
    state.PauseTiming();
    data.EmptyDataSet();
    state.ResumeTiming();
    result = imp.Execute();
  }
  if (whole && (result != kRecords || failed != 0 || imp.ErrorRecords() != 0)) {
    state.SkipWithError("records were lost");
  }
  Report(state, file);
}

// The timing of the runs compared side by side: the CPU time of the process
// (both threads), over several short repetitions.
void SideBySide(benchmark::internal::Benchmark* b) {
  b->MeasureProcessCPUTime()->Unit(benchmark::kMillisecond)->Iterations(4)->Repetitions(6);
}

// The forgiving readers (0) against the strict ones (1), as the command runs.
void BM_ExecuteValueErrors(benchmark::State& state) {
  ExecuteSetUp(state, state.range(0) == 1, [&state](TCSVImport& imp) {
    imp.SetValueErrors(state.range(0) == 1 ? veStrict : veLenient);
  });
}
BENCHMARK(BM_ExecuteValueErrors)->ArgName("strict")->Arg(0)->Arg(1)->Apply(SideBySide);

// The amounts read as money (0) or as floats (1): the float readers' share
// of a whole import.
void BM_ExecuteAmounts(benchmark::State& state) {
  ExecuteSetUp(
      state, false, [](TCSVImport&) {}, File(), true, state.range(0) == 1 ? ftFloat : ftCurrency);
}
BENCHMARK(BM_ExecuteAmounts)->ArgName("float")->Arg(0)->Arg(1)->Apply(SideBySide);

// The classic text rules (0) against the standard ones (1), which the
// command reads by default, on the people file and on the quoted one. On
// the quoted file the classic rules cut records at their line breaks and
// store other records than the standard ones: the figure compares the speed
// of reading the same bytes.
void BM_ExecuteDialect(benchmark::State& state) {
  const bool standard = state.range(0) == 1;
  const bool quoted = state.range(1) == 1;
  ExecuteSetUp(
      state, false,
      [standard](TCSVImport& imp) { imp.SetDialect(standard ? dlStandard : dlClassic); },
      quoted ? QuotedFile() : File(), standard || !quoted);
}
BENCHMARK(BM_ExecuteDialect)
    ->ArgNames({"standard", "quoted"})
    ->ArgsProduct({{0, 1}, {0, 1}})
    ->Apply(SideBySide);

// Dates read with the format settings' m/d/yyyy (0) against the same
// dates read as ISO 8601 (1), the command's default.
void BM_ExecuteDates(benchmark::State& state) {
  const bool iso = state.range(0) == 1;
  ExecuteSetUp(
      state, false,
      [iso](TCSVImport& imp) { imp.SetDateTimeStyle(iso ? dsISO8601 : dsFormatSettings); },
      iso ? IsoFile() : File());
}
BENCHMARK(BM_ExecuteDates)->ArgName("iso")->Arg(0)->Arg(1)->Apply(SideBySide);

// The standard rules without and with an OnRecordError handler (no record
// fails), with the records read ahead and split on a second thread
// (readahead:1) or read and split on the caller's (readahead:0), as from a
// pipe: what a handler costs the records that are stored.
void BM_ExecuteHandler(benchmark::State& state) {
  ExecuteSetUp(state, state.range(0) == 1, [&state](TCSVImport& imp) {
    imp.SetDialect(dlStandard);
    imp.SetReadAhead(state.range(1) == 1);
  });
}
BENCHMARK(BM_ExecuteHandler)
    ->ArgNames({"handler", "readahead"})
    ->ArgsProduct({{0, 1}, {1, 0}})
    ->Apply(SideBySide);

// A dataset that accepts every record and keeps none: what remains of a run's
// memory is the component's own.
class TDiscardDataSet : public TDataSet {
 public:
  TDiscardDataSet() : TDataSet(nullptr) {}
  ~TDiscardDataSet() override { Close(); }

 protected:
  void InternalOpen() override {
    CreateFields({{"Id", ftInteger, 0},
                  {"Name", ftString, 40},
                  {"City", ftString, 30},
                  {"Amount", ftCurrency, 0},
                  {"Born", ftDate, 0},
                  {"Active", ftBoolean, 0}});
  }
  void InternalClose() override {}
  bool InternalFirst() override { return false; }
  bool InternalNext() override { return false; }
  void InternalPost() override {}
};

long MaxRssKiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

void BM_ExecuteMemory(benchmark::State& state) {
  TDiscardDataSet data;
  TCSVImport imp(nullptr);
  Configure(imp);
  imp.SetDataSet(&data);
  imp.SetShowProgress(true);
  static_cast<void>(imp.Execute());  // warm up: buffers and slots reach their size
  const long before = MaxRssKiB();
  for (auto _ : state) static_cast<void>(imp.Execute());
  state.counters["peak_rss_growth_KiB"] = static_cast<double>(MaxRssKiB() - before);
  Report(state);
}
BENCHMARK(BM_ExecuteMemory)->MeasureProcessCPUTime()->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
}  // namespace korvane::bench

int main(int argc, char** argv) {
  using korvane::bench::TRatioReporter;
  // Each line: what is measured, the benchmark, and its floor.
  static const char* const kRatios[][3] = {
      {"read + split (floor 2) vs reader", "BM_ReadSplit", "BM_Reader"},
      {"Execute vs read + split", "BM_Execute/progress:0", "BM_ReadSplit"},
      {"Execute vs reader", "BM_Execute/progress:0", "BM_Reader"},
      {"Execute, discarding dataset vs read + split", "BM_ExecuteMemory", "BM_ReadSplit"},
      {"Execute, window (model) vs without", "BM_Execute/progress:1", "BM_Execute/progress:0"},
      {"Execute, window (terminal) vs without", "BM_Execute/progress:2", "BM_Execute/progress:0"},
      {"Execute, strict vs lenient values", "BM_ExecuteValueErrors/strict:1",
       "BM_ExecuteValueErrors/strict:0"},
      {"Execute, float vs money amounts", "BM_ExecuteAmounts/float:1", "BM_ExecuteAmounts/float:0"},
      {"Execute, standard vs classic rules", "BM_ExecuteDialect/standard:1/quoted:0",
       "BM_ExecuteDialect/standard:0/quoted:0"},
      {"quoted file: standard vs classic rules", "BM_ExecuteDialect/standard:1/quoted:1",
       "BM_ExecuteDialect/standard:0/quoted:1"},
      {"Execute, ISO 8601 vs m/d/yyyy dates", "BM_ExecuteDates/iso:1", "BM_ExecuteDates/iso:0"},
      {"Execute, handler vs none (read ahead)", "BM_ExecuteHandler/handler:1/readahead:1",
       "BM_ExecuteHandler/handler:0/readahead:1"},
      {"Execute, handler vs none (one thread)", "BM_ExecuteHandler/handler:1/readahead:0",
       "BM_ExecuteHandler/handler:0/readahead:0"},
  };
  return korvane::bench::RunWithRatios(argc, argv, [](const TRatioReporter& r) {
    for (const auto& [label, name, floor] : kRatios) r.PrintRatio(label, name, floor);
  });
}

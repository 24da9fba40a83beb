// Export speed: TCSVExport writing 1,000,000 people-like records (integer,
// two strings, currency, date, boolean) from an in-memory dataset, delimited
// and fixed-width, against the floor of writing the same bytes, already
// formatted, in 1 MiB chunks. Prints records/s and MB/s for each and the
// ratio of each export to its floor. The delimited export runs once more
// with WholeValues (its own floor beside it), so both settings' figures come
// from the same run, and under the standard text rules against the classic
// ones: on the same records, and on records with every value quoted of
// which one in ten holds a quote or a line break. The same records with
// their balances as floats (two decimals, written as their shortest text)
// against the money column, and with their dates in ISO 8601 against
// m/d/yyyy, in the same run.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <tuple>

#include "datasets/memory/memory_dataset.h"
#include "text/formats.h"
#include "export/kvcsvexp.h"

namespace korvane {
namespace {

namespace fs = std::filesystem;

constexpr int kRecords = 1'000'000;

const char* const kCities[] = {"Oslo",  "Lisbon", "Krakow",   "Valparaiso", "Nairobi",
                               "Osaka", "Quito",  "Montreal", "Tbilisi",    "Perth",
                               "Dakar", "Hanoi",  "Bergen",   "Cork",       "Graz"};

// The people records; quoted: one value in ten holds a quote (a name) or a
// line break (a city); floats: the balance a float of the same value.
TMemoryDataSet& People(bool quoted, bool floats = false) {
  const auto make = [quoted, floats] {
    auto* d = new TMemoryDataSet(nullptr);
    d->SetFieldDefs({{"ID", ftInteger},
                     {"Name", ftString, 24},
                     {"City", ftString, 16},
                     {"Balance", floats ? ftFloat : ftCurrency},
                     {"Born", ftDate},
                     {"Active", ftBoolean}});
    d->Reserve(kRecords);
    d->Open();
    const TDateTime firstDay = EncodeDate(1940, 1, 1);
    std::uint64_t seed = 88172645463325252ull;
    auto next = [&seed] {
      seed ^= seed << 13;
      seed ^= seed >> 7;
      seed ^= seed << 17;
      return seed;
    };
    for (int i = 1; i <= kRecords; ++i) {
      const std::uint64_t r = next();
      const int kind = quoted ? i % 10 : 9;
      const std::int64_t balance = static_cast<std::int64_t>(r % 100'000'000) * 100 - 2'000'000'000;
      d->AppendData(
          {std::int64_t{i},
           (kind < 3 ? "Person \"" : "Person ") + std::to_string(r % 900000 + 100000) +
               (kind < 3 ? "\"" : ""),
           std::string(kCities[r % 15]) + (kind >= 3 && kind < 6 ? "\nCentre" : ""),
           floats ? TFieldData(static_cast<double>(balance) / 10000) : TFieldData(balance),
           firstDay + static_cast<double>(r % 25000), (r & 1) != 0});
    }
    d->Fields(1)->SetDisplayWidth(14);
    d->Fields(2)->SetDisplayWidth(12);
    d->Fields(3)->SetDisplayWidth(13);
    return d;
  };
  if (floats) {
    static TMemoryDataSet* withFloats = make();
    return *withFloats;
  }
  static TMemoryDataSet* plain = make();
  if (!quoted) return *plain;
  static TMemoryDataSet* awkward = make();
  return *awkward;
}

std::string TempPath(const char* name) {
  return (fs::temp_directory_path() /
          (std::string("kvexport_bench_") + std::to_string(getpid()) + "_" + name))
      .string();
}

std::string ReadAll(const std::string& path) {
  std::string text;
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return text;
  char chunk[1 << 16];
  std::size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) text.append(chunk, n);
  std::fclose(f);
  return text;
}

// The layouts measured: fixed-width or delimited, whole values or not, the
// text rules, and the awkward records with every value quoted or not.
struct TLayout {
  bool Fixed;
  bool Whole;
  TDialect Dialect = dlClassic;
  bool Quoted = false;
  bool Floats = false;
  bool Iso = false;  // dates in ISO 8601 (the command's default)
  bool operator<(const TLayout& other) const {
    return std::tie(Fixed, Whole, Dialect, Quoted, Floats, Iso) <
           std::tie(other.Fixed, other.Whole, other.Dialect, other.Quoted, other.Floats,
                    other.Iso);
  }
};

void Configure(TCSVExport& exp, TLayout layout) {
  const bool fixed = layout.Fixed;
  exp.SetDataSet(&People(layout.Quoted, layout.Floats));
  exp.SetWholeValues(layout.Whole);
  exp.SetDialect(layout.Dialect);
  exp.SetDateTimeStyle(layout.Iso ? dsISO8601 : dsFormatSettings);
  exp.SetOutputFile(TempPath(fixed ? "fixed.txt" : "delimited.txt"));
  if (fixed) {
    exp.SetExportType(expFixed);
    exp.SetFieldSeparator(fspNone);
    exp.SetNumericAlign(naRight);
  } else {
    exp.SetFieldSeparator(fspComma);
    exp.SetFieldDelimiter(fdlDouble);
    exp.SetDelimitedFields(layout.Quoted ? dfAll : dfTextOnly);
  }
}

// The bytes each layout produces, made once by the component itself so that
// the floor writes exactly the same file.
const std::string& Expected(TLayout layout) {
  static std::map<TLayout, std::string> cache;
  auto it = cache.find(layout);
  if (it != cache.end()) return it->second;
  TCSVExport exp(nullptr);
  Configure(exp, layout);
  if (exp.Execute() != kRecords) std::abort();
  std::string text = ReadAll(exp.OutputFile());
  fs::remove(exp.OutputFile());
  return cache.emplace(layout, std::move(text)).first->second;
}

void SetRates(benchmark::State& state, std::size_t bytes) {
  state.counters["records/s"] = benchmark::Counter(static_cast<double>(kRecords),
                                                   benchmark::Counter::kIsIterationInvariantRate);
  state.counters["MB/s"] = benchmark::Counter(static_cast<double>(bytes) / 1e6,
                                              benchmark::Counter::kIsIterationInvariantRate);
}

void BM_Export(benchmark::State& state, TLayout layout) {
  const std::size_t bytes = Expected(layout).size();
  TCSVExport exp(nullptr);
  Configure(exp, layout);
  for (auto _ : state) {
    if (exp.Execute() != kRecords) state.SkipWithError("export failed");
  }
  SetRates(state, bytes);
  fs::remove(exp.OutputFile());
}

// The floor: the finished bytes written to the same kind of file in 1 MiB
// chunks, one open, truncate and close per iteration like the export.
void BM_Floor(benchmark::State& state, TLayout layout) {
  const std::string& text = Expected(layout);
  const std::string path = TempPath("floor.txt");
  constexpr std::size_t kChunk = 1 << 20;
  for (auto _ : state) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
      state.SkipWithError("open failed");
      break;
    }
    for (std::size_t at = 0; at < text.size(); at += kChunk) {
      const std::size_t n = std::min(kChunk, text.size() - at);
      if (::write(fd, text.data() + at, n) != static_cast<ssize_t>(n)) state.SkipWithError("write");
    }
    ::close(fd);
  }
  SetRates(state, text.size());
  fs::remove(path);
}

// Each layout's export, and the floors the ratios take them against.
void Register() {
  struct TRun {
    const char* Name;
    TLayout Layout;
    bool Floor;
  };
  static const TRun kRuns[] = {
      {"delimited", {false, false}, true},
      {"delimited", {false, false}, false},
      {"delimited_whole", {false, true}, true},
      {"delimited_whole", {false, true}, false},
      {"fixed", {true, false}, true},
      {"fixed", {true, false}, false},
      {"delimited_standard", {false, false, dlStandard}, false},
      {"quoted_classic", {false, false, dlClassic, true}, false},
      {"quoted_standard", {false, false, dlStandard, true}, false},
      {"floats", {false, false, dlClassic, false, true}, true},
      {"floats", {false, false, dlClassic, false, true}, false},
      {"delimited_iso", {false, false, dlClassic, false, false, true}, false},
  };
  for (const TRun& run : kRuns) {
    benchmark::internal::Benchmark* b =
        run.Floor ? benchmark::RegisterBenchmark((std::string("BM_Floor/") + run.Name).c_str(),
                                                 BM_Floor, run.Layout)
                  : benchmark::RegisterBenchmark((std::string("BM_Export/") + run.Name).c_str(),
                                                 BM_Export, run.Layout)
                        ->MeasureProcessCPUTime();
    b->UseRealTime()
        ->Unit(benchmark::kMillisecond)
        ->Iterations(3)
        ->Repetitions(5)
        ->ReportAggregatesOnly(true);
  }
}

// Keeps each benchmark's median time per iteration so that the ratios can be
// printed. The machine is shared, so the median of several repetitions is
// used, and the ratio is given both for elapsed and for CPU time. An export
// formats and writes on threads of its own besides the caller's: its CPU
// time is the whole process's.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median" &&
          !run.error_occurred) {
        FTimes[run.run_name.function_name] = {run.GetAdjustedRealTime(), run.GetAdjustedCPUTime()};
      }
    }
  }
  void PrintRatios() const {
    for (const std::string layout : {"delimited", "delimited_whole", "fixed"}) {
      Print(layout + " export speed / floor speed", "BM_Export/" + layout, "BM_Floor/" + layout,
            "0.333");
    }
    Print("standard / classic text rules", "BM_Export/delimited_standard", "BM_Export/delimited",
          "0.95");
    Print("quoted: standard / classic", "BM_Export/quoted_standard", "BM_Export/quoted_classic",
          "");
    Print("floats export speed / floor speed", "BM_Export/floats", "BM_Floor/floats", "");
    Print("floats / money balances", "BM_Export/floats", "BM_Export/delimited", "");
    Print("ISO 8601 / m/d/yyyy dates", "BM_Export/delimited_iso", "BM_Export/delimited", "0.97");
  }

 private:
  // The speed of name as a share of the speed of floor.
  void Print(const std::string& label, const std::string& name, const std::string& floor,
             const char* target) const {
    const auto find = [this](const std::string& key) {
      auto it = FTimes.find(key);
      return it != FTimes.end() ? it : FTimes.find(key + "/process_time");
    };
    const auto t = find(name);
    const auto f = find(floor);
    if (t == FTimes.end() || f == FTimes.end()) return;
    std::printf("%-44s %.3f elapsed, %.3f CPU%s%s%s\n", label.c_str(),
                f->second.first / t->second.first, f->second.second / t->second.second,
                *target != 0 ? " (target >= " : "", target, *target != 0 ? ")" : "");
  }

  std::map<std::string, std::pair<double, double>> FTimes;
};

}  // namespace
}  // namespace korvane

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  korvane::Register();
  korvane::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatios();
  benchmark::Shutdown();
  return 0;
}

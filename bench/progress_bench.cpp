// What showing progress costs a run: Increment called once per record, as the
// import does, against an empty loop of the same length. Prints the cost per
// call and the ratio to the floor after the usual table.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <sstream>

#include "ui/terminal_renderer.h"
#include "components/kvprogress.h"

namespace korvane {
namespace {

constexpr std::int64_t kCalls = 1000000;

void BM_EmptyLoop(benchmark::State& state) {
  std::int64_t i = 0;
  for (auto _ : state) {
    ++i;
    benchmark::DoNotOptimize(i);
  }
}

void RunIncrements(benchmark::State& state, TProgressWindow& w) {
  w.Init(ptImport, pcByte, "in.txt", 0, kCalls * 54);
  w.Show();
  std::int32_t records = 0;
  for (auto _ : state) {
    ++records;
    w.Increment(records, std::int64_t{records} * 54);
  }
  benchmark::DoNotOptimize(w.lbPercentage->Caption());
}

void BM_IncrementModelOnly(benchmark::State& state) {
  TProgressWindow w(nullptr);
  RunIncrements(state, w);
}

// A terminal renderer that paints for real (into memory) at its usual rate.
void BM_IncrementTerminalRenderer(benchmark::State& state) {
  std::ostringstream out;
  TTerminalRendererOptions options;
  options.IsTerminal = true;
  TProgressWindow w(nullptr);
  w.SetRenderer(std::make_unique<TTerminalRenderer>(out, options));
  RunIncrements(state, w);
  state.counters["bytes_drawn"] = static_cast<double>(out.tellp());
}

BENCHMARK(BM_EmptyLoop)->Iterations(kCalls)->Repetitions(5);
BENCHMARK(BM_IncrementModelOnly)->Iterations(kCalls)->Repetitions(5);
BENCHMARK(BM_IncrementTerminalRenderer)->Iterations(kCalls)->Repetitions(5);

// Keeps the fastest repetition of each benchmark (nanoseconds per call).
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) {
      if (r.run_type != Run::RT_Iteration || r.iterations == 0) continue;
      const double ns = r.GetAdjustedRealTime();  // per iteration, in the run's unit (ns)
      auto [it, inserted] = Best.try_emplace(r.run_name.function_name, ns);
      if (!inserted) it->second = std::min(it->second, ns);
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> Best;
};

}  // namespace
}  // namespace korvane

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  korvane::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  const auto& best = reporter.Best;
  auto floor = best.find("BM_EmptyLoop");
  if (floor == best.end()) return 0;
  std::printf("\nIncrement, %lld calls, fastest of the repetitions:\n",
              static_cast<long long>(korvane::kCalls));
  std::printf("  %-30s %8.2f ns/call\n", "empty loop (floor)", floor->second);
  for (const char* name : {"BM_IncrementModelOnly", "BM_IncrementTerminalRenderer"}) {
    auto it = best.find(name);
    if (it == best.end()) continue;
    std::printf("  %-30s %8.2f ns/call  %7.1fx the floor  %5.1f%% of a 1 us record\n", name + 3,
                it->second, it->second / floor->second, it->second / 10.0);
  }
  return 0;
}

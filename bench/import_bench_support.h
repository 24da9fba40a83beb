// Shared pieces of the import benchmarks: generated input files and a
// reporter that prints each measured path as a ratio of its floor.
#pragma once

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "datasets/memory/memory_dataset.h"

namespace korvane::bench {

// A generated file in the temporary directory, removed when the object goes.
class TBenchFile {
 public:
  explicit TBenchFile(const std::string& name)
      : FPath(std::filesystem::temp_directory_path().string() + "/korvane_bench_" +
              std::to_string(::getpid()) + "_" + name) {}
  ~TBenchFile() {
    std::error_code ec;
    std::filesystem::remove(FPath, ec);
  }
  TBenchFile(const TBenchFile&) = delete;
  TBenchFile& operator=(const TBenchFile&) = delete;
  const std::string& Path() const { return FPath; }
  std::int64_t Size() const { return static_cast<std::int64_t>(std::filesystem::file_size(FPath)); }

 private:
  std::string FPath;
};

// The fields of the people file: integer, two strings, an amount (money,
// or a float when amountType says so), a date and a boolean.
inline void DefinePeople(TMemoryDataSet& data, TFieldType amountType = ftCurrency) {
  data.AddFieldDef("Id", ftInteger);
  data.AddFieldDef("Name", ftString, 40);
  data.AddFieldDef("City", ftString, 30);
  data.AddFieldDef("Amount", amountType);
  data.AddFieldDef("Born", ftDate);
  data.AddFieldDef("Active", ftBoolean);
}

// People-like records with CR LF line ends:
//   id,"name","city",amount,m/d/yyyy,true|false
// Deterministic, so every run measures the same bytes. quoteAll: every
// value quoted, and one value in ten holds a doubled quote (a name) or a
// line break (a city), for the standard text rules' slower paths. isoDates:
// the same dates as yyyy-mm-dd.
inline void WritePeopleFile(const std::string& path, std::int64_t records, bool quoteAll = false,
                            bool isoDates = false) {
  static const char* const kFirst[] = {"Anna",  "Bernd", "Clara", "Dmitri", "Eve",   "Farid",
                                       "Greta", "Hugo",  "Ines",  "Jonas",  "Karin", "Lars"};
  static const char* const kLast[] = {"Meyer",  "Okafor", "Novak",   "Lindqvist", "Ferreira",
                                      "Tanaka", "Schulz", "Brennan", "Kowalski",  "Haddad"};
  static const char* const kCity[] = {"Amsterdam", "Bergen", "Cork",     "Dresden", "Evora",
                                      "Florence",  "Graz",   "Helsinki", "Izmir",   "Lyon"};
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return;
  std::uint32_t seed = 7;
  auto next = [&seed] {
    seed = seed * 1664525u + 1013904223u;
    return seed >> 8;
  };
  // Six values a record: in six records of ten, one of them is awkward.
  const char* const q = quoteAll ? "\"" : "";
  char line[192];
  for (std::int64_t id = 1; id <= records; ++id) {
    std::uint32_t r = next();
    const std::int64_t kind = quoteAll ? id % 10 : 9;
    const unsigned month = 1 + r % 12;
    const unsigned day = 1 + (r >> 5) % 28;
    const unsigned year = 1950 + (r >> 10) % 70;
    char date[16];
    if (isoDates) {
      std::snprintf(date, sizeof date, "%u-%02u-%02u", year, month, day);
    } else {
      std::snprintf(date, sizeof date, "%u/%u/%u", month, day, year);
    }
    int n = std::snprintf(
        line, sizeof line, "%s%lld%s,\"%s %s%s\",\"%s%s\",%s%u.%02u%s,%s%s%s,%s%s%s\r\n", q,
        static_cast<long long>(id), q, kFirst[r % 12], kind < 3 ? "\"\"Jr\"\" " : "",
        kLast[(r >> 4) % 10], kCity[(r >> 8) % 10], kind >= 3 && kind < 6 ? "\nCentre" : "", q,
        next() % 100000, r % 100, q, q, date, q, q, (r & 1) != 0 ? "true" : "false", q);
    std::fwrite(line, 1, static_cast<std::size_t>(n), f);
  }
  std::fclose(f);
}

// Console output plus the best time per iteration of every benchmark (or the
// best median, with aggregates only), so the program can print ratios
// against a floor measured in the same run.
class TRatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      // The repetitions themselves or, when only aggregates are reported,
      // their median.
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if ((run.run_type != Run::RT_Iteration && !median) || run.error_occurred ||
          run.iterations == 0) {
        continue;
      }
      auto n = static_cast<double>(run.iterations);
      Times t{run.real_accumulated_time / n, run.cpu_accumulated_time / n};
      auto [it, fresh] = FBest.emplace(run.run_name.str(), t);
      if (!fresh) {
        it->second.Real = std::min(it->second.Real, t.Real);
        it->second.Cpu = std::min(it->second.Cpu, t.Cpu);
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }

  struct Times {
    double Real = 0;  // wall seconds per iteration
    double Cpu = 0;   // CPU seconds per iteration of the benchmark's thread
  };

  // Best times per iteration of the named benchmark, or zeros. The name may
  // leave out the "/option:value" parts that the library appends.
  Times Best(const std::string& name) const {
    for (const auto& [runName, times] : FBest) {
      if (runName == name || runName.rfind(name + "/", 0) == 0) return times;
    }
    return {};
  }

  // Prints the speed of name as a share of the speed of floor, by wall time
  // and by CPU time (the second is steadier on a shared machine).
  void PrintRatio(const std::string& label, const std::string& name,
                  const std::string& floor) const {
    Times t = Best(name);
    Times f = Best(floor);
    if (t.Real <= 0 || f.Real <= 0 || t.Cpu <= 0 || f.Cpu <= 0) {
      std::printf("%-44s (not measured)\n", label.c_str());
      return;
    }
    std::printf("%-44s wall %6.3f  cpu %6.3f  (%s vs %s)\n", label.c_str(), f.Real / t.Real,
                f.Cpu / t.Cpu, name.c_str(), floor.c_str());
  }

 private:
  std::map<std::string, Times> FBest;
};

// Runs the registered benchmarks, then calls report to print ratios.
inline int RunWithRatios(int argc, char** argv,
                         const std::function<void(const TRatioReporter&)>& report) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  TRatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\nSpeed as a share of the floor (1.0 = as fast as the floor):\n");
  report(reporter);
  benchmark::Shutdown();
  return 0;
}

}  // namespace korvane::bench

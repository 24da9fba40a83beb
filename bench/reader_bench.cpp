// Record reading speed: TCSVImport::ReadTextFileRecord over a file of about
// 54 MB, against the floor of read() in 1 MiB chunks with memchr counting the
// line ends.
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <vector>

#include "bench/import_bench_support.h"
#include "import/kvcsvimp.h"

namespace korvane::bench {
namespace {

constexpr std::int64_t kRecords = 1000000;

const TBenchFile& File() {
  // A static object, so that the file is removed when the program ends.
  static const TBenchFile file("reader.csv");
  static const bool written = (WritePeopleFile(file.Path(), kRecords), true);
  static_cast<void>(written);
  return file;
}

void BM_FloorReadMemchr(benchmark::State& state) {
  const std::string& path = File().Path();
  std::vector<char> buf(1 << 20);
  std::int64_t lines = 0;
  for (auto _ : state) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      state.SkipWithError("cannot open the input");
      return;
    }
    lines = 0;
    for (;;) {
      ssize_t n = ::read(fd, buf.data(), buf.size());
      if (n <= 0) break;
      const char* p = buf.data();
      const char* end = p + n;
      while ((p = static_cast<const char*>(
                  std::memchr(p, '\n', static_cast<std::size_t>(end - p)))) != nullptr) {
        ++lines;
        ++p;
      }
    }
    ::close(fd);
    benchmark::DoNotOptimize(lines);
  }
  state.counters["lines"] = static_cast<double>(lines);
  state.SetBytesProcessed(state.iterations() * File().Size());
}
BENCHMARK(BM_FloorReadMemchr)->Unit(benchmark::kMillisecond)->MinTime(1.0);

void BM_ReadTextFileRecord(benchmark::State& state) {
  TCSVImport imp(nullptr);
  imp.SetInputFile(File().Path());
  std::int64_t records = 0;
  for (auto _ : state) {
    if (!imp.OpenInputFile()) {
      state.SkipWithError("cannot open the input");
      return;
    }
    records = 0;
    std::uint32_t bytes = 0;
    std::string rec;
    while (!imp.EndOfFile()) {
      imp.ReadTextFileRecord(imp.FileHandle(), bytes, rec);
      benchmark::DoNotOptimize(rec.data());
      ++records;
    }
    imp.CloseInputFile();
  }
  state.counters["records"] = static_cast<double>(records);
  state.SetBytesProcessed(state.iterations() * File().Size());
}
BENCHMARK(BM_ReadTextFileRecord)->Unit(benchmark::kMillisecond)->MinTime(1.0);

// The form that returns a new string per record: one allocation each.
void BM_ReadTextFileRecordNewString(benchmark::State& state) {
  TCSVImport imp(nullptr);
  imp.SetInputFile(File().Path());
  for (auto _ : state) {
    if (!imp.OpenInputFile()) {
      state.SkipWithError("cannot open the input");
      return;
    }
    std::uint32_t bytes = 0;
    while (!imp.EndOfFile()) {
      std::string rec = imp.ReadTextFileRecord(imp.FileHandle(), bytes);
      benchmark::DoNotOptimize(rec.data());
    }
    imp.CloseInputFile();
  }
  state.SetBytesProcessed(state.iterations() * File().Size());
}
BENCHMARK(BM_ReadTextFileRecordNewString)->Unit(benchmark::kMillisecond)->MinTime(1.0);

}  // namespace
}  // namespace korvane::bench

int main(int argc, char** argv) {
  using korvane::bench::TRatioReporter;
  return korvane::bench::RunWithRatios(argc, argv, [](const TRatioReporter& r) {
    r.PrintRatio("ReadTextFileRecord into a reused string", "BM_ReadTextFileRecord",
                 "BM_FloorReadMemchr");
    r.PrintRatio("ReadTextFileRecord returning new strings", "BM_ReadTextFileRecordNewString",
                 "BM_FloorReadMemchr");
  });
}

// libFuzzer target for the settings reader. Any input must be refused with
// ESettingsError or load to components whose written settings read back to
// the same settings; a crash, a hang, a leak, any other exception or a
// broken round trip is a finding.
//
//   cmake -S . -B build/fuzz -DCMAKE_CXX_COMPILER=clang++ -DKORVANE_FUZZ=ON
//           -DKORVANE_BUILD_TESTS=OFF -DKORVANE_BUILD_BENCH=OFF -DKORVANE_BUILD_CLI=OFF
//   cmake --build build/fuzz --target settings_fuzz
//   build/fuzz/fuzz/settings_fuzz -dict=fuzz/settings.dict -max_total_time=300
//           CORPUS_DIR
// CORPUS_DIR starts as `fuzz/corpus.sh unpack settings CORPUS_DIR`; what the run adds
// is kept with `fuzz/corpus.sh pack settings CORPUS_DIR`.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "datasets/memory/memory_dataset.h"
#ifdef KORVANE_WITH_SQLITE
#include "datasets/sqlite/sqlite_dataset.h"
#endif
#include "fuzz/settings_roundtrip.h"
#include "registry/kvprops.h"

namespace {

// The package's classes, and dataset classes so that a file can hold a
// dataset that its components' DataSet refers to.
bool RegisterClasses() {
  using korvane::TClassBuilder;
  using korvane::TMemoryDataSet;
  static const korvane::TClassInfo dataset =
      TClassBuilder<TMemoryDataSet>("TMemoryDataSet").Build();
  korvane::RegisterKorvaneClasses();
  korvane::RegisterClass(&dataset);
#ifdef KORVANE_WITH_SQLITE
  korvane::RegisterClass(korvane::ComponentClass<korvane::TSQLiteDataSet>());
#endif
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool registered = RegisterClasses();
  (void)registered;
  std::string_view text(reinterpret_cast<const char*>(data), size);
  korvane::TRoundTripOutcome outcome = korvane::CheckSettingsRoundTrip(text);
  if (!outcome.Failure.empty()) {
    std::fprintf(stderr, "settings round trip broken: %s\n", outcome.Failure.c_str());
    std::abort();
  }
  return 0;
}

#include "cli/interrupt.h"

#include <signal.h>

#include <atomic>
#include <cstddef>
#include <utility>

#include "import/kvcsvimp.h"

namespace korvane::cli {

namespace {

constexpr int kSignals[2] = {SIGINT, SIGTERM};
struct sigaction gPrevious[2];
// The imports to stop: set before the handlers are, cleared after they go.
TCSVImport* const* gImports = nullptr;
std::size_t gCount = 0;
std::atomic<int> gSignal{0};
static_assert(std::atomic<int>::is_always_lock_free, "read in a signal handler");

extern "C" void StopImport(int sig) {
  gSignal.store(sig, std::memory_order_relaxed);
  for (std::size_t i = 0; i < gCount; ++i) gImports[i]->Stop();
  // The next one ends the process.
  ::signal(sig, SIG_DFL);
}

}  // namespace

TImportInterrupts::TImportInterrupts(TCSVImport& import)
    : TImportInterrupts(std::vector<TCSVImport*>{&import}) {}

TImportInterrupts::TImportInterrupts(std::vector<TCSVImport*> imports)
    : FImports(std::move(imports)) {
  gImports = FImports.data();
  gCount = FImports.size();
  gSignal.store(0, std::memory_order_relaxed);
  struct sigaction action {};
  action.sa_handler = StopImport;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int i = 0; i < 2; ++i) ::sigaction(kSignals[i], &action, &gPrevious[i]);
}

TImportInterrupts::~TImportInterrupts() {
  for (int i = 0; i < 2; ++i) ::sigaction(kSignals[i], &gPrevious[i], nullptr);
  gCount = 0;
  gImports = nullptr;
}

int TImportInterrupts::Signal() { return gSignal.load(std::memory_order_relaxed); }

}  // namespace korvane::cli

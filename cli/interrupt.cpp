#include "cli/interrupt.h"

#include <signal.h>

#include <atomic>

#include "import/kvcsvimp.h"

namespace korvane::cli {

namespace {

constexpr int kSignals[2] = {SIGINT, SIGTERM};
struct sigaction gPrevious[2];
TCSVImport* gImport = nullptr;
std::atomic<int> gSignal{0};
static_assert(std::atomic<int>::is_always_lock_free, "read in a signal handler");

extern "C" void StopImport(int sig) {
  gSignal.store(sig, std::memory_order_relaxed);
  if (gImport != nullptr) gImport->Stop();
  // The next one ends the process.
  ::signal(sig, SIG_DFL);
}

}  // namespace

TImportInterrupts::TImportInterrupts(TCSVImport& import) {
  gImport = &import;
  gSignal.store(0, std::memory_order_relaxed);
  struct sigaction action {};
  action.sa_handler = StopImport;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int i = 0; i < 2; ++i) ::sigaction(kSignals[i], &action, &gPrevious[i]);
}

TImportInterrupts::~TImportInterrupts() {
  for (int i = 0; i < 2; ++i) ::sigaction(kSignals[i], &gPrevious[i], nullptr);
  gImport = nullptr;
}

int TImportInterrupts::Signal() { return gSignal.load(std::memory_order_relaxed); }

}  // namespace korvane::cli

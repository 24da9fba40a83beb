// Keeps one run per component at a time. Private to the library: no
// installed header includes it.
#pragma once

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/sysutils.h"

namespace korvane {

// Marks a component's run as in progress while it lives. A second Execute
// of the same component while one runs (called from one of the run's own
// handlers, or from another thread) would share the run's input, counters
// and dataset state with it: it raises instead, and the run in progress goes
// on untouched (or stops, when the handler lets the exception through).
class TRunInProgress {
 public:
  TRunInProgress(std::atomic<bool>& running, const char* component) : FRunning(running) {
    if (FRunning.exchange(true, std::memory_order_acq_rel)) {
      throw Exception(std::string(component) +
                      ".Execute was called while a run of the same component is in progress");
    }
  }
  ~TRunInProgress() { FRunning.store(false, std::memory_order_release); }
  TRunInProgress(const TRunInProgress&) = delete;
  TRunInProgress& operator=(const TRunInProgress&) = delete;

 private:
  std::atomic<bool>& FRunning;
};

// For a component's destructor: deleting a component while its Execute
// runs (from one of its handlers, or from another thread) would leave the
// run working on freed memory. That is a fault of the host's that no result
// can report, so the process ends here, saying so, rather than later at
// random.
inline void EndIfRunInProgress(const std::atomic<bool>& running, const char* component) noexcept {
  if (!running.load(std::memory_order_acquire)) return;
  std::fprintf(stderr, "korvane: a %s was deleted while its Execute ran\n", component);
  std::abort();
}

}  // namespace korvane

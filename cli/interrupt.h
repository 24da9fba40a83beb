// Ctrl-C and kill during an import: the run stops at a record boundary.
#pragma once

#include <vector>

namespace korvane {
class TCSVImport;
}

namespace korvane::cli {

// While it lives, SIGINT and SIGTERM ask the import to stop before its next
// record (TCSVImport::Stop) instead of ending the process; a second signal
// ends the process as the signal does (the database then keeps its
// committed groups). The previous handlers come back when it goes. One at a
// time per process.
class TImportInterrupts {
 public:
  explicit TImportInterrupts(TCSVImport& import);
  // The same for a run over several imports at once, each stopped.
  explicit TImportInterrupts(std::vector<TCSVImport*> imports);
  ~TImportInterrupts();
  TImportInterrupts(const TImportInterrupts&) = delete;
  TImportInterrupts& operator=(const TImportInterrupts&) = delete;

  // The signal that stopped the run; 0 when none came.
  static int Signal();

 private:
  std::vector<TCSVImport*> FImports;
};

}  // namespace korvane::cli

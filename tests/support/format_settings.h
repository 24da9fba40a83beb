// Test helpers for code that reads the process-wide format settings or the
// clock: both are put back when the helper goes out of scope, so a test may
// change them freely.
#pragma once

#include <utility>

#include "text/formats.h"

namespace korvane {

// Saves the format settings in force and restores them when destroyed.
class ScopedFormatSettings {
 public:
  ScopedFormatSettings() : FSaved(FormatSettings()) {}
  ~ScopedFormatSettings() { FormatSettings() = FSaved; }
  ScopedFormatSettings(const ScopedFormatSettings&) = delete;
  ScopedFormatSettings& operator=(const ScopedFormatSettings&) = delete;

 private:
  TFormatSettings FSaved;
};

// A clock that moves only when the test moves it. Installed for the
// lifetime of the object; the previous clock comes back afterwards.
class ManualClock {
 public:
  explicit ManualClock(TDateTime start) : FNow(start) {
    FPrevious = SetClock([this] { return FNow; });
  }
  ~ManualClock() { SetClock(std::move(FPrevious)); }
  ManualClock(const ManualClock&) = delete;
  ManualClock& operator=(const ManualClock&) = delete;

  TDateTime Value() const { return FNow; }
  void Set(TDateTime value) { FNow = value; }
  void AdvanceSeconds(double seconds) { FNow += seconds / 86400.0; }

 private:
  TDateTime FNow;
  TClockFunction FPrevious;
};

}  // namespace korvane

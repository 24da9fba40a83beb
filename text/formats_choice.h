// Format settings a component keeps for its own runs, so that a stored
// component reads and writes dates, times and numbers as it did when it was
// set up, whatever the process-wide settings are then.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "core/api.h"
#include "text/formats.h"

namespace korvane {

// Each entry replaces its namesake of TFormatSettings; empty leaves that
// one as the process has it. Separators are one character.
struct KORVANE_API TFormatChoice {
  std::string ShortDateFormat;
  std::string LongTimeFormat;
  std::string DateSeparator;
  std::string TimeSeparator;
  std::string DecimalSeparator;
  std::string ThousandSeparator;

  bool Empty() const {
    return ShortDateFormat.empty() && LongTimeFormat.empty() && DateSeparator.empty() &&
           TimeSeparator.empty() && DecimalSeparator.empty() && ThousandSeparator.empty();
  }
  // The process-wide settings with the entries given applied.
  TFormatSettings Applied(const TFormatSettings& settings) const;
};

// A separator as a choice keeps it: empty or one character; raises
// EConvertError naming the property for anything longer.
KORVANE_API std::string CheckedSeparator(const char* property, const std::string& value);

// While it lives, FormatSettings() on the thread that made it gives
// settings of the run's own: the choice applied to what it gave before.
// Nothing changes for other threads or for the process-wide settings, so
// runs on several threads may each have their own. With an empty choice the
// run reads the settings in force as they are, unless `changing` says it
// changes them while it runs (a field's own date layout): it then changes a
// copy of its own. The run's own threads take these settings through
// ThreadFormatSettings(). Meant for the length of a run.
class KORVANE_API TScopedFormatSettings {
 public:
  explicit TScopedFormatSettings(const TFormatChoice& choice, bool changing = false);
  ~TScopedFormatSettings();
  TScopedFormatSettings(const TScopedFormatSettings&) = delete;
  TScopedFormatSettings& operator=(const TScopedFormatSettings&) = delete;

 private:
  std::unique_ptr<TFormatSettings> FSettings;  // the run's, when the choice gives any
  std::optional<TThreadFormatSettings> FInForce;
};

}  // namespace korvane

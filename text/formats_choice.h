// Format settings a component keeps for its own runs, so that a stored
// component reads and writes dates, times and numbers as it did when it was
// set up, whatever the process-wide settings are then.
#pragma once

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

// While it lives, FormatSettings() holds the choice applied to what they
// were; they come back when it ends. Meant for the length of a run, on the
// thread that set the settings up (see formats.h: they are process-wide).
class KORVANE_API TScopedFormatSettings {
 public:
  explicit TScopedFormatSettings(const TFormatChoice& choice);
  ~TScopedFormatSettings();
  TScopedFormatSettings(const TScopedFormatSettings&) = delete;
  TScopedFormatSettings& operator=(const TScopedFormatSettings&) = delete;

 private:
  bool FActive;
  TFormatSettings FSaved;
};

}  // namespace korvane

#include "text/formats_choice.h"

#include "core/sysutils.h"

namespace korvane {

TFormatSettings TFormatChoice::Applied(const TFormatSettings& settings) const {
  TFormatSettings fs = settings;
  if (!ShortDateFormat.empty()) fs.ShortDateFormat = ShortDateFormat;
  if (!LongTimeFormat.empty()) fs.LongTimeFormat = LongTimeFormat;
  if (!DateSeparator.empty()) fs.DateSeparator = DateSeparator[0];
  if (!TimeSeparator.empty()) fs.TimeSeparator = TimeSeparator[0];
  if (!DecimalSeparator.empty()) fs.DecimalSeparator = DecimalSeparator[0];
  if (!ThousandSeparator.empty()) fs.ThousandSeparator = ThousandSeparator[0];
  return fs;
}

std::string CheckedSeparator(const char* property, const std::string& value) {
  if (value.size() > 1) {
    throw EConvertError(std::string(property) + " is one character (or empty for the format " +
                        "settings' own), not '" + value + "'");
  }
  return value;
}

TScopedFormatSettings::TScopedFormatSettings(const TFormatChoice& choice, bool changing) {
  if (choice.Empty() && !changing) return;
  FSettings = std::make_unique<TFormatSettings>(choice.Applied(FormatSettings()));
  FInForce.emplace(FSettings.get());
}

TScopedFormatSettings::~TScopedFormatSettings() = default;

}  // namespace korvane

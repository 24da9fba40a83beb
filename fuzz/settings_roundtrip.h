// The property the settings reader must hold for any input, shared by the
// fuzz target and the unit test that runs it over a fixed set of mutations:
// a text is either refused with ESettingsError, or the components it gives
// write back to a text that loads to components writing the very same text
// (so the same classes, names and stored property values).
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/settings.h"

namespace korvane {

struct TRoundTripOutcome {
  bool Accepted = false;
  // Empty when the property held; else what went wrong.
  std::string Failure;
};

inline TRoundTripOutcome CheckSettingsRoundTrip(std::string_view text) {
  auto pointers = [](const std::vector<std::unique_ptr<TComponent>>& v) {
    std::vector<TComponent*> result;
    for (const auto& c : v) result.push_back(c.get());
    return result;
  };
  TRoundTripOutcome outcome;
  std::vector<std::unique_ptr<TComponent>> first;
  try {
    first = LoadComponents(text);
  } catch (const ESettingsError&) {
    return outcome;  // refused, as bad input should be
  }
  outcome.Accepted = true;
  std::string written;
  try {
    written = WriteSettings(pointers(first));
  } catch (const ESettingsError& e) {
    outcome.Failure = "accepted settings cannot be written: " + e.Message();
    return outcome;
  }
  try {
    auto second = LoadComponents(written);
    std::string rewritten = WriteSettings(pointers(second));
    if (rewritten != written) outcome.Failure = "written settings read back differently";
  } catch (const ESettingsError& e) {
    outcome.Failure = "written settings are refused: " + e.Message();
  }
  return outcome;
}

}  // namespace korvane

// The widths FixedWidths gives the columns of a run, checked the same way by
// both components.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "components/kvtypes.h"

namespace korvane {

// The widths of FixedWidths' text for count columns, each one a noun
// ("field", "column"): none for an empty text (each column then takes its
// field's FixedWidth). False, with the reason in fault, when the text is no
// list of widths or gives another number of them.
inline bool FixedWidthsForColumns(std::string_view text, std::size_t count,
                                  std::string_view noun, std::vector<int>& widths,
                                  std::string& fault) {
  if (!ParseFixedWidths(text, widths, fault)) {
    fault = "FixedWidths: " + fault;
    return false;
  }
  if (!widths.empty() && widths.size() != count) {
    fault = "FixedWidths gives " + std::to_string(widths.size()) + " widths for " +
            std::to_string(count) + " " + std::string(noun) + (count == 1 ? "" : "s");
    return false;
  }
  return true;
}

}  // namespace korvane

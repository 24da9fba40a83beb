// The record plan's fixed-width columns: their widths, and the values a
// column cannot give back when its line is read as columns again.
#include "export/record_plan.h"

#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "components/fixed_widths.h"
#include "core/utf8_head.h"

namespace korvane {

bool TRecordPlan::SetColumnWidths(const TExportLayout& layout) {
  std::vector<int> widths;
  if (!FixedWidthsForColumns(layout.Widths, FColumns.size(), "field", widths, FBuildFailure)) {
    return false;
  }
  const TDateTimeStyle style = FIso ? dsISO8601 : dsFormatSettings;
  for (std::size_t k = 0; k < FColumns.size(); ++k) {
    TColumn& column = FColumns[k];
    const auto width = static_cast<std::size_t>(
        widths.empty() ? FixedWidth(*column.field, style) : widths[k]);
    // Every value fills its column, a null one, a date and one left out too.
    column.rest += width - column.width;
    column.width = width;
    column.pad = true;
  }
  return true;
}

std::size_t TRecordPlan::CheckColumnValue(const TColumn& column, const char* first, const char* p,
                                          bool none) const {
  const auto n = static_cast<std::size_t>(p - first);
  const std::string_view value(first, n);
  const std::size_t length = FixedTextWidth(value, FWidthUnit);
  std::string why;
  if (length > column.width) {
    why = "is " + std::to_string(length) + (FWidthUnit == fuCharacters ? " characters" : " bytes") +
          " long, wider than its column (" + std::to_string(column.width) + ")";
    // Widths are bytes: characters of several bytes in UTF-8 may fill them
    // before the column's declared length of characters does.
    const std::size_t characters = Utf8Characters(value);
    if (FWidthUnit == fuBytes && characters <= column.width) {
      why += ": its " + std::to_string(characters) +
             " characters take more bytes; --widths gives the columns' widths in bytes";
    }
  } else if (value.find_first_of("\r\n") != std::string_view::npos) {
    why = "holds a line break, which a fixed-width line cannot hold";
  } else if (column.text && n == 0 && !none) {
    why = "is an empty text, which a fixed-width line reads back as null";
  } else if (column.text && n != 0 && value.find_first_not_of(' ') == std::string_view::npos) {
    // Not even a CHAR column's own padding: blanks alone read back as null.
    why = "is all blanks, which a fixed-width line reads back as null";
  } else if (column.text && n != 0 && value.back() == ' ' &&
             !(column.field->FixedLength() &&
               Utf8Characters(value) == static_cast<std::size_t>(column.field->Size()))) {
    // The import trims the blanks after a text; only a column that pads its
    // values itself (FixedLength) to its Size in characters gives them back.
    why = "ends in a blank, which a fixed-width line cannot keep";
  } else {
    // Padded with a blank for each character the value lacks.
    return column.width + (n - length);
  }
  throw EUnfitValue(column.field->FieldName(), why);
}

}  // namespace korvane

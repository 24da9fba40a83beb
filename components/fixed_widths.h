// The widths FixedWidths gives the columns of a run, checked the same way by
// both components.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "components/kvenums.h"
#include "components/kvtypes.h"
#include "core/utf8_head.h"

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

// The length of text as a column's width counts it (FixedWidthUnit): its
// bytes, or its characters in UTF-8.
inline std::size_t FixedTextWidth(std::string_view text, TFixedWidthUnit unit) {
  return unit == fuCharacters ? Utf8Characters(text) : text.size();
}

// Cuts a fixed-width line into its columns, one after another, as both the
// import and the sniffer read them: a column is width bytes or characters
// (FixedWidthUnit) long, or what is left of the line. A column never ends
// inside a character: where a byte width would cut one in two, the bytes
// of that character are left out of both columns (Cut tells which column
// lost its end first), so each value is whole UTF-8 where the line is.
class TFixedColumnCutter {
 public:
  TFixedColumnCutter(std::string_view line, TFixedWidthUnit unit) : FLine(line), FUnit(unit) {}

  // The next column's text.
  std::string_view Next(std::size_t width) {
    const std::size_t start = FPos;
    if (start >= FLine.size()) {
      ++FColumn;
      return {};
    }
    std::size_t end = start + std::min(width, FLine.size() - start);
    if (FUnit == fuCharacters) {
      // Past width characters: up to the byte that starts one more.
      end = start;
      for (std::size_t left = width; end < FLine.size(); ++end) {
        if (Continues(end)) continue;
        if (left == 0) break;
        --left;
      }
    }
    FPos = end;
    const std::size_t from = WholeFrom(start);
    if (end < FLine.size() && Utf8Head(FLine, end).size() != end) {
      if (FCut < 0) FCut = FColumn;
      end = std::max(from, Utf8Head(FLine, end).size());
    }
    ++FColumn;
    return FLine.substr(from, end - from);
  }

  // The text past the columns cut so far.
  std::string_view Rest() const {
    return FPos < FLine.size() ? FLine.substr(WholeFrom(FPos)) : std::string_view();
  }

  // The bytes of the line the columns cut so far take.
  std::size_t Position() const { return std::min(FPos, FLine.size()); }

  // The first column (counted from 0) whose end cut a character, or -1.
  int Cut() const { return FCut; }

 private:
  bool Continues(std::size_t at) const {
    return (static_cast<unsigned char>(FLine[at]) & 0xC0) == 0x80;
  }
  // Where the whole characters from start begin: past the bytes that end a
  // character the column before cut.
  std::size_t WholeFrom(std::size_t start) const {
    if (start == 0 || Utf8Head(FLine, start).size() == start) return start;
    while (start < FLine.size() && Continues(start)) ++start;
    return start;
  }

  std::string_view FLine;
  TFixedWidthUnit FUnit;
  std::size_t FPos = 0;
  int FColumn = 0;
  int FCut = -1;
};

}  // namespace korvane

// Blanks: the bytes up to 32 (the space and the control characters), which
// every reader of values (numbers, booleans, the settings' Trim) takes off
// around a value. Private to the library: no installed header includes it.
#pragma once

#include <string_view>

namespace korvane {

inline bool IsBlankByte(char c) { return static_cast<unsigned char>(c) <= 32; }

// text without the blanks around it.
inline std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && IsBlankByte(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlankByte(text.back())) text.remove_suffix(1);
  return text;
}

}  // namespace korvane

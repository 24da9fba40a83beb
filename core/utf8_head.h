// The start of a text for a message, cut without splitting a UTF-8
// character, and the count of a text's characters. Private to the library:
// no installed header includes it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string_view>

namespace korvane {

// The first bytes of text, at most limit of them, ending where a UTF-8
// character ends: a character the limit would split is left out whole.
// Bytes that are not UTF-8 are cut at the limit itself.
inline std::string_view Utf8Head(std::string_view text, std::size_t limit) {
  if (text.size() <= limit) return text;
  const auto continues = [&](std::size_t i) {
    return (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80;
  };
  // A character is at most four bytes: its lead is at most three back.
  std::size_t lead = limit;
  while (lead > 0 && limit - lead < 3 && continues(lead)) --lead;
  const auto b = static_cast<unsigned char>(text[lead]);
  const std::size_t length = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 1;
  return text.substr(0, lead + length > limit ? lead : limit);
}

// The characters of a UTF-8 text: its bytes but those that continue one.
inline std::size_t Utf8Characters(std::string_view text) {
  return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }));
}

}  // namespace korvane

// Quoting for SQL text, the same in every database: a name or a literal
// between two quote characters, each one inside doubled.
#pragma once

#include <string>
#include <string_view>

namespace korvane {

// text between two q, each q inside it doubled.
inline std::string SqlQuoted(std::string_view text, char q) {
  std::string out;
  out.reserve(text.size() + 2);
  out += q;
  for (char c : text) {
    if (c == q) out += q;
    out += c;
  }
  out += q;
  return out;
}

}  // namespace korvane

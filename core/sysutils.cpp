#include "core/sysutils.h"

#include <algorithm>
#include <charconv>
#include <limits>

#include "core/blanks.h"

namespace korvane {

std::string Trim(std::string_view s) { return std::string(TrimBlanks(s)); }

bool IsBlank(std::string_view s) { return TrimBlanks(s).empty(); }

std::string UpperCase(std::string_view s) {
  std::string r(s);
  for (char& c : r) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  }
  return r;
}

std::string LowerCase(std::string_view s) {
  std::string r(s);
  for (char& c : r) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  }
  return r;
}

namespace {

// Edits turning a into b: inserts, deletes, replacements and swaps of two
// neighbours, each counting one.
std::size_t EditDistance(std::string_view a, std::string_view b) {
  const std::size_t n = a.size();
  const std::size_t m = b.size();
  std::vector<std::vector<std::size_t>> d(n + 1, std::vector<std::size_t>(m + 1));
  for (std::size_t i = 0; i <= n; ++i) d[i][0] = i;
  for (std::size_t j = 0; j <= m; ++j) d[0][j] = j;
  for (std::size_t i = 1; i <= n; ++i) {
    for (std::size_t j = 1; j <= m; ++j) {
      const std::size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
      }
    }
  }
  return d[n][m];
}

}  // namespace

std::string NearestWord(std::string_view word, const std::vector<std::string>& candidates,
                        bool ignoreCase) {
  std::string best;
  std::size_t bestDistance = std::max<std::size_t>(2, word.size() / 3) + 1;
  for (const std::string& candidate : candidates) {
    const std::size_t distance = ignoreCase ? EditDistance(LowerCase(word), LowerCase(candidate))
                                            : EditDistance(word, candidate);
    if (distance < bestDistance) {
      bestDistance = distance;
      best = candidate;
    }
  }
  return best;
}

std::string IntToStr(std::int64_t value) {
  char buf[24];
  auto res = std::to_chars(buf, buf + sizeof buf, value);
  return std::string(buf, res.ptr);
}

bool SplitNames(std::string_view text, std::vector<std::string>& names, std::string& fault) {
  const auto blank = [](char c) { return c == ' ' || c == '\t'; };
  names.clear();
  std::size_t at = 0;
  while (true) {
    while (at < text.size() && blank(text[at])) ++at;
    std::string name;
    if (at < text.size() && text[at] == '"') {
      for (++at;; ++at) {
        if (at == text.size()) {
          fault = "a name in double quotes has no closing quote";
          return false;
        }
        if (text[at] != '"') {
          name += text[at];
        } else if (at + 1 < text.size() && text[at + 1] == '"') {
          name += '"';
          ++at;
        } else {
          break;
        }
      }
      ++at;
      while (at < text.size() && blank(text[at])) ++at;
      if (at < text.size() && text[at] != ',') {
        fault = "a name in double quotes must be followed by a comma or the end";
        return false;
      }
    } else {
      const std::size_t comma = std::min(text.find(',', at), text.size());
      name = Trim(text.substr(at, comma - at));
      at = comma;
    }
    if (name.empty()) {
      fault =
          "give names separated by commas, without empty names (a name that holds a comma "
          "in double quotes: \"Amount, USD\")";
      return false;
    }
    names.push_back(std::move(name));
    if (at == text.size()) return true;
    ++at;  // the comma
  }
}

std::string NameListText(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) {
    if (!text.empty()) text += ',';
    const bool plain = name.find_first_of(",\"") == std::string::npos && !name.empty() &&
                       static_cast<unsigned char>(name.front()) > ' ' &&
                       static_cast<unsigned char>(name.back()) > ' ';
    if (plain) {
      text += name;
      continue;
    }
    text += '"';
    for (char c : name) {
      if (c == '"') text += '"';
      text += c;
    }
    text += '"';
  }
  return text;
}

}  // namespace korvane

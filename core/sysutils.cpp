#include "core/sysutils.h"

#include <algorithm>
#include <charconv>
#include <limits>

namespace korvane {

namespace {
bool IsTrimmed(unsigned char c) { return c <= 32; }
}  // namespace

std::string Trim(std::string_view s) {
  std::size_t begin = 0;
  std::size_t end = s.size();
  while (begin < end && IsTrimmed(static_cast<unsigned char>(s[begin]))) ++begin;
  while (end > begin && IsTrimmed(static_cast<unsigned char>(s[end - 1]))) --end;
  return std::string(s.substr(begin, end - begin));
}

bool IsBlank(std::string_view s) {
  for (char c : s) {
    if (!IsTrimmed(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

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

std::int64_t StrToInt64(std::string_view s) {
  std::string_view t = s;
  while (!t.empty() && static_cast<unsigned char>(t.front()) <= 32) t.remove_prefix(1);
  while (!t.empty() && static_cast<unsigned char>(t.back()) <= 32) t.remove_suffix(1);
  std::string_view digits = t;
  if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
  std::int64_t value = 0;
  auto res = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (digits.empty() || res.ec != std::errc() || res.ptr != digits.data() + digits.size() ||
      (digits.size() != t.size() && !digits.empty() && digits.front() == '-')) {
    throw EConvertError("'" + std::string(s) + "' is not a valid integer value");
  }
  return value;
}

int StrToInt(std::string_view s) {
  std::int64_t v = StrToInt64(s);
  if (v < std::numeric_limits<int>::min() || v > std::numeric_limits<int>::max()) {
    throw EConvertError("'" + std::string(s) + "' is not a valid integer value");
  }
  return static_cast<int>(v);
}

}  // namespace korvane

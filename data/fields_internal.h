// What the base field (fields.cpp) and the field classes (field_types.cpp)
// share: the ranges of the integer types, the scale of money amounts and the
// rounding of a double to a whole number. Private to those files.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

namespace korvane::fields_internal {

constexpr std::int64_t kInt32Min = std::numeric_limits<std::int32_t>::min();
constexpr std::int64_t kInt32Max = std::numeric_limits<std::int32_t>::max();
constexpr std::int64_t kInt64Min = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kInt64Max = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kCurrencyScale = 10000;

// Rounds half away from zero to an int64, or false when it does not fit.
inline bool RoundToInt64(double value, std::int64_t& result) {
  if (!std::isfinite(value)) return false;
  double r = std::round(value);
  // 2^63 is exactly representable; every double below it fits.
  if (r < -9223372036854775808.0 || r >= 9223372036854775808.0) return false;
  result = static_cast<std::int64_t>(r);
  return true;
}

}  // namespace korvane::fields_internal

// What the base field (fields.cpp) and the field classes (field_types.cpp,
// number_fields.cpp) share: the ranges of the integer types, the scale of
// money amounts, the rounding of a double to a whole number, the reading of
// an integer text and the bounded writing of a value's text. Private to
// those files.
#pragma once

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>

#include "data/db.h"
#include "text/number_text.h"

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

enum class IntText { kOk, kInvalid, kOverflow };

// An optionally signed run of decimal digits with blanks around it.
inline IntText ParseIntegerText(std::string_view text, std::int64_t& value) {
  TNumberSpans n;
  if (!ScanNumberText(text, nrPlain, '.', '\0', n) || n.Point) return IntText::kInvalid;
  return SpansToInteger(n, value) ? IntText::kOk : IntText::kOverflow;
}

// ParseIntegerText, with the usual text, digits and nothing else, read
// without looking for blanks and a sign.
inline IntText ParseInteger(std::string_view text, std::int64_t& value) {
  std::uint64_t magnitude = 0;
  const char* const end = text.data() + text.size();
  const auto read = std::from_chars(text.data(), end, magnitude);
  if (read.ec == std::errc() && read.ptr == end &&
      magnitude <= static_cast<std::uint64_t>(kInt64Max)) {
    value = static_cast<std::int64_t>(magnitude);
    return IntText::kOk;
  }
  return ParseIntegerText(text, value);
}

// A field's float value as a whole number, or ERangeError.
inline std::int64_t FloatToLargeInt(const TField& field, double value) {
  std::int64_t v = 0;
  if (!RoundToInt64(value, v)) {
    throw ERangeError("Value " + FloatToStr(value) + " of field '" + field.FieldName() +
                      "' is out of range for an integer");
  }
  return v;
}

// Writes a text of at most `room` bytes that put(p) writes at p into
// [first, last), like std::to_chars: nullptr when it does not fit.
template <typename Put>
char* PutBounded(char* first, char* last, std::size_t room, Put put) {
  if (static_cast<std::size_t>(last - first) >= room) return put(first);
  char buf[32];
  const auto length = static_cast<std::size_t>(put(buf) - buf);
  if (length > static_cast<std::size_t>(last - first)) return nullptr;
  std::memcpy(first, buf, length);
  return first + length;
}

// Copies text into [first, last) when it fits, like std::to_chars.
inline char* CopyToChars(char* first, char* last, std::string_view text) {
  if (text.size() > static_cast<std::size_t>(last - first)) return nullptr;
  return first + text.copy(first, text.size());
}

// A number field for a type code of the integers, floats, NUMERIC,
// money or exact decimals; nullptr for any other type code.
TField* NewNumberField(TDataSet* dataSet, const std::string& fieldName, TFieldType dataType,
                       int size);

}  // namespace korvane::fields_internal

// PostgreSQL's numeric in the binary COPY format (a digit count, the weight
// of the first base-10000 digit, a sign word, the display scale, the
// digits), from and to doubles and from and to exact decimal text.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace korvane::pg {

// The shortest text that reads back as value, in fixed notation.
std::string DecimalText(double value);

// Appends d (NaN and the infinities included) as a numeric value, length
// word first.
void AppendNumeric(std::string& out, double d);
// Appends a number as the server's numeric input reads it (spaces around
// it, a sign, digits with a point, an exponent; NaN, Infinity), exactly;
// false, appending nothing, when the text is not one or is beyond what a
// numeric holds.
bool AppendNumericText(std::string& out, std::string_view text);

// A numeric value of size bytes as the nearest double; false when the bytes
// are not a numeric.
bool ReadNumeric(const char* p, std::size_t size, double& value);
// A numeric value as the server writes it in text: every digit of its
// scale, nothing rounded; false when the bytes are not a numeric.
bool NumericText(const char* p, std::size_t size, std::string& text);

}  // namespace korvane::pg

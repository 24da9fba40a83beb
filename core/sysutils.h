// Exceptions and the small text helpers every module uses.
#pragma once

#include "core/api.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace korvane {

// Base of every exception the system raises on purpose. Carries the message
// shown to the user.
class KORVANE_API Exception : public std::runtime_error {
 public:
  explicit Exception(const std::string& message) : std::runtime_error(message) {}
  std::string Message() const { return what(); }
};

// A text that does not convert to the wanted type.
class KORVANE_API EConvertError : public Exception {
 public:
  using Exception::Exception;
};

// A failed file operation.
class KORVANE_API EInOutError : public Exception {
 public:
  EInOutError(const std::string& message, int errorCode = 0)
      : Exception(message), ErrorCode(errorCode) {}
  int ErrorCode;
};

// A number outside the range of its type.
class KORVANE_API ERangeError : public Exception {
 public:
  using Exception::Exception;
};

// A list index out of range.
class KORVANE_API EListError : public Exception {
 public:
  using Exception::Exception;
};

// A dataset or field operation that cannot be done in the current state, or
// that a database refused.
class KORVANE_API EDatabaseError : public Exception {
 public:
  using Exception::Exception;
};

// Removes leading and trailing characters whose code is 32 or below.
KORVANE_API std::string Trim(std::string_view s);
// True when Trim(s) would be empty, without building it.
KORVANE_API bool IsBlank(std::string_view s);

// Upper-cases a to z only; every other byte is unchanged.
KORVANE_API std::string UpperCase(std::string_view s);
// Lower-cases A to Z only.
KORVANE_API std::string LowerCase(std::string_view s);
KORVANE_API std::string IntToStr(std::int64_t value);
// The candidate nearest to word (edits of one character, two neighbours
// swapped), when it is near enough to be the one meant: at most two edits,
// or a third of the word's length; empty otherwise. a to z and A to Z count
// alike when ignoreCase.
KORVANE_API std::string NearestWord(std::string_view word,
                                    const std::vector<std::string>& candidates,
                                    bool ignoreCase = false);
// A comma-separated list of names ("id,name, city"), each trimmed; a name
// in double quotes keeps its commas and blanks ("Amount, USD", "" for a
// quote in it). False, with fault saying why, for an empty name or a quote
// left open.
KORVANE_API bool SplitNames(std::string_view text, std::vector<std::string>& names,
                            std::string& fault);
// The list text SplitNames reads back as names: each name as it stands, or
// in double quotes when it holds a comma or a quote or has blanks at an end.
KORVANE_API std::string NameListText(const std::vector<std::string>& names);
// StrToInt64 and StrToInt, readers of number texts, are in text/formats.h.

}  // namespace korvane

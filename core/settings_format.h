// The first line of a settings file: the signature and the format's version,
// which the reader checks and the writer writes.
#pragma once

#include <string_view>

namespace korvane::settings_format {

inline constexpr std::string_view kSignature = "korvane-settings";
inline constexpr std::string_view kFormatVersion = "1";

}  // namespace korvane::settings_format

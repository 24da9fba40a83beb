// Usage errors that name the word the command does not know and suggest
// the nearest one it does.
#pragma once

#include <CLI/CLI.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/sysutils.h"

namespace korvane::cli {

// A message for a parse error of app over argv that names the unknown
// subcommand or option and suggests the nearest valid one ("'imprt' is not a
// korvane command (import, export, run, sniff): did you mean import?");
// nothing when the error is of another kind. error is CLI11's message.
std::optional<std::string> UnknownWordMessage(const CLI::App& app, int argc, char** argv,
                                              std::string_view error);

}  // namespace korvane::cli

// The folder of the sources the tests were built from (their data files,
// examples and resources live there).
#pragma once

#include <string>

namespace korvane::test {

// The checkout's root, without a trailing '/'.
std::string SourceDir();

}  // namespace korvane::test

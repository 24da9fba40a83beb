// Compressed bytes for tests of the readers of gzip and zstd files, made
// with the libraries themselves.
#pragma once

#include <string>
#include <string_view>

namespace korvane::test {

// text as one gzip member.
std::string Gzip(std::string_view text);
// text as one zstd frame, with a checksum of its content when checksum.
std::string Zstd(std::string_view text, bool checksum = true);

}  // namespace korvane::test

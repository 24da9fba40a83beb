#include "support/source_dir.h"

namespace korvane::test {

std::string SourceDir() { return KORVANE_SOURCE_DIR; }

}  // namespace korvane::test

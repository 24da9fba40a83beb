// Writes that fail on purpose: the tests use this to see what a run does
// when its output cannot be written at any point. Not installed.
#pragma once

#include <cstdint>

namespace korvane {

// Lets the next `goodWrites` calls of WriteFile in this process succeed and
// fails every later one with `error` (an errno value), until
// ClearWriteFault. Set before the threads that write are started.
void FailWritesAfter(std::int64_t goodWrites, int error);
void ClearWriteFault();

}  // namespace korvane

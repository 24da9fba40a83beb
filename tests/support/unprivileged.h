// Permission checks do not bind root, which is what CI runs as. A check
// that needs them runs in a child process that has given up root.
#pragma once

#include <functional>

namespace korvane::test_support {

enum class TChildResult { Passed, Failed, CannotDropPrivileges };

// Runs check as the unprivileged user nobody when the test runs as root, in
// the calling process otherwise. check must not touch gtest assertions: it
// returns whether it passed.
TChildResult RunWithoutRoot(const std::function<bool()>& check);

}  // namespace korvane::test_support

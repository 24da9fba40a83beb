#include "tests/support/unprivileged.h"

#include <sys/wait.h>
#include <unistd.h>

namespace korvane::test_support {

TChildResult RunWithoutRoot(const std::function<bool()>& check) {
  if (geteuid() != 0) return check() ? TChildResult::Passed : TChildResult::Failed;
  const pid_t pid = fork();
  if (pid < 0) return TChildResult::CannotDropPrivileges;
  if (pid == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
    _exit(check() ? 0 : 1);
  }
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return TChildResult::Failed;
  switch (WEXITSTATUS(status)) {
    case 0:
      return TChildResult::Passed;
    case 2:
      return TChildResult::CannotDropPrivileges;
    default:
      return TChildResult::Failed;
  }
}

}  // namespace korvane::test_support

// The korvane command: options -> component properties -> Execute.
//
//   korvane import [INPUT] --db FILE --table NAME [options]
//   korvane export [OUTPUT] --db FILE (--table NAME | --query SQL) [options]
//   korvane run SETTINGS-FILE [options]
//
// `korvane --help` and `korvane COMMAND --help` explain every option.
#pragma once

#include <iosfwd>

namespace korvane {

// Runs the command with its arguments (argv[0] is the program's name) and
// returns the exit status: 0 when the run's Execute returned 0 or more, 1 when
// it returned -1 or the run broke off with an error, 2 when the command cannot
// run as given (a one-line message on err says what to fix). Help and --json
// go to out; messages, progress and errors to err (the progress window is
// drawn on the process's stderr, whatever err is).
//
// While it runs it replaces the process-wide message handler, renderer
// factory and format settings and puts them back before it returns, so it
// can be called more than once in a process (the tests do). Not thread-safe.
int RunKorvane(int argc, char** argv, std::ostream& out, std::ostream& err);

}  // namespace korvane

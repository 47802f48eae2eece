// Runs the one operation of a parsed command; the only place where failures
// of the operations are caught.
#pragma once

#include "controller/cli/command_line.h"

namespace ql {

// Returns the exit status: 0 when the operation returned, 1 when it threw an
// exception derived from std::exception (its text and a line feed go to
// standard error).
int dispatch(const Command_line& command_line);

}  // namespace ql

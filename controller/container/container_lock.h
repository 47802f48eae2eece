// One quillon at a time per container: an exclusive lock on
// "/run/containers/<name>/lock", held for the whole start or stop (until the
// process is replaced by the runtime, whose exec closes it).
#pragma once

#include <string>

#include "controller/system/unique_fd.h"

namespace ql {

// Waits up to 10 s for the lock; raises with an ERROR line when another
// quillon keeps it that long. The lock is held while the result lives.
Unique_fd lock_container(const std::string& name);

}  // namespace ql

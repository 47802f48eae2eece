// Locks between quillon processes: flock on a private file.
#pragma once

#include <string>

#include "controller/system/unique_fd.h"

namespace ql {

// Opens (creating it 0600) the lock file at path and waits up to 10 s for the
// lock (exclusive or shared); raises with an ERROR line when another quillon
// keeps it that long. what names the locked thing in the messages. The lock
// is held while the result lives.
Unique_fd wait_for_lock(const std::string& path, const std::string& what, bool exclusive);

}  // namespace ql

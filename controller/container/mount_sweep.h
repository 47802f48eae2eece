// Questions about the mount table.
#pragma once

#include <string>

namespace ql {

// Whether something is mounted at path (compared as written and in its
// canonical form); raises when the mount table cannot be read.
bool is_mount_point(const std::string& path);

}  // namespace ql

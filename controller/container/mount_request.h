// One "--bind-mount" or "--umount" option of the command line.
#pragma once

#include <string>

namespace ql {

struct Mount_request {
    std::string target;  // path on the system root file system
    std::string source;  // directory inside the container; empty for "--umount"
};

}  // namespace ql

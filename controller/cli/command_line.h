// quillon's argument grammar, usage text and argument errors.
#pragma once

#include <string>
#include <vector>

#include "controller/container/mount_request.h"

namespace ql {

// The parsed command, handed to the dispatch.
struct Command_line {
    std::string command;  // "start", "stop", "rootmount" or "rootumount"
    std::string name;     // container name, or the base root file system image path
    bool detached = false;
    const char* fstype = nullptr;  // points into the argument vector; null: no type given
    std::vector<Mount_request> mount_requests;  // in command-line order
};

struct Parse_result {
    enum class Outcome { run, help, error };
    Outcome outcome = Outcome::error;
    std::string error;  // the line for standard error (without line feed) when outcome is error
    Command_line command_line;
};

// Pure: reads argv[0..argc-1] and never prints.
Parse_result parse_command_line(int argc, const char* const* argv);

// A container name that every path and runtime call can carry unchanged: 1 to
// 127 bytes of ASCII letters, digits, '_', '.', '+' and '-', beginning with a
// letter or digit, and not "control" (the device-mapper control node).
bool is_valid_container_name(const std::string& name);

// The thirteen-line usage text, program as it was invoked on lines 2 to 4.
std::string usage_text(const std::string& program);

}  // namespace ql

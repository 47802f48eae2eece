// Tells whether a process's working directory lies inside a directory.
#pragma once

#include <cstddef>
#include <string>

namespace ql {

// link holds link_length bytes read from /proc/<pid>/cwd (possibly cut after
// directory.size() + 1 bytes). Inside means equal to directory or below it; a
// sibling whose name merely starts with the directory's name is not inside.
bool working_dir_inside(const char* link, std::size_t link_length, const std::string& directory);

// True when name is a decimal process id that fits a pid.
bool is_pid_name(const char* name);

}  // namespace ql

namespace ql {

// Sleeps one whole second, resuming after signal interruptions.
void sleep_whole_second();

}  // namespace ql

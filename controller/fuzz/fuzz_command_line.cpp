// quillon's command line: the input is split at NUL bytes into arguments.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "controller/cli/command_line.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Every argument in its own allocation, so reading past one is caught.
    std::vector<std::vector<char>> storage;
    std::size_t begin = 0;
    for (std::size_t i = 0; i <= size; ++i) {
        if (i == size || data[i] == 0) {
            std::vector<char> argument(data + begin, data + i);
            argument.push_back('\0');
            storage.push_back(std::move(argument));
            begin = i + 1;
        }
    }
    std::vector<const char*> argv;
    for (const auto& argument : storage) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    const ql::Parse_result result = ql::parse_command_line(static_cast<int>(argv.size()) - 1, argv.data());
    if (result.outcome == ql::Parse_result::Outcome::run && result.command_line.fstype != nullptr) {
        // The type points into the argument vector.
        bool found = false;
        for (const char* argument : argv) {
            found = found || argument == result.command_line.fstype;
        }
        if (!found) {
            std::abort();
        }
    }
    if (!argv.empty() && argv[0] != nullptr) {
        (void)ql::usage_text(argv[0]);
    }
    return 0;
}

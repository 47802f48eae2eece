#include "controller/cli/command_line.h"

#include <filesystem>
#include <system_error>

namespace ql {

namespace {

bool is_command(const std::string& word) {
    return word == "start" || word == "stop" || word == "rootmount" || word == "rootumount";
}

Parse_result failure(std::string line) {
    Parse_result result;
    result.outcome = Parse_result::Outcome::error;
    result.error = std::move(line);
    return result;
}

std::string absolute_path(const std::string& path) {
    if (path.empty() || path[0] == '/') {
        return path;
    }
    std::error_code ec;
    const std::filesystem::path absolute = std::filesystem::absolute(path, ec);
    return ec ? path : absolute.string();
}

}  // namespace

bool is_valid_container_name(const std::string& name) {
    // The kernel cuts device-mapper names at 128 bytes (with the NUL); ':' and
    // ',' would change the overlay options, '/' the paths.
    // "control" is the device-mapper control node, "base-rootfs" the base
    // image's device.
    if (name.empty() || name.size() > 127 || name == "control" || name == "base-rootfs") {
        return false;
    }
    const auto alnum = [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    };
    if (!alnum(name[0])) {
        return false;
    }
    for (const char c : name) {
        if (!alnum(c) && c != '_' && c != '.' && c != '+' && c != '-') {
            return false;
        }
    }
    return true;
}

std::string usage_text(const std::string& program) {
    return "Usage:\n"
           "  " + program + " start <container-name> [-d] [--fstype <type>] [--bind-mount <from> <path>]...\n"
           "  " + program + " stop  <container-name> [-d] [--umount <path>]...\n"
           "  " + program + " {rootmount|rootumount} <baseroot-container-name> [--fstype <type>]\n"
           "Options:\n"
           "  -d            start/stop container in detached mode\n"
           "  --bind-mount  bind mount <from> container directory as <path> to system rootfs\n"
           "                before starting the container process\n"
           "                <from> can be absolute or relative to the container content dir\n"
           "                option can be given multiple times\n"
           "  --umount      unmount directory at <path> from system rootfs\n"
           "                before removing the container image\n"
           "                option can be given multiple times\n";
}

Parse_result parse_command_line(int argc, const char* const* argv) {
    if (argc == 2 && std::string(argv[1]) == "-h") {
        Parse_result result;
        result.outcome = Parse_result::Outcome::help;
        return result;
    }
    if (argc < 3) {
        return failure("invalid number of arguments");
    }
    const std::string command = argv[1];
    if (!is_command(command)) {
        return failure(command + ": invalid command");
    }

    Parse_result result;
    result.outcome = Parse_result::Outcome::run;
    Command_line& parsed = result.command_line;
    parsed.command = command;
    parsed.name = argv[2];
    if ((command == "start" || command == "stop") && !is_valid_container_name(parsed.name)) {
        return failure(parsed.name + ": invalid container name");
    }

    int index = 3;
    while (index < argc) {
        const std::string option = argv[index];
        const int remaining = argc - index - 1;
        if (option == "-d") {
            parsed.detached = true;
            index += 1;
        } else if (option == "--fstype") {
            // "--fstype" as the last argument is the same as giving no type.
            parsed.fstype = remaining >= 1 ? argv[index + 1] : nullptr;
            index += 2;
        } else if (option == "--bind-mount" && remaining >= 2) {
            parsed.mount_requests.push_back(Mount_request{argv[index + 2], argv[index + 1]});
            index += 3;
        } else if (option == "--umount" && remaining >= 1 && command != "start") {
            // Made absolute now: stop changes its working directory later.
            parsed.mount_requests.push_back(Mount_request{absolute_path(argv[index + 1]), std::string()});
            index += 2;
        } else {
            return failure("unknown option " + option);
        }
    }
    return result;
}

}  // namespace ql

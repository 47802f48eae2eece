#include "controller/cli/dispatch.h"

#include <cstdio>
#include <exception>
#include <stdexcept>
#include <string>

#include "controller/container/container.h"
#include "controller/verity/baserootfs.h"

namespace ql {

namespace {

// One function per command: each builds its object and runs its one operation.

void run_start(const Command_line& command_line) {
    Container container(command_line.name, command_line.mount_requests, true,
                        command_line.detached);
    container.start(command_line.fstype);
}

void run_stop(const Command_line& command_line) {
    Container container(command_line.name, command_line.mount_requests, false,
                        command_line.detached);
    container.stop();
}

void run_rootmount(const Command_line& command_line) {
    Base_rootfs base_rootfs(command_line.name);
    base_rootfs.mount(command_line.fstype);
}

// Options were parsed but have no effect here.
void run_rootumount(const Command_line& command_line) {
    Base_rootfs base_rootfs(command_line.name);
    base_rootfs.umount();
}

void run(const Command_line& command_line) {
    const std::string& command = command_line.command;
    if (command == "start") {
        run_start(command_line);
    } else if (command == "stop") {
        run_stop(command_line);
    } else if (command == "rootmount") {
        run_rootmount(command_line);
    } else if (command == "rootumount") {
        run_rootumount(command_line);
    } else {
        throw std::invalid_argument(command + ": invalid command");
    }
}

}  // namespace

int dispatch(const Command_line& command_line) {
    try {
        run(command_line);
    } catch (const std::exception& e) {
        std::fputs(e.what(), stderr);
        std::fputc('\n', stderr);
        std::fflush(stderr);
        return 1;
    }
    return 0;
}

}  // namespace ql

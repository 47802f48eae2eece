// quillon: one action per invocation on a container or the base root file system.
#include <csignal>
#include <cstdio>
#include <string>

#include "controller/cli/command_line.h"
#include "controller/cli/dispatch.h"

int main(int argc, char* argv[]) {
    // A closed output pipe must end a write with an error, not the process in
    // the middle of a start or stop.
    std::signal(SIGPIPE, SIG_IGN);
    const std::string program = argc > 0 && argv[0] != nullptr ? argv[0] : "";
    const ql::Parse_result parsed = ql::parse_command_line(argc, argv);
    switch (parsed.outcome) {
        case ql::Parse_result::Outcome::help:
            std::fputs(ql::usage_text(program).c_str(), stdout);
            return 0;
        case ql::Parse_result::Outcome::error:
            std::fputs((parsed.error + "\n").c_str(), stderr);
            std::fflush(stderr);
            std::fputs(ql::usage_text(program).c_str(), stdout);
            return 1;
        case ql::Parse_result::Outcome::run:
            break;
    }
    return ql::dispatch(parsed.command_line);
}

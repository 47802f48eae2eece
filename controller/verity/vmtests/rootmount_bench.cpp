// Wall time of quillon's "rootmount" + "rootumount" of one image next to a
// shell command doing the same with veritysetup and mount, from one run each.
//   rootmount_bench <quillon> <image> <shell command>
// Prints both times in milliseconds and their ratio; exit status 1 when any
// of the commands fails.
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace {

// Runs argv to completion with its output discarded; true on exit status 0.
bool run(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const std::string& arg : args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid < 0) {
        return false;
    }
    if (pid == 0) {
        std::freopen("/dev/null", "w", stdout);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) {
        return false;
    }
    const bool ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (!ok) {
        std::fprintf(stderr, "failed: %s (status %d)\n", args[0].c_str(), status);
    }
    return ok;
}

using Clock = std::chrono::steady_clock;

double milliseconds(Clock::duration duration) {
    return std::chrono::duration<double, std::milli>(duration).count();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fputs("usage: rootmount_bench <quillon> <image> <shell command>\n", stderr);
        return 2;
    }
    const std::string quillon = argv[1];
    const std::string image = argv[2];
    const std::string shell = argv[3];

    const Clock::time_point quillon_start = Clock::now();
    bool ok = run({quillon, "rootmount", image}) && run({quillon, "rootumount", image});
    const Clock::duration quillon_time = Clock::now() - quillon_start;

    const Clock::time_point shell_start = Clock::now();
    ok = run({"/bin/sh", "-c", shell}) && ok;
    const Clock::duration shell_time = Clock::now() - shell_start;

    std::printf("quillon rootmount+rootumount: %.1f ms\n", milliseconds(quillon_time));
    std::printf("veritysetup open+mount+umount+close: %.1f ms\n", milliseconds(shell_time));
    std::printf("ratio quillon/shell: %.3f\n", milliseconds(quillon_time) / milliseconds(shell_time));
    return ok ? 0 : 1;
}

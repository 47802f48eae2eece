// Benchmark (run in the guest): wall time of "quillon start <name> -d" until
// runc reports the container running, wall time of "quillon stop <name> -d",
// and quillon's peak resident memory in both, sampled from /proc while the
// process is still quillon (a start ends by becoming runc).
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

std::string read_text(const std::string& path) {
    std::ifstream file(path);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

long peak_kib(pid_t pid) {
    const std::string status = read_text("/proc/" + std::to_string(pid) + "/status");
    const auto at = status.find("VmHWM:");
    return at == std::string::npos ? -1 : std::atol(status.c_str() + at + 6);
}

pid_t spawn(const std::vector<std::string>& args, int out_fd) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int null_fd = ::open("/dev/null", O_RDWR);
        ::dup2(null_fd, 0);
        ::dup2(out_fd >= 0 ? out_fd : null_fd, 1);
        ::dup2(null_fd, 2);
        std::vector<char*> argv;
        for (const std::string& arg : args) {
            argv.push_back(const_cast<char*>(arg.c_str()));
        }
        argv.push_back(nullptr);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    return pid;
}

struct Run {
    int status = -1;
    long peak = -1;  // KiB while the process was quillon
};

// Runs quillon, sampling its peak memory until it exits or becomes runc.
Run run_quillon(const std::vector<std::string>& args) {
    Run run;
    const pid_t pid = spawn(args, -1);
    const std::string comm = "/proc/" + std::to_string(pid) + "/comm";
    bool sampling = true;
    for (;;) {
        if (sampling) {
            if (read_text(comm) == "quillon\n") {
                run.peak = std::max(run.peak, peak_kib(pid));
            } else if (run.peak >= 0) {
                sampling = false;
            }
        }
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            return run;
        }
        ::usleep(500);
    }
}

bool runc_running(const std::string& name) {
    int fds[2];
    if (::pipe(fds) != 0) {
        return false;
    }
    const pid_t pid = spawn({"runc", "state", name}, fds[1]);
    ::close(fds[1]);
    std::string text;
    char buffer[4096];
    ssize_t got;
    while ((got = ::read(fds[0], buffer, sizeof(buffer))) > 0) {
        text.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(fds[0]);
    ::waitpid(pid, nullptr, 0);
    return text.find("\"status\": \"running\"") != std::string::npos;
}

double ms_since(Clock::time_point begin) {
    return std::chrono::duration<double, std::milli>(Clock::now() - begin).count();
}

void report(const char* what, std::vector<double> values, const char* unit) {
    std::sort(values.begin(), values.end());
    std::printf("%-28s min %9.1f  median %9.1f  max %9.1f %s\n", what, values.front(),
                values[values.size() / 2], values.back(), unit);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <container> <rounds>\n", argv[0]);
        return 2;
    }
    const std::string name = argv[1];
    const int rounds = std::atoi(argv[2]);
    std::vector<double> start_ms, stop_ms, start_kib, stop_kib;
    for (int round = 0; round < rounds; ++round) {
        const auto begin = Clock::now();
        const Run start = run_quillon({"quillon", "start", name, "-d"});
        if (start.status != 0) {
            std::fprintf(stderr, "start failed with %d\n", start.status);
            return 1;
        }
        while (!runc_running(name)) {
            if (ms_since(begin) > 60000) {
                std::fprintf(stderr, "container not running after 60 s\n");
                return 1;
            }
            ::usleep(1000);
        }
        start_ms.push_back(ms_since(begin));
        start_kib.push_back(static_cast<double>(start.peak));

        const auto stop_begin = Clock::now();
        const Run stop = run_quillon({"quillon", "stop", name, "-d"});
        if (stop.status != 0) {
            std::fprintf(stderr, "stop failed with %d\n", stop.status);
            return 1;
        }
        stop_ms.push_back(ms_since(stop_begin));
        stop_kib.push_back(static_cast<double>(stop.peak));
        std::printf("round %d: start -d %.1f ms (peak %ld KiB), stop -d %.1f ms (peak %ld KiB)\n",
                    round + 1, start_ms.back(), start.peak, stop_ms.back(), stop.peak);
    }
    report("start -d until running", start_ms, "ms");
    report("stop -d", stop_ms, "ms");
    report("quillon peak RSS in start", start_kib, "KiB");
    report("quillon peak RSS in stop", stop_kib, "KiB");
    return 0;
}

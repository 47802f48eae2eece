// Benchmark of the whole tessaly binary against the real kernel. Run it as
// root inside private network, mount and UTS namespaces with the host name,
// netfilter rules and conntrack counters that run_tessaly_benchmark.sh sets up:
//   tessaly_benchmark TESSALY LISTENER [flood seconds] [latency probes]
// Prints the CPU time of the idle sensor over 10 s, the CPU time per logged
// packet and per conntrack event under a flood, the peak resident memory, and
// the time from a packet being logged to its notification reaching a
// subscriber (ids_listener.py), median and 99th percentile.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

namespace {

using Clock = std::chrono::steady_clock;

void write_file(const std::string& path, const std::string& text) {
    std::ofstream out(path);
    out << text;
    if (!out) {
        throw std::runtime_error("cannot write " + path);
    }
}

// Owns a child process; kills it if still running when the holder goes away.
class Child {
public:
    Child(const std::vector<std::string>& argv, int stdout_fd) {
        m_pid = fork();
        if (m_pid == 0) {
            // Started from a background job, the benchmark inherits SIGINT
            // ignored; the children are stopped with SIGINT and must see it.
            signal(SIGINT, SIG_DFL);
            signal(SIGTERM, SIG_DFL);
            const int null_fd = open("/dev/null", O_RDWR);
            dup2(stdout_fd >= 0 ? stdout_fd : null_fd, STDOUT_FILENO);
            dup2(null_fd, STDERR_FILENO);
            std::vector<char*> args;
            for (const auto& a : argv) {
                args.push_back(const_cast<char*>(a.c_str()));
            }
            args.push_back(nullptr);
            execvp(args[0], args.data());
            _exit(127);
        }
        if (m_pid < 0) {
            throw std::runtime_error("fork failed");
        }
    }
    ~Child() {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t pid() const { return m_pid; }

    int stop(int signal_number) {
        if (m_pid <= 0) {
            return -1;
        }
        kill(m_pid, signal_number);
        int status = 0;
        waitpid(m_pid, &status, 0);
        m_pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

private:
    pid_t m_pid = -1;
};

// CPU time of all threads of a process so far, in milliseconds, from the
// scheduler's nanosecond run times.
double cpu_ms(pid_t pid) {
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    double total_ns = 0;
    DIR* dir = opendir(tasks.c_str());
    if (dir == nullptr) {
        throw std::runtime_error("cannot read " + tasks);
    }
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') {
            continue;
        }
        std::ifstream in(tasks + "/" + entry->d_name + "/schedstat");
        double run_ns = 0;
        if (in >> run_ns) {
            total_ns += run_ns;
        }
    }
    closedir(dir);
    return total_ns / 1e6;
}

std::string status_value(pid_t pid, const std::string& key) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(key + ":", 0) == 0) {
            return line.substr(key.size() + 1);
        }
    }
    return "?";
}

bool udp_port_bound(unsigned port) {
    char hex[8];
    std::snprintf(hex, sizeof hex, ":%04X ", port);
    std::ifstream in("/proc/net/udp");
    std::string line;
    while (std::getline(in, line)) {
        if (line.find(hex) != std::string::npos) {
            return true;
        }
    }
    return false;
}

// ids_listener.py subscribed to every field, and the notifications it
// prints, each with its arrival time.
class Subscriber {
public:
    Subscriber(const std::string& listener, const std::string& config)
        : m_pipe(make_pipe()),
          m_child({"python3", listener, "--config", config}, m_pipe.write),
          m_thread([this] { read_lines(m_pipe.read); }) {
        close(m_pipe.write);
    }
    // The listener goes first, so that the reader sees the end of its output.
    ~Subscriber() {
        m_child.stop(SIGINT);
        m_thread.join();
    }
    Subscriber(const Subscriber&) = delete;
    Subscriber& operator=(const Subscriber&) = delete;

    // Arrival time of the first special frame report whose payload ends with tag.
    std::map<std::string, Clock::time_point> special_frame_tags() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_tags;
    }
    std::set<unsigned> flow_source_ports() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_ports;
    }

private:
    void read_lines(int fd) {
        FILE* stream = fdopen(fd, "r");
        char* line = nullptr;
        size_t size = 0;
        while (getline(&line, &size, stream) > 0) {
            const auto now = Clock::now();
            const auto note = nlohmann::json::parse(line, nullptr, false);
            if (note.is_discarded()) {
                continue;
            }
            std::lock_guard<std::mutex> lock(m_mutex);
            for (const auto& record : note["records"]) {
                if (note["field"] == "specialFrameReports") {
                    const std::string payload = record["payload"];
                    // Tags are the last 8 payload bytes (16 hex digits).
                    m_tags.emplace(payload.substr(payload.size() - 16), now);
                } else if (note["field"] == "trafficFlowSamples") {
                    m_ports.insert(record["sourcePort"].get<unsigned>());
                }
            }
        }
        std::free(line);
        std::fclose(stream);
    }

    struct Pipe {
        int read;
        int write;
    };
    static Pipe make_pipe() {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe failed");
        }
        return {fds[0], fds[1]};
    }

    Pipe m_pipe;
    Child m_child;
    std::mutex m_mutex;
    std::map<std::string, Clock::time_point> m_tags;
    std::set<unsigned> m_ports;
    std::thread m_thread;
};

std::string tag_hex(unsigned long long tag) {
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", tag);
    return hex;
}

// One DoIP datagram whose last 8 bytes carry the tag.
void send_tagged(int sock, unsigned long long tag) {
    unsigned char payload[16] = {0x02, 0xfd, 0x00, 0x01, 0, 0, 0, 8};
    for (int i = 0; i < 8; ++i) {
        payload[8 + i] = static_cast<unsigned char>(tag >> (56 - 8 * i));
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(13400);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sendto(sock, payload, sizeof payload, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

// A new UDP flow: a fresh socket, so a fresh source port and conntrack entry.
unsigned send_new_flow() {
    const int sock = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(9999);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sendto(sock, "x", 1, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    sockaddr_in self{};
    socklen_t length = sizeof self;
    getsockname(sock, reinterpret_cast<sockaddr*>(&self), &length);
    close(sock);
    return ntohs(self.sin_port);
}

void paced(double seconds, double rate, const std::function<void(unsigned long long)>& send) {
    const auto start = Clock::now();
    const auto total = static_cast<unsigned long long>(seconds * rate);
    for (unsigned long long i = 0; i < total; ++i) {
        std::this_thread::sleep_until(start + std::chrono::microseconds(static_cast<long long>(i * 1e6 / rate)));
        send(i);
    }
}

double percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    const auto index = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
    return values[index];
}

int run(const std::string& tessaly, const std::string& listener, double flood_seconds, int probes) {
    char dir_template[] = "/tmp/tessaly-bench.XXXXXX";
    const std::string dir = mkdtemp(dir_template);
    const std::string config = dir + "/config.json";
    write_file(config, R"({"IDS_config": {"aracom_InstanceId_idsethernetsensor": "1", "IDSEthernetSensor_limit": 1000000,
                 "aracom_InstanceId_idsipsecuritysensor": "2", "IDSIpSecuritySensor_limit": 1000000}})");

    Child sensor({tessaly, config}, -1);
    for (int i = 0; i < 100 && !udp_port_bound(30502); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));

    double before = cpu_ms(sensor.pid());
    std::this_thread::sleep_for(std::chrono::seconds(10));
    const double idle = cpu_ms(sensor.pid()) - before;
    std::printf("idle CPU over 10 s:            %8.1f ms (%.3f %% of one core)\n", idle, idle / 100.0);

    Subscriber notifications(listener, config);
    std::this_thread::sleep_for(std::chrono::seconds(1));

    const int sock = socket(AF_INET, SOCK_DGRAM, 0);
    // Latency first, on an otherwise quiet sensor: with one logged packet per
    // receive, the capture takes at most one packet per 100 ms pass, so a
    // flood leaves a backlog in the kernel that later probes would queue
    // behind. Probes come every 170 ms, out of step with the poll period.
    std::vector<Clock::time_point> sent_at(static_cast<std::size_t>(probes));
    for (int i = 0; i < probes; ++i) {
        sent_at[static_cast<std::size_t>(i)] = Clock::now();
        send_tagged(sock, (2ULL << 62) | static_cast<unsigned long long>(i));
        std::this_thread::sleep_for(std::chrono::milliseconds(170));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const auto tags = notifications.special_frame_tags();
    std::vector<double> latencies;
    for (int i = 0; i < probes; ++i) {
        const auto found = tags.find(tag_hex((2ULL << 62) | static_cast<unsigned long long>(i)));
        if (found != tags.end()) {
            latencies.push_back(
                std::chrono::duration<double, std::milli>(found->second - sent_at[static_cast<std::size_t>(i)]).count());
        }
    }
    if (!latencies.empty()) {
        std::printf("notification latency:          median %.1f ms, p99 %.1f ms (%zu of %d probes)\n",
                    percentile(latencies, 0.5), percentile(latencies, 0.99), latencies.size(), probes);
    } else {
        std::printf("notification latency:          no probe arrived\n");
    }

    constexpr double kFlowRate = 1000.0;
    std::set<unsigned> flow_ports;
    before = cpu_ms(sensor.pid());
    paced(flood_seconds, kFlowRate, [&flow_ports](unsigned long long) { flow_ports.insert(send_new_flow()); });
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const double event_cpu = cpu_ms(sensor.pid()) - before - idle / 10.0 * (flood_seconds + 0.5);
    std::size_t sampled = 0;
    for (unsigned port : notifications.flow_source_ports()) {
        sampled += flow_ports.count(port);
    }
    std::printf("conntrack events:              %8zu new entries, %zu sampled\n", flow_ports.size(), sampled);
    std::printf("CPU per conntrack event:       %8.1f us\n", event_cpu * 1000.0 / static_cast<double>(std::max<std::size_t>(sampled, 1)));

    // Far more than the capture takes (about one packet per 100 ms pass).
    constexpr double kPacketRate = 1000.0;
    before = cpu_ms(sensor.pid());
    paced(flood_seconds, kPacketRate, [sock](unsigned long long i) { send_tagged(sock, (1ULL << 62) | i); });
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const double packet_cpu = cpu_ms(sensor.pid()) - before - idle / 10.0 * (flood_seconds + 0.5);
    std::size_t reported = 0;
    for (const auto& entry : notifications.special_frame_tags()) {
        reported += entry.first[0] == '4' ? 1 : 0;
    }
    const auto sent = static_cast<std::size_t>(flood_seconds * kPacketRate);
    std::printf("logged packets:                %8zu sent at %.0f/s, %zu reported\n", sent, kPacketRate, reported);
    std::printf("CPU per reported packet:       %8.1f us\n", packet_cpu * 1000.0 / static_cast<double>(std::max<std::size_t>(reported, 1)));

    close(sock);
    std::printf("peak resident memory (VmHWM): %s\n", status_value(sensor.pid(), "VmHWM").c_str());
    const int status = sensor.stop(SIGTERM);
    std::printf("tessaly exit status after SIGTERM: %d\n", status);
    std::remove(config.c_str());
    rmdir(dir.c_str());
    return 0;
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc < 3) {
        std::cerr << "usage: tessaly_benchmark TESSALY LISTENER [flood seconds] [latency probes]\n";
        return 2;
    }
    try {
        return run(argv[1], argv[2], argc > 3 ? std::atof(argv[3]) : 5.0, argc > 4 ? std::atoi(argv[4]) : 100);
    } catch (const std::exception& error) {
        std::cerr << "tessaly_benchmark: " << error.what() << "\n";
        return 1;
    }
}

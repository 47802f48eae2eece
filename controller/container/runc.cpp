// The calls of the OCI runtime: state, kill and delete, each under a time limit.
// Part of the container unit: its assertions name container.cpp.
#define QL_SOURCE_FILE "container.cpp"

#include <chrono>
#include <string>
#include <vector>

#include "controller/container/container.h"
#include "controller/container/process_scan.h"
#include "controller/container/status_getter.h"
#include "controller/log/log.h"

namespace ql {

namespace {

// runc answers at once; one that does not has hung on a stuck container.
constexpr int runc_timeout_seconds = 10;
constexpr std::chrono::nanoseconds runc_stop_timeout{9'999'999'999};

}  // namespace

int Container::run_runc(std::initializer_list<const char*> arguments, std::string* output) {
    std::vector<const char*> argv = {"runc"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    argv.push_back(nullptr);
    return m_sys->command(argv.data(), output, std::string(), runc_timeout_seconds);
}

Container_status Container::get_status() {
    std::string runc_list_str;
    const int code = run_runc({"state", m_name.c_str()}, &runc_list_str);
    if (code == 0) {
        const Status_getter sax_handler = parse_runc_state(runc_list_str);
        QL_CHECK(!sax_handler.m_container_status.empty(), "could not parse runc list output: ", runc_list_str);
        LOG_DEBUG(m_name, " status: ", sax_handler.m_container_status);
        return sax_handler.m_container_status == "stopped" ? Container_status::STOPPED
                                                           : Container_status::RUNNING;
    }
    QL_CHECK(runc_list_str.find(" does not exist") != std::string::npos,
             "unexpected runc return code: ", code);
    LOG_DEBUG(m_name, " status: deleted");
    return Container_status::DELETED;
}


void Container::stop_runc_container() {
    Container_status status = get_status();
    if (status == Container_status::DELETED) {
        return;
    }
    if (status == Container_status::RUNNING) {
        LOG_DEBUG("stop runc container");
        const int kill_ret = run_runc({"kill", "--all", m_name.c_str(), "KILL"});
        if (kill_ret != 0) {
            LOG_WARN("unexpected runc return code: ", kill_ret);
        }
        const auto begin = std::chrono::steady_clock::now();
        while (std::chrono::steady_clock::now() - begin <= runc_stop_timeout) {
            sleep_whole_second();
            if (get_status() == Container_status::STOPPED) {
                break;
            }
        }
        if (get_status() == Container_status::RUNNING) {
            LOG_WARN("runc container is still running after timeout");
        }
    }
    LOG_DEBUG("delete runc container");
    const int delete_ret = run_runc({"delete", "--force", m_name.c_str()});
    if (delete_ret != 0) {
        LOG_WARN("runc delete retuns exit code: ", delete_ret);
    }
    status = get_status();
    QL_CHECK(status == Container_status::DELETED, "container deletion ", m_name, " failed");
}


}  // namespace ql

#include "sensor/capture/rate_limited_publisher.h"

#include <cstring>
#include <sstream>

#include "sensor/capture/capture_log.h"

namespace {

constexpr auto drop_line_interval = std::chrono::minutes(1);

}  // namespace

void Rate_limited_publisher::log_opening() {
    auto& log = capture::logger();
    log.LogDebug() << m_tag << " Time passed =" << m_window.time_passed_ms();
    log.LogDebug() << m_tag << " Resetting time passed.";
}

void Rate_limited_publisher::log_opening_result(int result) {
    if (!m_logs_sends) {
        return;
    }
    if (result == 0) {
        capture::logger().LogDebug() << m_tag << " Successfully sent packet number = " << m_window.count();
    } else {
        capture::logger().LogError() << m_tag << " Failed to send_packet number = " << m_window.count();
    }
}

void Rate_limited_publisher::log_passed(int result) {
    auto& log = capture::logger();
    if (result == 0) {
        log.LogDebug() << m_tag << " packet number = " << m_window.count();
        log.LogDebug() << m_tag << " Time passed =" << m_window.time_passed_ms();
    } else {
        log.LogError() << m_tag << " Failed to send_packet number = " << m_window.count();
        log.LogError() << m_tag << " Time passed =" << m_window.time_passed_ms();
    }
}

void Rate_limited_publisher::drop(const char* kind) {
    capture::logger().LogDebug() << m_tag << " Dropping packets.";
    for (Drop_count& entry : m_drops) {
        if (entry.kind == nullptr || std::strcmp(entry.kind, kind) == 0) {
            entry.kind = kind;
            ++entry.count;
            break;
        }
    }
    // The line is written by the loop's next pass, so that a dropped report
    // costs no allocation however hard the flood.
}

void Rate_limited_publisher::report_drops(Time_point now) {
    // A clock set back also makes the line due, rather than silencing it.
    if (m_drop_line_written && now >= m_last_drop_line && now - m_last_drop_line < drop_line_interval) {
        return;
    }
    bool any = false;
    for (const Drop_count& entry : m_drops) {
        any = any || entry.count > 0;
    }
    if (!any) {
        return;
    }
    flush_drops();
    m_drop_line_written = true;
    m_last_drop_line = now;
}

void Rate_limited_publisher::flush_drops() {
    std::ostringstream counts;
    const char* separator = "";
    for (Drop_count& entry : m_drops) {
        if (entry.count > 0) {
            counts << separator << entry.kind << ' ' << entry.count;
            separator = ", ";
            entry.count = 0;
        }
    }
    if (!counts.str().empty()) {
        capture::logger().LogInfo() << m_tag << " reports dropped by the rate limit since the last count: "
                                    << counts.str();
    }
}

// One report rate limiter with its publication and log lines; the group 101
// and group 102 handlers each own one. It also tallies what it drops, per
// report kind, for an info line at most once a minute while drops happen.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>

#include "sensor/capture/rate_window.h"

class Rate_limited_publisher {
public:
    using Time_point = Rate_window::Time_point;

    // tag: the limiter's log tag, e.g. "[RawIPTraffic]". logs_sends: whether
    // the opening report of a window logs its outcome.
    Rate_limited_publisher(const char* tag, bool logs_sends) noexcept : m_tag(tag), m_logs_sends(logs_sends) {}

    // Publishes one report of the given kind unless the window's reports are
    // used up. publish() returns 0 when the report left, non-zero when it
    // was refused before leaving. A report counts against the limit only
    // when it left: a refused one (too long, unknown kind) used nothing up.
    // Returns publish()'s result, or 0 when the report was dropped.
    template <typename Publish>
    int offer(Time_point now, std::int64_t window_ms, std::uint32_t limit, const char* kind, Publish&& publish) {
        switch (m_window.decide(now, window_ms, limit)) {
            case Rate_window::Decision::open_window: {
                log_opening();
                m_window.open_window();
                const int result = publish();
                log_opening_result(result);
                return result;
            }
            case Rate_window::Decision::drop:
                drop(kind);
                return 0;
            case Rate_window::Decision::pass:
                break;
        }
        const int result = publish();
        if (result == 0) {
            m_window.count_publication();
        }
        log_passed(result);
        return result;
    }

    // Writes the drop line if one is due (drops since the last line and a
    // minute gone by since it); for callers that run while no report comes.
    void report_drops(Time_point now);
    // Writes the drop line now if anything was dropped since the last one.
    void flush_drops();

    const Rate_window& window() const noexcept { return m_window; }

private:
    struct Drop_count {
        const char* kind = nullptr;
        std::uint64_t count = 0;
    };

    void log_opening();
    void log_opening_result(int result);
    void log_passed(int result);
    void drop(const char* kind);

    const char* m_tag;
    bool m_logs_sends;
    Rate_window m_window;
    // One entry per report kind this limiter has dropped; four kinds at most.
    std::array<Drop_count, 4> m_drops{};
    bool m_drop_line_written = false;
    Time_point m_last_drop_line{};
};

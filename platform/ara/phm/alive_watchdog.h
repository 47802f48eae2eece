// Alive supervision of an application's worker loops, tied to the service
// manager's watchdog: when the process runs under systemd with a watchdog
// period (WATCHDOG_USEC), WATCHDOG=1 is sent only while every supervised
// loop has completed a pass within the last half period, so a loop that
// hangs lets the service manager restart the process. Without a watchdog
// period nothing is sent and reporting a pass costs one load.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

namespace ara::phm {

// Which loops passed when; no thread of its own. Passes may be reported
// from any thread while another asks whether all loops are alive.
class Alive_supervision {
public:
    using Clock = std::chrono::steady_clock;

    // Every loop counts as having passed at start, so each has one window
    // to make its first pass.
    Alive_supervision(std::size_t loops, Clock::duration window, Clock::time_point start);

    // An unknown loop index is ignored.
    void pass(std::size_t loop, Clock::time_point now) noexcept;
    // True while every loop passed no longer than one window before now.
    bool alive(Clock::time_point now) const noexcept;

private:
    std::size_t m_loops;
    Clock::duration m_window;
    std::unique_ptr<std::atomic<Clock::rep>[]> m_last_pass;
};

class Alive_watchdog {
public:
    // Reads the watchdog period from the environment; starts the ping thread
    // only when there is one.
    explicit Alive_watchdog(std::size_t loops);
    ~Alive_watchdog();
    Alive_watchdog(const Alive_watchdog&) = delete;
    Alive_watchdog& operator=(const Alive_watchdog&) = delete;

    bool enabled() const noexcept { return m_supervision != nullptr; }
    void pass(std::size_t loop) noexcept;

private:
    void run() noexcept;

    std::unique_ptr<Alive_supervision> m_supervision;
    std::chrono::microseconds m_period{0};
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stopping = false;
    std::thread m_thread;
};

}  // namespace ara::phm

#include "ara/phm/alive_watchdog.h"

#include <systemd/sd-daemon.h>

namespace ara::phm {

Alive_supervision::Alive_supervision(std::size_t loops, Clock::duration window, Clock::time_point start)
    : m_loops(loops), m_window(window), m_last_pass(new std::atomic<Clock::rep>[loops]) {
    for (std::size_t i = 0; i < m_loops; ++i) {
        m_last_pass[i].store(start.time_since_epoch().count(), std::memory_order_relaxed);
    }
}

void Alive_supervision::pass(std::size_t loop, Clock::time_point now) noexcept {
    if (loop < m_loops) {
        m_last_pass[loop].store(now.time_since_epoch().count(), std::memory_order_relaxed);
    }
}

bool Alive_supervision::alive(Clock::time_point now) const noexcept {
    for (std::size_t i = 0; i < m_loops; ++i) {
        const Clock::time_point last{Clock::duration(m_last_pass[i].load(std::memory_order_relaxed))};
        if (now - last > m_window) {
            return false;
        }
    }
    return true;
}

Alive_watchdog::Alive_watchdog(std::size_t loops) {
    std::uint64_t usec = 0;
    // Also false when WATCHDOG_PID names another process.
    if (sd_watchdog_enabled(0, &usec) <= 0 || usec == 0) {
        return;
    }
    m_period = std::chrono::microseconds(usec);
    m_supervision = std::make_unique<Alive_supervision>(loops, m_period / 2, Alive_supervision::Clock::now());
    m_thread = std::thread([this] { run(); });
}

Alive_watchdog::~Alive_watchdog() {
    if (m_thread.joinable()) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stopping = true;
        }
        m_wake.notify_all();
        m_thread.join();
    }
}

void Alive_watchdog::pass(std::size_t loop) noexcept {
    if (m_supervision != nullptr) {
        m_supervision->pass(loop, Alive_supervision::Clock::now());
    }
}

void Alive_watchdog::run() noexcept {
    // Looking four times a period keeps a ping within every half period
    // while all loops turn; a failed send is tried again at the next look.
    const auto interval = m_period / 4;
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_wake.wait_for(lock, interval, [this] { return m_stopping; })) {
        if (m_supervision->alive(Alive_supervision::Clock::now())) {
            (void)sd_notify(0, "WATCHDOG=1");
        }
    }
}

}  // namespace ara::phm

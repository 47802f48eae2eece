// Counts things that happen per key (a source address, a service) and says
// when to log them: at once the first time, then at most once a second,
// with the count since the last line. So a flood costs one line a second
// per key, not one per datagram. Not thread-safe: the owner guards it.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <utility>
#include <vector>

namespace ux::com::cpp_binding {

class Log_limiter {
public:
    using Clock = std::chrono::steady_clock;

    // Counts n for the key; returns the count to log now, 0 for no line.
    std::uint64_t count(std::uint32_t key, std::uint64_t n, Clock::time_point now);
    // The counts held back for a second or more, with their keys, so that
    // they are logged even when nothing more happens.
    std::vector<std::pair<std::uint32_t, std::uint64_t>> take_due(Clock::time_point now);

private:
    struct Entry {
        Clock::time_point last_line;
        std::uint64_t pending = 0;
    };
    std::map<std::uint32_t, Entry> m_entries;
};

}  // namespace ux::com::cpp_binding

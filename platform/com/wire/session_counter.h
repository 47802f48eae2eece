// Session IDs of the messages one sender sends: they run from 1 to 0xffff
// and wrap to 1 (0 means "not used"). For SD messages the reboot flag tells
// peers the counter has not wrapped since this sender started.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <utility>

namespace ux::com::someip {

class Session_counter {
public:
    struct Stamp {
        std::uint16_t session = 1;
        bool reboot = true;
    };
    Stamp next();

private:
    std::uint16_t m_last = 0;
    bool m_wrapped = false;
};

// The SD session counters of one socket: one for the messages to the SD
// address and one per unicast peer.
class Sd_sessions {
public:
    using Stamp = Session_counter::Stamp;
    Stamp next_multicast() { return m_multicast.next(); }
    Stamp next_unicast(const sockaddr_in& peer);

private:
    // Bounds the per-peer table against a flood of source addresses.
    static constexpr std::size_t max_peers = 256;
    Session_counter m_multicast;
    std::map<std::pair<std::uint32_t, std::uint16_t>, Session_counter> m_unicast;
};

}  // namespace ux::com::someip

#include "com/wire/session_counter.h"

namespace ux::com::someip {

Session_counter::Stamp Session_counter::next() {
    if (m_last == 0xffff) {
        m_last = 1;
        m_wrapped = true;
    } else {
        ++m_last;
    }
    return Stamp{m_last, !m_wrapped};
}

Sd_sessions::Stamp Sd_sessions::next_unicast(const sockaddr_in& peer) {
    const auto key = std::make_pair(peer.sin_addr.s_addr, peer.sin_port);
    auto it = m_unicast.find(key);
    if (it == m_unicast.end()) {
        if (m_unicast.size() >= max_peers) {
            // Forgetting every peer restarts their counters with the reboot
            // flag set, which peers read as a restart of ours: harmless.
            m_unicast.clear();
        }
        it = m_unicast.emplace(key, Session_counter{}).first;
    }
    return it->second.next();
}

}  // namespace ux::com::someip

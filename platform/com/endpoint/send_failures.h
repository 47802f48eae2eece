// Failed sends in a row per destination. The sends report here (on the
// sending thread, or on the thread that ends a batch), and the owner of the
// destinations gives up on those that failed `limit` times in a row.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

namespace ux::com::cpp_binding {

class Send_failures {
public:
    static constexpr int limit = 5;

    void failed(const sockaddr_in& to) noexcept;
    // Cheap while nothing has failed.
    void sent(const sockaddr_in& to) noexcept;
    // The destinations that reached the limit since the last call.
    std::vector<sockaddr_in> take_given_up();

private:
    using Key = std::pair<std::uint32_t, std::uint16_t>;
    std::atomic<bool> m_any{false};
    std::mutex m_mutex;
    std::map<Key, int> m_streaks;
    std::vector<sockaddr_in> m_given_up;
};

}  // namespace ux::com::cpp_binding

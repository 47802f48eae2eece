#include "com/endpoint/notification_batch.h"
#include "com/endpoint/send_failures.h"

#include <sys/socket.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <vector>

#include "com/endpoint/binding_logger.h"
#include "com/endpoint/udp_socket.h"

namespace ux::com {
namespace cpp_binding {
namespace {

constexpr std::size_t max_held = 64;

struct Held_datagram {
    std::shared_ptr<Udp_socket> socket;
    sockaddr_in to{};
    std::vector<std::uint8_t> bytes;  // keeps its capacity between batches
    std::uint32_t id = 0;
    std::shared_ptr<Send_failures> failures;
};

struct Held_sends {
    int depth = 0;
    std::size_t count = 0;
    std::array<Held_datagram, max_held> datagrams;
};

Held_sends& held() {
    thread_local Held_sends sends;
    return sends;
}

void log_failure(const Held_datagram& d, int error) noexcept {
    try {
        logger().LogError() << "Pport: notification " << d.id << " could not be sent: " << std::strerror(error);
    } catch (...) {
    }
}

// Sends held[first, last), which share one socket; returns the number sent
// by one sendmmsg (at least one is accounted for: a failed one is skipped).
std::size_t send_run(Held_sends& sends, std::size_t first, std::size_t last) {
    std::array<mmsghdr, max_held> messages{};
    std::array<iovec, max_held> pieces{};
    const std::size_t n = last - first;
    for (std::size_t i = 0; i < n; ++i) {
        Held_datagram& d = sends.datagrams[first + i];
        pieces[i] = iovec{d.bytes.data(), d.bytes.size()};
        messages[i].msg_hdr.msg_name = &d.to;
        messages[i].msg_hdr.msg_namelen = sizeof d.to;
        messages[i].msg_hdr.msg_iov = &pieces[i];
        messages[i].msg_hdr.msg_iovlen = 1;
    }
    for (;;) {
        const int sent = ::sendmmsg(sends.datagrams[first].socket->fd(), messages.data(),
                                    static_cast<unsigned>(n), MSG_NOSIGNAL);
        if (sent > 0) {
            for (int i = 0; i < sent; ++i) {
                const Held_datagram& d = sends.datagrams[first + static_cast<std::size_t>(i)];
                if (d.failures) {
                    d.failures->sent(d.to);
                }
            }
            return static_cast<std::size_t>(sent);
        }
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        // The first one failed: it is reported and the rest go on.
        const Held_datagram& d = sends.datagrams[first];
        log_failure(d, sent < 0 ? errno : EIO);
        if (d.failures) {
            d.failures->failed(d.to);
        }
        return 1;
    }
}

void flush(Held_sends& sends) noexcept {
    std::size_t i = 0;
    while (i < sends.count) {
        std::size_t last = i + 1;
        while (last < sends.count && sends.datagrams[last].socket == sends.datagrams[i].socket) {
            ++last;
        }
        i += send_run(sends, i, last);
    }
    for (std::size_t k = 0; k < sends.count; ++k) {
        sends.datagrams[k].socket.reset();
        sends.datagrams[k].failures.reset();
    }
    sends.count = 0;
}

}  // namespace

bool send_or_hold(const std::shared_ptr<Udp_socket>& socket, const sockaddr_in& to, const iovec* pieces,
                  std::size_t count, std::uint32_t id, const std::shared_ptr<Send_failures>& failures) {
    Held_sends& sends = held();
    if (sends.depth == 0) {
        const bool ok = socket->send(to, pieces, count);
        if (failures) {
            ok ? failures->sent(to) : failures->failed(to);
        }
        return ok;
    }
    if (sends.count == max_held) {
        flush(sends);
    }
    Held_datagram& d = sends.datagrams[sends.count];
    d.bytes.clear();
    for (std::size_t i = 0; i < count; ++i) {
        const auto* begin = static_cast<const std::uint8_t*>(pieces[i].iov_base);
        d.bytes.insert(d.bytes.end(), begin, begin + pieces[i].iov_len);
    }
    d.socket = socket;
    d.to = to;
    d.id = id;
    d.failures = failures;
    ++sends.count;
    return true;
}

}  // namespace cpp_binding

Notification_batch::Notification_batch() noexcept { ++cpp_binding::held().depth; }

Notification_batch::~Notification_batch() {
    auto& sends = cpp_binding::held();
    if (--sends.depth == 0) {
        cpp_binding::flush(sends);
    }
}

}  // namespace ux::com

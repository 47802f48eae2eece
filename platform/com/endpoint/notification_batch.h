// Holds the notifications a thread sends while a Notification_batch is alive
// on it; they leave when the outermost batch ends (or when 64 are held), in
// one sendmmsg per socket. Under a flood this costs one system call, and one
// wake-up of each subscriber, per batch instead of per notification; each
// notification is still one datagram, and their order is kept.
#pragma once

#include <netinet/in.h>
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <memory>

namespace ux::com {

namespace cpp_binding {
class Udp_socket;
class Send_failures;
}

class Notification_batch {
public:
    Notification_batch() noexcept;
    // Sends what is held; failures are logged, never thrown.
    ~Notification_batch();
    Notification_batch(const Notification_batch&) = delete;
    Notification_batch& operator=(const Notification_batch&) = delete;
};

namespace cpp_binding {

// Sends the pieces as one datagram to `to`, or holds a copy when a batch is
// alive on this thread (the socket stays open until it has left). `id` names
// the notification in the log when it fails; failures (may be null) hears
// how the sending went, whenever it happens.
// Returns false when the datagram is known to have failed already.
bool send_or_hold(const std::shared_ptr<Udp_socket>& socket, const sockaddr_in& to, const iovec* pieces,
                  std::size_t count, std::uint32_t id, const std::shared_ptr<Send_failures>& failures = nullptr);

}  // namespace cpp_binding
}  // namespace ux::com

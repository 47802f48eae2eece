// What the SD endpoint needs of an offered service. The binding's port
// implements it; the SD endpoint calls it with its own lock held and the
// port never calls the SD endpoint with the port's lock held, so the lock
// order (SD endpoint, then port) follows from the layering.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>

#include "com/sd/datagram_handler.h"

namespace ux::com::cpp_binding {

class Sd_service {
public:
    virtual ~Sd_service() = default;
    // What the offers of the service announce.
    virtual Service_identity identity() const = 0;
    // Runs an SD message that arrived at the SD endpoint through the
    // service's datagram path (sessions: the SD socket's counters) and
    // returns the outcome; the caller sends its replies from the SD socket
    // and then hands it back to apply().
    virtual Datagram_outcome process_sd(const std::uint8_t* data, std::size_t size, const sockaddr_in& from,
                                        Sd_sessions& sessions) = 0;
    virtual void apply(Datagram_outcome& outcome) = 0;
};

}  // namespace ux::com::cpp_binding

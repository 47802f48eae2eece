// The small types the offer port shares with the layers on top of it: what
// a method request carries, and what the port needs of a registered event.
// The event and the method dispatcher sit above the port and implement or
// use these; the port never includes them.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <functional>
#include <vector>

#include "com/binding/serialized_payload.h"

namespace ux::com::cpp_binding::skeleton {

// Where one subscriber wants its notifications.
struct Subscriber_address {
    sockaddr_in address{};
};

// Sends the answer of one method call: the payload and the SOME/IP return
// code (0 gives a RESPONSE, anything else an ERROR without payload).
using Reply_function = std::function<void(const oq::com::runtime::Shared_payload&, std::uint8_t)>;

struct Method_request {
    std::uint16_t method_id = 0;
    std::vector<std::uint8_t> payload;
    Reply_function reply;
};

// Calls the reply function, if there is one.
inline void send_method_reply(const Reply_function& reply, const oq::com::runtime::Shared_payload& payload,
                              std::uint8_t return_code) {
    if (reply) {
        reply(payload, return_code);
    }
}

// One method of a service as the dispatcher sees it.
class Method_handler {
public:
    virtual ~Method_handler() = default;
    // Runs one call; called by the dispatcher on a processor thread.
    virtual void handle_call(const Method_request& request) = 0;
};

// One event of a service as the port sees it.
class Port_event {
public:
    // The list meaning "nobody needs a payload".
    static constexpr std::uint32_t no_format = 0xffffffffu;

    virtual ~Port_event() = default;
    // The payload formats the event's subscribers need. Called with the
    // port's lock held, in the critical section that changed the
    // subscriptions: it must not call the port.
    virtual void set_payload_formats(std::vector<std::uint32_t> formats) = 0;
    // Send the current value to one new subscriber; called without the
    // port's lock, since it sends through the port.
    virtual void request_update(const Subscriber_address& to) = 0;
};

}  // namespace ux::com::cpp_binding::skeleton

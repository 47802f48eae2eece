// The datagram path of one offered service as a pure function:
//
//   handle_datagram(service, arrival, subscriptions, sd_sessions, now, data, size, from)
//     -> Datagram_outcome { malformed, replies, calls, changes }
//
// It parses the SOME/IP header, answers what can be answered at once
// (E_UNKNOWN_SERVICE/E_UNKNOWN_METHOD/E_WRONG_INTERFACE_VERSION errors,
// SubscribeEventgroupAck/Nack, OfferService for a matching FindService),
// hands method requests back as calls to dispatch, and updates the
// subscription table, reporting what changed. It opens no socket, starts no
// thread and reads no clock: the caller owns the state, passes the time, sends
// the replies (in order, before applying the changes) and dispatches the
// calls. The port's receive threads and the fuzz target run the same code.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "com/sd/deployment.h"
#include "com/sd/subscription_table.h"
#include "com/wire/session_counter.h"
#include "com/wire/someip_message.h"

namespace ux::com::cpp_binding {

// What the datagram path knows of the service it serves.
struct Service_identity {
    std::uint16_t service_id = 0;
    std::uint16_t instance_id = 0;
    std::uint16_t methods = 0;
    std::uint16_t events = 0;
    // The service's UDP endpoint, named in OfferService entries.
    someip::Ipv4_endpoint endpoint;
    // Whether someone takes method requests; without, they get E_UNKNOWN_METHOD.
    bool accepts_methods = false;
    // Where subscriptions may send notifications besides the subscriber's
    // own address (from the deployment).
    std::vector<Ipv4_network> extra_subscribers;
};

// The socket a datagram arrived on. The SD socket is shared by every
// service of the process, so there a service acts only on SD entries that
// name it and stays silent on everything else.
enum class Arrival { service_endpoint, sd_endpoint };

// The SD session counters of the socket a datagram arrived on.
using someip::Sd_sessions;

struct Outgoing_datagram {
    sockaddr_in to{};
    std::vector<std::uint8_t> bytes;
};

// A request for a method of the service, to be dispatched; the answer goes
// to from and copies the request's header IDs.
struct Method_call {
    someip::Header header;
    sockaddr_in from{};
    std::vector<std::uint8_t> payload;
};

struct Subscription_change {
    enum class Kind {
        first_subscriber,      // the event went from no subscribers to one
        last_subscriber_gone,  // the event lost its last subscriber
        new_subscriber,        // send the event's current value to subscriber
    };
    Kind kind = Kind::first_subscriber;
    std::size_t event = 0;
    sockaddr_in subscriber{};
};

struct Datagram_outcome {
    // Not well-formed SOME/IP or SOME/IP-SD; counted, otherwise ignored.
    bool malformed = false;
    // Answers to send to the datagram's source, in order. At the service
    // endpoint they include the one SD message answering an SD message.
    std::vector<Outgoing_datagram> replies;
    // At the SD endpoint, which all services of the process share, the
    // entries of this service's SD answer: the endpoint sends those of every
    // service as one message (encode_sd_answer).
    std::vector<someip::Sd_entry> sd_answer;
    // Subscriptions refused for their endpoint (not the sender's own
    // unicast UDP endpoint, nor one the deployment allows).
    std::size_t refused_subscriptions = 0;
    std::vector<Method_call> calls;
    std::vector<Subscription_change> changes;
};

Datagram_outcome handle_datagram(const Service_identity& service, Arrival arrival,
                                 Subscription_table& subscriptions, Sd_sessions& sd_sessions,
                                 Subscription_table::Clock::time_point now, const std::uint8_t* data,
                                 std::size_t size, const sockaddr_in& from);

// The one SD message carrying the entries, to `to`.
Outgoing_datagram encode_sd_answer(const std::vector<someip::Sd_entry>& entries, Sd_sessions& sessions,
                                   const sockaddr_in& to);

sockaddr_in to_sockaddr(const someip::Ipv4_endpoint& endpoint);

}  // namespace ux::com::cpp_binding

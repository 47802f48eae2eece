// Whole UDP datagrams into the middleware's receive path, as the port's
// receive threads hand them over: SOME/IP header, method requests, SD
// entries and options, subscriptions. One input is a short series of
// datagrams against fresh state, each framed as
//   [flags][length, 2 bytes big-endian][datagram]
// where flags bit 0 picks the socket (service or SD endpoint), bits 1-2 one
// of four senders and bits 3-7 how many seconds pass before it arrives (so
// subscriptions expire). A missing or short length takes the rest.
#include <arpa/inet.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "com/sd/datagram_handler.h"
#include "com/wire/someip_message.h"

namespace {

namespace someip = ux::com::someip;
using ux::com::cpp_binding::Arrival;
using ux::com::cpp_binding::Datagram_outcome;
using ux::com::cpp_binding::Sd_sessions;
using ux::com::cpp_binding::Service_identity;
using ux::com::cpp_binding::Subscription_table;

constexpr std::uint32_t loopback = 0x7f000001;
constexpr std::size_t max_datagrams = 16;

Service_identity service() {
    Service_identity s;
    s.service_id = 0x1001;
    s.instance_id = 1;
    s.methods = 4;
    s.events = 4;
    s.endpoint = someip::Ipv4_endpoint{loopback, 30501, someip::l4_udp};
    s.accepts_methods = true;
    return s;
}

sockaddr_in sender(unsigned index) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(loopback + index);
    a.sin_port = htons(static_cast<std::uint16_t>(40000 + index));
    return a;
}

// Whatever the path answers must itself be well-formed.
void check_outcome(const Datagram_outcome& outcome, const Subscription_table& table) {
    for (const auto& reply : outcome.replies) {
        const auto header = someip::parse_header(reply.bytes.data(), reply.bytes.size());
        if (!header) {
            std::abort();
        }
        if (header->service_id == someip::sd_service_id && header->method_id == someip::sd_method_id &&
            !someip::parse_sd_payload(reply.bytes.data() + someip::header_size,
                                      reply.bytes.size() - someip::header_size)) {
            std::abort();
        }
    }
    for (const auto& change : outcome.changes) {
        if (change.event >= table.event_count()) {
            std::abort();
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Service_identity identity = service();
    Subscription_table table(identity.events, 2);
    Sd_sessions sessions;
    Subscription_table::Clock::time_point now{};

    std::size_t offset = 0;
    for (std::size_t n = 0; n < max_datagrams && offset < size; ++n) {
        const std::uint8_t flags = data[offset++];
        std::size_t length = size - offset;
        if (length >= 2) {
            const std::size_t framed = (std::size_t{data[offset]} << 8) | data[offset + 1];
            offset += 2;
            length = framed <= size - offset ? framed : size - offset;
        }
        const Arrival arrival = (flags & 1) != 0 ? Arrival::sd_endpoint : Arrival::service_endpoint;
        now += std::chrono::seconds(flags >> 3);
        (void)table.expire(now);
        // A copy of exactly the datagram's size, so that reading past it is caught.
        const std::vector<std::uint8_t> datagram(data + offset, data + offset + length);
        offset += length;
        const sockaddr_in from = sender((flags >> 1) & 3);
        Datagram_outcome outcome = ux::com::cpp_binding::handle_datagram(identity, arrival, table, sessions, now,
                                                                         datagram.data(), datagram.size(), from);
        // At the SD endpoint the answer's entries go out as one message.
        if (!outcome.sd_answer.empty()) {
            outcome.replies.push_back(ux::com::cpp_binding::encode_sd_answer(outcome.sd_answer, sessions, from));
        }
        check_outcome(outcome, table);
    }
    return 0;
}

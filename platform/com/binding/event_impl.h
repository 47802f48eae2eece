// The sending side of one event: the payload formats its subscribers need,
// the notification mutex, and the hand-over of payloads to the port.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "com/binding/port_interfaces.h"
#include "com/binding/pport.h"
#include "com/binding/serialized_payload.h"

namespace ux::com::cpp_binding::skeleton {

class Event_impl : public Port_event {
public:
    Event_impl(Pport& port, std::uint16_t index, std::vector<std::uint32_t> formats);
    ~Event_impl() override;
    Event_impl(const Event_impl&) = delete;
    Event_impl& operator=(const Event_impl&) = delete;

    std::uint16_t index() const noexcept { return m_index; }

    // Set by the port as subscribers come and go.
    void set_payload_formats(std::vector<std::uint32_t> formats) override;
    // Copies into out (whose capacity is reused).
    void copy_payload_formats(std::vector<std::uint32_t>& out) const;

    // Held for the whole of one notification.
    std::mutex& notification_mutex() noexcept { return m_notification_mutex; }

    // What answers the port's request for the current value.
    void set_update_request_handler(std::function<void(const Subscriber_address&)> handler);
    void request_update(const Subscriber_address& to) override;

    // False when the service is not offered (nothing was sent).
    bool send(const std::vector<oq::com::runtime::Serialized_payload>& payloads);
    bool send_to(const Subscriber_address& to, const std::vector<oq::com::runtime::Serialized_payload>& payloads);

private:
    void trace(const char* id, const std::vector<oq::com::runtime::Serialized_payload>& payloads) const;

    Pport& m_port;
    std::uint16_t m_index;
    mutable std::mutex m_format_mutex;
    std::vector<std::uint32_t> m_formats;
    std::mutex m_notification_mutex;
    std::mutex m_handler_mutex;
    std::function<void(const Subscriber_address&)> m_update_request_handler;
};

}  // namespace ux::com::cpp_binding::skeleton
